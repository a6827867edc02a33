// The list reports, compared with the diagnostic log as written: list x task
// kind x operation x outcome -> code and first line; each table layout with
// gaps in the slots and the arrow row; file names; buffers that cannot be had.
#include <string>

#include "diag/list_reports.h"
#include "msglib/code_catalogue.h"
#include "msglib/msglib.h"
#include "tests/diag/diag_log.h"

namespace {

using diagtest::Filed;
using diagtest::fmt;

StatusBlock block(std::initializer_list<std::pair<std::int32_t, std::int32_t>> entries) {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    for (auto [facility, code] : entries) ZENTO_SERVER_LDBLK(facility, code, status);
    return status;
}

// A block entry as the reports show it.
std::string entryLine(std::int32_t facility, std::int32_t code) {
    return fmt("facility=%d  error=%d  %s", facility, code, codeMeaningText(facility, code).c_str());
}

enum class List { Scan, Unsol, Store };

struct Tables {
    std::unique_ptr<ScanList> scan = newScanList();
    std::unique_ptr<UnsolList> unsol = newUnsolList();
    std::unique_ptr<StoreList> store = newStoreList();

    void report(List list, std::int32_t entry, std::int32_t operation, const char* file, const StatusBlock* status) {
        switch (list) {
            case List::Scan: diag::reportScanListChange(scan.get(), entry, operation, file, status); break;
            case List::Unsol: diag::reportUnsolListChange(unsol.get(), entry, operation, file, status); break;
            case List::Store: diag::reportStoreListChange(store.get(), entry, operation, file, status); break;
        }
    }
};

const char* const kTaskNames[] = {"", "Scanner", "Store", "Forward"};

class ListReports : public diagtest::DiagTest {
protected:
    void TearDown() override {
        diag::installReportBufferSource(nullptr);
        DiagTest::TearDown();
    }
    Tables tables_;
};

TEST_F(ListReports, CodesAndFirstLinesByListTaskOperationAndOutcome) {
    tables_.store->slots[0].existsInList = 1;  // the entry operation 2 removes
    const StatusBlock failed = block({{1, 2}, {13, 13021}});
    const StatusBlock clean = block({});
    const struct {
        List list;
        const char* words;       // in the success lines
        const char* errorWords;  // in the failure line
        std::int32_t kind;
        std::int32_t failureCodes[5];
        std::int32_t successCodes[5];
    } rows[] = {
        {List::Scan, "scan", "scan", 1, {7014, 7015, 7016, 7017, 7018}, {7019, 7020, 7021, 7022, 7023}},
        {List::Scan, "scan", "scan", 2, {7024, 7025, 7026, 7027, 7028}, {7029, 7030, 7031, 7032, 7033}},
        {List::Unsol, "unsol", "scan", 2, {7034, 7035, 7036, 7037, 7038}, {7039, 7030, 7041, 7042, 7043}},
        {List::Store, "store", "store", 2, {7044, 7045, 7046, 7047, 7048}, {7049, 7050, 7051, 7052, 7053}},
        {List::Store, "store", "store", 3, {7054, 7055, 7056, 7057, 7058}, {7059, 7060, 7061, 7062, 7063}},
    };
    const char* const operations[] = {"Updating entry", "Removing entry", "Loading %s file", "Saving %s file",
                                      "Removing %s file"};
    for (const auto& row : rows) {
        setTaskKind(row.kind);
        const char* task = kTaskNames[row.kind];
        const std::string successLines[] = {
            fmt("KV.58 %s task added/modified entry 0 in %s list", task, row.words),
            fmt("KV.58 %s task removed entry 0 in %s list", task, row.words),
            fmt("KV.58 %s task loaded %s list from file LIST.SVC", task, row.words),
            fmt("KV.58 %s task saved %s list to file LIST.SVC", task, row.words),
            fmt("KV.58 %s task removing %s list file LIST.SVC", task, row.words)};
        for (std::int32_t op = 1; op <= 5; ++op) {
            SCOPED_TRACE(fmt("%s list, task %d, operation %d", row.words, row.kind, op));
            const char* file = op >= 3 ? "LIST.SVC" : nullptr;
            const std::int32_t entry = op <= 2 ? 0 : -1;
            tables_.report(row.list, entry, op, file, &failed);
            const std::string operation = fmt(operations[op - 1], row.words);
            const std::string failure =
                fmt("\nKV.58 %s task detected the following %s list error while %s", task, row.errorWords,
                    operation.c_str()) +
                (file != nullptr ? "\nUnsol list file name = LIST.SVC" : "") +
                "\n" + entryLine(1, 2) + "\n" + entryLine(13, 13021);
            const std::vector<Filed> failures = takeFiled();
            ASSERT_EQ(failures.size(), 1u);
            EXPECT_EQ(failures[0].code, row.failureCodes[op - 1]);
            EXPECT_EQ(failures[0].text.substr(0, failure.size()), failure);

            tables_.report(row.list, entry, op, file, &clean);
            const std::vector<Filed> successes = takeFiled();
            ASSERT_EQ(successes.size(), 1u);
            EXPECT_EQ(successes[0].code, row.successCodes[op - 1]);
            EXPECT_EQ(successes[0].text.substr(0, successes[0].text.find('\n', 1)), "\n" + successLines[op - 1]);
        }
    }
}

TEST_F(ListReports, NothingIsFiledOutsideTheConditions) {
    const StatusBlock clean = block({});
    const struct {
        const char* name;
        List list;
        std::int32_t kind;
        std::int32_t entry;
        std::int32_t operation;
        const StatusBlock* status;
    } cases[] = {
        {"forward task, scan list", List::Scan, 3, -1, 4, &clean},
        {"recovery, scan list", List::Scan, 4, -1, 4, &clean},
        {"scanner, unsol list", List::Unsol, 1, -1, 4, &clean},
        {"forward, unsol list", List::Unsol, 3, -1, 4, &clean},
        {"scanner, store list", List::Store, 1, -1, 4, &clean},
        {"operation 0", List::Scan, 2, -1, 0, &clean},
        {"operation 6", List::Store, 2, -1, 6, &clean},
        {"scan list without a block", List::Scan, 2, -1, 4, nullptr},
        {"unsol list without a block", List::Unsol, 2, -1, 4, nullptr},
        {"removing a store entry no longer listed", List::Store, 2, 3, 2, &clean},
        {"removing a store entry outside the table", List::Store, 2, 15000, 2, &clean},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setTaskKind(c.kind);
        tables_.report(c.list, c.entry, c.operation, nullptr, c.status);
        EXPECT_EQ(takeFiled(), std::vector<Filed>{});
    }
    setTaskKind(kTaskStore);
    diag::reportScanListChange(nullptr, -1, 4, nullptr, &clean);
    diag::reportStoreListChange(nullptr, -1, 4, nullptr, &clean);
    EXPECT_EQ(takeFiled(), std::vector<Filed>{});
    // The store list takes no block as success.
    diag::reportStoreListChange(tables_.store.get(), -1, 4, "S", nullptr);
    EXPECT_EQ(takeFiled().size(), 1u);
}

const AddressRecord kReplyA = makeAddress("REPLYNODE-A", "TSK_AREC");
const AddressRecord kClientA = makeAddress("CLIENTNODE-A.example", "DLGPCLIENT");
const AddressRecord kReplyB = makeAddress("R", "A_SERVICE_NAME_OF_THIRTY_ONE_CH");
const AddressRecord kClientB = makeAddress("NODE_NAME_OF_THIRTY_ONE_CHARSXX", "C");

TEST_F(ListReports, ScanTableWithGapsAndTheArrowRow) {
    setTaskKind(kTaskStore);
    ScanList& scan = *tables_.scan;
    scan.highestEntry = 10;
    const struct {
        std::uint32_t slot;
        std::int32_t listId;
        std::int32_t frequency;
        AddressRecord reply, client;
    } entries[] = {{1, 7, 15, kReplyA, kClientA}, {5, -2147483647 - 1, -1, kReplyB, kClientB},
                   {9, 123456, 2147483647, kReplyA, kClientB}};
    for (const auto& e : entries) {
        ScanListEntry& slot = scan.slots[e.slot];
        slot.inUse = 1;
        slot.listId = e.listId;
        slot.frequency = e.frequency;
        slot.replyDestination = e.reply;
        slot.requestSource = e.client;
    }
    scan.slots[12].inUse = 1;  // beyond highestEntry: not shown
    const StatusBlock clean = block({});
    diag::reportScanListChange(&scan, 5, 1, nullptr, &clean);

    std::string expected = "\nKV.58 Store task added/modified entry 5 in scan list\n"
                           "\n     Entry    Listid Frequency Type  Reply Destination              Requesting Source"
                           "\n                     (sec)           Service/Node                   Service/Node"
                           "\n---- -----    ------ --------- ----- ------------------------------ "
                           "------------------------------";
    int ordinal = 0;
    for (const auto& e : entries) {
        expected += fmt("\n%4d %5d %2s %6d %9.1f %-5s %-30.30s %-30.30s", ++ordinal, static_cast<int>(e.slot),
                        e.slot == 5 ? "->" : "", e.listId, e.frequency / 10.0, e.frequency >= 0 ? "GET" : "UNSOL",
                        e.reply.service, e.client.service);
        expected += fmt("\n                                     %-30.30s %-30.30s", e.reply.node, e.client.node);
    }
    EXPECT_EQ(takeFiled(), (std::vector<Filed>{{7029, expected}}));
}

TEST_F(ListReports, UnsolTableWithGapsAndTheArrowRow) {
    setTaskKind(kTaskStore);
    UnsolList& unsol = *tables_.unsol;
    unsol.highestEntry = 4;
    for (std::uint32_t slot : {0u, 3u}) {
        unsol.slots[slot].inUse = 1;
        unsol.slots[slot].listId = slot == 0 ? -9 : 40000;
        unsol.slots[slot].destination = slot == 0 ? kReplyA : kReplyB;
        unsol.slots[slot].requestSource = slot == 0 ? kClientA : kClientB;
    }
    const StatusBlock clean = block({});
    diag::reportUnsolListChange(&unsol, 3, 2, nullptr, &clean);
    std::string expected = "\nKV.58 Store task removed entry 3 in unsol list\n"
                           "\n     Entry    Listid Reply Destination              Requesting Source"
                           "\n                     Service/Node                   Service/Node"
                           "\n---- -----    ------ ------------------------------ ------------------------------";
    expected += fmt("\n%4d %5d %2s %6d %-30.30s %-30.30s", 1, 0, "", -9, kReplyA.service, kClientA.service);
    expected += fmt("\n                     %-30.30s %-30.30s", kReplyA.node, kClientA.node);
    expected += fmt("\n%4d %5d %2s %6d %-30.30s %-30.30s", 2, 3, "->", 40000, kReplyB.service, kClientB.service);
    expected += fmt("\n                     %-30.30s %-30.30s", kReplyB.node, kClientB.node);
    EXPECT_EQ(takeFiled(), (std::vector<Filed>{{7030, expected}}));
}

TEST_F(ListReports, StoreTableWithGapsTheArrowRowAndLongFileNames) {
    setTaskKind(kTaskForward);
    StoreList& store = *tables_.store;
    store.highestEntry = 3;
    const std::string longName = "D:\\" + std::string(1019, 'L');  // fills the field to its NUL
    const struct {
        std::uint32_t slot;
        std::string file;
        AddressRecord dest;
    } entries[] = {{0, "C:\\ZENTO\\ZENTO_STORE_A.SVC", kReplyA}, {2, longName, kClientB}};
    for (const auto& e : entries) {
        store.slots[e.slot].existsInList = 1;
        setFixedText(store.slots[e.slot].FileName, sizeof store.slots[e.slot].FileName, e.file);
        store.slots[e.slot].msgDest = e.dest;
    }
    store.slots[1].existsInList = 2;  // shown: any value but 0
    store.slots[1].msgDest = kReplyB;
    diag::reportStoreListChange(&store, 2, 1, nullptr, nullptr);
    std::string expected = "\nKV.58 Forward task added/modified entry 2 in store list\n"
                           "\n     Entry    Destination                    File name"
                           "\n              Service/Node"
                           "\n---- -----    ------------------------------ ------------------------------";
    expected += fmt("\n%4d %5d %2s %-30.30s %-s", 1, 0, "", kReplyA.service, entries[0].file.c_str());
    expected += fmt("\n              %-30.30s", kReplyA.node);
    expected += fmt("\n%4d %5d %2s %-30.30s %-s", 2, 1, "", kReplyB.service, "");
    expected += fmt("\n              %-30.30s", kReplyB.node);
    expected += fmt("\n%4d %5d %2s %-30.30s %-s", 3, 2, "->", kClientB.service, longName.c_str());
    expected += fmt("\n              %-30.30s", kClientB.node);
    EXPECT_EQ(takeFiled(), (std::vector<Filed>{{7059, expected}}));
}

TEST_F(ListReports, FileNamesAreCutToTheirCopyOrShownAsStars) {
    setTaskKind(kTaskStore);
    const std::string longName(300, 'f');
    const StatusBlock clean = block({});
    const StatusBlock failed = block({{13, 13012}});
    diag::reportScanListChange(tables_.scan.get(), -1, 4, longName.c_str(), &clean);
    diag::reportScanListChange(tables_.scan.get(), -1, 3, nullptr, &clean);
    diag::reportScanListChange(tables_.scan.get(), -1, 5, "", &clean);
    diag::reportScanListChange(tables_.scan.get(), -1, 4, longName.c_str(), &failed);
    diag::reportScanListChange(tables_.scan.get(), -1, 4, nullptr, &failed);
    const std::string header = "\n"
                               "\n     Entry    Listid Frequency Type  Reply Destination              Requesting Source"
                               "\n                     (sec)           Service/Node                   Service/Node"
                               "\n---- -----    ------ --------- ----- ------------------------------ "
                               "------------------------------";
    const std::string failure = "\nKV.58 Store task detected the following scan list error while Saving scan file";
    EXPECT_EQ(takeFiled(),
              (std::vector<Filed>{
                  {7032, "\nKV.58 Store task saved scan list to file " + longName.substr(0, 255) + header},
                  {7031, "\nKV.58 Store task loaded scan list from file **********" + header},
                  {7033, "\nKV.58 Store task removing scan list file **********" + header},
                  {7027, failure + "\nUnsol list file name = " + longName.substr(0, 255) + "\n" + entryLine(13, 13012)},
                  {7027, failure + "\n" + entryLine(13, 13012)}}));
}

std::unique_ptr<char[]> noMemory(std::size_t) { return nullptr; }

TEST_F(ListReports, WithoutABufferFailuresGoToStandardOutputAndSuccessesFileTheirFirstLine) {
    setTaskKind(kTaskStore);
    diag::installReportBufferSource(noMemory);
    const StatusBlock failed = block({{13, 13062}});
    const StatusBlock clean = block({});
    testing::internal::CaptureStdout();
    diag::reportStoreListChange(tables_.store.get(), -1, 4, "STORE.SVC", &failed);
    diag::reportUnsolListChange(tables_.unsol.get(), -1, 3, "UNSOL.SVC", &failed);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "\nKV.58 Store task detected the following store list error while Saving store file"
              "\nUnsol list file name = STORE.SVC\n\n" + entryLine(13, 13062) +
                  "\n"
                  "\nKV.58 Store task detected the following scan list error while Loading unsol file"
                  "\nUnsol list file name = UNSOL.SVC\n" + entryLine(13, 13062) + "\n");
    diag::reportStoreListChange(tables_.store.get(), -1, 4, "STORE.SVC", &clean);
    EXPECT_EQ(takeFiled(), (std::vector<Filed>{{7052, "\nKV.58 Store task saved store list to file STORE.SVC"
                                                      "\n(the list is not shown: no memory for its text)"}}));
}

}  // namespace
