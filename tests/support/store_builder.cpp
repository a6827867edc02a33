#include "tests/support/store_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "msglib/coding.h"
#include "tests/support/file_damage.h"

namespace testsupport {

std::vector<std::uint8_t> makeTestMessage(std::uint32_t length, std::uint32_t seed) {
    if (length < 8) {
        ADD_FAILURE() << "a message needs room for its length word";
        length = 8;
    }
    std::vector<std::uint8_t> message(length);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : message) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    encodeU32(message.data() + 4, length);
    return message;
}

std::vector<std::uint8_t> makeRecord(std::span<const std::uint8_t> message, std::uint32_t bodyCheck) {
    std::vector<std::uint8_t> head(kMessageHeadSize, 0);
    std::copy_n(message.begin(), std::min<std::size_t>(message.size(), kMessageHeadSize), head.begin());
    std::vector<std::uint8_t> record(kRecordPrefixSize + message.size());
    std::copy_n(kRecordMarker, 4, record.begin());
    encodeU32(record.data() + 4, storeCrc(head));
    encodeU32(record.data() + 8, bodyCheck);
    std::copy(message.begin(), message.end(), record.begin() + kRecordPrefixSize);
    return record;
}

std::vector<std::uint8_t> makeHeaderArea(const StoreFileHeader& header, int headerType) {
    std::vector<std::uint8_t> block;
    switch (headerType) {
        case 0: {
            const auto b = headerToType0(header);
            block.assign(b.begin(), b.end());
            break;
        }
        case 1: {
            const auto b = headerToType1(header);
            block.assign(b.begin(), b.end());
            break;
        }
        default: {
            const auto b = encodeType2(header);
            block.assign(b.begin(), b.end());
            break;
        }
    }
    std::vector<std::uint8_t> area(2 * block.size() + 8, 0);
    std::copy(block.begin(), block.end(), area.begin());
    std::copy(block.begin(), block.end(), area.begin() + static_cast<std::ptrdiff_t>(block.size() + 4));
    fixHeaderCrcs(area, headerType == 0 || headerType == 1 ? headerType : 2);
    return area;
}

StoreFileBuilder::StoreFileBuilder(int headerType)
    : headerType_(headerType), header_(emptyStoreHeader(0)), lastRecordEnd_(0) {
    if (headerType != 2) header_.revision = 0;  // older generations are told apart by their magic
    lastRecordEnd_ = dataStart();
    describeRecords();
}

std::int64_t StoreFileBuilder::dataStart() const { return 2 * static_cast<std::int64_t>(blockSizeOf(headerType_)) + 8; }

std::int64_t StoreFileBuilder::end() const { return dataStart() + static_cast<std::int64_t>(data_.size()); }

std::int64_t StoreFileBuilder::addMessage(std::span<const std::uint8_t> message, std::uint32_t bodyCheck) {
    const std::int64_t at = addRaw(makeRecord(message, bodyCheck));
    offsets_.push_back(at);
    lastRecordEnd_ = end();
    return at;
}

std::int64_t StoreFileBuilder::addRaw(std::span<const std::uint8_t> bytes) {
    const std::int64_t at = end();
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return at;
}

void StoreFileBuilder::zeroFillTo(std::int64_t size) {
    if (size > end()) data_.resize(static_cast<std::size_t>(size - dataStart()), 0);
}

StoreFileBuilder& StoreFileBuilder::describeRecords() {
    const std::int64_t start = dataStart();
    header_.firstMsgOffset = offsets_.empty() ? start : offsets_.front();
    header_.lastMsgOffset = offsets_.empty() ? start : offsets_.back();
    header_.msgCount = static_cast<std::uint32_t>(offsets_.size());
    header_.forwardOffset = header_.firstMsgOffset;
    header_.offset48 = lastRecordEnd_;
    header_.lastOffset = lastRecordEnd_;
    return *this;
}

std::vector<std::uint8_t> StoreFileBuilder::bytes() const {
    std::vector<std::uint8_t> file = makeHeaderArea(header_, headerType_);
    file.insert(file.end(), data_.begin(), data_.end());
    return file;
}

void StoreFileBuilder::writeTo(const std::string& path) const { writeAllBytes(path, bytes()); }

}  // namespace testsupport
