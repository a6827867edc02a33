#include "msglib/code_catalogue.h"

#include "platform/file_kind.h"

namespace {

// One line per code, its meaning as the place that loads it defines it.
constexpr CodeMeaning kCatalogue[] = {
    // Facility 8: why a message could not be parsed (msglib/parse_codes.h).
    {8, 8001, "the message is shorter than a message head"},
    {8, 8002, "the message does not begin with the message magic"},
    {8, 8003, "the message's length word differs from its size"},
    {8, 8004, "the message is not of the message type asked for"},
    {8, 8005, "the message is not of the transaction type asked for"},
    {8, 8006, "the descriptor count is not one the layout has, or the table runs past the message"},
    {8, 8007, "the descriptor table is not the one the layout prescribes"},
    {8, 8008, "the data part ends before an item"},
    {8, 8009, "a flag is neither 0 nor 1"},
    {8, 8010, "the tag count is below 1"},
    {8, 8011, "the tag name block is not a whole number of names"},
    {8, 8012, "the data template is malformed or not one item"},
    {8, 8013, "the data part is not the size the descriptor table describes"},
    {8, 8018, "the message could not be parsed (its cause comes first)"},

    // Facility 9: the messaging library (msglib/library_codes.h).
    {9, 9001, "no memory for a message buffer"},
    {9, 9010, "a descriptor entry has a type outside 1 to 7"},
    {9, 9011, "a structure's members run past the descriptor table"},
    {9, 9012, "a descriptor table describes more than 31 bits of data"},
    {9, 9013, "descriptor structures are nested too deep"},
    {9, 9014, "a data template has no entry"},
    {9, 9020, "the GET request to answer is malformed"},
    {9, 9021, "the data acquisition status shows a failure"},
    {9, 9022, "fewer value bytes than the data template describes"},
    {9, 9023, "fewer than three status words per tag"},
    {9, 9024, "the unsolicited reply's input is inconsistent"},
    {9, 9025, "the reply would not fit in 31 bits"},
    {9, 9040, "a log file could not be opened"},
    {9, 9041, "a log line could not be written whole"},
    // The library's support calls (msglib/support_codes.h).
    {9, 9050, "a notification body would not fit in 31 bits"},
    // The transport (msglib/transport_codes.h).
    {9, 9101, "connections accepted before the process registered"},
    {9, 9102, "the process registered a second time without ending the first registration"},
    {9, 9103, "the service name is empty, too long, or has characters other than A-Z a-z 0-9 _ . -"},
    {9, 9104, "another live process serves the service name"},
    {9, 9105, "the service's socket could not be made, bound or listened on"},
    {9, 9106, "ZENTO_HOME is too long for a socket path"},
    {9, 9110, "a pending connection could not be accepted"},
    {9, 9111, "waiting for messages failed"},
    {9, 9112, "no memory for a received message"},
    {9, 9120, "the message to send is shorter than a head, lacks the magic, or its length word is not its size"},
    {9, 9121, "the message to send names no destination service"},
    {9, 9122, "the destination node is not in the routes file"},
    {9, 9123, "nothing listens under the destination service name"},
    {9, 9124, "the connection to the destination failed"},
    {9, 9125, "the connection or the write to the destination did not finish in time"},
    {9, 9126, "the connection broke while the message was written"},

    // Facility 13: the store-and-forward codes.
    {13, 13620, "a list table has no free slot left: the new entry is refused"},
};

}  // namespace

std::span<const CodeMeaning> codeCatalogue() { return kCatalogue; }

const char* catalogueMeaning(std::int32_t facility, std::int32_t code) {
    for (const CodeMeaning& entry : kCatalogue) {
        if (entry.facility == facility && entry.code == code) return entry.meaning;
    }
    return nullptr;
}

std::string codeMeaningText(std::int32_t facility, std::int32_t code) {
    if (facility == 1) return code > 0 ? platform::runtimeErrorText(code) : std::string();
    const char* meaning = catalogueMeaning(facility, code);
    return meaning != nullptr ? meaning : std::string();
}
