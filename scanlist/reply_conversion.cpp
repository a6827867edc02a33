#include "scanlist/reply_conversion.h"

#include <algorithm>
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

// kind is 1 (absolute) or 2 (percent). Values of the same bits differ by 0.
template <class Number>
bool numberChanged(Number newValue, Number keptValue, bool sameBits, std::int32_t kind, float amount) {
    const double kept = static_cast<double>(keptValue);
    const double threshold = kind == 1 ? static_cast<double>(amount) : std::fabs(kept / 100.0 * amount);
    const double difference = sameBits ? 0.0 : std::fabs(kept - static_cast<double>(newValue));
    // NaN in the difference or the threshold fails the comparison: changed.
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

// valueChanged on raw positions; size is one element's. Inlined into the
// conversion's loop, which runs it for every tag of a reply.
__attribute__((always_inline)) inline bool changed(std::uint16_t type, std::size_t size,
                                                   const std::uint8_t* newValue, const std::uint8_t* keptValue,
                                                   const std::uint8_t* newStatus, const std::uint8_t* keptStatus,
                                                   const std::uint8_t* deadband) {
    const float amount = readFloat(deadband + 4);
    if (amount <= 0.0f) return true;
    if (decodeU32(keptStatus) == 0) return true;
    if (decodeU64(newStatus) != decodeU64(keptStatus) || decodeU32(newStatus + 8) != decodeU32(keptStatus + 8)) {
        return true;
    }
    const std::int32_t kind = decodeI32(deadband);
    switch (type) {
        case kDescChars:
            return textChanged(newValue, keptValue, size);
        case kDescFloat:
        case kDescShort:
        case kDescInt:
        case kDescDouble:
            break;
        default:
            return true;
    }
    // No deadband: every conversion counts, equal values too.
    if (kind != 1 && kind != 2) return true;
    bool sameBits = false;
    switch (size) {
        case 2: sameBits = decodeU16(newValue) == decodeU16(keptValue); break;
        case 4: sameBits = decodeU32(newValue) == decodeU32(keptValue); break;
        default: sameBits = decodeU64(newValue) == decodeU64(keptValue); break;
    }
    // The most common case, a value as it was under an absolute deadband: a
    // difference of 0 against the amount.
    if (sameBits && kind == 1) return !(amount > 0.0f);
    switch (type) {
        case kDescFloat:
            return numberChanged(readFloat(newValue), readFloat(keptValue), sameBits, kind, amount);
        case kDescShort:
            return numberChanged(static_cast<std::int16_t>(decodeU16(newValue)),
                                 static_cast<std::int16_t>(decodeU16(keptValue)), sameBits, kind, amount);
        case kDescInt:
            return numberChanged(decodeI32(newValue), decodeI32(keptValue), sameBits, kind, amount);
        default:
            return numberChanged(readDouble(newValue), readDouble(keptValue), sameBits, kind, amount);
    }
}

void fail(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

// A buffer that only grows, kept for the next call.
template <class T>
class Scratch {
public:
    // Room for count items, or nullptr when memory cannot be had.
    T* take(std::uint64_t count) {
        if (count == 0) count = 1;
        if (count > capacity_) {
            items_.reset();
            capacity_ = 0;
            if (count > 0x7FFFFFFF / sizeof(T)) return nullptr;
            items_.reset(new (std::nothrow) T[static_cast<std::size_t>(count)]);
            if (!items_) return nullptr;
            capacity_ = count;
        }
        return items_.get();
    }

private:
    std::unique_ptr<T[]> items_;
    std::uint64_t capacity_ = 0;
};

// Consecutive changed elements: tags firstTag on, their values from valueAt
// on. They are copied out together, and kept together once the reply is
// built.
struct ChangedRun {
    std::uint32_t firstTag;
    std::uint32_t tags;
    std::uint32_t valueAt;
    std::uint32_t valueBytes;
};

// The six pieces of the unsolicited reply, and the updates of the kept
// state that wait for it. They are kept per thread and reused: a conversion
// of a large list would otherwise take and give back (and fault in) half a
// megabyte on every call. They hold the largest reply's size until the
// thread ends.
struct WorkBuffers {
    Scratch<std::uint8_t> names;
    Scratch<DescriptorEntry> dataTemplate;
    Scratch<std::uint8_t> values;
    Scratch<std::uint8_t> states;
    Scratch<std::uint8_t> pairs;
    Scratch<std::uint8_t> secondPairs;
    Scratch<ChangedRun> runs;
};

struct Work {
    std::uint8_t* names;
    DescriptorEntry* dataTemplate;
    std::uint8_t* values;
    std::uint8_t* states;
    std::uint8_t* pairs;
    std::uint8_t* secondPairs;
    ChangedRun* runs;
};

// Gathers the changed elements into the work buffers, apart from the loop
// that finds them, so that the loop stays small.
class Collector {
public:
    Collector(const ReplyFields& reply, const Work& work, std::size_t width)
        : reply_(reply), work_(work), width_(width) {}

    // A member's changed elements stay together, as one member whose count is
    // their number.
    void startMember() { memberOut_ = nullptr; }

    __attribute__((noinline)) void take(std::size_t firstEntry, std::size_t entries, std::uint32_t elementSize,
                                        std::uint32_t tag, std::size_t valueAt);

    // Copies the changed elements' names, values, status records and pairs
    // into the work buffers.
    void gather() const;
    // Keeps the changed elements' values and status records.
    void keep(std::span<std::uint8_t> keptValues, std::span<std::uint8_t> keptStates) const;

    std::uint32_t changes() const { return changes_; }
    std::uint32_t entries() const { return entriesOut_; }
    std::uint32_t members() const { return membersOut_; }
    std::size_t valueBytes() const { return valuesOut_; }

private:
    const ReplyFields& reply_;
    const Work& work_;
    std::size_t width_;
    DescriptorEntry* memberOut_ = nullptr;
    std::uint32_t changes_ = 0;
    std::uint32_t entriesOut_ = 1;
    std::uint32_t membersOut_ = 0;
    std::size_t valuesOut_ = 0;
    std::uint32_t runCount_ = 0;
};

// A run of members that are one number each (count 1 of type 1, 2, 4 or 5),
// the members of a template of one number per tag: the hot loop, on its own
// so that it keeps its few values in registers.
struct RunInput {
    const std::uint8_t* dataTemplate;
    std::size_t firstEntry;
    std::size_t limit;  // members at most: left in the structure, tags left, entries left
    const std::uint8_t* newValue;
    const std::uint8_t* keptValue;
    const std::uint8_t* newStatus;
    const std::uint8_t* keptStatus;
    const std::uint8_t* band;
    bool first;
    std::uint32_t tag;
    std::size_t valueAt;
};

struct RunOutput {
    std::uint32_t members;
    std::size_t valueBytes;
};

// A condition as a bit, to be combined without a branch for each.
inline unsigned bit(bool condition) { return condition ? 1u : 0u; }

// Members of one number type in a row, after the first conversion: the
// element size a constant, so that the loop is short.
template <std::uint16_t kType, std::uint32_t kSize>
RunOutput sameTypeRun(const RunInput& in, Collector& collector) {
    // Copies the collector cannot reach, so that they stay in registers
    // across its calls.
    const std::uint8_t* entry = in.dataTemplate + in.firstEntry * kDescriptorBytes;
    const std::uint8_t* newValue = in.newValue;
    const std::uint8_t* keptValue = in.keptValue;
    const std::uint8_t* newStatus = in.newStatus;
    const std::uint8_t* keptStatus = in.keptStatus;
    const std::uint8_t* band = in.band;
    const std::size_t limit = in.limit;
    std::uint32_t done = 0;
    for (; done < limit; ++done) {
        if (decodeU16(entry) != kType || decodeU32(entry + 8) != 1) break;
        // Most tags keep their value and status under an absolute deadband:
        // found with one branch, before the whole of valueChanged.
        bool sameValue = false;
        if constexpr (kSize == 2) {
            sameValue = decodeU16(newValue) == decodeU16(keptValue);
        } else if constexpr (kSize == 4) {
            sameValue = decodeU32(newValue) == decodeU32(keptValue);
        } else {
            sameValue = decodeU64(newValue) == decodeU64(keptValue);
        }
        const unsigned quiet = bit(sameValue) & bit(decodeI32(band) == 1) & bit(readFloat(band + 4) > 0.0f) &
                               bit(decodeU32(keptStatus) != 0) & bit(decodeU64(newStatus) == decodeU64(keptStatus)) &
                               bit(decodeU32(newStatus + 8) == decodeU32(keptStatus + 8));
        if (quiet == 0 && changed(kType, kSize, newValue, keptValue, newStatus, keptStatus, band)) {
            collector.startMember();
            collector.take(in.firstEntry + done, 1, kSize, in.tag + done, in.valueAt + std::size_t{done} * kSize);
        }
        entry += kDescriptorBytes;
        newValue += kSize;
        keptValue += kSize;
        newStatus += kStatusBytes;
        keptStatus += kStatusBytes;
        band += kPairBytes;
    }
    return {done, std::size_t{done} * kSize};
}

// The first conversion: every element counts as changed.
RunOutput firstRun(const RunInput& in, Collector& collector) {
    const std::uint8_t* entry = in.dataTemplate + in.firstEntry * kDescriptorBytes;
    std::size_t bytes = 0;
    std::uint32_t done = 0;
    for (; done < in.limit; ++done, entry += kDescriptorBytes) {
        const std::uint16_t type = decodeU16(entry);
        std::uint32_t size = 0;
        switch (type) {
            case kDescFloat:
            case kDescInt: size = 4; break;
            case kDescShort: size = 2; break;
            case kDescDouble: size = 8; break;
            default: return {done, bytes};
        }
        if (decodeU32(entry + 8) != 1) break;
        collector.startMember();
        collector.take(in.firstEntry + done, 1, size, in.tag + done, in.valueAt + bytes);
        bytes += size;
    }
    return {done, bytes};
}

__attribute__((noinline)) RunOutput numberRun(const RunInput& in, Collector& collector) {
    if (in.limit == 0) return {0, 0};
    if (in.first) return firstRun(in, collector);
    switch (decodeU16(in.dataTemplate + in.firstEntry * kDescriptorBytes)) {
        case kDescFloat: return sameTypeRun<kDescFloat, 4>(in, collector);
        case kDescShort: return sameTypeRun<kDescShort, 2>(in, collector);
        case kDescInt: return sameTypeRun<kDescInt, 4>(in, collector);
        case kDescDouble: return sameTypeRun<kDescDouble, 8>(in, collector);
        default: return {0, 0};
    }
}

bool allocateWork(const ReplyFields& reply, std::uint64_t tags, std::size_t templateEntries, Work& work) {
    static thread_local WorkBuffers buffers;
    work.names = buffers.names.take(reply.tagNames.size());
    work.dataTemplate = buffers.dataTemplate.take(templateEntries);
    work.values = buffers.values.take(reply.values.size());
    work.states = buffers.states.take(tags * kStatusBytes);
    work.pairs = buffers.pairs.take(reply.pairs.empty() ? 0 : tags * kPairBytes);
    work.secondPairs = buffers.secondPairs.take(reply.secondPairs.empty() ? 0 : tags * kPairBytes);
    work.runs = buffers.runs.take(tags);
    return work.names && work.dataTemplate && work.values && work.states && work.pairs && work.secondPairs &&
           work.runs;
}

void Collector::take(std::size_t firstEntry, std::size_t entries, std::uint32_t elementSize, std::uint32_t tag,
                     std::size_t valueAt) {
    if (memberOut_ == nullptr) {
        memberOut_ = work_.dataTemplate + entriesOut_;
        for (std::size_t i = 0; i < entries; ++i) {
            work_.dataTemplate[entriesOut_ + i] =
                DescriptorTableView::fromBytes(reply_.dataTemplate).at(firstEntry + i);
        }
        memberOut_->count = 0;
        entriesOut_ += static_cast<std::uint32_t>(entries);
        ++membersOut_;
    }
    ++memberOut_->count;
    ChangedRun* last = runCount_ > 0 ? &work_.runs[runCount_ - 1] : nullptr;
    if (last != nullptr && last->firstTag + last->tags == tag && last->valueAt + last->valueBytes == valueAt) {
        ++last->tags;
        last->valueBytes += elementSize;
    } else {
        work_.runs[runCount_++] = {tag, 1, static_cast<std::uint32_t>(valueAt), elementSize};
    }
    valuesOut_ += elementSize;
    ++changes_;
}

void Collector::gather() const {
    std::size_t tagsOut = 0;
    std::size_t valuesOut = 0;
    for (std::uint32_t i = 0; i < runCount_; ++i) {
        const ChangedRun& run = work_.runs[i];
        std::memcpy(work_.names + tagsOut * width_, reply_.tagNames.data() + run.firstTag * width_,
                    run.tags * width_);
        std::memcpy(work_.values + valuesOut, reply_.values.data() + run.valueAt, run.valueBytes);
        std::memcpy(work_.states + tagsOut * kStatusBytes,
                    reply_.statusRecords.data() + std::size_t{run.firstTag} * kStatusBytes,
                    std::size_t{run.tags} * kStatusBytes);
        if (!reply_.pairs.empty()) {
            std::memcpy(work_.pairs + tagsOut * kPairBytes, reply_.pairs.data() + std::size_t{run.firstTag} * kPairBytes,
                        std::size_t{run.tags} * kPairBytes);
        }
        if (!reply_.secondPairs.empty()) {
            std::memcpy(work_.secondPairs + tagsOut * kPairBytes,
                        reply_.secondPairs.data() + std::size_t{run.firstTag} * kPairBytes,
                        std::size_t{run.tags} * kPairBytes);
        }
        tagsOut += run.tags;
        valuesOut += run.valueBytes;
    }
}

void Collector::keep(std::span<std::uint8_t> keptValues, std::span<std::uint8_t> keptStates) const {
    for (std::uint32_t i = 0; i < runCount_; ++i) {
        const ChangedRun& run = work_.runs[i];
        std::memcpy(keptValues.data() + run.valueAt, reply_.values.data() + run.valueAt, run.valueBytes);
        std::memcpy(keptStates.data() + std::size_t{run.firstTag} * kStatusBytes,
                    reply_.statusRecords.data() + std::size_t{run.firstTag} * kStatusBytes,
                    std::size_t{run.tags} * kStatusBytes);
    }
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
    Work work;
    if (!allocateWork(fields, tags, templateEntries, work)) {
        fail(scancode::kReplyNoMemory, status);
        return;
    }

    const bool first = *firstConversionDone == 0;
    Collector collector(fields, work, fields.tagNames.size() / expectedTags);
    MemberWalk walk(fields.dataTemplate);
    std::uint32_t tag = 0;
    std::size_t valueAt = 0;
    const std::uint8_t* newStatus = fields.statusRecords.data();
    const std::uint8_t* keptStatus = keptStates.data();
    const std::uint8_t* band = deadbands.data();
    while (!walk.done()) {
        const std::size_t entriesLeft = templateEntries - walk.position();
        RunInput run{fields.dataTemplate.data(), walk.position(),
                     std::min<std::size_t>({walk.membersLeft(), expectedTags - tag, entriesLeft}),
                     fields.values.data() + valueAt, keptValues.data() + valueAt, newStatus, keptStatus, band,
                     first, tag, valueAt};
        if (const RunOutput done = numberRun(run, collector); done.members > 0) {
            walk.skipSimple(done.members);
            tag += done.members;
            valueAt += done.valueBytes;
            newStatus += std::size_t{done.members} * kStatusBytes;
            keptStatus += std::size_t{done.members} * kStatusBytes;
            band += std::size_t{done.members} * kPairBytes;
            continue;
        }
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
        collector.startMember();
        const std::uint16_t type = member.type;
        const std::uint32_t elementSize = member.elementSize;
        for (std::uint32_t e = 0; e < member.elements; ++e) {
            if (first || changed(type, elementSize, fields.values.data() + valueAt, keptValues.data() + valueAt,
                                 newStatus, keptStatus, band)) {
                collector.take(member.first, member.entries, elementSize, tag, valueAt);
            }
            ++tag;
            valueAt += elementSize;
            newStatus += kStatusBytes;
            keptStatus += kStatusBytes;
            band += kPairBytes;
        }
    }
    if (tag != expectedTags || !walk.done()) {
        fail(scancode::kTagSetInconsistent, status);
        fail(scancode::kReplyNotStructure, status);
        return;
    }
    const std::uint32_t changes = collector.changes();
    if (changes == 0) {
        fail(scancode::kReplyNoChange, status);
        return;
    }
    work.dataTemplate[0] = {kDescStruct, 0, collector.members(), 1};
    collector.gather();
    const std::size_t width = fields.tagNames.size() / expectedTags;

    UnsolicitedReplyInput input;
    input.destination = ZENTO_SERVER_MSGDEST(reply);
    input.replyDestination = ZENTO_SERVER_REPDEST(reply);
    input.deviceName = fields.deviceName;
    input.requestWord = fields.requestWord;
    input.listId = fields.listId;
    input.frequency = fields.frequency;
    input.tagCount = static_cast<std::int32_t>(changes);
    input.tagNames = {work.names, std::size_t{changes} * width};
    input.pairs = {work.pairs, fields.pairs.empty() ? 0 : std::size_t{changes} * kPairBytes};
    input.dataTemplate = {work.dataTemplate, collector.entries()};
    input.values = {work.values, collector.valueBytes()};
    input.statusRecords = {work.states, std::size_t{changes} * kStatusBytes};
    input.secondPairs = {work.secondPairs, fields.secondPairs.empty() ? 0 : std::size_t{changes} * kPairBytes};
    ZENTO_SERVER_BLD_UNSREPLY(input, *unsolicited, cause);
    if (statusFailed(cause)) {
        appendStatusEntries(cause, status);
        fail(scancode::kReplyBuild, status);
        return;
    }
    collector.keep(keptValues, keptStates);
    *firstConversionDone = 1;
}
