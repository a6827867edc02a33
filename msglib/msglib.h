#pragma once
// The messaging library: registration and transport, message fields, reply
// building and parsing, time, logging. Calls that can fail take the caller's
// StatusBlock last and empty it on entry.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "msglib/descriptors.h"
#include "msglib/list_request_layout.h"
#include "msglib/message.h"
#include "msglib/message_head.h"
#include "msglib/records.h"
#include "msglib/status_block.h"
#include "platform/environment.h"

// Configuration by environment (zentoHome, zentoNode) lives with the platform.

// ---- Registration and transport --------------------------------------------
// Time-outs count library units of 100 ms.
constexpr std::int32_t kLibraryUnitMs = 100;

// Registers this process as a server under serviceName; fills self with the
// local node and the service name.
void ZENTO_SERVER_INIT(std::int32_t mode, std::string_view serviceName, AddressRecord& self, StatusBlock& status);
// Takes pending connections.
void ZENTO_SERVER_ACCEPT(StatusBlock& status);
// Waits up to timeout units for the next message from any connection.
// Result: its length (> 0) with the message in msg; 0 when nothing arrived;
// -1 on failure (status tells why).
std::int32_t ZENTO_SERVER_RECEIVE(std::int32_t timeout, Message& msg, StatusBlock& status);
// Sends msg to the destination in its head within timeout units.
void ZENTO_SERVER_SEND(std::int32_t timeout, MsgView msg, StatusBlock& status);
// Ends the registration.
void ZENTO_SERVER_EXIT(StatusBlock& status);
void ZENTO_SERVER_GETTIME(TimeStamp& now);
// The same clock in milliseconds since the epoch (seconds taken modulo 2^32).
std::uint64_t clockMilliseconds();
// Pauses for units of 100 ms.
void ZENTO_SERVER_SLEEP(std::int32_t units);

// ---- Message fields ---------------------------------------------------------
// Readers give 0 (or an all-zero record) when msg is shorter than a head.
std::int32_t ZENTO_SERVER_MSGTYPE(MsgView msg);
std::int32_t ZENTO_SERVER_TRANSTYPE(MsgView msg);
std::uint32_t ZENTO_SERVER_TRANSNUM(MsgView msg);
std::uint32_t ZENTO_SERVER_MSGSIZE(MsgView msg);  // the length word at offset 4
AddressRecord ZENTO_SERVER_MSGSRC(MsgView msg);
AddressRecord ZENTO_SERVER_REQSRC(MsgView msg);
AddressRecord ZENTO_SERVER_MSGDEST(MsgView msg);
AddressRecord ZENTO_SERVER_REPDEST(MsgView msg);
// Setters do nothing when msg is shorter than a head.
void ZENTO_SERVER_SET_MSGSRC(MsgSpan msg, const AddressRecord& address);
void ZENTO_SERVER_SET_MSGDEST(MsgSpan msg, const AddressRecord& address);
void ZENTO_SERVER_SET_REPDEST(MsgSpan msg, const AddressRecord& address);
void ZENTO_SERVER_SET_TRANSNUM(MsgSpan msg, std::uint32_t number);
// The update frequency (tenths of a second) of a GET request, GET reply or
// unsolicited reply; fails on any other message or a malformed one.
std::int32_t ZENTO_SERVER_FREQUENCY(MsgView msg, StatusBlock& status);

// ---- Replies ------------------------------------------------------------------
// The fourteen out-slots of the reply parsers, in order. Pointers and spans
// point into the parsed message.
struct ReplyFields {
    std::int32_t pairsFlag = 0;                    // 1
    std::int32_t replyToFlag = 0;                  // 2
    std::int32_t secondPairsFlag = 0;              // 3
    std::int32_t listId = 0;                       // 4
    const char* deviceName = nullptr;              // 5: 32 bytes
    std::int32_t requestWord = 0;                  // 6
    std::int32_t tagCount = 0;                     // 7
    std::int32_t frequency = 0;                    // 8
    std::span<const std::uint8_t> dataTemplate;    // 9: 12-byte entries
    std::span<const std::uint8_t> pairs;           // 10: tagCount x 8 bytes, or empty
    std::span<const std::uint8_t> tagNames;        // 11: tagCount fixed-width names
    std::span<const std::uint8_t> values;          // 12: as the template describes
    std::span<const std::uint8_t> statusRecords;   // 13: tagCount x 12 bytes
    std::span<const std::uint8_t> secondPairs;     // 14: tagCount x 8 bytes, or empty
};

// Parse a GET reply (transaction type 1) or an unsolicited reply (11). Any
// byte string is safe to pass: a malformed one gives facility 8 errors.
void ZENTO_SERVER_PARSE_GETREP(MsgView msg, ReplyFields& out, StatusBlock& status);
void ZENTO_SERVER_PARSE_UNSREP(MsgView msg, ReplyFields& out, StatusBlock& status);

// The GET reply to a GET request: one value per tag laid out as the request's
// data template describes, a 3 x int32 status record per tag, and the time the
// values were taken. acquisitionStatus is the data acquisition's own status.
void ZENTO_SERVER_BLD_GETREPLY(MsgView request, const StatusBlock& acquisitionStatus,
                               std::span<const std::uint8_t> values, std::span<const std::int32_t> valueStatus,
                               const TimeStamp& valueTime, Message& reply, StatusBlock& status);

// An unsolicited reply (message type 2, transaction type 11).
struct UnsolicitedReplyInput {
    AddressRecord destination;
    AddressRecord replyDestination;
    const char* deviceName = nullptr;              // 32 bytes
    std::int32_t requestWord = 0;
    std::int32_t listId = 0;
    std::int32_t frequency = 0;
    std::int32_t tagCount = 0;
    std::span<const std::uint8_t> tagNames;        // tagCount fixed-width names
    std::span<const std::uint8_t> pairs;           // tagCount x 8, or empty
    std::span<const DescriptorEntry> dataTemplate;
    std::span<const std::uint8_t> values;
    std::span<const std::uint8_t> statusRecords;   // tagCount x 12
    std::span<const std::uint8_t> secondPairs;     // tagCount x 8, or empty
};
void ZENTO_SERVER_BLD_UNSREPLY(const UnsolicitedReplyInput& input, Message& reply, StatusBlock& status);

// A notification (message type 3) of transType from source to destination;
// transNum names the transaction it answers (0: none).
void buildNotification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination,
                       std::uint32_t transNum, Message& out, StatusBlock& status);

// ---- Unsolicited lists: declare and cancel requests, tag names --------------
// The layouts: msglib/list_request_layout.h. The builders fail with facility 9
// codes; the parsers take any byte string and fail with facility 8 codes (the
// cause, then kUnableToParse), filling their slots only on success.
void ZENTO_CLIENT_BLD_DECLREQ(const ListDeclaration& declaration, Message& out, StatusBlock& status);
void ZENTO_CLIENT_BLD_CANCREQ(const ListCancellation& cancellation, Message& out, StatusBlock& status);
void ZENTO_SERVER_PARSE_DECLREQ(MsgView msg, DeclareRequestSlots& out, StatusBlock& status);
void ZENTO_SERVER_PARSE_CANCREQ(MsgView msg, CancelRequestSlots& out, StatusBlock& status);
void ZENTO_SERVER_PARSE_GETREQ(MsgView msg, GetRequestSlots& out, StatusBlock& status);
// The field of tag tagIndex's name in a GET, declare or cancel request: a
// pointer into msg, and in *nameWidth (when given) the field's width, the
// block's size over the tag count. nullptr on failure (a message no parser
// accepts, or libcode::kNoSuchTag).
const char* ZENTO_SERVER_TAG(MsgView msg, std::uint32_t tagIndex, std::uint32_t* nameWidth, StatusBlock& status);
// A block of count copies of name, each followed by its NUL, and its size in
// blockBytes; nullptr (and 0) for no names, no memory, or a block beyond 31
// bits.
std::unique_ptr<char[]> createDummyTags(std::uint32_t count, std::string_view name, std::uint32_t& blockBytes);
// Removes the leading blanks (spaces and tabs) of the text in place: the text
// ends at its first NUL or fills the span, and what it loses is NUL-filled
// at its end. Returns the new length.
std::size_t zento_lefttrim(std::span<char> text);

// ---- Logging ------------------------------------------------------------------
// Timestamped lines in files under ZENTO_HOME/log; never on standard output.
void ZENTO_SERVER_LOGMSG(std::string_view name, std::string_view text, StatusBlock& status);
// Logs block's entries in reading order; its own failure goes to status.
void ZENTO_SERVER_LOGBLK(std::string_view name, const StatusBlock& block, StatusBlock& status);
void ZENTO_DIAG_LOG(std::string_view category, std::int32_t code, std::string_view text, StatusBlock& status);
// printf-style line in the kernel debug log.
void KernelDebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Replaces every CR and LF in text by a blank, in place.
void ZENTO_FILTER_CRLF(char* text);

// ---- Store-and-forward task support -----------------------------------------
// 0 when task diagnostics are on, 1 when off (the default): msglib/diag_switch.h.
std::int32_t ZENTO_DIAG_LOGSTATE();
// block's entries, one a line: "facility=%ld  error=%ld", then two blanks and
// the code's meaning when one is known (msglib/code_catalogue.h). text points
// to the library's buffer for this thread, valid until the next call on it;
// nullptr for a block without entries. name is the caller's, for the
// library's own records.
void ZENTO_ERR_FMTBLK(std::string_view name, const StatusBlock& block, const char*& text, StatusBlock& status);

// Store-and-forward notifications (message type 3, transaction type kTransMsg):
// a body of the tasks' own, a 32-bit command code and its data.
constexpr std::int32_t kTransMsg = 15;
void ZENTO_SERVER_BLD_MSG(const AddressRecord& source, const AddressRecord& destination,
                          std::span<const std::uint8_t> body, Message& out, StatusBlock& status);
// body points into msg; empty when msg is not such a notification (facility 8).
void ZENTO_SERVER_PARSE_MSG(MsgView msg, std::span<const std::uint8_t>& body, StatusBlock& status);

// Gives the GET request (or its dummy-tag copy) msg the list id; facility 8
// when msg is not a GET request.
void ZENTO_SERVER_SET_LISTID(MsgSpan msg, std::int32_t listId, StatusBlock& status);

// This process: the local node, then the service it registered under (empty
// before ZENTO_SERVER_INIT and after ZENTO_SERVER_EXIT). Fills record, returns it.
AddressRecord& ZENTO_USR_GetApplicationID(AddressRecord& record);

// ---- Client environment, registry view, last error ---------------------------
// The client environment record: 9228 bytes, the client environment directory
// NUL-terminated at offset 8200 (ZENTO_DATA_DIR, by default $ZENTO_HOME/data/,
// created when missing, always ending in '/'); every other byte 0.
constexpr std::size_t kClientEnvironmentSize = 9228;
constexpr std::size_t kClientDirectoryOffset = 8200;
void ZENTO_CLIENT_ENVIRONMENT(std::span<char, kClientEnvironmentSize> record);
// The view bits OR-ed into every registry access mask: none over POSIX; on
// Windows the machine's own view (platform::registryMachineView).
std::uint32_t GetZentoRegSamViewFlag();
// The Windows error number of this thread's last failing platform call.
std::int32_t zento_GetLastError();
// The same as result; condition: 0 no failure, 1 the file or directory named
// did not exist, 2 any other failure.
std::int32_t zento_GetLastErrorEx(std::int32_t reserved1, std::int32_t reserved2, std::int32_t& condition);
