#include "snf/list_files_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "platform/disk_files.h"
#include "platform/file_kind.h"
#include "platform/file_ops.h"
#include "platform/file_replace.h"
#include "snf/file_removal.h"
#include "snf/snf_text.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"

namespace {

constexpr std::int32_t kListDiagnosticCode = 7079;
// Every record of the list files fits in a block of this size.
constexpr std::size_t kSmallestBlock = 2048;

std::size_t gBlockBytes = kListFileBlockBytes;

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool emptyName(const char* fileName) { return fileName[0] == '\0'; }

}  // namespace

void encodeListHeader(const ListFileHeader& header, std::span<std::uint8_t, kListHeaderBytes> out) {
    encodeU32(out.data(), header.signature);
    encodeU32(out.data() + 4, header.revision);
    encodeU32(out.data() + 8, header.entryCount);
}

ListFileHeader decodeListHeader(std::span<const std::uint8_t, kListHeaderBytes> in) {
    return {decodeU32(in.data()), decodeU32(in.data() + 4), decodeU32(in.data() + 8)};
}

std::string newListFileName(const char* fileName) { return std::string(fileName) + ".new"; }

void setListFileBlockBytes(std::size_t bytes) {
    gBlockBytes = bytes == 0 ? kListFileBlockBytes : std::max(bytes, kSmallestBlock);
}

void loadEndOfFile(StatusBlock& status) {
    // The entries of readExact at the end of the file: no error of the
    // runtime, and the bytes did not come.
    ZENTO_SERVER_LDBLK(kFacilityRuntime, 0, status);
    ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kReadFailed, status);
}

void logListDiagnostic(const char* format, const char* fileName) {
    char text[kSnfLineSize];
    std::snprintf(text, sizeof text, format, fileName);
    StatusBlock own;
    ZENTO_DIAG_LOG("LOGIC", kListDiagnosticCode, text, own);
}

// ---- ListFileWriter ---------------------------------------------------------------

ListFileWriter::~ListFileWriter() { discard(); }

bool ListFileWriter::open(const char* fileName, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(failure_);
    try {
        fileName_ = fileName;
        newName_ = newListFileName(fileName);
    } catch (const std::bad_alloc&) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOMEM, status);
        return false;
    }
    acquireNameLock(fileName_, status);
    if (statusFailed(status)) return false;
    locked_ = true;
    capacity_ = gBlockBytes;
    block_.reset(new (std::nothrow) std::uint8_t[capacity_]);
    pieces_.reset(new (std::nothrow) Piece[kMaxPieces]);
    if (!block_ || !pieces_) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOMEM, status);
        discard();
        return false;
    }
    errno = 0;
    handle_ = platform::rtOpen(newName_.c_str(),
                               platform::kRtReadWrite | platform::kRtCreate | platform::kRtTruncate |
                                   platform::kRtBinary,
                               platform::kRtPermReadWrite);
    if (handle_ < 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, errno != 0 ? errno : EIO, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kOpenFailed, status);
        discard();
        return false;
    }
    ownsNewFile_ = true;
    // A directory or a FIFO left under the new file's name would take the
    // list's place.
    if (platform::fileKindOf(handle_) != platform::FileKind::Regular) {
        platform::rtClose(handle_);
        handle_ = -1;
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kNotRegularFile, status);
        discard();
        return false;
    }
    return true;
}

void ListFileWriter::notePiece(std::size_t end, std::int32_t code) {
    if (pieceCount_ > 0 && pieces_[pieceCount_ - 1].code == code) {
        pieces_[pieceCount_ - 1].end = end;
    } else {
        pieces_[pieceCount_++] = {end, code};
    }
}

bool ListFileWriter::writeBlock() {
    if (failed_) return false;
    if (used_ == 0) return true;
    StatusBlock written;
    const std::int64_t done = writeExact(handle_, block_.get(), static_cast<std::int64_t>(used_), written);
    if (statusFailed(written)) {
        failed_ = true;
        failure_ = written;
        std::int32_t code = pieces_[pieceCount_ - 1].code;
        for (std::size_t i = 0; i < pieceCount_; ++i) {
            if (static_cast<std::int64_t>(pieces_[i].end) > done) {
                code = pieces_[i].code;
                break;
            }
        }
        ZENTO_SERVER_LDBLK(kFacilityStore, code, failure_);
        return false;
    }
    used_ = 0;
    pieceCount_ = 0;
    return true;
}

std::uint8_t* ListFileWriter::reserve(std::size_t n, std::int32_t code) {
    if (failed_ || n > capacity_) {
        if (!failed_) refuse(code);
        return nullptr;
    }
    const bool newPiece = pieceCount_ == 0 || pieces_[pieceCount_ - 1].code != code;
    if ((used_ + n > capacity_ || (newPiece && pieceCount_ == kMaxPieces)) && !writeBlock()) return nullptr;
    std::uint8_t* at = block_.get() + used_;
    used_ += n;
    notePiece(used_, code);
    return at;
}

void ListFileWriter::put(std::span<const std::uint8_t> bytes, std::int32_t code) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t room = capacity_ - used_;
        const std::size_t chunk = std::min(bytes.size() - done, room == 0 ? capacity_ : room);
        std::uint8_t* at = reserve(chunk, code);
        if (at == nullptr) return;
        std::memcpy(at, bytes.data() + done, chunk);
        done += chunk;
    }
}

void ListFileWriter::refuse(std::int32_t code) {
    if (failed_) return;
    failed_ = true;
    ZENTO_SERVER_INITBLK(failure_);
    ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kWriteNoBuffer, failure_);
    ZENTO_SERVER_LDBLK(kFacilityStore, code, failure_);
}

bool ListFileWriter::flush(StatusBlock& status) {
    writeBlock();
    if (!failed_) return true;
    appendStatusEntries(failure_, status);
    return false;
}

bool ListFileWriter::commit(std::int32_t closeCode, StatusBlock& status) {
    StatusBlock step;
    syncStoreFile(handle_, step);
    if (!statusFailed(step)) {
        closeStoreFileHandle(handle_, step);
        handle_ = -1;
    }
    if (statusFailed(step)) {
        appendStatusEntries(step, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, closeCode, status);
        discard();
        return false;
    }
    const int replaced = platform::replaceFile(newName_.c_str(), fileName_.c_str());
    if (replaced != 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, replaced, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, closeCode, status);
        discard();
        return false;
    }
    ownsNewFile_ = false;  // it is the list file now
    // The new list is in place; until the directory is synced, a power loss
    // could still bring back the old one.
    const int synced = platform::syncDirectory(directoryOf(fileName_).c_str());
    discard();
    if (synced != 0) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, synced, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, storecode::kSyncFailed, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, closeCode, status);
        return false;
    }
    return true;
}

void ListFileWriter::discard() {
    if (handle_ >= 0) {
        StatusBlock ignored;
        closeStoreFileHandle(handle_, ignored);
        handle_ = -1;
    }
    if (ownsNewFile_) {
        platform::deleteFile(newName_.c_str());
        ownsNewFile_ = false;
    }
    if (locked_) {
        StatusBlock ignored;
        releaseNameLock(fileName_, ignored);
        locked_ = false;
    }
    block_.reset();
    pieces_.reset();
    used_ = 0;
    pieceCount_ = 0;
}

// ---- ListFileReader ---------------------------------------------------------------

ListFileReader::~ListFileReader() {
    StatusBlock ignored;
    close(ignored);
}

bool ListFileReader::open(const char* fileName, StatusBlock& status) {
    handle_ = zento_s_file_open(fileName, 0, status);
    if (handle_ < 0) return false;
    const std::int64_t length = storeFileSize(handle_, status);
    if (statusFailed(status)) {
        StatusBlock ignored;
        closeStoreFileHandle(handle_, ignored);
        handle_ = -1;
        return false;
    }
    fileLength_ = static_cast<std::uint64_t>(length);
    position_ = 0;
    blockStart_ = blockEnd_ = 0;
    return true;
}

bool ListFileReader::fill(std::size_t n, StatusBlock& status) {
    const std::size_t held = blockEnd_ - blockStart_;
    const std::uint64_t left = fileLength_ - position_;
    // Never more room than the rest of the file needs.
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(gBlockBytes, left));
    if (capacity_ < std::max(wanted, n)) {
        std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[std::max(wanted, n)]);
        if (!bigger) {
            ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOMEM, status);
            return false;
        }
        if (held > 0) std::memcpy(bigger.get(), block_.get() + blockStart_, held);
        block_ = std::move(bigger);
        capacity_ = std::max(wanted, n);
    } else if (held > 0) {
        std::memmove(block_.get(), block_.get() + blockStart_, held);
    }
    blockStart_ = 0;
    blockEnd_ = held;
    const std::size_t more = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - held, left - held));
    readExactAt(handle_, static_cast<std::int64_t>(position_ + held), block_.get() + held,
                static_cast<std::int64_t>(more), status);
    if (statusFailed(status)) return false;
    blockEnd_ = held + more;
    return true;
}

const std::uint8_t* ListFileReader::take(std::size_t n, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (blockEnd_ - blockStart_ < n) {
        if (!holds(n)) {
            loadEndOfFile(status);
            return nullptr;
        }
        if (!fill(n, status)) return nullptr;
    }
    const std::uint8_t* at = block_.get() + blockStart_;
    blockStart_ += n;
    position_ += n;
    return at;
}

bool ListFileReader::read(std::span<std::uint8_t> out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (!holds(out.size())) {
        loadEndOfFile(status);
        return false;
    }
    const std::size_t buffered = std::min(out.size(), blockEnd_ - blockStart_);
    if (buffered > 0) std::memcpy(out.data(), block_.get() + blockStart_, buffered);
    blockStart_ += buffered;
    position_ += buffered;
    const std::size_t rest = out.size() - buffered;
    if (rest == 0) return true;
    if (rest >= gBlockBytes / 2) {
        // Large pieces go straight to their place.
        readExactAt(handle_, static_cast<std::int64_t>(position_), out.data() + buffered,
                    static_cast<std::int64_t>(rest), status);
        if (statusFailed(status)) return false;
        position_ += rest;
        return true;
    }
    const std::uint8_t* at = take(rest, status);
    if (at == nullptr) return false;
    std::memcpy(out.data() + buffered, at, rest);
    return true;
}

void ListFileReader::close(StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (handle_ < 0) return;
    closeStoreFileHandle(handle_, status);
    handle_ = -1;
    block_.reset();
    capacity_ = 0;
    blockStart_ = blockEnd_ = 0;
}

// ---- Saving and loading -----------------------------------------------------------

namespace {

std::string_view applicationName(AddressRecord& self) {
    ZENTO_USR_GetApplicationID(self);
    return fixedText(self.service, sizeof self.service);
}

void appendFailure(const StatusBlock& cause, std::int32_t code, StatusBlock& status) {
    appendStatusEntries(cause, status);
    ZENTO_SERVER_LDBLK(kFacilityStore, code, status);
}

// No entry to save: the file goes, if there is one.
void removeEmptyList(const ListSaveRules& rules, const char* fileName, ListReport report, StatusBlock& status) {
    if (rules.noneToSave != nullptr) logListDiagnostic(rules.noneToSave, fileName);
    StatusBlock step;
    const std::int32_t handle = zento_s_file_open(fileName, 0, step);
    const bool found = handle >= 0;
    if (!found && lastErrorCode(step) != storecode::kFileMissing) appendFailure(step, rules.openFailed, status);
    if (found && rules.noneFound != nullptr) logListDiagnostic(rules.noneFound, fileName);
    report(found ? 5 : 4, status);
    if (!found) return;
    closeStoreFileHandle(handle, step);
    if (statusFailed(step)) appendFailure(step, rules.closeFailed, status);
    removeSnfFile(fileName, rules.removalKind, &step);
    if (statusFailed(step)) appendFailure(step, rules.removeFailed, status);
    // What a save that did not finish may have left beside it.
    try {
        platform::deleteFile(newListFileName(fileName).c_str());
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void saveListFile(const ListSaveRules& rules, const char* fileName, std::uint32_t count,
                  FunctionRef<void(ListFileWriter&)> body, ListReport report, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (fileName == nullptr || emptyName(fileName)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, fileName == nullptr ? rules.nullName : rules.emptyName, status);
        report(4, status);
        return;
    }
    if (count == 0) {
        removeEmptyList(rules, fileName, report, status);
        return;
    }
    if (rules.someToSave != nullptr) logListDiagnostic(rules.someToSave, fileName);
    ListFileWriter writer;
    StatusBlock step;
    if (!writer.open(fileName, step)) {
        if (rules.someOpenFailed != nullptr) logListDiagnostic(rules.someOpenFailed, fileName);
        if (rules.logOpenFailure) {
            AddressRecord self{};
            StatusBlock own;
            ZENTO_SERVER_LOGBLK(applicationName(self), step, own);
        }
        appendFailure(step, rules.openFailed, status);
        report(4, status);
        return;
    }
    if (std::uint8_t* at = writer.reserve(kListHeaderBytes, rules.headerFailed)) {
        encodeListHeader({rules.signature, rules.revision, count},
                         std::span<std::uint8_t, kListHeaderBytes>(at, kListHeaderBytes));
    }
    body(writer);
    const bool written = writer.flush(status);
    report(4, status);
    if (written) writer.commit(rules.closeFailed, status);
}

void loadListFile(const ListLoadRules& rules, const char* fileName,
                  FunctionRef<void(ListFileReader&, const ListFileHeader&, StatusBlock&)> body, ListReport report,
                  StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (fileName == nullptr || emptyName(fileName)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, fileName == nullptr ? rules.nullName : rules.emptyName, status);
        report(3, status);
        return;
    }
    if (rules.openText != nullptr) logListDiagnostic(rules.openText, fileName);
    ListFileReader reader;
    StatusBlock step;
    if (!reader.open(fileName, step)) {
        if (lastErrorCode(step) != storecode::kFileMissing) {
            appendFailure(step, rules.openFailed, status);
        } else if (rules.missing != 0) {
            appendFailure(step, rules.missing, status);
        }
    } else if (const std::uint8_t* at = reader.take(kListHeaderBytes, step); at == nullptr) {
        appendFailure(step, rules.headerFailed, status);
    } else {
        const ListFileHeader header =
            decodeListHeader(std::span<const std::uint8_t, kListHeaderBytes>(at, kListHeaderBytes));
        if (rules.signature != 0 && header.signature != rules.signature) {
            ZENTO_SERVER_LDBLK(kFacilityStore, rules.badSignature, status);
        } else if (rules.signature != 0 &&
                   (header.revision < rules.lowestRevision || header.revision > rules.highestRevision)) {
            ZENTO_SERVER_LDBLK(kFacilityStore, rules.badRevision, status);
        } else if (header.entryCount > kListSlots) {
            // Not a file this system wrote: the table has no room for it.
            ZENTO_SERVER_LDBLK(kFacilityStore, rules.headerFailed, status);
        } else {
            body(reader, header, status);
        }
    }
    report(3, status);
    if (reader.isOpen()) {
        reader.close(step);
        if (statusFailed(step)) appendFailure(step, rules.closeFailed, status);
    }
}
