#pragma once
// The recovery's cursor reporter: every skipped range, and a last record cut
// off by the end of the file, go to the library's log under the service name,
// and are counted for the run's summary.
#include <cstdint>
#include <string>
#include <utility>

#include "storefile/store_file.h"

class SkipLog final : public CursorReporter {
public:
    SkipLog(std::string serviceName, std::string storeFileName)
        : serviceName_(std::move(serviceName)), storeFileName_(std::move(storeFileName)) {}

    void skipped(std::int64_t offset, std::int64_t length, const char* reason) override;
    void truncatedRecord(std::int64_t offset, std::int64_t bytesPresent) override;

    std::uint64_t ranges() const { return ranges_; }
    std::uint64_t bytes() const { return bytes_; }
    // The record the end of the file cut off, or -1; and how much of it is there.
    std::int64_t truncatedOffset() const { return truncatedOffset_; }
    std::int64_t truncatedBytes() const { return truncatedBytes_; }

private:
    void log(const char* text);

    std::string serviceName_;
    std::string storeFileName_;
    std::uint64_t ranges_ = 0;
    std::uint64_t bytes_ = 0;
    std::int64_t truncatedOffset_ = -1;
    std::int64_t truncatedBytes_ = 0;
};
