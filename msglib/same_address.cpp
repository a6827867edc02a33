#include "msglib/same_address.h"

#include <cstring>
#include <string_view>

namespace {

std::string_view hostPartOf(const char (&node)[32]) {
    std::size_t length = 0;
    while (length < sizeof node - 1 && node[length] != '\0') ++length;
    std::size_t i = 0;
    while (i < length && node[i] == '.') ++i;  // leading dots belong to the name
    for (; i < length; ++i) {
        if (node[i] == '.') return {node, i};
    }
    return {node, length};
}

}  // namespace

int sameAddress(const AddressRecord& first, const AddressRecord& second) {
    if (hostPartOf(first.node) != hostPartOf(second.node)) return 0;
    return std::strncmp(first.service, second.service, sizeof first.service) == 0 ? 1 : 0;
}
