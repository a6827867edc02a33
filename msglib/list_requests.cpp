// The library calls of unsolicited lists: declare and cancel requests, the
// GET request's out-slots, and the tag name helpers.
#include <cstring>
#include <new>

#include "msglib/library_codes.h"
#include "msglib/list_request_layout.h"
#include "msglib/msglib.h"
#include "msglib/parse_codes.h"
#include "msglib/request_layout.h"

namespace {

void loadParseFault(std::int32_t fault, StatusBlock& status) {
    ZENTO_SERVER_LDBLK(kFacilityParser, fault, status);
    ZENTO_SERVER_LDBLK(kFacilityParser, parsecode::kUnableToParse, status);
}

}  // namespace

void ZENTO_CLIENT_BLD_DECLREQ(const ListDeclaration& declaration, Message& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(out);
    if (std::int32_t fault = writeDeclareRequest(declaration, out); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
    }
}

void ZENTO_CLIENT_BLD_CANCREQ(const ListCancellation& cancellation, Message& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    releaseMessage(out);
    if (std::int32_t fault = writeCancelRequest(cancellation, out); fault != 0) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, fault, status);
    }
}

void ZENTO_SERVER_PARSE_DECLREQ(MsgView msg, DeclareRequestSlots& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (std::int32_t fault = readDeclareRequest(msg, out); fault != 0) loadParseFault(fault, status);
}

void ZENTO_SERVER_PARSE_CANCREQ(MsgView msg, CancelRequestSlots& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (std::int32_t fault = readCancelRequest(msg, out); fault != 0) loadParseFault(fault, status);
}

void ZENTO_SERVER_PARSE_GETREQ(MsgView msg, GetRequestSlots& out, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    out = {};
    GetRequestView request;
    if (std::int32_t fault = readGetRequest(msg, request); fault != 0) {
        loadParseFault(fault, status);
        return;
    }
    out.pairsFlag = request.pairsFlag;
    out.replyToFlag = request.items.replyToFlag;
    out.listId = request.items.listId;
    out.deviceName = request.items.deviceName;
    out.requestWord = request.items.requestWord;
    out.tagCount = static_cast<std::int32_t>(request.items.tagCount);
    out.frequency = request.items.frequency;
    out.dataTemplate = request.dataTemplate;
    out.pairs = request.pairs;
    out.tagNames = request.tagNames;
    out.valueBytes = request.valueBytes;
}

const char* ZENTO_SERVER_TAG(MsgView msg, std::uint32_t tagIndex, std::uint32_t* nameWidth, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (nameWidth != nullptr) *nameWidth = 0;
    std::span<const std::uint8_t> names;
    std::uint32_t tagCount = 0;
    if (std::int32_t fault = findRequestNames(msg, names, tagCount); fault != 0) {
        loadParseFault(fault, status);
        return nullptr;
    }
    if (tagIndex >= tagCount) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, libcode::kNoSuchTag, status);
        return nullptr;
    }
    const std::size_t width = names.size() / tagCount;
    if (nameWidth != nullptr) *nameWidth = static_cast<std::uint32_t>(width);
    return reinterpret_cast<const char*>(names.data() + width * tagIndex);
}

std::unique_ptr<char[]> createDummyTags(std::uint32_t count, std::string_view name, std::uint32_t& blockBytes) {
    blockBytes = 0;
    const std::uint64_t width = std::uint64_t{name.size()} + 1;
    const std::uint64_t bytes = width * count;
    if (count == 0 || bytes > 0x7FFFFFFF) return nullptr;
    std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<std::size_t>(bytes)]);
    if (!block) return nullptr;
    for (std::uint32_t i = 0; i < count; ++i) {
        char* field = block.get() + static_cast<std::size_t>(width) * i;
        if (!name.empty()) std::memcpy(field, name.data(), name.size());
        field[name.size()] = '\0';
    }
    blockBytes = static_cast<std::uint32_t>(bytes);
    return block;
}

std::size_t zento_lefttrim(std::span<char> text) {
    if (text.empty()) return 0;
    const void* nul = std::memchr(text.data(), '\0', text.size());
    const std::size_t length = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text.data())
                                              : text.size();
    std::size_t blanks = 0;
    while (blanks < length && (text[blanks] == ' ' || text[blanks] == '\t')) ++blanks;
    if (blanks == 0) return length;
    std::memmove(text.data(), text.data() + blanks, length - blanks);
    std::memset(text.data() + (length - blanks), '\0', blanks);
    return length - blanks;
}
