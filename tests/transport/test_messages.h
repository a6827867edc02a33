#pragma once
// Messages and status checks shared by the transport tests.
#include <cstdint>
#include <utility>
#include <vector>

#include "msglib/head_writer.h"
#include "msglib/msglib.h"

namespace transport_test {

// A message of size bytes (a head and a counting pattern behind it).
inline Message makeMessage(std::uint32_t size, const AddressRecord& destination, const AddressRecord& source,
                           std::int32_t messageType = kMsgRequest, std::int32_t transType = kTransGet) {
    Message msg;
    if (!allocateMessage(msg, size)) return msg;
    HeadFields fields;
    fields.length = size;
    fields.messageType = messageType;
    fields.transType = transType;
    fields.destination = destination;
    fields.source = source;
    writeHead(msg.data(), fields);
    for (std::uint32_t i = head::kSize; i < size; ++i) msg.data()[i] = static_cast<std::uint8_t>(i * 7);
    return msg;
}

inline std::vector<std::pair<int, int>> entries(const StatusBlock& status) {
    std::vector<std::pair<int, int>> result;
    for (int i = 0; i < statusEntryCount(status); ++i) result.emplace_back(status.facility[i], status.error[i]);
    return result;
}

inline std::vector<std::uint8_t> payload(MsgView msg) { return {msg.begin() + head::kSize, msg.end()}; }

}  // namespace transport_test
