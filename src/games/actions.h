// The 8 x 8 x 73 action encoding of self-play agents: moves to action indices and back.
#pragma once

#include "../core/board.h"
#include "../core/chess_move.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarn_chess {

// An action names a move of the side to move, seen from that side (ranks mirrored for black,
// files kept), as square * 73 + plane, with square = file * 8 + rank of the from-square:
//   planes  0..55  queen-like moves: (distance - 1) * 8 + direction, the directions in the order
//                  of their (file step, rank step): (-1,-1) (-1,0) (-1,+1) (0,-1) (0,+1) (+1,-1)
//                  (+1,0) (+1,+1); castling is the king's two-square move
//   planes 56..63  knight jumps, in the order (-2,-1) (-2,+1) (-1,-2) (-1,+2) (+1,-2) (+1,+2)
//                  (+2,-1) (+2,+1)
//   planes 64..72  under-promotions: 64 + (file step + 1) * 3 + piece, piece 0 knight, 1 bishop,
//                  2 rook
// A pawn reaching the last rank by a queen-like plane promotes to a queen.
constexpr std::size_t ACTION_PLANES = 73;
constexpr std::size_t ACTION_COUNT = 64 * ACTION_PLANES;

// The action of every move that is no under-promotion, by side to move (0 black, 1 white),
// from- and to-square; NO_ACTION where no plane describes the step.
constexpr std::uint16_t NO_ACTION = 0xFFFF;
using MoveActionTable = std::array<std::array<std::array<std::uint16_t, 64>, 64>, 2>;
extern const MoveActionTable MOVE_ACTIONS;

// action_of for the moves of a move generator, NO_ACTION for none: the table, or the
// under-promotion planes.
inline std::uint16_t generated_action(const Board& board, ChessMove move);

// The action of a move of the side to move of `board`; none when no plane describes it (a move
// from a square to itself, a jump no piece makes, an under-promotion that is not one step
// forward). Reads only the side to move of the board.
std::optional<std::uint16_t> action_of(const Board& board, ChessMove move);

// The move an action describes on `board`: from- and to-square, and the promotion code when the
// mover is a pawn of the side to move reaching the last rank (queen unless an under-promotion
// plane says otherwise). None when the action is out of range or leaves the board. The move is
// not tested for legality.
std::optional<ChessMove> decode_action(const Board& board, std::uint32_t action);

inline std::uint16_t generated_action(const Board& board, ChessMove move) {
    const unsigned special = move.special();
    if (special < ChessMove::PROMOTE_KNIGHT || special >= ChessMove::PROMOTE_QUEEN) [[likely]]
        return MOVE_ACTIONS[board.to_move() & 1][move.from()][move.to()];
    return action_of(board, move).value_or(NO_ACTION);
}

} // namespace quarn_chess
