// Draining a store file of arbitrary content with the message cursor, as a
// recovery whose every message is acknowledged at once: readNextMessage, then
// removeLastMsg, until the cursor ends. The input is the whole file. Its
// header CRCs are repaired, so that the fields decide, and so is the head CRC
// of every record marker in the data area (unless bit 0 of the header's
// uninterpreted word at offset 8 is set), so that mutated records still count
// as records and the reading goes deep. A header that cannot be used is
// opened with DUMP, as an operator would.
//
// What must hold: every delivered message is the record at the forward
// offset, whole, with a sound head CRC and body check; no record is delivered
// twice (the recovery would forward it twice); the cursor ends by itself;
// after a removal the header on disk is sound and names the in-memory forward
// offset; a recovery stopped after every few removals and started again
// delivers exactly what an uninterrupted one does.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/header_bytes.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "storefile/store_file.h"
#include "storefile/cursor.h"
#include "storefile/store_format.h"
#include "storefile/store_open.h"

namespace {

constexpr std::size_t kRecordHead = 304;

bool keepsRecordDamage(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 12 && (decodeU32(bytes.data() + 8) & 1U) != 0;
}

void repairRecordCrcs(std::vector<std::uint8_t>& bytes, std::size_t dataStart) {
    for (std::size_t p = dataStart; p + kRecordHead <= bytes.size(); ++p) {
        if (std::memcmp(bytes.data() + p, kRecordMarker, 4) != 0) continue;
        encodeU32(bytes.data() + p + 4, storeCrc({bytes.data() + p + 12, kMessageHeadSize}));
    }
}

// The input as the file the cursor reads.
std::vector<std::uint8_t> storeFileOf(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    const int type = fuzzsupport::claimedHeaderType(bytes);
    if (type >= 0) fuzzsupport::repairHeader(bytes, type);
    if (!keepsRecordDamage(bytes)) {
        const std::size_t dataStart = type >= 0 ? 2 * fuzzsupport::blockSize(type) + 8 : 192;
        repairRecordCrcs(bytes, dataStart);
    }
    return bytes;
}

bool open(StoreFile& ctx, const std::string& path, bool dumpMode) {
    StatusBlock status;
    if (openStoreFile(ctx, path, {dumpMode, nullptr}, status)) return true;
    StatusBlock closeStatus;
    MasterFileClose(ctx, closeStatus);
    return false;
}

// The delivered message against the file as it now stands.
void checkDelivery(const StoreFile& ctx, std::uint32_t length, const std::string& path) {
    FUZZ_CHECK(ctx.currentMsg && ctx.currentMsg.size == length);
    FUZZ_CHECK(length >= kMessageHeadSize);
    FUZZ_CHECK(ZENTO_SERVER_MSGSIZE(ctx.currentMsg.view()) == length);

    const std::string file = fuzzsupport::readWholeFile(path);
    const std::int64_t at = ctx.header.forwardOffset;
    FUZZ_CHECK(at >= 0 && at + 12 + std::int64_t{length} <= static_cast<std::int64_t>(file.size()));
    const auto* record = reinterpret_cast<const std::uint8_t*>(file.data()) + at;
    FUZZ_CHECK(std::memcmp(record + 12, ctx.currentMsg.data(), length) == 0);
    FUZZ_CHECK(storeCrc({record + 12, kMessageHeadSize}) == decodeU32(record + 4));
    FUZZ_CHECK(decodeU32(record + 8) == 0);
}

// The header on disk once the cursor has written it.
void checkWrittenHeader(const StoreFile& ctx, const std::string& path) {
    const std::string file = fuzzsupport::readWholeFile(path);
    const std::vector<std::uint8_t> bytes(file.begin(), file.end());
    const std::uint32_t s = blockSizeOf(ctx.headerType);
    FUZZ_CHECK(bytes.size() >= 2 * s + 8);
    FUZZ_CHECK(checkHeaderBlocks(bytes, s) == 0);
    const std::int64_t onDisk = fuzzsupport::forwardOffsetOf(bytes, ctx.headerType);
    if (ctx.headerType == 2) {
        FUZZ_CHECK(onDisk == ctx.header.forwardOffset);
    } else {
        FUZZ_CHECK(onDisk == (ctx.header.forwardOffset & 0xFFFFFFFF));
    }
}

// ZENTO_FUZZ_TRACE lists each delivery on standard error, for triage.
bool tracing() {
    static const bool on = std::getenv("ZENTO_FUZZ_TRACE") != nullptr;
    return on;
}

// ZENTO_FUZZ_TOLERATE_KNOWN ends a recovery quietly at the open findings (a
// record delivered twice; a restart refused at the end of the file while
// data is left), so that fuzzing can go on past them.
bool toleratesKnownFindings() {
    static const bool on = std::getenv("ZENTO_FUZZ_TOLERATE_KNOWN") != nullptr;
    return on;
}

// What one recovery, perhaps over several runs, has delivered so far.
struct Drain {
    std::vector<std::int64_t> positions;
    std::set<std::int64_t> delivered;
    std::int64_t calls = 0;
    bool knownFinding = false;  // ended early at an open finding
};

// Delivers and removes messages until the cursor ends, or until `removals`
// messages have been removed in this run; true when it stopped for that.
bool drain(StoreFile& ctx, const std::string& path, Drain& state, std::int64_t removals) {
    // Each record takes at least a record head of the file, so a drain that
    // delivers more than this has delivered something twice.
    const std::int64_t most = ctx.fileSize / static_cast<std::int64_t>(kRecordHead) + 1;
    bool removed = false;
    bool interrupted = false;
    while (ctx.moreMessages && !ctx.stopRequested) {
        if (removals-- == 0) {
            interrupted = true;
            break;
        }
        FUZZ_CHECK(++state.calls <= 2 * most + 2);
        StatusBlock status;
        const std::uint32_t length = readNextMessage(ctx, status);
        if (length == 0) {
            FUZZ_CHECK(!ctx.currentMsg);
            break;
        }
        if (tracing()) {
            std::fprintf(stderr,
                         "delivered %u bytes at %lld (header type %d, first %lld, last %lld, end %lld, wrapped %u, "
                         "maxSize %u)\n",
                         length, static_cast<long long>(ctx.header.forwardOffset), static_cast<int>(ctx.headerType),
                         static_cast<long long>(ctx.header.firstMsgOffset),
                         static_cast<long long>(ctx.header.lastMsgOffset),
                         static_cast<long long>(ctx.header.lastOffset), ctx.header.wrapped, ctx.header.maxSize);
        }
        checkDelivery(ctx, length, path);
        state.positions.push_back(ctx.header.forwardOffset);
        if (!state.delivered.insert(ctx.header.forwardOffset).second) {
            state.knownFinding = true;
            if (toleratesKnownFindings()) break;
            ::fuzzsupport::fail(__FILE__, __LINE__, "a record was delivered twice");
        }

        StatusBlock removeStatus;
        removeLastMsg(ctx, removeStatus);
        if (statusFailed(removeStatus)) break;
        FUZZ_CHECK(!ctx.currentMsg);
        removed = true;
    }
    if (removed) checkWrittenHeader(ctx, path);
    return interrupted;
}

// A whole recovery of the file, stopped and started again after every
// `removalsPerRun` removals (0: never). `whole` is the uninterrupted one.
Drain recover(const std::vector<std::uint8_t>& file, std::int64_t removalsPerRun, const Drain* whole) {
    const std::string& path = fuzzsupport::writeInputFile(file);
    Drain state;
    for (;;) {
        StoreFile ctx;
        if (!open(ctx, path, false)) {
            ctx = StoreFile{};
            if (!open(ctx, path, true)) return state;
        }
        const bool interrupted = drain(ctx, path, state, removalsPerRun > 0 ? removalsPerRun : -1);
        // A forward offset at the end of the file makes the next start refuse
        // the header (and DUMP read the file from the front again). That is
        // harmless when nothing was left to deliver, as at the end of a
        // linear file; it is a finding when the uninterrupted recovery went on.
        const bool atEnd = ctx.header.forwardOffset >= ctx.fileSize;
        const bool doneAtEnd = atEnd && whole != nullptr && state.positions.size() == whole->positions.size();
        if (tracing()) {
            std::fprintf(stderr, "run ends at %lld%s\n", static_cast<long long>(ctx.header.forwardOffset),
                         interrupted ? ", interrupted" : "");
        }
        StatusBlock closeStatus;
        FUZZ_CHECK(MasterFileClose(ctx, closeStatus));
        if (!interrupted || state.knownFinding || doneAtEnd) return state;
        if (atEnd && toleratesKnownFindings()) {
            state.knownFinding = true;
            return state;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    fuzzsupport::clearLogs();
    const std::vector<std::uint8_t> file = storeFileOf(data, size);
    const Drain whole = recover(file, 0, nullptr);
    // An interrupted recovery resumes where it stopped: run after run, it
    // delivers what one uninterrupted run delivers.
    const Drain resumed = recover(file, size > 0 ? 1 + data[size - 1] % 3 : 1, &whole);
    if (!whole.knownFinding && !resumed.knownFinding) {
        FUZZ_CHECK(resumed.positions == whole.positions);
    }
    return 0;
}
