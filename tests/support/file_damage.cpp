#include "tests/support/file_damage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "msglib/coding.h"
#include "storefile/store_format.h"

namespace testsupport {

std::vector<std::uint8_t> readAllBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAllBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::int64_t fileSizeOf(const std::string& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

namespace {

void patch(const std::string& path, std::int64_t offset, std::span<const std::uint8_t> bytes) {
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(offset);
    io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!io) ADD_FAILURE() << "cannot patch " << path << " at " << offset;
}

void peek(const std::string& path, std::int64_t offset, std::span<std::uint8_t> bytes) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) ADD_FAILURE() << "cannot read " << path << " at " << offset;
}

}  // namespace

void setByte(const std::string& path, std::int64_t offset, std::uint8_t value) {
    const std::uint8_t b[1] = {value};
    patch(path, offset, b);
}

void flipByte(const std::string& path, std::int64_t offset) {
    std::uint8_t b[1] = {};
    peek(path, offset, b);
    setByte(path, offset, static_cast<std::uint8_t>(b[0] ^ 0xFF));
}

void setWord64(const std::string& path, std::int64_t offset, std::uint64_t value) {
    std::uint8_t b[8];
    encodeU64(b, value);
    patch(path, offset, b);
}

void truncateFile(const std::string& path, std::int64_t size) {
    std::error_code ec;
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size), ec);
    if (ec) ADD_FAILURE() << "cannot resize " << path << ": " << ec.message();
}

void fixHeaderCrcs(std::vector<std::uint8_t>& bytes, int headerType) {
    const std::uint32_t s = blockSizeOf(headerType);
    if (s == 0 || bytes.size() < 2 * s + 8) {
        ADD_FAILURE() << "no header of type " << headerType << " in " << bytes.size() << " bytes";
        return;
    }
    const std::span<const std::uint8_t> all(bytes);
    encodeU32(bytes.data() + s, storeCrc(all.subspan(0, s)));
    encodeU32(bytes.data() + 2 * s + 4, storeCrc(all.subspan(s + 4, s)));
}

void fixHeaderCrcs(const std::string& path, int headerType) {
    std::vector<std::uint8_t> bytes = readAllBytes(path);
    fixHeaderCrcs(bytes, headerType);
    const std::uint32_t s = blockSizeOf(headerType);
    if (s == 0 || bytes.size() < 2 * s + 8) return;
    patch(path, 0, std::span<const std::uint8_t>(bytes).first(2 * s + 8));
}

}  // namespace testsupport
