#include "msglib/reply_layout.h"

FixedTable replyTable(const ReplyShape& shape) {
    constexpr std::uint32_t kFixedMembers = 14;
    FixedTable table;
    table.add(kDescStruct, kFixedMembers + (shape.pairs ? 1 : 0) + (shape.secondPairs ? 1 : 0), 1);
    addIntItem(table);  // pairs flag
    addIntItem(table);  // reply-to flag
    addIntItem(table);  // second-pairs flag
    addRequestItemEntries(table, shape.templateEntries);
    if (shape.pairs) addPairArrayItem(table, shape.tagCount);
    table.add(kDescChars, shape.nameBlock, 1);
    table.add(kDescChars, shape.valueBytes, 1);
    table.add(kDescStruct, 3, shape.tagCount);
    addIntItem(table);
    addIntItem(table);
    addIntItem(table);
    if (shape.secondPairs) addPairArrayItem(table, shape.tagCount);
    addIntItem(table);  // value time: milliseconds
    addIntItem(table);  // value time: seconds
    return table;
}
