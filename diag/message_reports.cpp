#include "diag/message_reports.h"

#include <span>

#include "diag/name_tables.h"
#include "diag/report_text.h"
#include "msglib/address_coding.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"

namespace diag {

namespace {

constexpr std::size_t kTextBytes = 2048;
constexpr std::size_t kNameWidth = 40;

bool diagnosticsOn() { return ZENTO_DIAG_LOGSTATE() == 0; }
bool present(MsgView message) { return message.data() != nullptr; }

// "%-40.40s" of a name field of an AddressRecord.
void appendName(ReportText& text, const char (&field)[32]) {
    text.appendLeft(fixedText(field, sizeof field), kNameWidth, kNameWidth);
}

// label, the node, ", Service = " (or separator), the service.
void appendAddress(ReportText& text, std::string_view label, const AddressRecord& address,
                   std::string_view separator = ", Service = ") {
    text.append(label);
    appendName(text, address.node);
    text.append(separator);
    appendName(text, address.service);
}

// label, the name padded to 40, ", ID = %d".
void appendNamedNumber(ReportText& text, std::string_view label, const char* name, std::int32_t number) {
    text.append(label);
    text.appendLeft(name, kNameWidth, kNameWidth);
    text.format(", ID = %d", static_cast<int>(number));
}

// lead, then "\n" and the block as text; without that text the receive
// report leaves out the lead too, the send report keeps it.
enum class Lead { WithText, Always };
void appendBlockText(ReportText& text, const StatusBlock& block, std::string_view lead, Lead when) {
    const char* blockText = nullptr;
    StatusBlock local;
    ZENTO_ERR_FMTBLK("XXXX", block, blockText, local);
    if (blockText != nullptr || when == Lead::Always) text.append(lead);
    if (blockText == nullptr) return;
    text.append("\n");
    text.append(blockText);
}

void file(std::int32_t code, const ReportText& text) {
    StatusBlock local;
    ZENTO_DIAG_LOG("LOGIC", code, text.text(), local);
}

// Labels of the notification pieces, as the receive and the send reports
// align them.
struct CommandLabels {
    std::string_view command;
    std::string_view storeFile;
    std::string_view storeFileClient;
};
constexpr CommandLabels kReceiveLabels = {"\n  Command type      = ", "\n  Store file        = ",
                                          "\n  Store file client = "};
constexpr CommandLabels kSendLabels = {"\n  Command type          = ", "\n  Store file            = ",
                                       "\n  Store file client     = "};

// The command of a store-and-forward notification whose body parses. A body
// too short for its command code shows nothing; the data of a command are
// read only as far as the body goes: a store file name runs to its NUL or to
// the body's end, and a client address is shown only when all 64 bytes of it
// are there.
void appendCommand(ReportText& text, MsgView message, const CommandLabels& labels) {
    if (ZENTO_SERVER_MSGTYPE(message) != kMsgNotification || ZENTO_SERVER_TRANSTYPE(message) != kTransMsg) return;
    std::span<const std::uint8_t> body;
    StatusBlock local;
    ZENTO_SERVER_PARSE_MSG(message, body, local);
    if (statusFailed(local) || body.size() < 4) return;
    const std::int32_t code = decodeI32(body.data());
    const std::span<const std::uint8_t> data = body.subspan(4);
    appendNamedNumber(text, labels.command, commandName(code), code);
    if (code == kCommandNewStoreFile) {
        text.append(labels.storeFile);
        text.append(boundedText(reinterpret_cast<const char*>(data.data()), data.size()));
    } else if (code == kCommandRemoveStoreFile && data.size() >= kAddressBytes) {
        appendAddress(text, labels.storeFileClient, decodeAddress(data.data()));
    }
}

std::int32_t receiveBase(std::int32_t taskKind) {
    switch (taskKind) {
        case 1: return 7005;
        case 2: return 7008;
        case 3: return 7011;
        default: return 0;
    }
}

// The sent report's code by task kind: block failed, resent, first send.
struct SentCodes {
    std::int32_t failed;
    std::int32_t resent;
    std::int32_t firstSend;
};
constexpr SentCodes kSentCodes[] = {{7084, 7085, 7085}, {7070, 7071, 7071}, {7072, 7073, 7074}};
constexpr std::int32_t kResentReplyCode = 7073;

}  // namespace

void reportScanRequest(MsgView message, std::int32_t listId, std::int32_t tagInformation, std::int32_t frequency,
                       std::int32_t entry) {
    if (!diagnosticsOn() || !present(message)) return;
    char buffer[kTextBytes];
    ReportText text(buffer, sizeof buffer);
    text.append("KV.58 Scan task sending regular scan request");
    text.format("\n  Scan list entry     = %d", static_cast<int>(entry));
    text.format("\n  List id             = %d", static_cast<int>(listId));
    text.format("\n  Frequency           = %f sec", frequency / 10.0);
    text.format("\n  Tag information     = %-s", tagInformation != 0 ? "YES" : "NO");
    appendAddress(text, "\n  Destination node    = ", ZENTO_SERVER_MSGDEST(message));
    file(7004, text);
}

void reportReceive(std::int32_t taskKind, std::int32_t result, MsgView message, const StatusBlock* status) {
    if (!diagnosticsOn()) return;
    const std::int32_t base = receiveBase(taskKind);
    if (base == 0) return;
    const char* task = taskName(taskKind);
    char buffer[kTextBytes];
    ReportText text(buffer, sizeof buffer);
    std::int32_t code = base;
    if (status != nullptr && statusFailed(*status)) {
        text.format("KV.58 %s task error receiving message", task);
        appendBlockText(text, *status, "\nThe following error was detected", Lead::WithText);
    } else if (result <= 0) {
        code = base + 1;
        text.format("KV.58 %s task checked for messages and received none", task);
    } else if (!present(message)) {
        text.format("KV.58 %s task error receiving message", task);
        text.append("\nAn unknown error occurred, message pointer invalid");
    } else {
        code = base + 2;
        text.format("KV.58 %s task received message", task);
        text.format("\n  Transaction #     = %lu", static_cast<unsigned long>(ZENTO_SERVER_TRANSNUM(message)));
        const std::int32_t messageType = ZENTO_SERVER_MSGTYPE(message);
        const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(message);
        appendNamedNumber(text, "\n  Message type      = ", messageTypeName(messageType), messageType);
        appendNamedNumber(text, "\n  Transaction type  = ", transactionTypeName(transType), transType);
        appendAddress(text, "\n  Source node       = ", ZENTO_SERVER_MSGSRC(message));
        appendCommand(text, message, kReceiveLabels);
    }
    file(code, text);
}

void reportSent(std::int32_t taskKind, MsgView message, std::int32_t resent, const StatusBlock* status) {
    if (!diagnosticsOn() || !present(message) || status == nullptr) return;
    if (taskKind < 1 || taskKind > 3) return;
    const SentCodes& codes = kSentCodes[taskKind - 1];
    const bool failed = statusFailed(*status);
    const std::int32_t code = failed ? codes.failed : resent != 0 ? codes.resent : codes.firstSend;
    char buffer[kTextBytes];
    ReportText text(buffer, sizeof buffer);
    text.format(code == kResentReplyCode ? "KV.58 %s task resent unACKed reply message" : "KV.58 %s task sent message",
                taskName(taskKind));
    const std::int32_t messageType = ZENTO_SERVER_MSGTYPE(message);
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(message);
    appendNamedNumber(text, "\n  Message type          = ", messageTypeName(messageType), messageType);
    appendNamedNumber(text, "\n  Transaction type      = ", transactionTypeName(transType), transType);
    appendAddress(text, "\n  Destination Node      = ", ZENTO_SERVER_MSGDEST(message));
    appendCommand(text, message, kSendLabels);
    if (failed) appendBlockText(text, *status, "\n\n The following error was detected", Lead::Always);
    file(code, text);
}

void reportReplyLocated(const ScanList* scanList, const UnsolList* unsolList, MsgView message, std::int32_t index,
                        std::int32_t unchanged) {
    if (!diagnosticsOn()) return;
    // An index past the table names no entry: nothing to show.
    if (scanList == nullptr || unsolList == nullptr || !present(message) || index < 0 ||
        static_cast<std::uint32_t>(index) >= kListSlots) {
        return;
    }
    const std::int32_t transType = ZENTO_SERVER_TRANSTYPE(message);
    if (transType != kTransGet && transType != kTransUnsolicited) return;
    char buffer[kTextBytes];
    ReportText text(buffer, sizeof buffer);
    std::int32_t code = 0;
    if (transType == kTransGet) {
        const ScanListEntry& entry = scanList->slots[static_cast<std::size_t>(index)];
        if (entry.frequency < 0 && unchanged != 0) {
            code = 7064;
            text.append("KV.58 Store task located GET->UNSOL reply in scan list but no value changes detected");
        } else if (entry.frequency < 0) {
            code = 7065;
            text.append(
                "KV.58 Store task located GET->UNSOL reply in scan list. GET Message will be converted to UNSOL");
        } else {
            code = 7066;
            text.append("KV.58 Store task located GET reply in scan list");
        }
        text.format("\n  Entry            = %d", static_cast<int>(index));
        text.format("\n  Listid           = %d", static_cast<int>(entry.listId));
        text.format("\n  transnum         = %lu", static_cast<unsigned long>(ZENTO_SERVER_TRANSNUM(message)));
        text.format("\n  Frequency        = %f sec", entry.frequency / 10.0);
        appendAddress(text, "\n  Source node      = ", entry.requestSource, " Service = ");
        appendAddress(text, "\n  Destination node = ", entry.replyDestination, " Service = ");
    } else {
        const UnsolListEntry& entry = unsolList->slots[static_cast<std::size_t>(index)];
        code = 7067;
        text.append("KV.58 Store task located UNSOL reply in scan list");
        text.format("\n  Entry            = %d", static_cast<int>(index));
        text.format("\n  Listid           = %d", static_cast<int>(entry.listId));
        text.format("\n  transnum         = %lu", static_cast<unsigned long>(ZENTO_SERVER_TRANSNUM(message)));
        appendAddress(text, "\n  Source node      = ", entry.requestSource, " Service = ");
        appendAddress(text, "\n  Destination node = ", entry.destination, " Service = ");
    }
    file(code, text);
}

}  // namespace diag
