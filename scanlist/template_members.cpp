#include "scanlist/template_members.h"

MemberWalk::StructureSize MemberWalk::sizeStructure(std::span<const std::uint8_t> bytes, std::size_t first,
                                                    std::uint32_t elements) {
    ItemExtent extent;
    if (std::int32_t fault = walkDescriptorItem(DescriptorTableView::fromBytes(bytes), first, extent); fault != 0) {
        return {fault, 0, 0};
    }
    // The walk multiplies one repetition by the count: divide it out (a count
    // of 0 has no element to size).
    return {0, extent.entries, elements == 0 ? 0 : static_cast<std::uint32_t>(extent.bytes / elements)};
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
    MemberWalk walk(dataTemplate);
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
