// Pseudo-legal generation, the make/unmake legality filter and perft.
#include "move_generator.h"

#include "attacks.h"
#include "bits.h"
#include "fault.h"

#include <optional>
#include <string>

namespace quarn_chess {

namespace {

    // The castling words e1g1, e1c1, e8g8, e8c8.
    constexpr ChessMove WHITE_KING_SIDE_CASTLE { 0x3184 };
    constexpr ChessMove WHITE_QUEEN_SIDE_CASTLE { 0x3084 };
    constexpr ChessMove BLACK_KING_SIDE_CASTLE { 0x3FBC };
    constexpr ChessMove BLACK_QUEEN_SIDE_CASTLE { 0x3EBC };

    constexpr bool occupies(Bitboard b, unsigned square) { return (b & square_bit(square)) != 0; }

    // The one-step moves of every piece in `bitboard`, pieces ascending and each piece's steps in
    // the order of its direction table; a step onto an own piece is dropped, one onto an enemy
    // piece is a capture. Kings and knights share it.
    void get_k_moves(Bitboard bitboard, Bitboard self_mask, const std::array<StepList, 64>& steps,
        MoveList& out) {
        while (bitboard) {
            const unsigned from = pop_lsb(bitboard);
            const StepList& list = steps[from];
            for (unsigned i = 0; i < list.count; ++i)
                if (!occupies(self_mask, list.to[i]))
                    out.push_back(ChessMove::packed(from, list.to[i]));
        }
    }

    // Whether one castling move is allowed once the king's own square is known to be safe: the
    // two squares next to the king must be empty and unattacked, and on the queen side b1 / b8
    // must be empty as well (the king never crosses it, so its attack does not matter).
    bool can_castle(const MoveGenerator& generator, const Board& board,
        const std::array<unsigned, 2>& squares, Bitboard blockers,
        std::optional<unsigned> queen_side, std::uint64_t to_move) {
        if (occupies(blockers, squares[0]) || occupies(blockers, squares[1]))
            return false;
        if (queen_side && occupies(blockers, *queen_side))
            return false;
        return !generator.square_in_check(board, squares[0], to_move)
            && !generator.square_in_check(board, squares[1], to_move);
    }

    // King steps, then king-side and queen-side castling. Castling needs a king on its home
    // square, that square unattacked and the rights bit; whether the rook is there is not
    // examined.
    template <bool White>
    void king_moves(const MoveGenerator& generator, const Board& board, Bitboard self_mask,
        Bitboard opp_mask, MoveList& out) {
        constexpr PieceIndex self_offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        constexpr std::uint64_t to_move = White ? 1 : 0;
        constexpr unsigned home = White ? 4 : 60;
        constexpr unsigned king_side_right = White ? INFO_WHITE_KING_SIDE : INFO_BLACK_KING_SIDE;
        constexpr unsigned queen_side_right = White ? INFO_WHITE_QUEEN_SIDE : INFO_BLACK_QUEEN_SIDE;

        const Bitboard kings = board.pieces[self_offset + KING];
        get_k_moves(kings, self_mask, KING_STEPS, out);

        const bool king_side = (board.info >> king_side_right) & 1;
        const bool queen_side = (board.info >> queen_side_right) & 1;
        if (!occupies(kings, home) || !(king_side || queen_side)
            || generator.square_in_check(board, home, to_move))
            return;
        const Bitboard blockers = self_mask | opp_mask;
        if (king_side
            && can_castle(
                generator, board, { home + 1, home + 2 }, blockers, std::nullopt, to_move))
            out.push_back(White ? WHITE_KING_SIDE_CASTLE : BLACK_KING_SIDE_CASTLE);
        if (queen_side
            && can_castle(generator, board, { home - 2, home - 1 }, blockers, home - 3, to_move))
            out.push_back(White ? WHITE_QUEEN_SIDE_CASTLE : BLACK_QUEEN_SIDE_CASTLE);
    }

    void push_promotions(unsigned from, unsigned to, MoveList& out) {
        for (unsigned special = ChessMove::PROMOTE_KNIGHT; special <= ChessMove::PROMOTE_QUEEN;
             ++special)
            out.push_back(ChessMove::packed(from, to, special));
    }

    // Per pawn, ascending: the capture toward 7 * direction (four promotions on the last step,
    // then en passant when the info word allows it on that file), the same toward 9 * direction,
    // the single step (or its four promotions), then the double step. En passant trusts the info
    // word: neither the target nor the victim is looked at.
    template <bool White>
    void pawn_moves(const Board& board, Bitboard self_mask, Bitboard opp_mask, MoveList& out) {
        constexpr PieceIndex offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        constexpr int direction = White ? 1 : -1;
        constexpr std::array<std::int16_t, 2> capture_jumps
            = { static_cast<std::int16_t>(7 * direction),
                  static_cast<std::int16_t>(9 * direction) };
        constexpr unsigned start_rank = White ? 1 : 6;
        constexpr unsigned end_rank = White ? 6 : 1;
        constexpr unsigned enpass_rank = White ? 4 : 3;
        constexpr unsigned enpass_offset = White ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;

        // The two sides never share a square, so this is their union.
        const Bitboard occupied = self_mask ^ opp_mask;
        const std::uint64_t en_passant_files = board.info >> enpass_offset;
        Bitboard pawns = board.pieces[offset + PAWN];
        while (pawns) {
            const unsigned from = pop_lsb(pawns);
            const unsigned rank = rank_of(from);
            for (const std::int16_t jump : capture_jumps) {
                if (!validate_move(static_cast<std::uint16_t>(from), jump, 1))
                    continue;
                const unsigned to = from + jump;
                if (occupies(opp_mask, to)) {
                    if (rank == end_rank)
                        push_promotions(from, to, out);
                    else
                        out.push_back(ChessMove::packed(from, to));
                }
                if (rank == enpass_rank && ((en_passant_files >> file_of(to)) & 1))
                    out.push_back(ChessMove::packed(from, to, ChessMove::EN_PASSANT));
            }

            const unsigned to = static_cast<std::uint16_t>(from + 8 * direction);
            if (to > 63 || occupies(occupied, to))
                continue;
            if (rank == end_rank) {
                push_promotions(from, to, out);
                continue;
            }
            out.push_back(ChessMove::packed(from, to));
            if (rank == start_rank) {
                const unsigned to_jump = from + 16 * direction;
                if (!occupies(occupied, to_jump))
                    out.push_back(ChessMove::packed(from, to_jump, ChessMove::DOUBLE_STEP));
            }
        }
    }

    // The side's queens together with its rooks (piece_type ROOK) or its bishops (BISHOP),
    // pieces ascending, each piece's targets ascending, captures and quiet moves interleaved.
    void magic_moves(const MoveGenerator& generator, const Board& board, PieceIndex offset,
        Bitboard self_mask, Bitboard opp_mask, PieceIndex piece_type, MoveList& out) {
        const unsigned idx_offset = piece_type == ROOK ? ROOK_IDX : BISHOP_IDX;
        const Bitboard occupancy = self_mask | opp_mask;
        Bitboard piece_mask = board.pieces[offset + QUEEN] | board.pieces[offset + piece_type];
        while (piece_mask) {
            const unsigned from = pop_lsb(piece_mask);
            Bitboard targets = generator.slider_attacks(idx_offset, from, occupancy) & ~self_mask;
            while (targets)
                out.push_back(ChessMove::packed(from, pop_lsb(targets)));
        }
    }

    template <bool White>
    void generate_pseudo_moves(const MoveGenerator& generator, const Board& board, MoveList& out) {
        constexpr PieceIndex self_offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        constexpr PieceIndex opp_offset = White ? BLACK_OFFSET : WHITE_OFFSET;
        const Bitboard self_mask = board.side_mask(self_offset);
        const Bitboard opp_mask = board.side_mask(opp_offset);

        king_moves<White>(generator, board, self_mask, opp_mask, out);
        get_k_moves(board.pieces[self_offset + KNIGHT], self_mask, KNIGHT_STEPS, out);
        pawn_moves<White>(board, self_mask, opp_mask, out);
        magic_moves(generator, board, self_offset, self_mask, opp_mask, ROOK, out);
        magic_moves(generator, board, self_offset, self_mask, opp_mask, BISHOP, out);
    }

} // namespace

void MoveGenerator::pseudo_moves(const Board& board, MoveList& out) const {
    out.clear();
    if (board.to_move())
        generate_pseudo_moves<true>(*this, board, out);
    else
        generate_pseudo_moves<false>(*this, board, out);
}

bool MoveGenerator::phantom_check(const Board& board) const {
    // Right after a move the side to move has flipped: the mover is the other side.
    const std::uint64_t to_move = board.to_move();
    const Bitboard kings = board.pieces[(to_move ? BLACK_OFFSET : WHITE_OFFSET) + KING];
    if (kings == 0)
        return false;
    return square_in_check(board, lsb(kings), to_move ^ 1);
}

// Makes the move, asks whether the mover's king is attacked, takes the move back. The board is
// restored before any fault leaves; a generated move that push_move refuses is a fault.
bool MoveGenerator::leaves_king_safe(Board& board, ChessMove chess_move) const {
    if (const std::optional<Error> error = board.push_move(chess_move))
        fault("generated move " + chess_move.to_string() + " refused: " + error->message);
    bool in_check = false;
    try {
        in_check = phantom_check(board);
    } catch (...) {
        board.pop_move();
        throw;
    }
    board.pop_move();
    return !in_check;
}

void MoveGenerator::moves(Board& board, MoveList& out) const {
    pseudo_moves(board, out);
    // A side without a king cannot be in check: every pseudo-legal move is legal.
    if (board.pieces[(board.to_move() ? WHITE_OFFSET : BLACK_OFFSET) + KING] == 0)
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const ChessMove candidate = out[i];
        if (leaves_king_safe(board, candidate))
            out[kept++] = candidate;
    }
    out.resize(kept);
}

std::uint64_t perft(const MoveGenerator& generator, Board& board, unsigned depth, bool bulk_count) {
    if (depth == 0)
        return 1;
    MoveList list;
    generator.moves(board, list);
    if (bulk_count && depth == 1)
        return list.size();
    std::uint64_t nodes = 0;
    for (const ChessMove chess_move : list) {
        if (const std::optional<Error> error = board.push_move(chess_move))
            fault("generated move " + chess_move.to_string() + " refused: " + error->message);
        try {
            nodes += perft(generator, board, depth - 1, bulk_count);
        } catch (...) {
            board.pop_move();
            throw;
        }
        board.pop_move();
    }
    return nodes;
}

} // namespace quarn_chess
