// zento_fuzz_seeds OUTDIR: writes the starting inputs of every fuzz target
// into OUTDIR/<target>/. Store files are made the way zento_sf_tool makes
// them (its create and append), drained in part by the real cursor where a
// ring has to wrap, and then damaged in the ways a crash or a bad disk would;
// messages and descriptor tables come from the library's own builders.
// Run it after a format change and merge the result into fuzz/corpus.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "forward/get_request.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/header_bytes.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"
#include "storefile/store_file.h"
#include "storefile/cursor.h"
#include "storefile/store_format.h"
#include "storefile/store_open.h"
#include "tools/sf_tool/sample_messages.h"
#include "tools/sf_tool/store_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "zento_fuzz_seeds: %s\n", what.c_str());
    std::exit(1);
}

Bytes readFile(const std::string& path) {
    const std::string text = fuzzsupport::readWholeFile(path);
    return Bytes(text.begin(), text.end());
}

void writeSeed(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) die("cannot write " + (dir / name).string());
}

// ---- Store files ----------------------------------------------------------

struct StorePlan {
    std::uint32_t count = 0;
    SampleKind kind = SampleKind::GetReply;
    std::uint32_t size = 0;
};

std::string scratchPath() { return fuzzsupport::home() + "/ZENTO_STORE_SEED.DAT"; }

void appendMessages(const std::string& path, const StorePlan& plan, std::uint32_t firstSequence) {
    StoreWriter writer;
    std::string error;
    if (!openStoreWriter(writer, path, error)) die(error);
    for (std::uint32_t i = 0; i < plan.count; ++i) {
        SampleShape shape;
        shape.kind = i % 3 == 2 ? SampleKind::UnsolicitedReply : plan.kind;
        shape.requesterNode = "seednode";
        shape.size = plan.size;
        Message msg;
        if (!buildSampleMessage(shape, firstSequence + i, msg, error)) die(error);
        if (!appendStoredMessage(writer, msg.view(), error)) die(error);
    }
    closeStoreWriter(writer);
}

Bytes linearFile(const StorePlan& plan) {
    const std::string path = scratchPath();
    std::string error;
    if (!createStoreFile(path, 0, true, error)) die(error);
    appendMessages(path, plan, 1);
    return readFile(path);
}

StoreFileHeader headerOf(const Bytes& bytes) {
    return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
}

void setHeader(Bytes& bytes, const StoreFileHeader& header) {
    const Type2Block block = encodeType2(header);
    std::copy(block.begin(), block.end(), bytes.begin());
    fuzzsupport::repairHeader(bytes, 2);
}

// A ring of ringBytes: the writer's ring logic works on the file's length,
// so a small file stands for a ring of any size.
std::string createSmallRing(std::int64_t ringBytes) {
    const std::string path = scratchPath();
    std::string error;
    if (!createStoreFile(path, 0, true, error)) die(error);
    Bytes bytes = readFile(path);
    StoreFileHeader header = headerOf(bytes);
    header.maxSize = 1;
    setHeader(bytes, header);
    bytes.resize(static_cast<std::size_t>(ringBytes), 0);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Forwards count messages with the real cursor, as an acknowledged recovery.
void forward(const std::string& path, std::uint32_t count) {
    StoreFile ctx;
    StatusBlock status;
    if (!openStoreFile(ctx, path, {}, status)) die("cannot open the seed ring");
    for (std::uint32_t i = 0; i < count; ++i) {
        if (readNextMessage(ctx, status) == 0) die("the seed ring ran out");
        removeLastMsg(ctx, status);
        if (statusFailed(status)) die("cannot remove from the seed ring");
    }
    MasterFileClose(ctx, status);
}

Bytes ringFile(std::int64_t ringBytes, const StorePlan& first, std::uint32_t forwarded, const StorePlan& second) {
    const std::string path = createSmallRing(ringBytes);
    appendMessages(path, first, 1);
    if (forwarded > 0) forward(path, forwarded);
    if (second.count > 0) appendMessages(path, second, first.count + 1);
    return readFile(path);
}

// The same file under an older header generation: its header area is
// shorter, the records stay where they are.
Bytes asOlderGeneration(Bytes bytes, int headerType) {
    const StoreFileHeader header = headerOf(bytes);
    std::fill(bytes.begin(), bytes.begin() + 192, 0);
    const std::uint32_t s = fuzzsupport::blockSize(headerType);
    if (headerType == 1) {
        const Type1Block block = headerToType1(header);
        std::copy(block.begin(), block.end(), bytes.begin());
    } else {
        const Type0Block block = headerToType0(header);
        std::copy(block.begin(), block.end(), bytes.begin());
    }
    encodeU32(bytes.data() + 4, 0);  // older generations are told apart by their magic
    std::copy_n(bytes.begin(), s, bytes.begin() + s + 4);
    fuzzsupport::repairHeader(bytes, headerType);
    return bytes;
}

// Word 8 of the header is not interpreted; the cursor target keeps record
// damage when its bit 0 is set.
Bytes keepingDamage(Bytes bytes) {
    StoreFileHeader header = headerOf(bytes);
    header.word08 |= 1;
    setHeader(bytes, header);
    return bytes;
}

std::int64_t recordAfter(const Bytes& bytes, std::int64_t at) {
    return at + 12 + decodeU32(bytes.data() + at + 16);
}

void storeSeeds(const fs::path& out) {
    const Bytes linear = linearFile({3, SampleKind::GetReply, 0});
    const Bytes linearBig = linearFile({2, SampleKind::GetReply, 1200});
    const Bytes linearMany = linearFile({8, SampleKind::UnsolicitedReply, 0});
    const Bytes ring = ringFile(4096, {4, SampleKind::GetReply, 0}, 0, {});
    // Filled, half drained, filled again: the newest records wrap to the
    // start of the data area, in front of the oldest still to forward.
    const Bytes wrapped = ringFile(4096, {5, SampleKind::GetReply, 0}, 3, {2, SampleKind::UnsolicitedReply, 0});
    const Bytes drained = ringFile(4096, {5, SampleKind::GetReply, 0}, 5, {});

    const std::int64_t second = recordAfter(linear, 192);
    Bytes badHead = linear;
    badHead[static_cast<std::size_t>(second + 40)] ^= 0xFF;
    Bytes badBody = linear;
    encodeU32(badBody.data() + second + 8, 1);
    Bytes badMarker = linear;
    badMarker[static_cast<std::size_t>(second)] = 'X';
    Bytes truncated = linear;
    truncated.resize(truncated.size() - 100);
    Bytes shortLength = linear;  // a length word that cannot hold a head
    encodeU32(shortLength.data() + second + 16, 100);
    Bytes zeroTail = linear;  // unwritten space behind the data
    zeroTail.resize(zeroTail.size() + 700, 0);
    {
        StoreFileHeader h = headerOf(zeroTail);
        h.lastOffset = static_cast<std::int64_t>(zeroTail.size());
        setHeader(zeroTail, h);
    }

    Bytes primaryBad = linear;
    primaryBad[20] ^= 0x01;
    Bytes bothBad = primaryBad;
    bothBad[96 + 20] ^= 0x01;
    Bytes backupBad = linear;
    backupBad[96 + 30] ^= 0x01;
    Bytes blocksDiffer = linear;
    encodeU32(blocksDiffer.data() + 96 + 8, 7);
    encodeU32(blocksDiffer.data() + 188, storeCrc({blocksDiffer.data() + 96, 92}));
    Bytes beyondEnd = linear;
    {
        StoreFileHeader h = headerOf(beyondEnd);
        h.forwardOffset = static_cast<std::int64_t>(beyondEnd.size());
        setHeader(beyondEnd, h);
    }
    Bytes unknownType = linear;
    std::fill(unknownType.begin(), unknownType.begin() + 192, 0);

    const std::vector<std::pair<std::string, Bytes>> files = {
        {"linear", linear},
        {"linear_large_messages", linearBig},
        {"linear_unsolicited", linearMany},
        {"ring", ring},
        {"ring_wrapped", wrapped},
        {"ring_drained", drained},
        {"type0", asOlderGeneration(linear, 0)},
        {"type1", asOlderGeneration(linear, 1)},
        {"truncated_record", truncated},
        {"zero_tail", zeroTail},
        {"primary_block_bad", primaryBad},
        {"backup_block_bad", backupBad},
        {"both_blocks_bad", bothBad},
        {"blocks_differ", blocksDiffer},
        {"forward_offset_at_end", beyondEnd},
        {"unknown_header_type", unknownType},
    };
    for (const auto& [name, bytes] : files) {
        writeSeed(out / "store_header", name, bytes);
        writeSeed(out / "store_cursor", name, bytes);
    }
    // Record damage only means something to the cursor.
    writeSeed(out / "store_cursor", "bad_head_crc", keepingDamage(badHead));
    writeSeed(out / "store_cursor", "bad_body_check", keepingDamage(badBody));
    writeSeed(out / "store_cursor", "bad_marker", keepingDamage(badMarker));
    writeSeed(out / "store_cursor", "short_length_word", keepingDamage(shortLength));
}

// ---- Messages ---------------------------------------------------------------

Bytes bytesOf(const Message& msg) { return Bytes(msg.data(), msg.data() + msg.size); }

Message getRequest(bool withPairs, std::span<const DescriptorEntry> dataTemplate, std::uint32_t tags,
                   std::span<const char> names) {
    std::array<char, 32> device{};
    std::memcpy(device.data(), "SEEDDEVICE", 10);
    const AddressRecord replyTo = makeAddress("", "seedclient");
    const AddressRecord destination = makeAddress("seednode.example", "DLGPSERVER");
    std::vector<std::int32_t> pairs(withPairs ? tags * 2 : 0, 5);
    Message request;
    StatusBlock status;
    buildGetRequest(42, device.data(), 3, tags, 1, 1, 0, &replyTo, destination, 25, names, pairs, dataTemplate,
                    request, status);
    if (statusFailed(status)) die("cannot build a seed request");
    return request;
}

Message getReplyTo(const Message& request, std::size_t valueBytes, std::uint32_t tags) {
    StatusBlock acquisition;
    ZENTO_SERVER_INITBLK(acquisition);
    std::vector<std::uint8_t> values(valueBytes, 0x41);
    std::vector<std::int32_t> valueStatus(tags * 3, 0);
    Message reply;
    StatusBlock status;
    ZENTO_SERVER_BLD_GETREPLY(request.view(), acquisition, values, valueStatus, TimeStamp{5, 1700000000}, reply,
                              status);
    if (statusFailed(status)) die("cannot build a seed reply");
    return reply;
}

Message unsolicited(bool pairs, bool secondPairs) {
    const char device[32] = "SEEDDEVICE";
    const char names[] = "TAG1\0TAG2\0";
    const std::array<DescriptorEntry, 1> dataTemplate{DescriptorEntry{kDescInt, 0, 4, 2}};
    const std::array<std::uint8_t, 8> values{1, 0, 0, 0, 2, 0, 0, 0};
    const std::array<std::uint8_t, 24> statusRecords{};
    const std::array<std::uint8_t, 16> pairBytes{9, 0, 0, 0, 8, 0, 0, 0, 7, 0, 0, 0, 6, 0, 0, 0};
    UnsolicitedReplyInput input;
    input.destination = makeAddress("seednode", "seedclient");
    input.replyDestination = makeAddress("seednode", "DLGPSERVER");
    input.deviceName = device;
    input.listId = 7;
    input.frequency = 50;
    input.tagCount = 2;
    input.tagNames = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(names), 10);
    input.dataTemplate = dataTemplate;
    input.values = values;
    input.statusRecords = statusRecords;
    if (pairs) input.pairs = pairBytes;
    if (secondPairs) input.secondPairs = pairBytes;
    Message reply;
    StatusBlock status;
    ZENTO_SERVER_BLD_UNSREPLY(input, reply, status);
    if (statusFailed(status)) die("cannot build a seed unsolicited reply");
    return reply;
}

void messageSeeds(const fs::path& out) {
    const char oneName[] = "STOREFILEISEMPTY";
    const std::array<DescriptorEntry, 2> noticeTemplate{DescriptorEntry{kDescStruct, 0, 1, 1},
                                                        DescriptorEntry{kDescChars, 0, 17, 1}};
    const char threeNames[] = "AB\0CD\0EF";
    // A structure of a short and a double, repeated for three tags.
    const std::array<DescriptorEntry, 3> nestedTemplate{DescriptorEntry{kDescStruct, 0, 2, 3},
                                                        DescriptorEntry{kDescShort, 0, 2, 1},
                                                        DescriptorEntry{kDescDouble, 0, 8, 1}};
    const Message notice = getRequest(true, noticeTemplate, 1, {oneName, sizeof oneName});
    const Message plain = getRequest(false, nestedTemplate, 3, {threeNames, sizeof threeNames});
    const Message withPairs = getRequest(true, nestedTemplate, 3, {threeNames, sizeof threeNames});

    const fs::path dir = out / "messages";
    writeSeed(dir, "request_notice", bytesOf(notice));
    writeSeed(dir, "request_plain", bytesOf(plain));
    writeSeed(dir, "request_pairs", bytesOf(withPairs));
    writeSeed(dir, "get_reply_notice", bytesOf(getReplyTo(notice, 17, 1)));
    writeSeed(dir, "get_reply_nested", bytesOf(getReplyTo(plain, 30, 3)));
    writeSeed(dir, "get_reply_pairs", bytesOf(getReplyTo(withPairs, 30, 3)));
    writeSeed(dir, "unsolicited", bytesOf(unsolicited(false, false)));
    writeSeed(dir, "unsolicited_pairs", bytesOf(unsolicited(true, false)));
    writeSeed(dir, "unsolicited_both_pairs", bytesOf(unsolicited(true, true)));
    for (SampleKind kind : {SampleKind::GetReply, SampleKind::UnsolicitedReply}) {
        SampleShape shape;
        shape.kind = kind;
        shape.requesterNode = "seednode";
        Message sample;
        std::string error;
        if (!buildSampleMessage(shape, 1, sample, error)) die(error);
        writeSeed(dir, kind == SampleKind::GetReply ? "sample_get_reply" : "sample_unsolicited", bytesOf(sample));
    }
}

// ---- Descriptor tables ------------------------------------------------------

Bytes encodeTable(std::span<const DescriptorEntry> table) {
    Bytes bytes(table.size() * kDescriptorBytes);
    for (std::size_t i = 0; i < table.size(); ++i) encodeDescriptor(bytes.data() + i * kDescriptorBytes, table[i]);
    return bytes;
}

void descriptorSeeds(const fs::path& out) {
    const fs::path dir = out / "descriptors";
    const std::vector<std::pair<std::string, std::vector<DescriptorEntry>>> tables = {
        {"simple_types", {{1, 0, 4, 2}, {2, 0, 2, 3}, {3, 0, 17, 1}, {4, 0, 4, 1}, {5, 0, 8, 2}, {6, 0, 8, 1}}},
        {"nested", {{7, 0, 2, 3}, {2, 0, 2, 1}, {7, 0, 2, 2}, {4, 0, 4, 1}, {5, 0, 8, 1}, {3, 0, 5, 1}}},
        {"empty_structure", {{7, 0, 0, 9}, {4, 0, 4, 1}}},
        {"template", {{7, 0, 4, 3}, {2, 0, 2, 1}, {2, 0, 2, 1}, {4, 0, 4, 1}, {4, 0, 4, 1}}},
        {"near_limit", {{3, 0, 0x7FFFFFFF, 1}}},
        {"overrun", {{7, 0, 3, 1}, {4, 0, 4, 1}}},
    };
    for (const auto& [name, table] : tables) writeSeed(dir, name, encodeTable(table));
    // The tables of real messages: a request's, from the library's layout, and
    // the table of the reply to it.
    const RequestShape requestShape{true, 1, 1, 2};
    writeSeed(dir, "request_table", encodeTable(requestTable(requestShape).entries()));
    const char name[] = "T";
    const std::array<DescriptorEntry, 1> one{DescriptorEntry{kDescInt, 0, 4, 1}};
    const Message reply = getReplyTo(getRequest(true, one, 1, {name, sizeof name}), 4, 1);
    const std::uint32_t entries = decodeU32(reply.data() + head::kDescriptorCountOffset);
    writeSeed(dir, "reply_table",
              Bytes(reply.data() + head::kSize, reply.data() + head::kSize + entries * kDescriptorBytes));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zento_fuzz_seeds OUTDIR\n");
        return 2;
    }
    fuzzsupport::prepareProcess();
    const fs::path out = argv[1];
    storeSeeds(out);
    messageSeeds(out);
    descriptorSeeds(out);
    std::fprintf(stderr, "seeds written to %s\n", out.c_str());
    return 0;
}
