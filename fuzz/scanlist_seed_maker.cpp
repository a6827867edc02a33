// Writes the seed inputs of the scan list maintenance targets into
// OUTDIR/list_requests and OUTDIR/scan_list_update, made with the library's
// builders: declare, cancel and GET requests for the first; sequences of
// declares, cancels and GET replies on a scan list for the second (the input
// layout: scan_list_update_fuzz.cpp).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"
#include "scanlist/scan_entry.h"
#include "scanlist/scan_list_update.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char kDevice[32] = "DEVICE-1";
const AddressRecord kClient = makeAddress("CLIENTNODE", "CLIENT");
const AddressRecord kStore = makeAddress("SERVERNODE", "STORE");
const AddressRecord kScanner = makeAddress("SERVERNODE", "SCANNER");

Bytes bytesOf(const Message& msg) { return Bytes(msg.data(), msg.data() + msg.size); }

void write(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes names(std::initializer_list<const char*> list) {
    std::size_t width = std::string(*list.begin()).size() + 1;
    Bytes block;
    for (const char* name : list) {
        Bytes field(width, 0);
        std::memcpy(field.data(), name, std::min(width, std::string(name).size()));
        block.insert(block.end(), field.begin(), field.end());
    }
    return block;
}

std::vector<DescriptorEntry> floats(std::uint32_t count) {
    std::vector<DescriptorEntry> tpl{{kDescStruct, 0, count, 1}};
    tpl.insert(tpl.end(), count, DescriptorEntry{kDescFloat, 0, 4, 1});
    return tpl;
}

Bytes bands(std::uint32_t count, std::int32_t kind) {
    Bytes out(count * 8);
    for (std::uint32_t i = 0; i < count; ++i) {
        encodeI32(out.data() + 8 * i, kind);
        encodeU32(out.data() + 8 * i + 4, 0x3F000000);
    }
    return out;
}

Bytes declare(std::int32_t listId, std::int32_t frequency, const Bytes& nameBlock, std::uint32_t tags,
              const std::vector<DescriptorEntry>& tpl, bool withPairs, bool withBands) {
    const Bytes pairs(withPairs ? tags * 8 : 0, 1);
    const Bytes deadbands = withBands ? bands(tags, 1) : Bytes{};
    ListDeclaration d;
    d.source = kClient;
    d.destination = kStore;
    d.replyAddress = kClient;
    d.listId = listId;
    d.deviceName = kDevice;
    d.frequency = frequency;
    d.tagCount = tags;
    d.tagNames = nameBlock;
    d.dataTemplate = tpl;
    d.pairs = pairs;
    d.secondPairs = deadbands;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
    return bytesOf(msg);
}

Bytes cancel(std::int32_t listId, const Bytes& nameBlock, std::uint32_t tags) {
    ListCancellation c;
    c.source = kClient;
    c.destination = kStore;
    c.listId = listId;
    c.deviceName = kDevice;
    c.tagCount = tags;
    c.tagNames = nameBlock;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_CANCREQ(c, msg, status);
    return bytesOf(msg);
}

// The GET reply to the request the update builds for the declare.
Bytes replyFor(const Bytes& declareRequest, std::uint32_t tags, std::uint8_t valueByte) {
    auto list = newScanList();
    auto tagArray = newScanTagArray();
    MsgView built;
    StatusBlock status;
    updateScanList(declareRequest, *list, *tagArray, kScanner, kStore, 0, &built, 0, &status);
    Bytes request(built.begin(), built.end());
    // As the store task sends it: replies come back to the store task.
    ZENTO_SERVER_SET_REPDEST(request, kStore);
    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    const Bytes values(tags * 4, valueByte);
    std::vector<std::int32_t> words;
    for (std::uint32_t i = 0; i < tags; ++i) words.insert(words.end(), {1, 0, static_cast<std::int32_t>(i)});
    Message reply;
    ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, words, TimeStamp{1, 2}, reply, status);
    return bytesOf(reply);
}

// A scan_list_update input: flags, then (kind, message) records.
Bytes sequence(std::uint8_t flags, std::initializer_list<std::pair<std::uint8_t, Bytes>> records) {
    Bytes input{flags};
    for (const auto& [kind, msg] : records) {
        input.push_back(kind);
        input.push_back(static_cast<std::uint8_t>(msg.size()));
        input.push_back(static_cast<std::uint8_t>(msg.size() >> 8));
        input.insert(input.end(), msg.begin(), msg.end());
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    const std::filesystem::path requests = out / "list_requests";
    const std::filesystem::path update = out / "scan_list_update";

    const Bytes abc = names({"A", "B", "C"});
    const Bytes declareAbc = declare(7, -10, abc, 3, floats(3), false, true);
    const Bytes declareWide = declare(-7, -50, names({"LONGNAME", "X", "MIDDLE"}), 3, floats(3), true, true);
    const Bytes declareStruct =
        declare(9, -5, names({"S0", "S1"}), 2,
                {{kDescStruct, 0, 1, 1}, {kDescStruct, 0, 2, 2}, {kDescInt, 0, 4, 1}, {kDescChars, 0, 6, 1}}, false,
                false);
    const Bytes declareMismatch = declare(7, -10, abc, 3, floats(2), false, true);
    const Bytes cancelB = cancel(7, names({"B"}), 1);
    const Bytes cancelAll = cancel(7, abc, 3);
    const Bytes declareD = declare(7, -10, names({"D"}), 1, floats(1), false, true);
    const Bytes declareAgain = declare(7, -20, names({"C", "A", "B"}), 3, floats(3), false, true);
    const Bytes reply = replyFor(declareAbc, 3, 0x41);
    const Bytes replyChanged = replyFor(declareAbc, 3, 0x42);

    Message get;
    {
        const std::vector<DescriptorEntry> tpl = floats(2);
        Bytes encoded(tpl.size() * 12);
        for (std::size_t i = 0; i < tpl.size(); ++i) encodeDescriptor(encoded.data() + 12 * i, tpl[i]);
        const Bytes pairs(16, 2);
        const Bytes getNames = names({"ONE", "TWO"});
        GetRequestFields fields;
        fields.head.messageType = kMsgRequest;
        fields.head.destination = kScanner;
        fields.head.replyDestination = kStore;
        fields.head.source = kClient;
        fields.head.requestSource = kClient;
        fields.items = {1, 4, kDevice, 0, 2, 10};
        fields.dataTemplate = encoded;
        fields.pairs = pairs;
        fields.tagNames = getNames;
        writeGetRequest(fields, get);
    }
    Message dummy;
    StatusBlock status;
    makeDummyTagMessage(get.view(), dummy, status);

    write(requests, "declare", declareAbc);
    write(requests, "declare_pairs_wide", declareWide);
    write(requests, "declare_structure", declareStruct);
    write(requests, "cancel", cancelB);
    write(requests, "get", bytesOf(get));
    write(requests, "dummy", bytesOf(dummy));
    write(requests, "reply", reply);

    write(update, "declare_new", sequence(0, {{0, declareAbc}, {1, reply}, {1, replyChanged}}));
    write(update, "cancel_one", sequence(1, {{0, cancelB}, {1, reply}}));
    write(update, "declare_more", sequence(3, {{0, declareD}, {0, declareAgain}}));
    write(update, "cancel_all", sequence(1, {{0, cancelAll}, {0, cancelB}}));
    write(update, "converted", sequence(5, {{1, replyChanged}, {1, replyChanged}, {7, reply}}));
    write(update, "mismatch", sequence(1, {{0, declareMismatch}, {0, declareWide}, {0, declareStruct}}));
    write(update, "scratch_state", sequence(0, {{14, reply}, {1, bytesOf(dummy)}}));
    return 0;
}
