// The recovery driver in-process: the command line, byte for byte; whole
// recoveries on the in-process transport (start-up failures, the
// acknowledgement handling of the main loop, shutdown, the ways a recovery
// ends); and the address comparison that matches acknowledgements.
#include <climits>
#include <cstring>

#include "msglib/same_address.h"
#include "recover/command_line.h"
#include "recover/recovery.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"

namespace {

class CommandLine : public fwdtest::InProcessTest {
protected:
    // The result; what was printed goes to out_.
    CommandLineResult parse(std::vector<std::string> args) {
        args.insert(args.begin(), "zento_sf_recover");
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStdout();
        const CommandLineResult r = parseCommandLine(ctx_, static_cast<int>(argv.size()), argv.data());
        out_ = testing::internal::GetCapturedStdout();
        return r;
    }
    std::string node() const { return std::string(ctx_.redirectNodeName, sizeof ctx_.redirectNodeName); }
};

TEST_F(CommandLine, RefusedPositionalArgumentsPrintErrorAndSyntax) {
    const std::string missing = "\nError: DLGP service name & Store filename has not been specified";
    for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, missing},
             {{"svc"}, missing},
             {{"ABCDEFGHIJKLMNOP", "f"}, "\nError: DLGP service name too long"},
             {{"svc", std::string(kMaxStoreFileName + 1, 'p')}, "\nError: Store filename too long"}}) {
        const CommandLineResult r = parse(args);
        EXPECT_TRUE(!r.ok && r.exitCode == 1);
        EXPECT_EQ(out_, error + "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n");
    }
}

TEST_F(CommandLine, AcceptedPositionalArgumentsAreUpperCasedOrKeptWhole) {
    // 15 characters, the most; only a to z are upper-cased. The path is kept whole.
    const std::string path = "/Data/" + std::string(kMaxStoreFileName - 6, 'x');
    ASSERT_TRUE(parse({"abz{AZ09-\xe9_mnop", path}).ok);
    EXPECT_EQ(std::string(ctx_.serviceName) + " " + out_, "ABZ{AZ09-\xe9_MNOP ");
    EXPECT_EQ(ctx_.storeFileName, path);
    EXPECT_TRUE(parse({"", "f"}).ok);  // an empty service name passes
    EXPECT_STREQ(ctx_.serviceName, "");
}

TEST_F(CommandLine, OptionsSetTimeoutNodeAndDump) {
    struct Case {
        std::vector<std::string> options;
        std::int32_t timeout;
        std::string node;  // empty: no redirect
        bool dump;
        std::string out;
    };
    const auto to = [](const std::string& node) {
        return "Your have chosen to redirect your messages to node [" + node + "]\n";
    };
    const std::string dump =
        "You have specified the DUMP parameter.\nMessage recovery will occur regardless of file corruption\n";
    const std::string longName = std::string(31, 'n') + "Ltail", cut = longName.substr(0, 32);
    for (const Case& c : std::vector<Case>{
             {{}, 50, "", false, ""},
             {{"10"}, 100, "", false, ""},
             {{"12abc"}, 120, "", false, ""},
             {{"  -4"}, -40, "", false, ""},
             {{"9", "0", "x"}, 90, "", false, ""},  // zero and words leave the last number
             {{"3", "NODE", "host1", "7"}, 70, "host1", false, to("host1")},
             {{"NODE", "25"}, 50, "25", false, to("25")},
             {{"node", "HoSt1"}, 50, "HoSt1", false, to("HoSt1")},
             {{"NODE", "DUMP"}, 50, "DUMP", false, to("DUMP")},
             {{"dump", "NODE"}, 50, "", true, dump + "Error parsing parameters: no node name specified.\n"},
             {{"DUMP", "DUMP"}, 50, "", true, dump + dump},
             {{"NODE", "longername", "NODE", "ab"}, 50, "ab", false, to("longername") + to("ab")},
             {{"NODE", longName}, 50, cut, false, to(cut)},
             {{"NODEX", "DUMPY"}, 50, "", false, ""},  // whole words only
             {{"", "20"}, 200, "", false, ""},
             {{"214748364"}, 2147483640, "", false, ""},
             {{std::string(1023, '5')}, INT32_MAX, "", false, ""},  // saturates instead of wrapping
             {{"-99999999999999999999"}, INT32_MIN, "", false, ""},
             {{"11" + std::string(1022, 'a')}, 50, "", false, ""},  // 1,024 characters: skipped
         }) {
        std::vector<std::string> args = {"svc", "file"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ctx_ = {};
        ASSERT_TRUE(parse(args).ok);
        SCOPED_TRACE(testing::PrintToString(c.options));
        EXPECT_EQ(ctx_.sendTimeout, c.timeout);
        EXPECT_EQ(ctx_.nodeRedirect, !c.node.empty());
        EXPECT_EQ(node(), c.node + std::string(34 - c.node.size(), '\0'));
        EXPECT_EQ(ctx_.dumpMode, c.dump);
        EXPECT_EQ(out_, c.out);
    }
}

using namespace fwdtest;
using Call = msglib::InProcessNetwork::Call;
constexpr std::int64_t kStart = msglib::InProcessNetwork::kStartMs;

Message notification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination,
                     std::uint32_t transNum = 0) {
    Message m;
    StatusBlock status;
    buildNotification(transType, source, destination, transNum, m, status);
    return m;
}

// Fails the registration with a chain of entries, the newest last.
struct FailingInit final : msglib::Transport {
    explicit FailingInit(int n) : entries(n) {}
    void init(std::int32_t, std::string_view, AddressRecord&, StatusBlock& s) override {
        for (int i = 1; i <= entries; ++i) ZENTO_SERVER_LDBLK(i == entries ? 13 : 9, 100 + i, s);
    }
    void accept(StatusBlock&) override {}
    std::int32_t receive(std::int32_t, Message&, StatusBlock&) override { return 0; }
    void send(std::int32_t, MsgView, StatusBlock&) override {}
    void exit(StatusBlock&) override {}
    TimeStamp now() override { return {0, 0}; }
    void sleep(std::int32_t) override {}
    int entries;
};

class Recovery : public InProcessTest {
protected:
    int run(std::vector<const char*> options = {}) {
        std::vector<const char*> argv = {"zento_sf_recover", "recsvc", path_.c_str()};
        argv.insert(argv.end(), options.begin(), options.end());
        int code = -1;
        out_ = capturedStdout([&] { code = runRecovery(ctx_, static_cast<int>(argv.size()), argv.data()); });
        return code;
    }
    // The destination acknowledges every message 2 s after it came.
    void acknowledgeEverySend() {
        network_.onSend([](msglib::InProcessNetwork& net, MsgView sent) {
            net.deliverAt(net.nowMs() + 2000,
                          notification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
        });
    }
    std::int32_t listIdSent(std::size_t i) {
        ReplyFields fields;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(network_.sent().at(i).view(), fields, status);
        return fields.listId;
    }
};

TEST_F(Recovery, NormalRunForwardsEveryMessageSendsTheNoticeAndEnds) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    acknowledgeEverySend();
    for (int n : {1, 2, 4}) network_.failNth(Call::kAccept, n, kFacilityLibrary, 9110);
    for (int n : {1, 2}) network_.failNth(Call::kReceive, n, kFacilityLibrary, 9111);
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 3u);
    // Failed accepts and receives only delay: pauses of 100 ms after the first two accepts, none after the
    // fourth (one has succeeded); two failed receives with no forward step; the 500 ms wait of the pass that sends.
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 200 + 500);
    EXPECT_EQ(std::make_pair(logged("error=9110"), logged("error=9111")), std::make_pair(3, 2));
    EXPECT_EQ(listIdSent(2), 9999);  // the notice, after the last acknowledgement
    EXPECT_EQ(network_.calls(Call::kExit), 1);
    EXPECT_EQ(logged("[RECSVC] Zen-TO Recover Process for DLGP service 'RECSVC' started.\n"), 1);
    EXPECT_EQ(logged("All messages from file " + path_ + " have been forwarded\nRECSVC process is exitting\n"), 1);
    EXPECT_EQ(logged("2 messages forwarded, 0 resends, 0 damaged ranges skipped (0 bytes)"), 1);
    // The header stays on the last message once it is removed: nothing is left to read.
    EXPECT_EQ(storedForwardOffset(path_), ctx_.store.header.lastMsgOffset);
}

// A run stopped after the last removal and before the notice leaves a
// drained file; the run after it forwards nothing, yet the destination must
// still learn that the file is empty.
TEST_F(Recovery, RerunOfADrainedFileSendsTheNoticeWhereTheNewestMessageWent) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    acknowledgeEverySend();
    ASSERT_EQ(run(), kExitSuccess);
    const AddressRecord redirected = makeAddress("otherhost", "TSK_AREC");
    network_.declareReachable(redirected);
    for (const auto& [options, destination] : std::vector<std::pair<std::vector<const char*>, AddressRecord>>{
             {{}, kArec}, {{"NODE", "otherhost"}, redirected}}) {
        const std::size_t before = network_.sent().size();
        StatusBlock exitStatus;
        ZENTO_SERVER_EXIT(exitStatus);  // a run that forwards nothing leaves without it; its process ends
        ctx_ = {};
        EXPECT_EQ(run(options), kExitSuccess) << out_;
        ASSERT_EQ(network_.sent().size(), before + 1) << out_;
        const MsgView notice = network_.sent().back().view();
        ReplyFields fields;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(notice, fields, status);
        EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(notice)), text(destination));
        EXPECT_EQ(std::make_pair(fields.listId, std::string(fields.deviceName)), std::make_pair(9999, std::string("DEV-2")));
    }
    EXPECT_EQ(logged("No message forwarded in this run: the end-of-file notice goes to TSK_AREC on node clienthost"), 1);
}

TEST_F(Recovery, AcknowledgementsAreMatchedByTheirSourceAndOtherMessagesOnlyLogged) {
    storeWith({reply(1)}).writeTo(path_);
    // Before anything is sent the destination is all zeros, which this matches:
    // with nothing outstanding it is ignored, unlogged, and its pass sends nothing.
    network_.deliver(notification(kTransAck, AddressRecord{}, AddressRecord{}).view());
    network_.onSend([&](msglib::InProcessNetwork& net, MsgView) {
        if (net.sent().size() > 1) return;  // the notice
        const AddressRecord self = net.self();
        const std::int64_t t = net.nowMs();
        net.deliverAt(t + 100, notification(kTransAck, makeAddress("otherhost", "TSK_AREC"), self).view());
        net.deliverAt(t + 200, notification(kTransAck, makeAddress("clienthost", "tsk_arec"), self).view());
        net.deliverAt(t + 300, notification(kTransDisconnect, makeAddress("peer", "PEERSVC"), self).view());
        net.deliverAt(t + 400, notification(99, kArec, self).view());
        Message request = notification(kTransAck, kArec, self);
        encodeU32(request.data() + head::kMessageTypeOffset, kMsgRequest);
        net.deliverAt(t + 500, request.view());
        const AddressRecord withDomain = makeAddress("clienthost.plant.example", "TSK_AREC");
        net.deliverAt(t + 600, notification(kTransAck, withDomain, self).view());
    });
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 2u);  // the message once, then the notice
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 500);  // in the second pass
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 500 + 600);
    EXPECT_EQ(std::make_tuple(logged("[RECSVC] Could not find reply in store file, ignoring Acknowledgement \n"),
                              logged("\nReceived disconnect message from PEERSVC on node peer\n"),
                              logged("Unknown transaction type: 99\n"), logged("Unknown message type: 1\n")),
              std::make_tuple(2, 1, 1, 1));
}

TEST_F(Recovery, FailedRemovalKeepsTheMessageOutstandingUntilAResendIsAcknowledged) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    acknowledgeEverySend();
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
    EXPECT_EQ(run(), kExitSuccess);
    const std::size_t at = out_.find("Error in removeLastMsg\n");
    EXPECT_TRUE(at != std::string::npos && at == out_.rfind("Error in removeLastMsg\n")) << out_;
    ASSERT_EQ(network_.sent().size(), 4u);
    EXPECT_EQ(network_.sent()[0].bytes, network_.sent()[1].bytes);
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 21'000);  // the first second past the 20 s deadline
}

// A slow destination acknowledges both the first send of a message and its
// resend, each after the deadline, then vanishes. The second acknowledgement
// must not count for the message sent next: that one was never acknowledged
// and stays in the store file when a shutdown request ends the run.
TEST_F(Recovery, LateAcknowledgementOfAResendDoesNotRemoveTheNextMessage) {
    const testsupport::StoreFileBuilder store = storeWith({reply(1), reply(2), reply(3)});
    store.writeTo(path_);
    std::vector<std::uint32_t> numbers;
    network_.onSend([&](msglib::InProcessNetwork& net, MsgView sent) {
        numbers.push_back(ZENTO_SERVER_TRANSNUM(sent));
        if (numbers.size() <= 2) {  // 22.5 s: past the 20 s deadline, so the first send is resent at 21 s
            net.deliverAt(net.nowMs() + 22'500, notification(kTransAck, kArec, net.self(), numbers.back()).view());
        } else if (numbers.size() == 3) {
            net.declareUnreachable(kArec);
            net.deliverAt(net.nowMs() + 60'000,
                          notification(kTransShut, makeAddress("ophost", "OPERATOR"), net.self()).view());
        }
    });
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(numbers.size(), 3u);  // no notice after a shutdown request
    EXPECT_EQ(listIdSent(2), 2);
    EXPECT_EQ(storedForwardOffset(path_), store.recordOffsets()[1]);
    // The resend carries its first send's number; the next message another.
    EXPECT_TRUE(numbers[0] != 0 && numbers[1] == numbers[0] && numbers[2] != numbers[0]);
    EXPECT_EQ(logged("Ignoring an acknowledgement of transaction " + std::to_string(numbers[0]) +
                     ": the message awaiting acknowledgement is transaction " + std::to_string(numbers[2])),
              1);
    EXPECT_EQ(logged("[RECSVC] \nReceived Shutdown message from OPERATOR on node ophost\n"), 1);
    EXPECT_EQ(network_.calls(Call::kExit), 1);
    EXPECT_NE(out_.find("Messages have all been sent to destination.\n"), std::string::npos);
}

TEST_F(Recovery, StartUpFailuresPrintTheStatusEntriesAndExitWithOne) {
    std::string full;
    for (int i = 1; i <= 9; ++i) full += "\nfacility=9  error=" + std::to_string(100 + i);
    full += "\nfacility=13  error=112";  // a full block keeps its newest entry last
    for (const auto& [entries, expected] : std::vector<std::pair<int, std::string>>{
             {3, "\nfacility=9  error=101\nfacility=9  error=102\nfacility=13  error=103"}, {12, full}}) {
        FailingInit failing(entries);
        msglib::ScopedTransport useFailing(failing);
        ctx_ = {};
        EXPECT_EQ(run(), kExitBadStart);
        EXPECT_EQ(out_, expected + "Critical error - Failed to initialize ZENT I/O, Exiting\n");
    }
    testsupport::writeAllBytes(path_, {});  // a store file of size 0 cannot be opened
    ctx_ = {};
    EXPECT_EQ(run(), kExitBadStart);
    EXPECT_EQ(out_, "Zen-TO Recover Process for DLGP service 'RECSVC' started.\nFile opened.\n"
                    "Critical error -- Could not open store file.  Exiting\n");
}

TEST_F(Recovery, StoreFileWithNothingToForwardEndsWithTheNoticeAttempt) {
    testsupport::StoreFileBuilder b;
    b.addRaw(std::vector<std::uint8_t>(250, 0));  // room for a header read, none for a record
    b.header().lastOffset = b.end();
    b.writeTo(path_);
    EXPECT_EQ(run(), kExitSuccess) << out_;
    EXPECT_TRUE(network_.sent().empty());  // no destination was ever known
    EXPECT_EQ(network_.calls(Call::kExit), 0);
    EXPECT_NE(out_.find("Reached file end.\nMessages have all been sent to destination.\n"), std::string::npos);
    EXPECT_EQ(logged("[RECSVC] Error creating a shutdown message for recover async task ec=4052\n"), 1);
}

TEST_F(Recovery, SameAddressComparesNodesUpToTheirDomainAndServicesExactly) {
    for (const auto& [node1, service1, node2, service2, same] :
         std::vector<std::tuple<const char*, const char*, const char*, const char*, int>>{
             {"host.a", "S", "host.b", "S", 1},          {"host", "S", "HOST", "S", 0},  // case counts
             {"host", "TSK.AREC", "host", "TSK.OTHER", 0},  // services are not cut at a dot
             {".host", "S", ".host.dom", "S", 1},        {".host", "S", "host", "S", 0},  // leading dots count
             {"..a.b", "S", "..a", "S", 1},              {"a..b", "S", "a", "S", 1},
             {"", "S", ".", "S", 0}}) {
        const AddressRecord a = makeAddress(node1, service1), b = makeAddress(node2, service2);
        EXPECT_EQ(std::make_pair(sameAddress(a, b), sameAddress(b, a)), std::make_pair(same, same))
            << node1 << "/" << service1 << " " << node2 << "/" << service2;
    }
    // Unterminated fields are read within their record: 31 characters of a node count, all 32 of a service.
    AddressRecord a{}, b{};
    std::memset(&a, 'n', sizeof a);
    std::memset(&b, 'n', sizeof b);
    b.node[31] = 'X';
    EXPECT_EQ(sameAddress(a, b), 1);
    b.service[31] = 'X';
    EXPECT_EQ(sameAddress(a, b), 0);
}

}  // namespace
