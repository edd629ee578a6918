// Board: twelve bitboards, the info word, the incremental hash and the history of moves made.
#pragma once

#include "chess_move.h"
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

// One per move made and not yet taken back. Bit i of `moved` (i = 0..11) is set when the move
// saved the old value of bitboard i on pieces_stacks[i]; bits 12..15 are 0.
struct MoveRecord {
    std::uint64_t info = 0;
    std::uint16_t moved = 0;

    friend bool operator==(const MoveRecord&, const MoveRecord&) = default;
};

// The 12 x 64 truth values of the plane export, plane-major: entry p * 64 + s is bit s of
// pieces[p].
using Planes = std::array<std::uint8_t, PIECE_COUNT * 64>;

struct Board {
    std::array<Bitboard, PIECE_COUNT> pieces {};
    std::uint64_t info = 0;
    ZobristBoardComponent zobrist;
    std::array<std::vector<std::uint64_t>, PIECE_COUNT> pieces_stacks;
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
    Bitboard side_mask(PieceIndex offset) const;

    // --- making and unmaking moves (board.cpp) ---

    // Applies a move without testing legality. Everything it will write is decided before the
    // first write: a move that cannot be applied consistently (a pawn reaching the last rank
    // without a promotion code, an en-passant victim off the board) comes back as an Error and
    // no empty from-square is a Fault; in both cases the board is untouched.
    std::optional<Error> push_move(ChessMove chess_move);
    // Takes back the newest move; a Fault with nothing changed when there is none.
    void pop_move();
    // Toggles the hash for every info bit that differs from `other_info` and every bit of the
    // bitboards named in `moved` that differs from the top of its history stack.
    void toggle_changes(std::uint64_t other_info, std::uint16_t moved);

    // --- the rest of the Python surface ---

    // Colour-mirrors the position in place, clears the history and rebuilds the hash.
    void reflect();
    // Plane export of pieces; reads nothing else.
    Planes bitboard() const;
    static Planes planes_of(const std::array<Bitboard, PIECE_COUNT>& pieces);
    static Planes bitboard_from_fen(std::string_view fen);

    // The whole record: equal pieces, info, hash and history.
    friend bool operator==(const Board&, const Board&) = default;
};

} // namespace quarn_chess
