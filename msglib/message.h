#pragma once
// An owned message buffer. Allocation never throws: a failed allocation
// leaves the buffer empty so callers can report it with their own code.
#include <cstdint>
#include <memory>
#include <span>

using MsgView = std::span<const std::uint8_t>;
using MsgSpan = std::span<std::uint8_t>;

struct Message {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t size = 0;

    explicit operator bool() const { return bytes != nullptr; }
    std::uint8_t* data() { return bytes.get(); }
    const std::uint8_t* data() const { return bytes.get(); }
    MsgSpan span() { return {bytes.get(), size}; }
    MsgView view() const { return {bytes.get(), size}; }
};

// Zero-filled buffer of size bytes; false (and an empty message) when memory
// cannot be had.
bool allocateMessage(Message& msg, std::uint32_t size);
void releaseMessage(Message& msg);
