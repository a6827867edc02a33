// Parsers fed damaged messages: every prefix, single-field corruptions with
// their expected causes, and seeded random mutations. Each must end in a
// facility 8 failure or in slots that lie inside the message.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::entry;
using msgtest::Bytes;

Bytes toBytes(const Message& msg) { return {msg.data(), msg.data() + msg.size}; }

Bytes sampleRequest() {
    msgtest::RequestSpec spec;
    spec.pairs = {5, 6, 7, 8};
    spec.dataTemplate = {entry(7, 2, 2), entry(2, 2, 1), entry(7, 1, 1), entry(3, 3, 1)};
    return msgtest::makeGetRequest(spec);
}

Bytes sampleGetReply() {
    msgtest::GetReplyCall call;
    call.build(sampleRequest());
    EXPECT_FALSE(statusFailed(call.status));
    return toBytes(call.reply);
}

Bytes sampleUnsolicitedReply() {
    msgtest::UnsolicitedCall call;
    call.build();
    EXPECT_FALSE(statusFailed(call.status));
    return toBytes(call.reply);
}

bool inside(std::span<const std::uint8_t> part, const Bytes& msg) {
    return part.empty() || (part.data() >= msg.data() && part.data() + part.size() <= msg.data() + msg.size());
}

// A parse either fails as a parser failure or gives slots consistent with one
// another and inside the message.
void checkParse(const Bytes& msg, bool unsolicited) {
    ReplyFields out;
    StatusBlock status;
    if (unsolicited) {
        ZENTO_SERVER_PARSE_UNSREP(msg, out, status);
    } else {
        ZENTO_SERVER_PARSE_GETREP(msg, out, status);
    }
    if (statusFailed(status)) {
        ASSERT_EQ(status.facility[0], kFacilityParser);
        ASSERT_EQ(status.error[statusEntryCount(status) - 1], parsecode::kUnableToParse);
        return;
    }
    ASSERT_GE(out.tagCount, 1);
    auto tags = static_cast<std::size_t>(out.tagCount);
    ASSERT_TRUE(inside({reinterpret_cast<const std::uint8_t*>(out.deviceName), 32}, msg));
    for (auto part : {out.dataTemplate, out.pairs, out.tagNames, out.values, out.statusRecords, out.secondPairs}) {
        ASSERT_TRUE(inside(part, msg));
    }
    ASSERT_EQ(out.statusRecords.size(), tags * 12);
    ASSERT_EQ(out.pairs.size(), out.pairsFlag == 1 ? tags * 8 : 0);
    ASSERT_EQ(out.secondPairs.size(), out.secondPairsFlag == 1 ? tags * 8 : 0);
    ASSERT_EQ(out.tagNames.size() % tags, 0u);
    std::vector<DescriptorEntry> dataTemplate = decodeDescriptors(out.dataTemplate);
    std::int32_t valueBytes = 0;
    ASSERT_EQ(ZENTO_DCONV_SIZE(dataTemplate, valueBytes, status), static_cast<std::int32_t>(dataTemplate.size()));
    ASSERT_EQ(static_cast<std::size_t>(valueBytes), out.values.size());
}

// A damaged request either is refused or answered with a reply that parses.
void checkAnswer(const Bytes& request) {
    StatusBlock acquisition, status;
    ZENTO_SERVER_INITBLK(acquisition);
    Bytes values(4096, 0);
    std::vector<std::int32_t> valueStatus(3 * 64, 0);
    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, valueStatus, {}, reply, status);
    ZENTO_SERVER_FREQUENCY(request, status);
    if (!reply) return;
    ReplyFields out;
    ZENTO_SERVER_PARSE_GETREP(reply.view(), out, status);
    ASSERT_FALSE(statusFailed(status)) << status.error[0];
}

void setLength(Bytes& msg) {
    if (msg.size() >= 8) encodeU32(msg.data() + 4, static_cast<std::uint32_t>(msg.size()));
}

TEST(ParserRobustness, EveryPrefixFailsCleanly) {
    const Bytes get = sampleGetReply(), unsolicited = sampleUnsolicitedReply(), request = sampleRequest();
    for (const Bytes* whole : {&get, &unsolicited, &request}) {
        for (std::size_t length = 0; length < whole->size(); ++length) {
            Bytes prefix(whole->begin(), whole->begin() + static_cast<std::ptrdiff_t>(length));
            // As cut, the length word disagrees; with the word patched the
            // parser has to find the missing data itself.
            for (int patched = 0; patched < 2; ++patched) {
                if (patched == 1) setLength(prefix);
                ReplyFields out;
                StatusBlock status;
                ZENTO_SERVER_PARSE_GETREP(prefix, out, status);
                ASSERT_TRUE(statusFailed(status)) << length;
                ZENTO_SERVER_PARSE_UNSREP(prefix, out, status);
                ASSERT_TRUE(statusFailed(status)) << length;
                EXPECT_EQ(ZENTO_SERVER_FREQUENCY(prefix, status), 0);
                ASSERT_TRUE(statusFailed(status)) << length;
                checkAnswer(prefix);
            }
        }
    }
}

TEST(ParserRobustness, DamagedFieldsNameTheirCause) {
    const Bytes reply = sampleGetReply();
    const std::size_t data = 292 + 12 * 25;  // the sample carries the pair array
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
        std::int32_t code;
    };
    const Case cases[] = {
        {"magic", 0, 0x5A5B, parsecode::kBadMagic},
        {"length word", 4, 100000, parsecode::kLengthMismatch},
        {"message type", 12, 1, parsecode::kWrongMessageType},
        {"transaction type", 152, 11, parsecode::kWrongTransType},
        {"descriptor count", 288, 0xFFFFFFFF, parsecode::kBadDescriptorCount},
        {"count of another layout", 288, 28, parsecode::kTableShape},
        {"pairs flag", data, 2, parsecode::kBadFlag},
        {"pairs flag without pairs", data, 0, parsecode::kTableShape},
        {"second-pairs flag", data + 8, 1, parsecode::kTableShape},
        {"tag count zero", data + 52, 0, parsecode::kBadTagCount},
        {"tag count huge", data + 52, 0x7FFFFFFF, parsecode::kBadNameBlock},
        {"tag count off by one", data + 52, 3, parsecode::kBadNameBlock},
        {"template entries huge", 292 + 12 * 9 + 8, 0x10000000, parsecode::kDataShort},
        {"template entries fewer", 292 + 12 * 9 + 8, 3, parsecode::kBadTemplate},
        {"template type", data + 60 + 12, 0, parsecode::kBadTemplate},
        {"template nested count", data + 60 + 8, 3, parsecode::kTableShape},
        {"root member count", 292 + 4, 14, parsecode::kTableShape},
        {"name block size", 292 + 12 * 17 + 4, 6, parsecode::kDataSizeMismatch},
    };
    for (const Case& c : cases) {
        Bytes msg = reply;
        encodeU32(msg.data() + c.offset, c.value);
        if (c.offset == 0) encodeU16(msg.data(), static_cast<std::uint16_t>(c.value));
        ReplyFields out;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(msg, out, status);
        EXPECT_EQ(status.facility[0], kFacilityParser) << c.what;
        EXPECT_EQ(status.error[0], c.code) << c.what;
        EXPECT_EQ(status.error[1], parsecode::kUnableToParse) << c.what;
    }
}

TEST(ParserRobustness, RandomMutationsNeverReadOutside) {
    std::mt19937 random(20240611);
    const Bytes samples[] = {sampleGetReply(), sampleUnsolicitedReply(), sampleRequest()};
    for (int round = 0; round < 6000; ++round) {
        const Bytes& sample = samples[round % 3];
        Bytes msg = sample;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < edits && !msg.empty(); ++i) {
            std::size_t at = random() % msg.size();
            switch (random() % 4) {
                case 0: msg[at] = static_cast<std::uint8_t>(random()); break;
                case 1: msg[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
                case 2:  // a word of a size or count: small, huge or at a boundary
                    if (at + 4 <= msg.size()) {
                        const std::uint32_t words[] = {0, 1, 2, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x15555556};
                        encodeU32(msg.data() + at, words[random() % 7]);
                    }
                    break;
                default: msg.resize(msg.size() - random() % std::min<std::size_t>(msg.size(), 16)); break;
            }
        }
        if (random() % 2 == 0) setLength(msg);
        checkParse(msg, false);
        checkParse(msg, true);
        checkAnswer(msg);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
}

}  // namespace
