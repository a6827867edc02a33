// The order in which a header pair is rewritten.
//
// The block checks accept a header when exactly one copy matches its CRC, or
// when both match and are byte-for-byte equal; two valid copies that differ
// are rejected. Written in one go, block, CRC, block, CRC, a write torn just
// behind the first CRC leaves two valid copies that differ, and the recovery
// then refuses the file. So the pair is rewritten in small writes, ordered
// so that the copy the checks choose is always a complete header, old or new:
//
//   P = primary block [0, S)    C1 = its CRC [S, S+4)
//   B = backup block [S+4, 2S+4) C2 = its CRC [2S+4, 2S+8)
//   B's byte at S+8 (the low byte of its revision word) serves as its seal.
//
//   1. P := new block. C1 still holds the old CRC, so P is invalid from its
//      first changed byte on; the old backup is chosen.
//   2. [S, S+9) := new CRC, the magic, a broken seal. P turns valid and B
//      invalid in the same small write.
//   3. [S+9, 2S+8) := the rest of the new block and its CRC. The broken seal
//      keeps B invalid whatever part of it is written; the new P is chosen.
//   4. [S+8] := the seal. B turns valid and equal to P.
//
// No order of writes can do better than step 2. A single byte changes the
// validity of one copy only, so going from "old copy chosen" to "new copy
// chosen" one byte at a time must pass through two valid copies that differ
// or through two invalid ones: one small write has to change both copies,
// and that is possible only across the boundary C1 | B. Step 2 is nine bytes
// inside the first sector of the file, which storage writes whole; every
// other write may be torn at any byte.
//
// The seal is the backup's revision byte, not its magic: the header type of
// a file whose revision word is neither 1 nor 2 is recognised by the magic
// at the start of the backup block, so the magic is never broken. The broken
// seal is chosen so that the type-1 probe at offset 72 (the seal's word in a
// type-0 file) cannot see the magic either.
//
// The steps assume both copies valid, or only the backup valid. When the
// file holds a valid primary and an invalid backup (a crash between steps 2
// and 4 of an earlier write), the backup is first made a copy of the primary
// with the same seal discipline; when neither copy is valid there is no old
// header to keep, and the steps run as they are. That is why the header area
// is read before a write, unless this process wrote it last to a file it
// holds open under its name lock: then it holds two valid, equal copies of
// what was written (storefile/file_memory.h), and only a failed write makes
// it unknown again.
#include "storefile/header_pair.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "msglib/coding.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/file_memory.h"
#include "storefile/store_format.h"

namespace {

using namespace storecode;

constexpr std::uint32_t kSealOffset = 4;  // within a block
constexpr std::uint8_t kMagicFirstByte = 0xA5;

using Bytes = std::span<const std::uint8_t>;
using Area = std::array<std::uint8_t, kMaxHeaderArea>;

// A read that stopped short with errno 0 met the end of the file.
bool endOfFile(const StatusBlock& status) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.facility[i] == kFacilityRuntime && status.error[i] == 0) return true;
    }
    return false;
}

std::uint8_t brokenSeal(std::uint8_t seal) {
    const auto flipped = static_cast<std::uint8_t>(seal ^ 0xFF);
    return flipped != kMagicFirstByte ? flipped : static_cast<std::uint8_t>(seal ^ 0x0F);
}

// The positioned reads and writes of one pair rewrite: each piece is one call.
class PairWriter {
public:
    PairWriter(int handle, PairWriteMode mode, StatusBlock& status)
        : handle_(handle), announce_(mode == PairWriteMode::Recovery), status_(status) {}

    // The header area as it stands: 2S+8 bytes, fewer when the file is
    // shorter (allowed for a new file only). The bytes read, or nothing.
    std::optional<Bytes> readArea(std::uint32_t length, bool mayBeShort, Area& area);
    bool put(std::int64_t offset, Bytes bytes);

private:
    void fail(const char* what) {
        const bool seek = offsetRefused(status_);
        if (announce_) {
            std::printf("Warning: ERROR trying to write file header: error in %s.\n", seek ? "SEEK" : what);
        }
        ZENTO_SERVER_LDBLK(kFacilityStore, seek ? kHeaderWriteSeekFailed : kHeaderWriteFailed, status_);
    }

    int handle_;
    bool announce_;
    StatusBlock& status_;
};

std::optional<Bytes> PairWriter::readArea(std::uint32_t length, bool mayBeShort, Area& area) {
    area.fill(0);
    const std::int64_t got = readExactAt(handle_, 0, area.data(), length, status_);
    if (!statusFailed(status_)) return Bytes(area.data(), length);
    if (mayBeShort && endOfFile(status_)) {
        ZENTO_SERVER_INITBLK(status_);
        return Bytes(area.data(), static_cast<std::size_t>(got));
    }
    fail("READ");
    return std::nullopt;
}

bool PairWriter::put(std::int64_t offset, Bytes bytes) {
    writeExactAt(handle_, offset, bytes.data(), static_cast<std::int64_t>(bytes.size()), status_);
    if (!statusFailed(status_)) return true;
    fail("WRITE");
    return false;
}

// The copies found on disk.
struct FoundPair {
    bool primaryValid = false;
    bool backupValid = false;
};

FoundPair judge(Bytes area, std::uint32_t s) {
    FoundPair found;
    if (area.size() < 2 * std::size_t{s} + 8) return found;
    const Bytes primary = area.subspan(0, s);
    const Bytes backup = area.subspan(s + 4, s);
    found.primaryValid = storeCrc(primary) == decodeU32(area.data() + s);
    found.backupValid = storeCrc(backup) == decodeU32(area.data() + 2 * s + 4);
    if (found.primaryValid && found.backupValid && !std::equal(primary.begin(), primary.end(), backup.begin())) {
        found = FoundPair{};  // rejected as a whole: nothing to keep
    }
    return found;
}

// [S+4, S+9): the block's first word and a broken seal. With crcFirst, C1
// goes in front in the same write (step 2).
bool breakBackupSeal(PairWriter& out, Bytes block, std::uint32_t crc, bool crcFirst) {
    const auto s = static_cast<std::int64_t>(block.size());
    std::array<std::uint8_t, 9> piece{};
    std::size_t n = 0;
    if (crcFirst) {
        encodeU32(piece.data(), crc);
        n = 4;
    }
    std::copy_n(block.begin(), 4, piece.begin() + static_cast<std::ptrdiff_t>(n));
    piece[n + 4] = brokenSeal(block[kSealOffset]);
    return out.put(crcFirst ? s : s + 4, Bytes(piece.data(), n + 5));
}

// Steps 3 and 4: the backup's bytes behind the seal with C2, then the seal.
bool completeBackup(PairWriter& out, Bytes block, std::uint32_t crc) {
    const auto s = static_cast<std::int64_t>(block.size());
    Area rest{};
    const std::size_t behindSeal = block.size() - kSealOffset - 1;
    std::copy(block.begin() + kSealOffset + 1, block.end(), rest.begin());
    encodeU32(rest.data() + behindSeal, crc);
    if (!out.put(s + 4 + kSealOffset + 1, Bytes(rest.data(), behindSeal + 4))) return false;
    return out.put(s + 4 + kSealOffset, block.subspan(kSealOffset, 1));
}

// What the area holds once block is written as a pair.
Area pairOf(Bytes block, std::uint32_t crc) {
    Area area{};
    const std::size_t s = block.size();
    std::copy(block.begin(), block.end(), area.begin());
    encodeU32(area.data() + s, crc);
    std::copy(block.begin(), block.end(), area.begin() + static_cast<std::ptrdiff_t>(s + 4));
    encodeU32(area.data() + 2 * s + 4, crc);
    return area;
}

bool rewrite(int handle, Bytes block, PairWriteMode mode, StatusBlock& status) {
    const auto s = static_cast<std::uint32_t>(block.size());
    const std::uint32_t length = 2 * s + 8;
    PairWriter out(handle, mode, status);
    Area read{};
    Bytes area = knownHeaderArea(handle);
    if (area.size() != length) {
        const std::optional<Bytes> got = out.readArea(length, mode == PairWriteMode::NewFile, read);
        if (!got) return false;
        area = *got;
    }

    const FoundPair found = judge(area, s);
    if (found.primaryValid && !found.backupValid) {
        const Bytes primary = area.subspan(0, s);
        const std::uint32_t primaryCrc = decodeU32(area.data() + s);
        if (!breakBackupSeal(out, primary, primaryCrc, false)) return false;
        if (!completeBackup(out, primary, primaryCrc)) return false;
    }

    const std::uint32_t crc = storeCrc(block);
    if (!out.put(0, block)) return false;
    if (!breakBackupSeal(out, block, crc, true)) return false;
    if (!completeBackup(out, block, crc)) return false;
    const Area written = pairOf(block, crc);
    rememberHeaderArea(handle, Bytes(written.data(), length));
    return true;
}

}  // namespace

void writeHeaderPair(int handle, std::span<const std::uint8_t> block, PairWriteMode mode, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    // A failed piece leaves the area in a state only a read can tell.
    if (!rewrite(handle, block, mode, status)) forgetHeaderArea(handle);
}
