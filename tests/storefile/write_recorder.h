#pragma once
// Records every write made through the file seam, with the offset it went
// to, so that a test can replay any prefix of them onto the bytes a file held
// before: the files a crash at each point would leave.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/file_ops.h"
#include "tests/support/faulty_file_ops.h"

namespace storetest {

struct RecordedWrite {
    std::int64_t offset;
    std::vector<std::uint8_t> bytes;
};

class WriteRecorder {
public:
    WriteRecorder() : table_(platform::posixFileOps()) {
        table_.write = recordingWrite;
        table_.pwrite = recordingPwrite;
        active() = &writes_;
    }
    ~WriteRecorder() { active() = nullptr; }
    WriteRecorder(const WriteRecorder&) = delete;
    WriteRecorder& operator=(const WriteRecorder&) = delete;
    const std::vector<RecordedWrite>& writes() const { return writes_; }

private:
    static std::vector<RecordedWrite>*& active() {
        static std::vector<RecordedWrite>* recording = nullptr;
        return recording;
    }
    static int recordingWrite(int handle, const void* buffer, unsigned count) {
        const std::int64_t at = platform::posixFileOps().seek(handle, 0, 1);
        const int written = platform::posixFileOps().write(handle, buffer, count);
        if (written > 0 && active() != nullptr) {
            const auto* p = static_cast<const std::uint8_t*>(buffer);
            active()->push_back({at, std::vector<std::uint8_t>(p, p + written)});
        }
        return written;
    }
    static int recordingPwrite(int handle, const void* buffer, unsigned count, std::int64_t at) {
        const int written = platform::posixFileOps().pwrite(handle, buffer, count, at);
        if (written > 0 && active() != nullptr) {
            const auto* p = static_cast<const std::uint8_t*>(buffer);
            active()->push_back({at, std::vector<std::uint8_t>(p, p + written)});
        }
        return written;
    }

    std::vector<RecordedWrite> writes_;
    platform::FileOps table_;
    testsupport::ScopedFileOps use_{table_};
};

// The first `prefix` bytes of w written onto file.
inline void apply(std::vector<std::uint8_t>& file, const RecordedWrite& w, std::size_t prefix) {
    const auto at = static_cast<std::size_t>(w.offset);
    if (file.size() < at + prefix) file.resize(at + prefix, 0);
    std::copy_n(w.bytes.begin(), prefix, file.begin() + static_cast<std::ptrdiff_t>(at));
}

// Where the backup copy of a header of that block size begins: the one write
// that covers it and the bytes before it is where the copies change over,
// and lands whole (see storefile/header_pair.cpp).
inline bool coversBothCopies(const RecordedWrite& w, std::int64_t blockSize) {
    const std::int64_t boundary = blockSize + 4;
    return w.offset < boundary && w.offset + static_cast<std::int64_t>(w.bytes.size()) > boundary;
}

// Every file a crash during the writes can leave behind, from before the
// first to after the last, each write torn at every byte but the change-over.
inline std::vector<std::vector<std::uint8_t>> crashStates(const std::vector<std::uint8_t>& before,
                                                          const std::vector<RecordedWrite>& writes,
                                                          std::int64_t blockSize) {
    std::vector<std::vector<std::uint8_t>> states;
    std::vector<std::uint8_t> file = before;
    for (const auto& w : writes) {
        if (coversBothCopies(w, blockSize)) {
            states.push_back(file);
        } else {
            for (std::size_t prefix = 0; prefix < w.bytes.size(); ++prefix) {
                std::vector<std::uint8_t> torn = file;
                apply(torn, w, prefix);
                states.push_back(std::move(torn));
            }
        }
        apply(file, w, w.bytes.size());
    }
    states.push_back(file);
    return states;
}

}  // namespace storetest
