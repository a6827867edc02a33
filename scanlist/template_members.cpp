#include "scanlist/template_members.h"

#include "msglib/library_codes.h"

std::uint32_t simpleElementSize(const DescriptorEntry& entry) {
    switch (entry.type) {
        case kDescFloat: return 4;
        case kDescShort: return 2;
        case kDescChars: return entry.size;
        case kDescInt: return 4;
        case kDescDouble: return 8;
        case kDescLong: return 8;
        default: return 0;
    }
}

MemberWalk::MemberWalk(const DescriptorTableView& dataTemplate) : template_(dataTemplate) {
    if (template_.size() > 0 && template_.at(0).type == kDescStruct) membersLeft_ = template_.at(0).size;
}

std::int32_t MemberWalk::next(TemplateMember& member) {
    member = {};
    if (membersLeft_ == 0 || next_ >= template_.size()) return libcode::kDescriptorStructOverrun;
    const DescriptorEntry entry = template_.at(next_);
    member.first = next_;
    member.type = entry.type;
    member.elements = entry.count;
    if (entry.type == kDescStruct) {
        ItemExtent extent;
        if (std::int32_t fault = walkDescriptorItem(template_, next_, extent); fault != 0) return fault;
        member.entries = extent.entries;
        // The walk multiplies one repetition by the count: divide it out (a
        // count of 0 has no element to size).
        member.elementSize = entry.count == 0 ? 0 : static_cast<std::uint32_t>(extent.bytes / entry.count);
    } else {
        if (entry.type < kDescFloat || entry.type > kDescLong) return libcode::kDescriptorUnknownType;
        member.entries = 1;
        member.elementSize = simpleElementSize(entry);
    }
    next_ += member.entries;
    --membersLeft_;
    return 0;
}

ShapeFault templateShape(std::span<const std::uint8_t> dataTemplate, TemplateShape& shape,
                         std::int32_t& libraryCode) {
    shape = {};
    libraryCode = 0;
    const DescriptorTableView view = DescriptorTableView::fromBytes(dataTemplate);
    if (view.size() == 0) {
        libraryCode = libcode::kDescriptorEmpty;
        return ShapeFault::Size;
    }
    ItemExtent whole;
    if (std::int32_t fault = walkDescriptorItem(view, 0, whole); fault != 0) {
        libraryCode = fault;
        return ShapeFault::Size;
    }
    const DescriptorEntry head = view.at(0);
    if (head.type != kDescStruct || head.count != 1 || head.size == 0 || whole.entries != view.size() ||
        dataTemplate.size() % kDescriptorBytes != 0) {
        return ShapeFault::Inconsistent;
    }
    MemberWalk walk(view);
    while (!walk.done()) {
        TemplateMember member;
        if (std::int32_t fault = walk.next(member); fault != 0) {
            libraryCode = fault;
            return ShapeFault::Size;
        }
        shape.elements += member.elements;
        ++shape.members;
    }
    shape.entries = static_cast<std::uint32_t>(view.size());
    shape.valueBytes = static_cast<std::uint32_t>(whole.bytes);
    return ShapeFault::None;
}
