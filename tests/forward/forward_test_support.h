#pragma once
// Shared by the forwarding and recovery tests: stored replies made the way
// the store task makes them (a GET request answered by the library), store
// files holding them, and the library's log read back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "forward/get_request.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/store_open.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace fwdtest {

inline const AddressRecord kScanner = makeAddress("scanhost", "SCANNER");

// The GET reply that answered requester's request for one tag of list listId
// on device "DEV-<listId>"; its request source is requester.
inline std::vector<std::uint8_t> makeStoredReply(std::int32_t listId, std::int32_t frequency,
                                                 const AddressRecord& requester) {
    std::array<char, 32> device{};
    setFixedText(device.data(), device.size(), "DEV-" + std::to_string(listId));
    const std::array<char, 5> names = {'T', 'A', 'G', '1', '\0'};
    const std::array<DescriptorEntry, 2> dataTemplate = {DescriptorEntry{kDescStruct, 0, 1, 1},
                                                         DescriptorEntry{kDescInt, 0, 4, 1}};
    Message request;
    StatusBlock status;
    buildGetRequest(listId, device.data(), 0, 1, 1, 1, 300, &requester, kScanner, frequency, names, {},
                    dataTemplate, request, status);
    EXPECT_FALSE(statusFailed(status)) << "request";

    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const std::array<std::uint8_t, 4> value = {1, 2, 3, 4};
    const std::array<std::int32_t, 3> valueStatus = {0, 0, 0};
    TimeStamp when{0, 1'600'000'000};
    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisition, value, valueStatus, when, reply, status);
    EXPECT_FALSE(statusFailed(status)) << "reply";
    return std::vector<std::uint8_t>(reply.data(), reply.data() + reply.size);
}

// A message of length bytes with a sound head that is neither kind of reply.
inline std::vector<std::uint8_t> makeOtherMessage(std::uint32_t length, const AddressRecord& requester,
                                                  std::int32_t transType = 5) {
    std::vector<std::uint8_t> m(length, 0);
    encodeU16(m.data(), head::kMagic);
    encodeU32(m.data() + head::kLengthOffset, length);
    encodeU32(m.data() + head::kMessageTypeOffset, 2);
    encodeU32(m.data() + head::kTransTypeOffset, static_cast<std::uint32_t>(transType));
    std::memcpy(m.data() + head::kRequestSourceOffset, &requester, sizeof requester);
    for (std::uint32_t i = head::kSize; i < length; ++i) m[i] = static_cast<std::uint8_t>(i);
    return m;
}

inline Message toMessage(const std::vector<std::uint8_t>& bytes) {
    Message m;
    EXPECT_TRUE(allocateMessage(m, static_cast<std::uint32_t>(bytes.size())));
    std::memcpy(m.data(), bytes.data(), bytes.size());
    return m;
}

// Runs f with standard output captured; the result is what it printed.
template <typename F>
std::string capturedStdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// Store file with the given messages as a linear file, forwarding from the first.
inline testsupport::StoreFileBuilder storeWith(const std::vector<std::vector<std::uint8_t>>& messages) {
    testsupport::StoreFileBuilder b;
    for (const auto& m : messages) b.addMessage(m);
    b.describeRecords();
    return b;
}

inline void openInto(RecoverContext& ctx, const std::string& path) {
    ctx.storeFileName = path;
    StatusBlock status;
    bool opened = false;
    capturedStdout([&] { opened = openStoreFile(ctx, status); });
    ASSERT_TRUE(opened) << "store file " << path;
}

inline void closeStore(RecoverContext& ctx) {
    if (ctx.storeFileHandle < 0) return;
    StatusBlock status;
    capturedStdout([&] { MasterFileClose(ctx, status); });
    ctx.storeFileHandle = -1;
}

// The texts of the library's message log, one per line written.
inline std::string logText(const testsupport::TempHome& home) {
    std::ifstream in(home.file("log/zento.log"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int occurrences(const std::string& text, std::string_view what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

inline std::int64_t storedForwardOffset(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<char, 92> block{};
    in.read(block.data(), block.size());
    return decodeType2(std::span<const std::uint8_t, 92>(reinterpret_cast<const std::uint8_t*>(block.data()), 92))
        .forwardOffset;
}

}  // namespace fwdtest
