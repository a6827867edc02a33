// Scan entry creation: the dummy-tag copy of a request; the slot an add
// takes, the tag state it sets up and the list report it files.
#include <gtest/gtest.h>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scanlist_codes.h"
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

}  // namespace
