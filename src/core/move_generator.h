// MoveGenerator: magic attack tables, the attack test, pseudo-legal and legal move lists.
#pragma once

#include "attacks.h"
#include "board.h"
#include "chess_move.h"
#include "types.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarn_chess {

// Upper bound on the pseudo-legal moves of any position a FEN text can describe, overlapping
// bitboards included: per piece kind at most |own| * |not own| <= 1024 (from, to) pairs, pawns at
// most 14 moves each, kings 8 steps each plus two castlings.
constexpr std::size_t MAX_MOVES = 4608;

// A fixed-capacity move list that lives on the caller's stack: generation never allocates.
class MoveList {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void resize(std::size_t n) { size_ = n; }
    ChessMove operator[](std::size_t i) const { return storage_.moves[i]; }
    ChessMove& operator[](std::size_t i) { return storage_.moves[i]; }
    const ChessMove* begin() const { return storage_.moves; }
    const ChessMove* end() const { return storage_.moves + size_; }
    ChessMove* begin() { return storage_.moves; }
    ChessMove* end() { return storage_.moves + size_; }

private:
    // Left uninitialised (9 KiB per list): only the first size_ entries are ever read. The slot
    // beyond MAX_MOVES lets generation write a candidate past the last kept move before deciding
    // whether to keep it.
    union Storage {
        Storage() { }
        ChessMove moves[MAX_MOVES + 1];
    };
    std::size_t size_ = 0;
    Storage storage_;
};

class MoveGenerator {
public:
    // Builds the 128 attack tables (entry 2 * s rook, 2 * s + 1 bishop, for square s).
    MoveGenerator();

    // Legal moves of the side to move, in generation order: exactly the list of
    // reference_moves. A position with one king of the side to move and disjoint bitboards (every
    // position play reaches) is decided without playing the candidates: checkers and pinned
    // pieces are found once and each candidate is tested against them; only en-passant captures
    // are made and taken back. Every other position takes the reference path. The board may be
    // changed while the call runs and is restored before it returns, also when a fault leaves.
    void moves(Board& board, MoveList& out) const;

    // The number of legal moves, moves(board).size(), counted without writing the list where
    // the fast path applies.
    std::size_t count_moves(Board& board) const;

    // The reference filter: every pseudo-legal candidate is made, the mover's king tested with
    // phantom_check, and the move taken back; the survivors keep their order.
    void reference_moves(Board& board, MoveList& out) const;

    // Pseudo-legal moves: king steps, castling, knights, pawns, rook-kind, bishop-kind.
    void pseudo_moves(const Board& board, MoveList& out) const;

    // Whether a piece of the side opposite to `to_move` (1 white, otherwise black) attacks
    // `square`. A square above 63 is a fault.
    bool square_in_check(const Board& board, unsigned square, std::uint64_t to_move) const;

    // The same test with the attacker's first piece index (0 white, 6 black) and the occupancy
    // that blocks the sliders given directly; square < 64 is the caller's business.
    bool attacked_by(
        const Board& board, PieceIndex attacker_offset, unsigned square, Bitboard occupancy) const {
        const auto& pieces = board.pieces;
        if (KNIGHT_ATTACKS[square] & pieces[attacker_offset + KNIGHT])
            return true;
        // Black pawns attack from s + 7 / s + 9: the squares a white pawn on s would attack.
        if (PAWN_ATTACKS[attacker_offset == BLACK_OFFSET ? 0 : 1][square]
            & pieces[attacker_offset + PAWN])
            return true;
        const Bitboard queens = pieces[attacker_offset + QUEEN];
        if (slider_attacks(ROOK_IDX, square, occupancy) & (queens | pieces[attacker_offset + ROOK]))
            return true;
        if (slider_attacks(BISHOP_IDX, square, occupancy)
            & (queens | pieces[attacker_offset + BISHOP]))
            return true;
        return (KING_ATTACKS[square] & pieces[attacker_offset + KING]) != 0;
    }

    // Whether the side that just moved has left its king attacked. A side without a king is
    // never in check.
    bool phantom_check(const Board& board) const;

    // Squares attacked by a rook (ROOK_IDX) or bishop (BISHOP_IDX) on `square` < 64 for the
    // given occupancy: one AND, one multiplication, one shift, one load.
    Bitboard slider_attacks(unsigned idx_offset, unsigned square, Bitboard occupancy) const {
        return sliding_moves.attacks(idx_offset, square, occupancy);
    }

    SlidingMoves sliding_moves;

    // The legality test of one candidate: make, attack test on the mover's king, unmake.
    bool leaves_king_safe(Board& board, ChessMove chess_move) const;
};

// Number of leaf nodes `depth` plies below the board's position (1 at depth 0). With
// `bulk_count` the last ply counts legal moves instead of making them. The board is restored.
std::uint64_t perft(
    const MoveGenerator& generator, Board& board, unsigned depth, bool bulk_count = true);

} // namespace quarn_chess
