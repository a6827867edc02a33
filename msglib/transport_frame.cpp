#include "msglib/transport_frame.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "msglib/coding.h"
#include "msglib/head_writer.h"

namespace msglib {

namespace {

// The magic and the length word are in the first 8 bytes.
constexpr std::size_t kFrameStartBytes = 8;

bool isFrameLength(std::uint32_t length) { return length >= head::kSize && length <= kMaxFrameBytes; }

}  // namespace

bool isSendableMessage(MsgView msg) {
    if (msg.size() < head::kSize || msg.size() > kMaxFrameBytes) return false;
    return decodeU16(msg.data() + head::kMagicOffset) == head::kMagic &&
           decodeU32(msg.data() + head::kLengthOffset) == msg.size();
}

std::array<std::uint8_t, head::kSize> encodeHello(const AddressRecord& self) {
    std::array<std::uint8_t, head::kSize> frame{};
    HeadFields fields;
    fields.length = head::kSize;
    fields.messageType = kMsgHello;
    fields.source = self;
    writeHead(frame.data(), fields);
    return frame;
}

bool isHelloFrame(MsgView frame) {
    return frame.size() == head::kSize && decodeI32(frame.data() + head::kMessageTypeOffset) == kMsgHello;
}

bool FrameReader::allocate() {
    staging_.reset(new (std::nothrow) std::uint8_t[kStagingBytes]);
    return staging_ != nullptr;
}

MsgSpan FrameReader::receiveSpace() {
    direct_ = false;
    if (state_ != State::kIncomplete || !staging_) return {};
    if (current_ && start_ == end_) {
        // The rest of a large frame goes straight into its own buffer.
        direct_ = true;
        return current_.span().subspan(fill_);
    }
    if (start_ > 0) {
        std::memmove(staging_.get(), staging_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    return {staging_.get() + end_, kStagingBytes - end_};
}

void FrameReader::received(std::size_t count) {
    if (direct_) {
        direct_ = false;
        fill_ += static_cast<std::uint32_t>(count);
        completeIfFull();
        return;
    }
    end_ += count;
    parse();
}

bool FrameReader::take(Message& out) {
    if (state_ != State::kReady) return false;
    out = std::move(ready_);
    state_ = State::kIncomplete;
    parse();
    return true;
}

void FrameReader::completeIfFull() {
    if (current_ && fill_ == current_.size) {
        ready_ = std::move(current_);
        current_ = Message{};
        fill_ = 0;
        state_ = State::kReady;
    }
}

void FrameReader::parse() {
    while (state_ == State::kIncomplete && start_ < end_) {
        const std::uint8_t* next = staging_.get() + start_;
        if (!current_) {
            if (end_ - start_ < kFrameStartBytes) break;
            const std::uint16_t magic = decodeU16(next + head::kMagicOffset);
            const std::uint32_t length = decodeU32(next + head::kLengthOffset);
            if (magic != head::kMagic || !isFrameLength(length)) {
                badMagic_ = magic;
                badLength_ = length;
                state_ = State::kBadFrame;
                return;
            }
            if (!allocateMessage(current_, length)) {
                badLength_ = length;
                state_ = State::kNoMemory;
                return;
            }
            fill_ = 0;
        }
        const std::size_t count = std::min<std::size_t>(current_.size - fill_, end_ - start_);
        std::memcpy(current_.data() + fill_, next, count);
        fill_ += static_cast<std::uint32_t>(count);
        start_ += count;
        completeIfFull();
    }
    if (start_ == end_) start_ = end_ = 0;
}

}  // namespace msglib
