#include "msglib/coding.h"
#include "msglib/message_checks.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"

namespace {

// Only the head, the table's size and the list id's entry are checked: a
// dummy-tag copy, whose names are shorter than its table says, takes a new
// list id as well as the request it was made from.
constexpr std::uint32_t kGetEntries[] = {getlayout::kEntriesWithoutPairs, getlayout::kEntriesWithPairs};

std::int32_t listIdOffset(MsgView msg, std::size_t& at) {
    if (std::int32_t fault = checkHead(msg); fault != 0) return fault;
    if (ZENTO_SERVER_TRANSTYPE(msg) != kTransGet) return parsecode::kWrongTransType;
    DescriptorTableView table = DescriptorTableView::fromBytes({});
    std::size_t dataOffset = 0;
    if (std::int32_t fault = readDescriptorTable(msg, kGetEntries, table, dataOffset); fault != 0) return fault;
    const DescriptorEntry entry = table.at(getlayout::kListIdEntryIndex);
    if (entry.type != kDescInt || entry.count != 1) return parsecode::kTableShape;
    if (msg.size() - dataOffset < getlayout::kListIdAt + 4) return parsecode::kDataShort;
    at = dataOffset + getlayout::kListIdAt;
    return 0;
}

}  // namespace

void ZENTO_SERVER_SET_LISTID(MsgSpan msg, std::int32_t listId, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::size_t at = 0;
    if (std::int32_t fault = listIdOffset(msg, at); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityParser, fault, status);
        ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kUnableToParse, status);
        return;
    }
    encodeI32(msg.data() + at, listId);
}
