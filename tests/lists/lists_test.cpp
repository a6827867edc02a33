// The list tables: record layouts against byte images written out here
// offset by offset, and the slot rules (search range, matching, adding,
// the full table) as one table of cases.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "lists/list_records.h"
#include "lists/list_rules.h"
#include "msglib/msglib.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;
using testsupport::statusEntries;

void put32(Bytes& image, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put64(Bytes& image, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void putText(Bytes& image, std::size_t at, const char* text) { std::memcpy(&image[at], text, std::strlen(text)); }
void putAddress(Bytes& image, std::size_t at, const char* node, const char* service) {
    putText(image, at, node);
    putText(image, at + 32, service);
}

// Every field set to a value of its own, so that a swapped or shifted field
// shows.
ScanListEntry sampleScanEntry() {
    ScanListEntry entry;
    entry.listId = -7;
    entry.frequency = -50;
    entry.reserved8[0] = 0x01020304;
    entry.reserved8[1] = 0x05060708;
    entry.replyDestination = makeAddress("REPLYNODE", "REPLYSVC");
    entry.requestSource = makeAddress("CLIENT.example", "DLGPCLIENT");
    allocateMessage(entry.requestMsg, 300);
    allocateMessage(entry.dummyTagMsg, 200);
    entry.requestLength = 300;
    entry.word156 = 0xA1B2C3D4;
    entry.inUse = 1;
    entry.flag164 = 1;
    return entry;
}
Bytes scanImage() {
    Bytes image(168, 0);
    put32(image, 0, static_cast<std::uint32_t>(-7));
    put32(image, 4, static_cast<std::uint32_t>(-50));
    put32(image, 8, 0x01020304);
    put32(image, 12, 0x05060708);
    putAddress(image, 16, "REPLYNODE", "REPLYSVC");
    putAddress(image, 80, "CLIENT.example", "DLGPCLIENT");
    put32(image, 152, 300);
    put32(image, 156, 0xA1B2C3D4);
    put32(image, 160, 1);
    put32(image, 164, 1);
    return image;
}

UnsolListEntry sampleUnsolEntry() {
    UnsolListEntry entry;
    entry.listId = 123456;
    entry.destination = makeAddress("DESTNODE", "TSK_AREC");
    entry.requestSource = makeAddress("CLIENT", "DLGPCLIENT");
    entry.inUse = 1;
    entry.flag136 = 1;
    return entry;
}
Bytes unsolImage() {
    Bytes image(140, 0);
    put32(image, 0, 123456);
    putAddress(image, 4, "DESTNODE", "TSK_AREC");
    putAddress(image, 68, "CLIENT", "DLGPCLIENT");
    put32(image, 132, 1);
    put32(image, 136, 1);
    return image;
}

StoreListEntry sampleStoreEntry() {
    StoreListEntry entry;
    setFixedText(entry.FileName, sizeof entry.FileName, "C:\\ZENTO\\ZENTO_STORE_NODE.SVC");
    entry.word1024 = 0x11223344;
    entry.FileHandle = -1;
    entry.offset = 0x0000000500000007;
    entry.msgDest = makeAddress("DESTNODE", "TSK_AREC");
    entry.isComOk = 1;
    entry.isAcked = 0;
    entry.existsInList = 1;
    entry.existsInDisk = 1;
    entry.needToRetry = 1;
    entry.maxSize = 2048;
    entry.maxPeriod = -3;
    entry.word1132 = 0x55667788;
    entry.expirationTime = {999, 1700000000};
    entry.flag1144 = 1;
    entry.flag1148 = 0;
    return entry;
}
Bytes storeImage() {
    Bytes image(1152, 0);
    putText(image, 0, "C:\\ZENTO\\ZENTO_STORE_NODE.SVC");
    put32(image, 1024, 0x11223344);
    put32(image, 1028, 0xFFFFFFFF);
    put64(image, 1032, 0x0000000500000007);
    putAddress(image, 1040, "DESTNODE", "TSK_AREC");
    put32(image, 1104, 1);
    put32(image, 1112, 1);
    put32(image, 1116, 1);
    put32(image, 1120, 1);
    put32(image, 1124, 2048);
    put32(image, 1128, static_cast<std::uint32_t>(-3));
    put32(image, 1132, 0x55667788);
    put32(image, 1136, 999);
    put32(image, 1140, 1700000000);
    put32(image, 1144, 1);
    return image;
}

template <std::size_t N, class Entry, class Encode>
Bytes encoded(const Entry& entry, Encode encode) {
    Bytes out(N, 0xEE);  // every byte must be written
    encode(entry, std::span<std::uint8_t, N>(out.data(), N));
    return out;
}

// Address fields hold garbage: they mean nothing on disk and are not read.
Bytes withAddressGarbage(Bytes image, std::initializer_list<std::size_t> offsets) {
    for (std::size_t at : offsets) put32(image, at, 0xDEADBEEF);
    return image;
}

TEST(ListRecords, EncodeToTheirLayoutsAndDecodeBack) {
    {
        const Bytes image = scanImage();
        EXPECT_EQ(encoded<168>(sampleScanEntry(), encodeScanListEntry), image);
        const Bytes read = withAddressGarbage(image, {144, 148});
        const ScanListEntry decoded = decodeScanListEntry(std::span<const std::uint8_t, 168>(read.data(), 168));
        EXPECT_FALSE(decoded.requestMsg);
        EXPECT_FALSE(decoded.dummyTagMsg);
        EXPECT_EQ(encoded<168>(decoded, encodeScanListEntry), image);
    }
    {
        ScanEntryTags tags;
        tags.tagCount = 3;
        tags.word4 = 9;
        allocateBytes(tags.deadbands, 24);
        Bytes image(20, 0);
        put32(image, 0, 3);
        put32(image, 4, 9);
        EXPECT_EQ(encoded<20>(tags, encodeScanEntryTags), image);
        const Bytes read = withAddressGarbage(image, {8, 12, 16});
        const ScanEntryTags decoded = decodeScanEntryTags(std::span<const std::uint8_t, 20>(read.data(), 20));
        EXPECT_FALSE(decoded.deadbands || decoded.tagStates || decoded.lastValues);
        EXPECT_EQ(encoded<20>(decoded, encodeScanEntryTags), image);
    }
    {
        const Bytes image = unsolImage();
        EXPECT_EQ(encoded<140>(sampleUnsolEntry(), encodeUnsolListEntry), image);
        const UnsolListEntry decoded = decodeUnsolListEntry(std::span<const std::uint8_t, 140>(image.data(), 140));
        EXPECT_EQ(encoded<140>(decoded, encodeUnsolListEntry), image);
    }
    {
        const Bytes image = storeImage();
        EXPECT_EQ(encoded<1152>(sampleStoreEntry(), encodeStoreListEntry), image);
        const StoreListEntry decoded =
            decodeStoreListEntry(std::span<const std::uint8_t, 1152>(image.data(), 1152));
        EXPECT_EQ(encoded<1152>(decoded, encodeStoreListEntry), image);
    }
}

TEST(ListRecords, AStoreFileNameThatFillsItsFieldStaysTerminated) {
    Bytes image = storeImage();
    std::memset(image.data(), 'A', 1024);
    const StoreListEntry decoded = decodeStoreListEntry(std::span<const std::uint8_t, 1152>(image.data(), 1152));
    EXPECT_EQ(std::strlen(decoded.FileName), 1023u);
    EXPECT_EQ(decoded.word1024, 0x11223344u);
}

TEST(ListTables, FreeingARequestFreesItsTagState) {
    auto table = newScanList();
    auto tags = newScanTagArray();
    ASSERT_TRUE(table && tags);
    (*table).slots[4] = sampleScanEntry();
    ScanEntryTags& slotTags = (*tags)[4];
    slotTags.tagCount = 2;
    slotTags.word4 = 5;
    ASSERT_TRUE(allocateBytes(slotTags.deadbands, 16) && allocateBytes(slotTags.tagStates, 24) &&
                allocateBytes(slotTags.lastValues, 8));
    releaseScanRequest(table->slots[4], slotTags);
    EXPECT_FALSE(table->slots[4].requestMsg || table->slots[4].dummyTagMsg);
    EXPECT_FALSE(slotTags.deadbands || slotTags.tagStates || slotTags.lastValues);
    EXPECT_EQ(slotTags.tagCount, 0u);
    EXPECT_EQ(slotTags.word4, 0u);
}

// One add to an unsol table: the search for (list id, client) and the slot the
// add takes.
struct AddCase {
    const char* name;
    std::uint32_t highestEntry;
    std::vector<std::pair<std::uint32_t, std::int32_t>> inUse;  // slot, list id (client A)
    std::int32_t listId;
    const char* node;       // the adding client's node; service "CLIENT"
    std::int32_t match;     // what the search finds
    std::int32_t taken;     // the slot the add takes, -1 refused
    std::uint32_t highestAfter;
};

std::vector<std::pair<std::uint32_t, std::int32_t>> allSlots(std::uint32_t from, std::uint32_t to) {
    std::vector<std::pair<std::uint32_t, std::int32_t>> slots;
    for (std::uint32_t i = from; i < to; ++i) slots.emplace_back(i, 1000 + static_cast<std::int32_t>(i));
    return slots;
}

class ListRules : public testsupport::TempHomeTest {};

TEST_F(ListRules, SearchAndAddFollowTheTableRules) {
    const AddCase cases[] = {
        {"empty table: slot 0", 0, {}, 7, "NODEA", -1, 0, 1},
        {"negated id matches", 3, {{0, 1}, {2, -7}}, 7, "NODEA", 2, 2, 3},
        {"id matches its negation", 3, {{2, 7}}, -7, "NODEA", 2, 2, 3},
        {"domain part ignored", 3, {{2, 7}}, 7, "NODEA.example.com", 2, 2, 3},
        {"other client: first free", 3, {{0, 1}, {2, 7}}, 7, "NODEB", -1, 1, 3},
        {"match wins over an earlier free slot", 3, {{1, 1}, {2, 7}}, 7, "NODEA", 2, 2, 3},
        {"none free: slot highestEntry", 3, {{0, 1}, {1, 2}, {2, 3}}, 7, "NODEA", -1, 3, 4},
        {"entry beyond highestEntry not searched", 2, {{0, 1}, {1, 2}, {2, 7}}, 7, "NODEA", -1, 3, 4},
        {"highestEntry 0 searches every slot", 0, {{0, 1}, {9000, 7}}, 7, "NODEA", 9000, 9000, 9001},
        {"highestEntry 0 keeps entries above covered", 0, {{5, 1}}, 7, "NODEA", -1, 0, 6},
        {"last slot taken and covered", 14999, allSlots(0, 14999), 7, "NODEA", -1, 14999, 15000},
        {"full table refuses", 15000, allSlots(0, 15000), 7, "NODEA", -1, -1, 15000},
        {"full table at highestEntry 0 refuses", 0, allSlots(0, 15000), 7, "NODEA", -1, -1, 0},
        {"most negative id", 1, {{0, INT_MIN}}, INT_MIN, "NODEA", 0, 0, 1},
    };
    for (const AddCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto table = newUnsolList();
        ASSERT_TRUE(table);
        table->highestEntry = c.highestEntry;
        for (auto [slot, id] : c.inUse) {
            table->slots[slot].inUse = 1;
            table->slots[slot].listId = id;
            table->slots[slot].requestSource = makeAddress("NODEA", "CLIENT");
        }
        const AddressRecord client = makeAddress(c.node, "CLIENT");
        EXPECT_EQ(findUnsolEntry(*table, c.listId, client), c.match);
        const SlotSearch found = searchSlots(*table, [&](const UnsolListEntry& e) {
            return matchesListId(e.listId, c.listId) && sameAddress(e.requestSource, client) == 1;
        });
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(takeSlot(*table, ListKind::Unsol, found, status), c.taken);
        EXPECT_EQ(table->highestEntry, c.highestAfter);
        const Entries refused{{13, kListTableFull}};
        EXPECT_EQ(statusEntries(status), c.taken < 0 ? refused : Entries{});
    }
}

TEST_F(ListRules, AFullTableIsLoggedUnderTheApplicationName) {
    auto table = newStoreList();
    ASSERT_TRUE(table);
    for (StoreListEntry& entry : table->slots) entry.existsInList = 1;
    StatusBlock status;
    EXPECT_EQ(takeSlot(*table, ListKind::Store, SlotSearch{}, status), -1);
    std::ifstream log(home_.file("log/zento.log"));
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("] The store list is full: all 15000 slots are in use, the new entry is refused"),
              std::string::npos)
        << text.str();
}

TEST_F(ListRules, AStoreSlotIsInUseOnlyWhenExistsInListIsOne) {
    auto table = newStoreList();
    ASSERT_TRUE(table);
    table->highestEntry = 3;
    const AddressRecord dest = makeAddress("DEST", "TSK_AREC");
    for (std::uint32_t i = 0; i < 3; ++i) {
        table->slots[i].msgDest = dest;
        table->slots[i].existsInList = i;  // 0, 1, 2
    }
    EXPECT_EQ(findStoreEntry(*table, dest), 1);
    const SlotSearch found = searchSlots(*table, [](const StoreListEntry&) { return false; });
    EXPECT_EQ(found.firstFree, 0);
}

}  // namespace
