// SAN writing (disambiguation, capture mark, promotion, check suffix) and the tolerant SAN reader.
#include "san.h"

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
    const Bitboard opponents = board_.side_mask(board_.to_move() ? BLACK_OFFSET : WHITE_OFFSET);
    const bool capture = (opponents & square_bit(to)) || move.special() == ChessMove::EN_PASSANT;

    if (kind != PAWN) {
        *cursor++ = PIECE_LETTERS[kind];
        // Other pieces of the same kind with a legal move to the same square.
        Bitboard others = 0;
        for (const ChessMove m : legal_)
            if (m.to() == to && m.from() != from && mailbox_[m.from()] % BLACK_OFFSET == kind
                && m.special() != ChessMove::CASTLING)
                others |= square_bit(m.from());
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
    cursor += write_suffix(generator_, board_, move, cursor);
    return static_cast<std::size_t>(cursor - out);
}

Result<std::string> san(const MoveGenerator& generator, Board& board, ChessMove move) {
    SanWriter writer(generator, board);
    for (const ChessMove m : writer.moves())
        if (m.from() == move.from() && m.to() == move.to()
            && promotion_code(m) == promotion_code(move)) {
            char text[MAX_SAN_LENGTH];
            return std::string(text, writer.write(m, text));
        }
    return Error { "illegal move: '" + move.to_string() + "' in " + board.to_fen() };
}

SanMatch match_san(const Board& board, const MoveList& legal, std::string_view text) {
    // Annotations and check marks at the end are not checked against the move.
    while (!text.empty()
        && (text.back() == '+' || text.back() == '#' || text.back() == '!' || text.back() == '?'))
        text.remove_suffix(1);
    if (text == "O-O" || text == "0-0")
        return castle(legal, true);
    if (text == "O-O-O" || text == "0-0-0")
        return castle(legal, false);

    const SanMatch invalid { ChessMove {}, SanStatus::INVALID };
    const SanMatch illegal { ChessMove {}, SanStatus::ILLEGAL };

    // Promotion piece, then the destination square, read from the end.
    unsigned promotion = 0;
    if (!text.empty() && (promotion = piece_kind(text.back(), true)) != 0) {
        text.remove_suffix(1);
        if (!text.empty() && text.back() == '=')
            text.remove_suffix(1);
    }
    if (text.size() < 2 || !is_file(text[text.size() - 2]) || !is_rank(text.back()))
        return invalid;
    const unsigned to
        = static_cast<unsigned>((text.back() - '1') * 8 + (text[text.size() - 2] - 'a'));
    text.remove_suffix(2);

    // What is left: [piece][file][rank][- or x].
    std::size_t i = 0;
    const unsigned piece = i < text.size() ? piece_kind(text[i], false) : 0;
    if (piece != 0)
        ++i;
    int from_file = -1;
    int from_rank = -1;
    if (i < text.size() && is_file(text[i]))
        from_file = text[i++] - 'a';
    if (i < text.size() && is_rank(text[i]))
        from_rank = text[i++] - '1';
    if (i < text.size() && (text[i] == '-' || text[i] == 'x'))
        ++i;
    if (i != text.size())
        return invalid;

    const unsigned special = promotion_special(promotion);
    const bool white = board.to_move();
    const PieceIndex own_offset = white ? WHITE_OFFSET : BLACK_OFFSET;

    if (piece == 0 && from_file >= 0 && from_rank >= 0) {
        // A fully given from-square names any legal move; e1h1 / e1a1 (and on rank 8) with a
        // king on e1 mean castling.
        const unsigned from = static_cast<unsigned>(from_rank * 8 + from_file);
        unsigned target = to;
        const Bitboard kings = board.pieces[KING] | board.pieces[BLACK_OFFSET + KING];
        if (promotion == 0 && (from == 4 || from == 60) && (kings & square_bit(from))) {
            if (target == from + 3)
                target = from + 2;
            else if (target == from - 4)
                target = from - 2;
        }
        const Bitboard pawns = board.pieces[PAWN] | board.pieces[BLACK_OFFSET + PAWN];
        const bool needs_promotion
            = (pawns & square_bit(from)) && (rank_of(target) == 0 || rank_of(target) == 7);
        if (needs_promotion && promotion == 0)
            return illegal;
        for (const ChessMove m : legal)
            if (m.from() == from && m.to() == target && promotion_code(m) == special)
                return { m, SanStatus::OK };
        return illegal;
    }

    Bitboard from_mask = ~Bitboard { 0 };
    if (from_file >= 0)
        from_mask &= FILE_A << from_file;
    if (from_rank >= 0)
        from_mask &= RANK_1 << (8 * from_rank);
    if (piece != 0) {
        from_mask &= board.pieces[own_offset + piece];
    } else {
        from_mask &= board.pieces[PAWN] | board.pieces[BLACK_OFFSET + PAWN];
        if (from_file < 0)
            from_mask &= FILE_A << file_of(to);
    }
    SanMatch found = illegal;
    for (const ChessMove m : legal) {
        // Castling is written only as castling, never as a king move.
        if (m.to() != to || !(from_mask & square_bit(m.from())) || promotion_code(m) != special
            || m.special() == ChessMove::CASTLING)
            continue;
        if (found.status == SanStatus::OK) {
            // The same squares twice: an en-passant flag on an occupied square lets generation
            // list a capture and an en-passant capture of one pawn; they are one move in text.
            if (m.from() == found.move.from())
                continue;
            return { ChessMove {}, SanStatus::AMBIGUOUS };
        }
        found = { m, SanStatus::OK };
    }
    return found;
}

Result<ChessMove> parse_san(const MoveGenerator& generator, Board& board, std::string_view text) {
    MoveList legal;
    generator.moves(board, legal);
    const SanMatch match = match_san(board, legal, text);
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
