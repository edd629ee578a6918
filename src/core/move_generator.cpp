// Pseudo-legal generation, the legality filters (reference and fast) and perft.
#include "move_generator.h"

#include "attacks.h"
#include "bits.h"
#include "fault.h"
#include "lines.h"

#include <optional>
#include <string>

namespace quarn_chess {

namespace {

    // The castling words e1g1, e1c1, e8g8, e8c8.
    constexpr ChessMove WHITE_KING_SIDE_CASTLE { 0x3184 };
    constexpr ChessMove WHITE_QUEEN_SIDE_CASTLE { 0x3084 };
    constexpr ChessMove BLACK_KING_SIDE_CASTLE { 0x3FBC };
    constexpr ChessMove BLACK_QUEEN_SIDE_CASTLE { 0x3EBC };

    constexpr Bitboard ALL_SQUARES = ~Bitboard { 0 };

    constexpr bool occupies(Bitboard b, unsigned square) { return (b & square_bit(square)) != 0; }

    // What generation keeps. The pseudo-legal list keeps every candidate; Legal (below) keeps
    // only the moves that do not leave the king attacked. Generation asks the filter at four
    // points, so the order of the kept moves is the pseudo-legal order in both cases.
    struct KeepAll {
        // Where the piece on `from` may land (on top of the rules of its kind): `targets` for
        // every piece outside `pinned`.
        static constexpr Bitboard allowed(unsigned /* from */) { return ALL_SQUARES; }
        static constexpr Bitboard targets() { return ALL_SQUARES; }
        static constexpr Bitboard pinned() { return 0; }
        static constexpr Bitboard safe_king_steps(Bitboard steps) { return steps; }
        static constexpr bool en_passant_safe(ChessMove /* chess_move */) { return true; }
        // Whether castling is blocked by an attack on the king's home square (the king stands
        // there). Castling that passes this and the path tests is kept.
        static bool home_attacked(const MoveGenerator& generator, const Board& board, unsigned home,
            std::uint64_t to_move) {
            return generator.square_in_check(board, home, to_move);
        }
    };

    // The legality test without making the move, for a position with exactly one king of the side
    // to move and pairwise disjoint bitboards. After such a move (from, to) the mover's king is
    // attacked exactly when:
    // - the king moved: `to` is attacked with the king taken off the occupancy (the piece taken on
    //   `to` and the occupancy of `to` itself never change whether `to` is attacked);
    // - another piece moved: some checker survives (it is neither taken on `to` nor, being a
    //   slider, blocked by `to` landing between it and the king), or the piece shielded the king
    //   as the only piece between it and an enemy slider and `to` is neither between them nor
    //   the slider's square. Only sliders depend on the occupancy, and the occupancy changes only
    //   on `from` and `to`.
    // Castling that generation lets through is legal: the king's path was tested unattacked on
    // the board before the move, and the squares the move empties (the king's home, the rook's
    // corner) open no line to the king's new square that was not already open to the home square
    // or shut by the rook on its new square. En-passant captures (code 1) remove a piece beside
    // the path and may land anywhere the info word says, so they are made and taken back.
    class Legal {
    public:
        [[gnu::always_inline]] Legal(const MoveGenerator& generator, Board& board, bool white,
            Bitboard self_mask, Bitboard opp_mask)
            : generator_(generator)
            , board_(board) {
            const PieceIndex self = white ? WHITE_OFFSET : BLACK_OFFSET;
            opp_offset_ = white ? BLACK_OFFSET : WHITE_OFFSET;
            const auto& pieces = board.pieces;
            king_ = lsb(pieces[self + KING]);
            const Bitboard occupancy = self_mask | opp_mask;
            occupancy_without_king_ = occupancy & ~square_bit(king_);

            checkers_ = (KNIGHT_ATTACKS[king_] & pieces[opp_offset_ + KNIGHT])
                | (PAWN_ATTACKS[white ? 0 : 1][king_] & pieces[opp_offset_ + PAWN])
                | (KING_ATTACKS[king_] & pieces[opp_offset_ + KING]);
            const Bitboard queens = pieces[opp_offset_ + QUEEN];
            Bitboard snipers = (LINES[ROOK_IDX][king_] & (queens | pieces[opp_offset_ + ROOK]))
                | (LINES[BISHOP_IDX][king_] & (queens | pieces[opp_offset_ + BISHOP]));
            while (snipers) {
                const unsigned sniper = pop_lsb(snipers);
                const Bitboard between = BETWEEN[king_][sniper];
                const Bitboard blockers = between & occupancy;
                if (blockers == 0) {
                    checkers_ |= square_bit(sniper);
                } else if ((blockers & (blockers - 1)) == 0 && (blockers & self_mask)) {
                    pinned_ |= blockers;
                    pin_line_[lsb(blockers)] = between | square_bit(sniper);
                }
            }
            Bitboard checkers = checkers_;
            while (checkers) {
                const unsigned checker = pop_lsb(checkers);
                targets_ &= square_bit(checker) | BETWEEN[king_][checker];
            }
        }

        Bitboard allowed(unsigned from) const {
            return occupies(pinned_, from) ? targets_ & pin_line_[from] : targets_;
        }
        Bitboard targets() const { return targets_; }
        Bitboard pinned() const { return pinned_; }
        // The squares of `steps` that no enemy piece attacks once the king has left its square:
        // pawns, knights and kings for all squares at once, sliders square by square for what
        // is left. The same answer as attacked_by for each square.
        Bitboard safe_king_steps(Bitboard steps) const {
            constexpr Bitboard FILE_A = 0x0101010101010101;
            constexpr Bitboard FILE_H = FILE_A << 7;
            const auto& pieces = board_.pieces;
            const Bitboard pawns = pieces[opp_offset_ + PAWN];
            Bitboard danger = opp_offset_ == BLACK_OFFSET
                ? ((pawns & ~FILE_A) >> 9) | ((pawns & ~FILE_H) >> 7)
                : ((pawns & ~FILE_A) << 7) | ((pawns & ~FILE_H) << 9);
            for (Bitboard knights = pieces[opp_offset_ + KNIGHT]; knights;)
                danger |= KNIGHT_ATTACKS[pop_lsb(knights)];
            for (Bitboard kings = pieces[opp_offset_ + KING]; kings;)
                danger |= KING_ATTACKS[pop_lsb(kings)];
            const Bitboard queens = pieces[opp_offset_ + QUEEN];
            const Bitboard rooks = queens | pieces[opp_offset_ + ROOK];
            const Bitboard bishops = queens | pieces[opp_offset_ + BISHOP];
            Bitboard safe = 0;
            for (Bitboard left = steps & ~danger; left;) {
                const unsigned to = pop_lsb(left);
                // Most targets share no line with an enemy slider: the ray tables settle them.
                if ((LINES[ROOK_IDX][to] & rooks)
                    && (generator_.slider_attacks(ROOK_IDX, to, occupancy_without_king_) & rooks))
                    continue;
                if ((LINES[BISHOP_IDX][to] & bishops)
                    && (generator_.slider_attacks(BISHOP_IDX, to, occupancy_without_king_)
                        & bishops))
                    continue;
                safe |= square_bit(to);
            }
            return safe;
        }
        bool en_passant_safe(ChessMove chess_move) const {
            return generator_.leaves_king_safe(board_, chess_move);
        }
        // Called only when the king stands on its home square.
        bool home_attacked(const MoveGenerator&, const Board&, unsigned, std::uint64_t) const {
            return checkers_ != 0;
        }

    private:
        const MoveGenerator& generator_;
        Board& board_;
        PieceIndex opp_offset_ = 0;
        unsigned king_ = 0;
        Bitboard occupancy_without_king_ = 0;
        Bitboard checkers_ = 0;
        Bitboard targets_ = ALL_SQUARES;
        Bitboard pinned_ = 0;
        // Read only for the squares in pinned_: the squares between the king and the pinning
        // slider, and the slider's own square.
        std::array<Bitboard, 64> pin_line_;
    };

    // Where generation puts the kept moves. MoveWriter writes them in order through a cursor
    // into the caller's MoveList; MoveCounter (bulk counting) only counts them, and may count a
    // whole target set at once since the order does not matter there.
    class MoveWriter {
    public:
        static constexpr bool COUNTS = false;

        explicit MoveWriter(ChessMove* out)
            : out_(out) { }
        ChessMove* end() const { return out_; }

        void add(ChessMove chess_move) { *out_++ = chess_move; }
        // Writes the move and keeps it only when `keep` holds, so that loops over candidates need
        // no branch per candidate (the list has a slot to spare).
        void add_if(ChessMove chess_move, bool keep) {
            *out_ = chess_move;
            out_ += keep;
        }
        // The moves from `from` to every square of `targets`, ascending.
        void add_targets(unsigned from, Bitboard targets) {
            while (targets)
                add(ChessMove::packed(from, pop_lsb(targets)));
        }
        // The steps of `list` that land on `targets`, in the order of the list. The padding
        // entries repeat `from`, which is never a target.
        void add_steps(unsigned from, const StepList& list, Bitboard targets) {
            for (const unsigned to : list.to)
                add_if(ChessMove::packed(from, to), occupies(targets, to));
        }

    private:
        ChessMove* out_;
    };

    class MoveCounter {
    public:
        static constexpr bool COUNTS = true;

        std::size_t count() const { return count_; }

        void add(ChessMove) { ++count_; }
        void add_if(ChessMove, bool keep) { count_ += keep; }
        void add_count(std::size_t n) { count_ += n; }
        void add_targets(unsigned, Bitboard targets) { count_ += popcount(targets); }
        void add_steps(unsigned, const StepList&, Bitboard targets) { count_ += popcount(targets); }

    private:
        std::size_t count_ = 0;
    };

    // The knights' moves, knights ascending and each knight's jumps in the order of
    // KNIGHT_DIRECTIONS; a jump onto an own piece is dropped, one onto an enemy piece is a
    // capture.
    template <class Filter, class Sink>
    [[gnu::always_inline]] inline void knight_moves(
        Bitboard knights, Bitboard self_mask, const Filter& filter, Sink& sink) {
        while (knights) {
            const unsigned from = pop_lsb(knights);
            const Bitboard targets = KNIGHT_ATTACKS[from] & ~self_mask & filter.allowed(from);
            if (targets)
                sink.add_steps(from, KNIGHT_STEPS[from], targets);
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

    // King steps (kings ascending, each king's steps in the order of KING_DIRECTIONS), then
    // king-side and queen-side castling. Castling needs a king on its home square, that square
    // unattacked and the rights bit; whether the rook is there is not examined.
    template <bool White, class Filter, class Sink>
    [[gnu::always_inline]] inline void king_moves(const MoveGenerator& generator,
        const Board& board, Bitboard self_mask, Bitboard opp_mask, const Filter& filter,
        Sink& sink) {
        constexpr PieceIndex self_offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        constexpr std::uint64_t to_move = White ? 1 : 0;
        constexpr unsigned home = White ? 4 : 60;
        constexpr unsigned king_side_right = White ? INFO_WHITE_KING_SIDE : INFO_BLACK_KING_SIDE;
        constexpr unsigned queen_side_right = White ? INFO_WHITE_QUEEN_SIDE : INFO_BLACK_QUEEN_SIDE;

        const Bitboard kings = board.pieces[self_offset + KING];
        Bitboard remaining = kings;
        while (remaining) {
            const unsigned from = pop_lsb(remaining);
            const Bitboard open = KING_ATTACKS[from] & ~self_mask;
            if (!open)
                continue;
            const Bitboard safe = filter.safe_king_steps(open);
            sink.add_steps(from, KING_STEPS[from], safe);
        }

        const bool king_side = (board.info >> king_side_right) & 1;
        const bool queen_side = (board.info >> queen_side_right) & 1;
        if (!occupies(kings, home) || !(king_side || queen_side)
            || filter.home_attacked(generator, board, home, to_move))
            return;
        const Bitboard blockers = self_mask | opp_mask;
        if (king_side
            && can_castle(
                generator, board, { home + 1, home + 2 }, blockers, std::nullopt, to_move))
            sink.add(White ? WHITE_KING_SIDE_CASTLE : BLACK_KING_SIDE_CASTLE);
        if (queen_side
            && can_castle(generator, board, { home - 2, home - 1 }, blockers, home - 3, to_move))
            sink.add(White ? WHITE_QUEEN_SIDE_CASTLE : BLACK_QUEEN_SIDE_CASTLE);
    }

    template <class Sink> void add_promotions(unsigned from, unsigned to, Sink& sink) {
        for (unsigned special = ChessMove::PROMOTE_KNIGHT; special <= ChessMove::PROMOTE_QUEEN;
             ++special)
            sink.add(ChessMove::packed(from, to, special));
    }

    // Bulk counting of the pawns in `pawns`, none of which can promote or take en passant and
    // all of which may land anywhere in `targets`: two captures, a single and a double step each,
    // counted set by set. The shifts drop what leaves the board; the file masks drop the capture
    // that would wrap around an edge.
    template <bool White>
    [[gnu::always_inline]] inline std::size_t count_plain_pawn_moves(
        Bitboard pawns, Bitboard occupied, Bitboard opp_mask, Bitboard targets) {
        constexpr Bitboard FILE_A = 0x0101010101010101;
        constexpr Bitboard FILE_H = FILE_A << 7;
        constexpr Bitboard DOUBLE_STEP_FROM
            = White ? Bitboard { 0xFF } << 16 : Bitboard { 0xFF } << 40;
        const auto forward = [](Bitboard b, unsigned n) { return White ? b << n : b >> n; };
        const Bitboard single = forward(pawns, 8) & ~occupied;
        const Bitboard twice = forward(single & DOUBLE_STEP_FROM, 8) & ~occupied;
        // White +7 and black -9 go toward file a; white +9 and black -7 toward file h.
        const Bitboard toward_a = forward(pawns & ~FILE_A, White ? 7 : 9);
        const Bitboard toward_h = forward(pawns & ~FILE_H, White ? 9 : 7);
        return popcount(single & targets) + popcount(twice & targets)
            + popcount(toward_a & opp_mask & targets) + popcount(toward_h & opp_mask & targets);
    }

    // Per pawn, ascending: the capture toward 7 * direction (four promotions on the last step,
    // then en passant when the info word allows it on that file), the same toward 9 * direction,
    // the single step (or its four promotions), then the double step. En passant trusts the info
    // word: neither the target nor the victim is looked at.
    template <bool White, class Filter, class Sink>
    [[gnu::always_inline]] inline void pawn_moves(const Board& board, Bitboard self_mask,
        Bitboard opp_mask, const Filter& filter, Sink& sink) {
        constexpr PieceIndex offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        constexpr int direction = White ? 1 : -1;
        constexpr std::array<std::int16_t, 2> capture_jumps
            = { static_cast<std::int16_t>(7 * direction),
                  static_cast<std::int16_t>(9 * direction) };
        constexpr unsigned start_rank = White ? 1 : 6;
        constexpr unsigned end_rank = White ? 6 : 1;
        constexpr unsigned enpass_rank = White ? 4 : 3;
        constexpr unsigned enpass_offset = White ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;
        constexpr Bitboard END_RANK = Bitboard { 0xFF } << (8 * end_rank);
        constexpr Bitboard ENPASS_RANK = Bitboard { 0xFF } << (8 * enpass_rank);

        // Exclusive or, not union: where two bitboards claim one square it counts as empty.
        const Bitboard occupied = self_mask ^ opp_mask;
        const std::uint64_t en_passant_files = board.info >> enpass_offset;
        // Pawns that may promote or take en passant go through the full steps below; the others
        // have at most two plain captures, a single and a double step, written without branches.
        const Bitboard full_steps = END_RANK | ((en_passant_files & 0xFF) ? ENPASS_RANK : 0);
        Bitboard pawns = board.pieces[offset + PAWN];
        if constexpr (Sink::COUNTS) {
            const Bitboard plain = pawns & ~full_steps & ~filter.pinned();
            sink.add_count(
                count_plain_pawn_moves<White>(plain, occupied, opp_mask, filter.targets()));
            pawns &= ~plain;
        }
        while (pawns) {
            const unsigned from = pop_lsb(pawns);
            const unsigned rank = rank_of(from);
            const Bitboard allowed = filter.allowed(from);
            if (!occupies(full_steps, from)) [[likely]] {
                // A capture square off the board wraps (& 63) to a square the attack set of
                // `from` does not hold.
                const Bitboard captures = PAWN_ATTACKS[White ? 0 : 1][from] & opp_mask & allowed;
                const unsigned to_7 = (from + capture_jumps[0]) & 63;
                const unsigned to_9 = (from + capture_jumps[1]) & 63;
                sink.add_if(ChessMove::packed(from, to_7), occupies(captures, to_7));
                sink.add_if(ChessMove::packed(from, to_9), occupies(captures, to_9));
                const bool on_board = White ? from < 56 : from >= 8;
                const unsigned to = (from + 8 * direction) & 63;
                const bool single = on_board && !occupies(occupied, to);
                sink.add_if(ChessMove::packed(from, to), single && occupies(allowed, to));
                if (single && rank == start_rank) {
                    const unsigned to_jump = from + 16 * direction;
                    sink.add_if(ChessMove::packed(from, to_jump, ChessMove::DOUBLE_STEP),
                        !occupies(occupied, to_jump) && occupies(allowed, to_jump));
                }
                continue;
            }
            for (const std::int16_t jump : capture_jumps) {
                if (!validate_move(static_cast<std::uint16_t>(from), jump, 1))
                    continue;
                const unsigned to = from + jump;
                if (occupies(opp_mask & allowed, to)) {
                    if (rank == end_rank)
                        add_promotions(from, to, sink);
                    else
                        sink.add(ChessMove::packed(from, to));
                }
                if (rank == enpass_rank && ((en_passant_files >> file_of(to)) & 1)) {
                    const ChessMove en_passant = ChessMove::packed(from, to, ChessMove::EN_PASSANT);
                    if (filter.en_passant_safe(en_passant))
                        sink.add(en_passant);
                }
            }

            const unsigned to = static_cast<std::uint16_t>(from + 8 * direction);
            if (to > 63 || occupies(occupied, to))
                continue;
            if (rank == end_rank) {
                if (occupies(allowed, to))
                    add_promotions(from, to, sink);
                continue;
            }
            if (occupies(allowed, to))
                sink.add(ChessMove::packed(from, to));
            if (rank == start_rank) {
                const unsigned to_jump = from + 16 * direction;
                if (!occupies(occupied, to_jump) && occupies(allowed, to_jump))
                    sink.add(ChessMove::packed(from, to_jump, ChessMove::DOUBLE_STEP));
            }
        }
    }

    // The side's queens together with its rooks (idx_offset ROOK_IDX) or its bishops
    // (BISHOP_IDX), pieces ascending, each piece's targets ascending, captures and quiet moves
    // interleaved.
    template <unsigned IdxOffset, class Filter, class Sink>
    [[gnu::always_inline]] inline void magic_moves(const MoveGenerator& generator, Bitboard pieces,
        Bitboard self_mask, Bitboard occupancy, const Filter& filter, Sink& sink) {
        while (pieces) {
            const unsigned from = pop_lsb(pieces);
            sink.add_targets(from,
                generator.slider_attacks(IdxOffset, from, occupancy) & ~self_mask
                    & filter.allowed(from));
        }
    }

    // The moves of the side to move in pseudo-legal order, each one offered to the filter. It and
    // the generation helpers above are always inlined, so that each CPU_DISPATCH version of an
    // entry point has its own copy of the whole generation.
    template <bool White, class Filter, class Sink>
    [[gnu::always_inline]] inline void generate(const MoveGenerator& generator, const Board& board,
        Bitboard self_mask, Bitboard opp_mask, const Filter& filter, Sink& sink) {
        constexpr PieceIndex self_offset = White ? WHITE_OFFSET : BLACK_OFFSET;
        const auto& pieces = board.pieces;
        const Bitboard occupancy = self_mask | opp_mask;
        king_moves<White>(generator, board, self_mask, opp_mask, filter, sink);
        knight_moves(pieces[self_offset + KNIGHT], self_mask, filter, sink);
        pawn_moves<White>(board, self_mask, opp_mask, filter, sink);
        magic_moves<ROOK_IDX>(generator, pieces[self_offset + QUEEN] | pieces[self_offset + ROOK],
            self_mask, occupancy, filter, sink);
        magic_moves<BISHOP_IDX>(generator,
            pieces[self_offset + QUEEN] | pieces[self_offset + BISHOP], self_mask, occupancy,
            filter, sink);
    }

    template <bool White, class Filter>
    [[gnu::always_inline]] inline void generate_list(const MoveGenerator& generator,
        const Board& board, Bitboard self_mask, Bitboard opp_mask, const Filter& filter,
        MoveList& list) {
        MoveWriter writer(list.begin());
        generate<White>(generator, board, self_mask, opp_mask, filter, writer);
        list.resize(static_cast<std::size_t>(writer.end() - list.begin()));
    }

    // Exactly one king of the side to move, and no square claimed by two bitboards.
    bool fast_path_applies(const Board& board, Bitboard kings) {
        return board.disjoint && kings != 0 && (kings & (kings - 1)) == 0;
    }

    // A generated move made on the board and taken back when the scope ends, also when a fault
    // leaves it. A generated move that push_move refuses is a fault, with nothing made.
    class MadeMove {
    public:
        [[gnu::always_inline]] MadeMove(Board& board, ChessMove chess_move)
            : board_(board) {
            if (const std::optional<Error> error = board.push_move(chess_move)) [[unlikely]]
                fault("generated move " + chess_move.to_string() + " refused: " + error->message);
        }
        [[gnu::always_inline]] ~MadeMove() { board_.pop_move(); }
        MadeMove(const MadeMove&) = delete;
        MadeMove& operator=(const MadeMove&) = delete;

    private:
        Board& board_;
    };

} // namespace

MoveGenerator::MoveGenerator()
    : sliding_moves(populate_sliding_moves()) { }

// Knights, pawns, then sliders and the king; the first hit answers. A slider attack set ends at
// the first occupied square, so any piece in between shields the square, and the occupant of the
// square itself never does.
bool MoveGenerator::square_in_check(
    const Board& board, unsigned square, std::uint64_t to_move) const {
    check(square < 64, INDEX_OUT_OF_RANGE);
    return attacked_by(board, to_move == 1 ? BLACK_OFFSET : WHITE_OFFSET, square, board.occupied());
}

void MoveGenerator::pseudo_moves(const Board& board, MoveList& out) const {
    if (board.to_move())
        generate_list<true>(*this, board, board.side_mask(WHITE_OFFSET),
            board.side_mask(BLACK_OFFSET), KeepAll {}, out);
    else
        generate_list<false>(*this, board, board.side_mask(BLACK_OFFSET),
            board.side_mask(WHITE_OFFSET), KeepAll {}, out);
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
    const MadeMove made(board, chess_move);
    return !phantom_check(board);
}

void MoveGenerator::reference_moves(Board& board, MoveList& out) const {
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

CPU_DISPATCH void MoveGenerator::moves(Board& board, MoveList& out) const {
    const bool white = board.to_move();
    const Bitboard kings = board.pieces[(white ? WHITE_OFFSET : BLACK_OFFSET) + KING];
    if (!fast_path_applies(board, kings)) {
        reference_moves(board, out);
        return;
    }
    const Bitboard self_mask = board.side_mask(white ? WHITE_OFFSET : BLACK_OFFSET);
    const Bitboard opp_mask = board.side_mask(white ? BLACK_OFFSET : WHITE_OFFSET);
    const Legal filter(*this, board, white, self_mask, opp_mask);
    if (white)
        generate_list<true>(*this, board, self_mask, opp_mask, filter, out);
    else
        generate_list<false>(*this, board, self_mask, opp_mask, filter, out);
}

CPU_DISPATCH std::size_t MoveGenerator::count_moves(Board& board) const {
    const bool white = board.to_move();
    const Bitboard kings = board.pieces[(white ? WHITE_OFFSET : BLACK_OFFSET) + KING];
    if (!fast_path_applies(board, kings)) {
        MoveList list;
        reference_moves(board, list);
        return list.size();
    }
    const Bitboard self_mask = board.side_mask(white ? WHITE_OFFSET : BLACK_OFFSET);
    const Bitboard opp_mask = board.side_mask(white ? BLACK_OFFSET : WHITE_OFFSET);
    const Legal filter(*this, board, white, self_mask, opp_mask);
    MoveCounter counter;
    if (white)
        generate<true>(*this, board, self_mask, opp_mask, filter, counter);
    else
        generate<false>(*this, board, self_mask, opp_mask, filter, counter);
    return counter.count();
}

CPU_DISPATCH std::uint64_t perft(
    const MoveGenerator& generator, Board& board, unsigned depth, bool bulk_count) {
    if (depth == 0)
        return 1;
    if (bulk_count && depth == 1)
        return generator.count_moves(board);
    MoveList list;
    generator.moves(board, list);
    if (depth == 1) {
        for (const ChessMove chess_move : list)
            const MadeMove made(board, chess_move);
        return list.size();
    }
    std::uint64_t nodes = 0;
    for (const ChessMove chess_move : list) {
        const MadeMove made(board, chess_move);
        nodes += perft(generator, board, depth - 1, bulk_count);
    }
    return nodes;
}

} // namespace quarn_chess
