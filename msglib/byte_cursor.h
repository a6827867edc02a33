#pragma once
// Bounds-checked sequential access to a message being read or written. Every
// take or put checks the remaining room first (in 64 bits, so no length can
// wrap); a cursor that ran short stays failed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "msglib/coding.h"

class ReadCursor {
public:
    ReadCursor(std::span<const std::uint8_t> bytes, std::size_t position) : bytes_(bytes), pos_(position) {
        if (pos_ > bytes_.size()) ok_ = false;
    }

    bool take(std::uint64_t length, std::span<const std::uint8_t>& out) {
        if (!ok_ || length > bytes_.size() - pos_) return ok_ = false;
        out = bytes_.subspan(pos_, static_cast<std::size_t>(length));
        pos_ += static_cast<std::size_t>(length);
        return true;
    }
    bool takeI32(std::int32_t& value) {
        std::span<const std::uint8_t> field;
        if (!take(4, field)) return false;
        value = decodeI32(field.data());
        return true;
    }
    bool ok() const { return ok_; }
    std::size_t position() const { return pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_;
    bool ok_ = true;
};

class WriteCursor {
public:
    WriteCursor(std::span<std::uint8_t> bytes, std::size_t position) : bytes_(bytes), pos_(position) {
        if (pos_ > bytes_.size()) ok_ = false;
    }

    void put(std::span<const std::uint8_t> data) {
        if (!ok_ || data.size() > bytes_.size() - pos_) {
            ok_ = false;
            return;
        }
        if (!data.empty()) std::memcpy(bytes_.data() + pos_, data.data(), data.size());
        pos_ += data.size();
    }
    void putI32(std::int32_t value) {
        std::uint8_t field[4];
        encodeI32(field, value);
        put(field);
    }
    // Room for length bytes the caller fills itself; null when there is none.
    std::uint8_t* reserve(std::size_t length) {
        if (!ok_ || length > bytes_.size() - pos_) {
            ok_ = false;
            return nullptr;
        }
        std::uint8_t* at = bytes_.data() + pos_;
        pos_ += length;
        return at;
    }
    bool ok() const { return ok_; }
    std::size_t position() const { return pos_; }

private:
    std::span<std::uint8_t> bytes_;
    std::size_t pos_;
    bool ok_ = true;
};
