#pragma once
// Whole recoveries run in-process on the in-process network, against a
// destination that acknowledges every stored message at once unless a test
// answers otherwise; what they sent is told by list id.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "msglib/inprocess.h"
#include "msglib/msglib.h"
#include "platform/file_ops.h"
#include "recover/recover_context.h"
#include "recover/recovery.h"
#include "storefile/file_handle.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"
#include "tools/sf_tool/sample_messages.h"

namespace hardening {

using Ids = std::vector<std::int32_t>;
using msglib::InProcessNetwork;

inline const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");
constexpr std::int32_t kNoticeListId = 9999;  // the end-of-file notice's list id

inline Ids numbers(std::int32_t first, std::int32_t last) {
    Ids n;
    for (std::int32_t i = first; i <= last; ++i) n.push_back(i);
    return n;
}

inline Ids withoutRepeats(Ids ids) {
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A linear store file of stored GET replies answering the requests for
// these lists from clienthost; a 0 stands for 700 bytes of junk the cursor
// must search over (its skip rewrites the header).
inline testsupport::StoreFileBuilder storeOf(const Ids& lists, int headerType = 2) {
    testsupport::StoreFileBuilder b(headerType);
    SampleShape shape;
    shape.requesterNode = "clienthost";
    for (const std::int32_t n : lists) {
        Message m;
        std::string error;
        EXPECT_TRUE(n == 0 || buildSampleMessage(shape, static_cast<std::uint32_t>(n), m, error)) << error;
        n == 0 ? void(b.addRaw(std::vector<std::uint8_t>(700, 0x3C))) : void(b.addMessage(m.view()));
    }
    b.describeRecords();
    return b;
}

inline std::int32_t listIdOf(MsgView msg) {
    std::uint32_t id = 0;
    return sampleSequence(msg, id) ? static_cast<std::int32_t>(id) : -1;
}

inline Message notification(std::int32_t type, const AddressRecord& from, const AddressRecord& to,
                            std::uint32_t trans = 0) {
    Message m;
    StatusBlock status;
    buildNotification(type, from, to, trans, m, status);
    return m;
}

inline void acknowledgeAtOnce(InProcessNetwork& net, MsgView sent) {
    if (listIdOf(sent) == kNoticeListId) return;
    net.deliver(notification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
}

struct RunResult {
    int exitCode = -1;
    std::string out;
    Ids delivered;  // list ids of the stored messages sent, resends included
    int notices = 0;
    bool runaway = false;  // stopped by the operator an hour on, not by itself
};

// One recovery of path; the destination answers through onSend. A recovery
// that would wait forever is shut down by an operator an hour on (the clock
// moves only while the recovery waits), and the result says so.
inline RunResult recoverInProcess(const std::string& path, InProcessNetwork::SendHook onSend = acknowledgeAtOnce) {
    InProcessNetwork net;
    net.declareReachable(kArec);
    net.onSend(std::move(onSend));
    const std::int64_t giveUp = net.nowMs() + 3'600'000;
    net.deliverAt(giveUp, notification(kTransShut, makeAddress("ophost", "OPERATOR"), kArec).view());
    msglib::ScopedTransport use(net);

    const char* argv[] = {"zento_sf_recover", "hardsvc", path.c_str()};
    RunResult result;
    RecoverContext ctx;
    testing::internal::CaptureStdout();
    result.exitCode = runRecovery(ctx, 3, argv);
    result.out = testing::internal::GetCapturedStdout();
    // A failed start or close leaves the file open; the process's end would
    // close it, whatever faults the test injects (its lock would keep the
    // next run waiting).
    if (ctx.store.storeFileHandle >= 0) {
        const platform::FileOps& injected = platform::fileOps();
        platform::installFileOps(nullptr);
        StatusBlock ignored;
        closeStoreFileHandle(ctx.store.storeFileHandle, ignored);
        platform::installFileOps(&injected);
    }
    for (const auto& sent : net.sent()) {
        const std::int32_t id = listIdOf(sent.view());
        id == kNoticeListId ? void(++result.notices) : result.delivered.push_back(id);
    }
    result.runaway = net.nowMs() >= giveUp;
    return result;
}

}  // namespace hardening
