// Replays inputs through a fuzz target without the fuzzer, so that any
// compiler can run a corpus: each argument is a file or a directory whose
// files are fed in name order. Fails when nothing was replayed.
//
// With --expect-finding first, every input must still fail (each runs in a
// child process of its own): these are findings not yet mended, and one that
// runs clean belongs in the corpus from then on.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(argument);
    }
    return files;
}

void replay(const std::filesystem::path& file) {
    const std::string bytes = fuzzsupport::readWholeFile(file.string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// True when replaying the file in a child process fails.
bool stillFails(const std::filesystem::path& file) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (child == 0) {
        replay(file);
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

int main(int argc, char** argv) {
    const bool expectFinding = argc > 1 && std::strcmp(argv[1], "--expect-finding") == 0;
    // Prepared here so that a child's temporary home is the parent's, which
    // the parent removes at exit.
    fuzzsupport::prepareProcess();
    std::size_t replayed = 0;
    int result = 0;
    for (int i = expectFinding ? 2 : 1; i < argc; ++i) {
        for (const auto& file : inputsOf(argv[i])) {
            if (!std::filesystem::exists(file)) {
                std::fprintf(stderr, "no such input: %s\n", file.c_str());
                return 2;
            }
            // Named before the run, so that a crash shows which input it was.
            std::fprintf(stderr, "replaying %s\n", file.c_str());
            ++replayed;
            if (!expectFinding) {
                replay(file);
            } else if (!stillFails(file)) {
                std::fprintf(stderr, "%s no longer fails: move it into the corpus\n", file.c_str());
                result = 1;
            }
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    return replayed > 0 ? result : 1;
}
