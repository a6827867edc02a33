// Scan list update: declare and cancel sequences on a scan list -> slot,
// highestEntry, the stored request parsed back and the list reports; the
// failures of each step with their codes; the dumps of inconsistent requests.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scan_list_update.h"
#include "scanlist/scanlist_codes.h"
#include "tests/diag/diag_log.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using namespace scantest;
using testsupport::Entries;
using testsupport::statusEntries;
using Names = std::vector<std::string>;

const AddressRecord kOtherClient = makeAddress("OTHERNODE", "CLIENT");

Bytes block(const Names& names) {
    std::size_t width = names[0].size() + 1;
    Bytes out;
    for (const std::string& n : names) {
        Bytes field(width, 0);
        std::memcpy(field.data(), n.data(), std::min(n.size(), width));
        out.insert(out.end(), field.begin(), field.end());
    }
    return out;
}

// Declares names as 4-byte floats, each with an absolute deadband of 1.
Message declare(std::int32_t listId, std::int32_t frequency, const Names& names,
                const AddressRecord& from = client()) {
    const Bytes nameBytes = block(names);
    const Template tpl = uniformTemplate(names.size());
    Bytes bands;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Bytes one = deadbands({{1, 1.0f}});
        bands.insert(bands.end(), one.begin(), one.end());
    }
    ListDeclaration d;
    d.source = from;
    d.destination = storeTask();
    d.replyAddress = makeAddress(from.node, "CLIENT_UNS");
    d.listId = listId;
    d.deviceName = kDevice;
    d.requestWord = 9;
    d.frequency = frequency;
    d.tagCount = static_cast<std::uint32_t>(names.size());
    d.tagNames = nameBytes;
    d.dataTemplate = tpl;
    d.secondPairs = bands;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
    EXPECT_FALSE(statusFailed(status));
    return msg;
}

Message cancel(std::int32_t listId, const Names& names, const AddressRecord& from = client()) {
    const Bytes nameBytes = block(names);
    ListCancellation c;
    c.source = from;
    c.destination = storeTask();
    c.listId = listId;
    c.deviceName = kDevice;
    c.tagCount = static_cast<std::uint32_t>(names.size());
    c.tagNames = nameBytes;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_CANCREQ(c, msg, status);
    EXPECT_FALSE(statusFailed(status));
    return msg;
}

class UpdateScanList : public diagtest::DiagTest {
protected:
    void SetUp() override {
        DiagTest::SetUp();
        setTaskKind(2);
    }
    std::int32_t update(const Message& msg, StatusBlock& status, std::int32_t dummyFlag = 0) {
        built_ = {};
        return updateScanList(msg.view(), *list_, *tags_, storeTask(), scanTask(), dummyFlag, &built_, 1, &status);
    }
    // The names of the request stored in slot, parsed back; empty for a slot
    // not in use.
    Names storedNames(std::int32_t slot) {
        const ScanListEntry& entry = list_->slots[static_cast<std::size_t>(slot)];
        if (!entry.inUse) return {};
        GetRequestSlots request;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), request, status);
        EXPECT_FALSE(statusFailed(status));
        Names names = namesOf(request.tagNames, static_cast<std::size_t>(request.tagCount));
        for (std::string& n : names) n.erase(n.find_last_not_of(' ') + 1);
        return names;
    }
    std::vector<int> reportCodes() {
        std::vector<int> codes;
        for (const diagtest::Filed& f : takeFiled()) codes.push_back(f.code);
        return codes;
    }
    std::string zentoLog() const {
        std::ifstream in(home_.file("log/zento.log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::unique_ptr<ScanList> list_ = newScanList();
    std::unique_ptr<ScanTagArray> tags_ = newScanTagArray();
    MsgView built_;
};

struct Step {
    const char* what;
    std::function<Message()> request;
    std::int32_t result;
    Entries entries;           // the status block afterwards
    std::int32_t slot;         // whose stored request is checked
    Names stored;              // its names; empty: not in use
    std::uint32_t highestEntry;
    std::vector<int> reports;  // list report codes filed
};

const std::int32_t k7 = 7;

TEST_F(UpdateScanList, DeclareAndCancelSequences) {
    const struct {
        const char* what;
        std::vector<Step> steps;
    } sequences[] = {
        {"requests that leave the list alone",
         {{"cancel of an unlisted list", [] { return cancel(k7, {"A"}); }, -1, {}, 0, {}, 0, {}},
          {"declare with frequency 0", [] { return declare(k7, 0, {"A"}); }, -1, {}, 0, {}, 0, {}},
          {"declare with frequency 10", [] { return declare(k7, 10, {"A"}); }, -1, {}, 0, {}, 0, {}}}},
        {"a list declared, cut, grown and withdrawn",
         {{"declare", [] { return declare(k7, -50, {"A", "B", "C"}); }, 0, {}, 0, {"A", "B", "C"}, 1, {7029}},
          {"cancel of no tag of the list", [] { return cancel(k7, {"X"}); }, -1, {}, 0, {"A", "B", "C"}, 1, {}},
          {"cancel of one", [] { return cancel(-7, {"B"}); }, 0, {}, 0, {"A", "C"}, 1, {7029}},
          {"declare of new tags", [] { return declare(k7, -50, {"DD", "E"}); }, 0, {}, 0, {"A", "C", "DD", "E"}, 1,
           {7029}},
          {"declare of an old and a new tag", [] { return declare(k7, -50, {"A", "F"}); }, 0, {}, 0,
           {"C", "DD", "E", "A", "F"}, 1, {7029}},
          {"cancel of every tag", [] { return cancel(k7, {"A", "C", "DD", "E", "F"}); }, 0, {}, 0, {}, 0, {7030}}}},
        {"a declare of every listed tag records the list afresh",
         {{"declare", [] { return declare(k7, -50, {"A", "B"}); }, 0, {}, 0, {"A", "B"}, 1, {7029}},
          {"declare again", [] { return declare(k7, -20, {"B", "A", "C"}); }, 0, {}, 0, {"B", "A", "C"}, 1,
           {7030, 7029}}}},
        {"two clients, one list id",
         {{"first client", [] { return declare(k7, -50, {"A"}); }, 0, {}, 0, {"A"}, 1, {7029}},
          {"second client", [] { return declare(k7, -50, {"B"}, kOtherClient); }, 1, {}, 1, {"B"}, 2, {7029}},
          {"first withdraws: highestEntry stays", [] { return cancel(k7, {"A"}); }, 0, {}, 0, {}, 2, {7030}},
          {"second withdraws: the only one left", [] { return cancel(k7, {"B"}, kOtherClient); }, 1, {}, 1, {}, 0,
           {7030}}}},
        {"the highest slot withdrawn",
         {{"first", [] { return declare(1, -50, {"A"}); }, 0, {}, 0, {"A"}, 1, {7029}},
          {"second", [] { return declare(2, -50, {"A"}); }, 1, {}, 1, {"A"}, 2, {7029}},
          {"the second goes", [] { return cancel(2, {"A"}); }, 1, {}, 1, {}, 1, {7030}}}},
    };
    for (const auto& sequence : sequences) {
        list_ = newScanList();
        tags_ = newScanTagArray();
        takeFiled();
        for (const Step& step : sequence.steps) {
            SCOPED_TRACE(testing::Message() << sequence.what << ": " << step.what);
            const Message msg = step.request();
            StatusBlock status = testsupport::dirtyStatus();
            EXPECT_EQ(update(msg, status), step.result);
            EXPECT_EQ(statusEntries(status), step.entries);
            EXPECT_EQ(storedNames(step.slot), step.stored);
            EXPECT_EQ(list_->highestEntry, step.highestEntry);
            EXPECT_EQ(reportCodes(), step.reports);
            EXPECT_EQ(updateScanListProgress(), '*');
        }
    }
}

TEST_F(UpdateScanList, TheStoredRequestCarriesTheListsItems) {
    StatusBlock status;
    ASSERT_EQ(update(declare(-7, -50, {"A", "B"}), status, 1), 0);
    const ScanListEntry& entry = list_->slots[0];
    GetRequestSlots stored;
    ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), stored, status);
    EXPECT_EQ(stored.frequency, 50) << "the absolute value of the frequency";
    EXPECT_EQ(stored.listId, -7);
    EXPECT_EQ(stored.replyToFlag, 1);
    EXPECT_EQ(stored.requestWord, 9);
    EXPECT_STREQ(stored.deviceName, "DEVICE-1");
    EXPECT_EQ(entry.listId, -7);
    EXPECT_EQ(entry.frequency, -50);
    EXPECT_STREQ(entry.replyDestination.service, "CLIENT_UNS");
    EXPECT_STREQ(entry.requestSource.service, "CLIENT");
    EXPECT_STREQ(ZENTO_SERVER_MSGDEST(entry.requestMsg.view()).service, "STORE");
    EXPECT_STREQ(ZENTO_SERVER_REPDEST(entry.requestMsg.view()).service, "SCANNER");
    // The request handed out is the one built: its reply goes to the client.
    ASSERT_FALSE(built_.empty());
    EXPECT_STREQ(ZENTO_SERVER_REPDEST(built_).service, "CLIENT_UNS");
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(built_), kTransGet);
    EXPECT_EQ((*tags_)[0].tagCount, 2u);

    // Kept values and status records follow their tags through a cancel and
    // a declare; new tags start at zero; the dummy-tag copy is made anew.
    Bytes values = floats({1.5f, 2.5f});
    std::memcpy((*tags_)[0].lastValues.data(), values.data(), 8);
    encodeI32((*tags_)[0].tagStates.data(), 11);
    encodeI32((*tags_)[0].tagStates.data() + 12, 22);
    ASSERT_EQ(update(cancel(7, {"A"}), status), 0);
    ASSERT_EQ(update(declare(7, -30, {"C"}), status), 0);
    EXPECT_EQ(storedNames(0), (Names{"B", "C"}));
    const ScanEntryTags& state = (*tags_)[0];
    EXPECT_EQ(bytesOf({state.lastValues.data(), state.lastValues.size}), floats({2.5f, 0.0f}));
    EXPECT_EQ(decodeI32(state.tagStates.data()), 22);
    EXPECT_EQ(decodeI32(state.tagStates.data() + 12), 0);
    EXPECT_EQ(state.deadbands.size, 16u);
    EXPECT_EQ(entry.frequency, -30) << "a new frequency reaches the entry";
    ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), stored, status);
    EXPECT_EQ(stored.frequency, 30);
    const std::uint32_t namesAt = entry.requestMsg.size - stored.tagCount * 2;  // names "B", "C" are 2 wide
    EXPECT_EQ(entry.dummyTagMsg.size, namesAt + 4);
    EXPECT_EQ(decodeI32(entry.dummyTagMsg.data() + 292 + 14 * 12 + 8), 7);

    // The most negative frequency has no absolute value: the longest period.
    ASSERT_EQ(update(declare(8, INT32_MIN, {"A"}), status), 1);
    ZENTO_SERVER_PARSE_GETREQ(list_->slots[1].requestMsg.view(), stored, status);
    EXPECT_EQ(stored.frequency, INT32_MAX);
}

TEST_F(UpdateScanList, FailuresCarryTheirCodes) {
    StatusBlock status;
    ASSERT_EQ(update(declare(7, -50, {"A", "B"}), status), 0);
    // A regular GET list of id 9: a declare for it is refused.
    Message get = getRequest(9, nameBlock({"A"}), 1, uniformTemplate(1));
    StatusBlock addStatus;
    const AddressRecord source = client();
    std::memcpy(get.data() + 220, &source, sizeof source);
    ASSERT_EQ(addScanEntry(*list_, *tags_, 9, 100, storeTask(), scanTask(), get.view(), 0, 0, {}, 0, addStatus), 1);
    Message notAList = cancel(7, {"A"});
    encodeI32(notAList.data() + 152, 6);
    Message damagedDeclare = declare(7, -50, {"A"});
    damagedDeclare.bytes[damagedDeclare.size - 1] = 'x';
    encodeI32(damagedDeclare.data() + 288, 16);
    Message damagedCancel = cancel(7, {"A"});
    encodeI32(damagedCancel.data() + 288, 10);
    const struct {
        const char* what;
        const Message* msg;
        std::int32_t result;
        Entries entries;
    } rows[] = {
        {"neither declare nor cancel", &notAList, -1, {{13, scancode::kUnknownTransaction}}},
        {"a declare that does not parse", &damagedDeclare, -1, {{8, 8006}, {8, 8018}, {13, scancode::kDeclareParse}}},
        {"a cancel that does not parse", &damagedCancel, -1, {{8, 8006}, {8, 8018}, {13, scancode::kCancelParse}}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(update(*row.msg, status), row.result) << row.what;
        EXPECT_EQ(statusEntries(status), row.entries) << row.what;
    }
    const Message forGet = declare(9, -50, {"A"});
    EXPECT_EQ(update(forGet, status), 1);
    EXPECT_EQ(statusEntries(status), (Entries{{13, scancode::kFrequencyNotNegative}}));
    EXPECT_EQ(storedNames(0), (Names{"A", "B"}));

    // Without its arguments the handler does nothing.
    const Message msg = declare(7, -50, {"C"});
    EXPECT_EQ(updateScanList(msg.view(), *list_, *tags_, storeTask(), scanTask(), 0, nullptr, 0, &status), -1);
    MsgView out;
    EXPECT_EQ(updateScanList(msg.view(), *list_, *tags_, storeTask(), scanTask(), 0, &out, 0, nullptr), -1);
    EXPECT_EQ(updateScanList(MsgView{}, *list_, *tags_, storeTask(), scanTask(), 0, &out, 0, &status), -1);
    EXPECT_EQ(storedNames(0), (Names{"A", "B"}));
}

TEST_F(UpdateScanList, InconsistentRequestsAreDumped) {
    StatusBlock status;
    // A declare whose template gives two elements for three tags.
    const Bytes names = block({"A", "B", "C"});
    const Template twoFloats = uniformTemplate(2);
    ListDeclaration d;
    d.source = client();
    d.destination = storeTask();
    d.listId = 7;
    d.deviceName = kDevice;
    d.frequency = -50;
    d.tagCount = 3;
    d.tagNames = names;
    d.dataTemplate = twoFloats;
    Message msg;
    ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(update(msg, status), -1);
    EXPECT_EQ(statusEntries(status),
              (Entries{{13, scancode::kTagSetInconsistent}, {13, scancode::kUpdateSize}}));
    EXPECT_EQ(list_->highestEntry, 0u);
    std::string log = zentoLog();
    EXPECT_NE(log.find("[DEBUG] updateScanList stopped at location I on an inconsistent request, cause 0000350A"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[DEBUG] Message dump:\n"), std::string::npos);
    // The head's first 16 bytes: magic, zero, length, then the time.
    char first[40];
    std::snprintf(first, sizeof first, "[DEBUG] 5A5A0000 %02X%02X%02X%02X ", msg.data()[4], msg.data()[5],
                  msg.data()[6], msg.data()[7]);
    EXPECT_NE(log.find(first), std::string::npos) << first;
    EXPECT_EQ(log.find("ScanList Msg Dump:"), std::string::npos);

    // A listed list whose stored request no longer parses.
    ASSERT_EQ(update(declare(7, -50, {"A"}), status), 0);
    list_->slots[0].requestMsg.bytes[300] ^= 0xFF;
    EXPECT_EQ(update(cancel(7, {"A"}), status), 0);
    EXPECT_EQ(lastErrorCode(status), scancode::kStoredParse);
    log = zentoLog();
    EXPECT_NE(log.find("location n on an inconsistent request"), std::string::npos);
    EXPECT_NE(log.find("[DEBUG] ScanList Msg Dump:\n"), std::string::npos);
    EXPECT_NE(log.find("scanFileIndex= 0, highestScanEntry= 1"), std::string::npos);
    EXPECT_TRUE(list_->slots[0].inUse);
}

}  // namespace
