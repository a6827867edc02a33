#pragma once
// A message head's fields, and the start of a message being built: its head
// and its descriptor table.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/byte_cursor.h"
#include "msglib/descriptor_walk.h"
#include "msglib/descriptors.h"
#include "msglib/message.h"
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
// The fields of the 292 head bytes at in.
HeadFields readHead(const std::uint8_t* in);

// Allocates a message of a head, table and the data the table describes,
// writes the head (its length and descriptor count taken from the table) and
// the table, and gives the offset of the data. 0, tooLarge when the message
// would not fit in 31 bits, or libcode::kNoMemory.
std::int32_t startMessage(std::span<const DescriptorEntry> table, HeadFields fields, std::int32_t tooLarge,
                          Message& out, std::size_t& dataAt);

// Encodes every entry of table at the cursor.
void putDescriptors(WriteCursor& cursor, const DescriptorTableView& table);
