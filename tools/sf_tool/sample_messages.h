#pragma once
// Messages as the store-and-forward tasks store them: GET replies (built as
// the answer to a real GET request) and unsolicited replies, made by the
// messaging library so that they parse. Each carries a sequence number in its
// list id and in its value text, so a test can check order and completeness
// of what a recovery forwards.
#include <cstdint>
#include <string>

#include "msglib/message.h"

enum class SampleKind { GetReply, UnsolicitedReply };

struct SampleShape {
    SampleKind kind = SampleKind::GetReply;
    std::string requesterNode;  // the node a recovery forwards the message to
    std::string requesterService = "DLGPCLIENT";
    std::uint32_t size = 0;  // total message length in bytes; 0: the natural size
};

// False (error says why) when the library refuses, or when shape.size is
// smaller than the smallest message of that kind.
bool buildSampleMessage(const SampleShape& shape, std::uint32_t sequence, Message& out, std::string& error);

// The sequence number of a GET or unsolicited reply: its list id. False when
// the message parses as neither.
bool sampleSequence(MsgView message, std::uint32_t& sequence);

// "sample message N", the value text of message N.
std::string sampleValueText(std::uint32_t sequence);
