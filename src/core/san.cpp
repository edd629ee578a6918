// SAN writing (disambiguation, capture mark, promotion, check suffix) and the tolerant SAN reader.
#include "san.h"

#include "attacks.h"
#include "bits.h"
#include "fault.h"
#include "position_queries.h"

namespace quarn_chess {

namespace {

    constexpr char PIECE_LETTERS[] = { 'P', 'N', 'B', 'R', 'Q', 'K' };
    constexpr std::uint8_t EMPTY = PIECE_COUNT;
    constexpr Bitboard FILE_A = 0x0101010101010101;
    constexpr Bitboard RANK_1 = 0xFF;

    constexpr unsigned promotion_code(ChessMove m) {
        const unsigned code = m.special();
        return code >= ChessMove::PROMOTE_KNIGHT && code <= ChessMove::PROMOTE_QUEEN ? code : 0;
    }

    // Makes the move, reports whether the side now to move is in check and whether it is mated,
    // and takes the move back (also when a fault leaves).
    std::size_t write_suffix(
        const MoveGenerator& generator, Board& board, ChessMove move, char* out) {
        if (const std::optional<Error> error = board.push_move(move))
            fault("legal move " + move.to_string() + " refused: " + error->message);
        char suffix = 0;
        try {
            if (is_check(generator, board))
                suffix = generator.count_moves(board) == 0 ? '#' : '+';
        } catch (...) {
            board.pop_move();
            throw;
        }
        board.pop_move();
        if (suffix == 0)
            return 0;
        *out = suffix;
        return 1;
    }

    // The SAN of a legal move that is not castling, by a piece of kind `kind`; `others` holds
    // the squares of the other pieces of that kind with a legal move to the same square.
    std::size_t write_move_text(const MoveGenerator& generator, Board& board, ChessMove move,
        unsigned kind, Bitboard others, char* out) {
        char* cursor = out;
        const unsigned from = move.from();
        const unsigned to = move.to();
        const Bitboard opponents = board.side_mask(board.to_move() ? BLACK_OFFSET : WHITE_OFFSET);
        const bool capture
            = (opponents & square_bit(to)) || move.special() == ChessMove::EN_PASSANT;
        if (kind != PAWN) {
            *cursor++ = PIECE_LETTERS[kind];
            if (others) {
                bool file = false;
                bool rank = false;
                if (others & (RANK_1 << (8 * rank_of(from))))
                    file = true;
                if (others & (FILE_A << file_of(from)))
                    rank = true;
                else
                    file = true;
                if (file)
                    *cursor++ = static_cast<char>('a' + file_of(from));
                if (rank)
                    *cursor++ = static_cast<char>('1' + rank_of(from));
            }
        } else if (capture) {
            *cursor++ = static_cast<char>('a' + file_of(from));
        }
        if (capture)
            *cursor++ = 'x';
        *cursor++ = static_cast<char>('a' + file_of(to));
        *cursor++ = static_cast<char>('1' + rank_of(to));
        if (const unsigned code = promotion_code(move)) {
            *cursor++ = '=';
            *cursor++ = PIECE_LETTERS[code - ChessMove::PROMOTE_KNIGHT + KNIGHT];
        }
        cursor += write_suffix(generator, board, move, cursor);
        return static_cast<std::size_t>(cursor - out);
    }

    std::string quoted(std::string_view text) {
        std::string result = "'";
        result += text;
        result += "'";
        return result;
    }

    constexpr bool is_file(char c) { return c >= 'a' && c <= 'h'; }
    constexpr bool is_rank(char c) { return c >= '1' && c <= '8'; }

    // Piece kind of an upper-case piece letter N B R Q K, or of a promotion letter in either
    // case; 0 (pawn, never a valid answer here) otherwise.
    constexpr unsigned piece_kind(char c, bool any_case) {
        if (any_case && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        switch (c) {
        case 'N': return KNIGHT;
        case 'B': return BISHOP;
        case 'R': return ROOK;
        case 'Q': return QUEEN;
        case 'K': return KING;
        default: return 0;
        }
    }

    // A promotion kind as a special code; a king promotion gets 8, which no legal move carries.
    constexpr unsigned promotion_special(unsigned kind) {
        return kind == 0 ? 0 : kind == KING ? 8 : ChessMove::PROMOTE_KNIGHT + kind - KNIGHT;
    }

    SanMatch castle(const MoveList& legal, bool king_side) {
        for (const ChessMove m : legal)
            if (m.special() == ChessMove::CASTLING && (file_of(m.to()) == 6) == king_side)
                return { m, SanStatus::OK };
        return { ChessMove {}, SanStatus::ILLEGAL };
    }

} // namespace

std::optional<ChessMove> parse_uci(std::string_view text) {
    if (text.size() != 4 && text.size() != 5)
        return std::nullopt;
    if (!is_file(text[0]) || !is_rank(text[1]) || !is_file(text[2]) || !is_rank(text[3]))
        return std::nullopt;
    unsigned special = 0;
    if (text.size() == 5) {
        const unsigned kind = piece_kind(text[4], true);
        if (kind == 0 || kind == KING)
            return std::nullopt;
        special = promotion_special(kind);
    }
    const unsigned from = static_cast<unsigned>((text[1] - '1') * 8 + (text[0] - 'a'));
    const unsigned to = static_cast<unsigned>((text[3] - '1') * 8 + (text[2] - 'a'));
    return ChessMove::packed(from, to, special);
}

SanWriter::SanWriter(const MoveGenerator& generator, Board& board)
    : generator_(generator)
    , board_(board) {
    generator.moves(board, legal_);
    mailbox_.fill(EMPTY);
    // Highest index first, so the lowest index that holds a square is the one left there.
    for (unsigned p = PIECE_COUNT; p-- > 0;)
        for (const unsigned s : get_bits(board.pieces[p]))
            mailbox_[s] = static_cast<std::uint8_t>(p);
}

std::size_t SanWriter::write(ChessMove move, char* out) {
    char* cursor = out;
    const unsigned from = move.from();
    const unsigned to = move.to();
    if (move.special() == ChessMove::CASTLING) {
        const std::string_view text = file_of(to) < file_of(from) ? "O-O-O" : "O-O";
        for (const char c : text)
            *cursor++ = c;
        cursor += write_suffix(generator_, board_, move, cursor);
        return static_cast<std::size_t>(cursor - out);
    }

    const std::uint8_t piece = mailbox_[from];
    check(piece != EMPTY, "SAN of a move from an empty square");
    const unsigned kind = piece % BLACK_OFFSET;
    // Other pieces of the same kind with a legal move to the same square.
    Bitboard others = 0;
    if (kind != PAWN)
        for (const ChessMove m : legal_)
            if (m.to() == to && m.from() != from && mailbox_[m.from()] % BLACK_OFFSET == kind
                && m.special() != ChessMove::CASTLING)
                others |= square_bit(m.from());
    return write_move_text(generator_, board_, move, kind, others, out);
}

namespace {

    // SAN text taken apart, before any board is looked at.
    struct SanParts {
        enum Kind : std::uint8_t { INVALID, KING_SIDE, QUEEN_SIDE, FULL_SQUARES, NORMAL } kind;
        unsigned piece = 0; // 0 pawn (no letter), else KNIGHT..KING
        int from_file = -1;
        int from_rank = -1;
        unsigned to = 0;
        unsigned special = 0; // promotion code, 8 for a king, 0 for none
    };

    SanParts split_san(std::string_view text) {
        SanParts parts { SanParts::INVALID };
        // Annotations and check marks at the end are not checked against the move.
        while (!text.empty()
            && (text.back() == '+' || text.back() == '#' || text.back() == '!'
                || text.back() == '?'))
            text.remove_suffix(1);
        if (text == "O-O" || text == "0-0") {
            parts.kind = SanParts::KING_SIDE;
            return parts;
        }
        if (text == "O-O-O" || text == "0-0-0") {
            parts.kind = SanParts::QUEEN_SIDE;
            return parts;
        }
        // Promotion piece, then the destination square, read from the end.
        unsigned promotion = 0;
        if (!text.empty() && (promotion = piece_kind(text.back(), true)) != 0) {
            text.remove_suffix(1);
            if (!text.empty() && text.back() == '=')
                text.remove_suffix(1);
        }
        if (text.size() < 2 || !is_file(text[text.size() - 2]) || !is_rank(text.back()))
            return parts;
        parts.to = static_cast<unsigned>((text.back() - '1') * 8 + (text[text.size() - 2] - 'a'));
        text.remove_suffix(2);
        // What is left: [piece][file][rank][- or x].
        std::size_t i = 0;
        parts.piece = i < text.size() ? piece_kind(text[i], false) : 0;
        if (parts.piece != 0)
            ++i;
        if (i < text.size() && is_file(text[i]))
            parts.from_file = text[i++] - 'a';
        if (i < text.size() && is_rank(text[i]))
            parts.from_rank = text[i++] - '1';
        if (i < text.size() && (text[i] == '-' || text[i] == 'x'))
            ++i;
        if (i != text.size())
            return parts;
        parts.special = promotion_special(promotion);
        parts.kind = parts.piece == 0 && parts.from_file >= 0 && parts.from_rank >= 0
            ? SanParts::FULL_SQUARES
            : SanParts::NORMAL;
        return parts;
    }

    // The squares a NORMAL move may start from: file, rank, the piece kind of the side to move
    // (pawns of either colour, as python-chess filters them), a pawn push on the target's file.
    Bitboard from_squares(const Board& board, const SanParts& parts) {
        Bitboard from_mask = ~Bitboard { 0 };
        if (parts.from_file >= 0)
            from_mask &= FILE_A << parts.from_file;
        if (parts.from_rank >= 0)
            from_mask &= RANK_1 << (8 * parts.from_rank);
        if (parts.piece != 0) {
            const PieceIndex own_offset = board.to_move() ? WHITE_OFFSET : BLACK_OFFSET;
            from_mask &= board.pieces[own_offset + parts.piece];
        } else {
            from_mask &= board.pieces[PAWN] | board.pieces[BLACK_OFFSET + PAWN];
            if (parts.from_file < 0)
                from_mask &= FILE_A << file_of(parts.to);
        }
        return from_mask;
    }

    SanMatch match_parts(const Board& board, const MoveList& legal, const SanParts& parts) {
        const SanMatch illegal { ChessMove {}, SanStatus::ILLEGAL };
        switch (parts.kind) {
        case SanParts::INVALID: return { ChessMove {}, SanStatus::INVALID };
        case SanParts::KING_SIDE: return castle(legal, true);
        case SanParts::QUEEN_SIDE: return castle(legal, false);
        case SanParts::FULL_SQUARES: {
            // A fully given from-square names any legal move; e1h1 / e1a1 (and on rank 8) with
            // a king on e1 mean castling.
            const unsigned from = static_cast<unsigned>(parts.from_rank * 8 + parts.from_file);
            unsigned target = parts.to;
            const Bitboard kings = board.pieces[KING] | board.pieces[BLACK_OFFSET + KING];
            if (parts.special == 0 && (from == 4 || from == 60) && (kings & square_bit(from))) {
                if (target == from + 3)
                    target = from + 2;
                else if (target == from - 4)
                    target = from - 2;
            }
            const Bitboard pawns = board.pieces[PAWN] | board.pieces[BLACK_OFFSET + PAWN];
            const bool needs_promotion
                = (pawns & square_bit(from)) && (rank_of(target) == 0 || rank_of(target) == 7);
            if (needs_promotion && parts.special == 0)
                return illegal;
            for (const ChessMove m : legal)
                if (m.from() == from && m.to() == target && promotion_code(m) == parts.special)
                    return { m, SanStatus::OK };
            return illegal;
        }
        case SanParts::NORMAL: break;
        }
        const Bitboard from_mask = from_squares(board, parts);
        SanMatch found = illegal;
        for (const ChessMove m : legal) {
            // Castling is written only as castling, never as a king move.
            if (m.to() != parts.to || !(from_mask & square_bit(m.from()))
                || promotion_code(m) != parts.special || m.special() == ChessMove::CASTLING)
                continue;
            if (found.status == SanStatus::OK) {
                // The same squares twice: an en-passant flag on an occupied square lets
                // generation list a capture and an en-passant capture of one pawn; they are one
                // move in text.
                if (m.from() == found.move.from())
                    continue;
                return { ChessMove {}, SanStatus::AMBIGUOUS };
            }
            found = { m, SanStatus::OK };
        }
        return found;
    }

    // Whether the board takes the move generator's fast path: one king of the side to move and
    // no square claimed twice. Only there are legal moves found without listing them all.
    bool regular(const Board& board) {
        const Bitboard kings = board.pieces[(board.to_move() ? WHITE_OFFSET : BLACK_OFFSET) + KING];
        if (kings == 0 || (kings & (kings - 1)))
            return false;
        Bitboard seen = 0;
        Bitboard overlap = 0;
        for (const Bitboard b : board.pieces) {
            overlap |= seen & b;
            seen |= b;
        }
        return overlap == 0;
    }

    // The from-squares, within `from_mask`, of the legal moves of piece kind `kind` (not
    // castling) that land on `to`, on a regular board: the candidates generation would make (the
    // same rules read backwards from the target), each tested by moving the piece on the
    // bitboards, asking whether the king is attacked, and putting it back. `en_passant` gets the
    // pawns whose legal move there is an en-passant capture (tested by making it).
    struct Origins {
        Bitboard plain = 0;
        Bitboard en_passant = 0;
    };

    Origins legal_origins(const MoveGenerator& generator, Board& board, unsigned kind, unsigned to,
        Bitboard from_mask) {
        const bool white = board.to_move();
        const PieceIndex own = white ? WHITE_OFFSET : BLACK_OFFSET;
        const PieceIndex opp = white ? BLACK_OFFSET : WHITE_OFFSET;
        auto& pieces = board.pieces;
        const Bitboard self_mask = board.side_mask(own);
        const Bitboard opp_mask = board.side_mask(opp);
        const Bitboard occupancy = self_mask | opp_mask;
        const Bitboard to_bit = square_bit(to);
        const Bitboard mine = pieces[own + kind] & from_mask;
        Origins origins;
        if (mine == 0)
            return origins;

        Bitboard candidates = 0;
        if (!(self_mask & to_bit)) {
            switch (kind) {
            case KNIGHT: candidates = KNIGHT_ATTACKS[to] & mine; break;
            case KING: candidates = KING_ATTACKS[to] & mine; break;
            case BISHOP:
                candidates = generator.slider_attacks(BISHOP_IDX, to, occupancy) & mine;
                break;
            case ROOK: candidates = generator.slider_attacks(ROOK_IDX, to, occupancy) & mine; break;
            case QUEEN:
                candidates = (generator.slider_attacks(ROOK_IDX, to, occupancy)
                                 | generator.slider_attacks(BISHOP_IDX, to, occupancy))
                    & mine;
                break;
            default: break;
            }
        }
        if (kind == PAWN) {
            // Captures come from the squares a pawn of the other colour on `to` would attack.
            const Bitboard capturers = PAWN_ATTACKS[white ? 1 : 0][to] & mine;
            if (opp_mask & to_bit)
                candidates |= capturers;
            const unsigned ep_rank = white ? 4 : 3;
            const unsigned ep_group = white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;
            if ((board.info >> (ep_group + file_of(to))) & 1) {
                Bitboard takers = capturers & (RANK_1 << (8 * ep_rank));
                while (takers) {
                    const unsigned from = pop_lsb(takers);
                    if (generator.leaves_king_safe(
                            board, ChessMove::packed(from, to, ChessMove::EN_PASSANT)))
                        origins.en_passant |= square_bit(from);
                }
            }
            if (!(occupancy & to_bit)) {
                const unsigned back = white ? to - 8 : to + 8;
                if (back < 64 && (mine & square_bit(back)))
                    candidates |= square_bit(back);
                const unsigned start_rank = white ? 1 : 6;
                const unsigned back2 = white ? to - 16 : to + 16;
                if (back < 64 && back2 < 64 && rank_of(back2) == start_rank
                    && !(occupancy & square_bit(back)) && (mine & square_bit(back2)))
                    candidates |= square_bit(back2);
            }
        }

        const Bitboard own_king = pieces[own + KING];
        const PieceIndex captured = [&] {
            for (PieceIndex p = opp; p < opp + 6; ++p)
                if (pieces[p] & to_bit)
                    return p;
            return PIECE_COUNT;
        }();
        while (candidates) {
            const unsigned from = pop_lsb(candidates);
            const Bitboard from_bit = square_bit(from);
            const Bitboard moved = pieces[own + kind];
            pieces[own + kind] = (moved & ~from_bit) | to_bit;
            const Bitboard victim = captured < PIECE_COUNT ? pieces[captured] : 0;
            if (captured < PIECE_COUNT)
                pieces[captured] = victim & ~to_bit;
            const unsigned king = kind == KING ? to : lsb(own_king);
            const bool attacked
                = generator.attacked_by(board, opp, king, (occupancy & ~from_bit) | to_bit);
            pieces[own + kind] = moved;
            if (captured < PIECE_COUNT)
                pieces[captured] = victim;
            if (!attacked)
                origins.plain |= from_bit;
        }
        return origins;
    }

    // The generated move from `from` to `to` of a pawn or piece, with the special code the move
    // generator gives it.
    ChessMove generated_move(
        unsigned kind, unsigned from, unsigned to, bool en_passant, unsigned promotion) {
        if (en_passant)
            return ChessMove::packed(from, to, ChessMove::EN_PASSANT);
        if (promotion)
            return ChessMove::packed(from, to, promotion);
        const bool double_step = kind == PAWN && (from > to ? from - to : to - from) == 16;
        return ChessMove::packed(from, to, double_step ? ChessMove::DOUBLE_STEP : 0);
    }

} // namespace

SanMatch match_san(const Board& board, const MoveList& legal, std::string_view text) {
    return match_parts(board, legal, split_san(text));
}

SanMatch match_san(const MoveGenerator& generator, Board& board, std::string_view text) {
    const SanParts parts = split_san(text);
    if (parts.kind == SanParts::INVALID)
        return { ChessMove {}, SanStatus::INVALID };
    if (parts.kind != SanParts::NORMAL || !regular(board)) {
        MoveList legal;
        generator.moves(board, legal);
        return match_parts(board, legal, parts);
    }
    const SanMatch illegal { ChessMove {}, SanStatus::ILLEGAL };
    const unsigned kind = parts.piece;
    const bool last_rank = rank_of(parts.to) == (board.to_move() ? 7 : 0);
    // Only pawns reaching the last rank promote, and they must.
    if ((kind == PAWN && last_rank) != (parts.special != 0) || parts.special == 8)
        return illegal;
    const Origins origins
        = legal_origins(generator, board, kind, parts.to, from_squares(board, parts));
    const Bitboard from = origins.plain | origins.en_passant;
    if (from == 0)
        return illegal;
    if (from & (from - 1))
        return { ChessMove {}, SanStatus::AMBIGUOUS };
    const unsigned square = lsb(from);
    return { generated_move(kind, square, parts.to, origins.plain == 0, parts.special),
        SanStatus::OK };
}

std::size_t write_san(const MoveGenerator& generator, Board& board, ChessMove move, char* out) {
    const unsigned from = move.from();
    const unsigned to = move.to();
    const bool white = board.to_move();
    const PieceIndex own = white ? WHITE_OFFSET : BLACK_OFFSET;
    unsigned kind = PIECE_COUNT;
    for (unsigned k = PAWN; k <= KING; ++k)
        if (board.pieces[own + k] & square_bit(from))
            kind = k;
    const bool castling_like = kind == KING && (from == 4 || from == 60)
        && (file_of(to) == 2 || file_of(to) == 6) && rank_of(to) == rank_of(from);
    if (!regular(board) || castling_like) {
        SanWriter writer(generator, board);
        for (const ChessMove m : writer.moves())
            if (m.from() == from && m.to() == to && promotion_code(m) == promotion_code(move))
                return writer.write(m, out);
        return 0;
    }
    if (kind == PIECE_COUNT)
        return 0;
    const bool last_rank = rank_of(to) == (white ? 7 : 0);
    if ((kind == PAWN && last_rank) != (promotion_code(move) != 0))
        return 0;
    const Origins origins = legal_origins(generator, board, kind, to, ~Bitboard { 0 });
    const Bitboard from_bit = square_bit(from);
    if (!((origins.plain | origins.en_passant) & from_bit))
        return 0;
    const ChessMove legal
        = generated_move(kind, from, to, !(origins.plain & from_bit), promotion_code(move));
    const Bitboard others = kind == PAWN ? 0 : (origins.plain | origins.en_passant) & ~from_bit;
    return write_move_text(generator, board, legal, kind, others, out);
}

Result<std::string> san(const MoveGenerator& generator, Board& board, ChessMove move) {
    char text[MAX_SAN_LENGTH];
    const std::size_t length = write_san(generator, board, move, text);
    if (length == 0)
        return Error { "illegal move: '" + move.to_string() + "' in " + board.to_fen() };
    return std::string(text, length);
}

Result<ChessMove> parse_san(const MoveGenerator& generator, Board& board, std::string_view text) {
    const SanMatch match = match_san(generator, board, text);
    switch (match.status) {
    case SanStatus::OK: return match.move;
    case SanStatus::INVALID: return Error { "invalid san: " + quoted(text) };
    case SanStatus::ILLEGAL:
        return Error { "illegal san: " + quoted(text) + " in " + board.to_fen() };
    case SanStatus::AMBIGUOUS:
        return Error { "ambiguous san: " + quoted(text) + " in " + board.to_fen() };
    }
    fault("unknown SAN status");
}

} // namespace quarn_chess
