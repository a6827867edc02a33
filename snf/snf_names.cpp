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

const char* StoreFileName(const AddressRecord& destination) {
    static NameBuffer buffer;
    NameText node = nameText(destination.node);
    for (char* at = node.text; *at != '\0'; ++at) {
        if (*at == '.') *at = '_';
    }
    char directory[kStoreDirectorySize + 1];
    const char* store = snfCfgState().storeDirectory;
    if (store[0] == '\0') {
        formatSnfLine(directory, "%s", ClientEnvironmentDirectory());
    } else {
        const std::size_t length = std::strlen(store);
        formatSnfLine(directory, store[length - 1] == '/' ? "%s" : "%s/", store);
    }
    formatSnfLine(buffer, "%sZENTO_STORE_%s.%s", directory, node.text, nameText(destination.service).text);
    return buffer;
}
