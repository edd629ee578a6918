// The loader's shuffling engine: seeded permutations, the window of positions, worker threads.
#include "position_pool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <stdexcept>
#include <vector>

using namespace quarn_chess;
using quarn_chess::test_support::generator;

namespace {

// Games of 1. Nf3 Nf6 2. Ng1 Ng8 repeated `rounds` times (4 plies a round); game `bad`, when
// given, ends on an illegal token.
struct Games {
    std::vector<std::int32_t> offsets { 0 };
    std::vector<std::uint16_t> tokens;

    Games(const std::vector<int>& rounds, int bad = -1) {
        const std::uint16_t cycle[4] = { 6 | 21 << 6, 62 | 45 << 6, 21 | 6 << 6, 45 | 62 << 6 };
        for (std::size_t g = 0; g < rounds.size(); ++g) {
            for (int r = 0; r < rounds[g]; ++r)
                tokens.insert(tokens.end(), cycle, cycle + 4);
            if (static_cast<int>(g) == bad)
                tokens.push_back(0); // a1a1
            offsets.push_back(static_cast<std::int32_t>(tokens.size()));
        }
    }
    GameBatch batch() const {
        GameBatch b;
        b.rows = static_cast<std::int64_t>(offsets.size()) - 1;
        b.moves.offsets = offsets.data();
        b.moves.items.values = tokens.data();
        b.moves_items = static_cast<std::int64_t>(tokens.size());
        return b;
    }
};

// (game, ply) of every position the pool hands out, in its order.
std::vector<std::pair<std::int64_t, int>> drain(PositionPool& pool, std::size_t start = 0) {
    const std::size_t n = pool.size() - start;
    std::vector<std::int64_t> game(n);
    std::vector<std::uint16_t> ply(n);
    PositionColumnsOut out;
    out.game = game.data();
    out.ply = ply.data();
    pool.take(start, n, false, out, 0);
    std::vector<std::pair<std::int64_t, int>> rows;
    for (std::size_t i = 0; i < n; ++i)
        rows.emplace_back(game[i], ply[i]);
    return rows;
}

} // namespace

TEST(Permutation, IsCompleteAndFixedBySeed) {
    std::vector<std::uint32_t> a(1000), b(1000), c(1000);
    seeded_permutation(7, a.data(), a.size());
    seeded_permutation(7, b.data(), b.size());
    seeded_permutation(8, c.data(), c.size());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    std::vector<std::uint32_t> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    for (std::uint32_t i = 0; i < sorted.size(); ++i)
        ASSERT_EQ(sorted[i], i);
    // Every index reaches every place about equally often over many seeds.
    std::vector<int> first(8);
    for (std::uint64_t seed = 0; seed < 8000; ++seed) {
        std::uint32_t small[8];
        seeded_permutation(mix_seed(seed), small, 8);
        ++first[small[0]];
    }
    for (const int count : first)
        EXPECT_NEAR(count, 1000, 150);
}

TEST(PositionPool, KeepsEveryGoodPositionOnceWithAnyThreadCount) {
    const Games games({ 3, 1, 5, 2, 4, 2, 6, 1 }, 2);
    std::vector<std::pair<std::int64_t, int>> expected;
    for (int g = 0; g < 8; ++g)
        for (int p = 0; p < 4 * std::vector<int> { 3, 1, 5, 2, 4, 2, 6, 1 }[g] && g != 2; ++p)
            expected.emplace_back(g, p);
    for (const unsigned threads : { 1u, 2u, 3u }) {
        PositionPool pool(generator(), threads);
        std::vector<GameFault> faults;
        ASSERT_FALSE(pool.add(games.batch(), false, faults).has_value());
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].game, 2);
        EXPECT_EQ(pool.size(), expected.size());
        EXPECT_EQ(drain(pool), expected) << threads; // unshuffled: table order
        pool.shuffle(5);
        auto shuffled = drain(pool);
        EXPECT_NE(shuffled, expected);
        std::sort(shuffled.begin(), shuffled.end());
        EXPECT_EQ(shuffled, expected);
    }
}

TEST(PositionPool, StrictStopsAtTheFirstFaultAndKeepsNothingOfTheBatch) {
    const Games games({ 2, 2, 2 }, 1);
    PositionPool pool(generator(), 2);
    std::vector<GameFault> faults;
    ASSERT_FALSE(pool.add(games.batch(), true, faults).has_value());
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].game, 1);
    EXPECT_EQ(pool.size(), 0u);
}

TEST(PositionPool, RetainKeepsTheUntakenPositionsForTheNextWindow) {
    const Games games({ 5, 5 });
    PositionPool pool(generator(), 1);
    std::vector<GameFault> faults;
    ASSERT_FALSE(pool.add(games.batch(), false, faults).has_value());
    pool.shuffle(1);
    const auto all = drain(pool);
    pool.retain(15);
    const auto rest = drain(pool);
    const std::vector<std::pair<std::int64_t, int>> untaken(all.begin() + 15, all.end());
    EXPECT_EQ(rest, untaken);
    ASSERT_FALSE(pool.add(games.batch(), false, faults).has_value());
    EXPECT_EQ(pool.size(), 25u + 40u);
}

TEST(WorkerThreads, RunsEveryPartOnceAndPassesTheFirstFailureOn) {
    WorkerThreads workers(3);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::atomic<int>> seen(37);
        workers.run(seen.size(), [&](std::size_t i) { ++seen[i]; });
        for (const auto& count : seen)
            ASSERT_EQ(count.load(), 1);
    }
    EXPECT_THROW(workers.run(8,
                     [](std::size_t i) {
                         if (i == 5)
                             throw std::runtime_error("part 5");
                     }),
        std::runtime_error);
    std::atomic<int> after = 0;
    workers.run(4, [&](std::size_t) { ++after; });
    EXPECT_EQ(after.load(), 4);
}
