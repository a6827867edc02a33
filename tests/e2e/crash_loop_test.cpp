// Recoveries killed with SIGKILL at random moments and started again until
// one ends by itself: no stored message may be lost, none may come out of
// order, and one may come twice only when a kill left it unacknowledged.
#include <cstdlib>
#include <random>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

class CrashLoop : public E2ETest {};

TEST_F(CrashLoop, KilledRecoveriesResumeWithoutLossOrDisorder) {
    constexpr std::int64_t kMessageSize = 8000;  // 400 of them
    // ZENTO_E2E_SEED replays another sequence of kills.
    const char* seedText = std::getenv("ZENTO_E2E_SEED");
    const auto seed = static_cast<std::uint32_t>(seedText != nullptr ? std::strtoul(seedText, nullptr, 10) : 20240611u);
    SCOPED_TRACE("ZENTO_E2E_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    ASSERT_TRUE(tool(node_, {"create", store_}));
    ASSERT_TRUE(tool(node_, {"append", store_, "--count", "400", "--size", std::to_string(kMessageSize)}));
    const Bytes stored = testsupport::readAllBytes(store_);
    // One destination for every run, as a real one outlives the recoveries.
    Process arec;
    ASSERT_TRUE(startArec(arec, node_, capture_));
    const auto receivedCount = [&] { return testsupport::fileSizeOf(capture_) / kMessageSize; };

    int kills = 0, runs = 0;
    std::string lastOut;  // of the run that ended by itself
    std::optional<int> ended;
    for (; !ended && kills < 36; ++runs) {
        Process recovery;
        ASSERT_TRUE(recovery.start(node_, {kRecover, "E2E", store_}, node_.file("recover.out")));
        if (between(0, 3) == 0) {
            // Anywhere in the start-up and the first sends: a longer wait
            // would let a fast machine drain the file in one run.
            ended = recovery.wait(milliseconds(between(0, 30)));
        } else {
            // After a few more messages, at a random instant between two;
            // they follow each other within a fraction of a millisecond, so a
            // close watch keeps the kill near its target.
            const std::int64_t target = receivedCount() + between(1, 10);
            const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
            while (receivedCount() < target && recovery.running() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(between(0, 500)));
            ended = recovery.wait(milliseconds(0));
        }
        EXPECT_EQ(ended.value_or(0), 0) << "run " << runs << " ended by itself:\n" << recovery.out();
        kills += ended ? 0 : 1;  // SIGKILL as the Process goes
        if (ended) lastOut = recovery.out();
    }
    // The kills are over: reruns until one ends by itself.
    for (int rerun = 0; !ended && rerun < 3; ++rerun, ++runs) {
        const auto result = run(node_, {"E2E", store_});
        const int code = result.exitCode;
        EXPECT_EQ(code, 0);
        lastOut = result.out;
        if (code >= 0) ended = code;
    }
    ASSERT_TRUE(ended.has_value());
    const auto logTail = [&] {
        const std::string log = node_.log();
        return log.substr(log.size() - std::min<std::size_t>(log.size(), 3000));
    };
    EXPECT_GE(kills, 10) << "the kills fell while there was work to interrupt";
    EXPECT_TRUE(waitUntil([&] { return contains(arec.out(), "end-of-file notice received"); }))
        << arec.out() << "\nThe last run:\n" << lastOut << "\nThe end of the log:\n" << logTail();
    arec.kill(SIGTERM);
    EXPECT_EQ(arec.wait(), 0);

    const Numbers got = received(capture_, stored, node_.name);
    Numbers once = got;
    once.erase(std::unique(once.begin(), once.end()), once.end());
    EXPECT_EQ(once, numbers(1, 400)) << "every message, in order";
    EXPECT_LE(got.size() - once.size(), static_cast<std::size_t>(kills)) << "a kill leaves at most one unacknowledged";
    EXPECT_EQ(headerOf(store_).forwardOffset, headerOf(store_).lastMsgOffset);
    std::printf("%d runs, %d kills, %zu messages received twice\n", runs, kills, got.size() - once.size());
}

}  // namespace
