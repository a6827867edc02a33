#include <array>
#include <cstdio>
#include <cstring>

#include "msglib/msglib.h"
#include "snf/snf_config.h"
#include "snf/snf_state.h"
#include "snf/snf_text.h"

namespace {

using NameBuffer = char[kSnfFileNameSize];

// "<directory><prefix><service><suffix>" in buffer, cut to fit.
const char* buildListName(NameBuffer& buffer, const char* format, const AddressRecord& address) {
    formatSnfLine(buffer, format, ClientEnvironmentDirectory(), nameText(address.service).text);
    return buffer;
}

}  // namespace

const char* ClientEnvironmentDirectory() {
    static std::array<char, kClientEnvironmentSize> record;
    ZENTO_CLIENT_ENVIRONMENT(record);
    return record.data() + kClientDirectoryOffset;
}

const char* SnfCfgFileName(const AddressRecord& address) {
    static NameBuffer buffer;
    return buildListName(buffer, "%sZENTO_SCANNER_%s.CFG", address);
}

const char* ScanListFileName(const AddressRecord& address) {
    static NameBuffer buffer;
    return buildListName(buffer, "%sZENTO_SCAN_LIST.%s", address);
}

const char* UnsolListFileName(const AddressRecord& address) {
    static NameBuffer buffer;
    return buildListName(buffer, "%sZENTO_UNSOL_LIST.%s", address);
}

const char* StoreListFileName(const AddressRecord& address) {
    static NameBuffer buffer;
    return buildListName(buffer, "%sZENTO_STORE_LIST.%s", address);
}

StoreFileDirectory storeFileDirectory() {
    StoreFileDirectory directory{};
    const char* store = snfCfgState().storeDirectory;
    if (store[0] == '\0') {
        formatSnfLine(directory.text, "%s", ClientEnvironmentDirectory());
    } else {
        const std::size_t length = std::strlen(store);
        formatSnfLine(directory.text, store[length - 1] == '/' ? "%s" : "%s/", store);
    }
    directory.length = std::strlen(directory.text);
    return directory;
}

void storeFileNameInto(const StoreFileDirectory& directory, const AddressRecord& destination,
                       std::span<char, kSnfFileNameSize> out) {
    // "<directory>ZENTO_STORE_<node>.<service>" cut to fit as a formatted
    // line is cut, built byte by byte rather than formatted: a load names
    // every entry of its list.
    constexpr std::size_t kLast = kSnfFileNameSize - 1;
    std::size_t used = directory.length < kLast ? directory.length : kLast;
    std::memcpy(out.data(), directory.text, used);
    const auto append = [&](const char* text, std::size_t size, bool dotsAsUnderscores) {
        for (std::size_t at = 0; at < size && text[at] != '\0' && used < kLast; ++at) {
            out[used++] = dotsAsUnderscores && text[at] == '.' ? '_' : text[at];
        }
    };
    append("ZENTO_STORE_", 12, false);
    append(destination.node, sizeof destination.node, true);
    append(".", 1, false);
    append(destination.service, sizeof destination.service, false);
    std::memset(out.data() + used, 0, out.size() - used);
}

const char* StoreFileName(const AddressRecord& destination) {
    static char buffer[kSnfFileNameSize];
    storeFileNameInto(storeFileDirectory(), destination, buffer);
    return buffer;
}
