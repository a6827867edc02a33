// Scan entry creation: the dummy-tag copy of a request; the slot an add
// takes, the tag state it sets up and the list report it files.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scanlist_codes.h"
#include "tests/diag/diag_log.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using namespace scantest;
using testsupport::Entries;
using testsupport::statusEntries;

std::uint32_t namesOffset(MsgView request) {
    StatusBlock status;
    const char* first = ZENTO_SERVER_TAG(request, 0, nullptr, status);
    return static_cast<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(first) - request.data());
}

TEST(DummyTagMessage, NamesBecomeDashesAndTheLengthWordShrinks) {
    const struct {
        const char* what;
        Bytes names;
        std::uint32_t tags;
        std::int64_t shorter;  // request length - copy length
    } rows[] = {
        {"10 names of 8 characters", nameBlock({"ABCDEFGH", "B", "C", "D", "E", "F", "G", "H", "I", "J"}), 10, 70},
        {"one name of 1 character", nameBlock({"A"}), 1, 0},
        {"3 empty names", Bytes(3, 0), 3, -3},
        {"names of 600 characters", nameBlock({std::string(600, 'N'), "M"}), 2, 2 * 599},
    };
    for (const auto& row : rows) {
        Message request = getRequest(-7, row.names, row.tags, uniformTemplate(row.tags));
        Message dummy;
        allocateMessage(dummy, 5);  // whatever it held goes
        StatusBlock status = testsupport::dirtyStatus();
        makeDummyTagMessage(request.view(), dummy, status);
        ASSERT_EQ(statusEntries(status), Entries{}) << row.what;
        const std::uint32_t at = namesOffset(request.view());
        EXPECT_EQ(std::int64_t{request.size} - dummy.size, row.shorter) << row.what;
        EXPECT_EQ(ZENTO_SERVER_MSGSIZE(dummy.view()), dummy.size) << row.what;
        EXPECT_EQ(std::memcmp(dummy.data() + 8, request.data() + 8, at - 8), 0) << row.what;
        std::string dashes;
        for (std::uint32_t i = 0; i < row.tags; ++i) dashes += std::string("-\0", 2);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(dummy.data()) + at, dummy.size - at), dashes) << row.what;
        // The copy takes a list id as its request does.
        ZENTO_SERVER_SET_LISTID(dummy.span(), 7, status);
        EXPECT_FALSE(statusFailed(status)) << row.what;
    }
}

TEST(DummyTagMessage, FailuresLeaveNoCopy) {
    Message request = getRequest(1, nameBlock({"AB", "CD"}), 2, uniformTemplate(2));
    Message dummy;
    StatusBlock status;
    makeDummyTagMessage(request.view(), dummy, status);
    ASSERT_TRUE(dummy);
    Message again;
    allocateMessage(again, 5);
    makeDummyTagMessage(dummy.view(), again, status);  // its length no longer matches its table
    EXPECT_EQ(statusEntries(status), (Entries{{8, parsecode::kDataSizeMismatch},
                                              {8, parsecode::kUnableToParse},
                                              {13, scancode::kDummyNoNames}}));
    EXPECT_FALSE(again);
    makeDummyTagMessage(MsgView{}, dummy, status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kDummyNoRequest}}));
    EXPECT_FALSE(dummy);
}

class AddScanEntry : public diagtest::DiagTest {
protected:
    void SetUp() override {
        DiagTest::SetUp();
        setTaskKind(2);
    }
    // A request of the given list and client.
    static Message request(std::int32_t listId, const AddressRecord& from, std::uint32_t tags = 2) {
        Bytes block;
        for (std::uint32_t i = 0; i < tags; ++i) {
            Bytes field(4, 0);
            field[0] = 'T';
            field[1] = static_cast<std::uint8_t>('0' + i / 10);
            field[2] = static_cast<std::uint8_t>('0' + i % 10);
            block.insert(block.end(), field.begin(), field.end());
        }
        Message msg = getRequest(listId, block, tags, uniformTemplate(tags));
        ZENTO_SERVER_SET_MSGSRC(msg.span(), from);
        encodeAddress(msg.data() + 220, from);
        return msg;
    }
    // Frees every slot but the first.
    void removeAll() {
        for (std::uint32_t i = 1; i < list_->highestEntry; ++i) {
            releaseScanRequest(list_->slots[i], (*tags_)[i]);
            list_->slots[i] = {};
        }
        list_->highestEntry = 1;
    }
    static void encodeAddress(std::uint8_t* at, const AddressRecord& address) {
        std::memcpy(at, &address, sizeof address);
    }
    std::unique_ptr<ScanList> list_ = newScanList();
    std::unique_ptr<ScanTagArray> tags_ = newScanTagArray();
};

const AddressRecord kOther = makeAddress("OTHERNODE", "CLIENT");

TEST_F(AddScanEntry, SlotsTakenAndReused) {
    const struct {
        const char* what;
        std::function<void(ScanList&)> before;  // the table as the add finds it
        std::int32_t listId;
        AddressRecord from;
        std::int32_t slot;
        std::uint32_t highestEntry;
    } rows[] = {
        {"first list of an empty table", [](ScanList&) {}, 5, client(), 0, 1},
        {"the same list and client, past a free slot",
         [](ScanList& l) {
             l.highestEntry = 4;
             l.slots[3] = {};
             l.slots[3].inUse = 1;
             l.slots[3].listId = -5;
             l.slots[3].requestSource = client();
         },
         5, client(), 3, 4},
        {"another client's list of that id: the first free slot",
         [](ScanList& l) {
             l.highestEntry = 4;
             l.slots[3].inUse = 1;
             l.slots[3].listId = 5;
             l.slots[3].requestSource = kOther;
         },
         5, client(), 0, 4},
        {"no free slot below highestEntry: a new one",
         [](ScanList& l) {
             l.highestEntry = 2;
             l.slots[0].inUse = 1;
             l.slots[1].inUse = 1;
         },
         5, client(), 2, 3},
    };
    for (const auto& row : rows) {
        list_ = newScanList();
        row.before(*list_);
        takeFiled();
        Message msg = request(row.listId, row.from);
        StatusBlock status = testsupport::dirtyStatus();
        const std::int32_t slot = addScanEntry(*list_, *tags_, row.listId, -20, storeTask(), scanTask(), msg.view(),
                                               0, 2, deadbands({{1, 0.5f}, {2, 10.0f}}), 1, status);
        EXPECT_EQ(statusEntries(status), Entries{}) << row.what;
        EXPECT_EQ(slot, row.slot) << row.what;
        EXPECT_EQ(list_->highestEntry, row.highestEntry) << row.what;
        const std::vector<diagtest::Filed> filed = takeFiled();
        ASSERT_EQ(filed.size(), 1u) << row.what;
        EXPECT_EQ(filed[0].code, 7029) << row.what;
        EXPECT_NE(filed[0].text.find(diagtest::fmt("added/modified entry %d in scan list", row.slot)),
                  std::string::npos)
            << row.what;
    }
}

TEST_F(AddScanEntry, TheSlotHoldsTheRequestItsAddressesAndTagState) {
    Message msg = request(-7, client(), 3);
    ZENTO_SERVER_SET_REPDEST(msg.span(), makeAddress("CLIENTNODE", "CLIENT_UNS"));
    const Bytes bands = deadbands({{1, 0.5f}, {2, 10.0f}, {0, 0.0f}});
    StatusBlock status;
    const std::int32_t slot =
        addScanEntry(*list_, *tags_, -7, -50, storeTask(), scanTask(), msg.view(), 1, 3, bands, 1, status);
    ASSERT_EQ(slot, 0);
    ASSERT_FALSE(statusFailed(status));
    const ScanListEntry& entry = list_->slots[0];
    EXPECT_EQ(entry.listId, -7);
    EXPECT_EQ(entry.frequency, -50);
    EXPECT_EQ(entry.inUse, 1u);
    EXPECT_EQ(entry.flag164, 1u);
    EXPECT_EQ(entry.requestLength, msg.size);
    EXPECT_STREQ(entry.replyDestination.service, "CLIENT_UNS");
    EXPECT_STREQ(entry.requestSource.service, "CLIENT");
    EXPECT_STREQ(ZENTO_SERVER_MSGDEST(entry.requestMsg.view()).service, "STORE");
    EXPECT_STREQ(ZENTO_SERVER_REPDEST(entry.requestMsg.view()).service, "SCANNER");
    EXPECT_STREQ(ZENTO_SERVER_MSGDEST(entry.dummyTagMsg.view()).service, "STORE");
    GetRequestSlots stored;
    ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), stored, status);
    EXPECT_EQ(stored.listId, -7);
    // The dummy-tag copy carries the positive list id.
    EXPECT_EQ(decodeI32(entry.dummyTagMsg.data() + 292 + 14 * 12 + 8), 7);
    const ScanEntryTags& state = (*tags_)[0];
    EXPECT_EQ(state.tagCount, 3u);
    EXPECT_EQ(bytesOf({state.deadbands.data(), state.deadbands.size}), bands);
    EXPECT_EQ(state.tagStates.size, 36u);
    EXPECT_EQ(state.lastValues.size, 12u);
    EXPECT_EQ(bytesOf({state.tagStates.data(), 36}), Bytes(36, 0));
    EXPECT_EQ(bytesOf({state.lastValues.data(), 12}), Bytes(12, 0));

    // The most negative list id has no absolute value: its copy keeps it.
    Message lowest = request(INT32_MIN, client());
    const std::int32_t lowestSlot =
        addScanEntry(*list_, *tags_, INT32_MIN, -50, storeTask(), scanTask(), lowest.view(), 1, 0, {}, 0, status);
    ASSERT_EQ(lowestSlot, 1);
    EXPECT_EQ(decodeI32(list_->slots[1].dummyTagMsg.data() + 292 + 14 * 12 + 8), INT32_MIN);
    removeAll();

    // Without deadbands the slot keeps no tag state.
    Message second = request(8, client());
    addScanEntry(*list_, *tags_, 8, -50, storeTask(), scanTask(), second.view(), 0, 2, {}, 0, status);
    EXPECT_EQ((*tags_)[1].tagCount, 0u);
    EXPECT_FALSE((*tags_)[1].deadbands);
    EXPECT_FALSE(list_->slots[1].dummyTagMsg);
}

TEST_F(AddScanEntry, AFailedAddLeavesTheSlotAsItWas) {
    Message first = request(5, client());
    StatusBlock status;
    ASSERT_EQ(addScanEntry(*list_, *tags_, 5, -10, storeTask(), scanTask(), first.view(), 0, 2,
                           deadbands({{1, 1}, {1, 1}}), 0, status),
              0);
    takeFiled();
    Message notGet = request(5, client());
    encodeI32(notGet.data() + 152, 4);  // not a GET request: no template to be had
    Message dummyOnly;
    {
        StatusBlock s;
        makeDummyTagMessage(first.view(), dummyOnly, s);
        ZENTO_SERVER_SET_LISTID(dummyOnly.span(), 5, s);
    }
    const struct {
        const char* what;
        MsgView msg;
        std::uint32_t tagCount;
        Bytes bands;
        std::int32_t dummyFlag;
        Entries entries;
    } rows[] = {
        {"no template to be had", notGet.view(), 2, deadbands({{1, 1}, {1, 1}}), 0,
         {{8, 8005}, {8, 8018}, {13, scancode::kAddTemplateParse}}},
        {"deadbands for fewer tags", first.view(), 2, deadbands({{1, 1}}), 0, {{13, scancode::kTagSetInconsistent}}},
        {"a tag count not the request's", first.view(), 3, deadbands({{1, 1}, {1, 1}, {1, 1}}), 0,
         {{13, scancode::kTagSetInconsistent}}},
        {"no dummy-tag copy to be made", dummyOnly.view(), 0, {}, 1,
         {{8, 8013}, {8, 8018}, {13, scancode::kDummyNoNames}, {13, scancode::kDummyFailed}}},
    };
    for (const auto& row : rows) {
        const std::uint8_t* before = list_->slots[0].requestMsg.data();
        const std::int32_t slot = addScanEntry(*list_, *tags_, 5, -10, storeTask(), scanTask(), row.msg, row.dummyFlag,
                                               row.tagCount, row.bands, 0, status);
        EXPECT_EQ(slot, -1) << row.what;
        EXPECT_EQ(statusEntries(status), row.entries) << row.what;
        EXPECT_EQ(list_->slots[0].requestMsg.data(), before) << row.what;
        EXPECT_EQ((*tags_)[0].tagCount, 2u) << row.what;
        EXPECT_EQ(list_->highestEntry, 1u) << row.what;
        const std::vector<diagtest::Filed> filed = takeFiled();
        ASSERT_EQ(filed.size(), 1u) << row.what;
        EXPECT_EQ(filed[0].code, 7024) << row.what;
    }
}

TEST_F(AddScanEntry, AFullTableRefusesTheAddAndOverwritesNothing) {
    list_->highestEntry = kListSlots;
    for (ScanListEntry& entry : list_->slots) {
        entry.inUse = 1;
        entry.listId = 1;
        entry.requestSource = kOther;
    }
    Message msg = request(5, client());
    StatusBlock status;
    EXPECT_EQ(addScanEntry(*list_, *tags_, 5, -10, storeTask(), scanTask(), msg.view(), 1, 2,
                           deadbands({{1, 1}, {1, 1}}), 0, status),
              -1);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13620}}));
    EXPECT_EQ(list_->slots[kListSlots - 1].listId, 1);
    EXPECT_FALSE(list_->slots[kListSlots - 1].requestMsg);
}

}  // namespace
