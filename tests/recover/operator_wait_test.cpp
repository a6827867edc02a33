// A recovery kept waiting by its destination tells the operator on standard
// error when the wait begins, when its reason changes, once a minute while it
// lasts and when it ends; the in-process clock runs the minutes at once.
#include <sstream>

#include "platform/clock.h"
#include "recover/recovery.h"
#include "tests/forward/forward_test_support.h"

namespace {

using namespace fwdtest;
using Call = msglib::InProcessNetwork::Call;

Message ack(const AddressRecord& to, std::uint32_t transNum) {
    Message m;
    StatusBlock status;
    buildNotification(kTransAck, kArec, to, transNum, m, status);
    return m;
}

class OperatorWait : public InProcessTest {
protected:
    // The lines the run told the operator, but its summary.
    std::vector<std::string> run() {
        std::vector<const char*> argv = {"zento_sf_recover", "recsvc", path_.c_str()};
        testing::internal::CaptureStderr();
        capturedStdout([&] { EXPECT_EQ(runRecovery(ctx_, static_cast<int>(argv.size()), argv.data()), 0); });
        std::istringstream err(testing::internal::GetCapturedStderr());
        std::vector<std::string> lines;
        for (std::string line; std::getline(err, line);) {
            EXPECT_TRUE(line.starts_with("zento_sf_recover: ")) << line;
            line.erase(0, std::strlen("zento_sf_recover: "));
            if (!line.starts_with("Recovery of ")) lines.push_back(line);
            EXPECT_EQ(logged("[RECSVC] " + line + "\n"), 1) << line;
        }
        return lines;
    }
    static std::string since(std::int64_t ms, const std::string& lasted) {
        const platform::LocalTime t = platform::toLocalTime({ms / 1000, 0});
        char text[64];
        std::snprintf(text, sizeof text, "since %02d:%02d:%02d (%s)", t.hour, t.minute, t.second, lasted.c_str());
        return text;
    }
};

TEST_F(OperatorWait, UnreachableThenSilentDestinationIsToldAsItGoes) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    // The first twelve sends fail, three as if nothing listened and nine as
    // if the connection timed out; each resend comes 10 s after the last.
    network_.failNext(Call::kSend, 3, kFacilityLibrary, 9123);
    for (int n = 4; n <= 12; ++n) network_.failNth(Call::kSend, n, kFacilityLibrary, 9125);
    int sends = 0;
    network_.onSend([&](msglib::InProcessNetwork& net, MsgView sent) {
        // Every message is acknowledged 2 s after it came, but the first
        // send of the second, whose acknowledgement never comes.
        if (++sends == 2) return;
        net.deliverAt(net.nowMs() + 2000, ack(net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
    });
    const std::int64_t start = msglib::InProcessNetwork::kStartMs + 500;  // the first send
    const std::string arec = "TSK_AREC on node clienthost";
    const std::vector<std::string> expected = {
        "Waiting for the destination: " + arec + " cannot be reached: nothing listens under the destination service "
        "name. The message at offset 192 stays in the store file and is sent again every 10 s until it goes.",
        "Still waiting for the destination " + since(start, "30 s") + ": " + arec + " cannot be reached now: the "
        "connection or the write to the destination did not finish in time; 3 resends so far.",
        "Still waiting for the destination " + since(start, "1 min 30 s") + ": " + arec + " cannot be reached: the "
        "connection or the write to the destination did not finish in time; 8 resends so far.",
        "The destination is back: " + arec + " acknowledged the message at offset 192 after 2 min 2 s of waiting "
        "and 12 resends; forwarding goes on.",
        "Waiting for the destination: " + arec + " has not acknowledged the message at offset " +
        std::to_string(192 + 12 + reply(1).size()) + " in time; it is sent again until it is acknowledged.",
        "The destination is back: " + arec + " acknowledged the message at offset " +
        std::to_string(192 + 12 + reply(1).size()) + " after 2 s of waiting and 1 resend; forwarding goes on.",
    };
    EXPECT_EQ(run(), expected);
}

}  // namespace
