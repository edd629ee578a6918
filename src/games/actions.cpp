// The action encoding: a move's plane from its steps, and the steps of a plane.
#include "actions.h"

#include <array>

namespace quarn_chess {

namespace {

    struct Step {
        int file;
        int rank;
    };

    constexpr std::array<Step, 8> DIRECTIONS = { { { -1, -1 }, { -1, 0 }, { -1, 1 }, { 0, -1 },
        { 0, 1 }, { 1, -1 }, { 1, 0 }, { 1, 1 } } };
    constexpr std::array<Step, 8> KNIGHT_JUMPS = { { { -2, -1 }, { -2, 1 }, { -1, -2 }, { -1, 2 },
        { 1, -2 }, { 1, 2 }, { 2, -1 }, { 2, 1 } } };

    // The plane of a (file step, rank step) pair seen from the mover, before under-promotions;
    // -1 when none describes it. Indexed by (file step + 7) * 15 + rank step + 7.
    constexpr std::array<std::int8_t, 15 * 15> STEP_PLANES = [] {
        std::array<std::int8_t, 15 * 15> table {};
        table.fill(-1);
        for (int d = 0; d < 8; ++d)
            for (int distance = 1; distance <= 7; ++distance)
                table[(DIRECTIONS[d].file * distance + 7) * 15 + DIRECTIONS[d].rank * distance + 7]
                    = static_cast<std::int8_t>((distance - 1) * 8 + d);
        for (int k = 0; k < 8; ++k)
            table[(KNIGHT_JUMPS[k].file + 7) * 15 + KNIGHT_JUMPS[k].rank + 7]
                = static_cast<std::int8_t>(56 + k);
        return table;
    }();

    // Ranks are mirrored for black: square s seen from the mover is s ^ 56.
    unsigned oriented(unsigned square, bool white) { return white ? square : square ^ 56; }

} // namespace

namespace {
    constexpr MoveActionTable MOVE_ACTIONS_INIT = [] {
        MoveActionTable table {};
        for (unsigned white = 0; white < 2; ++white)
            for (unsigned from = 0; from < 64; ++from)
                for (unsigned to = 0; to < 64; ++to) {
                    const unsigned f = white ? from : from ^ 56;
                    const unsigned t = white ? to : to ^ 56;
                    const int file_step = static_cast<int>(t % 8) - static_cast<int>(f % 8);
                    const int rank_step = static_cast<int>(t / 8) - static_cast<int>(f / 8);
                    const int plane = STEP_PLANES[(file_step + 7) * 15 + rank_step + 7];
                    table[white][from][to] = plane < 0
                        ? NO_ACTION
                        : static_cast<std::uint16_t>(
                            ((f % 8) * 8 + f / 8) * ACTION_PLANES + static_cast<unsigned>(plane));
                }
        return table;
    }();

} // namespace

const MoveActionTable MOVE_ACTIONS = MOVE_ACTIONS_INIT;

std::optional<std::uint16_t> action_of(const Board& board, ChessMove move) {
    const unsigned special = move.special();
    if (special < ChessMove::PROMOTE_KNIGHT || special >= ChessMove::PROMOTE_QUEEN) [[likely]] {
        const std::uint16_t action = MOVE_ACTIONS[board.to_move() & 1][move.from()][move.to()];
        if (action == NO_ACTION)
            return std::nullopt;
        return action;
    }
    const bool white = board.to_move() != 0;
    const unsigned from = oriented(move.from(), white);
    const unsigned to = oriented(move.to(), white);
    const int file_step = static_cast<int>(file_of(to)) - static_cast<int>(file_of(from));
    const int rank_step = static_cast<int>(rank_of(to)) - static_cast<int>(rank_of(from));
    const unsigned base = (file_of(from) * 8 + rank_of(from)) * ACTION_PLANES;
    if (rank_step != 1 || file_step < -1 || file_step > 1)
        return std::nullopt;
    return static_cast<std::uint16_t>(
        base + 64 + (file_step + 1) * 3 + (special - ChessMove::PROMOTE_KNIGHT));
}

std::optional<ChessMove> decode_action(const Board& board, std::uint32_t action) {
    if (action >= ACTION_COUNT)
        return std::nullopt;
    const bool white = board.to_move() != 0;
    const unsigned square = action / ACTION_PLANES;
    const unsigned plane = action % ACTION_PLANES;
    const int file = static_cast<int>(square / 8);
    const int rank = static_cast<int>(square % 8);
    Step step;
    unsigned special = 0;
    if (plane < 56) {
        const int distance = static_cast<int>(plane / 8) + 1;
        step = { DIRECTIONS[plane % 8].file * distance, DIRECTIONS[plane % 8].rank * distance };
    } else if (plane < 64) {
        step = KNIGHT_JUMPS[plane - 56];
    } else {
        step = { static_cast<int>((plane - 64) / 3) - 1, 1 };
        special = ChessMove::PROMOTE_KNIGHT + (plane - 64) % 3;
    }
    const int to_file = file + step.file;
    const int to_rank = rank + step.rank;
    if (to_file < 0 || to_file > 7 || to_rank < 0 || to_rank > 7)
        return std::nullopt;
    const unsigned from = oriented(static_cast<unsigned>(rank * 8 + file), white);
    const unsigned to = oriented(static_cast<unsigned>(to_rank * 8 + to_file), white);
    if (special == 0 && to_rank == 7 && (plane < 56)
        && board.piece_on[from] == (white ? PAWN : BLACK_OFFSET + PAWN))
        special = ChessMove::PROMOTE_QUEEN;
    return ChessMove::packed(from, to, special);
}

} // namespace quarn_chess
