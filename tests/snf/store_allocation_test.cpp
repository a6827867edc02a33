// Store file allocation and sizing: the sizes and lines of each branch, the
// space really taken, "no sharing", and the disk running out, first through
// the platform's seam, then on a small real file system.
#include "snf/store_allocation.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "platform/disk_files.h"
#include "snf/snf_codes.h"
#include "snf/snf_config.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"
#include "tests/snf/snf_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/status_entries.h"

namespace {

constexpr std::int64_t kMiB = 1048576;

// The free space the seam reports: a quota less what the watched file holds,
// or a failure.
std::int64_t gQuota = 0;
int gFreeSpaceError = 0;
int gReserveError = 0;
std::string gWatched;

int fakeFreeSpace(const char*, std::uint64_t& bytes) {
    if (gFreeSpaceError != 0) return gFreeSpaceError;
    struct stat st {};
    const std::int64_t used = ::stat(gWatched.c_str(), &st) == 0 ? st.st_size : 0;
    bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(gQuota - used, 0));
    return 0;
}
int fakeReserve(int handle, std::int64_t offset, std::int64_t length) {
    return gReserveError != 0 ? gReserveError : platform::systemDiskOps().reserve(handle, offset, length);
}
constexpr platform::DiskOps kFakeDisk{fakeFreeSpace, fakeReserve};

std::int64_t lengthOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}
std::int64_t diskUsageOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_blocks) * 512 : -1;
}

class StoreAllocation : public snftest::SnfTest {
protected:
    void SetUp() override {
        SnfTest::SetUp();
        resetSnfCfgState();
        gWatched = path_;
        gQuota = std::int64_t{1} << 40;
        gFreeSpaceError = gReserveError = 0;
    }
    void TearDown() override {
        platform::installDiskOps(nullptr);
        resetSnfCfgState();
    }
    bool logged(const std::string& text) const { return log("kernel.log").find(text) != std::string::npos; }
    // The header the file starts with, when both copies check.
    std::optional<StoreFileHeader> header(const std::string& path) const {
        std::array<std::uint8_t, kType2HeaderLength> bytes{};
        const int fd = ::open(path.c_str(), O_RDONLY);
        const bool read = fd >= 0 && ::read(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0) ::close(fd);
        if (!read || checkType2Blocks(bytes) != 0) return std::nullopt;
        return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE.SVC");
};

TEST_F(StoreAllocation, AllocatesTheFullSizeWithAFreshHeader) {
    for (std::int32_t size : {0, -1, 1000001}) allocateStoreFile(path_.c_str(), size);
    EXPECT_EQ(lengthOf(path_), -1);
    EXPECT_EQ(log("kernel.log"), "") << "out of range: nothing made, nothing said";

    allocateStoreFile(path_.c_str(), 12);
    EXPECT_EQ(lengthOf(path_), 12 * kMiB);
    EXPECT_GE(diskUsageOf(path_), 12 * kMiB) << "the space is taken, not a sparse length";
    const std::optional<StoreFileHeader> fresh = header(path_);
    ASSERT_TRUE(fresh);
    const StoreFileHeader expected = emptyStoreHeader(12);
    EXPECT_EQ(std::memcmp(&*fresh, &expected, sizeof expected), 0);
    EXPECT_TRUE(logged("[allocateStoreFile] [In allocateStoreFile. Allocated file [" + path_ +
                       "] with [12]MB, file pointer set at [12582912]]"));
    EXPECT_TRUE(logged("[setStoreFileSize] [In setStoreFileSize. Created/Modified file [" + path_ +
                       "] with [12]MB, file pointer set at [12582912]]"));
    EXPECT_NE(log("diag.log").find("[LOGIC] [7079] Initialize. No messages to save. Open READ_WRITE file " + path_),
              std::string::npos);

    allocateStoreFile(path_.c_str(), 1);
    EXPECT_EQ(lengthOf(path_), kMiB) << "re-made, and kept at its allocated length";
    EXPECT_TRUE(logged("In setStoreFileSize. Last offset [1048768] is pass the file size requested [1048576].\nFile [" +
                       path_ + "] will not be resized"));
}

struct FaultCase {
    const char* what;
    std::int64_t quota;
    int freeSpaceError;
    int reserveError;
    std::int32_t size;
    std::int64_t length;  // of the file afterwards, -1 for none
    std::vector<std::string> lines;  // "%P" stands for the path, "%D" for the directory
};

TEST_F(StoreAllocation, EachFailureIsLoggedAndLeavesNoHalfMadeFile) {
    const FaultCase cases[] = {
        {"quota smaller than the size", 300 * kMiB, 0, 0, 500, 290 * kMiB,
         {"[In In allocateStoreFile. User Disk Quota [300]MB smaller than file size requested of [500]MB.\n"
          "Creating file [%P] with [290]MB instead.]",
          "[In setStoreFileSize. User Disk Quota [10]MB smaller than file size requested of [500]MB.\n"
          "Creating file [%P] with [290]MB instead.]"}},
        {"less than 10 MB free", 9 * kMiB, 0, 0, 20, -1,
         {"[In allocateStoreFile. Failed SetFilePointer [%P] at [-1048576]\nWNT Unknown Error=131"}},
        {"the disk runs out while reserving", 1 << 30, 0, ENOSPC, 5, -1,
         {"[In allocateStoreFile. Failed SetEndOfFile [%P].  File will be deleted.,\nerror=112: There is not enough "
          "space on the disk."}},
        {"no reservation on this file system", 1 << 30, 0, EOPNOTSUPP, 3, 3 * kMiB,
         {"[In allocateStoreFile. The file system cannot reserve space for [%P]; its length is set without taking "
          "the space]"}},
        {"free space unknown", 0, ENOENT, 0, 5, -1,
         {"[In allocateStoreFile. Failed GetDiskFreeSpaceEx [%D],\nerror=2: The system cannot find the file "
          "specified."}},
    };
    platform::installDiskOps(&kFakeDisk);
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(home_.file("log/kernel.log").c_str());
        ::unlink(path_.c_str());
        gQuota = c.quota;
        gFreeSpaceError = c.freeSpaceError;
        gReserveError = c.reserveError;
        allocateStoreFile(path_.c_str(), c.size);
        EXPECT_EQ(lengthOf(path_), c.length);
        for (std::string line : c.lines) {
            for (std::size_t at; (at = line.find("%P")) != std::string::npos;) line.replace(at, 2, path_);
            for (std::size_t at; (at = line.find("%D")) != std::string::npos;) line.replace(at, 2, ClientEnvironmentDirectory());
            EXPECT_TRUE(logged(line)) << line << "\n---\n" << log("kernel.log");
        }
    }
}

TEST_F(StoreAllocation, AHeaderThatCannotBeWrittenTakesTheFileAway) {
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO, true);
    allocateStoreFile(path_.c_str(), 2);
    EXPECT_EQ(lengthOf(path_), -1);
    EXPECT_TRUE(logged("In allocateStoreFile. Failed to write the header of [" + path_ + "].  File will be deleted."));
}

TEST_F(StoreAllocation, ResizingKeepsTheStoredDataAndRefusesWhatItCannotDo) {
    const std::string directory = home_.file("a directory");
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    allocateStoreFile(directory.c_str(), 5);
    EXPECT_TRUE(logged("[In allocateStoreFile. Failed CreateFile [" + directory + "] with [5]MB,\nerror=5"));
    setStoreFileSize(path_.c_str(), 5);
    EXPECT_TRUE(logged("[In setStoreFileSize. Failed CreateFile [" + path_ + "] with [5]MB,\nerror=2"));
    EXPECT_EQ(lengthOf(path_), -1) << "nothing created";

    // lastOffset at 300 MB: a request for 200 MB is refused.
    StatusBlock status;
    std::int32_t fd = zento_s_file_open(path_.c_str(), kOpenReadWrite | kOpenCreate, status);
    StoreFileHeader full = emptyStoreHeader(400);
    full.lastOffset = 300 * kMiB;
    writeNewType2Header(fd, full, status);
    closeStoreFileHandle(fd, status);
    ASSERT_EQ(::truncate(path_.c_str(), 301 * kMiB), 0);
    setStoreFileSize(path_.c_str(), 200);
    EXPECT_EQ(lengthOf(path_), 301 * kMiB);
    EXPECT_TRUE(logged("Last offset [315621376] is pass the file size requested [209715200]"));

    // A damaged header gives no limit to trust: growing is safe, shrinking is not.
    ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
    ASSERT_EQ(::truncate(path_.c_str(), 5 * kMiB), 0);
    setStoreFileSize(path_.c_str(), 2);
    EXPECT_EQ(lengthOf(path_), 5 * kMiB);
    EXPECT_TRUE(logged("The header of [" + path_ + "] is damaged.\nFile will not be shrunk to [2097152]"));
    setStoreFileSize(path_.c_str(), 8);
    EXPECT_EQ(lengthOf(path_), 8 * kMiB);
    ASSERT_EQ(::truncate(path_.c_str(), 50), 0);
    setStoreFileSize(path_.c_str(), 8);
    EXPECT_TRUE(logged("[In setStoreFileSize. Failed ReadFile header [" + path_ + "],\nerror=38"));
    EXPECT_EQ(lengthOf(path_), 50);
}

// While one side has the file, the other's open fails.
TEST_F(StoreAllocation, NoSharingWhileTheFileIsOpen) {
    allocateStoreFile(path_.c_str(), 2);
    const int exclusive = platform::createFileNoSharing(path_.c_str(), true, platform::FileDisposition::OpenExisting);
    ASSERT_GE(exclusive, 0);
    const int other = ::open(path_.c_str(), O_RDWR);
    EXPECT_FALSE(platform::shareOpenFile(other));
    EXPECT_EQ(platform::lastSystemError(), 32u);
    setStoreFileSize(path_.c_str(), 4);
    EXPECT_TRUE(logged("[In setStoreFileSize. Failed CreateFile [" + path_ + "] with [4]MB,\nerror=32"));
    platform::closeFileHandle(exclusive);
    EXPECT_TRUE(platform::shareOpenFile(other)) << "free again once closed";
    allocateStoreFile(path_.c_str(), 3);
    EXPECT_EQ(lengthOf(path_), 2 * kMiB) << "a shared opener keeps the allocation out";
    ::close(other);
}

// A real small file system: tmpfs, mounted for the test (root only).
class SmallDisk : public StoreAllocation {
protected:
    void SetUp() override {
        StoreAllocation::SetUp();
        mountPoint_ = home_.file("disk");
        ::mkdir(mountPoint_.c_str(), 0700);
    }
    void TearDown() override {
        if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
        StoreAllocation::TearDown();
    }
    bool mount(const char* options, unsigned long flags = 0) {
        mounted_ = ::mount("tmpfs", mountPoint_.c_str(), "tmpfs", flags, options) == 0;
        if (!mounted_) reason_ = std::strerror(errno);
        return mounted_;
    }
    std::string mountPoint_;
    bool mounted_ = false;
    std::string reason_;
};

#define MOUNT_OR_SKIP(...)                                                                              \
    if (!mount(__VA_ARGS__)) {                                                                          \
        GTEST_SKIP() << "a tmpfs cannot be mounted here (" << reason_ << "): the small-disk cases need root"; \
    }

TEST_F(SmallDisk, ThreeHundredMegabytesHoldA290MegabyteFileAndNoMore) {
    MOUNT_OR_SKIP("size=300m");
    SetStoreDirectory(mountPoint_.c_str());
    const std::string file = mountPoint_ + "/ZENTO_STORE_NODE.SVC";
    allocateStoreFile(file.c_str(), 500);
    EXPECT_EQ(lengthOf(file), 290 * kMiB);
    EXPECT_GE(diskUsageOf(file), 290 * kMiB);
    EXPECT_TRUE(logged("User Disk Quota [300]MB smaller than file size requested of [500]MB.\nCreating file [" +
                       file + "] with [290]MB instead."));
    EXPECT_TRUE(logged("In setStoreFileSize. User Disk Quota [10]MB smaller than file size requested of [500]MB.\n"
                       "Creating file [" + file + "] with [290]MB instead."));
    EXPECT_TRUE(header(file));

    snftest::writeText(mountPoint_ + "/filler", std::string(kMiB, 'f'));
    const std::string second = mountPoint_ + "/ZENTO_STORE_OTHER.SVC";
    allocateStoreFile(second.c_str(), 100);
    EXPECT_EQ(lengthOf(second), -1) << "under 10 MB left: refused, nothing left behind";
    EXPECT_TRUE(logged("In allocateStoreFile. Failed SetFilePointer [" + second + "] at [-"));
}

TEST_F(SmallDisk, AReadOnlyDiskRefusesTheFileAndTheRegistryWrite) {
    MOUNT_OR_SKIP("size=4m");
    const std::string db = mountPoint_ + "/registry.db";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, "PRAGMA user_version=1", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    ASSERT_EQ(::mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);

    SetStoreDirectory(mountPoint_.c_str());
    const std::string file = mountPoint_ + "/ZENTO_STORE_NODE.SVC";
    allocateStoreFile(file.c_str(), 1);
    EXPECT_EQ(lengthOf(file), -1);
    EXPECT_TRUE(logged("[In allocateStoreFile. Failed CreateFile [" + file + "] with [1]MB,\nerror=19"));

    ::setenv("ZENTO_REGISTRY", db.c_str(), 1);
    const AddressRecord dlgp = makeAddress("NODE1", "SVC");
    SetDlgpAddress(&dlgp);
    StatusBlock status;
    EXPECT_EQ(WriteRegSnfCfg(makeAddress("client1", ""), 1, 2, status), 0);
    EXPECT_TRUE(statusFailed(status));
    EXPECT_TRUE(logged("readonly database")) << log("kernel.log");
    ::unsetenv("ZENTO_REGISTRY");
}

}  // namespace
