// Board: twelve bitboards, the info word, the incremental hash and the history of moves made.
#pragma once

#include "chess_move.h"
#include "fault.h"
#include "result.h"
#include "types.h"
#include "zobrist.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn_chess {

// One per move made and not yet taken back: everything the move changed, as it was before. All
// of it is saved before the first write, so taking the move back is a handful of stores in any
// order. Entries 0..count-1 of each group are real; the rest repeat entry 0, which lets pop_move
// restore all four without a bound (writing an old value twice is harmless).
//   saved_index / saved_board   a bitboard the move changes and its old value (the moving
//                               piece's first, then the captured, castling rook's and promoted
//                               piece's, each one present)
//   square / occupant           a square whose piece_on entry the move may change, and the entry
//   info, z_key, z_sum          the info word and the hash before the move
//   disjoint                    the board's disjoint flag before the move
struct MoveRecord {
    std::uint64_t info = 0;
    std::uint64_t z_key = 0;
    std::array<Bitboard, 4> saved_board {};
    std::uint16_t z_sum = 0;
    std::array<std::uint8_t, 4> saved_index {};
    std::array<std::uint8_t, 4> square {};
    std::array<std::uint8_t, 4> occupant {};
    std::uint8_t saved_count = 0;
    bool disjoint = true;

    // Bit i set when the move changed (and saved) bitboard i.
    std::uint16_t moved() const {
        std::uint16_t mask = 0;
        for (unsigned i = 0; i < saved_count; ++i)
            mask |= static_cast<std::uint16_t>(1u << saved_index[i]);
        return mask;
    }

    friend bool operator==(const MoveRecord&, const MoveRecord&) = default;
};

// The 12 x 64 truth values of the plane export, plane-major: entry p * 64 + s is bit s of
// pieces[p].
using Planes = std::array<std::uint8_t, PIECE_COUNT * 64>;

// Marks an empty square in Board::piece_on.
constexpr std::uint8_t NO_PIECE = PIECE_COUNT;

// The bitboards are the position; piece_on and disjoint are derived from them and kept in step by
// every operation (code that writes `pieces` directly calls resync afterwards):
//   piece_on[s]   the lowest piece index whose bitboard holds s, NO_PIECE when none does (the
//                 piece FEN writing shows and move making moves, also where bitboards overlap)
//   disjoint      no square is held by two bitboards (every position play reaches)
struct Board {
    std::array<Bitboard, PIECE_COUNT> pieces {};
    std::uint64_t info = 0;
    ZobristBoardComponent zobrist;
    std::array<std::uint8_t, 64> piece_on = empty_squares();
    bool disjoint = true;
    std::vector<MoveRecord> move_stack;

    // --- construction and text (fen.cpp) ---

    // Reads a four-field FEN (move counters ignored). A bad side-to-move or castling field is an
    // Error; a missing field or a bad placement character is a Fault.
    static Result<Board> from_fen(std::string_view fen);
    // The twelve bitboards of the first field; the rest of the text is not read.
    static std::array<Bitboard, PIECE_COUNT> pieces_from_fen(std::string_view fen);
    // The text split at "/", pieces reversed, joined again with "/".
    static std::string reverse_fen(std::string_view fen);
    // Placement, side, castling and en-passant fields; no move counters.
    std::string to_fen() const;

    // --- small bit operations (board.cpp) ---

    // The first index of [first, last) whose bitboard holds `square`; none when `blockers` does
    // not contain it (callers pass the union of all twelve bitboards).
    std::optional<PieceIndex> get_piece(
        unsigned square, PieceIndex first, PieceIndex last, Bitboard blockers) const;
    static constexpr std::uint64_t move_bit(
        std::uint64_t value, unsigned source_index, unsigned destination_index) {
        const std::uint64_t bit = (value >> source_index) & 1;
        return (value & ~(std::uint64_t { 1 } << source_index)) | (bit << destination_index);
    }
    static constexpr std::uint64_t delete_bit(std::uint64_t value, unsigned index) {
        return value & ~(std::uint64_t { 1 } << index);
    }
    // 1 when white is to move, 0 when black is.
    std::uint64_t to_move() const { return info & 1; }
    Bitboard occupied() const;
    // Recomputes the hash, piece_on and disjoint from pieces and info; the history stays.
    void resync();

    // --- making and unmaking moves (board.cpp) ---

    // Applies a move without testing legality. Everything it will write is decided before the
    // first write: a move that cannot be applied consistently (a pawn reaching the last rank
    // without a promotion code, an en-passant victim off the board) comes back as an Error and
    // no empty from-square is a Fault; in both cases the board is untouched.
    std::optional<Error> push_move(ChessMove chess_move);
    // Takes back the newest move; a Fault with nothing changed when there is none.
    void pop_move() {
        check(!move_stack.empty(), MISSING_VALUE);
        const MoveRecord& record = move_stack.back();
        for (unsigned i = 4; i-- > 0;)
            pieces[record.saved_index[i]] = record.saved_board[i];
        for (unsigned i = 4; i-- > 0;)
            piece_on[record.square[i]] = record.occupant[i];
        info = record.info;
        zobrist.z_key = record.z_key;
        zobrist.z_sum = record.z_sum;
        disjoint = record.disjoint;
        move_stack.pop_back();
    }

    // --- the rest of the Python surface ---

    // Colour-mirrors the position in place, clears the history and rebuilds the hash.
    void reflect();
    // Plane export of pieces; reads nothing else.
    Planes bitboard() const;
    static Planes planes_of(const std::array<Bitboard, PIECE_COUNT>& pieces);
    static Planes bitboard_from_fen(std::string_view fen);

    // The whole record: equal pieces, info, hash and history.
    friend bool operator==(const Board&, const Board&) = default;

private:
    void push_plain(PieceIndex move_type, PieceIndex capture_type, unsigned from, unsigned to);
    [[gnu::noinline]] std::optional<Error> push_general(ChessMove chess_move);
    static constexpr std::array<std::uint8_t, 64> empty_squares() {
        std::array<std::uint8_t, 64> squares {};
        squares.fill(NO_PIECE);
        return squares;
    }
};

} // namespace quarn_chess
