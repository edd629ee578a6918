// Game-table decoding: move tokens replayed on a board (each checked to be a legal move), and the
// position rows of whole games written from Arrow buffers.
#pragma once

#include "board.h"
#include "move_generator.h"
#include "result.h"
#include "types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn_chess {

// Layout of a move token of a game table (one uint16 per ply):
//   bits  0..5   from-square
//   bits  6..11  to-square
//   bits 12..15  promotion: 0 none, 2 N, 3 B, 4 R, 5 Q (python-chess's piece numbers); 1 and
//                6..15 are malformed
// Castling is the king's move two files (e1g1), en passant the pawn's diagonal step onto the
// empty square behind the double-stepped pawn.
constexpr unsigned TOKEN_PROMOTION_SHIFT = 12;

// The token of a legal move of the generator's lists (its special code gives the promotion).
constexpr std::uint16_t token_of(ChessMove m) {
    const unsigned special = m.special();
    const unsigned promotion = special >= ChessMove::PROMOTE_KNIGHT ? special - 2 : 0;
    return static_cast<std::uint16_t>((m.data & 0xFFF) | promotion << TOKEN_PROMOTION_SHIFT);
}

enum class TokenStatus : std::uint8_t {
    OK,
    MALFORMED, // a promotion code that names no piece
    ILLEGAL, // no legal move of the position
};

// One game replayed from its tokens: pieces, the square table, the info word (types.h) and the
// half-move clock. play() tests a token against the rules of the position without listing its
// moves (own piece on the from-square, the piece's reach, castling's conditions, en passant, the
// promotion on the last rank and nowhere else, the own king unattacked afterwards) and makes it.
// The start position always comes from read_start_fen, so both sides have one king and the side
// not to move is not in check.
class TokenReplay {
public:
    explicit TokenReplay(const MoveGenerator& generator);

    // The standard start, or a FEN read by read_start_fen (an error leaves the standard start).
    void reset();
    std::optional<Error> reset(std::string_view fen);

    // Plays a token when it is a legal move; otherwise nothing changes.
    TokenStatus play(std::uint16_t token);

    const std::array<Bitboard, PIECE_COUNT>& pieces() const { return pieces_; }
    std::uint64_t info() const { return info_; }
    unsigned halfmove_clock() const { return halfmove_; }

private:
    bool attacked(unsigned square, Bitboard occupancy, bool white, Bitboard taken) const;
    bool reaches(unsigned kind, unsigned from, unsigned to) const;
    void set_start(const Board& board, unsigned halfmove_clock);

    const MoveGenerator& generator_;
    std::array<Bitboard, PIECE_COUNT> pieces_ {};
    std::array<std::uint8_t, 64> on_ {};
    std::array<Bitboard, 2> sides_ {}; // white's and black's squares
    std::uint64_t info_ = 0;
    unsigned halfmove_ = 0;
    std::array<Bitboard, PIECE_COUNT> start_pieces_ {};
};

// One position of a game as the loader keeps it: 128 bytes, two cache lines. `state`: bit 0
// white to move, bits 1..4 castling K Q k q (the info word's bits); `ep_file` -1 none; `eval`
// and `clock` NaN when absent; `mate` 0 when absent.
struct alignas(64) PositionRecord {
    std::array<Bitboard, PIECE_COUNT> pieces;
    std::int64_t game;
    float eval;
    float clock;
    std::uint16_t halfmove;
    std::uint16_t move; // from * 64 + to (pgn_to_arrays's layout, not the token's)
    std::uint16_t ply;
    std::int16_t white_elo;
    std::int16_t black_elo;
    std::int16_t mate;
    std::uint8_t state;
    std::int8_t ep_file;
    std::uint8_t promotion;
    std::int8_t result;
};
static_assert(sizeof(PositionRecord) == 128);

// --- a game table's columns as Arrow lays them out ---------------------------------------------

// Arrow's validity bitmap: bit (offset + i) of `bits`, LSB first; no bitmap means all valid.
struct Validity {
    const std::uint8_t* bits = nullptr;
    std::int64_t offset = 0;
    bool valid(std::int64_t i) const {
        if (bits == nullptr)
            return true;
        const std::int64_t k = offset + i;
        return (bits[k >> 3] >> (k & 7)) & 1;
    }
};

// A primitive column: item i is values[offset + i].
template <class T> struct ArrowValues {
    const T* values = nullptr;
    std::int64_t offset = 0;
    Validity validity;
    bool present() const { return values != nullptr; }
    bool valid(std::int64_t i) const { return validity.valid(i); }
    T at(std::int64_t i) const { return values[offset + i]; }
};

// A list column: row i holds items offsets[offset + i] .. offsets[offset + i + 1] of `items`
// (whose own offset and validity apply). A string column is a list of bytes.
template <class T> struct ArrowList {
    const std::int32_t* offsets = nullptr;
    std::int64_t offset = 0;
    Validity validity;
    ArrowValues<T> items;
    bool present() const { return offsets != nullptr; }
    std::int32_t begin(std::int64_t i) const { return offsets[offset + i]; }
    std::int32_t end(std::int64_t i) const { return offsets[offset + i + 1]; }
};

// The columns of one record batch of a game table that decoding reads; absent optional columns
// have null pointers (moves is required; `game` absent numbers the games from `first_game`).
// `items_size` bounds what the offsets may address: the item count of each list's values (the
// binding takes it from the buffer sizes, so hand-made offsets cannot read out of bounds).
struct GameBatch {
    std::int64_t rows = 0;
    ArrowList<std::uint16_t> moves;
    std::int64_t moves_items = 0;
    ArrowList<char> fen;
    std::int64_t fen_items = 0;
    ArrowValues<std::int8_t> result;
    ArrowValues<std::int16_t> white_elo;
    ArrowValues<std::int16_t> black_elo;
    ArrowValues<std::int64_t> game;
    std::int64_t first_game = 0;
    ArrowList<std::int16_t> eval;
    std::int64_t eval_items = 0;
    ArrowList<std::int16_t> mate;
    std::int64_t mate_items = 0;
    ArrowList<std::int32_t> clock;
    std::int64_t clock_items = 0;
};

// Why a game of a batch was refused.
struct GameFault {
    std::int64_t row = 0; // in the batch
    std::int64_t game = 0; // the game column's value
    std::string message; // names the game, the ply and the token (or the FEN)
};

// Checks the offsets of every list column (non-decreasing, inside their items) and returns
// the plies of every row (0 for a null moves list) in `plies`, or a message.
std::optional<std::string> check_batch(const GameBatch& batch, std::int64_t* plies);

// The rows of one game (batch row `row`): out[k] receives the position before ply k, for every
// ply of the game (check_batch counted them). Returns a fault for a bad FEN or a token that is
// no legal move; the records written are then garbage.
std::optional<GameFault> decode_game(
    TokenReplay& replay, const GameBatch& batch, std::int64_t row, PositionRecord* out);

struct PositionColumnsOut;

// The same rows written straight into columns, as rows first_row.. (write_row below).
std::optional<GameFault> decode_game(TokenReplay& replay, const GameBatch& batch, std::int64_t row,
    bool flip, const PositionColumnsOut& out, std::size_t first_row);

// --- rows out ----------------------------------------------------------------------------------

// The columns of pgn_to_arrays (pgn_data.h lists their layout), written row by row. Pointers
// may be null for columns the caller does not want; exactly one of packed / planes is used.
struct PositionColumnsOut {
    std::uint64_t* packed = nullptr;
    std::uint8_t* planes = nullptr;
    std::uint8_t* turn = nullptr;
    std::uint8_t* castling = nullptr;
    std::int8_t* ep_file = nullptr;
    std::uint16_t* halfmove = nullptr;
    std::uint16_t* move = nullptr;
    std::uint8_t* promotion = nullptr;
    std::int64_t* game = nullptr;
    std::uint16_t* ply = nullptr;
    std::int8_t* result = nullptr;
    std::int16_t* white_elo = nullptr;
    std::int16_t* black_elo = nullptr;
    float* eval = nullptr;
    std::int16_t* mate = nullptr;
    float* clock = nullptr;
};

// Writes a record as row `row` of the columns. With `flip` and black to move the position is
// seen from black's side as encode_packed shows it (ranks mirrored, colours exchanged), the
// castling bits become the mover's rights first (k q K Q) and the move's squares are mirrored
// (square ^ 56); turn stays the real side to move.
void write_row(
    const PositionRecord& record, bool flip, const PositionColumnsOut& out, std::size_t row);

} // namespace quarn_chess
