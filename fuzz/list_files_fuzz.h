#pragma once
// What the three list file targets share: the input written as a list file
// of the service FUZZ, the name lock settled once, and the entry count the
// input's header promises.
#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>

#include "fuzz/fuzz_support.h"
#include "msglib/coding.h"
#include "snf/snf_config.h"
#include "storefile/file_handle.h"

namespace listfuzz {

// Writes bytes as the list file name (in the home) and gives its path.
inline std::string writeListFile(const char* name, std::span<const std::uint8_t> bytes) {
    const std::string path = fuzzsupport::home() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) fuzzsupport::fail(__FILE__, __LINE__, "writing the input file");
    return path;
}

// Once per process: the DLGP address (so that the configuration getters do
// not log a line per entry); the name lock's and the registry's descriptors,
// which stay open once used, so that they count as part of the baseline.
inline void prepare() {
    fuzzsupport::prepareProcess();
    fuzzsupport::clearLogs();
    static bool settled = false;
    if (settled) return;
    settled = true;
    const AddressRecord dlgp = makeAddress("FUZZNODE", "FUZZ");
    SetDlgpAddress(&dlgp);
    GetSnfMaxSize(makeAddress("SETTLE", ""));
    StatusBlock status;
    acquireNameLock("X.FUZZ", status);
    releaseNameLock("X.FUZZ", status);
}

// The entry count of the header, when the input holds one.
inline std::optional<std::uint32_t> promisedEntries(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 12) return std::nullopt;
    return decodeU32(bytes.data() + 8);
}

}  // namespace listfuzz
