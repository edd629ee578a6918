// Standard algebraic notation: writing a legal move as python-chess does, and reading it back.
#pragma once

#include "board.h"
#include "chess_move.h"
#include "move_generator.h"
#include "result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn_chess {

// The longest SAN text written: piece, file, rank, "x", square, "=Q", "#" (9 characters).
constexpr std::size_t MAX_SAN_LENGTH = 9;

// Coordinate text "e2e4" / "e7e8q" (promotion letter in either case), strictly: exactly four or
// five ASCII characters, no surrounding space. None for anything else. The special code is 0 or
// the promotion's.
std::optional<ChessMove> parse_uci(std::string_view text);

// Writes SAN for the legal moves of one position. The constructor lists the legal moves once;
// write() then serves any of them. The board must stay unchanged while the writer lives (write
// makes the move and takes it back to find the check suffix).
class SanWriter {
public:
    SanWriter(const MoveGenerator& generator, Board& board);

    // The legal moves in generation order (the order of MoveGenerator::moves).
    const MoveList& moves() const { return legal_; }

    // Writes the SAN of `move`, which must be an entry of moves(), into out (room for
    // MAX_SAN_LENGTH bytes, no terminator) and returns its length: "O-O" / "O-O-O" for castling;
    // otherwise piece letter (none for pawns), the from-file and / or from-rank when another piece
    // of the kind can reach the square (file when that tells them apart, else rank, else both; a
    // pawn capture always names its file), "x" for a capture (en passant included), the square,
    // "=N/B/R/Q" for a promotion, then "#" when the move mates and "+" when it checks.
    std::size_t write(ChessMove move, char* out);

private:
    const MoveGenerator& generator_;
    Board& board_;
    MoveList legal_;
    // mailbox_[s]: the piece index that stands on s (the lowest when several do), 12 when empty.
    std::array<std::uint8_t, 64> mailbox_;
};

// Writes the SAN of `move` (coordinates and promotion as in find_legal_move; the special code
// is otherwise ignored) into out (room for MAX_SAN_LENGTH bytes) and returns its length, 0 when
// the move is not legal here. Where the move generator's fast path applies the other moves to
// the square are found without listing every move. The board is unchanged afterwards.
std::size_t write_san(const MoveGenerator& generator, Board& board, ChessMove move, char* out);

// write_san as a string; an Error naming the move when it is not legal here.
Result<std::string> san(const MoveGenerator& generator, Board& board, ChessMove move);

enum class SanStatus : std::uint8_t { OK, INVALID, ILLEGAL, AMBIGUOUS };

struct SanMatch {
    ChessMove move; // the legal move found, when status is OK
    SanStatus status;
};

// Reads SAN against the legal moves `legal` of `board` (as MoveGenerator::moves lists them),
// without allocating. Accepts what python-chess's parse_san accepts, and further any run of "+",
// "#", "!" and "?" at the end, whether or not the move checks or mates:
//   castling "O-O", "O-O-O", "0-0", "0-0-0";
//   [piece][from-file][from-rank][- or x]square[[=]promotion], piece one of N B R Q K, promotion
//   one of n b r q k in either case. Without a piece letter it is a pawn move (a pawn capture
//   must name the from-file), except that a fully given from-square ("e2e4", "g1f3", "e1g1")
//   names any legal move with those squares, a pawn reaching the last rank then needing its
//   promotion letter. "x" and "-" are not checked against the move.
// INVALID: the text does not have that form; ILLEGAL: no legal move matches; AMBIGUOUS: several do.
SanMatch match_san(const Board& board, const MoveList& legal, std::string_view text);

// The same answer as match_san over the position's legal moves, found without listing them
// where the move generator's fast path applies (one king of the side to move, no square claimed
// twice): the moves to the target square are worked out backwards and tested one by one. The
// board may change during the call and is restored.
SanMatch match_san(const MoveGenerator& generator, Board& board, std::string_view text);

// match_san on the position's legal moves, with an error message on failure:
// "invalid san: '<text>'", "illegal san: '<text>' in <fen>", "ambiguous san: '<text>' in <fen>".
// The board is unchanged afterwards.
Result<ChessMove> parse_san(const MoveGenerator& generator, Board& board, std::string_view text);

} // namespace quarn_chess
