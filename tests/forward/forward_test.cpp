// The forwarding side: the GET request builder's checks and the bytes it lays
// down; and, on the in-process transport, the forwarding step (addressing,
// deadlines, resends and their log lines, the ways a call can end without a
// send) and the end-of-file notice.
#include "forward/end_of_file_notice.h"
#include "forward/forwarding.h"
#include "forward/get_request.h"
#include "storefile/cursor.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/status_entries.h"

namespace {

using namespace fwdtest;
using Call = msglib::InProcessNetwork::Call;
using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;

// A message of length bytes with a sound head that is neither kind of reply.
Bytes otherMessage(std::uint32_t length) {
    Bytes m = reply(7);
    m.resize(length);
    encodeU32(m.data() + head::kLengthOffset, length);
    encodeU32(m.data() + head::kTransTypeOffset, 5);
    return m;
}

class Forwarding : public InProcessTest {
protected:
    void SetUp() override {
        InProcessTest::SetUp();
        fresh();
    }
    // The context of a new recovery registered as RECSVC, with the timeout argument 7, on a store file.
    void fresh(const testsupport::StoreFileBuilder& b = storeWith({reply(7)})) {
        TearDown();
        ForwardSettings settings;
        settings.selfAddress = makeAddress("rechost", "RECSVC");
        settings.sendTimeout = 70;
        configureForwarding(fwd_, settings);
        network_.clearSent();
        b.writeTo(path_);
        bool opened = false;
        capturedStdout([&] { opened = openStoreFile(store_, path_, {}, status_); });
        ASSERT_TRUE(opened);
    }
    std::int32_t forward() {
        std::int32_t wait = 0;
        out_ += capturedStdout([&] { wait = forwardNextMessage(fwd_, store_, status_); });
        return wait;
    }
    std::int32_t nowSeconds() const { return static_cast<std::int32_t>(network_.nowMs() / 1000); }
    std::size_t sent() const { return network_.sent().size(); }
    bool stopping() const { return fwd_.stopRequested || store_.stopRequested; }

    ForwardState& fwd_ = ctx_.forward;
    StoreFile& store_ = ctx_.store;
    StatusBlock status_{};
};

TEST_F(Forwarding, FirstSendGoesToTheRequestersArecWithADeadlineFromTheFrequency) {
    for (auto [frequency, seconds] : std::vector<std::pair<std::int32_t, std::int32_t>>{
             {100, 20}, {29, 5}, {0, 5}, {-50, 5}, {30, 6}, {35, 7}}) {
        fresh(storeWith({reply(7, frequency)}));
        EXPECT_EQ(forward(), kNormalWait);
        EXPECT_FALSE(statusFailed(status_) || fwd_.lastMsgAcked || fwd_.retryPending);
        ASSERT_EQ(sent(), 1u);
        const MsgView message = network_.sent()[0].view();
        EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(message)) + " from " + text(ZENTO_SERVER_MSGSRC(message)) + " " +
                      std::to_string(network_.sent()[0].timeout) + " " + fwd_.deviceName,
                  "clienthost/TSK_AREC from rechost/RECSVC 70 DEV-7");
        EXPECT_EQ(fwd_.ackDeadline.seconds, nowSeconds() + seconds) << frequency;
    }
}

// A failed first send is logged each time and left for the caller; resends
// are made on every call until one succeeds, their failures logged once per
// error code or retry line, and not left for the caller.
TEST_F(Forwarding, FailedSendsAreRetriedAndLoggedSparingly) {
    network_.failNth(Call::kSend, 1, kFacilityLibrary, 9777);
    EXPECT_EQ(forward(), kWaitAfterFailedSend);
    EXPECT_EQ(firstErrorCode(status_), 9777);
    EXPECT_TRUE(fwd_.retryPending && !fwd_.lastMsgAcked);
    EXPECT_EQ(logged("[RECSVC] Recover Store File Process had error on send; listid 7\n"), 1);

    fwd_.retryLogged = true;
    fwd_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 300};
    network_.failNext(Call::kSend, 3, kFacilityLibrary, 9555);
    network_.failNth(Call::kSend, 4, kFacilityLibrary, 9666);
    auto lines = [&] {
        return std::make_pair(
            logged("[RECSVC] Zen-TO Recover Store File Process retry sending msg for listid 7\n"),
            logged("[RECSVC] Zen-TO Recover Store File Process had error on retry for send; listid 7\n"));
    };
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // 300 s since the last retry line: none; a new code is logged
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_EQ(lines(), std::make_pair(0, 1));
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // the same code: silent
    EXPECT_EQ(lines(), std::make_pair(0, 1));
    fwd_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 301};
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // a retry line, so its error is logged even with the same code
    EXPECT_EQ(lines(), std::make_pair(1, 2));
    EXPECT_EQ(fwd_.lastRetryLogTime.seconds, nowSeconds());
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // another code
    EXPECT_EQ(lines(), std::make_pair(1, 3));
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_FALSE(fwd_.retryPending);
    ASSERT_EQ(sent(), 1u);
    EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(network_.sent()[0].view())), "clienthost/TSK_AREC");
}

TEST_F(Forwarding, MessageThatIsNoReplyIsSentAllTheSameAndKeepsTheDeviceName) {
    fresh(storeWith({otherMessage(400)}));
    setFixedText(fwd_.deviceName, sizeof fwd_.deviceName, "EARLIER");
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(out_, "Unable to parse message.\n");
    EXPECT_TRUE(sent() == 1 && std::string(fwd_.deviceName) == "EARLIER");
    // Its frequency cannot be read either: 5 seconds, and the caller hears of it.
    EXPECT_EQ(fwd_.ackDeadline.seconds, nowSeconds() + 5);
    EXPECT_EQ(status_.error[statusEntryCount(status_) - 1], 13470);
}

// A message that can never go (no longer than its head, or refused by the
// library itself) is damage: taken out unsent, logged, and the next one sent.
// When it is the last one, the step says so as an acknowledgement would.
TEST_F(Forwarding, MessagesThatCanNeverGoAreTakenOutAndTheNextOneSent) {
    Bytes badMagic = otherMessage(400);
    badMagic[0] ^= 0xFF;
    const std::tuple<const char*, Bytes, std::int32_t> cases[] = {
        {"too short to forward", otherMessage(292), 13473},
        {"the messaging library refuses to send it", badMagic, 13474},
    };
    for (const auto& [why, message, code] : cases) {
        fresh(storeWith({message, otherMessage(293), message}));
        EXPECT_EQ(forward(), kNormalWait) << why;
        EXPECT_TRUE(sent() == 0 && fwd_.lastMsgAcked) << why;
        EXPECT_TRUE(testsupport::hasEntry(status_, kFacilityStore, code)) << why << ": " << firstErrorCode(status_);
        EXPECT_EQ(storedForwardOffset(path_), 192 + 12 + std::int64_t(message.size()));
        EXPECT_EQ(logged("Skipped a stored message of " + std::to_string(message.size()) + " bytes at location 192: " +
                         why + "\n"),
                  1);
        EXPECT_EQ(forward(), kNormalWait);
        ASSERT_TRUE(sent() == 1 && network_.sent()[0].bytes.size() == 293u);
        ASSERT_TRUE(acknowledgeMessage(fwd_, store_, status_));
        EXPECT_EQ(forward(), kNoWait) << "the last one";
        EXPECT_TRUE(!store_.moreMessages && fwd_.lastMsgAcked && !stopping());
    }
}

// Its removal failing keeps it, as for an acknowledged message: the next
// step tries again without sending it.
TEST_F(Forwarding, MessageTakenOutUnsentIsKeptWhenItsRemovalFails) {
    fresh(storeWith({otherMessage(292), otherMessage(293)}));
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
        EXPECT_EQ(forward(), kNormalWait);
    }
    EXPECT_TRUE(sent() == 0 && store_.currentMsg && !stopping());
    EXPECT_EQ(storedForwardOffset(path_), 192);
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(storedForwardOffset(path_), 192 + 12 + 292);
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(sent(), 1u);
}

TEST_F(Forwarding, NoFurtherRecordEndsTheDataDuringTheCallInsteadOfWaiting) {
    testsupport::StoreFileBuilder b = storeWith({reply(7)});
    b.header().lastOffset = 150;  // the reading stands past the last offset at once
    fresh(b);
    EXPECT_EQ(forward(), kNoWait);
    EXPECT_EQ(out_, "No further stored message after location 192.\n");
    EXPECT_TRUE(stopping() && !fwd_.dataUnreadable && sent() == 0);

    // A tail too short for a record, behind a last-message offset that names
    // none: only the end of the file ends the reading.
    b = storeWith({reply(7)});
    b.addRaw(Bytes(100, 0xEE));
    b.header().lastMsgOffset = b.header().lastOffset = b.end();
    fresh(b);
    ASSERT_EQ(forward(), kNormalWait);
    ASSERT_TRUE(acknowledgeMessage(fwd_, store_, status_));
    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(stopping() && !fwd_.dataUnreadable && sent() == 1);
}

TEST_F(Forwarding, MessageFoundBehindDamageIsForwardedEvenWhenTheHeaderCannotBeRewritten) {
    testsupport::StoreFileBuilder b;
    b.addRaw(Bytes(500, 0x11));
    b.addMessage(reply(7));
    b.describeRecords();
    b.header().forwardOffset = b.header().firstMsgOffset = b.dataStart();
    fresh(b);
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_TRUE(sent() == 1 && logged("error=13414") == 1);
    EXPECT_STREQ(fwd_.deviceName, "DEV-7");
}

TEST_F(Forwarding, EndOfFileNoticeIsAStoreFileIsEmptyReplySentOnce) {
    fwd_.destinationAddress = kArec;
    fwd_.addressedAny = true;  // as after a forwarded message
    setFixedText(fwd_.deviceName, sizeof fwd_.deviceName, "DEV-3");
    sendEndOfFileNotice(fwd_, store_, status_);
    ASSERT_EQ(sent(), 1u);
    const MsgView notice = network_.sent()[0].view();
    EXPECT_EQ(std::to_string(network_.sent()[0].timeout) + " " + text(ZENTO_SERVER_MSGDEST(notice)) + " " +
                  text(ZENTO_SERVER_REPDEST(notice)) + " " + text(ZENTO_SERVER_MSGSRC(notice)),
              "300 clienthost/TSK_AREC clienthost/TSK_AREC rechost/RECSVC");
    ReplyFields f;
    ZENTO_SERVER_PARSE_GETREP(notice, f, status_);
    ASSERT_FALSE(statusFailed(status_));
    EXPECT_EQ((std::vector<std::int32_t>{f.listId, f.frequency, f.tagCount, f.requestWord,
                                         decodeI32(f.statusRecords.data()), decodeI32(f.statusRecords.data() + 4)}),
              (std::vector<std::int32_t>{9999, 100, 1, 0, -1, 13}));
    EXPECT_EQ(std::string(f.deviceName) + " " + std::string(f.tagNames.begin(), f.tagNames.end()) +
                  std::string(f.values.begin(), f.values.end()),
              std::string("DEV-3 STOREFILEISEMPTY\0STOREFILEISEMPTY\0", 40));
    EXPECT_EQ(logged("RECSVC"), 0);

    // A failed send is logged and left in the caller's block; no retry.
    fwd_.destinationAddress = makeAddress("nowhere", "TSK_AREC");
    sendEndOfFileNotice(fwd_, store_, status_);
    EXPECT_EQ(logged("[RECSVC] Error sending shutdown message to recover async task ec=" +
                     std::to_string(firstErrorCode(status_)) + "\n"),
              1);
    EXPECT_TRUE(statusFailed(status_) && sent() == 1);
}

struct Request {
    std::array<char, 32> device{'D', 'E', 'V', '-', '1'};
    const char* deviceName = device.data();
    std::uint32_t tagCount = 2, headValue = 1;
    std::int32_t replyToFlag = 1;
    AddressRecord replyToAddress = makeAddress("", "myService");
    const AddressRecord* replyTo = &replyToAddress;
    AddressRecord destination = makeAddress("host.dom", "Dest");
    // Two names of width 5; from a literal, as GCC 12 at -O3 takes a braced
    // list of chars here for uninitialized.
    static constexpr char kNames[] = "TAG1\0TAG2";
    std::vector<char> names{std::begin(kNames), std::end(kNames)};
    std::vector<std::int32_t> pairs = {-1, 2, 3, 0x7FFFFFFF};
    std::vector<DescriptorEntry> dataTemplate = {{kDescStruct, 0, 1, 1}, {kDescInt, 0, 4, 1}};

    Message build(StatusBlock& status, Message out = {}) const {
        buildGetRequest(42, deviceName, 7, tagCount, headValue, replyToFlag, 300, replyTo, destination, 100, names,
                        pairs, dataTemplate, out, status);
        return out;
    }
};

class GetRequest : public InProcessTest {};

TEST_F(GetRequest, ChecksFailInOrderWithTheirCodesAndLeaveTheOutputAlone) {
    const std::vector<std::pair<void (*)(Request&), std::int32_t>> cases = {
        {[](Request& r) { r.deviceName = nullptr; r.tagCount = 0; }, 4040},
        {[](Request& r) { r.tagCount = 0; r.headValue = 0; }, 4041},
        {[](Request& r) { r.headValue = 0; }, 4042},
        {[](Request& r) { r.headValue = 10; r.replyToFlag = 2; }, 4042},
        {[](Request& r) { r.replyToFlag = 2; r.names.clear(); }, 4043},
        {[](Request& r) { r.replyToAddress = makeAddress("n", ""); r.names.clear(); }, 4045},
        {[](Request& r) { r.names.clear(); r.dataTemplate.clear(); }, 4046},
        {[](Request& r) { r.tagCount = 3; }, 4047},    // names shorter than tags x width
        {[](Request& r) { r.pairs = {1, 2}; }, 4049},  // pairs for one tag of two
        {[](Request& r) { r.dataTemplate.clear(); r.destination.node[0] = '\0'; }, 4048},
        {[](Request& r) { r.destination.node[0] = '\0'; }, 4052},
    };
    for (const auto& [breakIt, code] : cases) {
        Request r;
        breakIt(r);
        Message out;
        ASSERT_TRUE(allocateMessage(out, 3));
        StatusBlock status;
        out = r.build(status, std::move(out));
        EXPECT_EQ(testsupport::statusEntries(status), (testsupport::Entries{{kFacilityBuilder, code}}));
        EXPECT_EQ(out.size, 3u) << code;  // untouched
    }
    // A failing size call keeps its cause before the builder's own code.
    Request r;
    r.dataTemplate = {{99, 0, 4, 1}};
    StatusBlock status;
    r.build(status);
    EXPECT_EQ(std::make_tuple(statusEntryCount(status), status.facility[0], status.error[1]),
              std::make_tuple(2, kFacilityLibrary, 4056));
}

}  // namespace
