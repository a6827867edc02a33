#include "msglib/code_catalogue.h"

#include "platform/file_kind.h"

namespace {

// One line per code, its meaning as the place that loads it defines it.
constexpr CodeMeaning kCatalogue[] = {
    // Facility 4: the GET request builder (forward/get_request.h).
    {4, 4040, "buildGetRequest: the device name is absent"},
    {4, 4041, "buildGetRequest: the number of tags is 0"},
    {4, 4042, "buildGetRequest: the head value is outside 1 to 9"},
    {4, 4043, "buildGetRequest: the reply-to flag is neither 0 nor 1"},
    {4, 4045, "buildGetRequest: the reply-to flag is set and the reply-to address has no service name"},
    {4, 4046, "buildGetRequest: the tag names are absent"},
    {4, 4047, "buildGetRequest: the tag names are shorter than tags x name width, or the first has no terminator"},
    {4, 4048, "buildGetRequest: the data template is absent"},
    {4, 4049, "buildGetRequest: the pair array holds fewer than two values per tag"},
    {4, 4052, "buildGetRequest: the destination node name is empty"},
    {4, 4055, "buildGetRequest: no memory for the descriptor table or the message"},
    {4, 4056, "buildGetRequest: the template-size or the data-size call failed"},

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
    // The scan list update, under facility 8.
    {8, 13575, "updateScanList: removing the declared tags from the stored list failed"},
    {8, 13576, "updateScanList: removing the scan list entry failed"},
    {8, 13577, "updateScanList: merging the declared tags into the stored list failed"},

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
    {9, 9030, "the GET request's input is inconsistent"},
    {9, 9031, "the GET request would not fit in 31 bits"},
    {9, 9032, "the tag index is at or past the request's number of tags"},
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
    // Scan list entries and their dummy-tag copies.
    {13, 13001, "addScanEntry: no memory for the stored request or its tag state"},
    {13, 13005, "removeScanEntry, removeUnsolEntry: no entry of that list id and client"},
    // List files: saving the scan and unsol lists.
    {13, 13010, "saving the scan or unsol list: the file name is null"},
    {13, 13011, "saving the scan or unsol list: the file name is empty"},
    {13, 13012, "saving the scan or unsol list: the list file could not be opened, or its new file made"},
    {13, 13013, "saving the scan or unsol list: the header could not be written"},
    {13, 13014, "saving the scan or unsol list: an entry could not be written"},
    {13, 13015, "saveScanList: an entry's request could not be written"},
    {13, 13016, "saving the scan or unsol list: the new file could not be synced, closed or put in place of the list"},
    {13, 13017, "saving a list: the file of an empty list could not be removed"},
    {13, 13018, "addScanEntry, updateScanList: the dummy-tag copy of the request could not be made"},
    // Loading the scan list.
    {13, 13019, "loadScanList: the file name is null"},
    {13, 13020, "loadScanList: the file name is empty"},
    {13, 13021, "loadScanList: the file could not be opened"},
    {13, 13022, "loadScanList: the header could not be read, or promises more entries than the table's 15000 slots"},
    {13, 13023, "loadScanList: an entry could not be read"},
    {13, 13024, "loadScanList: no memory for an entry's request"},
    {13, 13025, "loadScanList: an entry's request could not be read, or is longer than the rest of the file"},
    {13, 13027, "loadScanList: the file could not be closed"},
    {13, 13028, "loadScanList: the file's signature is not the scan list's"},
    {13, 13029, "loadScanList: the file's revision is neither 1 nor 2"},
    {13, 13030, "loadScanList: an entry's dummy-tag copy could not be rebuilt"},
    // Loading the unsol list.
    {13, 13040, "loadUnsolList: the file name is null"},
    {13, 13041, "loadUnsolList: the file name is empty"},
    {13, 13042, "loadUnsolList: the file could not be opened"},
    {13, 13043, "loadUnsolList: the header could not be read, or promises more entries than the table's 15000 slots"},
    {13, 13044, "loadUnsolList: an entry could not be read"},
    {13, 13047, "loadUnsolList: the file could not be closed"},
    // Loading the store list.
    {13, 13050, "loadStoreList, dumpStoreList: the store list file does not exist"},
    {13, 13051, "loadStoreList: the file name is null"},
    {13, 13052, "loadStoreList: the file name is empty"},
    {13, 13053, "loadStoreList, dumpStoreList: the file could not be opened"},
    {13, 13054, "loadStoreList, dumpStoreList: the header could not be read, or promises more entries than the table's "
                "15000 slots"},
    {13, 13055, "loadStoreList, dumpStoreList: an entry could not be read"},
    {13, 13056, "loadStoreList, dumpStoreList: the file could not be closed"},
    // Saving the store list.
    {13, 13060, "saveStoreList: the file name is null"},
    {13, 13061, "saveStoreList: the file name is empty"},
    {13, 13062, "saveStoreList: the list file could not be opened, or its new file made"},
    {13, 13063, "saveStoreList: the header could not be written"},
    {13, 13064, "saveStoreList: an entry could not be written"},
    {13, 13065, "saveStoreList: the new file could not be synced, closed or put in place of the list"},
    {13, 13070, "makeDummyTagMessage: no request was given"},
    {13, 13071, "makeDummyTagMessage: no memory for the copy or its dummy tag names"},
    {13, 13072, "makeDummyTagMessage: the request's tag names could not be found (not a GET request the library reads)"},
    // Store file configuration (snf/snf_codes.h).
    {13, 13100, "UpdateSnfCfg: loading the configuration left an error"},
    {13, 13102, "UpdateSnfCfg: applying the request left an error"},
    {13, 13103, "UpdateSnfCfg: saving the configuration left an error"},
    {13, 13105, "SaveSnfCfg: the DLGP address is not set"},
    {13, 13110, "SaveSnfCfg: the configuration file could not be closed"},
    {13, 13111, "LoadSnfCfg: the configuration file could not be closed"},
    {13, 13112, "LoadSnfCfg: the configuration file could not be opened (other than for its absence)"},
    {13, 13113, "LoadSnfCfg, ReadRegSnfCfg, WriteRegSnfCfg: the DLGP address is not set"},
    {13, 13114, "LoadSnfCfg: an unknown key in the configuration section"},
    {13, 13115, "ParseCfgPeriod: the period is empty"},
    {13, 13116, "ParseCfgPeriod: nothing follows the first field of the period"},
    {13, 13117, "GetDlgpAddress: the node or service name of the DLGP address is empty"},
    // File primitives (storefile/store_codes.h).
    {13, 13153, "zento_s_file_open: the open failed other than for a missing file"},
    {13, 13154, "storeFileSize: the seek to the end of the file failed"},
    {13, 13157, "removeSnfFile: the file could not be deleted"},
    {13, 13159, "seekStoreFile: a seek (or a positioned call's offset) was refused"},
    {13, 13161, "zento_s_file_open: the file does not exist"},
    {13, 13162, "zento_s_file_open: not a regular file (a directory, FIFO or device)"},
    {13, 13180, "readExact: the handle is not open"},
    {13, 13181, "readExact: no buffer was given"},
    {13, 13182, "readExact: the read failed or met the end of the file"},
    {13, 13200, "writeExact: the handle is not open"},
    {13, 13201, "writeExact: no buffer was given"},
    {13, 13202, "writeExact: the write failed or was cut short"},
    {13, 13210, "closeStoreFileHandle: the close failed"},
    {13, 13220, "flushing the store file to the disk failed"},
    // Store file allocation (snf/snf_codes.h).
    {13, 13305, "initializeStoreFile: the header could not be written"},
    {13, 13317, "initializeStoreFile: the header area could not be locked"},
    {13, 13319, "initializeStoreFile: the file could not be closed"},
    // Records (storefile/store_codes.h).
    {13, 13340, "appendRecord: the seek failed"},
    {13, 13341, "appendRecord: no memory for the record"},
    {13, 13342, "appendRecord: the write failed, or the message's length word is not its size"},
    {13, 13402, "readRecordHead, readRecordBody: the record's offset was refused"},
    // The message cursor, opening and closing (storefile/store_codes.h).
    {13, 13405, "readNextMessage: no memory for the message"},
    {13, 13406, "readNextMessage: the message body could not be read (not its check)"},
    {13, 13407, "openStoreFile: the store file could not be locked"},
    {13, 13408, "openStoreFile: the store file could not be opened"},
    {13, 13410, "openStoreFile: the store file's length could not be found"},
    {13, 13411, "openStoreFile: the header could not be read or validated; readNextMessage: a record head could "
                "not be read (not its CRC)"},
    {13, 13412, "readNextMessage: no further message in the store file"},
    {13, 13414, "readNextMessage: the header could not be written back"},
    {13, 13452, "removeLastMsg: no message is held"},
    {13, 13453, "removeLastMsg: the header could not be written back"},
    {13, 13455, "MasterFileClose: the store file could not be unlocked"},
    {13, 13456, "MasterFileClose: the store file could not be closed"},
    {13, 13457, "MasterFileClose: the header could not be synced to the disk"},
    // Forwarding (forward/forward_codes.h).
    {13, 13470, "forwardNextMessage: the frequency of the message sent could not be read"},
    {13, 13471, "forwardNextMessage: the cursor delivered no message and failed"},
    {13, 13473, "forwardNextMessage: a stored message no longer than its head was taken out unsent"},
    {13, 13474, "forwardNextMessage: a stored message the messaging library refuses to send was taken out unsent"},
    // The header (storefile/store_codes.h).
    {13, 13510, "the store file header is unusable: both blocks bad, or the forward offset outside the file"},
    {13, 13511, "the seek to the store file header failed"},
    {13, 13512, "the store file header area could not be read, is of no known type or unusable; or a record body "
                "could not be read whole"},
    {13, 13520, "the seek before a header write failed"},
    {13, 13521, "a header write failed"},
    {13, 13530, "readRecordBody: the body check word is not 0"},
    {13, 13531, "readRecordHead: the head CRC does not match the message head"},
    {13, 13532, "readRecordHead: the 304-byte record head could not be read whole"},
    {13, 13533, "addScanEntry: the request could not be parsed for its data template"},
    {13, 13534, "addScanEntry: the size call on the request's data template failed"},
    // GET reply to unsolicited reply conversion.
    {13, 13550, "converting a GET reply: the reply could not be parsed"},
    {13, 13551, "converting a GET reply: out of memory"},
    {13, 13552, "converting a GET reply: the reply's template is not a structure with members"},
    {13, 13553, "converting a GET reply: the reply's number of tags differs from the one expected"},
    {13, 13554, "converting a GET reply: a size call failed"},
    {13, 13555, "converting a GET reply: an element type is not in the table"},
    {13, 13556, "converting a GET reply: building the unsolicited reply failed"},
    {13, 13557, "converting a GET reply: a required argument is missing"},
    {13, 13558, "converting a GET reply: no tag changed, nothing to send"},
    {13, 13559, "converting a GET reply: the kept deadbands, status records or values are shorter than the reply needs"},
    // Scan list update from declare and cancel requests.
    {13, 13570, "updateScanList: the declare request could not be parsed"},
    {13, 13571, "updateScanList: the cancel request could not be parsed"},
    {13, 13572, "updateScanList: the transaction type is neither declare (4) nor cancel (5)"},
    {13, 13573, "updateScanList: the search for the list's scan entry failed"},
    {13, 13574, "updateScanList: the stored GET request could not be parsed"},
    {13, 13575, "updateScanList: removing the cancelled tags failed"},
    {13, 13578, "updateScanList: a size call failed"},
    {13, 13579, "updateScanList: out of memory"},
    {13, 13580, "updateScanList: adding the scan list entry failed"},
    {13, 13581, "updateScanList: a declare for a listed list whose old or new frequency is not negative"},
    // Tag set removal and merge.
    {13, 13590, "removeTags: out of memory"},
    {13, 13591, "removeTags: a size call failed"},
    {13, 13592, "a tag set's data template is not a structure of one element per tag, or its pieces disagree in size"},
    {13, 13600, "mergeTags: the size call on the first template failed"},
    {13, 13601, "mergeTags: the size call on the second template failed"},
    {13, 13602, "mergeTags: out of memory"},
    // List files: the scan list's tag records.
    {13, 13603, "saveScanList: an entry's tag record could not be written"},
    {13, 13604, "saveScanList: an entry's deadbands could not be written"},
    {13, 13605, "loadScanList: an entry's tag record could not be read"},
    {13, 13606, "loadScanList: an entry's request could not be parsed for its tags"},
    {13, 13608, "loadScanList: the size call on an entry's data template failed, or its values would not fit in a "
                "message"},
    {13, 13609, "loadScanList: no memory for an entry's tag state"},
    {13, 13610, "loadScanList: an entry's deadbands could not be read, or are longer than the rest of the file"},
    // Store file configuration in the registry (snf/snf_codes.h).
    {13, 13611, "ReadRegSnfCfg: the registry key could not be opened or its subkeys counted"},
    {13, 13612, "ReadRegSnfCfg: MaxSize could not be read"},
    {13, 13613, "ReadRegSnfCfg: MaxPeriod could not be read"},
    {13, 13614, "WriteRegSnfCfg: the registry key or subkey could not be created or opened"},
    {13, 13615, "WriteRegSnfCfg: MaxSize could not be set"},
    {13, 13616, "WriteRegSnfCfg: MaxPeriod could not be set"},
    // List tables (lists/list_rules.h).
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
