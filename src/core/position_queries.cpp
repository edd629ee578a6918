// Check, mate, stalemate, insufficient material and outcome, on the process-wide generator.
#include "position_queries.h"

#include "bits.h"

namespace quarn_chess {

namespace {

    constexpr Bitboard DARK_SQUARES = 0xAA55AA55AA55AA55;

    // One side of python-chess's insufficient-material rule; `own` and `other` are the two sides'
    // unions, the rest are both colours together.
    bool side_cannot_mate(const Board& board, Bitboard own, Bitboard other) {
        const auto& p = board.pieces;
        const Bitboard pawns = p[PAWN] | p[BLACK_OFFSET + PAWN];
        const Bitboard knights = p[KNIGHT] | p[BLACK_OFFSET + KNIGHT];
        const Bitboard bishops = p[BISHOP] | p[BLACK_OFFSET + BISHOP];
        const Bitboard rooks = p[ROOK] | p[BLACK_OFFSET + ROOK];
        const Bitboard queens = p[QUEEN] | p[BLACK_OFFSET + QUEEN];
        const Bitboard kings = p[KING] | p[BLACK_OFFSET + KING];
        if (own & (pawns | rooks | queens))
            return false;
        if (own & knights)
            return popcount(own) <= 2 && !(other & ~kings & ~queens);
        if (own & bishops) {
            const bool same_colour = !(bishops & DARK_SQUARES) || !(bishops & ~DARK_SQUARES);
            return same_colour && !pawns && !knights;
        }
        return true;
    }

} // namespace

const MoveGenerator& shared_generator() {
    static const MoveGenerator generator;
    return generator;
}

std::optional<unsigned> mover_king(const Board& board) {
    const Bitboard kings = board.pieces[(board.to_move() ? WHITE_OFFSET : BLACK_OFFSET) + KING];
    if (kings == 0)
        return std::nullopt;
    return lsb(kings);
}

bool is_check(const MoveGenerator& generator, const Board& board) {
    const std::optional<unsigned> king = mover_king(board);
    if (!king)
        return false;
    const PieceIndex attacker = board.to_move() ? BLACK_OFFSET : WHITE_OFFSET;
    return generator.attacked_by(board, attacker, *king, board.occupied());
}

std::size_t legal_move_count(const MoveGenerator& generator, Board& board) {
    return generator.count_moves(board);
}

bool is_checkmate(const MoveGenerator& generator, Board& board) {
    return is_check(generator, board) && generator.count_moves(board) == 0;
}

bool is_stalemate(const MoveGenerator& generator, Board& board) {
    return !is_check(generator, board) && generator.count_moves(board) == 0;
}

bool is_insufficient_material(const Board& board) {
    const Bitboard white = board.side_mask(WHITE_OFFSET);
    const Bitboard black = board.side_mask(BLACK_OFFSET);
    return side_cannot_mate(board, white, black) && side_cannot_mate(board, black, white);
}

std::optional<Outcome> outcome(const MoveGenerator& generator, Board& board) {
    const bool no_moves = generator.count_moves(board) == 0;
    if (no_moves && is_check(generator, board))
        return Outcome { Termination::CHECKMATE, static_cast<std::int8_t>(board.to_move() ^ 1) };
    if (is_insufficient_material(board))
        return Outcome { Termination::INSUFFICIENT_MATERIAL, -1 };
    if (no_moves)
        return Outcome { Termination::STALEMATE, -1 };
    return std::nullopt;
}

std::optional<ChessMove> find_legal_move(
    const MoveGenerator& generator, Board& board, ChessMove wanted) {
    const auto promotion = [](ChessMove m) {
        const unsigned code = m.special();
        return code >= ChessMove::PROMOTE_KNIGHT && code <= ChessMove::PROMOTE_QUEEN ? code : 0;
    };
    MoveList legal;
    generator.moves(board, legal);
    for (const ChessMove m : legal)
        if (m.from() == wanted.from() && m.to() == wanted.to() && promotion(m) == promotion(wanted))
            return m;
    return std::nullopt;
}

} // namespace quarn_chess
