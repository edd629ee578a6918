// SelfPlayEngine: a batch of independent games stepped together, with observations, action masks,
// rewards and restarts written into caller memory.
#pragma once

#include "actions.h"
#include "game_state.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarn_chess {

// Observations, per game:
//   PETTINGZOO  8 x 8 x 111 bytes of 0 / 1, row-major (row 0 the far rank seen from the
//               observer, columns the files a..h), channels last:
//                 0 own king-side right   1 own queen-side right
//                 2 opponent's king-side  3 opponent's queen-side   (whole planes)
//                 4 the observer is black (whole plane)
//                 5 one square set: square (half-move clock / 2), seen from the observer (63 at
//                   most)
//                 6 ones
//                 7 + 13k + p, k = 0..7 the positions after the last eight moves (newest first;
//                   none before the first move), p = 0..5 the observer's P N B R Q K, 6..11 the
//                   opponent's; a pawn that has just made a double step stands on its own first
//                   rank, on its file; 7 + 13k + 12 that position had occurred before (whole plane)
//               The action mask is 4,672 bytes of 0 / 1.
//   PACKED      16 words: 0..11 the twelve bitboards seen from the side to move (its pieces
//               first, ranks mirrored for black), 12 flags (bit 0 own king-side right, 1 own
//               queen-side, 2 opponent's king-side, 3 opponent's queen-side, 4 black to move,
//               bits 8..11 en-passant file + 1 or 0), 13 half-move clock, 14 full-move number,
//               15 repetitions of the current position. The action mask is 73 words, bit a % 64
//               of word a / 64 set for each legal action a.
enum class ObservationKind : std::uint8_t { PETTINGZOO, PACKED };

constexpr std::size_t PETTINGZOO_CHANNELS = 111;
constexpr std::size_t PETTINGZOO_OBSERVATION_SIZE = 64 * PETTINGZOO_CHANNELS;
constexpr std::size_t PACKED_OBSERVATION_WORDS = 16;
constexpr std::size_t PACKED_MASK_WORDS = (ACTION_COUNT + 63) / 64;
constexpr std::size_t HISTORY_FRAMES = 8;

// What a game's last step did, beside the endings of the rules.
constexpr std::uint8_t ILLEGAL_ACTION = 8;

struct EngineOptions {
    ObservationKind observation = ObservationKind::PETTINGZOO;
    DrawRules draw_rules = DrawRules::CLAIM;
    // A game is truncated once this many half-moves were made since its start; 0: never.
    std::uint32_t max_plies = 0;
    unsigned threads = 1;
};

// Where a step writes, each array holding one entry (or row) per game: observation (bytes or
// words per ObservationKind), action_mask, reward (for the player who moved: +1 for a checkmate,
// -1 for an illegal action, 0 otherwise), terminated, truncated, ending (an Ending value or
// ILLEGAL_ACTION, 0 while the game goes on).
struct EngineOutputs {
    void* observation = nullptr;
    void* action_mask = nullptr;
    float* reward = nullptr;
    std::uint8_t* terminated = nullptr;
    std::uint8_t* truncated = nullptr;
    std::uint8_t* ending = nullptr;
};

// Threads kept for the life of an engine: run() hands part p of a task to worker p (1..workers)
// and does part 0 itself, returning when every part is done.
class WorkerPool {
public:
    explicit WorkerPool(unsigned workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void run(void (*task)(void*, std::size_t), void* context);
    // Whether this process is a fork of the one that started the threads (it has none of them;
    // run() then does every part itself).
    bool inherited() const;

private:
    void work(std::size_t part);

    // Waiting spins a little before it sleeps: the next batch often comes within microseconds,
    // and waking a sleeping thread costs more than a small batch's work.
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    std::atomic<std::uint64_t> generation_ = 0;
    std::atomic<std::size_t> pending_ = 0;
    std::atomic<bool> stop_ = false;
    void (*task_)(void*, std::size_t) = nullptr;
    void* context_ = nullptr;
    // The process that started the threads (a fork copies the pool but not its threads).
    int owner_;
    std::vector<std::thread> threads_;
};

class SelfPlayEngine {
public:
    SelfPlayEngine(std::size_t count, EngineOptions options, EngineOutputs outputs);
    ~SelfPlayEngine();
    SelfPlayEngine(const SelfPlayEngine&) = delete;
    SelfPlayEngine& operator=(const SelfPlayEngine&) = delete;

    std::size_t size() const { return slots_.size(); }
    const EngineOptions& options() const { return options_; }

    // Every game starts from the given FENs (one per game) from now on; an Error names the first
    // bad one, and nothing changes then.
    std::optional<Error> set_start_positions(const std::vector<std::string>& fens);
    // Restarts every game and writes the first observations; `seed` reseeds the generators of
    // sample_legal.
    void reset(std::optional<std::uint64_t> seed);
    void seed(std::uint64_t seed);

    // The first action that is not an index below ACTION_COUNT, or (with `legal_only`) not a
    // legal move's, among the games that take an action this step; none when all are.
    std::optional<std::size_t> first_bad_action(const std::int64_t* actions, bool legal_only) const;
    // One step of every game: a game that ended or was truncated by the last step restarts (its
    // action is ignored, Gymnasium's next-step autoreset); the others make their action, an
    // illegal one ending the game with -1 for its player. The actions must be in range.
    void step(const std::int64_t* actions);
    // A uniformly drawn legal action for every game (0 for a game about to restart), from each
    // game's own generator.
    void sample_legal(std::int64_t* out);

    const GameState& state(std::size_t i) const { return slots_[i].state; }
    // The observation of game i for the given side (PETTINGZOO layout) and the action mask of its
    // side to move (bytes), for callers that observe the side not to move.
    void observe(std::size_t i, bool white, std::uint8_t* observation, std::uint8_t* mask) const;

private:
    // A position of the history as the PETTINGZOO observation shows it: bit p of squares[s] set
    // when piece p stands on square s (a1 = 0).
    struct Frame {
        std::array<std::uint16_t, 64> squares;
        bool repeated;
    };
    struct Slot {
        GameState state;
        std::array<std::uint16_t, MAX_LEGAL_MOVES> actions;
        std::array<Frame, HISTORY_FRAMES> frames;
        std::uint32_t frame_count;
        std::uint32_t newest_frame;
        bool needs_reset;
        std::uint64_t rng;
    };

    void restart(std::size_t i);
    void after_change(Slot& slot);
    void step_range(const std::int64_t* actions, std::size_t begin, std::size_t end);
    void prefetch(std::size_t i) const;
    void write(std::size_t i) const;
    void write_pettingzoo(const Slot& slot, bool white, std::uint8_t* out) const;
    void write_packed(const Slot& slot, std::uint64_t* out) const;
    template <class Work> void parallel(Work&& work);

    EngineOptions options_;
    EngineOutputs outputs_;
    std::vector<Slot> slots_;
    std::vector<GameState> starts_;
    std::unique_ptr<WorkerPool> pool_;
};

} // namespace quarn_chess
