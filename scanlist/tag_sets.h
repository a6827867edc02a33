#pragma once
// Tag sets of recorded unsolicited lists, cut down by name and merged.
//
// A tag set of N tags is spread over seven pieces: the count; the names, N
// fields of one width (the block's size over N, which the library's builders
// make the first name's length plus its terminator), each name ending at its
// first NUL or filling its field; the data template (encoded 12-byte entries:
// a structure of count 1 whose members give one element per tag,
// template_members.h); the first and second per-tag pair arrays (N x 8); the
// status records (N x 12); and the values, element by element as the
// template describes them. A pair array, the status records or the values
// may be absent (empty), which reads as zeros; a piece that is present has
// exactly its size. A set that breaks these rules is refused with
// scancode::kTagSetInconsistent, before any tag is read.
//
// Names compare after their leading and trailing blanks are dropped, exactly
// otherwise (case counts). Leading blanks as the tags' clients write them;
// trailing ones because a merge pads shorter names with blanks, and a tag so
// padded must still answer to its own name when it is cancelled or declared
// again. Names have no length limit of their own.
//
// Each operation keeps its results in buffers of its own, one set per
// thread, that live until the operation's next call on that thread; the
// caller copies what it keeps. Results are whole: both pair arrays, the
// status records and the values are always handed out, zeros where the
// input had none.
#include <cstdint>
#include <span>

#include "msglib/status_block.h"

struct TagSet {
    std::uint32_t count = 0;
    std::span<const std::uint8_t> names;
    std::span<const std::uint8_t> dataTemplate;
    std::span<const std::uint8_t> pairs;
    std::span<const std::uint8_t> secondPairs;
    std::span<const std::uint8_t> states;
    std::span<const std::uint8_t> values;
};

// Whether set keeps the rules above; a template whose walk fails loads the
// walk's cause and sizeCode, any other breach kTagSetInconsistent. shape
// receives what the template holds.
struct TemplateShape;
bool checkTagSet(const TagSet& set, std::int32_t sizeCode, TemplateShape& shape, StatusBlock& status);

// Keeps the tags of set whose names are not among the removeCount names of
// removeNames (a block of its own width). newCount is always set (to the
// set's count when the call fails); result is set only when at least one
// tag was removed and at least one is left. Members of the template that
// keep no element are dropped, the others keep the elements left.
void removeTags(const TagSet& set, std::uint32_t removeCount, std::span<const std::uint8_t> removeNames,
                std::uint32_t& newCount, TagSet& result, StatusBlock& status);

// Appends second's tags to first's: names widened to the wider of the two
// widths and padded with blanks, the second template's members after the
// first's, the new tags' values and status records zero. second's status
// records and values are not read. newCount (first's count plus second's) is
// set before anything can fail; result only on success.
void mergeTags(const TagSet& first, const TagSet& second, std::uint32_t& newCount, TagSet& result,
               StatusBlock& status);
