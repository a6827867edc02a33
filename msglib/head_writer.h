#pragma once
// Fills the head of a message being built.
#include <cstdint>

#include "msglib/records.h"

struct HeadFields {
    std::uint32_t length = 0;
    std::int32_t messageType = 0;
    std::int32_t transType = 0;
    std::uint32_t transNum = 0;
    AddressRecord destination{};
    AddressRecord replyDestination{};
    AddressRecord source{};
    AddressRecord requestSource{};
    std::uint32_t descriptorCount = 0;
};

// Writes all 292 head bytes at out (zeros included), stamped with the present
// time. The caller provides the room.
void writeHead(std::uint8_t* out, const HeadFields& fields);
