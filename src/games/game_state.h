// GameState: a board with its move counters, the positions since the last irreversible move, the
// legal moves and every way the game can end.
#pragma once

#include "../core/board.h"
#include "../core/chess_move.h"
#include "../core/move_generator.h"
#include "../core/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn_chess {

// How a game ended, in the order python-chess's Board.outcome() tries them: the position decides
// the first three, the counters the rest. The last two are draws a player may claim; the others
// end the game by themselves.
enum class Ending : std::uint8_t {
    NONE,
    CHECKMATE,
    INSUFFICIENT_MATERIAL,
    STALEMATE,
    SEVENTYFIVE_MOVES,
    FIVEFOLD_REPETITION,
    FIFTY_MOVES,
    THREEFOLD_REPETITION,
};

// Which draws end the game: only the automatic ones, or the claimable ones too (as if the player
// to move always claimed, python-chess's outcome(claim_draw=True)).
enum class DrawRules : std::uint8_t { AUTOMATIC, CLAIM };

// The most legal moves a position that play can reach has is 218; positions are checked on entry
// so that no list is longer.
constexpr std::size_t MAX_LEGAL_MOVES = 256;

// Room for the positions since the last irreversible move: the seventy-five-move rule ends every
// game whose clock reaches 150, so a stretch never holds more than 151 positions.
constexpr std::size_t MAX_STRETCH = 152;

struct GameState {
    Board board;
    // Half-moves since the last capture or pawn move, and the number of the full move (from 1,
    // raised after black moves), as in FEN.
    std::uint32_t halfmove_clock = 0;
    std::uint32_t fullmove_number = 1;
    // Half-moves made since the state was set up.
    std::uint32_t plies = 0;
    // The repetition keys of the positions since the last capture or pawn move (or since the
    // state was set up), oldest first, the current position last. A key is the board's hash with
    // the en-passant right left out unless an en-passant capture is legal, so that positions
    // compare as the rules (and python-chess) compare them.
    std::array<std::uint64_t, MAX_STRETCH> keys {};
    std::uint32_t key_count = 0;
    // How often the current position has occurred within the stretch, itself included.
    std::uint32_t repetitions = 1;
    // Whether some position of the stretch has occurred twice (only then can a move reach a third
    // occurrence).
    bool repeated = false;
    // The legal moves of the side to move, in generation order.
    std::array<ChessMove, MAX_LEGAL_MOVES> moves {};
    std::uint32_t move_count = 0;
    bool in_check = false;

    // Sets up a game from the start position.
    void reset();
    // Sets up a game from a FEN (the move counters are read when present, else 0 and 1). An
    // unreadable text, or a position play could not reach in the ways the rules rely on (not one
    // king per side, pawns on the first or last rank, the side not to move in check, an en-passant
    // square no double step explains), is an Error
    // and leaves the state at the start position.
    std::optional<Error> reset(std::string_view fen);

    // Makes a legal move (one of `moves`) and brings counters, keys and legal moves up to date.
    void play(ChessMove move);

    // How the game stands under `rules`; NONE while it goes on.
    Ending ending(DrawRules rules);

    // python-chess's can_claim_fifty_moves and can_claim_threefold_repetition: the clock is at
    // 100 or more, or one legal move brings it there; the position occurs for the third time, or
    // one legal move makes a position occur for the third time. The board is restored.
    bool can_claim_fifty_moves() const;
    bool can_claim_threefold_repetition();

    // The winner of a checkmate: 1 white, 0 black.
    int winner() const { return static_cast<int>(board.to_move() ^ 1); }

private:
    // After the board changed: the legal moves, check, the position's key and its count.
    void settle(bool irreversible);
    // The positions of the stretch equal to `key` among the last one `back` (0 or 1) plies ago and
    // every second one before it.
    std::uint32_t count_key(std::uint64_t key, std::uint32_t back) const;
};

// Whether a move of the side to move is irreversible for the fifty-move rule: a capture or a pawn
// move.
bool is_zeroing(const Board& board, ChessMove move);

} // namespace quarn_chess
