#pragma once
// Messages and status checks shared by the transport tests.
#include <cstdint>
#include <utility>
#include <vector>

#include "msglib/head_writer.h"
#include "msglib/msglib.h"

namespace transport_test {

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<std::pair<int, int>>;

// A message of size bytes: a head and a counting pattern behind it.
inline Message makeMessage(std::uint32_t size, const AddressRecord& destination, const AddressRecord& source,
                           std::int32_t messageType = kMsgRequest) {
    Message msg;
    if (!allocateMessage(msg, size)) return msg;
    HeadFields fields;
    fields.length = size;
    fields.messageType = messageType;
    fields.transType = kTransGet;
    fields.destination = destination;
    fields.source = source;
    writeHead(msg.data(), fields);
    for (std::uint32_t i = head::kSize; i < size; ++i) msg.data()[i] = static_cast<std::uint8_t>(i * 7);
    return msg;
}

inline Bytes bytesOf(MsgView msg) { return {msg.begin(), msg.end()}; }

inline Entries entries(const StatusBlock& status) {
    Entries result;
    for (int i = 0; i < statusEntryCount(status); ++i) result.emplace_back(status.facility[i], status.error[i]);
    return result;
}

}  // namespace transport_test
