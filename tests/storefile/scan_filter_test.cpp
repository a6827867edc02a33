// The filter under the forward search: every variant of the block skip and
// the candidate mask against a plain reading of their rules, the search over
// the candidates of a block at every offset of the wide variants' four-block
// steps, heads across the ends of the views the search looks through, and a
// view that fails handing over to reads that report as before.
#include <fstream>
#include <random>

#include "storefile/scan_blocks.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

constexpr std::uint8_t kFirst = 0x5B;
constexpr std::uint8_t kSecond = 0x5D;

bool pairAt(const Bytes& b, std::size_t k) { return b[k] == kFirst && b[k + 1] == kSecond; }

std::size_t skipByRule(const Bytes& b, std::size_t from, std::size_t end) {
    for (std::size_t i = from;; i += kMarkerBlock) {
        if (i + kMarkerBlock > end) return i;
        for (std::size_t k = i; k < i + kMarkerBlock; ++k) {
            if (pairAt(b, k)) return i;
        }
    }
}

// Random bytes with a few pairs and near misses (a lone first or second
// byte, the pair reversed) planted at random places.
Bytes plantedBytes(std::mt19937& rng, std::size_t size) {
    Bytes b(size);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    const std::uint8_t pieces[][2] = {{kFirst, kSecond}, {kFirst, 0}, {0, kSecond}, {kSecond, kFirst}};
    for (unsigned n = rng() % 4; n > 0; --n) {
        const auto& piece = pieces[rng() % std::size(pieces)];
        const std::size_t at = rng() % (size - 1);
        b[at] = piece[0];
        b[at + 1] = piece[1];
    }
    return b;
}

TEST(MarkerSkip, EveryVariantFollowsTheRule) {
    std::mt19937 rng(20240613);
    const auto variants = markerSkipVariants();
    for (int trial = 0; trial < 3000; ++trial) {
        const Bytes b = plantedBytes(rng, 2048 + 1);
        const std::size_t from = rng() % 700;
        const std::size_t end = from + rng() % (2048 - from);
        const std::size_t expected = skipByRule(b, from, end);
        for (std::size_t v = 0; v < variants.size(); ++v) {
            ASSERT_EQ(variants[v](b.data(), from, end), expected) << "variant " << v << " from " << from << " end " << end;
        }
        ASSERT_EQ(skipMarkerFreeBlocks(b.data(), from, end), expected);
    }
}

TEST(MarkerSkip, CandidatesNameEveryPairOfTheBlock) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        Bytes b = plantedBytes(rng, kMarkerBlock + 1);
        if (trial % 3 == 0) b[63] = kFirst, b[64] = kSecond;  // the last position reads one byte past the block
        std::uint64_t expected = 0;
        for (std::size_t k = 0; k < kMarkerBlock; ++k) expected |= static_cast<std::uint64_t>(pairAt(b, k)) << k;
        ASSERT_EQ(markerCandidates(b.data()), expected) << trial;
    }
}

class ScanSearchTest : public StoreFileTest {
protected:
    void SetUp() override {
        StoreFileTest::SetUp();
        std::mt19937 rng(11);
        for (auto& b : background_) b = static_cast<std::uint8_t>(rng());
        openPlain(background_);
    }
    void put(std::int64_t at, const Bytes& bytes) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(at);
        io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void restore(std::int64_t at, std::size_t n) {
        put(at, Bytes(background_.begin() + at, background_.begin() + at + static_cast<std::ptrdiff_t>(n)));
    }
    std::int64_t scan(std::int64_t start, std::int64_t beyondEnd = 0) {
        return scanForRecord(store_.storeFileHandle, start, std::ssize(background_) + beyondEnd, status_);
    }
    Bytes background_ = Bytes(8192);
    const Bytes record_ = makeRecord(makeTestMessage(400, 5));
};

// A valid head at every offset of two four-block steps from the start, with
// a marker whose head CRC fails a few bytes in front of it (often in the same
// block) and a valid record behind it: the first valid one is found.
TEST_F(ScanSearchTest, FirstValidHeadAtEveryOffsetOfTheSteps) {
    Bytes fake = record_;
    fake[4] ^= 1;
    const std::int64_t start = 1000;
    for (std::int64_t at = start; at < start + 2 * 256 + 2; ++at) {
        const std::int64_t decoy = at - 1 - (at % 7);
        if (decoy >= start) put(decoy, Bytes(fake.begin(), fake.begin() + std::min<std::ptrdiff_t>(at - decoy, 12)));
        put(at, record_);
        put(at + std::ssize(record_), record_);
        ASSERT_EQ(scan(start), at) << "decoy at " << decoy;
        ASSERT_FALSE(statusFailed(status_));
        restore(std::max(decoy, start), static_cast<std::size_t>(at - std::max(decoy, start)) + 2 * record_.size());
    }
    EXPECT_EQ(scan(start), 0);
}

class ScanViewsTest : public ScanSearchTest {
protected:
    void SetUp() override {
        background_.resize(1536 * 1024);
        ScanSearchTest::SetUp();
    }
};

// The views double from 64 KiB, each starting at the page of the first
// position not yet examined: around each view's end (roughly 64 KiB, 192 KiB,
// 448 KiB and 960 KiB from the start) a head at every 37th position, so that
// heads across the end, wherever exactly it falls, are met several times.
TEST_F(ScanViewsTest, HeadsAcrossTheEndsOfViews) {
    const std::int64_t start = 1000;
    for (std::int64_t end : {64, 192, 448, 960}) {
        for (std::int64_t at = start + end * 1024 - 5000; at < start + end * 1024 + 5000; at += 37) {
            put(at, record_);
            ASSERT_EQ(scan(start), at) << "about " << end << " KiB in";
            restore(at, record_.size());
        }
    }
    EXPECT_FALSE(statusFailed(status_));
}

// A limit beyond the end of the file: the view that reaches past the end
// fails, and reads from the first position not yet examined meet the end as
// the reads alone do, before they look at the bytes of their short read.
// Each case with views and with reads only (a test's own file calls take the
// views away).
TEST_F(ScanViewsTest, AFailedViewHandsOverToReads) {
    const Entries endMet = {{13, 13182}, {1, 0}, {13, 13532}};  // end of file: errno 0
    const std::tuple<std::int64_t, std::int64_t, Entries> cases[] = {
        {-1, 0, endMet},                            // nothing to find
        {5000, 5000, {}},                           // found in a view before the failing one
        {std::ssize(background_) - 2000, 0, endMet},  // in the last bytes: the short read fails first
    };
    for (bool viewsTaken : {false, true}) {
        for (const auto& [at, expected, entries] : cases) {
            if (at >= 0) put(at, record_);
            std::unique_ptr<FaultyFileOps> reads;
            if (viewsTaken) reads = std::make_unique<FaultyFileOps>();
            EXPECT_EQ(scan(1000, 100000), expected) << at << " views taken " << viewsTaken;
            EXPECT_EQ(statusEntries(status_), entries) << at << " views taken " << viewsTaken;
            reads.reset();
            if (at >= 0) restore(at, record_.size());
        }
    }
}

}  // namespace
