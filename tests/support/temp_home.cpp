#include "tests/support/temp_home.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace testsupport {

TempHome::TempHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zento-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory from " << pattern;
    }
    path_ = pattern;
    if (const char* old = std::getenv("ZENTO_HOME")) previous_ = old;
    ::setenv("ZENTO_HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
    if (previous_) {
        ::setenv("ZENTO_HOME", previous_->c_str(), 1);
    } else {
        ::unsetenv("ZENTO_HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempHome::file(std::string_view name) const { return path_ + "/" + std::string(name); }

}  // namespace testsupport
