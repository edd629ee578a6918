// Position queries: the shared generator, check, mate, stalemate, insufficient material, outcome.
#pragma once

#include "board.h"
#include "chess_move.h"
#include "move_generator.h"
#include "types.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarn_chess {

// One immutable generator for the whole process, built on first use (thread-safe). Queries, SAN
// and the PGN reader share its attack tables.
const MoveGenerator& shared_generator();

// The king whose safety decides legality: the lowest king of the side to move, as the move
// generator tests it; none when that side has no king.
std::optional<unsigned> mover_king(const Board& board);

// Whether the side to move's king (see mover_king) is attacked. A side without a king is never in
// check.
bool is_check(const MoveGenerator& generator, const Board& board);

// The number of legal moves. The board may change during the call and is restored.
std::size_t legal_move_count(const MoveGenerator& generator, Board& board);

bool is_checkmate(const MoveGenerator& generator, Board& board);
bool is_stalemate(const MoveGenerator& generator, Board& board);

// python-chess's rule: neither side has material that could ever mate. A side with a pawn, rook
// or queen has enough; a side with a knight has enough unless it holds only king and that knight
// and the other side has nothing but king and queens; a side with bishops has enough unless every
// bishop on the board stands on one square colour and there are no pawns or knights at all.
bool is_insufficient_material(const Board& board);

enum class Termination : std::uint8_t { CHECKMATE, STALEMATE, INSUFFICIENT_MATERIAL };

// The result of a finished position. winner: 1 white, 0 black, -1 none.
struct Outcome {
    Termination termination;
    std::int8_t winner;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// What the position alone decides, in python-chess's order: checkmate, insufficient material,
// stalemate; none while the game goes on. Move counters and repetitions are not part of a board.
std::optional<Outcome> outcome(const MoveGenerator& generator, Board& board);

// The legal move with the same from-square, to-square and promotion piece as `wanted` (the special
// code of a promotion counts, any other code is ignored); none when there is no such move.
std::optional<ChessMove> find_legal_move(
    const MoveGenerator& generator, Board& board, ChessMove wanted);

} // namespace quarn_chess
