// Store files that cannot be used: a directory, devices, a FIFO, files this
// user may not read or write (the program run as a process), and a disk that
// is full or refuses every write while the recovery runs.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tests/hardening/hardening_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

constexpr uid_t kNobody = 65534;
const std::string kStarted = "Zen-TO Recover Process for DLGP service 'HARDSVC' started.\n";
const std::string kCannotOpen = "Critical error -- Could not open store file.  Exiting\n";

struct Outcome {
    int exitCode = -1;  // -1: it did not end in time and was killed
    std::string out;
};

// Runs the program on storeFile with standard output in a pipe; as the user
// nobody (with home as its ZENTO_HOME) when asked to.
Outcome runProgram(const std::string& storeFile, bool asNobody = false, const std::string& home = {}) {
    std::string program = ZENTO_BIN_DIR "/recover/zento_sf_recover";
    std::vector<std::string> args = {program, "hardsvc", storeFile};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        if (asNobody) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
            ::setenv("ZENTO_HOME", home.c_str(), 1);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        outcome.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!timedOut && WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    return outcome;
}

class BadStoreFile : public testsupport::TempHomeTest {
protected:
    std::string path(const std::string& name) const { return home_.file(name); }
};

TEST_F(BadStoreFile, NoRegularFileIsOpened) {
    const std::string fifo = path("pipe.HARDSVC");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = path("folder.HARDSVC");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    struct Case {
        std::string file;
        std::string lines;
    };
    const std::string notRegular = "facility=13  error=13162\nfacility=13  error=13408\n";
    const Case cases[] = {
        // A FIFO opens without a writer; a read would then wait forever.
        {fifo, "Error: store file " + fifo + " is not a regular file.\n" + notRegular},
        {"/dev/null", "Error: store file /dev/null is not a regular file.\n" + notRegular},
        {"/dev/zero", "Error: store file /dev/zero is not a regular file.\n" + notRegular},
        {dir, "Error: store file " + dir + " could not be opened: Is a directory.\n"
              "facility=1  error=21\nfacility=13  error=13153\nfacility=13  error=13408\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Outcome o = runProgram(c.file);
        EXPECT_EQ(o.exitCode, 1) << o.out;
        EXPECT_EQ(o.out, kStarted + c.lines + kCannotOpen);
    }
}

// Root may open anything, so the program runs as nobody; a user without root
// runs it as itself.
TEST_F(BadStoreFile, FileWithoutReadOrWritePermissionIsRefused) {
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? kNobody : ::geteuid();
    char pattern[] = "/tmp/zento-perm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string base = pattern;
    ASSERT_EQ(::chmod(base.c_str(), 0755), 0);
    const std::string home = base + "/home";
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    if (root && ::chown(home.c_str(), owner, kNobody) != 0) {
        std::filesystem::remove_all(base);
        GTEST_SKIP() << "cannot hand a home to the user nobody";
    }

    const std::pair<const char*, mode_t> modes[] = {{"readonly.HARDSVC", 0400}, {"writeonly.HARDSVC", 0200},
                                                    {"none.HARDSVC", 0000}};
    for (const auto& [name, mode] : modes) {
        SCOPED_TRACE(name);
        const std::string file = base + "/" + name;
        testsupport::StoreFileBuilder b;
        b.addMessage(hardening::storedReply(1));
        b.describeRecords();
        b.writeTo(file);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        if (root) {
            ASSERT_EQ(::chown(file.c_str(), owner, kNobody), 0);
        }

        const Outcome o = runProgram(file, root, home);
        if (o.exitCode == 126) {
            std::filesystem::remove_all(base);
            GTEST_SKIP() << "cannot become the user nobody";
        }
        EXPECT_EQ(o.exitCode, 1) << o.out;
        EXPECT_EQ(o.out, kStarted + "Error: store file " + file + " could not be opened: Permission denied.\n" +
                             "facility=1  error=13\nfacility=13  error=13153\nfacility=13  error=13408\n" + kCannotOpen);
    }
    std::filesystem::remove_all(base);
}

// A disk that refuses every write while the recovery runs: the header cannot
// record the first acknowledged message, the recovery stops with a failure
// and the file keeps every message for the next run.
TEST_F(BadStoreFile, DiskFullDuringTheRunStopsAndKeepsTheMessages) {
    const std::string file = path("ZENTO_STORE_NODE1.HARDSVC");
    testsupport::StoreFileBuilder b;
    for (std::int32_t n = 1; n <= 3; ++n) b.addMessage(hardening::storedReply(n));
    b.describeRecords();
    b.writeTo(file);
    const std::vector<std::uint8_t> before = testsupport::readAllBytes(file);

    hardening::RunResult full;
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(testsupport::FileOpKind::Write, 1, ENOSPC, true);
        full = hardening::recoverInProcess(file);
    }
    EXPECT_EQ(full.exitCode, 2) << full.out;
    EXPECT_TRUE(hardening::contains(full.out,
                                    "Error: the store file header could not be written (No space left on device).  "
                                    "Recovery stopped; the remaining messages stay in the store file.\n"))
        << full.out;
    EXPECT_FALSE(hardening::contains(full.out, "Messages have all been sent to destination."));
    EXPECT_EQ(hardening::withoutRepeats(full.delivered), std::vector<std::int32_t>{1});
    EXPECT_EQ(full.notices, 0);
    EXPECT_EQ(testsupport::readAllBytes(file), before);

    const hardening::RunResult rerun = hardening::recoverInProcess(file);
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out;
    EXPECT_EQ(hardening::withoutRepeats(rerun.delivered), hardening::numbers(1, 3));
}

// On a really full file system: the recovery only rewrites bytes the file
// already has, so it needs no space and finishes.
TEST_F(BadStoreFile, FullFileSystemDoesNotStopTheRecovery) {
    char pattern[] = "/tmp/zento-full-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string mountPoint = pattern;
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) {
        ::rmdir(mountPoint.c_str());
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    const std::string file = mountPoint + "/ZENTO_STORE_NODE1.HARDSVC";
    testsupport::StoreFileBuilder b;
    for (std::int32_t n = 1; n <= 3; ++n) b.addMessage(hardening::storedReply(n));
    b.describeRecords();
    b.writeTo(file);

    // Fill what is left.
    const std::string filler = mountPoint + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::vector<char> block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    const int fillError = errno;
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
    EXPECT_EQ(fillError, ENOSPC);

    const hardening::RunResult run = hardening::recoverInProcess(file);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(hardening::withoutRepeats(run.delivered), hardening::numbers(1, 3));
    EXPECT_EQ(run.notices, 1);
    const hardening::RunResult rerun = hardening::recoverInProcess(file);
    EXPECT_TRUE(rerun.delivered.empty());

    ::umount2(mountPoint.c_str(), MNT_DETACH);
    ::rmdir(mountPoint.c_str());
}

}  // namespace
