// The batched self-play engine: stepping, restarts, observations and masks, split over threads.
#include "self_play.h"

#include "../core/bits.h"
#include "../core/tensors.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <unistd.h>

namespace quarn_chess {

namespace {

    // Fewer games than this per thread are not worth waking a thread for.
    constexpr std::size_t PARALLEL_MINIMUM = 32;

    // About a hundred microseconds of waiting before a thread sleeps.
    constexpr unsigned SPINS = 4096;

    void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    // splitmix64: a generator per game, cheap to seed from (seed, game index).
    std::uint64_t next_random(std::uint64_t& state) {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Byte i of BYTE_BITS[b] is bit i of b: eight channels written with one store.
    constexpr std::array<std::uint64_t, 256> BYTE_BITS = [] {
        std::array<std::uint64_t, 256> table {};
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned i = 0; i < 8; ++i)
                table[b] |= static_cast<std::uint64_t>((b >> i) & 1) << (8 * i);
        return table;
    }();

    // The bitboards a PETTINGZOO frame shows: a pawn that has just made a double step (the one
    // the en-passant right points at) stands on its own first rank, on its file.
    std::array<Bitboard, PIECE_COUNT> frame_pieces(const Board& board) {
        std::array<Bitboard, PIECE_COUNT> pieces = board.pieces;
        const std::uint64_t ep = board.info & INFO_EP_MASK;
        if (ep) {
            const unsigned bit = lsb(ep);
            if (bit < INFO_EP_BLACK_TO_MOVE) {
                // White to move: a black pawn stands on the fifth rank.
                const unsigned file = bit - INFO_EP_WHITE_TO_MOVE;
                if ((pieces[BLACK_OFFSET + PAWN] >> (32 + file)) & 1)
                    pieces[BLACK_OFFSET + PAWN] ^= square_bit(32 + file) | square_bit(56 + file);
            } else {
                const unsigned file = bit - INFO_EP_BLACK_TO_MOVE;
                if ((pieces[PAWN] >> (24 + file)) & 1)
                    pieces[PAWN] ^= square_bit(24 + file) | square_bit(file);
            }
        }
        return pieces;
    }

} // namespace

WorkerPool::WorkerPool(unsigned workers)
    : owner_(getpid()) {
    threads_.reserve(workers);
    for (unsigned w = 1; w <= workers; ++w)
        threads_.emplace_back([this, w] { work(w); });
}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    start_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

bool WorkerPool::inherited() const { return getpid() != owner_; }

void WorkerPool::run(void (*task)(void*, std::size_t), void* context) {
    if (inherited()) {
        // A forked child has none of the threads: it does every part itself.
        for (std::size_t part = 0; part <= threads_.size(); ++part)
            task(context, part);
        return;
    }
    task_ = task;
    context_ = context;
    pending_.store(threads_.size(), std::memory_order_relaxed);
    {
        const std::lock_guard lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
    }
    start_.notify_all();
    task(context, 0);
    for (unsigned spin = 0; spin < SPINS && pending_.load(std::memory_order_acquire) != 0; ++spin)
        pause();
    if (pending_.load(std::memory_order_acquire) != 0) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }
}

void WorkerPool::work(std::size_t part) {
    std::uint64_t seen = 0;
    for (;;) {
        for (unsigned spin = 0;
             spin < SPINS && generation_.load(std::memory_order_acquire) == seen && !stop_.load();
             ++spin)
            pause();
        if (generation_.load(std::memory_order_acquire) == seen) {
            std::unique_lock lock(mutex_);
            start_.wait(lock, [&] { return stop_.load() || generation_.load() != seen; });
        }
        if (stop_.load())
            return;
        seen = generation_.load(std::memory_order_acquire);
        task_(context_, part);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            const std::lock_guard lock(mutex_);
            done_.notify_one();
        }
    }
}

SelfPlayEngine::SelfPlayEngine(std::size_t count, EngineOptions options, EngineOutputs outputs)
    : options_(options)
    , outputs_(outputs)
    , slots_(count) {
    if (options_.threads == 0)
        options_.threads = 1;
    if (options_.threads > 1 && count >= 2 * PARALLEL_MINIMUM)
        pool_ = std::make_unique<WorkerPool>(
            static_cast<unsigned>(std::min<std::size_t>(options_.threads, count / PARALLEL_MINIMUM))
            - 1);
    seed(0);
    for (std::size_t i = 0; i < count; ++i)
        restart(i);
}

SelfPlayEngine::~SelfPlayEngine() {
    // In a forked child the pool's threads, and maybe waits on its lock, belong to the parent:
    // the pool is left as it is rather than destroyed.
    if (pool_ && pool_->inherited())
        static_cast<void>(pool_.release());
}

std::optional<Error> SelfPlayEngine::set_start_positions(const std::vector<std::string>& fens) {
    check(fens.size() == slots_.size(), "one FEN per game");
    std::vector<GameState> starts(fens.size());
    static constexpr const char* ENDING_NAMES[]
        = { "", "checkmate", "insufficient material", "stalemate", "the seventy-five-move rule",
              "fivefold repetition", "the fifty-move rule", "threefold repetition" };
    for (std::size_t i = 0; i < fens.size(); ++i) {
        if (std::optional<Error> error = starts[i].reset(fens[i]))
            return Error { "FEN " + std::to_string(i) + ": " + error->message };
        // A game must have a move to make: one that is over already would end at once, its first
        // action counted as illegal.
        if (const Ending ending = starts[i].ending(options_.draw_rules); ending != Ending::NONE)
            return Error { "FEN " + std::to_string(i) + ": the game is over already ("
                + ENDING_NAMES[static_cast<int>(ending)] + ")" };
    }
    starts_ = std::move(starts);
    return std::nullopt;
}

void SelfPlayEngine::seed(std::uint64_t seed) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        std::uint64_t state = seed ^ (0xD1B54A32D192ED03ULL * (i + 1));
        next_random(state);
        slots_[i].rng = state;
    }
}

void SelfPlayEngine::reset(std::optional<std::uint64_t> seed_value) {
    if (seed_value)
        seed(*seed_value);
    parallel([&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            restart(i);
            write(i);
            outputs_.reward[i] = 0;
            outputs_.terminated[i] = outputs_.truncated[i] = outputs_.ending[i] = 0;
        }
    });
}

void SelfPlayEngine::restart(std::size_t i) {
    Slot& slot = slots_[i];
    if (starts_.empty()) {
        slot.state.reset();
    } else {
        const GameState& start = starts_[i];
        GameState& state = slot.state;
        state.board.pieces = start.board.pieces;
        state.board.info = start.board.info;
        state.board.zobrist = start.board.zobrist;
        state.board.piece_on = start.board.piece_on;
        state.board.disjoint = start.board.disjoint;
        state.halfmove_clock = start.halfmove_clock;
        state.fullmove_number = start.fullmove_number;
        state.plies = 0;
        state.keys = start.keys;
        state.key_count = start.key_count;
        state.repetitions = start.repetitions;
        state.repeated = start.repeated;
        state.moves = start.moves;
        state.move_count = start.move_count;
        state.in_check = start.in_check;
    }
    // Frames not yet played show nothing: all eight are read on every observation.
    for (Frame& frame : slot.frames) {
        frame.squares.fill(0);
        frame.repeated = false;
    }
    slot.frame_count = 0;
    slot.newest_frame = 0;
    slot.needs_reset = false;
    after_change(slot);
}

// The actions of the new legal moves.
void SelfPlayEngine::after_change(Slot& slot) {
    const GameState& state = slot.state;
    std::uint16_t missing = 0;
    for (std::uint32_t m = 0; m < state.move_count; ++m) {
        const std::uint16_t action = generated_action(state.board, state.moves[m]);
        missing |= action == NO_ACTION;
        slot.actions[m] = action;
    }
    check(!missing, "a legal move without an action");
}

std::optional<std::size_t> SelfPlayEngine::first_bad_action(
    const std::int64_t* actions, bool legal_only) const {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        if (slot.needs_reset)
            continue;
        const std::int64_t action = actions[i];
        if (action < 0 || action >= static_cast<std::int64_t>(ACTION_COUNT))
            return i;
        if (legal_only
            && std::find(slot.actions.begin(), slot.actions.begin() + slot.state.move_count,
                   static_cast<std::uint16_t>(action))
                == slot.actions.begin() + slot.state.move_count)
            return i;
    }
    return std::nullopt;
}

void SelfPlayEngine::step(const std::int64_t* actions) {
    parallel([&](std::size_t begin, std::size_t end) { step_range(actions, begin, end); });
}

// The state a step reads of the next game, and the rows it writes, asked for ahead: a game's
// state is kilobytes, so a batch does not stay in cache between steps.
void SelfPlayEngine::prefetch(std::size_t i) const {
    const Slot& slot = slots_[i];
    const char* board = reinterpret_cast<const char*>(&slot.state.board);
    for (std::size_t offset = 0; offset < sizeof(Board); offset += 64)
        __builtin_prefetch(board + offset);
    const char* counters = reinterpret_cast<const char*>(&slot.state.key_count);
    __builtin_prefetch(counters);
    __builtin_prefetch(
        reinterpret_cast<const char*>(&slot.state.keys[0]) + 8 * slot.state.key_count);
    for (unsigned line = 0; line < 2; ++line) {
        __builtin_prefetch(reinterpret_cast<const char*>(slot.state.moves.data()) + 64 * line);
        __builtin_prefetch(reinterpret_cast<const char*>(slot.actions.data()) + 64 * line);
    }
    if (options_.observation == ObservationKind::PACKED) {
        const char* mask = static_cast<const char*>(outputs_.action_mask)
            + i * PACKED_MASK_WORDS * sizeof(std::uint64_t);
        for (std::size_t offset = 0; offset < PACKED_MASK_WORDS * sizeof(std::uint64_t);
             offset += 64)
            __builtin_prefetch(mask + offset, 1);
    }
}

void SelfPlayEngine::step_range(const std::int64_t* actions, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        if (i + 2 < end)
            prefetch(i + 2);
        Slot& slot = slots_[i];
        float reward = 0;
        bool terminated = false;
        bool truncated = false;
        std::uint8_t ending = 0;
        if (slot.needs_reset) {
            restart(i);
        } else {
            const auto action = static_cast<std::uint16_t>(actions[i]);
            GameState& state = slot.state;
            const auto found
                = std::find(slot.actions.begin(), slot.actions.begin() + state.move_count, action);
            if (found == slot.actions.begin() + state.move_count) {
                reward = -1;
                terminated = truncated = true;
                ending = ILLEGAL_ACTION;
            } else {
                state.play(state.moves[static_cast<std::size_t>(found - slot.actions.begin())]);
                after_change(slot);
                const Ending result = state.ending(options_.draw_rules);
                if (options_.observation == ObservationKind::PETTINGZOO) {
                    slot.newest_frame = (slot.newest_frame + 1) % HISTORY_FRAMES;
                    Frame& frame = slot.frames[slot.newest_frame];
                    const std::array<Bitboard, PIECE_COUNT> pieces = frame_pieces(state.board);
                    frame.squares.fill(0);
                    for (unsigned p = 0; p < PIECE_COUNT; ++p)
                        for (const unsigned square : get_bits(pieces[p]))
                            frame.squares[square] |= static_cast<std::uint16_t>(1u << p);
                    frame.repeated = state.repetitions >= 2;
                    slot.frame_count
                        = std::min<std::uint32_t>(slot.frame_count + 1, HISTORY_FRAMES);
                }
                ending = static_cast<std::uint8_t>(result);
                terminated = result != Ending::NONE;
                reward = result == Ending::CHECKMATE ? 1.0f : 0.0f;
                truncated
                    = !terminated && options_.max_plies != 0 && state.plies >= options_.max_plies;
            }
            slot.needs_reset = terminated || truncated;
        }
        write(i);
        outputs_.reward[i] = reward;
        outputs_.terminated[i] = terminated;
        outputs_.truncated[i] = truncated;
        outputs_.ending[i] = ending;
    }
}

void SelfPlayEngine::sample_legal(std::int64_t* out) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = slots_[i];
        const std::uint32_t count = slot.state.move_count;
        if (slot.needs_reset || count == 0) {
            out[i] = 0;
            continue;
        }
        // Multiply-shift maps 32 random bits onto 0..count-1 without a division.
        const std::uint64_t r = next_random(slot.rng) >> 32;
        out[i] = slot.actions[(r * count) >> 32];
    }
}

void SelfPlayEngine::write(std::size_t i) const {
    const Slot& slot = slots_[i];
    const GameState& state = slot.state;
    if (options_.observation == ObservationKind::PETTINGZOO) {
        auto* observation
            = static_cast<std::uint8_t*>(outputs_.observation) + i * PETTINGZOO_OBSERVATION_SIZE;
        write_pettingzoo(slot, state.board.to_move() != 0, observation);
        auto* mask = static_cast<std::uint8_t*>(outputs_.action_mask) + i * ACTION_COUNT;
        std::memset(mask, 0, ACTION_COUNT);
        for (std::uint32_t m = 0; m < state.move_count; ++m)
            mask[slot.actions[m]] = 1;
    } else {
        write_packed(
            slot, static_cast<std::uint64_t*>(outputs_.observation) + i * PACKED_OBSERVATION_WORDS);
        auto* mask = static_cast<std::uint64_t*>(outputs_.action_mask) + i * PACKED_MASK_WORDS;
        std::memset(mask, 0, PACKED_MASK_WORDS * sizeof(std::uint64_t));
        for (std::uint32_t m = 0; m < state.move_count; ++m)
            mask[slot.actions[m] / 64] |= std::uint64_t { 1 } << (slot.actions[m] % 64);
    }
}

void SelfPlayEngine::observe(
    std::size_t i, bool white, std::uint8_t* observation, std::uint8_t* mask) const {
    const Slot& slot = slots_[i];
    write_pettingzoo(slot, white, observation);
    std::memset(mask, 0, ACTION_COUNT);
    for (std::uint32_t m = 0; m < slot.state.move_count; ++m)
        mask[slot.actions[m]] = 1;
}

// The channels of each square are gathered as a 111-bit set (two words) from the frames' piece
// masks, then expanded to bytes eight at a time.
void SelfPlayEngine::write_pettingzoo(const Slot& slot, bool white, std::uint8_t* out) const {
    const GameState& state = slot.state;
    const std::uint64_t info = state.board.info;
    // Square s shows at row-major index s ^ 56 for white (rank 8 on top), s for black (ranks
    // mirrored, so rank 1 is on top).
    const unsigned flip = white ? 56 : 0;
    const auto right = [&](unsigned bit) { return (info >> bit) & 1; };
    const std::uint64_t every_lo
        = (white ? right(INFO_WHITE_KING_SIDE) : right(INFO_BLACK_KING_SIDE))
        | (white ? right(INFO_WHITE_QUEEN_SIDE) : right(INFO_BLACK_QUEEN_SIDE)) << 1
        | (white ? right(INFO_BLACK_KING_SIDE) : right(INFO_WHITE_KING_SIDE)) << 2
        | (white ? right(INFO_BLACK_QUEEN_SIDE) : right(INFO_WHITE_QUEEN_SIDE)) << 3
        | std::uint64_t { !white } << 4 | std::uint64_t { 1 } << 6;
    std::uint64_t repeated_lo = 0;
    std::uint64_t repeated_hi = 0;
    // Frame k (0 newest) starts at channel 7 + 13k; its twelve channels are the mover's pieces
    // first, so for black the two halves of a piece mask change places.
    std::array<const Frame*, HISTORY_FRAMES> frames;
    for (unsigned k = 0; k < HISTORY_FRAMES; ++k) {
        frames[k] = &slot.frames[(slot.newest_frame + HISTORY_FRAMES - k) % HISTORY_FRAMES];
        const unsigned channel = 7 + 13 * k + 12;
        if (k < slot.frame_count && frames[k]->repeated) {
            if (channel < 64)
                repeated_lo |= std::uint64_t { 1 } << channel;
            else
                repeated_hi |= std::uint64_t { 1 } << (channel - 64);
        }
    }
    const unsigned clock_square = std::min<std::uint32_t>(state.halfmove_clock / 2, 63) ^ flip;
    for (unsigned m = 0; m < 64; ++m) {
        const unsigned s = m ^ flip;
        std::uint64_t lo = every_lo | repeated_lo | std::uint64_t { m == clock_square } << 5;
        std::uint64_t hi = repeated_hi;
        for (unsigned k = 0; k < HISTORY_FRAMES; ++k) {
            std::uint64_t w = frames[k]->squares[s];
            if (!white)
                w = ((w >> 6) | (w << 6)) & 0xFFF;
            const unsigned shift = 7 + 13 * k;
            if (shift < 64) {
                lo |= w << shift;
                if (shift + 12 > 64)
                    hi |= w >> (64 - shift);
            } else {
                hi |= w << (shift - 64);
            }
        }
        std::uint8_t* square = out + m * PETTINGZOO_CHANNELS;
        for (unsigned j = 0; j < 8; ++j)
            std::memcpy(square + 8 * j, &BYTE_BITS[(lo >> (8 * j)) & 0xFF], 8);
        // Channels 64..110: the last chunk holds seven.
        for (unsigned j = 0; j < 5; ++j)
            std::memcpy(square + 64 + 8 * j, &BYTE_BITS[(hi >> (8 * j)) & 0xFF], 8);
        std::memcpy(square + 104, &BYTE_BITS[(hi >> 40) & 0xFF], 7);
    }
}

void SelfPlayEngine::write_packed(const Slot& slot, std::uint64_t* out) const {
    const GameState& state = slot.state;
    const Board& board = state.board;
    encode_packed(board, true, out);
    const bool white = board.to_move() != 0;
    const std::uint64_t info = board.info;
    const auto right = [&](unsigned bit) { return (info >> bit) & 1; };
    std::uint64_t flags = (white ? right(INFO_WHITE_KING_SIDE) : right(INFO_BLACK_KING_SIDE))
        | (white ? right(INFO_WHITE_QUEEN_SIDE) : right(INFO_BLACK_QUEEN_SIDE)) << 1
        | (white ? right(INFO_BLACK_KING_SIDE) : right(INFO_WHITE_KING_SIDE)) << 2
        | (white ? right(INFO_BLACK_QUEEN_SIDE) : right(INFO_WHITE_QUEEN_SIDE)) << 3
        | std::uint64_t { !white } << 4;
    if (const std::uint64_t ep = info & INFO_EP_MASK) {
        const unsigned bit = lsb(ep);
        const unsigned file = bit < INFO_EP_BLACK_TO_MOVE ? bit - INFO_EP_WHITE_TO_MOVE
                                                          : bit - INFO_EP_BLACK_TO_MOVE;
        flags |= std::uint64_t { file + 1 } << 8;
    }
    out[12] = flags;
    out[13] = state.halfmove_clock;
    out[14] = state.fullmove_number;
    out[15] = state.repetitions;
}

// Runs work(begin, end) over the games, split into contiguous parts over the pool's threads. A
// fault in any part travels on after all parts are done.
template <class Work> void SelfPlayEngine::parallel(Work&& work) {
    const std::size_t count = slots_.size();
    if (!pool_) {
        work(std::size_t { 0 }, count);
        return;
    }
    struct Context {
        Work* work;
        std::size_t count;
        std::size_t parts;
        std::array<std::exception_ptr, 256> failures;
    } context { &work, count, 0, {} };
    context.parts = std::min<std::size_t>(options_.threads, count / PARALLEL_MINIMUM);
    pool_->run(
        [](void* opaque, std::size_t part) {
            auto* c = static_cast<Context*>(opaque);
            try {
                (*c->work)(c->count * part / c->parts, c->count * (part + 1) / c->parts);
            } catch (...) {
                c->failures[part] = std::current_exception();
            }
        },
        &context);
    for (const std::exception_ptr& failure : context.failures)
        if (failure)
            std::rethrow_exception(failure);
}

} // namespace quarn_chess
