// The unsol and store list files against byte images written out here:
// saved bytes, loaded entries, what a loader refuses, the store list's
// preparation and dump, and the entry routines.
#include "snf/list_files.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "lists/list_records.h"
#include "msglib/request_layout.h"
#include "snf/list_files_codes.h"
#include "tests/snf/list_files_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using namespace listtest;
using testsupport::Entries;
using testsupport::statusEntries;

constexpr std::uint32_t kUnsolSignature = 0x5A5AA5A7;
constexpr std::uint32_t kStoreSignature = 0x5A5AA5A8;

const UnsolFields kUnsolA{7, "DEST1", "DSVC1", "CLIENT1", "CSVC1", 1, 1};
const UnsolFields kUnsolB{-9, "DEST2", "DSVC2", "CLIENT2.example", "CSVC2", 1, 0};
const UnsolFields kUnsolC{300, "DEST3", "DSVC3", "CLIENT3", "CSVC3", 1, 1};

// A read that met the end of the file (its 0 cause moved behind the first
// code above 0), then the loader's code.
Entries endOfFile(std::int32_t code) { return {{13, 13182}, {1, 0}, {13, code}}; }

std::unique_ptr<UnsolList> unsolTable(std::initializer_list<std::pair<std::uint32_t, UnsolFields>> slots,
                                      std::uint32_t highestEntry) {
    auto table = newUnsolList();
    for (const auto& [slot, fields] : slots) table->slots[slot] = unsolEntry(fields);
    table->highestEntry = highestEntry;
    return table;
}

void expectUnsol(const UnsolListEntry& got, const UnsolFields& want) {
    const UnsolListEntry expected = unsolEntry(want);
    EXPECT_EQ(got.listId, expected.listId);
    EXPECT_EQ(std::memcmp(&got.destination, &expected.destination, 64), 0);
    EXPECT_EQ(std::memcmp(&got.requestSource, &expected.requestSource, 64), 0);
    EXPECT_EQ(got.inUse, expected.inUse);
    EXPECT_EQ(got.flag136, expected.flag136);
}

class UnsolListFile : public ListFileTest {};

TEST_F(UnsolListFile, SavesTheSlotsInUseInOrderAndLoadsThemBack) {
    UnsolFields unused = kUnsolC;
    unused.inUse = 0;
    auto table = unsolTable({{0, kUnsolA}, {1, unused}, {2, kUnsolB}, {5, kUnsolC}}, 6);
    StatusBlock status = testsupport::dirtyStatus();
    saveUnsolList(*table, unsolFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(fileBytes(unsolFile_),
              concat({header(kUnsolSignature, 1, 3), unsolImage(kUnsolA), unsolImage(kUnsolB), unsolImage(kUnsolC)}));
    EXPECT_FALSE(snftest::readText(unsolFile_ + ".new")) << "nothing left beside the list";
    EXPECT_EQ(takeFiledCodes(), std::vector<int>{7042}) << "the Store task's report of a saved unsol list";

    auto loaded = unsolTable({{7, kUnsolA}}, 9);
    loadUnsolList(*loaded, unsolFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(loaded->highestEntry, 3u);
    expectUnsol(loaded->slots[0], kUnsolA);
    expectUnsol(loaded->slots[1], kUnsolB);
    expectUnsol(loaded->slots[2], kUnsolC);
    EXPECT_EQ(loaded->slots[7].inUse, 1u) << "slots beyond the file's entries are not touched";
    EXPECT_EQ(takeFiledCodes(), std::vector<int>{7041});
}

TEST_F(UnsolListFile, LoadedEntriesAreInUseWithTheirFlagMadeZeroOrOne) {
    UnsolFields stored = kUnsolA;
    stored.inUse = 0;
    stored.flag136 = 5;
    writeBytes(unsolFile_, concat({header(0xDEADBEEF, 77, 1), unsolImage(stored)}));
    auto table = newUnsolList();
    StatusBlock status;
    loadUnsolList(*table, unsolFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{}) << "the unsol header's signature and revision are not tested";
    EXPECT_EQ(table->slots[0].inUse, 1u);
    EXPECT_EQ(table->slots[0].flag136, 0u);
}

TEST_F(UnsolListFile, ASaveOverALongerFileLeavesOnlyTheNewList) {
    auto table = newUnsolList();
    for (std::uint32_t i = 0; i < 10; ++i) table->slots[i] = unsolEntry(kUnsolA);
    table->highestEntry = 10;
    StatusBlock status;
    saveUnsolList(*table, unsolFile_.c_str(), status);
    ASSERT_EQ(fileBytes(unsolFile_).size(), 12u + 10 * 140);
    for (std::uint32_t i = 3; i < 10; ++i) table->slots[i].inUse = 0;
    saveUnsolList(*table, unsolFile_.c_str(), status);
    EXPECT_EQ(fileBytes(unsolFile_).size(), 12u + 3 * 140) << "the file is replaced, not written over";
    auto loaded = newUnsolList();
    loadUnsolList(*loaded, unsolFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(loaded->highestEntry, 3u);
}

// A loader reads exactly what the header promises and refuses what the file
// cannot hold, without writing past the table.
TEST_F(UnsolListFile, LoaderRefusals) {
    const Bytes entry = unsolImage(kUnsolA);
    struct Case {
        const char* what;
        Bytes file;
        Entries status;
        std::uint32_t highestEntry;  // after, from 9 before
        std::uint32_t loaded;        // slots overwritten from 0 on
    } cases[] = {
        {"two entries and bytes beyond them", concat({header(kUnsolSignature, 1, 2), entry, entry, entry}), {}, 2, 2},
        {"no entries", header(kUnsolSignature, 1, 0), {}, 0, 0},
        {"a header cut short", Bytes(5, 0xA7), endOfFile(13043), 9, 0},
        {"more entries than the table's slots", concat({header(kUnsolSignature, 1, 15001), entry}), {{13, 13043}},
         9, 0},
        {"an entry count near 2^32", header(kUnsolSignature, 1, 0xFFFFFFFF), {{13, 13043}}, 9, 0},
        {"three entries promised, two and a half there",
         concat({header(kUnsolSignature, 1, 3), entry, entry, Bytes(70, 1)}), endOfFile(13044), 9, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(unsolFile_, c.file);
        UnsolFields before = kUnsolC;
        auto table = newUnsolList();
        for (std::uint32_t i = 0; i < 9; ++i) table->slots[i] = unsolEntry(before);
        table->highestEntry = 9;
        StatusBlock status;
        loadUnsolList(*table, unsolFile_.c_str(), status);
        EXPECT_EQ(statusEntries(status), c.status);
        EXPECT_EQ(table->highestEntry, c.highestEntry);
        for (std::uint32_t i = 0; i < 9; ++i) EXPECT_EQ(table->slots[i].listId, i < c.loaded ? 7 : 300) << i;
    }
    ::unlink(unsolFile_.c_str());
    auto table = newUnsolList();
    table->highestEntry = 4;
    StatusBlock status = testsupport::dirtyStatus();
    loadUnsolList(*table, unsolFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{}) << "a missing unsol list is no error";
    EXPECT_EQ(table->highestEntry, 4u);
}

// What is saved when no entry is in use: nothing, and an existing file goes.
TEST_F(ListFileTest, AListWithNoEntryInUseRemovesItsFile) {
    struct Case {
        const char* what;
        bool store;
        bool fileBefore;
        std::vector<int> filed;  // diagnostic codes: texts of 7079, then the report
    } cases[] = {
        {"unsol, no file", false, false, {7042}},
        {"unsol, a file", false, true, {7043}},
        {"store, no file", true, false, {7079, 7052}},
        {"store, a file", true, true, {7079, 7079, 7053}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string& file = c.store ? storeFile_ : unsolFile_;
        if (c.fileBefore) snftest::writeText(file, "old list");
        snftest::writeText(file + ".new", "left by a crash");
        StatusBlock status = testsupport::dirtyStatus();
        if (c.store) {
            auto table = newStoreList();
            table->slots[3].existsInList = 2;  // only 1 counts as in use
            saveStoreList(*table, file.c_str(), status);
        } else {
            auto table = newUnsolList();
            saveUnsolList(*table, file.c_str(), status);
        }
        EXPECT_EQ(statusEntries(status), Entries{});
        EXPECT_FALSE(snftest::readText(file));
        EXPECT_EQ(snftest::readText(file + ".new").has_value(), !c.fileBefore)
            << "a leftover new file goes with the list";
        EXPECT_EQ(takeFiledCodes(), c.filed);
        ::unlink((file + ".new").c_str());
    }
}

TEST_F(ListFileTest, FileNamesThatAreNullOrEmpty) {
    auto unsol = newUnsolList();
    auto store = newStoreList();
    unsol->slots[0] = unsolEntry(kUnsolA);
    store->slots[0] = storeEntry({.fileName = "F", .node = "N", .service = "S"});
    std::FILE* sink = std::tmpfile();
    struct Case {
        const char* what;
        std::function<void(const char*, StatusBlock&)> call;
        std::int32_t nullCode, emptyCode;
    } cases[] = {
        {"saveUnsolList", [&](const char* f, StatusBlock& s) { saveUnsolList(*unsol, f, s); }, 13010, 13011},
        {"loadUnsolList", [&](const char* f, StatusBlock& s) { loadUnsolList(*unsol, f, s); }, 13040, 13041},
        {"saveStoreList", [&](const char* f, StatusBlock& s) { saveStoreList(*store, f, s); }, 13060, 13061},
        {"loadStoreList", [&](const char* f, StatusBlock& s) { loadStoreList(*store, f, s); }, 13051, 13052},
        {"dumpStoreList", [&](const char* f, StatusBlock& s) { dumpStoreList(*store, f, sink, s); }, 13051, 13052},
    };
    for (const Case& c : cases) {
        StatusBlock status;
        c.call(nullptr, status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, c.nullCode}})) << c.what;
        c.call("", status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, c.emptyCode}})) << c.what;
    }
    EXPECT_EQ(std::ftell(sink), 0) << "a failed load prints nothing";
    std::fclose(sink);
}

// ---- The store list --------------------------------------------------------------

const StoreFields kStoreA{.fileName = "/old/place/ZENTO_STORE_CLIENT1.DSVC",
                          .word1024 = 0x11223344,
                          .fileHandle = 17,
                          .offset = 0x123456789AB,
                          .node = "client1",
                          .service = "DSVC",
                          .isComOk = 0,
                          .isAcked = 0,
                          .existsInList = 1,
                          .existsInDisk = 0,
                          .needToRetry = 1,
                          .maxSize = 5,
                          .maxPeriod = 6,
                          .word1132 = 0x55667788,
                          .expirationMs = 250,
                          .expirationSeconds = 1700000000,
                          .flag1144 = 7,
                          .flag1148 = 1};
const StoreFields kStoreB{.fileName = "B", .fileHandle = -1, .node = "client2.example", .service = "DSVC2",
                          .isAcked = 1, .flag1144 = 1, .flag1148 = 2};

class StoreListFile : public ListFileTest {};

TEST_F(StoreListFile, SavesTheEntriesInUseAcknowledgedAndLoadsThemPrepared) {
    snftest::setRegistryDword("Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\CLIENT1", "MaxSize", 700);
    snftest::setRegistryDword("Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\CLIENT1", "MaxPeriod", 3600);
    auto table = newStoreList();
    table->slots[0] = storeEntry(kStoreA);
    StoreFields notInUse = kStoreB;
    notInUse.existsInList = 2;
    table->slots[1] = storeEntry(notInUse);
    table->slots[3] = storeEntry(kStoreB);
    table->highestEntry = 4;
    StatusBlock status = testsupport::dirtyStatus();
    saveStoreList(*table, storeFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    StoreFields savedA = kStoreA;
    savedA.isAcked = 1;
    EXPECT_EQ(fileBytes(storeFile_), concat({header(kStoreSignature, 1, 2), storeImage(savedA), storeImage(kStoreB)}));
    EXPECT_EQ(table->slots[0].isAcked, 1u);
    EXPECT_EQ(table->slots[1].isAcked, 1u) << "untouched";
    const std::vector<diagtest::Filed> filed = takeFiled();
    ASSERT_EQ(filed.size(), 2u);
    EXPECT_EQ(filed[0], (diagtest::Filed{7079, "Messages to save. Open READ|WRITE|CREATE file " + storeFile_}));
    EXPECT_EQ(filed[1].code, 7052);

    auto loaded = newStoreList();
    loadStoreList(*loaded, storeFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(loaded->highestEntry, 2u);
    const std::vector<diagtest::Filed> loadFiled = takeFiled();
    ASSERT_EQ(loadFiled.size(), 2u);
    EXPECT_EQ(loadFiled[0], (diagtest::Filed{7079, "Load. Open READONLY scan file " + storeFile_}));
    EXPECT_EQ(loadFiled[1].code, 7051);
    // Each entry as prepared: the fields the load sets, the rest as stored.
    const auto prepared = [](StoreFields f, std::int32_t maxSize, std::int32_t maxPeriod) {
        f.fileName = StoreFileName(makeAddress(f.node, f.service));
        f.fileHandle = -1;
        f.offset = 0;
        f.isComOk = f.isAcked = f.existsInList = f.existsInDisk = 1;
        f.needToRetry = 0;
        f.maxSize = maxSize;
        f.maxPeriod = maxPeriod;
        f.flag1144 = f.flag1144 <= 1 ? f.flag1144 : 0;
        f.flag1148 = f.flag1148 <= 1 ? f.flag1148 : 0;
        return storeImage(f);
    };
    const Bytes want[] = {prepared(kStoreA, 700, 3600), prepared(kStoreB, -1, -1)};
    for (std::uint32_t i = 0; i < 2; ++i) {
        Bytes got(1152);
        encodeStoreListEntry(loaded->slots[i], std::span<std::uint8_t, 1152>(got.data(), 1152));
        EXPECT_EQ(got, want[i]) << i;
    }
}

TEST_F(StoreListFile, LoaderRefusals) {
    const Bytes entry = storeImage(kStoreB);
    struct Case {
        const char* what;
        std::optional<Bytes> file;  // none: missing
        Entries status;
        std::uint32_t highestEntry;  // after, from 5 before
    } cases[] = {
        {"missing", std::nullopt, {{13, 13161}, {13, 13050}}, 5},
        {"a header cut short", Bytes(11, 0), endOfFile(13054), 5},
        {"more entries than the table's slots", concat({header(kStoreSignature, 1, 15001), entry}), {{13, 13054}}, 5},
        {"an entry cut short", concat({header(kStoreSignature, 1, 1), Bytes(entry.begin(), entry.end() - 1)}),
         endOfFile(13055), 5},
        {"any signature", concat({header(1, 2, 1), entry}), {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(storeFile_.c_str());
        if (c.file) writeBytes(storeFile_, *c.file);
        auto table = newStoreList();
        table->highestEntry = 5;
        StatusBlock status;
        loadStoreList(*table, storeFile_.c_str(), status);
        EXPECT_EQ(statusEntries(status), c.status);
        EXPECT_EQ(table->highestEntry, c.highestEntry);
    }
}

// A load looks each node's configuration up once, yet every entry gets what
// GetSnfMaxSize and GetSnfMaxPeriod would give it at its turn: the cached
// client's current values first, the registry's after another node, and a
// registry that fails is asked (and logs) at each turn as before.
class StoreListLoadConfig : public ListFileTest {
protected:
    struct Expected {
        const char* node;
        std::int32_t maxSize, maxPeriod;
    };
    // Saves a list of the entries' nodes, loads it, checks each entry; the
    // registry calls the load made.
    std::uint64_t loadAndCheck(std::initializer_list<Expected> entries) {
        auto table = newStoreList();
        std::uint32_t n = 0;
        for (const Expected& e : entries) table->slots[n++] = storeEntry({.fileName = "", .node = e.node, .service = "DSVC"});
        table->highestEntry = n;
        StatusBlock status;
        saveStoreList(*table, storeFile_.c_str(), status);
        EXPECT_EQ(statusEntries(status), Entries{});
        auto loaded = newStoreList();
        const std::uint64_t before = platform::registryCallCount();
        loadStoreList(*loaded, storeFile_.c_str(), status);
        const std::uint64_t calls = platform::registryCallCount() - before;
        EXPECT_EQ(statusEntries(status), Entries{});
        n = 0;
        for (const Expected& e : entries) {
            const StoreListEntry& got = loaded->slots[n++];
            EXPECT_EQ(got.maxSize, e.maxSize) << n << " " << e.node;
            EXPECT_EQ(got.maxPeriod, e.maxPeriod) << n << " " << e.node;
        }
        return calls;
    }
    void applyRequest(const char* node, std::int32_t maxSize, std::int32_t maxPeriod) {
        std::uint8_t body[kSnfRequestSize] = {};
        encodeI32(body + 8, maxSize);
        encodeI32(body + 12, maxPeriod);
        StatusBlock status;
        ApplySnfCfgRequest(SnfRequest(body), makeAddress(node, "DSVC"), status);
    }
    static constexpr const char* kKey = "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\";
};

TEST_F(StoreListLoadConfig, EachEntryGetsWhatTheGettersGiveAtItsTurn) {
    snftest::setRegistryDword(std::string(kKey) + "Alpha", "MaxSize", 10);
    snftest::setRegistryDword(std::string(kKey) + "Alpha", "MaxPeriod", 11);
    snftest::setRegistryDword(std::string(kKey) + "BETA", "MaxPeriod", 21);  // without MaxSize both are absent
    snftest::setRegistryDword(std::string(kKey) + "gamma", "MaxSize", 30);
    applyRequest("ALPHA", 99, 98);  // cached, not in the registry
    const std::uint64_t once = loadAndCheck({{"alpha", 99, 98},
                                             {"beta", -1, -1},
                                             {"ALPHA", 10, 11},
                                             {"Gamma", 30, -1},
                                             {"delta", -1, -1},
                                             {"alpha", 10, 11}});
    EXPECT_EQ(GetSnfMaxSize(makeAddress("ALPHA", "x")), 10) << "the last entry's client is the cached one";
    EXPECT_EQ(GetSnfMaxPeriod(makeAddress("alpha", "x")), 11);

    applyRequest("ALPHA", 99, 98);
    const std::uint64_t twice = loadAndCheck({{"alpha", 99, 98}, {"beta", -1, -1}, {"ALPHA", 10, 11}, {"Gamma", 30, -1},
                                              {"delta", -1, -1}, {"alpha", 10, 11}, {"beta", -1, -1},
                                              {"gamma", 30, -1}, {"Delta", -1, -1}, {"alpha", 10, 11}});
    EXPECT_EQ(twice, once) << "each node's registry values are read once a load";
}

TEST_F(StoreListLoadConfig, AFaultyRegistryIsAskedAndLoggedAtEveryTurn) {
    auto table = newStoreList();
    const char* nodes[] = {"alpha", "beta", "alpha"};
    for (std::uint32_t i = 0; i < 3; ++i) table->slots[i] = storeEntry({.fileName = "", .node = nodes[i], .service = "DSVC"});
    table->highestEntry = 3;
    StatusBlock status;
    saveStoreList(*table, storeFile_.c_str(), status);
    snftest::writeText(home_.file("bad.db"), std::string(4096, 'Z'));
    ::setenv("ZENTO_REGISTRY", home_.file("bad.db").c_str(), 1);
    loadStoreList(*table, storeFile_.c_str(), status);
    ::unsetenv("ZENTO_REGISTRY");
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(table->slots[2].maxSize, -1);
    const std::string logged = log("kernel.log");
    const std::string line = "[ReadRegSnfCfg] [Error Opening key=[Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG]";
    std::size_t count = 0;
    for (std::size_t at = logged.find(line); at != std::string::npos; at = logged.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 3u) << logged;
}

TEST_F(StoreListFile, DumpPrintsTheFileAsStoredAndKeepsItInTheTable) {
    writeBytes(storeFile_, concat({header(kStoreSignature, 1, 2), storeImage(kStoreA), storeImage(kStoreB)}));
    auto table = newStoreList();
    std::FILE* out = std::tmpfile();
    StatusBlock status;
    dumpStoreList(*table, storeFile_.c_str(), out, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    std::rewind(out);
    std::string printed;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) printed.append(buffer, n);
    std::fclose(out);
    EXPECT_EQ(printed,
              "Signature = 1515890088, Revision = 1, Number of Entries = 2\n\n"
              "Entry 0\nFileName = */old/place/ZENTO_STORE_CLIENT1.DSVC*\nFileHandle = 17\noffset = 1250999896491\n"
              "msgDest = client1-DSVC\nisComOk = 0\nisAcked = 0\nexistsInList = 1\nexistsInDisk = 0\n"
              "needToRetry = 1\nmaxSize = 5\nmaxPeriod = 6\nexpirationTime = 1700000000.250\n\n"
              "Entry 1\nFileName = *B*\nFileHandle = -1\noffset = 0\nmsgDest = client2.example-DSVC2\nisComOk = 0\n"
              "isAcked = 1\nexistsInList = 1\nexistsInDisk = 0\nneedToRetry = 0\nmaxSize = 0\nmaxPeriod = 0\n"
              "expirationTime = 0.0\n\n");
    EXPECT_EQ(table->highestEntry, 2u);
    EXPECT_EQ(table->slots[0].FileHandle, 17) << "the table holds the entries as stored";
}

// ---- Entries ---------------------------------------------------------------------

// A GET request from client.
Message request(const AddressRecord& client, std::int32_t listId = 1) {
    static const char kDevice[32] = "DEVICE";
    std::uint8_t tpl[24];
    encodeDescriptor(tpl, {kDescStruct, 0, 1, 1});
    encodeDescriptor(tpl + 12, {kDescFloat, 0, 4, 1});
    const std::uint8_t names[2] = {'T', 0};
    GetRequestFields fields;
    fields.head.messageType = 1;
    fields.head.destination = makeAddress("SERVERNODE", "SCANNER");
    fields.head.source = client;
    fields.head.requestSource = client;
    fields.items = {0, listId, kDevice, 0, 1, 10};
    fields.dataTemplate = tpl;
    fields.tagNames = names;
    Message out;
    EXPECT_EQ(writeGetRequest(fields, out), 0);
    return out;
}

TEST_F(ListFileTest, UnsolEntriesAreAddedRefreshedAndRemovedByListIdAndClient) {
    const AddressRecord client1 = makeAddress("CLIENT1", "CSVC1");
    const AddressRecord client2 = makeAddress("CLIENT2", "CSVC2");
    const AddressRecord dest = makeAddress("DEST", "DSVC");
    auto table = newUnsolList();
    table->slots[0] = unsolEntry({-7, "X", "X", "CLIENT2", "CSVC2", 1, 0});
    table->slots[2] = unsolEntry({-7, "X", "X", "CLIENT1.domain", "CSVC1", 1, 0});
    table->highestEntry = 3;
    StatusBlock status;
    addUnsolEntry(*table, 7, 999, dest, request(client1).view(), 1, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(table->slots[2].listId, 7) << "the same client's entry, found past a free slot, holds the id as given";
    EXPECT_EQ(table->slots[2].flag136, 1u);
    EXPECT_EQ(std::memcmp(&table->slots[2].destination, &dest, 64), 0);
    EXPECT_EQ(table->slots[1].inUse, 0u);
    addUnsolEntry(*table, 8, 0, dest, request(client1).view(), 0, status);
    EXPECT_EQ(table->slots[1].listId, 8) << "another list takes the first free slot";
    EXPECT_EQ(table->highestEntry, 3u);

    removeUnsolEntry(*table, 7, request(client2).view(), status);
    EXPECT_EQ(table->slots[0].inUse, 0u);
    EXPECT_EQ(table->slots[0].listId, 0);
    EXPECT_EQ(table->slots[0].requestSource.node[0], '\0');
    removeUnsolEntry(*table, 7, request(client2).view(), status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13005}}));
    EXPECT_EQ(takeFiledCodes(), (std::vector<int>{7039, 7039, 7030}));
}

TEST_F(ListFileTest, StoreEntriesAreAddedMarkedAndTheirRemovalTold) {
    auto table = newStoreList();
    table->slots[1] = storeEntry(kStoreA);
    table->highestEntry = 2;
    StatusBlock status;
    StoreListEntry again = storeEntry(kStoreB);
    again.msgDest = makeAddress("client1.other", "DSVC");
    addStoreEntry(*table, again, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_STREQ(table->slots[1].FileName, kStoreA.fileName.c_str()) << "the listed entry is kept";
    EXPECT_EQ(table->slots[1].existsInDisk, 1u);
    EXPECT_EQ(table->slots[0].existsInList, 0u);
    addStoreEntry(*table, storeEntry(kStoreB), status);
    EXPECT_STREQ(table->slots[0].FileName, "B") << "a new destination is copied whole into the first free slot";
    EXPECT_EQ(takeFiledCodes(), (std::vector<int>{7049, 7049}));

    notifyStoreFileRemoval(*table, makeAddress("client1", "DSVC"), status);
    notifyStoreFileRemoval(*table, makeAddress("nobody", "DSVC"), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    const std::vector<diagtest::Filed> filed = takeFiled();
    ASSERT_EQ(filed.size(), 2u);
    EXPECT_EQ(filed[0].code, 7050);
    EXPECT_EQ(filed[1], (diagtest::Filed{7079, "KV.58 Store task notified to remove Store file\n  List Entry   = 1\n"
                                                "  Store File   = /old/place/ZENTO_STORE_CLIENT1.DSVC"}));
    EXPECT_EQ(table->slots[1].existsInList, 1u) << "the table does not change";
}

TEST_F(ListFileTest, ScanEntriesOfAListTakeItsPositiveId) {
    auto table = newScanList();
    const std::int32_t held[] = {-5, 5, 6, -5};
    for (std::uint32_t i = 0; i < 4; ++i) {
        table->slots[i].listId = held[i];
        table->slots[i].inUse = i < 3 ? 1 : 0;
        table->slots[i].requestMsg = request(makeAddress("C", "S"), held[i]);
    }
    table->highestEntry = 4;
    StatusBlock status;
    setScanEntryListId(*table, -5, status);
    EXPECT_EQ(table->slots[0].listId, -5) << "a negative id does nothing";
    setScanEntryListId(*table, 5, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    const std::int32_t after[] = {5, 5, 6, -5};
    for (std::uint32_t i = 0; i < 4; ++i) {
        GetRequestView view;
        ASSERT_EQ(readGetRequest(table->slots[i].requestMsg.view(), view), 0);
        EXPECT_EQ(table->slots[i].listId, after[i]) << i;
        EXPECT_EQ(view.items.listId, after[i]) << i;
    }
}

}  // namespace
