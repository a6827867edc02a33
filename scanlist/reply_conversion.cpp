#include "scanlist/reply_conversion.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/scanlist_codes.h"
#include "scanlist/template_members.h"

namespace {

constexpr char kLogName[] = "XXX";
constexpr std::size_t kStatusBytes = 12;
constexpr std::size_t kPairBytes = 8;

float readFloat(const std::uint8_t* p) {
    const std::uint32_t bits = decodeU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double readDouble(const std::uint8_t* p) {
    const std::uint64_t bits = decodeU64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool numberChanged(double newValue, double keptValue, std::int32_t kind, float amount) {
    double threshold = 0;
    if (kind == 1) {
        threshold = amount;
    } else if (kind == 2) {
        threshold = std::fabs(keptValue / 100.0 * amount);
    }
    const double difference = newValue == keptValue ? 0.0 : std::fabs(keptValue - newValue);
    // NaN on either side, or in the threshold, fails the comparison: changed.
    return !(difference < threshold);
}

bool textChanged(const std::uint8_t* newValue, const std::uint8_t* keptValue, std::size_t size) {
    const void* newEnd = std::memchr(newValue, '\0', size);
    const void* keptEnd = std::memchr(keptValue, '\0', size);
    const std::size_t newLength =
        newEnd != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(newEnd) - newValue) : size;
    const std::size_t keptLength =
        keptEnd != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(keptEnd) - keptValue) : size;
    return newLength != keptLength || std::memcmp(newValue, keptValue, newLength) != 0;
}

// valueChanged on raw positions; size is one element's.
inline bool changed(std::uint16_t type, std::size_t size, const std::uint8_t* newValue,
                    const std::uint8_t* keptValue, const std::uint8_t* newStatus, const std::uint8_t* keptStatus,
                    const std::uint8_t* deadband) {
    const float amount = readFloat(deadband + 4);
    if (amount <= 0.0f) return true;
    if (decodeU32(keptStatus) == 0) return true;
    if (std::memcmp(newStatus, keptStatus, kStatusBytes) != 0) return true;
    const std::int32_t kind = decodeI32(deadband);
    switch (type) {
        case kDescChars:
            return size == 0 ? false : textChanged(newValue, keptValue, size);
        case kDescFloat:
            return numberChanged(readFloat(newValue), readFloat(keptValue), kind, amount);
        case kDescShort:
            return numberChanged(static_cast<std::int16_t>(decodeU16(newValue)),
                                 static_cast<std::int16_t>(decodeU16(keptValue)), kind, amount);
        case kDescInt:
            return numberChanged(decodeI32(newValue), decodeI32(keptValue), kind, amount);
        case kDescDouble:
            return numberChanged(readDouble(newValue), readDouble(keptValue), kind, amount);
        default:
            return true;
    }
}

void fail(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

template <class T>
std::unique_ptr<T[]> workBuffer(std::uint64_t count) {
    if (count > 0x7FFFFFFF / sizeof(T)) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count == 0 ? 1 : static_cast<std::size_t>(count)]);
}

// Where a changed element's new value and status record go once the reply
// is built.
struct KeptUpdate {
    std::uint32_t tag;
    std::uint32_t valueAt;
    std::uint32_t valueSize;
};

// The six pieces of the unsolicited reply, and the updates of the kept
// state that wait for it.
struct WorkBuffers {
    std::unique_ptr<std::uint8_t[]> names;
    std::unique_ptr<DescriptorEntry[]> dataTemplate;
    std::unique_ptr<std::uint8_t[]> values;
    std::unique_ptr<std::uint8_t[]> states;
    std::unique_ptr<std::uint8_t[]> pairs;
    std::unique_ptr<std::uint8_t[]> secondPairs;
    std::unique_ptr<KeptUpdate[]> updates;
};

bool allocateWork(WorkBuffers& work, const ReplyFields& reply, std::uint64_t tags, std::size_t templateEntries) {
    work.names = workBuffer<std::uint8_t>(reply.tagNames.size());
    work.dataTemplate = workBuffer<DescriptorEntry>(templateEntries);
    work.values = workBuffer<std::uint8_t>(reply.values.size());
    work.states = workBuffer<std::uint8_t>(tags * kStatusBytes);
    work.pairs = workBuffer<std::uint8_t>(reply.pairs.empty() ? 0 : tags * kPairBytes);
    work.secondPairs = workBuffer<std::uint8_t>(reply.secondPairs.empty() ? 0 : tags * kPairBytes);
    work.updates = workBuffer<KeptUpdate>(tags);
    return work.names && work.dataTemplate && work.values && work.states && work.pairs && work.secondPairs &&
           work.updates;
}

}  // namespace

bool valueChanged(const DescriptorEntry& entry, std::span<const std::uint8_t> newValue,
                  std::span<const std::uint8_t> keptValue, std::span<const std::uint8_t, 12> newStatus,
                  std::span<const std::uint8_t, 12> keptStatus, std::span<const std::uint8_t, 8> deadband) {
    const std::size_t size = simpleElementSize(entry.type, entry.size);
    if (entry.type == kDescStruct || size == 0 || newValue.size() < size || keptValue.size() < size) {
        // A value that cannot be read as its type cannot be held equal.
        return changed(kDescStruct, 0, nullptr, nullptr, newStatus.data(), keptStatus.data(), deadband.data());
    }
    return changed(entry.type, size, newValue.data(), keptValue.data(), newStatus.data(), keptStatus.data(),
                   deadband.data());
}

void convertGetReply(MsgView reply, std::uint32_t* firstConversionDone, std::uint32_t expectedTags,
                     std::span<const std::uint8_t> deadbands, std::span<std::uint8_t> keptStates,
                     std::span<std::uint8_t> keptValues, Message* unsolicited, StatusBlock* statusBlock) {
    if (statusBlock == nullptr) {
        StatusBlock local;
        ZENTO_SERVER_INITBLK(local);
        fail(scancode::kReplyArgument, local);
        StatusBlock ignored;
        ZENTO_SERVER_LOGBLK(kLogName, local, ignored);
        return;
    }
    StatusBlock& status = *statusBlock;
    ZENTO_SERVER_INITBLK(status);
    if (unsolicited != nullptr) releaseMessage(*unsolicited);
    if (reply.empty() || firstConversionDone == nullptr || expectedTags == 0 || unsolicited == nullptr ||
        deadbands.data() == nullptr || keptStates.data() == nullptr || keptValues.data() == nullptr) {
        fail(scancode::kReplyArgument, status);
        return;
    }
    ReplyFields fields;
    StatusBlock cause;
    ZENTO_SERVER_PARSE_GETREP(reply, fields, cause);
    if (statusFailed(cause)) {
        appendStatusEntries(cause, status);
        fail(scancode::kReplyParse, status);
        return;
    }
    if (static_cast<std::uint32_t>(fields.tagCount) != expectedTags) {
        fail(scancode::kReplyTagCount, status);
        return;
    }
    // The parser has checked the template to be one item spanning all of its
    // entries, and the values to be what it describes.
    const std::size_t templateEntries = fields.dataTemplate.size() / kDescriptorBytes;
    const std::uint8_t* head = fields.dataTemplate.data();
    if (decodeU16(head) != kDescStruct || decodeU32(head + 4) == 0) {
        fail(scancode::kReplyNotStructure, status);
        return;
    }
    if (decodeU32(head + 8) != 1) {
        fail(scancode::kTagSetInconsistent, status);
        fail(scancode::kReplyNotStructure, status);
        return;
    }
    const std::uint64_t tags = expectedTags;
    if (deadbands.size() < tags * kPairBytes || keptStates.size() < tags * kStatusBytes ||
        keptValues.size() < fields.values.size()) {
        fail(scancode::kReplyKeptShort, status);
        return;
    }
    WorkBuffers work;
    if (!allocateWork(work, fields, tags, templateEntries)) {
        fail(scancode::kReplyNoMemory, status);
        return;
    }

    const std::size_t width = fields.tagNames.size() / expectedTags;
    const bool first = *firstConversionDone == 0;
    MemberWalk walk(fields.dataTemplate);
    std::uint32_t tag = 0;
    std::size_t valueAt = 0;
    std::uint32_t changes = 0;
    std::size_t valuesOut = 0;
    std::uint32_t entriesOut = 1;
    std::uint32_t membersOut = 0;
    while (!walk.done()) {
        TemplateMember member;
        if (std::int32_t fault = walk.next(member); fault != 0) {
            if (fault == libcode::kDescriptorUnknownType) {
                fail(scancode::kReplyElementType, status);
            } else {
                ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
                fail(scancode::kReplySize, status);
            }
            return;
        }
        if (member.elements > expectedTags - tag) {
            fail(scancode::kTagSetInconsistent, status);
            fail(scancode::kReplyNotStructure, status);
            return;
        }
        // A member's changed elements stay together, as one member whose
        // count is their number.
        DescriptorEntry* memberOut = nullptr;
        for (std::uint32_t e = 0; e < member.elements; ++e, ++tag, valueAt += member.elementSize) {
            const std::uint8_t* newValue = fields.values.data() + valueAt;
            const std::uint8_t* newStatus = fields.statusRecords.data() + std::size_t{tag} * kStatusBytes;
            if (!first && !changed(member.type, member.elementSize, newValue, keptValues.data() + valueAt, newStatus,
                                   keptStates.data() + std::size_t{tag} * kStatusBytes,
                                   deadbands.data() + std::size_t{tag} * kPairBytes)) {
                continue;
            }
            if (memberOut == nullptr) {
                memberOut = work.dataTemplate.get() + entriesOut;
                for (std::size_t i = 0; i < member.entries; ++i) {
                    work.dataTemplate[entriesOut + i] =
                        decodeDescriptor(head + (member.first + i) * kDescriptorBytes);
                }
                memberOut->count = 0;
                entriesOut += static_cast<std::uint32_t>(member.entries);
                ++membersOut;
            }
            ++memberOut->count;
            std::memcpy(work.names.get() + changes * width, fields.tagNames.data() + tag * width, width);
            std::memcpy(work.values.get() + valuesOut, newValue, member.elementSize);
            std::memcpy(work.states.get() + std::size_t{changes} * kStatusBytes, newStatus, kStatusBytes);
            if (!fields.pairs.empty()) {
                std::memcpy(work.pairs.get() + std::size_t{changes} * kPairBytes,
                            fields.pairs.data() + std::size_t{tag} * kPairBytes, kPairBytes);
            }
            if (!fields.secondPairs.empty()) {
                std::memcpy(work.secondPairs.get() + std::size_t{changes} * kPairBytes,
                            fields.secondPairs.data() + std::size_t{tag} * kPairBytes, kPairBytes);
            }
            work.updates[changes] = {tag, static_cast<std::uint32_t>(valueAt), member.elementSize};
            valuesOut += member.elementSize;
            ++changes;
        }
    }
    if (tag != expectedTags) {
        fail(scancode::kTagSetInconsistent, status);
        fail(scancode::kReplyNotStructure, status);
        return;
    }
    if (changes == 0) {
        fail(scancode::kReplyNoChange, status);
        return;
    }
    work.dataTemplate[0] = {kDescStruct, 0, membersOut, 1};

    UnsolicitedReplyInput input;
    input.destination = ZENTO_SERVER_MSGDEST(reply);
    input.replyDestination = ZENTO_SERVER_REPDEST(reply);
    input.deviceName = fields.deviceName;
    input.requestWord = fields.requestWord;
    input.listId = fields.listId;
    input.frequency = fields.frequency;
    input.tagCount = static_cast<std::int32_t>(changes);
    input.tagNames = {work.names.get(), std::size_t{changes} * width};
    input.pairs = {work.pairs.get(), fields.pairs.empty() ? 0 : std::size_t{changes} * kPairBytes};
    input.dataTemplate = {work.dataTemplate.get(), entriesOut};
    input.values = {work.values.get(), valuesOut};
    input.statusRecords = {work.states.get(), std::size_t{changes} * kStatusBytes};
    input.secondPairs = {work.secondPairs.get(), fields.secondPairs.empty() ? 0 : std::size_t{changes} * kPairBytes};
    ZENTO_SERVER_BLD_UNSREPLY(input, *unsolicited, cause);
    if (statusFailed(cause)) {
        appendStatusEntries(cause, status);
        fail(scancode::kReplyBuild, status);
        return;
    }
    for (std::uint32_t i = 0; i < changes; ++i) {
        const KeptUpdate& update = work.updates[i];
        std::memcpy(keptValues.data() + update.valueAt, fields.values.data() + update.valueAt, update.valueSize);
        std::memcpy(keptStates.data() + std::size_t{update.tag} * kStatusBytes,
                    fields.statusRecords.data() + std::size_t{update.tag} * kStatusBytes, kStatusBytes);
    }
    *firstConversionDone = 1;
}
