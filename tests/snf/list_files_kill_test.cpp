// zento_snf_tool adding a destination to a store list of 14,000 entries,
// killed with SIGKILL at random moments of its load and save, over and over:
// every kill leaves a list that loads, with the entries of before or of
// after the add, never fewer.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "lists/list_rules.h"
#include "snf/list_files.h"
#include "tests/snf/list_files_test_support.h"
#include "tests/support/status_entries.h"

extern char** environ;

namespace {

using namespace listtest;

std::uint32_t entriesOf(const StoreList& table) {
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < searchedSlots(table.highestEntry); ++i) n += slotInUse(table.slots[i]) ? 1 : 0;
    return n;
}

class ListFileKills : public ListFileTest {};

TEST_F(ListFileKills, AKilledSaveLeavesTheOldListOrTheNew) {
    // One node, a service an entry: the getters look the node up once.
    auto table = newStoreList();
    for (std::uint32_t i = 0; i < 14000; ++i) {
        table->slots[i] = storeEntry({.fileName = "f", .node = "client", .service = "S" + std::to_string(i)});
    }
    table->highestEntry = 14000;
    StatusBlock status;
    saveStoreList(*table, storeFile_.c_str(), status);
    ASSERT_FALSE(statusFailed(status));

    // ZENTO_KILL_SEED replays another sequence of kills.
    const char* seedText = std::getenv("ZENTO_KILL_SEED");
    const auto seed = static_cast<std::uint32_t>(seedText != nullptr ? std::strtoul(seedText, nullptr, 10) : 20261207u);
    SCOPED_TRACE("ZENTO_KILL_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string tool = ZENTO_BIN_DIR "/tools/snf_tool/zento_snf_tool";
    std::uint32_t entries = 14000;
    int kills = 0;
    for (int run = 0; run < 40; ++run) {
        const std::string service = "N" + std::to_string(run);
        std::vector<std::string> args = {tool, "--service", "SVC", "lists", "add-store", storeFile_, "client", service};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 150'000)(random)));
        ::kill(pid, SIGKILL);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        const bool killed = WIFSIGNALED(wstatus);
        kills += killed ? 1 : 0;
        if (!killed) {
            ASSERT_EQ(WEXITSTATUS(wstatus), 0) << "run " << run;
        }

        auto loaded = newStoreList();
        loadStoreList(*loaded, storeFile_.c_str(), status);
        ASSERT_EQ(testsupport::statusEntries(status), testsupport::Entries{}) << "run " << run;
        const std::uint32_t now = entriesOf(*loaded);
        if (killed) {
            EXPECT_TRUE(now == entries || now == entries + 1) << "run " << run << ": " << now;
        } else {
            EXPECT_EQ(now, entries + 1) << "run " << run;
        }
        entries = now;
    }
    EXPECT_GE(kills, 10) << "the kills fell while there was work to interrupt";
    std::printf("%d kills, %u entries at the end\n", kills, entries);
}

}  // namespace
