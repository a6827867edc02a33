#include "diag/name_tables.h"

#include <cstddef>

namespace diag {

namespace {

constexpr const char* kUnknown = "Unknown";

constexpr const char* kTaskNames[] = {"Scanner", "Store", "Forward"};
constexpr const char* kMessageTypeNames[] = {"REQ", "REPLY", "NOTIF"};
// The table knows 40 transaction types; the reports name the first 31 and
// print "Unknown" for the others.
constexpr const char* kTransactionTypeNames[] = {
    "GET", "GETHIST", "PUT", "DECL", "CANC", "", "SHUT", "LOGBLK", "FMTBLK", "LOGMSG", "UNS", "CONNECT",
    "DISCONNECT", "FMTSTS", "MSG", "STOPGET", "ACK", "STOPPUT", "PING", "START_SERVER", "STOP_SERVER",
    "GET_SERVER_STATUS", "", "GET_SERVER_CONFIGURATION", "ADD_SERVER", "MODIFY_SERVER_CONFIGURATION",
    "REMOVE_SERVER", "SET_LOGICAL_DEVICE", "GET_MGMT_PARAMS", "SET_MGMT_PARAMS", "REJECT", "DEL_LOGICAL_DEVICE",
    "REMOVE_SF_SERVICES", "REMOVE_TCPIP_SERVICE", "NOTIFY_SERVER_STATUS", "GET_SERVER_STATUS_V1",
    "REFRESH_COLLABORATIVE", "COLLABORATIVE_STATUS", "RESUME_COLLABORATIVE", "COLLAB_SOURCE_FWD_STATUS"};
constexpr std::uint32_t kNamedTransactionTypes = 31;
constexpr const char* kCommandNames[] = {"STORE CONFIGURATION", "NEW STORE FILE", "REMOVE STORE FILE",
                                         "STARTUP INFO"};

// Compared as unsigned, so that 0 and every negative number fall outside.
template <std::size_t N>
const char* lookUp(const char* const (&names)[N], std::int32_t number, std::uint32_t last = N) {
    const std::uint32_t index = static_cast<std::uint32_t>(number) - 1u;
    return index < last ? names[index] : kUnknown;
}

}  // namespace

const char* taskName(std::int32_t kind) { return lookUp(kTaskNames, kind); }
const char* messageTypeName(std::int32_t type) { return lookUp(kMessageTypeNames, type); }
const char* transactionTypeName(std::int32_t type) {
    return lookUp(kTransactionTypeNames, type, kNamedTransactionTypes);
}
const char* commandName(std::int32_t code) { return lookUp(kCommandNames, code); }

}  // namespace diag
