#pragma once
// A FileOps table over the real POSIX calls that counts every call by kind and
// fails the calls a test chooses. Installed for its lifetime (one at a time);
// the destructor puts the real calls back. A positioned read counts (and
// fails) as a Read, a positioned write as a Write.
//
//   testsupport::FaultyFileOps faults;
//   faults.failNth(testsupport::FileOpKind::Seek, 2, EIO);   // the 2nd seek from now fails
//   faults.shortWriteNth(1, 100);                            // the next write stops after 100 bytes
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/file_ops.h"

namespace testsupport {

enum class FileOpKind { Open, Close, Read, Write, Seek, Fsync };
constexpr int kFileOpKinds = 6;

// Installs any table for a scope and restores the real calls afterwards.
class ScopedFileOps {
public:
    explicit ScopedFileOps(const platform::FileOps& ops) { platform::installFileOps(&ops); }
    ~ScopedFileOps() { platform::installFileOps(nullptr); }
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;
};

class FaultyFileOps {
public:
    FaultyFileOps();
    ~FaultyFileOps();
    FaultyFileOps(const FaultyFileOps&) = delete;
    FaultyFileOps& operator=(const FaultyFileOps&) = delete;

    // The n-th call of kind counted from this call on (n = 1: the next one)
    // fails with errno = error and returns -1; persistent: every later call of
    // the kind fails too. A failed close leaves the descriptor open; a failed
    // read with error 0 returns 0 instead (an early end of file).
    void failNth(FileOpKind kind, int n, int error, bool persistent = false);
    // The same, counting calls of every kind together.
    void failNthAny(int n, int error, bool persistent = false);
    // The n-th write from now puts only its first `prefix` bytes into the file
    // and then fails with error, as a crash in the middle of the write would.
    void shortWriteNth(int n, unsigned prefix, int error = EIO);
    // Every later read and write moves at most maxBytes (0: no limit), as a
    // pipe or a signal can make them; exact loops must carry on.
    void limitTransfers(unsigned maxBytes) { transferLimit_ = maxBytes; }
    unsigned transferLimit() const { return transferLimit_; }
    void resetCounts();

    int calls(FileOpKind kind) const;
    int totalCalls() const;
    // Arguments of the last open call, as the caller passed them.
    int lastOpenFlags() const { return lastOpenFlags_; }
    int lastOpenPermission() const { return lastOpenPermission_; }

    // Used by the installed table.
    struct Decision {
        bool fail = false;
        int error = 0;
        bool shortWrite = false;
        unsigned prefix = 0;
    };
    Decision nextCall(FileOpKind kind);
    void noteOpen(int flags, int permission) {
        lastOpenFlags_ = flags;
        lastOpenPermission_ = permission;
    }

private:
    struct Fault {
        bool anyKind = false;
        FileOpKind kind = FileOpKind::Open;
        int target = 0;  // the count at which it fires
        int error = 0;
        bool persistent = false;
        bool shortWrite = false;
        unsigned prefix = 0;
    };
    std::vector<Fault> faults_;
    int counts_[kFileOpKinds] = {};
    int total_ = 0;
    int lastOpenFlags_ = -1;
    int lastOpenPermission_ = -1;
    unsigned transferLimit_ = 0;
    platform::FileOps table_{};
};

}  // namespace testsupport
