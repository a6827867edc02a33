// Replays inputs through a fuzz target without the fuzzer, so that any
// compiler can run a corpus: each argument is a file or a directory whose
// files are fed in name order. Fails when nothing was replayed.
#include <algorithm>
#include <cstdio>
#include <filesystem>
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

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& file : inputsOf(argv[i])) {
            if (!std::filesystem::exists(file)) {
                std::fprintf(stderr, "no such input: %s\n", file.c_str());
                return 2;
            }
            // Named before the run, so that a crash shows which input it was.
            std::fprintf(stderr, "replaying %s\n", file.c_str());
            const std::string bytes = fuzzsupport::readWholeFile(file.string());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
