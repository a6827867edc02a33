// The messaging library: status blocks, fields, descriptor tables, logs, and
// GET and unsolicited replies. Sizes of well-formed tables, parses of what was
// built and arbitrary bytes through the parsers are the fuzz targets'.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>

#include "forward/get_request.h"
#include "msglib/coding.h"
#include "msglib/inprocess.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;
using testsupport::statusEntries;

DescriptorEntry entry(std::uint16_t type, std::uint32_t size, std::uint32_t count) { return {type, 0, size, count}; }
Bytes words(std::initializer_list<std::int32_t> values) {
    Bytes out(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) encodeI32(out.data() + 4 * i, values.begin()[i]);
    return out;
}
Bytes bytesOf(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }
bool same(const AddressRecord& a, const AddressRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(StatusBlock, ReadsAsAChainOfCausesThatStaysFailed) {
    Entries fourteen;
    for (int i = 1; i <= 14; ++i) fourteen.emplace_back(13, 13000 + i);
    Entries firstNineAndNewest(fourteen.begin(), fourteen.begin() + 9);
    firstNineAndNewest.emplace_back(13, 13014);
    const std::pair<Entries, Entries> cases[] = {
        {{}, {}},
        {{{1, 2}, {9, 9040}, {13, 13471}}, {{1, 2}, {9, 9040}, {13, 13471}}},
        // A cause without a code (errno 0) must not leave a failed block
        // reading as a success: the first real code goes in front.
        {{{1, 0}, {13, 13005}, {13, 13100}, {4, 0}}, {{13, 13005}, {1, 0}, {13, 13100}, {4, 0}}},
        {fourteen, firstNineAndNewest},
    };
    for (const auto& [loaded, expected] : cases) {
        StatusBlock status = testsupport::dirtyStatus();
        ZENTO_SERVER_INITBLK(status);
        EXPECT_EQ(firstErrorCode(status), -1);
        for (auto [facility, code] : loaded) ZENTO_SERVER_LDBLK(facility, code, status);
        EXPECT_EQ(statusEntries(status), expected);
        EXPECT_EQ(statusFailed(status), !expected.empty());
    }
}

TEST(Fields, FixedTextIsCutPaddedAndReadWithoutTerminator) {
    char field[8] = "xxxxxxx";
    setFixedText(field, sizeof field, "ABCDEFGHIJ");
    EXPECT_EQ(std::string(field, 8), std::string("ABCDEFG\0", 8));
    setFixedText(field, sizeof field, std::string_view{});  // no data pointer at all
    EXPECT_EQ(std::string(field, 8), std::string(8, '\0'));
    EXPECT_EQ(fixedText("WXYZ", 4), "WXYZ");
    Bytes shortMsg(291, 0xAB);  // one byte short of a head: never written
    ZENTO_SERVER_SET_MSGSRC(shortMsg, makeAddress("N", "S"));
    EXPECT_EQ(shortMsg, Bytes(291, 0xAB));
}

// Which tables fail, and the sizes of the others, are the descriptors fuzz
// target's; its inputs are too short for this depth.
TEST(Descriptors, NestingDeepEnoughToExhaustAnyStackIsRefused) {
    auto nested = [](std::size_t depth) {
        std::vector<DescriptorEntry> table(depth, entry(7, 1, 1));
        table.push_back(entry(4, 4, 1));
        return table;
    };
    StatusBlock status;
    EXPECT_EQ(ZENTO_SERVER_DSIZE(nested(kMaxDescriptorDepth), status), 4);
    EXPECT_EQ(ZENTO_SERVER_DSIZE(nested(500000), status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{kFacilityLibrary, libcode::kDescriptorTooDeep}}));
}

// Only the logs touch ZENTO_HOME.
class Logging : public testsupport::TempHomeTest {
protected:
    std::vector<std::string> logLines(const char* name) const {
        std::ifstream in(home_.file("log/") + name);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
};

TEST_F(Logging, EachLogHasItsLineFormatAndNothingIsPrinted) {
    StatusBlock block, status;
    ZENTO_SERVER_INITBLK(block);
    ZENTO_SERVER_LDBLK(1, 2, block);
    ZENTO_SERVER_LDBLK(13, 13005, block);
    testing::internal::CaptureStdout();
    ZENTO_SERVER_LOGMSG("DLGP1", "Zen-TO Recover Process started.\n", status);
    ZENTO_SERVER_LOGMSG("DLGP1", "first\nsecond\n\n", status);  // trailing line ends are dropped
    ZENTO_SERVER_LOGBLK("SVC", block, status);
    ZENTO_DIAG_LOG("LOGIC", 7004, "KV.58 Scan task sending regular scan request\n  Frequency = 10.0 sec", status);
    EXPECT_FALSE(statusFailed(status));
    KernelDebugLog("[%s] [%s]", "ScanList", "entry 3 removed");
    const std::vector<std::string> message = logLines("zento.log"), diag = logLines("diag.log");
    ASSERT_EQ(message.size(), 4u);
    EXPECT_TRUE(std::regex_match(
        message[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DLGP1\] Zen-TO Recover Process started\.)")));
    EXPECT_EQ(message[1].substr(24) + "|" + message[2], "[DLGP1] first|second");
    EXPECT_EQ(message[3].substr(24), "[SVC] facility=1 error=2, facility=13 error=13005");
    ASSERT_EQ(diag.size(), 2u);
    EXPECT_EQ(diag[0].substr(24), "[LOGIC] [7004] KV.58 Scan task sending regular scan request");
    EXPECT_EQ(diag[1], "  Frequency = 10.0 sec");
    EXPECT_EQ(logLines("kernel.log").at(0).substr(24), "[ScanList] [entry 3 removed]");

    // A failure to log is reported, not printed.
    const std::pair<void (*)(const std::string& log), Entries> failures[] = {
        {[](const std::string& log) { std::ofstream(log).put('x'); },  // a file where the directory belongs
         {{kFacilityRuntime, ENOTDIR}, {kFacilityLibrary, libcode::kLogOpenFailed}}},
        {[](const std::string& log) {
             std::filesystem::create_directory(log);
             std::filesystem::create_symlink("/dev/full", log + "/zento.log");  // a full disk
         },
         {{kFacilityRuntime, ENOSPC}, {kFacilityLibrary, libcode::kLogWriteFailed}}},
    };
    for (const auto& [spoil, causeThenCode] : failures) {
        std::filesystem::remove_all(home_.file("log"));
        spoil(home_.file("log"));
        ZENTO_SERVER_LOGMSG("SVC", "lost", status);
        EXPECT_EQ(statusEntries(status), causeThenCode);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Logging, TwoProcessesAppendWholeLines) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    StatusBlock status;
    for (int i = 0; i < 300; ++i) ZENTO_SERVER_LOGMSG(child == 0 ? "CHILD" : "PARENT", std::string(200, 'p'), status);
    if (child == 0) ::_exit(statusFailed(status) ? 1 : 0);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
    EXPECT_EQ(exitStatus, 0);
    const std::vector<std::string> all = logLines("zento.log");
    ASSERT_EQ(all.size(), 600u);
    const std::regex whole(".{24}\\[(CHILD|PARENT)\\] p{200}");
    for (const std::string& line : all) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

std::string addressText(const AddressRecord& a) {
    return std::string(fixedText(a.node, 32)) + "/" + std::string(fixedText(a.service, 32));
}
Bytes encoded(std::span<const DescriptorEntry> entries) {
    Bytes out(entries.size() * kDescriptorBytes);
    for (std::size_t i = 0; i < entries.size(); ++i) encodeDescriptor(out.data() + i * kDescriptorBytes, entries[i]);
    return out;
}

struct RequestCase {
    const char* what;
    std::uint32_t headValue;
    std::int32_t replyToFlag;
    std::optional<AddressRecord> replyTo;
    bool pairsGiven;
    std::vector<DescriptorEntry> dataTemplate;  // its first item is the template
    std::uint32_t templateEntries;
    std::uint32_t tagCount, nameWidth;
    std::string replyDestination;  // expected in the head
};

// The forwarding side builds GET requests in the library's layout; whatever
// shape it builds, the library's parser reads back what was given.
TEST(GetRequest, EveryShapeBuiltParsesBackToWhatWasGiven) {
    msglib::InProcessNetwork network;
    msglib::ScopedTransport use(network);
    network.setTimeMs(1'700'000'123'456);
    const AddressRecord destination = makeAddress("host.dom", "Dest");
    AddressRecord unterminated;
    std::memset(&unterminated, 'n', sizeof unterminated);
    const std::string cut = std::string(31, 'N') + "/" + std::string(31, 'N');
    const std::vector<DescriptorEntry> ints{entry(4, 4, 2)};
    const std::vector<DescriptorEntry> text{entry(7, 1, 1), entry(3, 17, 1), entry(4, 4, 1)};  // one entry past it
    const std::vector<DescriptorEntry> nested{entry(7, 2, 2), entry(7, 2, 1), entry(2, 2, 1), entry(3, 3, 1),
                                              entry(6, 8, 1)};
    const RequestCase cases[] = {
        {"the end-of-file notice's", 1, 1, makeAddress("selfnode", "recsvc"), true, text, 2, 1, 17,
         "SELFNODE/RECSVC"},
        {"reply-to service on the destination's node", 2, 1, makeAddress("", "myService"), true, nested, 5, 3, 5,
         "HOST.DOM/MYSERVICE"},
        {"no reply-to address", 9, 1, std::nullopt, false, ints, 1, 2, 2, "HOST.DOM/DEST"},
        {"names of 32 characters", 4, 1, unterminated, true, ints, 1, 40, 32, cut},
        {"flag clear: pairs ignored, no service needed", 1, 0, makeAddress("n", ""), true, nested, 5, 7, 1,
         "host.dom/Dest"},
        {"flag clear, no reply-to address", 3, 0, std::nullopt, false, text, 2, 200, 9, "host.dom/Dest"},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.what);
        // Names one width apart, the first as wide as the width allows, and
        // bytes behind the block that must not be taken.
        std::vector<char> names(c.tagCount * c.nameWidth + 3, 'x');
        for (std::uint32_t i = 0; i < c.tagCount; ++i) {
            const std::string name =
                i == 0 ? std::string(c.nameWidth - 1, 'F') : std::to_string(i).substr(0, c.nameWidth - 1);
            std::memset(names.data() + i * c.nameWidth, 0, c.nameWidth);
            std::memcpy(names.data() + i * c.nameWidth, name.data(), name.size());
        }
        std::vector<std::int32_t> pairs;
        for (std::uint32_t i = 0; c.pairsGiven && i < 2 * c.tagCount + 2; ++i) {
            pairs.push_back(7 * static_cast<std::int32_t>(i) - 100);
        }
        char device[32];
        for (std::size_t i = 0; i < sizeof device; ++i) device[i] = static_cast<char>('a' + i % 26);
        const std::int32_t listId = -5 - static_cast<std::int32_t>(c.tagCount), requestWord = 3, frequency = 250;

        Message m;
        StatusBlock status;
        buildGetRequest(listId, device, requestWord, c.tagCount, c.headValue, c.replyToFlag, 300,
                        c.replyTo ? &*c.replyTo : nullptr, destination, frequency, names, pairs, c.dataTemplate, m,
                        status);
        ASSERT_FALSE(statusFailed(status)) << status.error[0];
        GetRequestView r;
        ASSERT_EQ(readGetRequest(m.view(), r), 0);

        const bool withPairs = c.pairsGiven && c.replyToFlag == 1;
        const HeadFields& h = r.head;
        const RequestItems& items = r.items;
        EXPECT_EQ(std::make_tuple(h.messageType, h.transNum, decodeU16(m.data() + 2), decodeU32(m.data() + 20)),
                  std::make_tuple(static_cast<std::int32_t>(c.headValue), 0u, 0, 0u));
        EXPECT_EQ(decodeU32(m.data() + head::kCreationTimeOffset), 1'700'000'123'456 % (1ULL << 32));
        EXPECT_EQ(addressText(h.destination) + " " + addressText(h.replyDestination) + " " + addressText(h.source),
                  "host.dom/Dest " + c.replyDestination + " host.dom/Dest");
        EXPECT_TRUE(same(h.requestSource, c.replyTo.value_or(AddressRecord{}))) << "as passed, whole";
        EXPECT_EQ(std::make_tuple(r.pairsFlag, items.replyToFlag, items.listId, items.requestWord, items.tagCount,
                                  items.frequency),
                  std::make_tuple(withPairs ? 1 : 0, c.replyToFlag, listId, requestWord, c.tagCount, frequency));
        EXPECT_EQ(std::string(items.deviceName, 32), std::string(device, 32));
        EXPECT_EQ(bytesOf(r.dataTemplate), encoded(std::span(c.dataTemplate).first(c.templateEntries)));
        const auto givenPairs = std::span(pairs).first(withPairs ? 2 * c.tagCount : 0);
        EXPECT_EQ(r.pairs.size(), givenPairs.size() * 4);
        for (std::size_t i = 0; i < givenPairs.size() && i * 4 < r.pairs.size(); ++i) {
            EXPECT_EQ(decodeI32(r.pairs.data() + 4 * i), givenPairs[i]);
        }
        EXPECT_EQ(bytesOf(r.tagNames), Bytes(names.begin(), names.end() - 3));

        // The named offsets of the fixed items lie where the items are written.
        const std::uint8_t* data = r.dataTemplate.data() - getlayout::kTemplateAt;
        EXPECT_EQ(data, m.data() + head::kSize + kDescriptorBytes * (withPairs ? 17 : 14));
        EXPECT_EQ((std::vector<std::int32_t>{decodeI32(data + getlayout::kPairsFlagAt),
                                             decodeI32(data + getlayout::kReplyToFlagAt),
                                             decodeI32(data + getlayout::kListIdAt),
                                             decodeI32(data + getlayout::kRequestWordAt),
                                             decodeI32(data + getlayout::kTagCountAt),
                                             decodeI32(data + getlayout::kFrequencyAt)}),
                  (std::vector<std::int32_t>{r.pairsFlag, items.replyToFlag, listId, requestWord,
                                             static_cast<std::int32_t>(c.tagCount), frequency}));
        EXPECT_EQ(reinterpret_cast<const char*>(data + getlayout::kDeviceNameAt), items.deviceName);
    }
}

// Whoever builds a request through the library must not have it read past
// their buffers, nor send what its parser would refuse.
TEST(GetRequest, WriterRefusesFieldsThatDisagree) {
    static const char kDevice[32] = "PLC";
    static const Bytes kInt = encoded(std::vector{entry(4, 4, 1)}), kTwoItems = encoded(std::vector(2, entry(4, 4, 1)));
    static const Bytes kPairs = words({1, 2, 3, 4}), kNames{'A', 0, 'B', 0};
    const auto valid = [] {
        GetRequestFields r;
        r.head.messageType = kMsgRequest;
        r.items = {1, 7, kDevice, 0, 2, 100};
        r.dataTemplate = kInt;
        r.pairs = kPairs;
        r.tagNames = kNames;
        return r;
    };
    const std::pair<const char*, void (*)(GetRequestFields&)> spoiled[] = {
        {"message type 10", [](GetRequestFields& r) { r.head.messageType = 10; }},
        {"no device name", [](GetRequestFields& r) { r.items.deviceName = nullptr; }},
        {"a flag of 2", [](GetRequestFields& r) { r.items.replyToFlag = 2; }},
        {"pairs for one tag of two", [](GetRequestFields& r) { r.pairs = r.pairs.first(8); }},
        {"names for three tags", [](GetRequestFields& r) { r.items.tagCount = 3; }},
        {"a template of two items", [](GetRequestFields& r) { r.dataTemplate = kTwoItems; }},
        {"part of a template entry", [](GetRequestFields& r) { r.dataTemplate = r.dataTemplate.first(11); }},
    };
    Message out;
    EXPECT_EQ(writeGetRequest(valid(), out), 0);
    for (const auto& [what, spoil] : spoiled) {
        GetRequestFields r = valid();
        spoil(r);
        Message refused;
        EXPECT_EQ(writeGetRequest(r, refused), libcode::kBadRequestInput) << what;
        EXPECT_FALSE(refused) << what;
    }
}

const AddressRecord kServer = makeAddress("SERVERNODE", "DLGP1"), kClient = makeAddress("CLIENTNODE", "TSK_CLIENT");
const AddressRecord kRequester = makeAddress("clientnode", "tsk_client");

// A GET request with pairs for tags "TEMP" and "FLOW", made by the forwarding
// side's builder (apart from the library's own layout code); each value is
// 2 x (short + 3 chars), 10 bytes in all.
Bytes sampleRequest() {
    const char device[32] = "PLC-7", names[] = "TEMP\0FLOW";
    const DescriptorEntry dataTemplate[] = {entry(7, 2, 2), entry(2, 2, 1), entry(7, 1, 1), entry(3, 3, 1)};
    const std::int32_t pairs[] = {1, 2, 3, 4};
    Message request;
    StatusBlock status;
    buildGetRequest(4242, device, 3, 2, 1, 1, 300, &kRequester, kServer, 100, {names, 10}, pairs, dataTemplate,
                    request, status);
    ZENTO_SERVER_SET_TRANSNUM(request.span(), 77);
    ZENTO_SERVER_SET_MSGSRC(request.span(), makeAddress("SENDER", "TSK_SENDER"));
    return bytesOf(request.view());
}

struct GetReplyCall {
    StatusBlock acquisition{}, status{};
    Bytes values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE};  // longer than the values
    std::vector<std::int32_t> valueStatus{0, 1, 2, 10, 11, 12};
    Message reply;
    GetReplyCall() { ZENTO_SERVER_INITBLK(acquisition); }
    void build(MsgView request) {
        ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, valueStatus, {250, 1700000000}, reply, status);
    }
};

TEST(GetReply, GoesBackToTheReplyDestinationWithTheValuesTheTemplateDescribes) {
    GetReplyCall call;
    call.build(sampleRequest());
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView reply = call.reply.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(reply), 77u);
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(reply), kClient)) << "the request's reply destination";
    EXPECT_TRUE(same(ZENTO_SERVER_REPDEST(reply), kServer) && same(ZENTO_SERVER_MSGSRC(reply), kServer));
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(reply), kRequester));
    ReplyFields out;
    ZENTO_SERVER_PARSE_GETREP(reply, out, call.status);
    EXPECT_EQ(bytesOf(out.values), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(bytesOf(reply.last(8)), words({250, 1700000000}));  // value time: milliseconds, then seconds
}

TEST(GetReply, RefusedWithoutEverythingItNeeds) {
    Bytes notGet = sampleRequest();
    encodeU32(notGet.data() + 152, kTransShut);
    GetReplyCall failedAcquisition, shortValues, shortStatus, badRequest;
    ZENTO_SERVER_LDBLK(1, 0, failedAcquisition.acquisition);
    ZENTO_SERVER_LDBLK(13, 13123, failedAcquisition.acquisition);
    shortValues.values.resize(9);
    shortStatus.valueStatus.resize(5);  // two tags need six words
    const std::pair<GetReplyCall*, std::vector<std::int32_t>> cases[] = {
        {&failedAcquisition, {13123, 0, libcode::kAcquisitionFailed}},  // its entries are the causes
        {&shortValues, {libcode::kValuesShort}},
        {&shortStatus, {libcode::kValueStatusShort}},
        {&badRequest, {parsecode::kWrongTransType, parsecode::kUnableToParse, libcode::kBadRequest}},
    };
    for (const auto& [call, codes] : cases) {
        call->build(call == &badRequest ? notGet : sampleRequest());
        EXPECT_FALSE(call->reply);
        EXPECT_EQ(std::vector<std::int32_t>(call->status.error, call->status.error + codes.size()), codes);
    }
}

// 3 tags, each value short + 3 chars, then 8 bytes: 18 value bytes.
struct UnsolicitedCall {
    const char device[32] = "DEVICE-U";
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 3, 1),
                                              entry(6, 8, 1)};
    Bytes names{'A', 'A', 'A', 'A', 'A', 0, 'B', 0, 0, 0, 0, 0, 'C', 'C', 'C', 0, 0, 0}, values = Bytes(18, 0x5C);
    Bytes statusRecords = words({1, 2, 3, 4, 5, 6, 7, 8, 9}), pairs = words({1, 1, 2, 2, 3, 3});
    Bytes secondPairs = words({9, 9, 8, 8, 7, 7, 6, 6});  // one pair more than needed
    Message reply;
    ReplyFields out;
    StatusBlock status{};
    void build() {
        const UnsolicitedReplyInput input{
            kClient, kServer, device, -5, 17, 30, 3, names, pairs, dataTemplate, values, statusRecords, secondPairs};
        ZENTO_SERVER_BLD_UNSREPLY(input, reply, status);
        if (reply) ZENTO_SERVER_PARSE_UNSREP(reply.view(), out, status);
    }
};

TEST(UnsolicitedReply, NamesTheClientAsRequesterAndTakesThePairsTheTagsNeed) {
    UnsolicitedCall call;
    call.build();
    ASSERT_FALSE(statusFailed(call.status)) << call.status.error[0];
    const MsgView msg = call.reply.view();
    EXPECT_TRUE(same(ZENTO_SERVER_MSGDEST(msg), kClient) && same(ZENTO_SERVER_REPDEST(msg), kServer));
    // A stored copy is forwarded to the requester's node: the client's.
    EXPECT_TRUE(same(ZENTO_SERVER_REQSRC(msg), kClient));
    EXPECT_EQ(bytesOf(call.out.secondPairs), words({9, 9, 8, 8, 7, 7}));

    // Each would have the builder read past a caller's buffer.
    const std::pair<void (*)(UnsolicitedCall&), std::int32_t> refused[] = {
        {[](UnsolicitedCall& c) { c.values.pop_back(); }, libcode::kValuesShort},
        {[](UnsolicitedCall& c) { c.statusRecords.pop_back(); }, libcode::kValueStatusShort},
        {[](UnsolicitedCall& c) { c.pairs.pop_back(); }, libcode::kBadReplyInput},
    };
    for (const auto& [spoil, code] : refused) {
        UnsolicitedCall bad;
        spoil(bad);
        bad.build();
        EXPECT_FALSE(bad.reply) << code;
        EXPECT_EQ(bad.status.error[statusEntryCount(bad.status) - 1], code);
    }
}

// Damaged fields are the messages fuzz target's; a cut message must be
// refused even with its length word patched to the cut.
TEST(Parsers, EveryTruncationIsRefused) {
    GetReplyCall call;
    call.build(sampleRequest());
    const Bytes reply = bytesOf(call.reply.view());
    for (std::size_t length = 8; length < reply.size(); ++length) {
        Bytes prefix(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
        encodeU32(prefix.data() + 4, static_cast<std::uint32_t>(length));
        ReplyFields out;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(prefix, out, status);
        ASSERT_EQ(status.facility[0], kFacilityParser) << length;
        ASSERT_EQ(status.error[statusEntryCount(status) - 1], parsecode::kUnableToParse) << "the parser's code last";
        ASSERT_EQ(out.deviceName, nullptr) << "nothing is left from a failed parse";
    }
}

}  // namespace
