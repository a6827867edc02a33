// Tag set removal and merge: tag sets parsed from declare requests in,
// pieces out, each result also built into a GET request and parsed back.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/scanlist_codes.h"
#include "scanlist/tag_sets.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using namespace scantest;
using testsupport::Entries;
using testsupport::statusEntries;
using Names = std::vector<std::string>;

// A declare request and the tag set its parser gives.
struct Declared {
    Message msg;
    TagSet set;
};

Declared declared(const Bytes& names, std::uint32_t tags, const Template& tpl, const Bytes& pairArray = {},
                  const Bytes& bands = {}) {
    Declared d;
    ListDeclaration in;
    in.deviceName = kDevice;
    in.tagCount = tags;
    in.tagNames = names;
    in.dataTemplate = tpl;
    in.pairs = pairArray;
    in.secondPairs = bands;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(in, d.msg, status);
    EXPECT_FALSE(statusFailed(status));
    DeclareRequestSlots slots;
    ZENTO_SERVER_PARSE_DECLREQ(d.msg.view(), slots, status);
    EXPECT_FALSE(statusFailed(status));
    d.set.count = static_cast<std::uint32_t>(slots.tagCount);
    d.set.names = slots.tagNames;
    d.set.dataTemplate = slots.dataTemplate;
    d.set.pairs = slots.pairs;
    d.set.secondPairs = slots.secondPairs;
    return d;
}

// The result as a GET request parsed back: what a scanner would be asked.
GetRequestSlots asRequest(const TagSet& set, Message& holder) {
    holder = getRequest(1, bytesOf(set.names), set.count, decoded(set.dataTemplate), bytesOf(set.pairs));
    GetRequestSlots slots;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREQ(holder.view(), slots, status);
    EXPECT_FALSE(statusFailed(status));
    return slots;
}

std::vector<std::int32_t> words(std::span<const std::uint8_t> bytes) {
    std::vector<std::int32_t> out;
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) out.push_back(decodeI32(bytes.data() + at));
    return out;
}

Bytes ints(std::initializer_list<std::int32_t> values) {
    Bytes bytes(values.size() * 4);
    std::size_t at = 0;
    for (std::int32_t v : values) {
        encodeI32(bytes.data() + at, v);
        at += 4;
    }
    return bytes;
}

const Template kThreeInts = uniformTemplate(3, entry(kDescInt, 4));
// A structure member of two elements (an int and a short each), then an int.
const Template kWithStructure = {entry(kDescStruct, 2), entry(kDescStruct, 2, 2), entry(kDescInt, 4),
                                 entry(kDescShort, 2), entry(kDescInt, 4)};

TEST(RemoveTags, TagSetsInPiecesOut) {
    const struct {
        const char* what;
        Names names;
        Template tpl;
        Bytes values;
        Names remove;
        std::uint32_t newCount;
        Names keptNames;       // empty: no piece handed out
        Template keptTemplate;
        Bytes keptValues;
        std::vector<std::int32_t> keptStates;  // first words
    } rows[] = {
        {"names compare left-trimmed", {"A", "B", "C"}, kThreeInts, ints({1, 2, 3}), {" B"}, 2, {"A", "C"},
         uniformTemplate(2, entry(kDescInt, 4)), ints({1, 3}), {10, 30}},
        {"case counts", {"A", "B", "C"}, kThreeInts, ints({1, 2, 3}), {"b"}, 3, {}, {}, {}, {}},
        {"every tag", {"A", "B", "C"}, kThreeInts, ints({1, 2, 3}), {"C", "A", "B", "D"}, 0, {}, {}, {}, {}},
        {"padded names answer to their own", {"AB  ", "C", "D"}, kThreeInts, ints({1, 2, 3}), {"AB"}, 2,
         {"C", "D"}, uniformTemplate(2, entry(kDescInt, 4)), ints({2, 3}), {20, 30}},
        {"a structure member keeps the elements left", {"S0", "S1", "I"}, kWithStructure,
         Bytes{1, 0, 0, 0, 2, 0, 3, 0, 0, 0, 4, 0, 5, 0, 0, 0}, {"S0"}, 2, {"S1", "I"},
         {entry(kDescStruct, 2), entry(kDescStruct, 2, 1), entry(kDescInt, 4), entry(kDescShort, 2),
          entry(kDescInt, 4)},
         Bytes{3, 0, 0, 0, 4, 0, 5, 0, 0, 0}, {20, 30}},
        {"a member left without elements goes", {"S0", "S1", "I"}, kWithStructure,
         Bytes{1, 0, 0, 0, 2, 0, 3, 0, 0, 0, 4, 0, 5, 0, 0, 0}, {"S1", "S0"}, 1, {"I"},
         uniformTemplate(1, entry(kDescInt, 4)), ints({5}), {30}},
        {"names of 600 characters", {std::string(600, 'x'), std::string(599, 'x') + "y", "z"}, kThreeInts,
         ints({1, 2, 3}), {std::string(599, 'x') + "y"}, 2, {std::string(600, 'x'), "z"},
         uniformTemplate(2, entry(kDescInt, 4)), ints({1, 3}), {10, 30}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes names;
        const std::size_t width = row.names[0].size() + 1;
        for (const std::string& n : row.names) {
            Bytes field(width, 0);
            std::memcpy(field.data(), n.data(), n.size());
            names.insert(names.end(), field.begin(), field.end());
        }
        const std::uint32_t tags = static_cast<std::uint32_t>(row.names.size());
        const Bytes firstPairs = pairs({{1, 11}, {2, 22}, {3, 33}});
        const Bytes bands = deadbands({{1, 0.5f}, {2, 5.0f}, {0, 0.0f}});
        Declared d = declared(names, tags, row.tpl, firstPairs, bands);
        const Bytes states = ints({10, 0, 0, 20, 0, 0, 30, 0, 0});
        d.set.states = states;
        d.set.values = row.values;

        std::size_t removeWidth = 1;
        for (const std::string& n : row.remove) removeWidth = std::max(removeWidth, n.size() + 1);
        Bytes removeNames;
        for (const std::string& n : row.remove) {
            Bytes field(removeWidth, 0);
            std::memcpy(field.data(), n.data(), n.size());
            removeNames.insert(removeNames.end(), field.begin(), field.end());
        }
        std::uint32_t newCount = 99;
        TagSet result;
        StatusBlock status = testsupport::dirtyStatus();
        removeTags(d.set, static_cast<std::uint32_t>(row.remove.size()), removeNames, newCount, result, status);
        EXPECT_EQ(statusEntries(status), Entries{});
        EXPECT_EQ(newCount, row.newCount);
        if (row.keptNames.empty()) {
            EXPECT_EQ(result.count, 0u) << "no piece is handed out";
            EXPECT_TRUE(result.names.empty());
            continue;
        }
        ASSERT_EQ(result.count, row.newCount);
        EXPECT_EQ(decoded(result.dataTemplate), row.keptTemplate);
        EXPECT_EQ(bytesOf(result.values), row.keptValues);
        std::vector<std::int32_t> firstWords;
        for (std::size_t i = 0; i < result.count; ++i) firstWords.push_back(decodeI32(result.states.data() + 12 * i));
        EXPECT_EQ(firstWords, row.keptStates);
        Message holder;
        const GetRequestSlots request = asRequest(result, holder);
        EXPECT_EQ(namesOf(request.tagNames, result.count), row.keptNames);
        EXPECT_EQ(request.tagNames.size(), result.count * width) << "the width stays";
        // Each kept tag keeps its own pairs.
        std::vector<std::int32_t> expectedPairs;
        std::vector<std::int32_t> expectedBands;
        for (std::size_t kept = 0; kept < row.keptNames.size(); ++kept) {
            for (std::size_t i = 0; i < row.names.size(); ++i) {
                if (row.names[i] == row.keptNames[kept]) {
                    expectedPairs.push_back(decodeI32(firstPairs.data() + 8 * i));
                    expectedPairs.push_back(decodeI32(firstPairs.data() + 8 * i + 4));
                    expectedBands.push_back(decodeI32(bands.data() + 8 * i));
                    expectedBands.push_back(decodeI32(bands.data() + 8 * i + 4));
                }
            }
        }
        EXPECT_EQ(words(request.pairs), expectedPairs);
        EXPECT_EQ(words(result.secondPairs), expectedBands);
    }
}

TEST(MergeTags, TagSetsInPiecesOut) {
    // Names 3 and 5 wide: 6-byte fields, the shorter padded with blanks.
    const Template structureOfTwo = {entry(kDescStruct, 1), entry(kDescStruct, 2, 2), entry(kDescInt, 4),
                                     entry(kDescShort, 2)};
    Declared first = declared(nameBlock({"ABC", "DE"}), 2, structureOfTwo, pairs({{1, 2}, {3, 4}}),
                              deadbands({{1, 1.0f}, {2, 2.0f}}));
    const Bytes firstValues{1, 0, 0, 0, 2, 0, 3, 0, 0, 0, 4, 0};
    const Bytes firstStates = ints({5, 6, 7, 8, 9, 10});
    first.set.values = firstValues;
    first.set.states = firstStates;
    Declared second = declared(nameBlock({"FGHIJ", "K", "L"}), 3, uniformTemplate(3), {},
                               deadbands({{1, 0.5f}, {1, 0.5f}, {2, 3.0f}}));

    std::uint32_t newCount = 0;
    TagSet result;
    StatusBlock status = testsupport::dirtyStatus();
    mergeTags(first.set, second.set, newCount, result, status);
    ASSERT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(newCount, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.names.data()), result.names.size()),
              std::string("ABC  \0DE   \0FGHIJ\0K    \0L    \0", 30));
    // The structure member counts once among the members.
    EXPECT_EQ(decoded(result.dataTemplate),
              (Template{entry(kDescStruct, 4), entry(kDescStruct, 2, 2), entry(kDescInt, 4), entry(kDescShort, 2),
                        entry(kDescFloat, 4), entry(kDescFloat, 4), entry(kDescFloat, 4)}));
    Bytes values = firstValues;
    values.resize(values.size() + 12, 0);
    EXPECT_EQ(bytesOf(result.values), values);
    EXPECT_EQ(words(result.states), (std::vector<std::int32_t>{5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(words(result.pairs), (std::vector<std::int32_t>{1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
    Bytes bands = bytesOf(first.set.secondPairs);
    const Bytes more = bytesOf(second.set.secondPairs);
    bands.insert(bands.end(), more.begin(), more.end());
    EXPECT_EQ(bytesOf(result.secondPairs), bands);

    Message holder;
    const GetRequestSlots request = asRequest(result, holder);
    EXPECT_EQ(namesOf(request.tagNames, 5), (Names{"ABC  ", "DE   ", "FGHIJ", "K    ", "L    "}));

    // A merged tag set is a tag set: its padded names are removed by name.
    const Bytes remove = nameBlock({"K", "DE"});
    TagSet cut;
    removeTags(result, 2, remove, newCount, cut, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(newCount, 3u);
}

TEST(TagSets, InconsistentSetsAreRefusedBeforeAnyTagIsRead) {
    const Bytes twoFloats = encoded(uniformTemplate(2));
    const Bytes withUnknown =
        encoded({entry(kDescStruct, 3), entry(kDescFloat, 4), entry(9, 4), entry(kDescFloat, 4)});
    const Bytes repeated =
        encoded({entry(kDescStruct, 3, 2), entry(kDescFloat, 4), entry(kDescFloat, 4), entry(kDescFloat, 4)});
    const Bytes notStructure = encoded({entry(kDescFloat, 4, 3)});
    const Bytes shortValues = floats({1, 2});
    const Bytes shortStates(24, 0);
    const Bytes sevenNameBytes(7, 'A');
    const Entries inconsistent{{13, scancode::kTagSetInconsistent}};
    const struct {
        const char* what;
        std::function<void(TagSet&)> change;
        Entries removeEntries;
        Entries mergeEntries;  // as the first set
    } rows[] = {
        {"no template", [](TagSet& s) { s.dataTemplate = {}; }, {{9, 9014}, {13, scancode::kRemoveSize}},
         {{9, 9014}, {13, scancode::kMergeFirstSize}}},
        {"unknown type", [&](TagSet& s) { s.dataTemplate = withUnknown; }, {{9, 9010}, {13, scancode::kRemoveSize}},
         {{9, 9010}, {13, scancode::kMergeFirstSize}}},
        {"elements not one per tag", [&](TagSet& s) { s.dataTemplate = twoFloats; }, inconsistent, inconsistent},
        {"repeated structure", [&](TagSet& s) { s.dataTemplate = repeated; }, inconsistent, inconsistent},
        {"no structure", [&](TagSet& s) { s.dataTemplate = notStructure; }, inconsistent, inconsistent},
        {"values short", [&](TagSet& s) { s.values = shortValues; }, inconsistent, inconsistent},
        {"states short", [&](TagSet& s) { s.states = shortStates; }, inconsistent, inconsistent},
        {"names not whole", [&](TagSet& s) { s.names = sevenNameBytes; }, inconsistent, inconsistent},
    };
    const Bytes threeValues = floats({1, 2, 3});
    Declared good = declared(nameBlock({"A", "B", "C"}), 3, uniformTemplate(3));
    for (const auto& row : rows) {
        TagSet set = good.set;
        set.values = threeValues;
        row.change(set);
        std::uint32_t newCount = 0;
        TagSet result;
        StatusBlock status;
        removeTags(set, 1, nameBlock({"A"}), newCount, result, status);
        EXPECT_EQ(statusEntries(status), row.removeEntries) << row.what;
        EXPECT_EQ(newCount, 3u) << row.what;
        EXPECT_EQ(result.count, 0u) << row.what;
        mergeTags(set, good.set, newCount, result, status);
        EXPECT_EQ(statusEntries(status), row.mergeEntries) << row.what;
        EXPECT_EQ(newCount, 6u) << row.what;
        EXPECT_EQ(result.count, 0u) << row.what;
    }
    // The second set of a merge is checked under its own code.
    std::uint32_t newCount = 0;
    TagSet result;
    StatusBlock status;
    TagSet bad = good.set;
    bad.dataTemplate = withUnknown;
    mergeTags(good.set, bad, newCount, result, status);
    EXPECT_EQ(statusEntries(status), (Entries{{9, 9010}, {13, scancode::kMergeSecondSize}}));
}

}  // namespace
