// The message reports, compared with the diagnostic log as written: task kind
// x situation -> code and text, the name tables, the gate.
#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "diag/list_reports.h"
#include "diag/message_reports.h"
#include "diag/name_tables.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "tests/diag/diag_log.h"

namespace {

using diagtest::Filed;
using diagtest::fmt;
using Bytes = std::vector<std::uint8_t>;

const AddressRecord kSource = makeAddress("SRCNODE.example", "DLGPCLIENT");
const AddressRecord kDestination = makeAddress("DESTNODE", "TSK_AREC");

Bytes notification(std::int32_t transType, std::uint32_t transNum) {
    Message msg;
    StatusBlock status;
    buildNotification(transType, kSource, kDestination, transNum, msg, status);
    return {msg.view().begin(), msg.view().end()};
}

// A store-and-forward notification with the command code and its data.
Bytes commandNotification(std::int32_t command, const Bytes& data, std::uint32_t transNum = 5) {
    Bytes body(4 + data.size());
    encodeI32(body.data(), command);
    std::copy(data.begin(), data.end(), body.begin() + 4);
    Message msg;
    StatusBlock status;
    ZENTO_SERVER_BLD_MSG(kSource, kDestination, body, msg, status);
    ZENTO_SERVER_SET_TRANSNUM(msg.span(), transNum);
    return {msg.view().begin(), msg.view().end()};
}

Bytes textData(const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

StatusBlock block(std::initializer_list<std::pair<std::int32_t, std::int32_t>> entries) {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    for (auto [facility, code] : entries) ZENTO_SERVER_LDBLK(facility, code, status);
    return status;
}

std::string address(const char* label, const AddressRecord& a, const char* separator = ", Service = ") {
    return fmt("%s%-40.40s%s%-40.40s", label, a.node, separator, a.service);
}

const std::string kReceivePieces =  // an ACK numbered 77 from kSource
    fmt("\n  Transaction #     = %lu", 77ul) + fmt("\n  Message type      = %-40.40s, ID = %d", "NOTIF", 3) +
    fmt("\n  Transaction type  = %-40.40s, ID = %d", "ACK", 17) + address("\n  Source node       = ", kSource);

std::string receivedMsg(const char* command, int code) {
    return fmt("\n  Transaction #     = %lu", 5ul) + fmt("\n  Message type      = %-40.40s, ID = %d", "NOTIF", 3) +
           fmt("\n  Transaction type  = %-40.40s, ID = %d", "MSG", 15) +
           address("\n  Source node       = ", kSource) +
           fmt("\n  Command type      = %-40.40s, ID = %d", command, code);
}

class MessageReports : public diagtest::DiagTest {};

TEST_F(MessageReports, ReceiveReportsByTaskAndOutcome) {
    const StatusBlock failed = block({{9, 9111}});
    const StatusBlock clean = block({});
    const Bytes ack = notification(kTransAck, 77);
    const AddressRecord client = makeAddress("CLIENTNODE", "DLGPCLIENT");
    Bytes clientData(64);
    std::memcpy(clientData.data(), &client, 64);
    const struct {
        const char* name;
        std::int32_t kind;
        std::int32_t result;
        Bytes message;
        bool nullMessage;
        const StatusBlock* status;
        std::vector<Filed> expected;
    } cases[] = {
        {"failed block", 2, -1, {}, true, &failed,
         {{7008, "KV.58 Store task error receiving message\nThe following error was detected\n"
                  "facility=9  error=9111  waiting for messages failed"}}},
        {"failed block wins over a message", 1, 300, ack, false, &failed,
         {{7005, "KV.58 Scanner task error receiving message\nThe following error was detected\n"
                  "facility=9  error=9111  waiting for messages failed"}}},
        {"nothing received", 2, 0, {}, true, &clean, {{7009, "KV.58 Store task checked for messages and received none"}}},
        {"no block, nothing received", 3, -5, {}, true, nullptr,
         {{7012, "KV.58 Forward task checked for messages and received none"}}},
        {"a result but no message", 1, 300, {}, true, &clean,
         {{7005, "KV.58 Scanner task error receiving message\nAn unknown error occurred, message pointer invalid"}}},
        {"an ACK", 3, 300, ack, false, &clean, {{7013, "KV.58 Forward task received message" + kReceivePieces}}},
        {"new store file", 2, 300, commandNotification(2, textData("C:\\ZENTO\\ZENTO_STORE_N.SVC")), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("NEW STORE FILE", 2) +
                      "\n  Store file        = C:\\ZENTO\\ZENTO_STORE_N.SVC"}}},
        {"store file name without its NUL", 2, 300, commandNotification(2, {'A', 'B'}), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("NEW STORE FILE", 2) +
                      "\n  Store file        = AB"}}},
        {"remove store file", 2, 300, commandNotification(3, clientData), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("REMOVE STORE FILE", 3) +
                      address("\n  Store file client = ", client)}}},
        {"remove store file, client cut short", 2, 300, commandNotification(3, Bytes(63, 'x')), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("REMOVE STORE FILE", 3)}}},
        {"unknown command", 2, 300, commandNotification(5, textData("X")), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("Unknown", 5)}}},
        {"negative command", 2, 300, commandNotification(-2, textData("X")), false, &clean,
         {{7010, "KV.58 Store task received message" + receivedMsg("Unknown", -2)}}},
        {"recovery task", 4, 300, ack, false, &clean, {}},
        {"no task", 0, 300, ack, false, &clean, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MsgView message = c.nullMessage ? MsgView{} : MsgView(c.message);
        diag::reportReceive(c.kind, c.result, message, c.status);
        EXPECT_EQ(takeFiled(), c.expected);
    }
}

TEST_F(MessageReports, SentReportsByTaskAndOutcome) {
    const StatusBlock failed = block({{1, 32}, {9, 9126}});
    const StatusBlock clean = block({});
    const Bytes ack = notification(kTransAck, 1);
    const std::string ackPieces = fmt("\n  Message type          = %-40.40s, ID = %d", "NOTIF", 3) +
                                  fmt("\n  Transaction type      = %-40.40s, ID = %d", "ACK", 17) +
                                  address("\n  Destination Node      = ", kDestination);
    const struct {
        const char* name;
        std::int32_t kind;
        Bytes message;
        std::int32_t resent;
        const StatusBlock* status;
        std::vector<Filed> expected;
    } cases[] = {
        {"scanner, first send", 1, ack, 0, &clean, {{7085, "KV.58 Scanner task sent message" + ackPieces}}},
        {"scanner, resent", 1, ack, 1, &clean, {{7085, "KV.58 Scanner task sent message" + ackPieces}}},
        {"store, resent", 2, ack, 1, &clean, {{7071, "KV.58 Store task sent message" + ackPieces}}},
        {"forward, first send", 3, ack, 0, &clean, {{7074, "KV.58 Forward task sent message" + ackPieces}}},
        {"forward, resent", 3, ack, 1, &clean,
         {{7073, "KV.58 Forward task resent unACKed reply message" + ackPieces}}},
        {"forward, failed", 3, ack, 1, &failed,
         {{7072, "KV.58 Forward task sent message" + ackPieces +
                      "\n\n The following error was detected\nfacility=1  error=32  Broken pipe\n"
                      "facility=9  error=9126  the connection broke while the message was written"}}},
        {"store, failed", 2, ack, 0, &failed,
         {{7070, "KV.58 Store task sent message" + ackPieces +
                      "\n\n The following error was detected\nfacility=1  error=32  Broken pipe\n"
                      "facility=9  error=9126  the connection broke while the message was written"}}},
        {"scanner, failed", 1, ack, 0, &failed,
         {{7084, "KV.58 Scanner task sent message" + ackPieces +
                      "\n\n The following error was detected\nfacility=1  error=32  Broken pipe\n"
                      "facility=9  error=9126  the connection broke while the message was written"}}},
        {"new store file", 2, commandNotification(2, textData("F.SVC")), 0, &clean,
         {{7071, "KV.58 Store task sent message" + fmt("\n  Message type          = %-40.40s, ID = %d", "NOTIF", 3) +
                      fmt("\n  Transaction type      = %-40.40s, ID = %d", "MSG", 15) +
                      address("\n  Destination Node      = ", kDestination) +
                      fmt("\n  Command type          = %-40.40s, ID = %d", "NEW STORE FILE", 2) +
                      "\n  Store file            = F.SVC"}}},
        {"no block", 2, ack, 0, nullptr, {}},
        {"recovery task", 4, ack, 0, &clean, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        diag::reportSent(c.kind, c.message, c.resent, c.status);
        EXPECT_EQ(takeFiled(), c.expected);
    }
    diag::reportSent(2, MsgView{}, 0, &clean);
    EXPECT_EQ(takeFiled(), std::vector<Filed>{});
}

TEST_F(MessageReports, ScanRequestAndLocatedReplies) {
    const Bytes request = notification(kTransAck, 9);
    diag::reportScanRequest(request, 42, 1, -1, 3);
    diag::reportScanRequest(request, -42, 0, 15, 0);
    diag::reportScanRequest(MsgView{}, 1, 1, 1, 1);
    const std::string destination = address("\n  Destination node    = ", kDestination);
    EXPECT_EQ(takeFiled(),
              (std::vector<Filed>{
                  {7004, "KV.58 Scan task sending regular scan request\n  Scan list entry     = 3"
                         "\n  List id             = 42\n  Frequency           = -0.100000 sec"
                         "\n  Tag information     = YES" + destination},
                  {7004, "KV.58 Scan task sending regular scan request\n  Scan list entry     = 0"
                         "\n  List id             = -42\n  Frequency           = 1.500000 sec"
                         "\n  Tag information     = NO" + destination}}));

    auto scan = newScanList();
    auto unsol = newUnsolList();
    ASSERT_TRUE(scan && unsol);
    ScanListEntry& get = scan->slots[2];
    get.listId = -8;
    get.requestSource = makeAddress("CLIENT", "DLGPCLIENT");
    get.replyDestination = makeAddress("REPLYNODE", "TSK_AREC");
    UnsolListEntry& uns = unsol->slots[2];
    uns.listId = 8;
    uns.requestSource = makeAddress("CLIENT2", "DLGPCLIENT2");
    uns.destination = makeAddress("DEST2", "TSK_AREC2");
    Bytes getReply = notification(kTransAck, 31);
    encodeU32(getReply.data() + 152, kTransGet);
    Bytes unsReply = getReply;
    encodeU32(unsReply.data() + 152, kTransUnsolicited);
    const std::string getTail = "\n  Entry            = 2\n  Listid           = -8\n  transnum         = 31";
    const std::string getAddresses = address("\n  Source node      = ", get.requestSource, " Service = ") +
                                     address("\n  Destination node = ", get.replyDestination, " Service = ");
    const struct {
        const char* name;
        std::int32_t frequency;
        const Bytes* message;
        std::int32_t index;
        std::int32_t unchanged;
        std::vector<Filed> expected;
    } cases[] = {
        {"unsolicited, unchanged", -1, &getReply, 2, 1,
         {{7064, "KV.58 Store task located GET->UNSOL reply in scan list but no value changes detected" + getTail +
                      "\n  Frequency        = -0.100000 sec" + getAddresses}}},
        {"unsolicited, changed", -1, &getReply, 2, 0,
         {{7065, "KV.58 Store task located GET->UNSOL reply in scan list. GET Message will be converted to UNSOL" +
                      getTail + "\n  Frequency        = -0.100000 sec" + getAddresses}}},
        {"regular GET", 100, &getReply, 2, 1,
         {{7066, "KV.58 Store task located GET reply in scan list" + getTail +
                      "\n  Frequency        = 10.000000 sec" + getAddresses}}},
        {"unsolicited reply", 100, &unsReply, 2, 0,
         {{7067, "KV.58 Store task located UNSOL reply in scan list\n  Entry            = 2"
                 "\n  Listid           = 8\n  transnum         = 31" +
                      address("\n  Source node      = ", uns.requestSource, " Service = ") +
                      address("\n  Destination node = ", uns.destination, " Service = ")}}},
        {"negative index", 100, &getReply, -1, 0, {}},
        {"index past the table", 100, &getReply, 15000, 0, {}},
        {"an ACK", 100, &request, 2, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        get.frequency = c.frequency;
        diag::reportReplyLocated(scan.get(), unsol.get(), *c.message, c.index, c.unchanged);
        EXPECT_EQ(takeFiled(), c.expected);
    }
    diag::reportReplyLocated(nullptr, unsol.get(), getReply, 2, 0);
    diag::reportReplyLocated(scan.get(), nullptr, getReply, 2, 0);
    EXPECT_EQ(takeFiled(), std::vector<Filed>{});
}

TEST_F(MessageReports, ATextLongerThanItsBufferIsCut) {
    const std::string name(5000, 'N');
    diag::reportReceive(2, 300, commandNotification(2, textData(name)), nullptr);
    const std::vector<Filed> records = takeFiled();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text.size(), 2047u);
    EXPECT_EQ(records[0].text.substr(records[0].text.size() - 10), std::string(10, 'N'));
}

TEST(NameTables, NumbersOutsideATablePrintUnknown) {
    using namespace diag;
    const struct {
        const char* (*lookUp)(std::int32_t);
        std::int32_t number;
        std::string name;
    } cases[] = {
        {taskName, 1, "Scanner"},       {taskName, 3, "Forward"},       {taskName, 4, "Unknown"},
        {taskName, 0, "Unknown"},       {messageTypeName, 2, "REPLY"},  {messageTypeName, -1, "Unknown"},
        {transactionTypeName, 1, "GET"}, {transactionTypeName, 6, ""},  {transactionTypeName, 23, ""},
        {transactionTypeName, 31, "REJECT"}, {transactionTypeName, 32, "Unknown"},
        {transactionTypeName, INT_MIN, "Unknown"}, {commandName, 4, "STARTUP INFO"}, {commandName, 5, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.lookUp(c.number), c.name) << c.number;
}

// With diagnostics off the reports call the gate and nothing else: every
// argument they could read lies in memory that may not be read.
TEST(Gate, ReportsReadNothingWhileDiagnosticsAreOff) {
    testsupport::TempHome home;
    ::unsetenv("ZENTO_DIAG");
    msglib::refreshDiagnosticSwitch();
    ASSERT_NE(ZENTO_DIAG_LOGSTATE(), 0);
    const std::size_t bytes = (sizeof(StoreList) + 4095) / 4096 * 4096;
    void* sealed = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(sealed, MAP_FAILED);
    const auto* bytesAt = static_cast<const std::uint8_t*>(sealed);
    const MsgView message(bytesAt, 4096);
    const auto* status = static_cast<const StatusBlock*>(sealed);
    setTaskKind(kTaskStore);
    diag::reportScanRequest(message, 1, 1, 1, 1);
    diag::reportReceive(2, 1, message, status);
    diag::reportSent(2, message, 0, status);
    diag::reportReplyLocated(static_cast<const ScanList*>(sealed), static_cast<const UnsolList*>(sealed), message, 0,
                             0);
    diag::reportScanListChange(static_cast<const ScanList*>(sealed), 0, 1, nullptr, status);
    diag::reportUnsolListChange(static_cast<const UnsolList*>(sealed), 0, 1, nullptr, status);
    diag::reportStoreListChange(static_cast<const StoreList*>(sealed), 0, 2, nullptr, status);
    setTaskKind(0);
    ::munmap(sealed, bytes);
    EXPECT_FALSE(std::filesystem::exists(home.file("log/diag.log")));
}

}  // namespace
