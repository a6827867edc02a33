// inspect on sound and damaged store files: its lines and exit code, that it
// never writes, and that the records it predicts are those the real cursor
// delivers.
#include "msglib/coding.h"
#include "tests/tools/tool_test_support.h"
#include "tools/sf_tool/store_inspect.h"
#include "tools/sf_tool/store_writer.h"

namespace {

using namespace tooltest;

// Three records of 812 bytes at 192, 1004 and 1816; the file ends at 2628.
constexpr std::int64_t kSecond = 1004;
constexpr std::int64_t kThird = 1816;
constexpr std::int64_t kLength = 2628;

void contains(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << "missing: " << part << "\nin:\n" << text;
}

std::vector<std::string> lastLines(const std::string& text, std::size_t count) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

// Rewrites both header blocks, with good CRCs, after changing a field.
template <typename Change>
void rewriteHeader(const std::string& file, Change change) {
    std::string bytes = readFile(file);
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    StoreFileHeader h = decodeType2(std::span<const std::uint8_t, 92>(data, 92));
    change(h);
    const Type2Block block = encodeType2(h);
    for (std::size_t at : {std::size_t{0}, std::size_t{96}}) {
        std::copy(block.begin(), block.end(), data + at);
        encodeU32(data + at + 92, storeCrc(block));
    }
    writeFile(file, bytes);
}

class Inspect : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        sound_ = path("sound.dat");
        ASSERT_EQ(runSf({"create", sound_}, dir_).exitCode, 0);
        ASSERT_EQ(runSf({"append", sound_, "--count", "3", "--size", "800"}, dir_).exitCode, 0);
        ASSERT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(sound_)), kLength);
    }

    std::string copyOfSound(const std::string& name) {
        const std::string copy = path(name);
        std::filesystem::copy_file(sound_, copy);
        return copy;
    }

    std::string sound_;
};

TEST_F(Inspect, SoundFileShowsHeaderRecordsAndSummary) {
    const RunResult result = runSf({"inspect", sound_}, dir_);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    contains(result.out, "header type: 2 (block size 92, header length 192)");
    contains(result.out, "primary block CRC: good");
    contains(result.out, "backup block CRC: good");
    contains(result.out, "  msgCount        3\n");
    contains(result.out, "  forwardOffset   192\n");
    for (std::int64_t offset : {std::int64_t{192}, kSecond, kThird}) {
        contains(result.out, "offset " + std::to_string(offset) + ": length 800, GET reply, head CRC good");
    }
    EXPECT_EQ(lastLines(result.out, 4),
              (std::vector<std::string>{"records: 3, 2436 bytes", "damaged: 0 range(s), 0 bytes",
                                        "recovery: forwards 3 message(s), then sends the end-of-file notice",
                                        "verdict: sound"}));
}

struct Damage {
    const char* name;
    void (*apply)(const std::string& file);
    std::vector<std::string> lines;
    bool recoveryOpens;
};

TEST_F(Inspect, DamagedCopiesAreReportedAsTheCursorMeetsThem) {
    const std::vector<Damage> damages = {
        {"record head", [](const std::string& f) { flipByte(f, kSecond + 12 + 100); },
         {"offset 1004: length 800, GET reply, head CRC bad (head CRC mismatch)",
          "damaged: offset 1004, 812 bytes (head CRC mismatch)", "records: 2,", "verdict: damaged"},
         true},
        {"body check", [](const std::string& f) { flipByte(f, kSecond + 8); },
         {"head CRC good (body check not zero)", "damaged: offset 1004, 812 bytes (body check not zero)"}, true},
        {"primary block", [](const std::string& f) { flipByte(f, 20); },
         {"primary block CRC: bad", "header taken from the backup block", "records: 3,",
          "verdict: damaged: the primary header block fails its CRC"},
         true},
        {"backup block", [](const std::string& f) { flipByte(f, 96 + 20); },
         {"backup block CRC: bad", "header taken from the primary block"}, true},
        {"both blocks", [](const std::string& f) {
             flipByte(f, 20);
             flipByte(f, 96 + 20);
         },
         {"refuses the file at start-up: both header blocks are bad; with DUMP it forwards 3 message(s)"}, false},
        {"truncated", [](const std::string& f) { std::filesystem::resize_file(f, kLength - 100); },
         {"damaged: offset 1816, 712 bytes (the record runs past the end of the file)",
          "the data ends before the last record the header names, at offset 1816"},
         true},
        {"forward offset", [](const std::string& f) { rewriteHeader(f, [](StoreFileHeader& h) { h.forwardOffset = 9000; }); },
         {"forward offset 9000 lies outside the file", "refuses the file at start-up"}, false},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const std::string copy = copyOfSound(std::string(damage.name) + ".dat");
        damage.apply(copy);
        const std::string before = readFile(copy);

        const RunResult result = runSf({"inspect", copy}, dir_);
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        for (const std::string& line : damage.lines) contains(result.out, line);
        EXPECT_EQ(readFile(copy), before) << "inspect must not write";

        InspectReport report;
        std::string error;
        {
            QuietStdout quiet;
            ASSERT_TRUE(inspectStoreFile(copy, report, error)) << error;
        }
        const Drained drained = drain(copy);
        EXPECT_EQ(drained.opened, damage.recoveryOpens);
        if (drained.opened) {
            EXPECT_EQ(deliveredOffsets(report), drained.offsets);
        }
    }
}

TEST_F(Inspect, RingFileWithAWrapIsSound) {
    const std::string ring = path("ring.dat");
    ASSERT_EQ(runSf({"create", ring, "--ring", "1"}, dir_).exitCode, 0);
    ASSERT_EQ(runSf({"append", ring, "--count", "40", "--size", "20000"}, dir_).exitCode, 0);
    ASSERT_EQ(drain(ring, 30).sequences, range(1, 30));
    ASSERT_EQ(runSf({"append", ring, "--count", "20", "--size", "20000"}, dir_).exitCode, 0);

    const RunResult result = runSf({"inspect", ring}, dir_);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    contains(result.out, "maxSize         1 (ring reading)");
    contains(result.out, "wrap at offset " + std::to_string(192 + 52 * 20012));
    contains(result.out, "records: 30,");
    contains(result.out, "verdict: sound");
    EXPECT_EQ(drain(ring).sequences, range(31, 60));
}

// After a complete recovery the forward offset stays on the last record; a
// second recovery forwards nothing, and inspect says so.
TEST_F(Inspect, DrainedFileForwardsNothing) {
    const std::string file = copyOfSound("drained.dat");
    ASSERT_EQ(drain(file).sequences, range(1, 3));
    const RunResult result = runSf({"inspect", file}, dir_);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    contains(result.out, "  forwardOffset   " + std::to_string(kThird) + "\n");
    contains(result.out, "recovery: forwards 0 message(s), then sends the end-of-file notice");
    contains(result.out, "note: the header counts every record forwarded: a recovery forwards nothing");

    // One count short of drained: the last record is still to go.
    rewriteHeader(file, [](StoreFileHeader& h) { h.forwardedCount = h.msgCount - 1; });
    InspectReport report;
    std::string error;
    {
        QuietStdout quiet;
        ASSERT_TRUE(inspectStoreFile(file, report, error)) << error;
    }
    EXPECT_EQ(deliveredOffsets(report), std::vector<std::int64_t>{kThird});
    EXPECT_EQ(drain(file).offsets, deliveredOffsets(report));
    EXPECT_TRUE(drain(file).offsets.empty()) << "drained now";
}

TEST_F(Inspect, EmptyAndUnreadableFiles) {
    // A new linear file is sound, though a recovery reads more header area
    // than it holds.
    const std::string empty = path("empty.dat");
    ASSERT_EQ(runSf({"create", empty}, dir_).exitCode, 0);
    RunResult result = runSf({"inspect", empty}, dir_);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    contains(result.out, "refuses the file at start-up: the file is shorter than the 392 bytes");

    const std::string newRing = path("newring.dat");
    ASSERT_EQ(runSf({"create", newRing, "--ring", "1"}, dir_).exitCode, 0);
    result = runSf({"inspect", newRing}, dir_);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    contains(result.out, "recovery: forwards 0 message(s), then sends the end-of-file notice");

    const std::string garbage = path("garbage.dat");
    writeFile(garbage, std::string(4096, 'x'));
    result = runSf({"inspect", garbage}, dir_);
    EXPECT_EQ(result.exitCode, 1);
    contains(result.out, "header type: unknown");

    result = runSf({"inspect", path("missing.dat")}, dir_);
    EXPECT_EQ(result.exitCode, 2);
    contains(result.err, "cannot open");
}

}  // namespace
