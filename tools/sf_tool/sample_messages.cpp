#include "tools/sf_tool/sample_messages.h"

#include <array>
#include <cstring>
#include <vector>

#include "forward/get_request.h"
#include "msglib/msglib.h"
#include "tools/sf_tool/store_writer.h"

namespace {

constexpr char kTagName[] = "SEQ";
constexpr char kDeviceName[] = "SFTOOL";
constexpr char kDataService[] = "DLGPSERVER";  // the service the requests are addressed to
constexpr std::int32_t kFrequency = 10;      // tenths of a second
constexpr std::uint32_t kNaturalValueBytes = 32;
// Room for the longest value text ("sample message 4294967295") and its NUL.
constexpr std::uint32_t kMinValueBytes = 26;

std::array<char, 32> deviceName() {
    std::array<char, 32> name{};
    std::memcpy(name.data(), kDeviceName, sizeof kDeviceName - 1);
    return name;
}

// One tag whose value is a character field of valueBytes bytes: the
// smallest template there is, so that --size can ask for small messages.
std::array<DescriptorEntry, 1> valueTemplate(std::uint32_t valueBytes) {
    return {DescriptorEntry{kDescChars, 0, valueBytes, 1}};
}

std::vector<std::uint8_t> valueField(std::uint32_t sequence, std::uint32_t valueBytes) {
    std::vector<std::uint8_t> value(valueBytes, 0);
    const std::string text = sampleValueText(sequence);
    std::memcpy(value.data(), text.data(), std::min<std::size_t>(text.size(), valueBytes - 1));
    return value;
}

bool buildGetReply(const SampleShape& shape, std::uint32_t sequence, std::uint32_t valueBytes, Message& out,
                   StatusBlock& status) {
    const auto device = deviceName();
    const auto dataTemplate = valueTemplate(valueBytes);
    const AddressRecord requester = makeAddress(shape.requesterNode, shape.requesterService);
    const AddressRecord dataService = makeAddress(shape.requesterNode, kDataService);
    Message request;
    buildGetRequest(static_cast<std::int32_t>(sequence), device.data(), 0, 1, 1, 1, 0, &requester, dataService,
                    kFrequency, std::span<const char>(kTagName, sizeof kTagName), {}, dataTemplate, request, status);
    if (statusFailed(status)) return false;

    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const std::vector<std::uint8_t> value = valueField(sequence, valueBytes);
    const std::int32_t valueStatus[3] = {0, 0, 0};
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisition, value, valueStatus, now, out, status);
    return !statusFailed(status);
}

bool buildUnsolicitedReply(const SampleShape& shape, std::uint32_t sequence, std::uint32_t valueBytes, Message& out,
                           StatusBlock& status) {
    const auto device = deviceName();
    const auto dataTemplate = valueTemplate(valueBytes);
    const std::vector<std::uint8_t> value = valueField(sequence, valueBytes);
    const std::array<std::uint8_t, 12> statusRecord{};
    UnsolicitedReplyInput input;
    // The client the values are for; a stored copy is forwarded there.
    input.destination = makeAddress(shape.requesterNode, shape.requesterService);
    input.replyDestination = makeAddress(shape.requesterNode, kDataService);
    input.deviceName = device.data();
    input.listId = static_cast<std::int32_t>(sequence);
    input.frequency = kFrequency;
    input.tagCount = 1;
    input.tagNames = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(kTagName), sizeof kTagName);
    input.dataTemplate = dataTemplate;
    input.values = value;
    input.statusRecords = statusRecord;
    ZENTO_SERVER_BLD_UNSREPLY(input, out, status);
    return !statusFailed(status);
}

bool buildWithValueBytes(const SampleShape& shape, std::uint32_t sequence, std::uint32_t valueBytes, Message& out,
                         std::string& error) {
    StatusBlock status;
    const bool built = shape.kind == SampleKind::GetReply ? buildGetReply(shape, sequence, valueBytes, out, status)
                                                         : buildUnsolicitedReply(shape, sequence, valueBytes, out, status);
    if (!built) error = "the messaging library cannot build sample message " + std::to_string(sequence) + " (" +
                        describeStatus(status) + ")";
    return built;
}

}  // namespace

std::string sampleValueText(std::uint32_t sequence) { return "sample message " + std::to_string(sequence); }

bool buildSampleMessage(const SampleShape& shape, std::uint32_t sequence, Message& out, std::string& error) {
    if (!buildWithValueBytes(shape, sequence, kNaturalValueBytes, out, error)) return false;
    if (shape.size == 0 || shape.size == out.size) return true;
    // The value field is the one part whose size is free, and the message
    // grows byte for byte with it.
    const std::int64_t valueBytes = std::int64_t{kNaturalValueBytes} + shape.size - std::int64_t{out.size};
    if (valueBytes < kMinValueBytes) {
        error = "--size " + std::to_string(shape.size) + " is below the smallest message of this kind, " +
                std::to_string(out.size - (kNaturalValueBytes - kMinValueBytes)) + " bytes";
        return false;
    }
    if (!buildWithValueBytes(shape, sequence, static_cast<std::uint32_t>(valueBytes), out, error)) return false;
    if (out.size != shape.size) {
        error = "cannot make a message of exactly " + std::to_string(shape.size) + " bytes";
        return false;
    }
    return true;
}

bool sampleSequence(MsgView message, std::uint32_t& sequence) {
    ReplyFields fields;
    StatusBlock status;
    if (ZENTO_SERVER_TRANSTYPE(message) == kTransUnsolicited) {
        ZENTO_SERVER_PARSE_UNSREP(message, fields, status);
    } else {
        ZENTO_SERVER_PARSE_GETREP(message, fields, status);
    }
    if (statusFailed(status)) return false;
    sequence = static_cast<std::uint32_t>(fields.listId);
    return true;
}
