#include "scanlist/tag_sets.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "lists/list_tables.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/scanlist_codes.h"
#include "scanlist/template_members.h"

namespace {

constexpr std::uint64_t kLargestPiece = 0x7FFFFFFF;

struct SetBuffers {
    OwnedBytes names;
    OwnedBytes dataTemplate;
    OwnedBytes pairs;
    OwnedBytes secondPairs;
    OwnedBytes states;
    OwnedBytes values;
};

void fail(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

bool isWholeBlock(std::uint64_t bytes, std::uint64_t count) {
    return count > 0 && count <= kLargestPiece && bytes >= count && bytes % count == 0;
}

bool absentOrSized(std::span<const std::uint8_t> piece, std::uint64_t size) {
    return piece.empty() || piece.size() == size;
}

struct CheckedSet {
    TemplateShape shape;
    std::size_t width = 0;  // of one name field
};

// The rules of tag_sets.h; failures load the walk's cause and sizeCode, or
// kTagSetInconsistent.
bool checkSet(const TagSet& set, bool readsState, std::int32_t sizeCode, CheckedSet& checked, StatusBlock& status) {
    if (!isWholeBlock(set.names.size(), set.count)) {
        fail(scancode::kTagSetInconsistent, status);
        return false;
    }
    std::int32_t cause = 0;
    switch (templateShape(set.dataTemplate, checked.shape, cause)) {
        case ShapeFault::None: break;
        case ShapeFault::Size:
            ZENTO_SERVER_LDBLK(kFacilityLibrary, cause, status);
            fail(sizeCode, status);
            return false;
        case ShapeFault::Inconsistent:
            fail(scancode::kTagSetInconsistent, status);
            return false;
    }
    const std::uint64_t count = set.count;
    const bool sound = checked.shape.elements == count && absentOrSized(set.pairs, count * 8) &&
                       absentOrSized(set.secondPairs, count * 8) &&
                       (!readsState || (absentOrSized(set.states, count * 12) &&
                                        absentOrSized(set.values, checked.shape.valueBytes)));
    if (!sound) {
        fail(scancode::kTagSetInconsistent, status);
        return false;
    }
    checked.width = set.names.size() / set.count;
    return true;
}

// size bytes of a piece that may be absent (zeros), from offset at.
void copyPiece(std::uint8_t* to, std::span<const std::uint8_t> piece, std::size_t at, std::size_t size) {
    if (piece.empty()) {
        std::memset(to, 0, size);
    } else {
        std::memcpy(to, piece.data() + at, size);
    }
}

bool allocateAll(SetBuffers& buffers, std::uint64_t names, std::uint64_t templateBytes, std::uint64_t count,
                 std::uint64_t values) {
    if (names > kLargestPiece || templateBytes > kLargestPiece || count * 12 > kLargestPiece ||
        values > kLargestPiece) {
        return false;
    }
    return allocateBytes(buffers.names, static_cast<std::uint32_t>(names)) &&
           allocateBytes(buffers.dataTemplate, static_cast<std::uint32_t>(templateBytes)) &&
           allocateBytes(buffers.pairs, static_cast<std::uint32_t>(count * 8)) &&
           allocateBytes(buffers.secondPairs, static_cast<std::uint32_t>(count * 8)) &&
           allocateBytes(buffers.states, static_cast<std::uint32_t>(count * 12)) &&
           allocateBytes(buffers.values, static_cast<std::uint32_t>(values));
}

// Hands out the first bytes of each buffer, keeping the buffers as the
// operation's results (the previous ones go).
void handOut(SetBuffers& fresh, SetBuffers& kept, std::uint32_t count, std::size_t nameBytes,
             std::size_t templateBytes, std::size_t valueBytes, TagSet& result) {
    kept = std::move(fresh);
    result.count = count;
    result.names = {kept.names.data(), nameBytes};
    result.dataTemplate = {kept.dataTemplate.data(), templateBytes};
    result.pairs = {kept.pairs.data(), std::size_t{count} * 8};
    result.secondPairs = {kept.secondPairs.data(), std::size_t{count} * 8};
    result.states = {kept.states.data(), std::size_t{count} * 12};
    result.values = {kept.values.data(), valueBytes};
}

// Trims the name in a field in place (leading blanks through the library)
// and gives it without its trailing blanks.
std::string_view trimmedName(std::span<char> field) {
    std::size_t length = zento_lefttrim(field);
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\t')) --length;
    return {field.data(), length};
}

// A scratch copy of a name block, for trimming in place.
std::unique_ptr<char[]> scratchCopy(std::span<const std::uint8_t> block) {
    std::unique_ptr<char[]> copy(new (std::nothrow) char[block.empty() ? 1 : block.size()]);
    if (copy && !block.empty()) std::memcpy(copy.get(), block.data(), block.size());
    return copy;
}

// Marks every tag of set named among the given names; the number marked, or
// -1 when memory could not be had.
std::int64_t markNamed(const TagSet& set, std::size_t width, std::uint32_t givenCount,
                       std::span<const std::uint8_t> givenNames, std::uint8_t* marks) {
    const std::size_t givenWidth = givenNames.size() / givenCount;
    std::unique_ptr<char[]> given = scratchCopy(givenNames);
    std::unique_ptr<char[]> tags = scratchCopy(set.names);
    std::unique_ptr<std::string_view[]> sorted(new (std::nothrow) std::string_view[givenCount]);
    if (!given || !tags || !sorted) return -1;
    for (std::uint32_t i = 0; i < givenCount; ++i) {
        sorted[i] = trimmedName({given.get() + std::size_t{i} * givenWidth, givenWidth});
    }
    std::sort(sorted.get(), sorted.get() + givenCount);
    std::int64_t marked = 0;
    for (std::uint32_t i = 0; i < set.count; ++i) {
        const std::string_view name = trimmedName({tags.get() + std::size_t{i} * width, width});
        if (std::binary_search(sorted.get(), sorted.get() + givenCount, name)) {
            marks[i] = 1;
            ++marked;
        }
    }
    return marked;
}

// Copies the unmarked elements' values, and the members that keep any, into
// the new value buffer and template; the bytes used of each.
bool keepElements(const TagSet& set, const std::uint8_t* marks, SetBuffers& out, std::size_t& templateBytes,
                  std::size_t& valueBytes, StatusBlock& status) {
    MemberWalk walk(set.dataTemplate);
    std::size_t element = 0;
    std::size_t valueAt = 0;
    std::size_t entryOut = 1;
    std::uint32_t membersKept = 0;
    valueBytes = 0;
    while (!walk.done()) {
        TemplateMember member;
        if (std::int32_t fault = walk.next(member); fault != 0) {
            ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
            fail(scancode::kRemoveSize, status);
            return false;
        }
        std::uint32_t kept = 0;
        for (std::uint32_t e = 0; e < member.elements; ++e, ++element) {
            if (marks[element] == 0) {
                copyPiece(out.values.data() + valueBytes, set.values, valueAt, member.elementSize);
                valueBytes += member.elementSize;
                ++kept;
            }
            valueAt += member.elementSize;
        }
        if (kept > 0) {
            std::uint8_t* to = out.dataTemplate.data() + entryOut * kDescriptorBytes;
            std::memcpy(to, set.dataTemplate.data() + member.first * kDescriptorBytes,
                        member.entries * kDescriptorBytes);
            encodeU32(to + 8, kept);
            entryOut += member.entries;
            ++membersKept;
        }
    }
    encodeDescriptor(out.dataTemplate.data(), {kDescStruct, 0, membersKept, 1});
    templateBytes = entryOut * kDescriptorBytes;
    return true;
}

}  // namespace

bool checkTagSet(const TagSet& set, std::int32_t sizeCode, TemplateShape& shape, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    CheckedSet checked;
    const bool sound = checkSet(set, true, sizeCode, checked, status);
    shape = checked.shape;
    return sound;
}

void removeTags(const TagSet& set, std::uint32_t removeCount, std::span<const std::uint8_t> removeNames,
                std::uint32_t& newCount, TagSet& result, StatusBlock& status) {
    static thread_local SetBuffers results;
    ZENTO_SERVER_INITBLK(status);
    newCount = set.count;
    CheckedSet checked;
    if (!checkSet(set, true, scancode::kRemoveSize, checked, status)) return;
    if (removeCount == 0) return;
    if (!isWholeBlock(removeNames.size(), removeCount)) {
        fail(scancode::kTagSetInconsistent, status);
        return;
    }
    OwnedBytes marks;
    if (!allocateBytes(marks, set.count)) {
        fail(scancode::kRemoveNoMemory, status);
        return;
    }
    const std::int64_t removed = markNamed(set, checked.width, removeCount, removeNames, marks.data());
    if (removed < 0) {
        fail(scancode::kRemoveNoMemory, status);
        return;
    }
    const std::uint32_t left = set.count - static_cast<std::uint32_t>(removed);
    newCount = left;
    if (removed == 0 || left == 0) return;

    SetBuffers fresh;
    if (!allocateAll(fresh, std::uint64_t{checked.width} * left, set.dataTemplate.size(), left,
                     checked.shape.valueBytes)) {
        fail(scancode::kRemoveNoMemory, status);
        return;
    }
    std::size_t templateBytes = 0;
    std::size_t valueBytes = 0;
    if (!keepElements(set, marks.data(), fresh, templateBytes, valueBytes, status)) return;
    std::size_t to = 0;
    for (std::uint32_t i = 0; i < set.count; ++i) {
        if (marks.data()[i] != 0) continue;
        std::memcpy(fresh.names.data() + to * checked.width, set.names.data() + std::size_t{i} * checked.width,
                    checked.width);
        copyPiece(fresh.pairs.data() + to * 8, set.pairs, std::size_t{i} * 8, 8);
        copyPiece(fresh.secondPairs.data() + to * 8, set.secondPairs, std::size_t{i} * 8, 8);
        copyPiece(fresh.states.data() + to * 12, set.states, std::size_t{i} * 12, 12);
        ++to;
    }
    handOut(fresh, results, left, checked.width * left, templateBytes, valueBytes, result);
}

void mergeTags(const TagSet& first, const TagSet& second, std::uint32_t& newCount, TagSet& result,
               StatusBlock& status) {
    static thread_local SetBuffers results;
    ZENTO_SERVER_INITBLK(status);
    const std::uint64_t count = std::uint64_t{first.count} + second.count;
    newCount = static_cast<std::uint32_t>(count);
    CheckedSet p;
    CheckedSet q;
    if (!checkSet(first, true, scancode::kMergeFirstSize, p, status) ||
        !checkSet(second, false, scancode::kMergeSecondSize, q, status)) {
        return;
    }
    const std::size_t width = std::max(p.width, q.width);  // of a field: the longest name plus its NUL
    const std::uint64_t templateEntries = std::uint64_t{p.shape.entries} + q.shape.entries - 1;
    SetBuffers fresh;
    if (count > kLargestPiece ||
        !allocateAll(fresh, count * width, templateEntries * kDescriptorBytes, count,
                     std::uint64_t{p.shape.valueBytes} + q.shape.valueBytes)) {
        fail(scancode::kMergeNoMemory, status);
        return;
    }
    // Names: blanks and a NUL, the name's text over them.
    std::uint8_t* name = fresh.names.data();
    for (const auto* source : {&first, &second}) {
        const std::size_t from = source == &first ? p.width : q.width;
        for (std::uint32_t i = 0; i < source->count; ++i, name += width) {
            std::memset(name, ' ', width - 1);
            name[width - 1] = '\0';
            const std::uint8_t* field = source->names.data() + std::size_t{i} * from;
            const void* nul = std::memchr(field, '\0', from);
            const std::size_t length =
                nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field) : from;
            std::memcpy(name, field, std::min(length, width - 1));
        }
    }
    const std::size_t firstPairs = std::size_t{first.count} * 8;
    const std::size_t secondPairs = std::size_t{second.count} * 8;
    copyPiece(fresh.pairs.data(), first.pairs, 0, firstPairs);
    copyPiece(fresh.pairs.data() + firstPairs, second.pairs, 0, secondPairs);
    copyPiece(fresh.secondPairs.data(), first.secondPairs, 0, firstPairs);
    copyPiece(fresh.secondPairs.data() + firstPairs, second.secondPairs, 0, secondPairs);
    copyPiece(fresh.states.data(), first.states, 0, std::size_t{first.count} * 12);
    copyPiece(fresh.values.data(), first.values, 0, p.shape.valueBytes);
    // The new tags' status records and values stay zero, as allocated.

    // The structure counts members, not entries: a structure member spans
    // several entries but is one member.
    std::uint8_t* entries = fresh.dataTemplate.data();
    encodeDescriptor(entries, {kDescStruct, 0, p.shape.members + q.shape.members, 1});
    const std::size_t firstMembers = (p.shape.entries - 1) * std::size_t{kDescriptorBytes};
    std::memcpy(entries + kDescriptorBytes, first.dataTemplate.data() + kDescriptorBytes, firstMembers);
    std::memcpy(entries + kDescriptorBytes + firstMembers, second.dataTemplate.data() + kDescriptorBytes,
                (q.shape.entries - 1) * std::size_t{kDescriptorBytes});
    handOut(fresh, results, newCount, static_cast<std::size_t>(count * width),
            static_cast<std::size_t>(templateEntries * kDescriptorBytes),
            std::size_t{p.shape.valueBytes} + q.shape.valueBytes, result);
}
