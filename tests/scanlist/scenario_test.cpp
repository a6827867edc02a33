// A store task's day with one unsolicited list, in process: a client
// declares the list, cancels a tag, declares another; the scanner answers
// the list's GET request with changing values; only the changes reach the
// client, as unsolicited replies. The scan list is checked after every step.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "lists/list_rules.h"
#include "msglib/inprocess.h"
#include "msglib/msglib.h"
#include "msglib/transport.h"
#include "scanlist/reply_conversion.h"
#include "scanlist/scan_list_update.h"
#include "scanlist/scanlist_codes.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/support/temp_home.h"

namespace {

using namespace scantest;
using Names = std::vector<std::string>;

constexpr std::int32_t kList = 7;

// The store task: what it does with each message it receives, and its scans.
class StoreTask {
public:
    explicit StoreTask(const AddressRecord& scanner) : scanner_(scanner) {
        StatusBlock status;
        ZENTO_SERVER_INIT(1, "STORE", self_, status);
        EXPECT_FALSE(statusFailed(status));
    }

    // Handles every message due; the last status of each kind is kept.
    void receiveAll() {
        for (;;) {
            Message msg;
            StatusBlock status;
            if (ZENTO_SERVER_RECEIVE(0, msg, status) <= 0) return;
            const std::int32_t type = ZENTO_SERVER_TRANSTYPE(msg.view());
            if (type == kTransDeclare || type == kTransCancel) {
                MsgView built;
                updateResult = updateScanList(msg.view(), *list, *tags, scanner_, self_, 1, &built, 0, &updateStatus);
            } else if (type == kTransGet && ZENTO_SERVER_MSGTYPE(msg.view()) == kMsgReply) {
                convert(msg.view());
            }
        }
    }

    // One scan: each recorded list's GET request goes to the scanner.
    void scan() {
        for (std::uint32_t slot = 0; slot < searchedSlots(list->highestEntry); ++slot) {
            const ScanListEntry& entry = list->slots[slot];
            if (!entry.inUse) continue;
            StatusBlock status;
            ZENTO_SERVER_SEND(10, entry.requestMsg.view(), status);
            EXPECT_FALSE(statusFailed(status));
        }
        receiveAll();
    }

    std::unique_ptr<ScanList> list = newScanList();
    std::unique_ptr<ScanTagArray> tags = newScanTagArray();
    std::int32_t updateResult = 0;
    StatusBlock updateStatus{};
    StatusBlock convertStatus{};

private:
    // The reply's list and client name the slot; its word156 is the list's
    // first-conversion flag, cleared when the entry is made.
    void convert(MsgView reply) {
        ReplyFields fields;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(reply, fields, status);
        ASSERT_FALSE(statusFailed(status));
        const std::int32_t slot = findScanEntry(*list, fields.listId, ZENTO_SERVER_REQSRC(reply));
        ASSERT_GE(slot, 0);
        ScanListEntry& entry = list->slots[static_cast<std::size_t>(slot)];
        ScanEntryTags& state = (*tags)[static_cast<std::size_t>(slot)];
        Message unsolicited;
        convertGetReply(reply, &entry.word156, state.tagCount, {state.deadbands.data(), state.deadbands.size},
                        {state.tagStates.data(), state.tagStates.size},
                        {state.lastValues.data(), state.lastValues.size}, &unsolicited, &convertStatus);
        if (statusFailed(convertStatus)) return;
        ZENTO_SERVER_SET_MSGDEST(unsolicited.span(), entry.replyDestination);
        ZENTO_SERVER_SET_MSGSRC(unsolicited.span(), self_);
        ZENTO_SERVER_SEND(10, unsolicited.view(), status);
        EXPECT_FALSE(statusFailed(status));
    }

    AddressRecord scanner_;
    AddressRecord self_{};
};

class Scenario : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        network_.declareReachable(scanTask());
        network_.declareReachable(clientUns_);
        // The scanner answers each GET request with the values it holds.
        network_.onSend([this](msglib::InProcessNetwork& net, MsgView sent) {
            if (ZENTO_SERVER_TRANSTYPE(sent) != kTransGet || ZENTO_SERVER_MSGTYPE(sent) == kMsgReply) return;
            GetRequestSlots request;
            StatusBlock status;
            ZENTO_SERVER_PARSE_GETREQ(sent, request, status);
            ASSERT_FALSE(statusFailed(status));
            Bytes values;
            std::vector<std::int32_t> words;
            for (const std::string& name : namesOf(request.tagNames, static_cast<std::size_t>(request.tagCount))) {
                const Bytes value = floats({scannerValues_.at(name.substr(0, name.find(' ')))});
                values.insert(values.end(), value.begin(), value.end());
                words.insert(words.end(), {1, 0, 0});
            }
            StatusBlock acquisition;
            ZENTO_SERVER_INITBLK(acquisition);
            Message reply;
            ZENTO_SERVER_BLD_GETREPLY(sent, acquisition, values, words, TimeStamp{}, reply, status);
            ASSERT_FALSE(statusFailed(status));
            net.deliver(reply.view());
        });
    }

    void fromClient(const Message& msg) {
        network_.deliver(msg.view());
        store_.receiveAll();
    }

    Message declare(const Names& names) {
        Bytes block;
        for (const std::string& n : names) block.insert(block.end(), {static_cast<std::uint8_t>(n[0]), 0});
        Bytes bands;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Bytes band = deadbands({{1, 0.5f}});
            bands.insert(bands.end(), band.begin(), band.end());
        }
        const Template tpl = uniformTemplate(names.size());
        ListDeclaration d;
        d.source = client();
        d.destination = network_.self();
        d.replyAddress = clientUns_;
        d.listId = kList;
        d.deviceName = kDevice;
        d.frequency = -10;
        d.tagCount = static_cast<std::uint32_t>(names.size());
        d.tagNames = block;
        d.dataTemplate = tpl;
        d.secondPairs = bands;
        Message msg;
        StatusBlock status;
        ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
        EXPECT_FALSE(statusFailed(status));
        return msg;
    }

    Message cancel(const Names& names) {
        Bytes block;
        for (const std::string& n : names) block.insert(block.end(), {static_cast<std::uint8_t>(n[0]), 0});
        ListCancellation c;
        c.source = client();
        c.destination = network_.self();
        c.listId = kList;
        c.deviceName = kDevice;
        c.tagCount = static_cast<std::uint32_t>(names.size());
        c.tagNames = block;
        Message msg;
        StatusBlock status;
        ZENTO_CLIENT_BLD_CANCREQ(c, msg, status);
        EXPECT_FALSE(statusFailed(status));
        return msg;
    }

    // What the client received since the last call: each unsolicited reply
    // as tag name -> value.
    std::vector<std::map<std::string, float>> clientReceived() {
        std::vector<std::map<std::string, float>> replies;
        for (const auto& sent : network_.sent()) {
            if (ZENTO_SERVER_TRANSTYPE(sent.view()) != kTransUnsolicited) continue;
            EXPECT_STREQ(ZENTO_SERVER_MSGDEST(sent.view()).service, "CLIENT_UNS");
            ReplyFields fields;
            StatusBlock status;
            ZENTO_SERVER_PARSE_UNSREP(sent.view(), fields, status);
            EXPECT_FALSE(statusFailed(status));
            EXPECT_EQ(fields.listId, kList);
            std::map<std::string, float> reply;
            const Names names = namesOf(fields.tagNames, static_cast<std::size_t>(fields.tagCount));
            for (std::size_t i = 0; i < names.size(); ++i) {
                float value;
                std::memcpy(&value, fields.values.data() + 4 * i, 4);
                reply[names[i].substr(0, names[i].find(' '))] = value;
            }
            replies.push_back(reply);
        }
        network_.clearSent();
        return replies;
    }

    // The list's slot: its tag names as the stored request has them, and
    // the kept values.
    void expectSlot(std::int32_t slot, const Names& names, const std::vector<float>& kept) {
        ASSERT_EQ(store_.list->highestEntry, names.empty() ? 0u : static_cast<std::uint32_t>(slot) + 1);
        const ScanListEntry& entry = store_.list->slots[static_cast<std::size_t>(slot)];
        if (names.empty()) {
            EXPECT_FALSE(entry.inUse);
            EXPECT_FALSE(entry.requestMsg);
            EXPECT_EQ((*store_.tags)[static_cast<std::size_t>(slot)].tagCount, 0u);
            return;
        }
        ASSERT_TRUE(entry.inUse);
        GetRequestSlots request;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREQ(entry.requestMsg.view(), request, status);
        ASSERT_FALSE(statusFailed(status));
        Names stored = namesOf(request.tagNames, static_cast<std::size_t>(request.tagCount));
        for (std::string& n : stored) n.erase(n.find_last_not_of(' ') + 1);
        EXPECT_EQ(stored, names);
        EXPECT_EQ(request.frequency, 10);
        const ScanEntryTags& state = (*store_.tags)[static_cast<std::size_t>(slot)];
        EXPECT_EQ(state.tagCount, names.size());
        EXPECT_EQ(bytesOf({state.lastValues.data(), state.lastValues.size}),
                  [&] {
                      Bytes b;
                      for (float v : kept) {
                          const Bytes one = floats({v});
                          b.insert(b.end(), one.begin(), one.end());
                      }
                      return b;
                  }());
    }

    using Received = std::vector<std::map<std::string, float>>;

    msglib::InProcessNetwork network_;
    msglib::ScopedTransport use_{network_};
    const AddressRecord clientUns_ = makeAddress("CLIENTNODE", "CLIENT_UNS");
    StoreTask store_{scanTask()};
    std::map<std::string, float> scannerValues_;
};

TEST_F(Scenario, OnlyChangesReachTheClient) {
    // The client declares A, B and C, each with an absolute deadband of 0.5.
    fromClient(declare({"A", "B", "C"}));
    EXPECT_EQ(store_.updateResult, 0);
    expectSlot(0, {"A", "B", "C"}, {0, 0, 0});

    // The first scan sends every tag.
    scannerValues_ = {{"A", 1.0f}, {"B", 2.0f}, {"C", 3.0f}, {"D", 4.0f}};
    store_.scan();
    EXPECT_EQ(clientReceived(), (Received{{{"A", 1.0f}, {"B", 2.0f}, {"C", 3.0f}}}));
    expectSlot(0, {"A", "B", "C"}, {1, 2, 3});

    // A moves within its deadband, B beyond it.
    scannerValues_["A"] = 1.2f;
    scannerValues_["B"] = 2.6f;
    store_.scan();
    EXPECT_EQ(clientReceived(), (Received{{{"B", 2.6f}}}));
    expectSlot(0, {"A", "B", "C"}, {1, 2.6f, 3});

    // The client cancels B; A keeps its last sent value.
    fromClient(cancel({"B"}));
    EXPECT_EQ(store_.updateResult, 0);
    expectSlot(0, {"A", "C"}, {1, 3});
    scannerValues_["A"] = 1.5f;
    scannerValues_["B"] = 9.0f;
    store_.scan();
    EXPECT_EQ(clientReceived(), (Received{{{"A", 1.5f}}}));
    expectSlot(0, {"A", "C"}, {1.5f, 3});

    // The client declares D: it comes with the next scan, alone.
    fromClient(declare({"D"}));
    EXPECT_EQ(store_.updateResult, 0);
    expectSlot(0, {"A", "C", "D"}, {1.5f, 3, 0});
    store_.scan();
    EXPECT_EQ(clientReceived(), (Received{{{"D", 4.0f}}}));
    expectSlot(0, {"A", "C", "D"}, {1.5f, 3, 4});

    // Nothing moves: nothing is sent.
    store_.scan();
    EXPECT_EQ(clientReceived(), Received{});
    EXPECT_EQ(lastErrorCode(store_.convertStatus), scancode::kReplyNoChange);

    // The client withdraws the rest: the list leaves the scan list.
    fromClient(cancel({"A", "C", "D"}));
    EXPECT_EQ(store_.updateResult, 0);
    EXPECT_FALSE(statusFailed(store_.updateStatus));
    expectSlot(0, {}, {});
    store_.scan();
    EXPECT_EQ(clientReceived(), Received{});
}

}  // namespace
