// Recoveries killed at random moments and started again until one ends by
// itself: no stored message may be lost, none may come out of order, and a
// message may come twice only when a kill left it unacknowledged.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/file_damage.h"

namespace {

using namespace e2e;

constexpr std::uint32_t kMessages = 400;
constexpr std::uint32_t kMessageSize = 8000;
constexpr int kMaxKills = 36;

// ZENTO_E2E_SEED replays another sequence of kills.
std::uint32_t seed() {
    const char* text = std::getenv("ZENTO_E2E_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 20240611u;
}

TEST(CrashLoop, KilledRecoveriesResumeWithoutLossOrDisorder) {
    const std::uint32_t randomSeed = seed();
    SCOPED_TRACE("ZENTO_E2E_SEED=" + std::to_string(randomSeed));
    std::mt19937 random(randomSeed);
    testsupport::TempHome home;
    const Node node = Node::inside(home, "nodea");
    const std::string store = node.file("store.dat");
    ASSERT_TRUE(tool(node, {"create", store}));
    ASSERT_TRUE(tool(node, {"append", store, "--count", std::to_string(kMessages), "--size",
                            std::to_string(kMessageSize)}));
    const auto stored = storedMessages(testsupport::readAllBytes(store));

    // One destination for every run, as a real one outlives the recoveries.
    const std::string capture = node.file("received.bin");
    Process arec;
    ASSERT_TRUE(startArec(arec, node, capture));
    const auto receivedCount = [&] {
        const std::int64_t bytes = testsupport::fileSizeOf(capture);
        return bytes > 0 ? static_cast<std::uint32_t>(bytes / kMessageSize) : 0u;
    };

    int kills = 0;
    int runs = 0;
    std::optional<int> ended;
    while (!ended && kills < kMaxKills) {
        ++runs;
        Process recovery;
        ASSERT_TRUE(recovery.start(node, {recoverProgram(), "E2E", store}, node.file("recover.out")));
        // A quarter of the kills fall anywhere in the start-up and the first
        // sends; the others after a few more messages have gone out, at a
        // random instant between two of them.
        if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
            const milliseconds delay(std::uniform_int_distribution<int>(0, 500)(random));
            ended = recovery.wait(delay);
        } else {
            const std::uint32_t target = receivedCount() + std::uniform_int_distribution<std::uint32_t>(1, 10)(random);
            // Messages follow each other within a fraction of a millisecond:
            // a close watch keeps the kill near its target.
            const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
            while (receivedCount() < target && recovery.running() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
            ended = recovery.wait(milliseconds(0));
        }
        if (!ended) {
            recovery.kill(SIGKILL);
            ++kills;
        } else {
            EXPECT_EQ(*ended, 0) << "run " << runs << " ended by itself:\n" << recovery.out();
        }
    }
    // The kills are over: reruns until one ends by itself.
    for (int rerun = 0; !ended && rerun < 3; ++rerun) {
        ++runs;
        const RunResult run = runRecovery(node, {"E2E", store});
        if (run.exitCode >= 0) ended = run.exitCode;
        EXPECT_EQ(run.exitCode, 0) << run.out;
    }
    ASSERT_TRUE(ended.has_value());
    EXPECT_GE(kills, 10) << "the kills fell while there was work to interrupt";
    EXPECT_TRUE(waitUntil([&] { return arec.out().find("end-of-file notice received") != std::string::npos; },
                          kReadyLimit))
        << arec.out();
    arec.kill(SIGTERM);
    EXPECT_EQ(arec.wait(kReadyLimit), 0);

    const std::vector<Captured> received = capturedMessages(capture);
    const std::vector<std::uint32_t> sequences = sequencesOf(received);
    EXPECT_EQ(collapseRepeats(sequences), numbers(1, kMessages)) << "every message, in order";
    const std::size_t repeats = sequences.size() - collapseRepeats(sequences).size();
    EXPECT_LE(repeats, static_cast<std::size_t>(kills)) << "a kill leaves at most one message unacknowledged";
    expectSameAsStored(received, stored, node.name);
    EXPECT_EQ(headerOf(store, 2).forwardOffset, headerOf(store, 2).lastMsgOffset);
    std::printf("%d runs, %d kills, %zu messages received twice\n", runs, kills, repeats);
}

}  // namespace
