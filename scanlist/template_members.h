#pragma once
// The members of a tag set's data template and the elements they number.
//
// A tag set's template is a structure entry (type 7, count 1) whose size is
// the number of its top-level members, followed by those members. The
// members are walked in order and their elements numbered one after another
// from 0: element g is the value of tag g. A member of count c has c
// elements; a simple member's element is its type's size (a character field
// its own size), a structure member's element what the structure describes
// with its count taken as 1.
#include <cstddef>
#include <cstdint>
#include <span>

#include "msglib/coding.h"
#include "msglib/descriptor_walk.h"
#include "msglib/descriptors.h"
#include "msglib/library_codes.h"

struct TemplateMember {
    std::size_t first = 0;          // index of its entry in the template
    std::size_t entries = 0;        // entries it spans, its own members included
    std::uint16_t type = 0;
    std::uint32_t size = 0;         // its entry's size field
    std::uint32_t elements = 0;     // its count
    std::uint32_t elementSize = 0;  // bytes of one element
};

// Bytes of one element of a simple type; 0 for a type outside 1 to 6.
inline std::uint32_t simpleElementSize(std::uint16_t type, std::uint32_t size) {
    switch (type) {
        case kDescFloat: return 4;
        case kDescShort: return 2;
        case kDescChars: return size;
        case kDescInt: return 4;
        case kDescDouble: return 8;
        case kDescLong: return 8;
        default: return 0;
    }
}

// Walks the members that follow entry 0 of an encoded template (12-byte
// entries), reading them in place.
class MemberWalk {
public:
    explicit MemberWalk(std::span<const std::uint8_t> dataTemplate)
        : bytes_(dataTemplate), entries_(dataTemplate.size() / kDescriptorBytes) {
        if (entries_ > 0 && decodeU16(bytes_.data()) == kDescStruct) membersLeft_ = decodeU32(bytes_.data() + 4);
    }
    bool done() const { return membersLeft_ == 0; }

    // The next member: 0, or the library code of the walk's fault
    // (libcode::kDescriptorUnknownType for a type outside 1 to 7).
    std::int32_t next(TemplateMember& member) {
        if (membersLeft_ == 0 || next_ >= entries_) return libcode::kDescriptorStructOverrun;
        const std::uint8_t* entry = bytes_.data() + next_ * kDescriptorBytes;
        member.first = next_;
        member.type = decodeU16(entry);
        member.size = decodeU32(entry + 4);
        member.elements = decodeU32(entry + 8);
        if (member.type >= kDescFloat && member.type <= kDescLong) {
            member.entries = 1;
            member.elementSize = simpleElementSize(member.type, member.size);
        } else if (member.type == kDescStruct) {
            const StructureSize structure = sizeStructure(bytes_, member.first, member.elements);
            if (structure.fault != 0) return structure.fault;
            member.entries = structure.entries;
            member.elementSize = structure.elementSize;
        } else {
            return libcode::kDescriptorUnknownType;
        }
        next_ += member.entries;
        --membersLeft_;
        return 0;
    }

    // Where the next member's entry is, and how many members are left.
    std::size_t position() const { return next_; }
    std::uint32_t membersLeft() const { return membersLeft_; }
    // Moves past count members of one entry each, which the caller has read
    // itself (at most membersLeft(), within the template).
    void skipSimple(std::uint32_t count) {
        next_ += count;
        membersLeft_ -= count;
    }

private:
    struct StructureSize {
        std::int32_t fault;
        std::size_t entries;
        std::uint32_t elementSize;
    };
    static StructureSize sizeStructure(std::span<const std::uint8_t> bytes, std::size_t first,
                                       std::uint32_t elements);

    std::span<const std::uint8_t> bytes_;
    std::size_t entries_ = 0;
    std::size_t next_ = 1;
    std::uint32_t membersLeft_ = 0;
};

// What a tag set's template holds, for a template that is sound.
struct TemplateShape {
    std::uint32_t entries = 0;     // all of them: exactly the structure and its members
    std::uint32_t valueBytes = 0;  // what it describes
    std::uint32_t members = 0;
    std::uint64_t elements = 0;
};

enum class ShapeFault {
    None,
    Size,          // the walk failed, as the size call on it would (libraryCode says why)
    Inconsistent,  // not a structure of count 1 with members spanning every entry
};

// The shape of an encoded template.
ShapeFault templateShape(std::span<const std::uint8_t> dataTemplate, TemplateShape& shape,
                         std::int32_t& libraryCode);
