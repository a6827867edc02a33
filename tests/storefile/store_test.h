#pragma once
// What the store file tests share: console capture, files as text, and a
// store file in a fresh ZENTO_HOME opened the way a recovery opens it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "msglib/msglib.h"
#include "platform/file_ops.h"
#include "storefile/cursor.h"
#include "storefile/file_handle.h"
#include "storefile/skip_log.h"
#include "storefile/store_open.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace storetest {

using Bytes = std::vector<std::uint8_t>;
using Seeds = std::vector<std::uint32_t>;
using testsupport::Entries;
using testsupport::FaultyFileOps;
using testsupport::FileOpKind;
using testsupport::makeRecord;
using testsupport::makeTestMessage;
using testsupport::statusEntries;
using testsupport::StoreFileBuilder;

inline Entries storeCodes(std::initializer_list<std::int32_t> codes) {
    Entries out;
    for (std::int32_t c : codes) out.emplace_back(kFacilityStore, c);
    return out;
}

inline std::string captured(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

inline std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline int occurrences(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

class StoreFileTest : public testsupport::TempHomeTest {
protected:
    void TearDown() override {
        closeHandle();
        ::unsetenv("ZENTO_SF_SYNC");
    }
    void closeHandle() {
        StatusBlock ignored;
        if (store_.storeFileHandle >= 0) closeStoreFileHandle(store_.storeFileHandle, ignored);
        store_.storeFileHandle = -1;
    }
    // A new run on the file as it stands: whether it opened; its lines in out_.
    bool reopen(bool dump = false) {
        closeHandle();
        resetStoreFile(store_);
        skipLog_ = std::make_unique<SkipLog>("SVC", path_);
        bool opened = false;
        out_ = captured([&] { opened = openStoreFile(store_, path_, {dump, skipLog_.get()}, status_); });
        return opened;
    }
    // The file holding content, on a plain handle: no name lock, nothing kept in memory.
    int openPlain(const Bytes& content) {
        closeHandle();
        testsupport::writeAllBytes(path_, content);
        return store_.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    }
    bool openFile(const StoreFileBuilder& b, bool dump = false) {
        b.writeTo(path_);
        return reopen(dump);
    }
    std::uint32_t read(std::string* out = nullptr) {
        std::uint32_t length = 0;
        const std::string text = captured([&] { length = readNextMessage(store_, status_); });
        if (out != nullptr) *out = text;
        return length;
    }
    void remove() {
        removeLastMsg(store_, status_);
        EXPECT_FALSE(statusFailed(status_));
    }
    // The seed makeTestMessage was given for the message held; 0 if none fits.
    std::uint32_t deliveredSeed() const {
        const Bytes held(store_.currentMsg.data(), store_.currentMsg.data() + store_.currentMsg.size);
        for (std::uint32_t n = 1; n < 256; ++n) {
            if (held == makeTestMessage(static_cast<std::uint32_t>(held.size()), n)) return n;
        }
        return 0;
    }
    // Reads and removes until the cursor ends (at most `most` messages); the seeds sent.
    Seeds drain(std::size_t most = 12) {
        Seeds sent;
        while (sent.size() < most && store_.moreMessages && !store_.stopRequested && read() > 0) {
            sent.push_back(deliveredSeed());
            remove();
        }
        return sent;
    }
    // A read that finds the end of the data: no message, error 13412 last.
    void expectEnd(ReadOutcome outcome, bool stop, bool more, const std::string& line) {
        std::string out;
        const std::uint32_t length = read(&out);
        EXPECT_EQ(std::tuple(length, out, store_.lastReadOutcome == outcome, store_.stopRequested, store_.moreMessages),
                  std::tuple(0u, line, true, stop, more));
        EXPECT_TRUE(!store_.currentMsg && testsupport::hasEntry(status_, kFacilityStore, 13412));
    }
    StoreFileHeader headerOnDisk() {
        StatusBlock st;
        return readType2Header(store_.storeFileHandle, st);
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE1.SVC");
    StoreFile store_;
    std::unique_ptr<SkipLog> skipLog_;
    StatusBlock status_{};
    std::string out_;
};

}  // namespace storetest
