// What every test program of the Windows build sets up, linked into each:
//
// - Each test gets a registry of its own, as each test over POSIX gets its
//   own registry database with its ZENTO_HOME: while a test runs,
//   HKEY_LOCAL_MACHINE of the test program is an empty key of the user's
//   (RegOverridePredefKey), removed afterwards. The machine's registry is not
//   touched; a test that needs it sets the override back.
// - The program's standard output ends its lines in LF alone, so that CTest
//   reads the test list as it does on Linux. The programs under test, run as
//   processes of their own, keep the runtime's CR LF.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class FreshRegistry : public testing::EmptyTestEventListener {
public:
    FreshRegistry() : scratch_("Software\\ZentoTests\\" + std::to_string(GetCurrentProcessId())) {}

private:
    void OnTestStart(const testing::TestInfo&) override {
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        HKEY scratch = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, scratch_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &scratch, nullptr) != ERROR_SUCCESS ||
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch) != ERROR_SUCCESS) {
            ADD_FAILURE() << "no registry of the test's own under HKEY_CURRENT_USER\\" << scratch_;
        }
        if (scratch != nullptr) RegCloseKey(scratch);
    }
    void OnTestEnd(const testing::TestInfo&) override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, scratch_.c_str());
    }

    std::string scratch_;
};

const bool installed = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    testing::UnitTest::GetInstance()->listeners().Append(new FreshRegistry);
    return true;
}();

}  // namespace
