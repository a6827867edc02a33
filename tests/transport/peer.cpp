// The other process of the transport tests: transport_peer SERVICE registers,
// says "ready PID", and sends every request back to its source until a SHUT
// (exit code 0) or 30 s without a message (3); a failed call exits with 2.
#include <unistd.h>

#include <cstdio>

#include "msglib/msglib.h"

int main(int argc, char** argv) {
    StatusBlock status;
    AddressRecord self{};
    if (argc == 2) ZENTO_SERVER_INIT(1, argv[1], self, status);
    if (argc != 2 || statusFailed(status)) return 2;
    std::printf("ready %d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    for (int idle = 0; idle < 300; idle += 10) {
        Message msg;
        const std::int32_t length = ZENTO_SERVER_RECEIVE(10, msg, status);
        if (length < 0) return 2;
        if (length == 0 || ZENTO_SERVER_TRANSTYPE(msg.view()) == kTransDisconnect) continue;
        idle = -10;
        if (ZENTO_SERVER_TRANSTYPE(msg.view()) == kTransShut) {
            ZENTO_SERVER_EXIT(status);
            return statusFailed(status) ? 2 : 0;
        }
        ZENTO_SERVER_SET_MSGDEST(msg.span(), ZENTO_SERVER_MSGSRC(msg.view()));
        ZENTO_SERVER_SET_MSGSRC(msg.span(), self);
        ZENTO_SERVER_SEND(50, msg.view(), status);
        if (statusFailed(status)) return 2;
    }
    return 3;
}
