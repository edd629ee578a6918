// The loader's shuffling engine: a window of decoded positions, a seeded permutation of them, and
// the worker threads that decode games and gather batches.
#pragma once

#include "move_generator.h"
#include "token_replay.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quarn_chess {

// A fixed set of threads that run the parts of one job: run(parts, work) calls work(i) for
// every i < parts, the calling thread taking part, and returns when all are done. The first
// exception thrown by a part travels on from run (the other parts still finish).
class WorkerThreads {
public:
    explicit WorkerThreads(unsigned threads);
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    unsigned size() const { return static_cast<unsigned>(threads_.size()) + 1; }
    void run(std::size_t parts, const std::function<void(std::size_t)>& work);

private:
    void serve();
    void take_parts();

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(std::size_t)>* work_ = nullptr;
    std::size_t parts_ = 0;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
};

// SplitMix64: the seeds of the loader's permutations, one per (seed, epoch, part, window). Its
// output sequence is part of the loader's documented order and must not change.
constexpr std::uint64_t mix_seed(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Fisher-Yates over `count` indices from a SplitMix64 stream seeded with `seed` (each draw
// reduced to its range by a 128-bit multiply): the same seed gives the same order everywhere.
void seeded_permutation(std::uint64_t seed, std::uint32_t* order, std::size_t count);

// The positions of one window. Games are added whole (their positions decoded in place, split
// over the threads by games), then shuffled, then taken in that order; what is left untaken can
// be kept for the next window. Memory: the records (128 bytes a position) and a 4-byte index
// each, grown to the largest window seen and then reused.
class PositionPool {
public:
    // `capacity`: positions to make room for at once (a window and a read beyond it), so that
    // the window never moves while it fills; only pages written become resident.
    PositionPool(const MoveGenerator& generator, unsigned threads, std::size_t capacity = 0);

    // Appends the positions of every good game of the batch. A game with a bad FEN or token
    // adds nothing and is reported in `faults`; with `strict` the first fault ends the call
    // (nothing of the batch is kept). A batch whose offsets are out of bounds adds nothing and
    // returns its message.
    std::optional<std::string> add(
        const GameBatch& batch, bool strict, std::vector<GameFault>& faults);

    std::size_t size() const { return size_; }
    // Orders every position by a permutation drawn from the seed.
    void shuffle(std::uint64_t seed);
    // Writes positions [start, start + count) of the order as rows [row, row + count) of out.
    void take(std::size_t start, std::size_t count, bool flip, const PositionColumnsOut& out,
        std::size_t row);
    // Keeps only positions [start, size) of the order (as the first positions, in that order).
    void retain(std::size_t start);
    void clear() { size_ = 0; }

private:
    void reserve(std::size_t positions);

    const MoveGenerator& generator_;
    WorkerThreads workers_;
    std::vector<TokenReplay> replays_; // one per thread
    std::unique_ptr<PositionRecord[]> records_;
    std::vector<std::uint32_t> order_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool shuffled_ = false;
    std::vector<std::int64_t> plies_;
    std::vector<std::int64_t> starts_;
    std::vector<std::uint8_t> bad_;
};

} // namespace quarn_chess
