#include "msglib/message_checks.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/reply_layout.h"
#include "msglib/request_layout.h"

namespace {

void loadParseFault(std::int32_t fault, StatusBlock& status) {
    ZENTO_SERVER_LDBLK(kFacilityParser, fault, status);
    ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kUnableToParse, status);
}

void parseReply(MsgView msg, std::int32_t transType, ReplyFields& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    TimeStamp valueTime{};
    if (std::int32_t fault = readReply(msg, transType, out, valueTime); fault != 0) loadParseFault(fault, status);
}

}  // namespace

void ZENTO_SERVER_PARSE_GETREP(MsgView msg, ReplyFields& out, StatusBlock& status) {
    parseReply(msg, kTransGet, out, status);
}

void ZENTO_SERVER_PARSE_UNSREP(MsgView msg, ReplyFields& out, StatusBlock& status) {
    parseReply(msg, kTransUnsolicited, out, status);
}

// A GET request and a GET reply share transaction type 1; the message type
// tells them apart (a reply is 2, a request any other of 1 to 9).
std::int32_t ZENTO_SERVER_FREQUENCY(MsgView msg, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::int32_t transType = ZENTO_SERVER_TRANSTYPE(msg);
    std::int32_t fault = checkHead(msg);
    std::int32_t frequency = 0;
    if (fault != 0) {
        // Nothing more to learn from a message without a sound head.
    } else if (transType == kTransUnsolicited || (transType == kTransGet && ZENTO_SERVER_MSGTYPE(msg) == kMsgReply)) {
        ReplyFields fields;
        TimeStamp valueTime{};
        fault = readReply(msg, transType, fields, valueTime);
        frequency = fields.frequency;
    } else if (transType == kTransGet) {
        GetRequestView request;
        fault = readGetRequest(msg, request);
        frequency = request.items.frequency;
    } else {
        fault = parsecode::kWrongTransType;
    }
    if (fault != 0) {
        loadParseFault(fault, status);
        return 0;
    }
    return frequency;
}
