// Board: twelve bitboards, the info word, the incremental hash and the history of moves made.
#pragma once

#include "bits.h"
#include "chess_move.h"
#include "fault.h"
#include "result.h"
#include "types.h"
#include "zobrist.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quarn_chess {

// One per move made and not yet taken back. Two shapes:
// - narrow (wide == 0), the common move on a disjoint board: a piece leaves square[0] for the
//   empty or enemy-held square[1]; occupant[0] is the mover, occupant[1] the piece taken
//   (NO_PIECE: none), saved_board[0] the bits of both squares. Taking it back toggles the same
//   bits again. Nothing else is set.
// - wide (wide == 1), every other move: everything the move changed, saved before the first
//   write, so taking it back is a handful of stores in any order. Entries 0..saved_count-1 of
//   saved_index / saved_board are real (the moving piece's board first, then the captured,
//   castling rook's and promoted piece's, each one present); the rest repeat entry 0, which lets
//   pop_move restore them without a bound (writing an old value twice is harmless). square /
//   occupant: the squares whose piece_on entry the move may change (unused ones repeat
//   square[0]) and their old entries; disjoint: the board's flag before the move.
// Both: z_key, z_sum and info as they were before the move (pair_rest is zero, as on the board).
// A new record is left unset: making a move writes every field its shape uses, and comparing
// reads no other.
struct alignas(16) MoveRecord {
    std::uint64_t z_key;
    std::uint16_t z_sum;
    std::array<std::uint16_t, 3> pair_rest;
    std::uint64_t info;
    std::uint8_t wide;
    std::array<std::uint8_t, 4> square;
    std::array<std::uint8_t, 4> occupant;
    std::array<std::uint8_t, 4> saved_index;
    std::uint8_t saved_count;
    std::uint8_t disjoint;
    std::array<Bitboard, 4> saved_board;

    MoveRecord() { }

    // The hash before the move as one pair (see ZobristPair).
    ZobristPair pair() const {
        ZobristPair value;
        std::memcpy(&value, this, sizeof value);
        return value;
    }
    void set_pair(ZobristPair value) {
        std::memcpy(static_cast<void*>(this), &value, sizeof value);
    }

    // Bit i set when the move changed bitboard i.
    std::uint16_t moved() const {
        if (!wide)
            return static_cast<std::uint16_t>(
                (1u << occupant[0]) | (occupant[1] < PIECE_COUNT ? 1u << occupant[1] : 0));
        std::uint16_t mask = 0;
        for (unsigned i = 0; i < saved_count; ++i)
            mask |= static_cast<std::uint16_t>(1u << saved_index[i]);
        return mask;
    }
    // The squares whose piece_on entry the move may have changed.
    Bitboard touched() const {
        Bitboard mask = 0;
        for (unsigned i = 0; i < (wide ? 4u : 2u); ++i)
            mask |= Bitboard { 1 } << square[i];
        return mask;
    }

    // The same move from the same position: equal shape and equal fields of that shape.
    friend bool operator==(const MoveRecord& a, const MoveRecord& b) {
        if (a.z_key != b.z_key || a.z_sum != b.z_sum || a.info != b.info || a.wide != b.wide)
            return false;
        if (!a.wide)
            return a.square[0] == b.square[0] && a.square[1] == b.square[1]
                && a.occupant[0] == b.occupant[0] && a.occupant[1] == b.occupant[1];
        return a.square == b.square && a.occupant == b.occupant && a.saved_index == b.saved_index
            && a.saved_count == b.saved_count && a.disjoint == b.disjoint
            && a.saved_board == b.saved_board;
    }
};

// The pair sits at the start of a 16-byte aligned record, so reading or writing it never spans
// two cache lines (which stalls the read that follows a write); History's storage from plain
// operator new is aligned to 16.
static_assert(offsetof(MoveRecord, z_key) == 0 && offsetof(MoveRecord, z_sum) == 8
    && offsetof(MoveRecord, info) == 16);
static_assert(std::is_trivially_copyable_v<MoveRecord>);
static_assert(alignof(MoveRecord) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

// The moves made and not yet taken back, oldest first: a growable array like std::vector, except
// that room for the next record is made separately (make_room, before a move is worked out) and
// push then only takes it, so the hot path of making a move holds no call. Copies copy the
// records in use only; equality compares them.
class History {
public:
    History() = default;
    History(const History& other) { assign(other); }
    History(History&& other) noexcept
        : begin_(std::exchange(other.begin_, nullptr))
        , end_(std::exchange(other.end_, nullptr))
        , capacity_end_(std::exchange(other.capacity_end_, nullptr)) { }
    History& operator=(const History& other) {
        if (this != &other)
            assign(other);
        return *this;
    }
    History& operator=(History&& other) noexcept {
        if (this != &other) {
            release();
            begin_ = std::exchange(other.begin_, nullptr);
            end_ = std::exchange(other.end_, nullptr);
            capacity_end_ = std::exchange(other.capacity_end_, nullptr);
        }
        return *this;
    }
    ~History() { release(); }

    std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
    bool empty() const { return end_ == begin_; }
    const MoveRecord& operator[](std::size_t i) const { return begin_[i]; }
    const MoveRecord& back() const { return end_[-1]; }
    const MoveRecord* begin() const { return begin_; }
    const MoveRecord* end() const { return end_; }

    // Room for one more record; the records in use stay where they are unless it grows.
    [[gnu::always_inline]] void make_room() {
        if (end_ == capacity_end_) [[unlikely]]
            grow();
    }
    // The new last record, unset. make_room must have been called since the last push.
    [[gnu::always_inline]] MoveRecord& push() { return *end_++; }
    // make_room and push.
    MoveRecord& emplace_back() {
        make_room();
        return push();
    }
    void pop_back() { --end_; }
    // Drops every record and frees the storage.
    void clear() {
        release();
        begin_ = end_ = capacity_end_ = nullptr;
    }

    friend bool operator==(const History& a, const History& b) {
        return a.size() == b.size() && std::equal(a.begin_, a.end_, b.begin_);
    }

private:
    void assign(const History& other);
    void grow();
    void release() { ::operator delete(begin_); }

    MoveRecord* begin_ = nullptr;
    MoveRecord* end_ = nullptr;
    MoveRecord* capacity_end_ = nullptr;
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
    History move_stack;

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
    [[gnu::always_inline]] void pop_move() {
        check(!move_stack.empty(), MISSING_VALUE);
        const MoveRecord& record = move_stack.back();
        if (record.wide) [[unlikely]] {
            pop_wide();
            return;
        }
        const unsigned from = record.square[0];
        const unsigned to = record.square[1];
        const PieceIndex mover = record.occupant[0];
        const PieceIndex taken = record.occupant[1];
        pieces[mover] ^= record.saved_board[0];
        if (taken != NO_PIECE)
            pieces[taken] ^= square_bit(to);
        piece_on[from] = static_cast<std::uint8_t>(mover);
        piece_on[to] = static_cast<std::uint8_t>(taken);
        info = record.info;
        zobrist.set_pair(record.pair());
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
    // pop_move for a wide record.
    void pop_wide();
    template <unsigned Kind>
    [[gnu::always_inline]] inline void push_plain(std::size_t move_type, std::size_t taken,
        std::size_t from, std::size_t to, unsigned move_class);
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

// What push_move needs to know of a mover m and the occupant o of its target square (NO_PIECE
// for either: none), MOVE_CLASS[m * 16 + o]: PLAIN_TARGET when m is a piece and o is empty or the
// other side's, with TAKES when o is a piece; PAWN_MOVES or KING_MOVES when m is a pawn or a king
// (whose moves may still not be plain). Zero: not a plain move.
inline constexpr std::uint8_t PLAIN_TARGET = 1;
inline constexpr std::uint8_t TAKES = 2;
inline constexpr std::uint8_t PAWN_MOVES = 4;
inline constexpr std::uint8_t KING_MOVES = 8;
inline constexpr std::array<std::uint8_t, 16 * 16> MOVE_CLASS = [] {
    std::array<std::uint8_t, 16 * 16> table {};
    for (unsigned m = 0; m < PIECE_COUNT; ++m)
        for (unsigned o = 0; o <= PIECE_COUNT; ++o) {
            const bool takes = o < PIECE_COUNT && (o < BLACK_OFFSET) != (m < BLACK_OFFSET);
            if (o < PIECE_COUNT && !takes)
                continue;
            std::uint8_t c = PLAIN_TARGET | (takes ? TAKES : 0);
            if (m % BLACK_OFFSET == PAWN)
                c |= PAWN_MOVES;
            if (m % BLACK_OFFSET == KING)
                c |= KING_MOVES;
            table[m * 16 + o] = c;
        }
    return table;
}();

// The common move on a disjoint board (push_move sorts it out): a piece leaves `from` for a
// different square that is empty or holds the opponent's `taken` (NO_PIECE: none); a pawn
// neither promotes nor takes en passant, and a king does not castle. `move_class` is the entry of
// MOVE_CLASS. Exactly the bits named change, so the record is narrow, the hash toggles are written
// out and piece_on follows directly.
template <unsigned Kind>
[[gnu::always_inline]] inline void Board::push_plain(std::size_t move_type, std::size_t taken,
    std::size_t from, std::size_t to, unsigned move_class) {
    const Bitboard from_bit = square_bit(from);
    const Bitboard to_bit = square_bit(to);

    MoveRecord& record = move_stack.push();
    const ZobristPair hash = zobrist.pair();
    const std::uint64_t old_info = info;
    record.set_pair(hash);
    record.info = old_info;
    record.wide = 0;
    record.square[0] = static_cast<std::uint8_t>(from);
    record.square[1] = static_cast<std::uint8_t>(to);
    record.occupant[0] = static_cast<std::uint8_t>(move_type);
    record.occupant[1] = static_cast<std::uint8_t>(taken);
    record.saved_board[0] = from_bit | to_bit;

    pieces[move_type] ^= from_bit | to_bit;
    if (move_class & TAKES)
        pieces[taken] ^= to_bit;
    piece_on[from] = NO_PIECE;
    piece_on[to] = static_cast<std::uint8_t>(move_type);

    std::uint64_t next = (old_info & ~INFO_EP_MASK) ^ INFO_WHITE_TO_MOVE;
    // Any pawn move two ranks forward counts, also one that changes file on the way (a text move
    // that takes two ranks up).
    if (Kind == PAWN_MOVES) {
        // Two ranks up for a white pawn, down for a black one (the mover is one of the two).
        const bool white = move_type == PAWN;
        const unsigned rank_step = static_cast<unsigned>(rank_of(to) - rank_of(from));
        if (rank_step == (white ? 2u : -2u))
            next |= std::uint64_t { 1 }
                << ((white ? INFO_EP_BLACK_TO_MOVE : INFO_EP_WHITE_TO_MOVE) + file_of(to));
    }
    // Only a king, or a move from or onto a corner, can take a castling right away.
    constexpr Bitboard CORNERS = 0x8100000000000081;
    if ((next & INFO_CASTLING_MASK) && (Kind == KING_MOVES || ((from_bit | to_bit) & CORNERS) != 0))
        next &= ~static_cast<std::uint64_t>(
            CASTLING_RIGHTS_TAKEN.mover[old_info & INFO_WHITE_TO_MOVE][move_type][from]
            | CASTLING_RIGHTS_TAKEN.captured[taken][to]);
    info = next;

    // Row NO_PIECE of the table is zero: no capture, no toggle. Mostly only the side to move
    // changes; otherwise only info bits 0..20 do.
    const ZobristPairTables& z = ZOBRIST_PAIRS;
    const ZobristPairEntry* mover_row = &z.piece[move_type * 64];
    ZobristPair toggles = ZobristPairTables::load(mover_row[from])
        ^ ZobristPairTables::load(mover_row[to]) ^ z.piece_on(taken, to) ^ z.side_to_move();
    if (const std::uint64_t changes = (next ^ old_info) ^ INFO_WHITE_TO_MOVE) [[unlikely]]
        toggles ^= z.info_changes(changes);
    zobrist.set_pair(hash ^ toggles);
}

[[gnu::always_inline]] inline std::optional<Error> Board::push_move(ChessMove chess_move) {
    move_stack.make_room();
    const std::size_t data = chess_move.data;
    const std::size_t from = data & 63;
    const std::size_t to = (data >> 6) & 63;
    const std::size_t move_type = piece_on[from];
    const std::size_t on_to = piece_on[to];
    const unsigned move_class = MOVE_CLASS[move_type * 16 + on_to];
    if (disjoint && move_class) [[likely]] {
        // Pawns that promote or take en passant, and kings that castle (from the e-file to the c-
        // or g-file), are not plain.
        if (!(move_class & (PAWN_MOVES | KING_MOVES))) [[likely]] {
            push_plain<0>(move_type, on_to, from, to, move_class);
            return std::nullopt;
        }
        if (move_class & PAWN_MOVES) {
            // Not onto rank 1 or 8 (squares 8..55 are the others).
            if (to - 8 < 48 && (((from ^ to) & 7) == 0 || (move_class & TAKES))) [[likely]] {
                push_plain<PAWN_MOVES>(move_type, on_to, from, to, move_class);
                return std::nullopt;
            }
        } else if (file_of(from) != 4 || (to & 3) != 2) [[likely]] {
            push_plain<KING_MOVES>(move_type, on_to, from, to, move_class);
            return std::nullopt;
        }
    }
    return push_general(chess_move);
}

} // namespace quarn_chess
