// GET reply to unsolicited reply conversion: valueChanged by type, deadband
// kind and status; conversions of replies built by the library -> which tags
// pass; the failures and what they leave of the kept state.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/reply_conversion.h"
#include "scanlist/scanlist_codes.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using namespace scantest;
using testsupport::Entries;
using testsupport::statusEntries;
using Names = std::vector<std::string>;

template <class T>
Bytes raw(T value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes text(const char* chars, std::size_t size) {
    Bytes bytes(size, 0);
    std::memcpy(bytes.data(), chars, std::min(size, std::strlen(chars)));
    return bytes;
}

Bytes status3(std::int32_t a, std::int32_t b = 0, std::int32_t c = 0) {
    Bytes bytes(12);
    encodeI32(bytes.data(), a);
    encodeI32(bytes.data() + 4, b);
    encodeI32(bytes.data() + 8, c);
    return bytes;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(ValueChanged, ByTypeKindAndStatus) {
    const struct {
        const char* what;
        DescriptorEntry entry;
        Bytes newValue, keptValue;
        Bytes newStatus, keptStatus;
        std::int32_t kind;
        float amount;
        bool changed;
    } rows[] = {
        {"absolute 0.5: 10.0 to 10.4", entry(kDescFloat, 4), raw(10.4f), raw(10.0f), status3(1), status3(1), 1, 0.5f,
         false},
        {"absolute 0.5: 10.0 to 10.5", entry(kDescFloat, 4), raw(10.5f), raw(10.0f), status3(1), status3(1), 1, 0.5f,
         true},
        {"absolute 0.5: 10.0 to 9.5", entry(kDescFloat, 4), raw(9.5f), raw(10.0f), status3(1), status3(1), 1, 0.5f,
         true},
        {"percent 10 of 200: to 219", entry(kDescFloat, 4), raw(219.0f), raw(200.0f), status3(1), status3(1), 2, 10,
         false},
        {"percent 10 of 200: to 220", entry(kDescFloat, 4), raw(220.0f), raw(200.0f), status3(1), status3(1), 2, 10,
         true},
        {"percent 10 of -200: to -219", entry(kDescFloat, 4), raw(-219.0f), raw(-200.0f), status3(1), status3(1), 2,
         10, false},
        {"percent 10 of -200: to -180", entry(kDescFloat, 4), raw(-180.0f), raw(-200.0f), status3(1), status3(1), 2,
         10, true},
        {"amount 0: equal values", entry(kDescFloat, 4), raw(1.0f), raw(1.0f), status3(1), status3(1), 1, 0, true},
        {"amount below 0", entry(kDescInt, 4), raw(1), raw(1), status3(1), status3(1), 2, -5, true},
        {"no kind: equal values", entry(kDescFloat, 4), raw(1.0f), raw(1.0f), status3(1), status3(1), 0, 5, true},
        {"nothing kept yet", entry(kDescFloat, 4), raw(1.0f), raw(1.0f), status3(0), status3(0), 1, 5, true},
        {"status record differs", entry(kDescFloat, 4), raw(1.0f), raw(1.0f), status3(1, 0, 2), status3(1), 1, 5,
         true},
        {"short, absolute 3: 100 to 102", entry(kDescShort, 2), raw<std::int16_t>(102), raw<std::int16_t>(100),
         status3(1), status3(1), 1, 3, false},
        {"short, absolute 3: 100 to 97", entry(kDescShort, 2), raw<std::int16_t>(97), raw<std::int16_t>(100),
         status3(1), status3(1), 1, 3, true},
        {"short: -32768 to 32767", entry(kDescShort, 2), raw<std::int16_t>(32767), raw<std::int16_t>(-32768),
         status3(1), status3(1), 1, 60000, true},
        {"int: the whole range, no overflow", entry(kDescInt, 4), raw(INT32_MAX), raw(INT32_MIN), status3(1),
         status3(1), 1, 1e9f, true},
        {"int, absolute 5: 7 to 11", entry(kDescInt, 4), raw(11), raw(7), status3(1), status3(1), 1, 5, false},
        {"double, percent 1 of 1000: to 1009.9", entry(kDescDouble, 8), raw(1009.9), raw(1000.0), status3(1),
         status3(1), 2, 1, false},
        {"double, percent 1 of 1000: to 1010", entry(kDescDouble, 8), raw(1010.0), raw(1000.0), status3(1),
         status3(1), 2, 1, true},
        {"text: the same up to the NUL", entry(kDescChars, 6), text("ABC\0x", 6), text("ABC", 6), status3(1),
         status3(1), 1, 1, false},
        {"text: one character", entry(kDescChars, 6), text("ABD", 6), text("ABC", 6), status3(1), status3(1), 1, 1,
         true},
        {"text: longer", entry(kDescChars, 6), text("ABC", 6), text("AB", 6), status3(1), status3(1), 1, 1, true},
        {"8-byte value", entry(kDescLong, 8), raw<std::int64_t>(1), raw<std::int64_t>(1), status3(1), status3(1), 1,
         1, true},
        {"NaN kept, the same NaN new", entry(kDescFloat, 4), raw(kNaN), raw(kNaN), status3(1), status3(1), 1, 1,
         false},
        {"NaN kept, another NaN new", entry(kDescFloat, 4), raw(-kNaN), raw(kNaN), status3(1), status3(1), 1, 1,
         true},
        {"a number to NaN", entry(kDescFloat, 4), raw(kNaN), raw(1.0f), status3(1), status3(1), 1, 1, true},
        {"percent of a NaN kept value", entry(kDescFloat, 4), raw(1.0f), raw(kNaN), status3(1), status3(1), 2, 1,
         true},
        {"NaN amount", entry(kDescFloat, 4), raw(1.0f), raw(1.0f), status3(1), status3(1), 1, kNaN, true},
        {"infinity kept and new", entry(kDescFloat, 4), raw(kInf), raw(kInf), status3(1), status3(1), 1, 1, false},
    };
    for (const auto& row : rows) {
        const Bytes band = deadbands({{row.kind, row.amount}});
        EXPECT_EQ(valueChanged(row.entry, row.newValue, row.keptValue, std::span<const std::uint8_t, 12>(row.newStatus),
                               std::span<const std::uint8_t, 12>(row.keptStatus),
                               std::span<const std::uint8_t, 8>(band)),
                  row.changed)
            << row.what;
    }
}

// A list's GET request and its kept tag state, and the scanner's replies.
class Conversion : public testsupport::TempHomeTest {
protected:
    void declare(const Bytes& names, std::uint32_t tags, const Template& tpl, const Bytes& bands) {
        tags_ = tags;
        request_ = getRequest(7, names, tags, tpl);
        StatusBlock status;
        std::int32_t valueBytes = 0;
        ZENTO_DCONV_SIZE(tpl, valueBytes, status);
        deadbands_ = bands;
        states_ = Bytes(tags * 12, 0);
        values_ = Bytes(static_cast<std::size_t>(valueBytes), 0);
    }
    Message reply(const Bytes& values, std::vector<std::int32_t> statusWords) {
        StatusBlock acquisition;
        ZENTO_SERVER_INITBLK(acquisition);
        Message out;
        StatusBlock status;
        ZENTO_SERVER_BLD_GETREPLY(request_.view(), acquisition, values, statusWords, TimeStamp{1, 2}, out, status);
        EXPECT_FALSE(statusFailed(status));
        return out;
    }
    // The names the unsolicited reply carries, with its values.
    Names convert(const Message& getReply, StatusBlock& status, Bytes* values = nullptr, Template* tpl = nullptr) {
        Message unsolicited;
        convertGetReply(getReply.view(), &done_, tags_, deadbands_, states_, values_, &unsolicited, &status);
        if (statusFailed(status)) {
            EXPECT_FALSE(unsolicited);
            return {};
        }
        ReplyFields fields;
        StatusBlock parse;
        ZENTO_SERVER_PARSE_UNSREP(unsolicited.view(), fields, parse);
        EXPECT_FALSE(statusFailed(parse));
        EXPECT_EQ(fields.listId, 7);
        EXPECT_STREQ(fields.deviceName, "DEVICE-1");
        EXPECT_STREQ(ZENTO_SERVER_MSGDEST(unsolicited.view()).service, "STORE");
        if (values != nullptr) *values = bytesOf(fields.values);
        if (tpl != nullptr) *tpl = decoded(fields.dataTemplate);
        return namesOf(fields.tagNames, static_cast<std::size_t>(fields.tagCount));
    }
    std::uint32_t tags_ = 0;
    Message request_;
    Bytes deadbands_, states_, values_;
    std::uint32_t done_ = 0;
};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(Conversion, OnlyTheChangedTagsPass) {
    const Template tpl = {entry(kDescStruct, 5), entry(kDescFloat, 4), entry(kDescShort, 2), entry(kDescInt, 4),
                          entry(kDescDouble, 8), entry(kDescChars, 4)};
    declare(nameBlock({"FLT", "SHT", "INT", "DBL", "TXT"}), 5, tpl,
            deadbands({{1, 0.5f}, {2, 10.0f}, {1, 5.0f}, {2, 1.0f}, {1, 1.0f}}));
    const struct {
        const char* what;
        Bytes values;
        std::vector<std::int32_t> status;
        Names passed;
    } rows[] = {
        {"the first conversion passes every tag",
         join({raw(10.0f), raw<std::int16_t>(200), raw(7), raw(1000.0), text("ON", 4)}),
         {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}, {"FLT", "SHT", "INT", "DBL", "TXT"}},
        {"changes within every deadband",
         join({raw(10.4f), raw<std::int16_t>(219), raw(11), raw(1009.0), text("ON", 4)}),
         {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}, {}},
        {"changes at the edges", join({raw(10.5f), raw<std::int16_t>(220), raw(12), raw(1010.0), text("OFF", 4)}),
         {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}, {"FLT", "SHT", "INT", "DBL", "TXT"}},
        {"the kept values moved: 10.5 to 10.9 stays", join({raw(10.9f), raw<std::int16_t>(220), raw(12), raw(1010.0),
                                                              text("OFF", 4)}),
         {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}, {}},
        {"a status record changes, the value does not", join({raw(10.5f), raw<std::int16_t>(220), raw(12),
                                                               raw(1010.0), text("OFF", 4)}),
         {1, 0, 0, 1, 0, 0, 1, 0, 3, 1, 0, 0, 1, 0, 0}, {"INT"}},
    };
    for (const auto& row : rows) {
        StatusBlock status;
        const Names passed = convert(reply(row.values, row.status), status);
        if (row.passed.empty()) {
            EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kReplyNoChange}})) << row.what;
        } else {
            EXPECT_EQ(statusEntries(status), Entries{}) << row.what;
        }
        EXPECT_EQ(passed, row.passed) << row.what;
        EXPECT_EQ(done_, 1u) << row.what;
    }
}

TEST_F(Conversion, TheUnsolicitedReplyCarriesTheChangedElements) {
    // A member of three elements, then a structure member of one.
    const Template tpl = {entry(kDescStruct, 2), entry(kDescInt, 4, 3), entry(kDescStruct, 2), entry(kDescShort, 2),
                          entry(kDescShort, 2)};
    declare(nameBlock({"I0", "I1", "I2", "S"}), 4, tpl, deadbands({{0, 1}, {1, 10}, {0, 1}, {1, 1}}));
    StatusBlock status;
    const std::vector<std::int32_t> good = {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0};
    ASSERT_EQ(convert(reply(join({raw(1), raw(2), raw(3), raw<std::int16_t>(4), raw<std::int16_t>(5)}), good), status)
                  .size(),
              4u);
    Bytes values;
    Template sent;
    // Kinds "none" send I0 and I2 every time, and the structure changes.
    EXPECT_EQ(convert(reply(join({raw(1), raw(2), raw(3), raw<std::int16_t>(4), raw<std::int16_t>(6)}), good), status,
                      &values, &sent),
              (Names{"I0", "I2", "S"}));
    EXPECT_EQ(sent, (Template{entry(kDescStruct, 2), entry(kDescInt, 4, 2), entry(kDescStruct, 2),
                              entry(kDescShort, 2), entry(kDescShort, 2)}));
    EXPECT_EQ(values, join({raw(1), raw(3), raw<std::int16_t>(4), raw<std::int16_t>(6)}));
    EXPECT_EQ(values_, join({raw(1), raw(2), raw(3), raw<std::int16_t>(4), raw<std::int16_t>(6)}));
}

TEST_F(Conversion, FailuresLeaveTheKeptStateAsItWas) {
    declare(nameBlock({"A", "B"}), 2, uniformTemplate(2), deadbands({{1, 1}, {1, 1}}));
    const std::vector<std::int32_t> good = {1, 0, 0, 1, 0, 0};
    StatusBlock status;
    convert(reply(floats({1, 2}), good), status);
    ASSERT_FALSE(statusFailed(status));
    const Bytes keptValues = values_;
    const Bytes keptStates = states_;

    // One element (of the same 8 bytes) for two tags: the change found
    // first is not kept.
    Message other = getRequest(7, nameBlock({"A", "B"}), 2, uniformTemplate(1, entry(kDescDouble, 8)));
    Message tooFew;
    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const Bytes oneDouble = raw(50.0);
    const std::vector<std::int32_t> words = good;
    ZENTO_SERVER_BLD_GETREPLY(other.view(), acquisition, oneDouble, words, TimeStamp{}, tooFew, status);
    ASSERT_FALSE(statusFailed(status));
    Message oneTag = getRequest(7, nameBlock({"A"}), 1, uniformTemplate(1));
    Message shortReply;
    ZENTO_SERVER_BLD_GETREPLY(oneTag.view(), acquisition, floats({5}), std::vector<std::int32_t>{1, 0, 0},
                              TimeStamp{}, shortReply, status);
    Message damaged = reply(floats({9, 9}), good);
    damaged.bytes[10] ^= 1;
    encodeU32(damaged.data() + 4, damaged.size - 1);
    const struct {
        const char* what;
        const Message* msg;
        Entries entries;
    } rows[] = {
        {"elements not one per tag",
         &tooFew,
         {{13, scancode::kTagSetInconsistent}, {13, scancode::kReplyNotStructure}}},
        {"another number of tags", &shortReply, {{13, scancode::kReplyTagCount}}},
        {"a reply that does not parse", &damaged, {{8, 8003}, {8, 8018}, {13, scancode::kReplyParse}}},
    };
    for (const auto& row : rows) {
        convert(*row.msg, status);
        EXPECT_EQ(statusEntries(status), row.entries) << row.what;
        EXPECT_EQ(values_, keptValues) << row.what;
        EXPECT_EQ(states_, keptStates) << row.what;
    }
    // Kept arrays that do not cover the reply.
    Message unsolicited;
    const Message fine = reply(floats({5, 6}), good);
    const Bytes shortValues(4, 0);
    Bytes values = shortValues;
    convertGetReply(fine.view(), &done_, 2, deadbands_, states_, values, &unsolicited, &status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kReplyKeptShort}}));
    // Missing arguments.
    convertGetReply(fine.view(), nullptr, 2, deadbands_, states_, values_, &unsolicited, &status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kReplyArgument}}));
    convertGetReply(fine.view(), &done_, 0, deadbands_, states_, values_, &unsolicited, &status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kReplyArgument}}));
    convertGetReply(fine.view(), &done_, 2, deadbands_, states_, values_, &unsolicited, nullptr);
    std::ifstream log(home_.file("log/zento.log"));
    std::stringstream logText;
    logText << log.rdbuf();
    EXPECT_NE(logText.str().find("[XXX] facility=13 error=13557"), std::string::npos) << logText.str();
    EXPECT_EQ(values_, keptValues);
}

}  // namespace
