// What an operator learns at the end of a run, however it ends: standard
// output exactly as it has always been, a summary on standard error and in
// the log, and a plain line when stored data was skipped or is missing.
#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

constexpr std::int64_t kRecord = 696;  // a 684-byte sample message and its prefix
const std::string kEnd = "Messages have all been sent to destination.\nExecuting MasterFileClose.\nEnding program.\n";

class OperatorSummary : public E2ETest {
protected:
    void twentyMessages() {
        std::filesystem::remove(store_);
        ASSERT_TRUE(tool(node_, {"create", store_}));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", "20"}));
    }
    void expectToldAndLogged(const std::string& err, const std::vector<std::string>& lines) {
        std::string expected;
        for (const std::string& line : lines) expected += "zento_sf_recover: " + line + "\n";
        EXPECT_EQ(err, expected);
        const std::string log = node_.log();
        for (const std::string& line : lines) EXPECT_TRUE(contains(log, "[SVC] " + line + "\n")) << log;
        EXPECT_TRUE(log.ends_with("[SVC] zento_sf_recover ends with exit code 0: the run ended\n")) << log;
    }
};

TEST_F(OperatorSummary, FileShorterThanItsHeaderAndDamagedDataAreSaidPlainly) {
    const std::string head = "Zen-TO Recover Process for DLGP service 'SVC' started.\nFile opened.\n"
                             "Found non-zero revision number 2\nChecking store file header blocks, size=92\n"
                             "Header read in ok.\nProcessing file header type 2\n"
                             "File header type 2 detected and read.  Processing file.\n";
    struct Case {
        std::function<void()> spoil;
        std::string out;
        std::vector<std::string> err;
        Numbers received;
    };
    const std::vector<Case> cases = {
        {[&] { std::filesystem::resize_file(store_, 192 + 14 * kRecord + 400); },
         head + "Starting at location 192,  1.36 percent of file.\nReached file end.\n" + kEnd,
         {"Recovery of " + store_ + " ended: 14 messages forwarded, 0 resends, 0 damaged ranges skipped (0 bytes), "
          "forward offset 9936; no further stored message.",
          "Not everything stored was forwarded: the record at offset 9936 is cut off by the end of the file (400 of "
          "its bytes are there); the file ends at byte 10336, 3776 bytes before the end of the data its header names "
          "(byte 14112); 6 of the 20 messages the header counted as waiting were not found. The exit code does not "
          "show this."},
         numbers(1, 14)},
        {[&] { Bytes b = testsupport::readAllBytes(store_);
               std::fill(b.begin() + 192 + 5 * kRecord + 20, b.begin() + 192 + 5 * kRecord + 3020, 0xA5);
               testsupport::writeAllBytes(store_, b); },
         head + "Starting at location 192,  1.36 percent of file.\nAll messages have been forwarded.\n" + kEnd,
         {"Recovery of " + store_ + " ended: 15 messages forwarded, 0 resends, 1 damaged ranges skipped (3480 bytes), "
          "forward offset 13416; the store file holds no further message.",
          "Not everything stored was forwarded: 1 damaged ranges (3480 bytes) were skipped and not forwarded; 5 of "
          "the 20 messages the header counted as waiting were not found. The exit code does not show this."},
         [] { Numbers n = numbers(1, 5); for (std::uint32_t i = 11; i <= 20; ++i) n.push_back(i); return n; }()},
    };
    for (const Case& c : cases) {
        twentyMessages();
        c.spoil();
        std::filesystem::remove(capture_);
        std::filesystem::remove(node_.file("log/zento.log"));
        Process arec;
        ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
        const RunResult r = run(node_, {"svc", store_});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, c.out);
        expectToldAndLogged(r.err, c.err);
        EXPECT_EQ(arec.wait(), 0);
        EXPECT_EQ(received(capture_), c.received);
        // The run that ended at the end of the data never left the library;
        // its socket file went with the process all the same.
        EXPECT_TRUE(std::filesystem::is_empty(node_.file("run")));
    }
}

TEST_F(OperatorSummary, StopSignalEndsWithTheSummary) {
    twentyMessages();
    Process arec, recovery;
    ASSERT_TRUE(startArec(arec, node_, capture_, {"--ack-delay-ms", "300"}));
    ASSERT_TRUE(recovery.start(node_, {kRecover, "svc", store_}, node_.file("recovery.out")));
    ASSERT_TRUE(waitUntil([&] { return received(capture_).size() >= 2; }));
    recovery.kill(SIGTERM);
    EXPECT_EQ(recovery.wait(), 0);
    // The last message received awaits its acknowledgement, unless the
    // signal came between an acknowledgement and the next send.
    const std::size_t got = received(capture_).size();
    const auto line = [&](std::size_t forwarded) {
        const std::string offset = std::to_string(192 + forwarded * kRecord);
        return "Recovery of " + store_ + " ended: " + std::to_string(forwarded) +
               " messages forwarded, 0 resends, 0 damaged ranges skipped (0 bytes), forward offset " + offset +
               "; stopped by a stop signal; " +
               (forwarded < got ? "the message at offset " + offset + " was not acknowledged and stays"
                                : std::string("what was not forwarded stays")) +
               " in the store file for the next run.";
    };
    const bool outstanding = recovery.err() == "zento_sf_recover: " + line(got - 1) + "\n";
    expectToldAndLogged(recovery.err(), {line(outstanding ? got - 1 : got)});
    arec.kill(SIGTERM);
}

}  // namespace
