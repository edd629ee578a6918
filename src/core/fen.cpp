// FEN reading and writing: placement, side to move, castling rights and en-passant file.
#include "bits.h"
#include "board.h"
#include "text.h"

namespace quarn_chess {

namespace {

    // Piece index of a FEN letter, or -1.
    int piece_of_letter(char32_t c) {
        switch (c) {
        case 'P': return 0;
        case 'N': return 1;
        case 'B': return 2;
        case 'R': return 3;
        case 'Q': return 4;
        case 'K': return 5;
        case 'p': return 6;
        case 'n': return 7;
        case 'b': return 8;
        case 'r': return 9;
        case 'q': return 10;
        case 'k': return 11;
        default: return -1;
        }
    }

    constexpr char PIECE_LETTERS[PIECE_COUNT + 1] = "PNBRQKpnbrqk";

} // namespace

std::string Board::reverse_fen(std::string_view fen) {
    std::string reversed;
    reversed.reserve(fen.size());
    std::size_t end = fen.size();
    while (true) {
        const std::size_t slash = end == 0 ? std::string_view::npos : fen.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        reversed.append(fen.substr(begin, end - begin));
        if (slash == std::string_view::npos)
            return reversed;
        reversed += '/';
        end = slash;
    }
}

// The ranks are read last to first, so the rank written last is rank 1. "/" does not move the
// square counter: rank lengths are not checked, and a placement of more than 64 squares wraps.
std::array<Bitboard, PIECE_COUNT> Board::pieces_from_fen(std::string_view fen) {
    FieldReader fields(fen);
    const std::optional<std::string_view> placement = fields.next();
    check(placement.has_value(), MISSING_VALUE);

    std::array<Bitboard, PIECE_COUNT> pieces {};
    std::uint64_t counter = 0;
    const std::string_view text = *placement;
    std::size_t end = text.size();
    while (true) {
        const std::size_t slash = end == 0 ? std::string_view::npos : text.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        for (std::size_t pos = begin; pos < end;) {
            const CodePoint c = decode_utf8(text, pos);
            pos += c.size;
            if (c.value >= '0' && c.value <= '9') {
                counter += c.value - '0';
                continue;
            }
            const int piece = piece_of_letter(c.value);
            check(piece >= 0, "Invalid piece type");
            pieces[static_cast<unsigned>(piece)] |= square_bit(counter % 64);
            ++counter;
        }
        if (slash == std::string_view::npos)
            return pieces;
        end = slash;
    }
}

Result<Board> Board::from_fen(std::string_view fen) {
    Board board;
    board.pieces = pieces_from_fen(fen);

    FieldReader fields(fen);
    fields.next();

    const std::optional<std::string_view> side = fields.next();
    check(side.has_value(), MISSING_VALUE);
    if (*side == "w")
        board.info = 1;
    else if (*side == "b")
        board.info = 0;
    else
        return Error { "Invalid side-to-move" };

    const std::optional<std::string_view> castling = fields.next();
    check(castling.has_value(), MISSING_VALUE);
    for (const char c : *castling) {
        if (c == '-')
            break;
        switch (c) {
        case 'K': board.info |= 1 << INFO_WHITE_KING_SIDE; break;
        case 'Q': board.info |= 1 << INFO_WHITE_QUEEN_SIDE; break;
        case 'k': board.info |= 1 << INFO_BLACK_KING_SIDE; break;
        case 'q': board.info |= 1 << INFO_BLACK_QUEEN_SIDE; break;
        default: return Error { "Invalid castling specifier" };
        }
    }

    // Only the first character is read, as a file letter; the rank digit follows from the side
    // to move. Other characters land on whatever bit the same arithmetic gives.
    const std::optional<std::string_view> en_passant = fields.next();
    check(en_passant.has_value(), MISSING_VALUE);
    if (*en_passant != "-") {
        const std::uint64_t c = decode_utf8(*en_passant, 0).value;
        const std::uint64_t black = board.info & 1 ? 0 : 8;
        board.info |= std::uint64_t { 1 } << ((c - 'a' + INFO_EP_WHITE_TO_MOVE + black) % 64);
    }

    board.resync();
    return board;
}

std::string Board::to_fen() const {
    std::string fen;
    fen.reserve(96);
    for (int rank = 7; rank >= 0; --rank) {
        int run = 0;
        for (unsigned file = 0; file < 8; ++file) {
            const unsigned piece = piece_on[static_cast<unsigned>(rank) * 8 + file];
            if (piece == NO_PIECE) {
                ++run;
                continue;
            }
            if (run) {
                fen += static_cast<char>('0' + run);
                run = 0;
            }
            fen += PIECE_LETTERS[piece];
        }
        if (run)
            fen += static_cast<char>('0' + run);
        if (rank)
            fen += '/';
    }

    const bool white = info & 1;
    fen += white ? " w " : " b ";
    const std::size_t before_castling = fen.size();
    if (info & (1 << INFO_WHITE_KING_SIDE))
        fen += 'K';
    if (info & (1 << INFO_WHITE_QUEEN_SIDE))
        fen += 'Q';
    if (info & (1 << INFO_BLACK_KING_SIDE))
        fen += 'k';
    if (info & (1 << INFO_BLACK_QUEEN_SIDE))
        fen += 'q';
    if (fen.size() == before_castling)
        fen += '-';
    fen += ' ';

    const unsigned base = white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;
    const unsigned files = static_cast<unsigned>(info >> base) & 0xFF;
    if (files) {
        fen += static_cast<char>('a' + lsb(files));
        fen += white ? '6' : '3';
    } else {
        fen += '-';
    }
    return fen;
}

} // namespace quarn_chess
