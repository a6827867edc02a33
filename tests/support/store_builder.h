#pragma once
// Store files for tests, built in memory and written in one go: a header of
// type 0, 1 or 2 with the fields a test sets, then records in order, then any
// raw or zero bytes. Messages are plain byte vectors whose length word (the
// u32 at offset 4) holds their length.
//
//   testsupport::StoreFileBuilder b;                 // type 2, data from 192
//   auto at = b.addMessage(testsupport::makeTestMessage(400, 1));
//   b.describeRecords();                             // header offsets and count
//   b.writeTo(path);
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "storefile/store_format.h"

namespace testsupport {

// length bytes (at least 8) of a pattern that depends on seed, with length in
// the length word at offset 4.
std::vector<std::uint8_t> makeTestMessage(std::uint32_t length, std::uint32_t seed = 0);

// The record of a message: marker, head CRC, bodyCheck, message. The head CRC
// covers the first 292 bytes; a shorter message is taken as followed by zeros.
std::vector<std::uint8_t> makeRecord(std::span<const std::uint8_t> message, std::uint32_t bodyCheck = 0);

// The header area of a type (2S+8 bytes): block, CRC, block, CRC.
std::vector<std::uint8_t> makeHeaderArea(const StoreFileHeader& header, int headerType);

class StoreFileBuilder {
public:
    explicit StoreFileBuilder(int headerType = 2);

    StoreFileHeader& header() { return header_; }
    int headerType() const { return headerType_; }
    std::int64_t dataStart() const;  // the header length 2S+8
    std::int64_t end() const;        // where the next bytes go

    // Appends the record of message; the result is its offset.
    std::int64_t addMessage(std::span<const std::uint8_t> message, std::uint32_t bodyCheck = 0);
    // Appends bytes as they are (damaged records, garbage); the result is their offset.
    std::int64_t addRaw(std::span<const std::uint8_t> bytes);
    // Appends zero bytes up to size.
    void zeroFillTo(std::int64_t size);

    const std::vector<std::int64_t>& recordOffsets() const { return offsets_; }

    // Describes the records added so far as a linear file would: first and
    // last message offsets, msgCount, forwardOffset at the first record, and
    // offset48 and lastOffset at the end of the last one (all at the data
    // start when there are none).
    StoreFileBuilder& describeRecords();

    std::vector<std::uint8_t> bytes() const;
    void writeTo(const std::string& path) const;

private:
    int headerType_;
    StoreFileHeader header_;
    std::vector<std::uint8_t> data_;
    std::vector<std::int64_t> offsets_;
    std::int64_t lastRecordEnd_;
};

}  // namespace testsupport
