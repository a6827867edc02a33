// The messaging library: status blocks, fields, descriptor tables, logs, and
// GET and unsolicited replies. Sizes of well-formed tables, parses of what was
// built and arbitrary bytes through the parsers are the fuzz targets'.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>

#include "forward/get_request.h"
#include "msglib/coding.h"
#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
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
    std::filesystem::remove_all(home_.file("log"));
    std::ofstream(home_.file("log")).put('x');  // a file where the directory belongs
    ZENTO_SERVER_LOGMSG("SVC", "lost", status);
    const Entries causeThenCode{{kFacilityRuntime, ENOTDIR}, {kFacilityLibrary, libcode::kLogOpenFailed}};
    EXPECT_EQ(statusEntries(status), causeThenCode);
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
