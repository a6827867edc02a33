// One message as the store task reads a request of an unsolicited list:
// ZENTO_SERVER_PARSE_DECLREQ, ZENTO_SERVER_PARSE_CANCREQ,
// ZENTO_SERVER_PARSE_GETREQ, ZENTO_SERVER_TAG and makeDummyTagMessage.
//
// Rules: at most one parser accepts a message, and only one of its own
// transaction type (4, 5 or 1); every span a parser gives lies inside the
// message, the name block holds the tag count's names of one width, and a
// refused message leaves the slots empty; a declare or cancel request whose
// first name fills its field (as the builders make them) is built again
// from its slots into the same table and data; ZENTO_SERVER_TAG
// finds tag 0 exactly where a parser put the names, and a tag past the last
// not at all; a dummy-tag copy is made from exactly the requests a parser
// accepts, the bytes before the names kept, one "-" a tag, and its length
// word its size.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "scanlist/scan_entry.h"

namespace {

bool inside(MsgView msg, std::span<const std::uint8_t> piece) {
    return piece.empty() || (piece.data() >= msg.data() && piece.data() + piece.size() <= msg.data() + msg.size());
}

bool insideChars(MsgView msg, const char* chars, std::size_t size) {
    return chars != nullptr && inside(msg, {reinterpret_cast<const std::uint8_t*>(chars), size});
}

bool wholeNames(std::span<const std::uint8_t> names, std::int32_t tagCount) {
    return tagCount >= 1 && names.size() >= static_cast<std::size_t>(tagCount) &&
           names.size() % static_cast<std::size_t>(tagCount) == 0;
}

// The first name fills its field but for its terminator.
bool builderWidth(std::span<const std::uint8_t> names, std::int32_t tagCount) {
    const std::size_t width = names.size() / static_cast<std::size_t>(tagCount);
    return strnlen(reinterpret_cast<const char*>(names.data()), width) + 1 == width;
}

void checkTagLookup(MsgView msg, std::span<const std::uint8_t> names, std::int32_t tagCount) {
    StatusBlock status;
    std::uint32_t width = 0;
    const char* first = ZENTO_SERVER_TAG(msg, 0, &width, status);
    if (tagCount == 0) {
        FUZZ_CHECK(first == nullptr && statusFailed(status) && width == 0);
        return;
    }
    FUZZ_CHECK(!statusFailed(status) && reinterpret_cast<const std::uint8_t*>(first) == names.data());
    FUZZ_CHECK(width == names.size() / static_cast<std::size_t>(tagCount));
    FUZZ_CHECK(ZENTO_SERVER_TAG(msg, static_cast<std::uint32_t>(tagCount), nullptr, status) == nullptr);
    FUZZ_CHECK(statusFailed(status));
}

void checkDummy(MsgView msg, std::span<const std::uint8_t> names, std::int32_t tagCount) {
    Message dummy;
    StatusBlock status;
    makeDummyTagMessage(msg, dummy, status);
    // A declare or cancel request has names too, and gets its copy as well.
    if (tagCount == 0) {
        FUZZ_CHECK(statusFailed(status) && !dummy);
        return;
    }
    FUZZ_CHECK(!statusFailed(status) && dummy);
    const std::size_t namesAt = static_cast<std::size_t>(names.data() - msg.data());
    FUZZ_CHECK(dummy.size == namesAt + 2 * static_cast<std::size_t>(tagCount));
    FUZZ_CHECK(decodeU32(dummy.data() + 4) == dummy.size);
    FUZZ_CHECK(std::memcmp(dummy.data() + 8, msg.data() + 8, namesAt - 8) == 0);
    for (std::int32_t i = 0; i < tagCount; ++i) {
        FUZZ_CHECK(dummy.data()[namesAt + 2 * i] == '-' && dummy.data()[namesAt + 2 * i + 1] == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::prepareProcess();
    const MsgView msg(data, size);
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(msg);
    StatusBlock status;
    int accepted = 0;
    std::span<const std::uint8_t> names;
    std::int32_t tagCount = 0;

    DeclareRequestSlots declare;
    ZENTO_SERVER_PARSE_DECLREQ(msg, declare, status);
    if (!statusFailed(status)) {
        ++accepted;
        FUZZ_CHECK(transType == kTransDeclare);
        FUZZ_CHECK(insideChars(msg, declare.deviceName, 32) && inside(msg, declare.dataTemplate) &&
                   inside(msg, declare.pairs) && inside(msg, declare.secondPairs) && inside(msg, declare.tagNames));
        FUZZ_CHECK(wholeNames(declare.tagNames, declare.tagCount));
        FUZZ_CHECK(declare.pairs.size() == (declare.pairsFlag == 1 ? 8u * static_cast<unsigned>(declare.tagCount) : 0u));
        names = declare.tagNames;
        tagCount = declare.tagCount;
        if (builderWidth(declare.tagNames, declare.tagCount)) {
            ListDeclaration again;
            again.source = ZENTO_SERVER_MSGSRC(msg);
            again.destination = ZENTO_SERVER_MSGDEST(msg);
            again.replyAddress = declare.replyAddress;
            again.messageType = ZENTO_SERVER_MSGTYPE(msg);
            again.transNum = ZENTO_SERVER_TRANSNUM(msg);
            again.listId = declare.listId;
            again.deviceName = declare.deviceName;
            again.requestWord = declare.requestWord;
            again.frequency = declare.frequency;
            again.tagCount = static_cast<std::uint32_t>(declare.tagCount);
            again.tagNames = declare.tagNames;
            const std::vector<DescriptorEntry> dataTemplate = decodeDescriptors(declare.dataTemplate);
            again.dataTemplate = dataTemplate;
            again.pairs = declare.pairs;
            again.secondPairs = declare.secondPairs;
            Message rebuilt;
            ZENTO_CLIENT_BLD_DECLREQ(again, rebuilt, status);
            // The head's addresses are the builder's to choose: compare from
            // the table on.
            FUZZ_CHECK(!statusFailed(status));
            FUZZ_CHECK(rebuilt.size == msg.size() &&
                       std::memcmp(rebuilt.data() + 288, msg.data() + 288, msg.size() - 288) == 0);
        }
    } else {
        FUZZ_CHECK(declare.tagCount == 0 && declare.deviceName == nullptr && declare.tagNames.empty());
    }

    CancelRequestSlots cancel;
    ZENTO_SERVER_PARSE_CANCREQ(msg, cancel, status);
    if (!statusFailed(status)) {
        ++accepted;
        FUZZ_CHECK(transType == kTransCancel);
        FUZZ_CHECK(insideChars(msg, cancel.deviceName, 32) && inside(msg, cancel.tagNames));
        FUZZ_CHECK(wholeNames(cancel.tagNames, cancel.tagCount));
        names = cancel.tagNames;
        tagCount = cancel.tagCount;
        if (builderWidth(cancel.tagNames, cancel.tagCount) && cancel.pairsFlag == 0 && cancel.secondFlag == 0) {
            ListCancellation again;
            again.source = ZENTO_SERVER_MSGSRC(msg);
            again.destination = ZENTO_SERVER_MSGDEST(msg);
            again.messageType = ZENTO_SERVER_MSGTYPE(msg);
            again.transNum = ZENTO_SERVER_TRANSNUM(msg);
            again.listId = cancel.listId;
            again.deviceName = cancel.deviceName;
            again.requestWord = cancel.requestWord;
            again.frequency = cancel.frequency;
            again.tagCount = static_cast<std::uint32_t>(cancel.tagCount);
            again.tagNames = cancel.tagNames;
            Message rebuilt;
            ZENTO_CLIENT_BLD_CANCREQ(again, rebuilt, status);
            FUZZ_CHECK(!statusFailed(status));
            FUZZ_CHECK(rebuilt.size == msg.size() &&
                       std::memcmp(rebuilt.data() + 288, msg.data() + 288, msg.size() - 288) == 0);
        }
    } else {
        FUZZ_CHECK(cancel.tagCount == 0 && cancel.tagNames.empty());
    }

    GetRequestSlots get;
    ZENTO_SERVER_PARSE_GETREQ(msg, get, status);
    if (!statusFailed(status)) {
        ++accepted;
        FUZZ_CHECK(transType == kTransGet);
        FUZZ_CHECK(insideChars(msg, get.deviceName, 32) && inside(msg, get.dataTemplate) && inside(msg, get.pairs) &&
                   inside(msg, get.tagNames));
        FUZZ_CHECK(wholeNames(get.tagNames, get.tagCount));
        names = get.tagNames;
        tagCount = get.tagCount;
    } else {
        FUZZ_CHECK(get.tagCount == 0 && get.tagNames.empty());
    }
    FUZZ_CHECK(accepted <= 1);
    checkTagLookup(msg, names, tagCount);
    checkDummy(msg, names, tagCount);
    return 0;
}
