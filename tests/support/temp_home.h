#pragma once
// A fresh directory set as ZENTO_HOME for as long as the object lives; the
// previous value comes back and the directory is removed afterwards.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace testsupport {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return path_; }
    // A path inside the directory.
    std::string file(std::string_view name) const;

private:
    std::string path_;
    std::optional<std::string> previous_;
};

// A test fixture with its own ZENTO_HOME.
class TempHomeTest : public ::testing::Test {
protected:
    TempHome home_;
};

}  // namespace testsupport
