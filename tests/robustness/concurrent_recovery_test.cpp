// Two recoveries of one store file at the same moment. Under another service
// name the second waits for the first's lock on the file (and says so), then
// finds nothing left; under the same name it cannot register at all. Either
// way each message reaches the destination once.
#include "tests/robustness/robustness_support.h"

namespace {

using namespace robust;

class ConcurrentRecovery : public RecoveryProcessTest {};

TEST_F(ConcurrentRecovery, SecondRecoveryOfAFileWaitsForTheFirstThenFindsNothingLeft) {
    const std::string store = path("store.dat");
    makeStore(store, 3);
    // Slow enough answers that the first recovery holds the file a while.
    auto arec = startArec("arec", {"--ack-delay-ms", "700", "--out", path("arec.bin")});

    auto first = startRecovery("first", {"recone", store});
    ASSERT_TRUE(waitUntil([&] { return contains(first->out(), "File opened.\n"); }, std::chrono::seconds(10)))
        << first->out();

    // The same service name is taken by the first: refused at registration.
    auto sameName = startRecovery("same", {"RECONE", store});
    EXPECT_EQ(sameName->wait(), 1);
    EXPECT_EQ(sameName->out(), "\nfacility=9  error=9104Critical error - Failed to initialize ZENT I/O, Exiting\n");

    const std::string waiting = "Waiting for the lock on 'dat' held by another process...\n";
    auto second = startRecovery("second", {"rectwo", store});
    ASSERT_TRUE(waitUntil([&] { return contains(second->err(), waiting); }, std::chrono::seconds(10)))
        << second->err();
    EXPECT_EQ(second->out(), "Zen-TO Recover Process for DLGP service 'RECTWO' started.\n")
        << "the store file is opened only once the first recovery has let go of it";
    EXPECT_TRUE(first->running());

    EXPECT_EQ(first->wait(), 0) << first->out();
    EXPECT_EQ(second->wait(), 0) << second->out();
    EXPECT_EQ(second->err(), waiting) << "said once, not once per attempt";
    EXPECT_TRUE(contains(second->out(), "Ending program.\n"));
    EXPECT_TRUE(contains(libraryLog(), "[RECTWO] Recovery of " + store + " ended: 0 messages forwarded, 0 resends"))
        << libraryLog();

    // Anything the second sent would have come within the acknowledgement delay.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    arec->kill(SIGTERM);
    EXPECT_EQ(receivedSequences(path("arec.bin")), (std::vector<std::uint32_t>{1, 2, 3}));
}

}  // namespace
