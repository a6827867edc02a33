// The companion tools as an operator and a script use them: inspect flags
// records a recovery cannot forward or whose body does not parse; its
// options stand anywhere and are never taken for the file; --json is one
// document a JSON parser reads; create refuses a ring larger than the free
// space; every program tells its version.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"
#include "tools/arec/arec_answers.h"
#include "tools/sf_tool/inspect_json.h"
#include "tools/sf_tool/sample_messages.h"
#include "tools/sf_tool/store_inspect.h"
#include "zento_version.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sample(std::uint32_t sequence) {
    Message m;
    std::string error;
    EXPECT_TRUE(buildSampleMessage({SampleKind::GetReply, "nodea"}, sequence, m, error)) << error;
    return Bytes(m.data(), m.data() + m.size);
}

// A message cut to length, its length word saying so.
Bytes cut(Bytes m, std::uint32_t length) {
    m.resize(length);
    encodeU32(m.data() + head::kLengthOffset, length);
    return m;
}

Bytes withTransType(Bytes m, std::int32_t type) {
    encodeU32(m.data() + head::kTransTypeOffset, static_cast<std::uint32_t>(type));
    return m;
}

std::string quoted(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Ran {
    int code = -1;
    std::string out, err;
};

class OperatorTools : public testsupport::TempHomeTest {
protected:
    Ran run(const std::vector<std::string>& args, const std::string& pipeTo = {}) {
        std::string command;
        for (const std::string& arg : args) command += quoted(arg) + " ";
        command += "2> " + quoted(home_.file("err"));
        command += pipeTo.empty() ? " > " + quoted(home_.file("out")) : " | " + pipeTo + " > " + quoted(home_.file("out"));
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(home_.file("out")), readText(home_.file("err"))};
    }
    const std::string tool_ = ZENTO_BIN_DIR "/tools/sf_tool/zento_sf_tool";
    const std::string file_ = home_.file("store.dat");
};

TEST_F(OperatorTools, InspectFlagsRecordsARecoveryCannotForwardOrParse) {
    testsupport::StoreFileBuilder b;
    b.addMessage(sample(1));
    b.addMessage(withTransType(sample(2), 5));
    b.addMessage(cut(sample(3), 400));
    b.addMessage(cut(sample(4), kMessageHeadSize));
    b.addMessage(sample(5));
    b.describeRecords().writeTo(file_);
    InspectReport report;
    std::string error;
    ASSERT_TRUE(inspectStoreFile(file_, report, error)) << error;
    std::vector<std::string> notes;
    for (const WalkEvent& e : report.events) notes.push_back(e.forwardNote.substr(0, e.forwardNote.find(" (")));
    EXPECT_EQ(notes, (std::vector<std::string>{"", "neither a GET reply nor an unsolicited reply: sent as stored",
                                               "the body does not parse", "no longer than a message head: a "
                                               "recovery takes it out unsent", ""}));
    EXPECT_EQ(std::make_tuple(report.records, report.forwarded(), report.unparsable, report.takenOutUnsent),
              std::make_tuple(5u, 4u, 2u, 1u));
    EXPECT_EQ(report.problems, (std::vector<std::string>{"1 record(s) a recovery cannot forward",
                                                         "2 record(s) whose body does not parse"}));
    const Ran text = run({tool_, "inspect", file_});
    EXPECT_EQ(text.code, 1);
    EXPECT_NE(text.out.find(", GET reply, head CRC good; the body does not parse ("), std::string::npos) << text.out;
    for (const char* line : {"records: 5, 2804 bytes (2 do not parse, 1 cannot be forwarded)\n",
                             "recovery: forwards 4 message(s) (1 taken out unsent), then sends the end-of-file notice\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
    }
}

// The document is read back by Python's parser: the totals, the records in
// order, and a file name of quotes, a backslash, a line break and a byte
// that is no UTF-8.
TEST_F(OperatorTools, InspectJsonIsOneDocumentAParserReads) {
    const std::string odd = home_.file("a\"b\\c\nd\xff.dat");
    testsupport::StoreFileBuilder b;
    for (std::uint32_t n = 1; n <= 3; ++n) b.addMessage(sample(n));
    b.addRaw(Bytes(500, 0xA5));
    b.addMessage(sample(4));
    b.describeRecords().writeTo(odd);
    const std::string script =
        "python3 -c 'import json,sys; d=json.load(sys.stdin); t=d[\"totals\"]; "
        "print(d[\"file\"].endswith(\"a\\\"b\\\\c\\nd\\ufffd.dat\"), d[\"header\"][\"type\"], d[\"header\"][\"forwardOffset\"], "
        "[r[\"offset\"] for r in d.get(\"records\", []) if r[\"delivered\"]], [(r[\"offset\"], r[\"length\"]) for r in d.get(\"damaged\", [])], "
        "t[\"records\"], t[\"forwarded\"], t[\"damagedRanges\"], t[\"damagedBytes\"], d[\"verdict\"])'";
    const std::int64_t damage = 192 + 3 * 696;
    const std::string records = "[192, 888, 1584, " + std::to_string(damage + 500) + "]";
    for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{tool_, "inspect", "--json", odd},
              "True 2 192 " + records + " [(" + std::to_string(damage) + ", 500)] 4 4 1 500 damaged\n"},
             {{tool_, "inspect", odd, "--summary", "--json"}, "True 2 192 [] [] 4 4 1 500 damaged\n"},
         }) {
        const Ran r = run(args, script);
        EXPECT_EQ(r.out, expected) << r.err;
    }
    EXPECT_EQ(jsonString("\x01\x7f\xc3\xa9\xe2\x82"), "\"\\u0001\\u007F\xc3\xa9\\uFFFD\\uFFFD\"");
}

TEST_F(OperatorTools, OptionsStandAnywhereAndAreNeverTakenForTheFile) {
    testsupport::StoreFileBuilder b;
    b.addMessage(sample(1));
    b.describeRecords().writeTo(file_);
    const Ran summary = run({tool_, "inspect", "--summary", file_});
    EXPECT_EQ(summary.code, 0);
    EXPECT_EQ(summary.out.find("  offset 192:"), std::string::npos) << "no record lines";
    EXPECT_NE(summary.out.find("records: 1, 696 bytes\n"), std::string::npos);
    EXPECT_EQ(run({tool_, "inspect", file_, "--summary"}).out, summary.out);
    for (const auto& [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"inspect", "--json"}, "inspect needs a FILE"},
             {{"inspect", "--jsn", file_}, "inspect takes no option '--jsn'"},
             {{"inspect", file_, file_}, "inspect takes one FILE, not also '" + file_ + "'"},
             {{"dump", "--summary", file_}, "dump takes no option '--summary'"},
             {{"create", "--ring", "1"}, "create needs a FILE"},
             {{"append", "--count", "2"}, "append needs a FILE"},
         }) {
        std::vector<std::string> command = {tool_};
        command.insert(command.end(), args.begin(), args.end());
        const Ran r = run(command);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_EQ(r.err, "zento_sf_tool: " + err + "\nTry 'zento_sf_tool --help'.\n");
    }
    // After "--" a name that looks like an option is a file.
    const Ran dashed = run({tool_, "inspect", "--", "--json"});
    EXPECT_EQ(dashed.err, "zento_sf_tool: cannot open --json for reading\n");
    EXPECT_FALSE(std::filesystem::exists("--json"));
}

TEST_F(OperatorTools, CreateRefusesARingLargerThanTheFreeSpace) {
    const Ran r = run({tool_, "create", file_, "--ring", "1000000000"});  // about 1 PB
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.starts_with("zento_sf_tool: a ring of 1000000000 MiB needs 1048576000000000 bytes, and ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" bytes free; --force makes it all the same\n")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file_));
    EXPECT_EQ(run({tool_, "create", "--ring", "1", file_}).code, 0);
}

TEST_F(OperatorTools, EveryProgramTellsItsVersion) {
    const std::string version = std::string(" ") + kZentoVersion + " (revision " + kZentoRevision + ")\n";
    for (const std::string program : {"recover/zento_sf_recover", "tools/sf_tool/zento_sf_tool",
                                      "tools/arec/zento_arec", "tools/snf_tool/zento_snf_tool"}) {
        const Ran r = run({ZENTO_BIN_DIR "/" + program, "--version"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, program.substr(program.rfind('/') + 1) + version);
    }
    const Ran help = run({ZENTO_BIN_DIR "/recover/zento_sf_recover", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.starts_with("usage: zento_sf_recover service storeFile")) << help.out;
    EXPECT_EQ(help.err, "");
}

}  // namespace

namespace {

// zento_arec's receive loop waits a whole library unit only when no
// acknowledgement falls due sooner; otherwise it looks without waiting and
// pauses no longer than the poll step, nor past the due time.
TEST(ArecWait, AnAcknowledgementDueWithinAUnitIsNotHeldForTheUnit) {
    for (const auto& [dueIn, units, pauseMs] : std::vector<std::tuple<std::int64_t, std::int32_t, std::int64_t>>{
             {-1, 1, 0},    // nothing queued: a unit's wait
             {250, 1, 0},   // due after the unit
             {100, 1, 0},
             {99, 0, 1},    // due within the unit: look, pause a millisecond
             {1, 0, 1},
             {0, 0, 0},     // due now
             {-5, 0, 0},    // overdue
         }) {
        AckQueue acks;
        if (dueIn != -1) acks.push(PendingAck{1000 + dueIn, {}, 7});
        const ReceiveWait wait = receiveWaitFor(acks, 1000, 1, 1);
        EXPECT_EQ(std::make_pair(wait.units, wait.pauseMs), std::make_pair(units, pauseMs)) << dueIn;
    }
}

}  // namespace
