// Board: twelve bitboards, the info word, the incremental hash and the history of moves made.
#pragma once

#include "bits.h"
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
// restore them without a bound (writing an old value twice is harmless), and only entries 0 and 1
// unless the record is wide.
//   saved_index / saved_board   a bitboard the move changes and its old value (the moving
//                               piece's first, then the captured, castling rook's and promoted
//                               piece's, each one present)
//   square / occupant           a square whose piece_on entry the move may change, and the entry
//   info, z_key, z_sum          the info word and the hash before the move
//   disjoint                    the board's disjoint flag before the move
//   wide                        entries 2 and 3 may hold more than copies of entry 0
// A new record is left unset: making a move writes every field.
struct MoveRecord {
    std::uint64_t info;
    std::uint64_t z_key;
    std::array<Bitboard, 4> saved_board;
    std::uint16_t z_sum;
    std::array<std::uint8_t, 4> saved_index;
    std::array<std::uint8_t, 4> square;
    std::array<std::uint8_t, 4> occupant;
    std::uint8_t saved_count;
    bool disjoint;
    bool wide;

    MoveRecord() { }

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

// Room Board::write_fen needs: the longest text (64 squares, 7 slashes, " w KQkq e3") and
// eight bytes of slack it may write beyond the text (a rank is stored eight bytes at a time).
constexpr std::size_t FEN_MAX_LENGTH = 64 + 7 + 10 + 8;

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
    // The same into `board` (which may be any board; its history is dropped), for callers that
    // build the board in place. After an error or a fault `board` is left partly written.
    static std::optional<Error> read_fen(std::string_view fen, Board& board);
    // The twelve bitboards of the first field; the rest of the text is not read.
    static std::array<Bitboard, PIECE_COUNT> pieces_from_fen(std::string_view fen);
    // The text split at "/", pieces reversed, joined again with "/".
    static std::string reverse_fen(std::string_view fen);
    // Placement, side, castling and en-passant fields; no move counters.
    std::string to_fen() const;
    // The same text written to `out` (room for FEN_MAX_LENGTH bytes, no terminator; bytes
    // after the text may be overwritten); returns its length.
    std::size_t write_fen(char* out) const;

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
    // The union of the six bitboards of the side whose pieces start at `offset` (0 or 6).
    Bitboard side_mask(PieceIndex offset) const {
        return pieces[offset] | pieces[offset + 1] | pieces[offset + 2] | pieces[offset + 3]
            | pieces[offset + 4] | pieces[offset + 5];
    }
    // Recomputes the hash, piece_on and disjoint from pieces and info; the history stays.
    void resync();

    // --- making and unmaking moves (board.cpp) ---

    // Applies a move without testing legality (inline below: the common move is short). Everything
    // it will write is decided before the first write: a move that cannot be applied consistently
    // (a pawn reaching the last rank without a promotion code, an en-passant victim off the board)
    // comes back as an Error and no empty from-square is a Fault; in both cases the board is
    // untouched.
    [[gnu::always_inline]] inline std::optional<Error> push_move(ChessMove chess_move);
    // Takes back the newest move; a Fault with nothing changed when there is none.
    void pop_move() {
        check(!move_stack.empty(), MISSING_VALUE);
        const MoveRecord& record = move_stack.back();
        if (record.wide) [[unlikely]] {
            for (unsigned i = 2; i < 4; ++i) {
                pieces[record.saved_index[i]] = record.saved_board[i];
                piece_on[record.square[i]] = record.occupant[i];
            }
        }
        for (unsigned i = 0; i < 2; ++i) {
            pieces[record.saved_index[i]] = record.saved_board[i];
            piece_on[record.square[i]] = record.occupant[i];
        }
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
    static bool read_plain_fen(std::string_view fen, Board& board);
    [[gnu::always_inline]] inline void push_plain(
        PieceIndex move_type, PieceIndex capture_type, unsigned from, unsigned to);
    // Every other move: en passant, castling, promotions, a move onto an own piece or from one
    // square to itself, boards with overlapping bitboards; and the refusals and the fault.
    std::optional<Error> push_general(ChessMove chess_move);
    static constexpr std::array<std::uint8_t, 64> empty_squares() {
        std::array<std::uint8_t, 64> squares {};
        squares.fill(NO_PIECE);
        return squares;
    }
};

// The castling rights a move takes away. mover[w][p][from]: the piece p leaving `from` with
// white to move (w = 1) or black (w = 0) - the side's king takes both of its rights, its rook
// leaving a corner the right of that corner. captured[p][to]: a rook of either colour taken
// on its corner, whoever takes it (row NO_PIECE: nothing taken).
struct RightsTables {
    std::array<std::array<std::array<std::uint8_t, 64>, PIECE_COUNT>, 2> mover {};
    std::array<std::array<std::uint8_t, 64>, PIECE_COUNT + 1> captured {};
};

inline constexpr RightsTables CASTLING_RIGHTS_TAKEN = [] {
    constexpr auto K = static_cast<std::uint8_t>(1u << INFO_WHITE_KING_SIDE);
    constexpr auto Q = static_cast<std::uint8_t>(1u << INFO_WHITE_QUEEN_SIDE);
    constexpr auto k = static_cast<std::uint8_t>(1u << INFO_BLACK_KING_SIDE);
    constexpr auto q = static_cast<std::uint8_t>(1u << INFO_BLACK_QUEEN_SIDE);
    RightsTables t;
    for (unsigned s = 0; s < 64; ++s) {
        t.mover[1][KING][s] = K | Q;
        t.mover[0][BLACK_OFFSET + KING][s] = k | q;
    }
    t.mover[1][ROOK][7] = t.captured[ROOK][7] = K;
    t.mover[1][ROOK][0] = t.captured[ROOK][0] = Q;
    t.mover[0][BLACK_OFFSET + ROOK][63] = t.captured[BLACK_OFFSET + ROOK][63] = k;
    t.mover[0][BLACK_OFFSET + ROOK][56] = t.captured[BLACK_OFFSET + ROOK][56] = q;
    return t;
}();

// The common move on a disjoint board (push_move sorts it out): a piece leaves `from` for a
// different square that is empty or holds the opponent's `capture_type` (NO_PIECE: none); a pawn
// neither promotes nor takes en passant, and a king does not castle. Exactly the bits named change,
// so the hash toggles are written out and piece_on follows directly.
[[gnu::always_inline]] inline void Board::push_plain(
    PieceIndex move_type, PieceIndex capture_type, unsigned from, unsigned to) {
    const bool captures = capture_type != NO_PIECE;
    // Without a capture, entry 1 repeats the mover's board and the capture mask is empty.
    const PieceIndex second = captures ? capture_type : move_type;
    const Bitboard to_bit = square_bit(to);
    const Bitboard capture_mask = captures ? to_bit : 0;

    MoveRecord& record = move_stack.emplace_back();
    record.info = info;
    record.z_key = zobrist.z_key;
    record.z_sum = zobrist.z_sum;
    record.disjoint = true;
    record.wide = false;
    const auto mover = static_cast<std::uint8_t>(move_type);
    record.saved_index = { mover, static_cast<std::uint8_t>(second), mover, mover };
    record.saved_board
        = { pieces[move_type], pieces[second], pieces[move_type], pieces[move_type] };
    record.saved_count = static_cast<std::uint8_t>(1 + captures);
    record.square = { static_cast<std::uint8_t>(from), static_cast<std::uint8_t>(to),
        static_cast<std::uint8_t>(from), static_cast<std::uint8_t>(from) };
    record.occupant = { mover, piece_on[to], mover, mover };

    pieces[second] ^= capture_mask;
    pieces[move_type] ^= square_bit(from) | to_bit;
    piece_on[from] = NO_PIECE;
    piece_on[to] = mover;

    const auto& z64 = zobrist.z64->features;
    const auto& z16 = zobrist.z16->features;
    const std::uint64_t key_mask = captures ? ~std::uint64_t { 0 } : 0;
    const std::uint16_t sum_mask = captures ? 0xFFFF : 0;
    zobrist.z_key ^= z64[move_type * 64 + from] ^ z64[move_type * 64 + to]
        ^ (z64[second * 64 + to] & key_mask);
    zobrist.z_sum ^= static_cast<std::uint16_t>(
        z16[move_type * 64 + from] ^ z16[move_type * 64 + to] ^ (z16[second * 64 + to] & sum_mask));

    const std::uint64_t old_info = info;
    const bool white_to_move = old_info & INFO_WHITE_TO_MOVE;
    std::uint64_t next = old_info & ~INFO_EP_MASK;
    // Any pawn move two ranks forward counts, also one that changes file on the way (a text move
    // that takes two ranks up).
    if (move_type == PAWN && rank_of(to) == rank_of(from) + 2)
        next |= std::uint64_t { 1 } << (INFO_EP_BLACK_TO_MOVE + file_of(to));
    if (move_type == BLACK_OFFSET + PAWN && rank_of(from) == rank_of(to) + 2)
        next |= std::uint64_t { 1 } << (INFO_EP_WHITE_TO_MOVE + file_of(to));
    // Only a king, or a move from or onto a corner, can take a castling right away.
    constexpr Bitboard CORNERS = 0x8100000000000081;
    const bool king = move_type == KING || move_type == BLACK_OFFSET + KING;
    if ((next & INFO_CASTLING_MASK) && (king || ((square_bit(from) | to_bit) & CORNERS) != 0))
        next &= ~static_cast<std::uint64_t>(
            CASTLING_RIGHTS_TAKEN.mover[white_to_move][move_type][from]
            | CASTLING_RIGHTS_TAKEN.captured[capture_type][to]);
    next ^= INFO_WHITE_TO_MOVE;
    info = next;
    zobrist.xor_info_changes(next ^ old_info);
}

[[gnu::always_inline]] inline std::optional<Error> Board::push_move(ChessMove chess_move) {
    const unsigned from = chess_move.from();
    const unsigned to = chess_move.to();
    const PieceIndex move_type = piece_on[from];
    const PieceIndex on_to = piece_on[to];
    if (disjoint && move_type != NO_PIECE) [[likely]] {
        const bool white_piece = move_type < BLACK_OFFSET;
        const bool takes = on_to != NO_PIECE && (on_to < BLACK_OFFSET) != white_piece;
        const PieceIndex kind = white_piece ? move_type : move_type - BLACK_OFFSET;
        // Pawns that promote or take en passant, and kings that castle, are not plain.
        constexpr Bitboard LAST_RANKS = 0xFF000000000000FF;
        const unsigned file_step = file_of(from) ^ file_of(to);
        const bool special_pawn
            = kind == PAWN && ((LAST_RANKS & square_bit(to)) != 0 || (file_step != 0 && !takes));
        const bool castles
            = kind == KING && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6);
        if (from != to && (on_to == NO_PIECE || takes) && !special_pawn && !castles) [[likely]] {
            push_plain(move_type, takes ? on_to : NO_PIECE, from, to);
            return std::nullopt;
        }
    }
    return push_general(chess_move);
}

} // namespace quarn_chess
