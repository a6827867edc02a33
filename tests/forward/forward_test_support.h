#pragma once
// Shared by the forwarding and recovery tests: stored replies as the store task
// makes them, store files of them, and a fixture on the in-process transport.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "forward/get_request.h"
#include "msglib/coding.h"
#include "msglib/inprocess.h"
#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/store_open.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace fwdtest {

inline const AddressRecord kRequester = makeAddress("clienthost", "CLIENT");
inline const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");

// The GET reply to kRequester's request for tag TAG1 of list listId on device "DEV-<listId>".
inline std::vector<std::uint8_t> reply(std::int32_t listId, std::int32_t frequency = 100) {
    std::array<char, 32> device{};
    setFixedText(device.data(), device.size(), "DEV-" + std::to_string(listId));
    const std::array<DescriptorEntry, 2> dataTemplate = {DescriptorEntry{kDescStruct, 0, 1, 1},
                                                         DescriptorEntry{kDescInt, 0, 4, 1}};
    Message request, reply;
    StatusBlock status, acquisition;
    buildGetRequest(listId, device.data(), 0, 1, 1, 1, 300, &kRequester, makeAddress("scanhost", "SCANNER"),
                    frequency, "TAG1", {}, dataTemplate, request, status);
    ZENTO_SERVER_INITBLK(acquisition);
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisition, std::vector<std::uint8_t>{1, 2, 3, 4},
                              std::array<std::int32_t, 3>{}, TimeStamp{0, 1'600'000'000}, reply, status);
    EXPECT_FALSE(statusFailed(status));
    return std::vector<std::uint8_t>(reply.data(), reply.data() + reply.size);
}

inline std::string text(const AddressRecord& a) {
    return std::string(fixedText(a.node, 32)) + "/" + std::string(fixedText(a.service, 32));
}

template <typename F>
std::string capturedStdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}
// A linear store file of the messages, forwarding from the first.
inline testsupport::StoreFileBuilder storeWith(const std::vector<std::vector<std::uint8_t>>& messages) {
    testsupport::StoreFileBuilder b;
    for (const auto& m : messages) b.addMessage(m);
    b.describeRecords();
    return b;
}

inline std::int64_t storedForwardOffset(const std::string& path) {
    const std::vector<std::uint8_t> bytes = testsupport::readAllBytes(path);
    return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92)).forwardOffset;
}

// A fresh home and the in-process network, where the TSK_AREC of the
// requesters' node is reachable.
class InProcessTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override { network_.declareReachable(kArec); }
    void TearDown() override {
        StatusBlock status;
        if (ctx_.store.storeFileHandle >= 0) capturedStdout([&] { MasterFileClose(ctx_.store, status); });
    }
    // How often the library's log holds what.
    int logged(std::string_view what) const {
        std::ifstream in(home_.file("log/zento.log"));
        const std::string log(std::istreambuf_iterator<char>(in), {});
        int n = 0;
        for (std::size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    }

    msglib::InProcessNetwork network_;
    msglib::ScopedTransport use_{network_};
    RecoverContext ctx_;
    std::string path_ = home_.file("store.dat");
    std::string out_;
};

}  // namespace fwdtest
