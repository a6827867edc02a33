// The scan list maintenance's costs.
//
//   scanlist_bench [--convert | --update]   (one half only)
//
// convertGetReply on a GET reply of 10,000 tags of 4-byte floats, with 1%
// and with 100% of the values changed, beside the floor: one plain pass over
// the same reply that compares each tag's value and status record with the
// kept ones and keeps the changed (goal: the conversion within 4 times the
// floor), in processor time. Then updateScanList on a full scan list of 15,000 slots, the list
// in the last slot, whose search is linear, beside the same list alone in
// slot 0: the cost per call and what the search adds.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/share_line.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"
#include "scanlist/reply_conversion.h"
#include "scanlist/scan_list_update.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTags = 10'000;
constexpr int kRounds = 200;

const char kDevice[32] = "DEVICE-1";
const AddressRecord kClient = makeAddress("CLIENTNODE", "CLIENT");
const AddressRecord kStore = makeAddress("SERVERNODE", "STORE");
const AddressRecord kScanner = makeAddress("SERVERNODE", "SCANNER");

// This thread's processor time in seconds: the machines these run on are
// shared, and time spent waiting for a processor is not the code's.
double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Seconds per call of run (which makes calls calls), best of kRounds short
// rounds, each too short to be often interrupted.
double perCall(int calls, const std::function<void()>& run) {
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const double start = threadSeconds();
        run();
        best = std::min(best, (threadSeconds() - start) / calls);
    }
    return best;
}

Bytes nameBlock(std::uint32_t tags) {
    Bytes names(std::size_t{tags} * 7, 0);
    for (std::uint32_t i = 0; i < tags; ++i) std::snprintf(reinterpret_cast<char*>(names.data()) + 7 * i, 7, "T%05u", i);
    return names;
}

Bytes floatTemplate(std::uint32_t tags) {
    Bytes bytes((std::size_t{tags} + 1) * kDescriptorBytes);
    encodeDescriptor(bytes.data(), {kDescStruct, 0, tags, 1});
    for (std::uint32_t i = 1; i <= tags; ++i) encodeDescriptor(bytes.data() + 12 * i, {kDescFloat, 0, 4, 1});
    return bytes;
}

Message getRequest(std::uint32_t tags) {
    const Bytes names = nameBlock(tags);
    const Bytes tpl = floatTemplate(tags);
    GetRequestFields fields;
    fields.head.messageType = kMsgRequest;
    fields.head.destination = kScanner;
    fields.head.replyDestination = kStore;
    fields.head.source = kClient;
    fields.head.requestSource = kClient;
    fields.items = {1, 7, kDevice, 0, tags, 10};
    fields.dataTemplate = tpl;
    fields.tagNames = names;
    Message out;
    writeGetRequest(fields, out);
    return out;
}

// The reply with every value step-th value (from the first) raised by one.
Message reply(MsgView request, std::uint32_t step) {
    Bytes values(std::size_t{kTags} * 4);
    for (std::uint32_t i = 0; i < kTags; ++i) {
        const float value = static_cast<float>(i) + (step != 0 && i % step == 0 ? 1.0f : 0.0f);
        std::memcpy(values.data() + 4 * i, &value, 4);
    }
    std::vector<std::int32_t> words;
    for (std::uint32_t i = 0; i < kTags; ++i) words.insert(words.end(), {1, 0, 0});
    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    Message out;
    StatusBlock status;
    ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, words, TimeStamp{}, out, status);
    return out;
}

struct Kept {
    Bytes deadbands = Bytes(std::size_t{kTags} * 8);
    Bytes states = Bytes(std::size_t{kTags} * 12);
    Bytes values = Bytes(std::size_t{kTags} * 4);
    std::uint32_t done = 0;
    Kept() {
        for (std::uint32_t i = 0; i < kTags; ++i) {
            encodeI32(deadbands.data() + 8 * i, 1);
            encodeU32(deadbands.data() + 8 * i + 4, 0x3F000000);  // 0.5
        }
    }
};

std::uint32_t convert(MsgView getReply, Kept& kept) {
    Message unsolicited;
    StatusBlock status;
    convertGetReply(getReply, &kept.done, kTags, kept.deadbands, kept.states, kept.values, &unsolicited, &status);
    return unsolicited.size;
}

// The floor: each tag's value and status record against the kept ones, the
// changed kept.
std::uint32_t plainPass(const ReplyFields& fields, Kept& kept) {
    std::uint32_t changed = 0;
    for (std::uint32_t i = 0; i < kTags; ++i) {
        const std::uint8_t* value = fields.values.data() + 4 * i;
        const std::uint8_t* status = fields.statusRecords.data() + 12 * i;
        std::uint8_t* keptValue = kept.values.data() + 4 * i;
        std::uint8_t* keptStatus = kept.states.data() + 12 * i;
        if (std::memcmp(value, keptValue, 4) != 0 || std::memcmp(status, keptStatus, 12) != 0) {
            std::memcpy(keptValue, value, 4);
            std::memcpy(keptStatus, status, 12);
            ++changed;
        }
    }
    return changed;
}

void conversionFigures() {
    const Message request = getRequest(kTags);
    const Message base = reply(request.view(), 0);
    const Message onePercent = reply(request.view(), 100);
    const Message all = reply(request.view(), 1);
    ReplyFields baseFields, onePercentFields, allFields;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREP(base.view(), baseFields, status);
    ZENTO_SERVER_PARSE_GETREP(onePercent.view(), onePercentFields, status);
    ZENTO_SERVER_PARSE_GETREP(all.view(), allFields, status);

    constexpr int kPairs = 5;  // calls = 2 x kPairs, alternating the two replies
    volatile std::uint32_t sink = 0;
    struct Case {
        const char* name;
        const Message* reply;
        const ReplyFields* fields;
    };
    for (const Case& each : {Case{"1%", &onePercent, &onePercentFields}, Case{"100%", &all, &allFields}}) {
        const char* const changedName = each.name;
        const Message* const changedReply = each.reply;
        const ReplyFields* const changedFields = each.fields;
        Kept converted;
        Kept plain;
        convert(base.view(), converted);
        plainPass(baseFields, plain);
        const double floor = perCall(2 * kPairs, [&] {
            for (int i = 0; i < kPairs; ++i) sink = sink + plainPass(*changedFields, plain) + plainPass(baseFields, plain);
        });
        const double conversion = perCall(2 * kPairs, [&] {
            for (int i = 0; i < kPairs; ++i) {
                sink = sink + convert(changedReply->view(), converted) + convert(base.view(), converted);
            }
        });
        const double parse = perCall(2 * kPairs, [&] {
            for (int i = 0; i < 2 * kPairs; ++i) {
                ReplyFields fields;
                ZENTO_SERVER_PARSE_GETREP(changedReply->view(), fields, status);
                sink = sink + static_cast<std::uint32_t>(fields.tagCount);
            }
        });
        // The unsolicited reply of every changed tag, built alone.
        const std::vector<DescriptorEntry> allTemplate = decodeDescriptors(changedFields->dataTemplate);
        UnsolicitedReplyInput input;
        input.deviceName = kDevice;
        input.tagCount = changedFields->tagCount;
        input.tagNames = changedFields->tagNames;
        input.dataTemplate = allTemplate;
        input.values = changedFields->values;
        input.statusRecords = changedFields->statusRecords;
        const bool allChanged = std::string(changedName) == "100%";
        const double build = !allChanged ? 0 : perCall(10, [&] {
            for (int i = 0; i < 10; ++i) {
                Message unsolicited;
                ZENTO_SERVER_BLD_UNSREPLY(input, unsolicited, status);
                sink = sink + unsolicited.size;
            }
        });
        std::printf("convertGetReply, %u float tags, %s changed: %8.1f us (its parse %.1f us", kTags, changedName,
                    conversion * 1e6, parse * 1e6);
        if (allChanged) std::printf(", building the reply of all of them %.1f us", build * 1e6);
        std::printf("); plain pass %6.1f us; %.2f times\n", floor * 1e6, conversion / floor);
        bench::printShare(bench::format("convertGetReply, 10,000 float tags, %s changed", changedName),
                          bench::format("%.1f us", conversion * 1e6),
                          bench::format("4 x the plain pass %.1f us", 4 * floor * 1e6),
                          bench::percent(conversion / (4 * floor)), "≤ 100%",
                          bench::metText(conversion <= 4 * floor));
    }
}

Message declareMsg(const char* name) {
    const Bytes names = {static_cast<std::uint8_t>(name[0]), static_cast<std::uint8_t>(name[1]), 0};
    const DescriptorEntry tpl[] = {{kDescStruct, 0, 1, 1}, {kDescFloat, 0, 4, 1}};
    const Bytes bands(8, 1);
    ListDeclaration d;
    d.source = kClient;
    d.destination = kStore;
    d.replyAddress = kClient;
    d.listId = 7;
    d.deviceName = kDevice;
    d.frequency = -10;
    d.tagCount = 1;
    d.tagNames = names;
    d.dataTemplate = tpl;
    d.secondPairs = bands;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_DECLREQ(d, msg, status);
    return msg;
}

Message cancelMsg(const char* name) {
    const Bytes names = {static_cast<std::uint8_t>(name[0]), static_cast<std::uint8_t>(name[1]), 0};
    ListCancellation c;
    c.source = kClient;
    c.destination = kStore;
    c.listId = 7;
    c.deviceName = kDevice;
    c.tagCount = 1;
    c.tagNames = names;
    Message msg;
    StatusBlock status;
    ZENTO_CLIENT_BLD_CANCREQ(c, msg, status);
    return msg;
}

// Seconds per updateScanList call on a list of 20 tags recorded in the given
// slot of a table whose slots before it hold other lists (of other ids, or
// with sameId of the same id for other clients, each of which the search then
// compares by address): a declare of one tag and its cancel, in turn.
double updateCost(std::uint32_t slot, std::uint32_t highestEntry, bool sameId) {
    std::unique_ptr<ScanList> list = newScanList();
    std::unique_ptr<ScanTagArray> tags = newScanTagArray();
    for (std::uint32_t i = 0; i < slot; ++i) {
        list->slots[i].inUse = 1;
        list->slots[i].listId = sameId ? 7 : static_cast<std::int32_t>(100 + i);
        list->slots[i].requestSource = makeAddress("OTHERNODE", "CLIENT");
    }
    list->highestEntry = slot;
    MsgView built;
    StatusBlock status;
    char name[3] = "A0";
    for (int i = 0; i < 20; ++i) {
        name[0] = static_cast<char>('A' + i);
        updateScanList(declareMsg(name).view(), *list, *tags, kScanner, kStore, 0, &built, 0, &status);
    }
    list->highestEntry = highestEntry;
    const Message declare = declareMsg("ZZ");
    const Message cancel = cancelMsg("ZZ");
    constexpr int kPairs = 20;
    return perCall(2 * kPairs, [&] {
        for (int i = 0; i < kPairs; ++i) {
            updateScanList(declare.view(), *list, *tags, kScanner, kStore, 0, &built, 0, &status);
            updateScanList(cancel.view(), *list, *tags, kScanner, kStore, 0, &built, 0, &status);
        }
    });
}

void updateFigures() {
    const double full = updateCost(kListSlots - 1, kListSlots, false);
    const double sameIds = updateCost(kListSlots - 1, kListSlots, true);
    const double alone = updateCost(0, 1, false);
    std::printf("updateScanList, declare and cancel of one tag of a 20-tag list:\n");
    std::printf("  alone in slot 0:                                %6.1f us a call\n", alone * 1e6);
    std::printf("  in slot 14999 of a full list:                   %6.1f us a call (the search adds %.1f us)\n",
                full * 1e6, (full - alone) * 1e6);
    std::printf("  the same, every other list of the same id:      %6.1f us a call (the search adds %.1f us)\n",
                sameIds * 1e6, (sameIds - alone) * 1e6);
    bench::printShare("updateScanList, full 15,000-slot scan list", bench::format("%.1f us a call", full * 1e6),
                      bench::format("the list alone %.1f us", alone * 1e6), bench::percent(alone / full), "-", "");
    bench::printShare("updateScanList, full list, every slot of the list's id",
                      bench::format("%.1f us a call", sameIds * 1e6),
                      bench::format("the list alone %.1f us", alone * 1e6), bench::percent(alone / sameIds), "-",
                      "");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    char pattern[] = "/tmp/zento-scanlist-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const std::string home = pattern;
    ::setenv("ZENTO_HOME", home.c_str(), 1);
    if (only != "--update") conversionFigures();
    if (only != "--convert") updateFigures();
    std::filesystem::remove_all(home);
    return 0;
}
