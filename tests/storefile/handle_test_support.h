#pragma once
// What the file handle tests share: the kernel debug log of the test's home.
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_home.h"

namespace handletest {

inline std::string kernelLog(const testsupport::TempHome& home) {
    std::ifstream in(home.file("log/kernel.log"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int occurrences(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

}  // namespace handletest
