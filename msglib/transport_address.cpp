#include "msglib/transport_address.h"

#include <cctype>

namespace msglib {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::string_view nodeWithoutDomain(std::string_view node) {
    for (std::size_t i = 1; i < node.size(); ++i) {
        if (node[i] == '.' && node[i - 1] != '.') return node.substr(0, i);
    }
    return node;
}

bool sameNode(std::string_view a, std::string_view b) {
    a = nodeWithoutDomain(a);
    b = nodeWithoutDomain(b);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool isLocalNode(std::string_view node, std::string_view localNode) {
    return node.empty() || sameNode(node, "localhost") || sameNode(node, localNode);
}

bool isServiceName(std::string_view name) {
    if (name.empty() || name.size() > 31 || name.front() == '.') return false;
    for (char c : name) {
        const bool allowed = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

std::string peerKey(const AddressRecord& address, std::string_view localNode) {
    const std::string_view node = fixedText(address.node, sizeof address.node);
    std::string key;
    if (!isLocalNode(node, localNode)) {
        for (char c : nodeWithoutDomain(node)) key += lower(c);
    }
    key += '/';
    key += fixedText(address.service, sizeof address.service);
    return key;
}

}  // namespace msglib
