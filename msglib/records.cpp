#include "msglib/records.h"

#include <cstring>

void setFixedText(char* field, std::size_t size, std::string_view text) {
    if (field == nullptr || size == 0) return;
    std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
    if (length > 0) std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, size - length);
}

std::string_view fixedText(const char* field, std::size_t size) {
    if (field == nullptr) return {};
    const void* nul = std::memchr(field, '\0', size);
    std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size;
    return {field, length};
}

AddressRecord makeAddress(std::string_view node, std::string_view service) {
    AddressRecord address{};
    setFixedText(address.node, sizeof address.node, node);
    setFixedText(address.service, sizeof address.service, service);
    return address;
}
