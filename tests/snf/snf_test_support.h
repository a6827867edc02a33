#pragma once
// Files, logs and registry values for the support routine tests, each test
// in a ZENTO_HOME of its own (whose registry.db is then its own too).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "msglib/coding.h"
#include "platform/registry.h"
#include "tests/support/temp_home.h"

namespace snftest {

inline void writeText(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::optional<std::string> readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A REG_DWORD under HKEY_LOCAL_MACHINE, little-endian as the registry keeps it.
inline void setRegistryDword(const std::string& key, const char* name, std::uint32_t value) {
    platform::RegKey handle = nullptr;
    std::uint32_t disposition = 0;
    ASSERT_EQ(platform::regCreateKeyEx(platform::registryLocalMachine(), key.c_str(), platform::kKeyAllAccess, &handle,
                                       &disposition),
              0);
    std::uint8_t bytes[4];
    encodeU32(bytes, value);
    EXPECT_EQ(platform::regSetValueEx(handle, name, platform::kRegDword, bytes, 4), 0);
    platform::regCloseKey(handle);
}

inline std::optional<std::uint32_t> registryDword(const std::string& key, const char* name) {
    platform::RegKey handle = nullptr;
    if (platform::regOpenKeyEx(platform::registryLocalMachine(), key.c_str(), platform::kKeyRead, &handle) != 0) {
        return std::nullopt;
    }
    std::uint8_t bytes[4] = {};
    std::uint32_t length = 4;
    const std::int32_t rc = platform::regQueryValueEx(handle, name, nullptr, bytes, &length);
    platform::regCloseKey(handle);
    if (rc != 0) return std::nullopt;
    return decodeU32(bytes);
}

class SnfTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        ::unsetenv("ZENTO_REGISTRY");
        ::unsetenv("ZENTO_DATA_DIR");
    }
    // A log of ZENTO_HOME/log ("zento.log", "kernel.log", "diag.log"); empty when none.
    std::string log(const char* name) const { return readText(home_.file(std::string("log/") + name)).value_or(""); }
};

}  // namespace snftest
