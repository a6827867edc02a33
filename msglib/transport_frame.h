#pragma once
// Framing on a stream connection. Every message is sent as it is: its head's
// length word (offset 4) says where it ends. A reader checks the magic and
// the length word as soon as the first 8 bytes of a frame are in, and gives
// up on the connection when either is wrong: after a bad length nothing on
// the stream can be trusted to start a frame.
//
// The first frame on a connection this process opened is a hello: a bare
// 292-byte head with message type 0 whose source AddressRecord names the
// sender. It lets the accepting side name the peer in a DISCONNECT even when
// the peer never sends anything else, and reuse the connection for messages
// going back. Hello frames are never delivered to the program. A peer that
// sends no hello is named by the source of its first message.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "msglib/message.h"
#include "msglib/message_head.h"
#include "msglib/records.h"

namespace msglib {

// Larger messages are refused on both ends: a corrupt length word must not
// make a reader allocate gigabytes.
constexpr std::uint32_t kMaxFrameBytes = 16u << 20;
constexpr std::int32_t kMsgHello = 0;

// True when msg can go on the wire as one frame: a whole head with the magic,
// a length word equal to its size, no larger than kMaxFrameBytes.
bool isSendableMessage(MsgView msg);

std::array<std::uint8_t, head::kSize> encodeHello(const AddressRecord& self);
bool isHelloFrame(MsgView frame);

// Collects frames from the bytes a connection delivers, one frame at a time.
// Use: recv into receiveSpace(), report the count with received(), take()
// each ready frame. receiveSpace() is empty while a frame waits to be taken,
// so a peer that sends faster than the program receives is held back by the
// socket instead of growing this buffer.
class FrameReader {
public:
    enum class State { kIncomplete, kReady, kBadFrame, kNoMemory };

    // Allocates the staging buffer; false when memory cannot be had.
    bool allocate();

    MsgSpan receiveSpace();
    void received(std::size_t count);
    // Moves the ready frame into out and goes on with the bytes behind it.
    bool take(Message& out);

    State state() const { return state_; }
    // Bytes of an unfinished frame are held (they are lost when the peer closes).
    bool holdsPartialFrame() const { return current_ || start_ < end_; }
    // The first 8 bytes of the frame that was refused, for the log.
    std::uint16_t badMagic() const { return badMagic_; }
    std::uint32_t badLength() const { return badLength_; }

private:
    static constexpr std::size_t kStagingBytes = 32 * 1024;

    void parse();
    void completeIfFull();

    std::unique_ptr<std::uint8_t[]> staging_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    Message current_;        // the frame being filled
    std::uint32_t fill_ = 0;
    bool direct_ = false;    // receiveSpace() handed out current_'s body
    Message ready_;
    State state_ = State::kIncomplete;
    std::uint16_t badMagic_ = 0;
    std::uint32_t badLength_ = 0;
};

}  // namespace msglib
