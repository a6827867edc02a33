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
    // line is cut, pieces copied rather than formatted: a load names every
    // entry of its list.
    std::size_t used = 0;
    const auto append = [&](const char* text, std::size_t length) {
        const std::size_t room = out.size() - 1 - used;
        const std::size_t taken = length < room ? length : room;
        std::memcpy(out.data() + used, text, taken);
        used += taken;
    };
    append(directory.text, directory.length);
    append("ZENTO_STORE_", 12);
    const std::string_view node = fixedText(destination.node, sizeof destination.node);
    const std::size_t nodeStart = used;
    append(node.data(), node.size());
    for (std::size_t at = nodeStart; at < used; ++at) {
        if (out[at] == '.') out[at] = '_';
    }
    append(".", 1);
    const std::string_view service = fixedText(destination.service, sizeof destination.service);
    append(service.data(), service.size());
    std::memset(out.data() + used, 0, out.size() - used);
}

const char* StoreFileName(const AddressRecord& destination) {
    static char buffer[kSnfFileNameSize];
    storeFileNameInto(storeFileDirectory(), destination, buffer);
    return buffer;
}
