// The library calls of the store-and-forward tasks: the diagnostic switch,
// status blocks as text, notification bodies, a request's list id and the
// process's own address.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "msglib/coding.h"
#include "msglib/code_catalogue.h"
#include "msglib/diag_switch.h"
#include "msglib/inprocess.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;
using testsupport::statusEntries;

class SupportCalls : public testsupport::TempHomeTest {
protected:
    void TearDown() override {
        ::unsetenv("ZENTO_DIAG");
        msglib::refreshDiagnosticSwitch();
    }
};

TEST_F(SupportCalls, DiagnosticsAreOffUnlessTheEnvironmentOrTheMarkerFileSaysOn) {
    const struct {
        std::optional<const char*> environment;
        bool markerFile;
        std::int32_t state;
    } cases[] = {
        {std::nullopt, false, 1}, {"on", false, 0}, {"On", false, 0},
        {"off", false, 1},        {"1", false, 1},  {std::nullopt, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment.value_or("(unset)") + std::string(c.markerFile ? " with diag.on" : ""));
        if (c.environment) {
            ::setenv("ZENTO_DIAG", *c.environment, 1);
        } else {
            ::unsetenv("ZENTO_DIAG");
        }
        if (c.markerFile) {
            std::ofstream(home_.file("diag.on")).put('\n');
        } else {
            std::remove(home_.file("diag.on").c_str());
        }
        msglib::refreshDiagnosticSwitch();
        EXPECT_EQ(ZENTO_DIAG_LOGSTATE(), c.state);
    }
}

TEST_F(SupportCalls, AStatusBlockReadsAsOneLinePerEntryWithItsMeaning) {
    StatusBlock block;
    ZENTO_SERVER_INITBLK(block);
    ZENTO_SERVER_LDBLK(1, ENOENT, block);
    ZENTO_SERVER_LDBLK(9, 9103, block);
    ZENTO_SERVER_LDBLK(8, 8018, block);
    ZENTO_SERVER_LDBLK(7, 5, block);  // known to nobody: the pair alone
    StatusBlock status = testsupport::dirtyStatus();
    const char* text = nullptr;
    ZENTO_ERR_FMTBLK("XXXX", block, text, status);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text),
              "facility=1  error=2  No such file or directory\n"
              "facility=9  error=9103  the service name is empty, too long, or has characters other than "
              "A-Z a-z 0-9 _ . -\n"
              "facility=8  error=8018  the message could not be parsed (its cause comes first)\n"
              "facility=7  error=5");
    EXPECT_EQ(statusEntries(status), Entries{});

    ZENTO_SERVER_INITBLK(block);
    ZENTO_ERR_FMTBLK("XXXX", block, text, status);
    EXPECT_EQ(text, nullptr);
}

TEST(CodeCatalogue, IsSortedWithoutDuplicatesAndEveryMeaningIsOneLine) {
    const std::span<const CodeMeaning> table = codeCatalogue();
    ASSERT_FALSE(table.empty());
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(std::to_string(table[i].facility) + "/" + std::to_string(table[i].code));
        const std::string meaning = table[i].meaning;
        EXPECT_FALSE(meaning.empty());
        EXPECT_EQ(meaning.find('\n'), std::string::npos);
        if (i > 0) {
            EXPECT_LT(std::make_pair(table[i - 1].facility, table[i - 1].code),
                      std::make_pair(table[i].facility, table[i].code));
        }
    }
    EXPECT_EQ(catalogueMeaning(9, 9001), std::string("no memory for a message buffer"));
    EXPECT_EQ(catalogueMeaning(9, 9002), nullptr);
}

TEST(NotificationBody, RoundTripsAndOnlyAStoreAndForwardNotificationParses) {
    const Bytes body = {2, 0, 0, 0, 'C', ':', '\\', 'F', 0};
    Message msg;
    StatusBlock status;
    ZENTO_SERVER_BLD_MSG(makeAddress("N1", "STORE"), makeAddress("N2", "FWD"), body, msg, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(msg.view()), kMsgNotification);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg.view()), kTransMsg);
    std::span<const std::uint8_t> parsed;
    ZENTO_SERVER_PARSE_MSG(msg.view(), parsed, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(Bytes(parsed.begin(), parsed.end()), body);

    const std::size_t entryAt = 292;
    const struct {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
        std::int32_t cause;
    } faults[] = {
        {"a request", 12, kMsgRequest, parsecode::kWrongMessageType},
        {"an ACK", 152, kTransAck, parsecode::kWrongTransType},
        {"two entries", 288, 2, parsecode::kBadDescriptorCount},
        {"an int entry", entryAt, kDescInt, parsecode::kTableShape},
        {"a body longer than the message", entryAt + 4, 10, parsecode::kDataSizeMismatch},
        {"a length word of one byte more", 4, 292 + 12 + 10, parsecode::kLengthMismatch},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        Bytes bad(msg.view().begin(), msg.view().end());
        if (f.offset == entryAt) {
            encodeU16(bad.data() + f.offset, static_cast<std::uint16_t>(f.value));
        } else {
            encodeU32(bad.data() + f.offset, f.value);
        }
        ZENTO_SERVER_PARSE_MSG(bad, parsed, status);
        EXPECT_TRUE(parsed.empty());
        EXPECT_EQ(statusEntries(status), (Entries{{8, f.cause}, {8, parsecode::kUnableToParse}}));
    }
}

// A GET request's head and table, and a data part cut after the list id
// (all the call needs).
constexpr std::size_t kListIdEntryAt = head::kSize + getlayout::kListIdEntryIndex * kDescriptorBytes;
Bytes getRequestShape(std::uint32_t entries, std::uint32_t dataBytes) {
    Bytes msg(head::kSize + entries * kDescriptorBytes + dataBytes, 0);
    HeadFields fields;
    fields.length = static_cast<std::uint32_t>(msg.size());
    fields.messageType = kMsgRequest;
    fields.transType = kTransGet;
    fields.descriptorCount = entries;
    writeHead(msg.data(), fields);
    encodeDescriptor(msg.data() + kListIdEntryAt, {kDescInt, 0, 4, 1});
    return msg;
}

TEST(SetListId, WritesTheListIdOfAGetRequestOnly) {
    for (std::uint32_t entries : {14u, 17u}) {
        Bytes msg = getRequestShape(entries, 12);
        Bytes expected = msg;
        encodeI32(expected.data() + head::kSize + entries * kDescriptorBytes + getlayout::kListIdAt, 7);
        StatusBlock status;
        ZENTO_SERVER_SET_LISTID(msg, 7, status);
        EXPECT_EQ(statusEntries(status), Entries{});
        EXPECT_EQ(msg, expected);
    }
    const struct {
        const char* name;
        Bytes msg;
        std::int32_t cause;
    } refused[] = {
        {"a reply",
         [] {
             Bytes m = getRequestShape(14, 12);
             encodeU32(m.data() + head::kTransTypeOffset, kTransUnsolicited);
             return m;
         }(),
         parsecode::kWrongTransType},
        {"15 entries", getRequestShape(15, 12), parsecode::kBadDescriptorCount},
        {"data ends before the list id", getRequestShape(14, 11), parsecode::kDataShort},
        {"list id not an int",
         [] {
             Bytes m = getRequestShape(14, 12);
             encodeU16(m.data() + kListIdEntryAt, kDescChars);
             return m;
         }(),
         parsecode::kTableShape},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.name);
        Bytes msg = r.msg;
        StatusBlock status;
        ZENTO_SERVER_SET_LISTID(msg, 7, status);
        EXPECT_EQ(statusEntries(status), (Entries{{8, r.cause}, {8, parsecode::kUnableToParse}}));
        EXPECT_EQ(msg, r.msg);
    }
}

TEST_F(SupportCalls, TheApplicationIdIsTheRegisteredAddress) {
    ::setenv("ZENTO_NODE", "THISNODE", 1);
    AddressRecord id;
    EXPECT_EQ(&ZENTO_USR_GetApplicationID(id), &id);
    EXPECT_EQ(fixedText(id.node, 32), "THISNODE");
    EXPECT_EQ(fixedText(id.service, 32), "");
    {
        msglib::InProcessNetwork network;
        msglib::ScopedTransport use(network);
        AddressRecord self;
        StatusBlock status;
        ZENTO_SERVER_INIT(1, "STORESVC", self, status);
        ASSERT_FALSE(statusFailed(status));
        ZENTO_USR_GetApplicationID(id);
        EXPECT_EQ(std::memcmp(&id, &self, sizeof id), 0);
        EXPECT_EQ(fixedText(id.service, 32), "STORESVC");
        ZENTO_SERVER_EXIT(status);
    }
    ZENTO_USR_GetApplicationID(id);
    EXPECT_EQ(fixedText(id.service, 32), "");
    ::unsetenv("ZENTO_NODE");
}

}  // namespace
