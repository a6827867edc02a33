// The other process of the transport tests.
//   transport_peer echo SERVICE      answers every request with a copy of it
//                                    sent back to its source; ends on SHUT
//   transport_peer abandon SERVICE   registers and ends without EXIT, leaving
//                                    its socket file behind
// "ready" on standard output tells the test the name is registered. Exit
// codes: 0 after SHUT, 2 on a failed call, 3 when left idle too long.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "msglib/msglib.h"

namespace {

// Ends an echo peer that its test forgot.
constexpr int kIdleUnits = 300;

int fail(const char* call, const StatusBlock& status) {
    std::fprintf(stderr, "transport_peer: %s failed: facility=%d error=%d\n", call, status.facility[0],
                 status.error[0]);
    return 2;
}

int echo(const AddressRecord& self) {
    StatusBlock status;
    int idle = 0;
    while (idle < kIdleUnits) {
        Message msg;
        const std::int32_t length = ZENTO_SERVER_RECEIVE(10, msg, status);
        if (length < 0) return fail("receive", status);
        if (length == 0) {
            idle += 10;
            continue;
        }
        idle = 0;
        if (ZENTO_SERVER_MSGTYPE(msg.view()) == kMsgNotification) {
            if (ZENTO_SERVER_TRANSTYPE(msg.view()) != kTransShut) continue;
            ZENTO_SERVER_EXIT(status);
            return statusFailed(status) ? fail("exit", status) : 0;
        }
        ZENTO_SERVER_SET_MSGDEST(msg.span(), ZENTO_SERVER_MSGSRC(msg.view()));
        ZENTO_SERVER_SET_MSGSRC(msg.span(), self);
        ZENTO_SERVER_SEND(50, msg.view(), status);
        if (statusFailed(status)) return fail("send", status);
    }
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string_view mode = argv[1];
    StatusBlock status;
    AddressRecord self{};
    ZENTO_SERVER_INIT(1, argv[2], self, status);
    if (statusFailed(status)) return fail("init", status);
    std::printf("ready\n");
    std::fflush(stdout);
    if (mode == "abandon") std::_Exit(0);
    return echo(self);
}
