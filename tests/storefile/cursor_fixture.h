#pragma once
// A store file in a fresh ZENTO_HOME, opened for a recovery the way the
// program opens it, with helpers to read status blocks and console output.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/cursor.h"
#include "storefile/file_handle.h"
#include "storefile/store_open.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace storetest {

using Entry = std::pair<std::int32_t, std::int32_t>;  // facility, error

inline std::vector<Entry> entries(const StatusBlock& status) {
    std::vector<Entry> out;
    for (int i = 0; i < statusEntryCount(status); ++i) out.emplace_back(status.facility[i], status.error[i]);
    return out;
}

inline std::vector<Entry> storeCodes(std::initializer_list<std::int32_t> codes) {
    std::vector<Entry> out;
    for (std::int32_t c : codes) out.emplace_back(kFacilityStore, c);
    return out;
}

inline std::string captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

class StoreFileTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        path_ = home_.file("ZENTO_STORE_NODE1.SVC");
        ctx_.storeFileName = path_;
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "SVC");
    }
    void TearDown() override {
        if (ctx_.storeFileHandle >= 0) {
            StatusBlock ignored;
            closeStoreFileHandle(ctx_.storeFileHandle, ignored);
        }
    }

    // Writes the file and opens it; the console output of the open.
    std::string openFile(const testsupport::StoreFileBuilder& file, bool expectOpen = true) {
        file.writeTo(path_);
        return openWritten(expectOpen);
    }
    std::string openWritten(bool expectOpen = true) {
        bool opened = false;
        std::string out = captured([&] { opened = openStoreFile(ctx_, status_); });
        EXPECT_EQ(opened, expectOpen) << out;
        return out;
    }

    std::uint32_t read(std::string* out = nullptr) {
        std::uint32_t length = 0;
        std::string text = captured([&] { length = readNextMessage(ctx_, status_); });
        if (out != nullptr) *out = text;
        return length;
    }
    void remove() {
        removeLastMsg(ctx_, status_);
        EXPECT_FALSE(statusFailed(status_));
    }
    // The message delivered last, as stored.
    std::vector<std::uint8_t> delivered() const {
        return {ctx_.currentMsg.data(), ctx_.currentMsg.data() + ctx_.currentMsg.size};
    }
    StoreFileHeader headerOnDisk() {
        StatusBlock st;
        return readType2Header(ctx_.storeFileHandle, st);
    }

    std::string path_;
    RecoverContext ctx_;
    StatusBlock status_{};
};

}  // namespace storetest
