// One message as the store-and-forward tasks read it: the body of a
// store-and-forward notification (ZENTO_SERVER_PARSE_MSG), the list id of a
// GET request (ZENTO_SERVER_SET_LISTID), and the receive and send reports
// with diagnostics on.
//
// Rules: a body parses only from a notification (type 3) of transaction type
// 15 whose one table entry is a character field exactly as long as the rest
// of the message, and ZENTO_SERVER_BLD_MSG of that body gives back the same
// table and body; a list id is set only in a message of transaction type 1
// with 14 or 17 table entries, changing the four bytes behind the pairs and
// reply-to flags and nothing else, and a refused message is left as it was;
// each report files one record of at most 2,047 bytes of text.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/message_reports.h"
#include "fuzz/fuzz_support.h"
#include "msglib/coding.h"
#include "msglib/diag_switch.h"
#include "msglib/msglib.h"

namespace {

constexpr std::size_t kHead = 292;
constexpr std::int32_t kNewListId = 0x7A7B7C7D;

std::uint32_t wordAt(const std::uint8_t* data, std::size_t size, std::size_t at) {
    return at + 4 <= size ? decodeU32(data + at) : 0;
}

bool isNotificationWithBody(const std::uint8_t* data, std::size_t size) {
    if (size < kHead + 12 || decodeU16(data) != 0x5A5A || wordAt(data, size, 4) != size) return false;
    if (wordAt(data, size, 12) != 3 || wordAt(data, size, 152) != 15 || wordAt(data, size, 288) != 1) return false;
    return decodeU16(data + kHead) == 3 && decodeU16(data + kHead + 2) == 0 &&
           wordAt(data, size, kHead + 4) == size - kHead - 12 && wordAt(data, size, kHead + 8) == 1;
}

void checkBody(MsgView msg) {
    std::span<const std::uint8_t> body;
    StatusBlock status;
    ZENTO_SERVER_PARSE_MSG(msg, body, status);
    FUZZ_CHECK(statusFailed(status) == !isNotificationWithBody(msg.data(), msg.size()));
    if (statusFailed(status)) {
        FUZZ_CHECK(body.empty());
        return;
    }
    FUZZ_CHECK(body.data() == msg.data() + kHead + 12 && body.size() == msg.size() - kHead - 12);
    Message rebuilt;
    ZENTO_SERVER_BLD_MSG(makeAddress("N", "S"), makeAddress("M", "T"), body, rebuilt, status);
    FUZZ_CHECK(!statusFailed(status) && rebuilt.size == msg.size());
    FUZZ_CHECK(std::memcmp(rebuilt.data() + kHead, msg.data() + kHead, msg.size() - kHead) == 0);
}

void checkListId(MsgView msg) {
    std::vector<std::uint8_t> copy(msg.begin(), msg.end());
    StatusBlock status;
    ZENTO_SERVER_SET_LISTID(copy, kNewListId, status);
    if (statusFailed(status)) {
        FUZZ_CHECK(std::equal(copy.begin(), copy.end(), msg.begin()));
        return;
    }
    const std::uint32_t entries = wordAt(msg.data(), msg.size(), 288);
    FUZZ_CHECK(wordAt(msg.data(), msg.size(), 152) == 1 && (entries == 14 || entries == 17));
    const std::size_t at = kHead + entries * 12 + 8;
    FUZZ_CHECK(at + 4 <= msg.size() && decodeI32(copy.data() + at) == kNewListId);
    std::memcpy(copy.data() + at, msg.data() + at, 4);
    FUZZ_CHECK(std::equal(copy.begin(), copy.end(), msg.begin()));
}

void checkReports(MsgView msg) {
    fuzzsupport::clearLogs();
    StatusBlock clean;
    ZENTO_SERVER_INITBLK(clean);
    diag::reportReceive(2, 1, msg, &clean);
    diag::reportSent(3, msg, 1, &clean);
    const std::string log = fuzzsupport::readWholeFile(fuzzsupport::home() + "/log/diag.log");
    std::size_t records = 0;
    for (std::size_t at = log.find("[LOGIC] ["); at != std::string::npos; at = log.find("[LOGIC] [", at + 1)) {
        ++records;
    }
    // One record each (the send report needs a message): a time stamp and tag
    // of under 64 bytes, at most 2,047 bytes of text and a newline. A text
    // may itself hold the tag.
    const std::size_t filed = msg.data() != nullptr ? 2 : 1;
    FUZZ_CHECK(records >= filed && log.size() <= filed * (64 + 2047 + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    static const bool diagnosticsOn = [] {
        setenv("ZENTO_DIAG", "on", 1);
        msglib::refreshDiagnosticSwitch();
        return ZENTO_DIAG_LOGSTATE() == 0;
    }();
    FUZZ_CHECK(diagnosticsOn);
    const MsgView msg(data, size);
    checkBody(msg);
    checkListId(msg);
    checkReports(msg);
    return 0;
}
