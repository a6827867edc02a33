#pragma once
// The recovery's cursor reporter: every skipped range goes to the library's
// log under the service name, and is counted for the run's summary.
#include <cstdint>
#include <string>
#include <utility>

#include "storefile/store_file.h"

class SkipLog final : public CursorReporter {
public:
    SkipLog(std::string serviceName, std::string storeFileName)
        : serviceName_(std::move(serviceName)), storeFileName_(std::move(storeFileName)) {}

    void skipped(std::int64_t offset, std::int64_t length, const char* reason) override;

    std::uint64_t ranges() const { return ranges_; }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::string serviceName_;
    std::string storeFileName_;
    std::uint64_t ranges_ = 0;
    std::uint64_t bytes_ = 0;
};
