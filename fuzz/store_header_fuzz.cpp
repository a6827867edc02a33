// Opening a store file of arbitrary bytes, as the recovery does at start-up,
// without and with DUMP, then closing it. Each input is tried as it is and
// with its header CRCs repaired, so that the checks behind the CRC test (the
// generations, the forward offset against the file's length) are reached too.
//
// What must hold: an open succeeds exactly when the header area is readable,
// of a known generation, has a usable block and a forward offset inside the
// file; DUMP opens every file whose header area can be read, at the start of
// the data area; the close succeeds after an open; no handle stays open.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/header_bytes.h"
#include "msglib/coding.h"
#include "storefile/store_file.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"
#include "storefile/store_open.h"

namespace {

using fuzzsupport::kHeaderArea;

// Whether the recovery may start from this header without DUMP, and where.
struct Expected {
    bool usable = false;
    std::int64_t forwardOffset = 0;
};

Expected expectedOpen(const std::vector<std::uint8_t>& bytes) {
    Expected expected;
    const int type = fuzzsupport::claimedHeaderType(bytes);
    if (type < 0) return expected;
    const std::uint32_t s = fuzzsupport::blockSize(type);
    const std::uint8_t* primary = bytes.data();
    const std::uint8_t* backup = bytes.data() + s + 4;
    const bool primaryOk = storeCrc({primary, s}) == decodeU32(bytes.data() + s);
    const bool backupOk = storeCrc({backup, s}) == decodeU32(bytes.data() + 2 * s + 4);
    const bool same = std::memcmp(primary, backup, s) == 0;
    if (!primaryOk && !backupOk) return expected;
    if (primaryOk && backupOk && !same) return expected;
    const std::uint8_t* chosen = primaryOk ? primary : backup;
    expected.forwardOffset = fuzzsupport::forwardOffsetOf({chosen, s}, type);
    const auto size = static_cast<std::int64_t>(bytes.size());
    expected.usable = expected.forwardOffset >= 0 && expected.forwardOffset < size;
    return expected;
}

void openAndClose(const std::vector<std::uint8_t>& bytes, bool dumpMode) {
    const std::string& path = fuzzsupport::writeInputFile(bytes);
    const auto size = static_cast<std::int64_t>(bytes.size());
    StoreFile ctx;
    StatusBlock status;
    const bool opened = openStoreFile(ctx, path, {dumpMode, nullptr}, status);

    FUZZ_CHECK(opened != statusFailed(status) || size == 0);
    if (size == 0) FUZZ_CHECK(!opened);
    const Expected expected = expectedOpen(bytes);
    const bool readable = bytes.size() >= kHeaderArea;
    if (!dumpMode) {
        FUZZ_CHECK(opened == (readable && expected.usable));
    } else {
        FUZZ_CHECK(opened == readable);
    }
    if (opened) {
        FUZZ_CHECK(ctx.fileSize == size);
        FUZZ_CHECK(ctx.headerType >= 0 && ctx.headerType <= 2);
        FUZZ_CHECK(ctx.header.forwardOffset >= 0 && ctx.header.forwardOffset < size);
        if (expected.usable) {
            FUZZ_CHECK(ctx.header.forwardOffset == expected.forwardOffset);
            FUZZ_CHECK(ctx.headerType == fuzzsupport::claimedHeaderType(bytes));
        } else {
            // The emergency header: the whole data area, front to back.
            FUZZ_CHECK(ctx.headerType == 2);
            FUZZ_CHECK(ctx.header.forwardOffset == 192);
            FUZZ_CHECK(ctx.header.lastOffset == size);
            FUZZ_CHECK(ctx.header.maxSize == 0);
        }
    }

    StatusBlock closeStatus;
    const bool closed = MasterFileClose(ctx, closeStatus);
    if (opened) FUZZ_CHECK(closed && !statusFailed(closeStatus));
}

// The name lock's descriptor stays open for the life of the process once the
// name was used; use it once so that it counts as part of the baseline.
void settleNameLock() {
    static bool settled = false;
    if (settled) return;
    settled = true;
    const std::string& path = fuzzsupport::writeInputFile({});
    StatusBlock status;
    acquireNameLock(path, status);
    releaseNameLock(path, status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    fuzzsupport::clearLogs();
    settleNameLock();
    const std::size_t descriptors = fuzzsupport::openDescriptorCount();

    std::vector<std::uint8_t> bytes(data, data + size);
    openAndClose(bytes, false);
    openAndClose(bytes, true);
    const int type = fuzzsupport::claimedHeaderType(bytes);
    if (type >= 0) {
        fuzzsupport::repairHeader(bytes, type);
        openAndClose(bytes, false);
        openAndClose(bytes, true);
    }

    FUZZ_CHECK(fuzzsupport::openDescriptorCount() == descriptors);
    return 0;
}
