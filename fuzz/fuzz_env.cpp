// Fuzz target: the game state and the self-play engine from arbitrary FEN text with arbitrary
// actions.
//
// Input: FEN text up to the first newline, then actions as 16-bit little-endian values (any
// value, most of them out of range or illegal). Invariants:
//   - a FEN is either refused with an Error or gives a state whose legal moves each have an action
//     of their own that decodes back to the move;
//   - an action decodes to a legal move exactly when it is one of the legal moves' actions;
//   - after each move the clock, the repetition count and the ending are consistent (a game with
//     no legal move has ended; the count is at least one);
//   - the engine, started from the same FEN and fed the same actions, writes masks with exactly
//     the legal moves, ends a game on an illegal action with -1, and never faults.
#include "actions.h"
#include "fuzz_common.h"
#include "game_state.h"
#include "position_queries.h"
#include "self_play.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace quarn_chess;
using quarn_chess::fuzz::expect;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void check_actions(GameState& state, std::string_view fen) {
    std::set<std::uint16_t> seen;
    for (std::uint32_t i = 0; i < state.move_count; ++i) {
        const std::optional<std::uint16_t> action = action_of(state.board, state.moves[i]);
        expect(action.has_value(), "a legal move without an action", fen);
        expect(seen.insert(*action).second, "two legal moves share an action", fen);
        const std::optional<ChessMove> decoded = decode_action(state.board, *action);
        expect(decoded.has_value(), "a legal move's action does not decode", fen);
        const std::optional<ChessMove> found
            = find_legal_move(shared_generator(), state.board, *decoded);
        expect(found == state.moves[i], "an action decodes to another move", fen);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string fen(input.substr(0, newline));
    std::vector<std::int64_t> actions;
    if (newline != std::string_view::npos)
        for (std::size_t i = newline + 1; i + 1 < size && actions.size() < 400; i += 2)
            actions.push_back(data[i] | data[i + 1] << 8);

    GameState state;
    if (state.reset(fen).has_value())
        return 0;
    check_actions(state, fen);
    // The engine refuses a game that is over already.
    if (state.ending(DrawRules::CLAIM) != Ending::NONE)
        return 0;

    std::vector<std::uint8_t> observation(PETTINGZOO_OBSERVATION_SIZE);
    std::vector<std::uint8_t> mask(ACTION_COUNT);
    float reward = 0;
    std::uint8_t terminated = 0, truncated = 0, ending = 0;
    SelfPlayEngine engine(1, EngineOptions {},
        EngineOutputs {
            observation.data(), mask.data(), &reward, &terminated, &truncated, &ending });
    expect(!engine.set_start_positions({ fen }).has_value(), "the engine refuses a good FEN", fen);
    engine.reset(0);

    bool over = false;
    for (const std::int64_t value : actions) {
        const std::int64_t action = value % 5000;
        std::size_t legal_count = 0;
        for (const std::uint8_t m : mask)
            legal_count += m;
        expect(legal_count == state.move_count, "the mask and the legal moves differ", fen);
        if (over)
            break;
        std::optional<ChessMove> chosen;
        for (std::uint32_t i = 0; i < state.move_count; ++i)
            if (action_of(state.board, state.moves[i]) == action)
                chosen = state.moves[i];
        const std::optional<ChessMove> decoded
            = decode_action(state.board, static_cast<std::uint32_t>(action));
        const std::optional<ChessMove> found
            = decoded ? find_legal_move(shared_generator(), state.board, *decoded) : std::nullopt;
        expect(
            (found.has_value() && action_of(state.board, *found) == action) == chosen.has_value(),
            "decoding disagrees with the legal moves", fen);
        if (action >= static_cast<std::int64_t>(ACTION_COUNT))
            break;
        engine.step(&action);
        if (!chosen) {
            expect(reward == -1 && terminated && ending == ILLEGAL_ACTION,
                "an illegal action did not end the game", fen);
            break;
        }
        state.play(*chosen);
        check_actions(state, fen);
        expect(state.repetitions >= 1, "a position occurs less than once", fen);
        const Ending result = state.ending(DrawRules::CLAIM);
        expect(state.move_count > 0 || result != Ending::NONE, "a game without moves goes on", fen);
        expect(static_cast<std::uint8_t>(result) == ending, "the engine ends differently", fen);
        over = result != Ending::NONE;
    }
    return 0;
}
