#pragma once
// AddressRecords on the wire: 32 bytes of node name, then 32 of service name,
// copied byte for byte. Callers check bounds.
#include <cstdint>
#include <cstring>

#include "msglib/records.h"

constexpr std::uint32_t kAddressBytes = 64;

inline void encodeAddress(std::uint8_t* p, const AddressRecord& address) {
    std::memcpy(p, address.node, sizeof address.node);
    std::memcpy(p + sizeof address.node, address.service, sizeof address.service);
}

inline AddressRecord decodeAddress(const std::uint8_t* p) {
    AddressRecord address{};
    std::memcpy(address.node, p, sizeof address.node);
    std::memcpy(address.service, p + sizeof address.node, sizeof address.service);
    return address;
}
