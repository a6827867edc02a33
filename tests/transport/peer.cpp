// The other process of the transport tests.
//   transport_peer echo SERVICE      sends every request back to its source;
//                                    ends on SHUT, or after 30 s idle
//   transport_peer abandon SERVICE   registers and ends without EXIT, leaving
//                                    its socket file behind
// "ready PID" on standard output tells the test the name is registered.
// Exit codes: 0 after SHUT, 2 on a failed call, 3 when left idle.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "msglib/msglib.h"

namespace {

int fail(const char* call, const StatusBlock& status) {
    std::fprintf(stderr, "transport_peer: %s failed: error=%d\n", call, status.error[0]);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    StatusBlock status;
    AddressRecord self{};
    ZENTO_SERVER_INIT(1, argv[2], self, status);
    if (statusFailed(status)) return fail("init", status);
    std::printf("ready %d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    if (std::string_view(argv[1]) == "abandon") std::_Exit(0);
    for (int idle = 0; idle < 300; idle += 10) {
        Message msg;
        const std::int32_t length = ZENTO_SERVER_RECEIVE(10, msg, status);
        if (length < 0) return fail("receive", status);
        if (length == 0) continue;
        idle = -10;
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
