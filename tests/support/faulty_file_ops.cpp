#include "tests/support/faulty_file_ops.h"

#include <gtest/gtest.h>

namespace testsupport {

namespace {

FaultyFileOps* gActive = nullptr;

const platform::FileOps& real() { return platform::systemFileOps(); }

unsigned limited(unsigned count) {
    const unsigned limit = gActive->transferLimit();
    return limit != 0 && count > limit ? limit : count;
}

int faultyOpen(const char* path, int flags, int permission) {
    gActive->noteOpen(flags, permission);
    const auto d = gActive->nextCall(FileOpKind::Open);
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().open(path, flags, permission);
}

int faultyClose(int handle) {
    const auto d = gActive->nextCall(FileOpKind::Close);
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().close(handle);
}

int faultyRead(int handle, void* buffer, unsigned count) {
    const auto d = gActive->nextCall(FileOpKind::Read);
    if (d.fail) {
        errno = d.error;
        return d.error == 0 ? 0 : -1;
    }
    return real().read(handle, buffer, limited(count));
}

// Writes the first bytes the fault names, then fails as a crash in the middle
// of the write would; put(done, left) writes from `done` on.
template <class Decision, class Put>
int tornWrite(const Decision& d, unsigned count, Put put) {
    const unsigned prefix = d.prefix < count ? d.prefix : count;
    for (unsigned done = 0; done < prefix;) {
        const int r = put(done, prefix - done);
        if (r <= 0) break;
        done += static_cast<unsigned>(r);
    }
    errno = d.error;
    return -1;
}

int faultyWrite(int handle, const void* buffer, unsigned count) {
    const auto d = gActive->nextCall(FileOpKind::Write);
    if (d.shortWrite) {
        return tornWrite(d, count, [&](unsigned done, unsigned left) {
            return real().write(handle, static_cast<const std::uint8_t*>(buffer) + done, left);
        });
    }
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().write(handle, buffer, limited(count));
}

// Positioned reads and writes count and fail as reads and writes: a test that
// fails "the n-th read" means the n-th transfer of bytes, whichever call it is.
int faultyPread(int handle, void* buffer, unsigned count, std::int64_t offset) {
    const auto d = gActive->nextCall(FileOpKind::Read);
    if (d.fail) {
        errno = d.error;
        return d.error == 0 ? 0 : -1;
    }
    return real().pread(handle, buffer, limited(count), offset);
}

int faultyPwrite(int handle, const void* buffer, unsigned count, std::int64_t offset) {
    const auto d = gActive->nextCall(FileOpKind::Write);
    if (d.shortWrite) {
        return tornWrite(d, count, [&](unsigned done, unsigned left) {
            return real().pwrite(handle, static_cast<const std::uint8_t*>(buffer) + done, left, offset + done);
        });
    }
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().pwrite(handle, buffer, limited(count), offset);
}

std::int64_t faultySeek(int handle, std::int64_t offset, int origin) {
    const auto d = gActive->nextCall(FileOpKind::Seek);
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().seek(handle, offset, origin);
}

int faultyFsync(int handle) {
    const auto d = gActive->nextCall(FileOpKind::Fsync);
    if (d.fail) {
        errno = d.error;
        return -1;
    }
    return real().fsync(handle);
}

}  // namespace

FaultyFileOps::FaultyFileOps() {
    if (gActive != nullptr) ADD_FAILURE() << "only one FaultyFileOps may be installed at a time";
    gActive = this;
    table_ = platform::FileOps{faultyOpen, faultyClose, faultyRead,  faultyWrite,
                               faultySeek, faultyFsync, faultyPread, faultyPwrite};
    platform::installFileOps(&table_);
}

FaultyFileOps::~FaultyFileOps() {
    platform::installFileOps(nullptr);
    gActive = nullptr;
}

void FaultyFileOps::failNth(FileOpKind kind, int n, int error, bool persistent) {
    Fault f;
    f.kind = kind;
    f.target = counts_[static_cast<int>(kind)] + n;
    f.error = error;
    f.persistent = persistent;
    faults_.push_back(f);
}

void FaultyFileOps::failNthAny(int n, int error, bool persistent) {
    Fault f;
    f.anyKind = true;
    f.target = total_ + n;
    f.error = error;
    f.persistent = persistent;
    faults_.push_back(f);
}

void FaultyFileOps::shortWriteNth(int n, unsigned prefix, int error) {
    Fault f;
    f.kind = FileOpKind::Write;
    f.target = counts_[static_cast<int>(FileOpKind::Write)] + n;
    f.error = error;
    f.shortWrite = true;
    f.prefix = prefix;
    faults_.push_back(f);
}

void FaultyFileOps::resetCounts() {
    // Armed faults keep their distance from the present call.
    for (Fault& f : faults_) f.target -= f.anyKind ? total_ : counts_[static_cast<int>(f.kind)];
    for (int& c : counts_) c = 0;
    total_ = 0;
}

int FaultyFileOps::calls(FileOpKind kind) const { return counts_[static_cast<int>(kind)]; }

int FaultyFileOps::totalCalls() const { return total_; }

FaultyFileOps::Decision FaultyFileOps::nextCall(FileOpKind kind) {
    const int count = ++counts_[static_cast<int>(kind)];
    const int total = ++total_;
    Decision d;
    for (const Fault& f : faults_) {
        if (!f.anyKind && f.kind != kind) continue;
        const int seen = f.anyKind ? total : count;
        const bool fires = seen == f.target || (f.persistent && seen > f.target);
        if (!fires) continue;
        d.fail = true;
        d.error = f.error;
        d.shortWrite = f.shortWrite;
        d.prefix = f.prefix;
        break;
    }
    return d;
}

}  // namespace testsupport
