#include "msglib/message.h"

#include <new>

bool allocateMessage(Message& msg, std::uint32_t size) {
    // Value-initialised: the buffer starts zero-filled.
    msg.bytes.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]());
    msg.size = msg.bytes ? size : 0;
    return static_cast<bool>(msg.bytes);
}

void releaseMessage(Message& msg) {
    msg.bytes.reset();
    msg.size = 0;
}
