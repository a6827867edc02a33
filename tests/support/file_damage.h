#pragma once
// Byte-level access to files for tests: read and write whole files, change
// single bytes or words, cut files short, and repair header CRCs after an
// edit so that only the intended damage remains. Failures are reported as
// test failures.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testsupport {

std::vector<std::uint8_t> readAllBytes(const std::string& path);
void writeAllBytes(const std::string& path, std::span<const std::uint8_t> bytes);
std::int64_t fileSizeOf(const std::string& path);  // -1 when the file is missing

void setByte(const std::string& path, std::int64_t offset, std::uint8_t value);
void flipByte(const std::string& path, std::int64_t offset);  // XOR 0xFF
void setWord64(const std::string& path, std::int64_t offset, std::uint64_t value);
void truncateFile(const std::string& path, std::int64_t size);  // also extends with zeros

// Recomputes the two CRC words of a header of that type (0, 1 or 2) from the
// blocks as they now stand.
void fixHeaderCrcs(std::vector<std::uint8_t>& bytes, int headerType);
void fixHeaderCrcs(const std::string& path, int headerType);

}  // namespace testsupport
