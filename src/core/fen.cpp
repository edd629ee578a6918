// FEN reading and writing: placement, side to move, castling rights and en-passant file.
#include "bits.h"
#include "board.h"
#include "text.h"

#include <bit>
#include <cstring>
#include <utility>

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

namespace {

    constexpr bool ascii_white_space(unsigned char c) {
        return c == ' ' || (c >= 0x09 && c <= 0x0D);
    }

    // The first byte from `pos` on that is below 0x21 (white space and control characters) or
    // not ASCII (0x80 and above); text.size() when there is none. Eight bytes at a time: the
    // lowest flagged byte of a word is exact (a borrow only flags bytes above a true hit).
    std::size_t field_end(std::string_view text, std::size_t pos) {
        if constexpr (std::endian::native == std::endian::little) {
            constexpr std::uint64_t ONES = 0x0101010101010101;
            constexpr std::uint64_t HIGH = 0x8080808080808080;
            while (pos + 8 <= text.size()) {
                std::uint64_t word;
                std::memcpy(&word, text.data() + pos, 8);
                const std::uint64_t flags = (((word - 0x21 * ONES) & ~word) | word) & HIGH;
                if (flags)
                    return pos + (static_cast<unsigned>(std::countr_zero(flags)) >> 3);
                pos += 8;
            }
        }
        while (pos < text.size() && static_cast<unsigned char>(text[pos]) > 0x20
            && static_cast<unsigned char>(text[pos]) < 0x80)
            ++pos;
        return pos;
    }

    // The next field from `pos` on when the text up to its end is ASCII and the field ends at
    // white space or the end of the text: then it is the field FieldReader finds. Otherwise
    // `plain` is cleared.
    std::string_view next_ascii_field(std::string_view text, std::size_t& pos, bool& plain) {
        while (pos < text.size() && ascii_white_space(static_cast<unsigned char>(text[pos])))
            ++pos;
        const std::size_t begin = pos;
        pos = field_end(text, pos);
        if (pos < text.size() && !ascii_white_space(static_cast<unsigned char>(text[pos])))
            plain = false;
        return text.substr(begin, pos - begin);
    }

    // The en-passant field's bit: only the first character is read, as a file letter; the rank
    // follows from the side to move. Other characters land on whatever bit the same arithmetic
    // gives.
    std::uint64_t en_passant_bit(std::uint64_t c, std::uint64_t info) {
        const std::uint64_t black = info & 1 ? 0 : 8;
        return std::uint64_t { 1 } << ((c - 'a' + INFO_EP_WHITE_TO_MOVE + black) % 64);
    }

    // Placement bytes: 0..11 a piece index, 16 + d the digit d, 0xFF anything else.
    constexpr std::array<std::uint8_t, 256> PLACEMENT_BYTES = [] {
        std::array<std::uint8_t, 256> table {};
        table.fill(0xFF);
        for (unsigned d = 0; d < 10; ++d)
            table['0' + d] = static_cast<std::uint8_t>(16 + d);
        for (unsigned p = 0; p < PIECE_COUNT; ++p)
            table[static_cast<unsigned char>(PIECE_LETTERS[p])] = static_cast<std::uint8_t>(p);
        return table;
    }();

    // One rank of FEN text for each pattern of occupied files (bit f: file f): the digits of the
    // gaps in place and the slot of each file's letter (an empty file's slot is `length`).
    struct RankText {
        std::array<char, 8> skeleton {};
        std::array<std::uint8_t, 8> slot {};
        std::uint8_t length = 0;
    };

    constexpr std::array<RankText, 256> RANK_TEXTS = [] {
        std::array<RankText, 256> texts {};
        for (unsigned pattern = 0; pattern < 256; ++pattern) {
            RankText& t = texts[pattern];
            unsigned run = 0;
            for (unsigned file = 0; file < 8; ++file) {
                if (!((pattern >> file) & 1)) {
                    ++run;
                    continue;
                }
                if (run)
                    t.skeleton[t.length++] = static_cast<char>('0' + run);
                run = 0;
                t.slot[file] = t.length;
                t.skeleton[t.length++] = '?';
            }
            if (run)
                t.skeleton[t.length++] = static_cast<char>('0' + run);
            for (unsigned file = 0; file < 8; ++file)
                if (!((pattern >> file) & 1))
                    t.slot[file] = t.length;
        }
        return texts;
    }();

    // The castling field and the space after it for each combination of the four rights
    // (bit 0 K, 1 Q, 2 k, 3 q).
    struct CastlingText {
        std::array<char, 8> text {};
        std::uint8_t length = 0;
    };

    constexpr std::array<CastlingText, 16> CASTLING_TEXTS = [] {
        std::array<CastlingText, 16> texts {};
        for (unsigned rights = 0; rights < 16; ++rights) {
            CastlingText& t = texts[rights];
            for (unsigned r = 0; r < 4; ++r)
                if ((rights >> r) & 1)
                    t.text[t.length++] = "KQkq"[r];
            if (t.length == 0)
                t.text[t.length++] = '-';
            t.text[t.length++] = ' ';
        }
        return texts;
    }();

    // PIECE_LETTERS with an entry for NO_PIECE.
    constexpr char LETTERS_OR_NOTHING[PIECE_COUNT + 1]
        = { 'P', 'N', 'B', 'R', 'Q', 'K', 'p', 'n', 'b', 'r', 'q', 'k', '?' };

} // namespace

// The common case in one pass: ASCII up to the end of the fourth field, at most eight ranks,
// every placement character a digit or a piece letter, a valid side and castling field. Anything
// else returns false with `board` untouched, and read_fen takes the general path, which gives
// the same board or the error or fault for it.
bool Board::read_plain_fen(std::string_view fen, Board& board) {
    std::size_t pos = 0;
    bool plain = true;
    const std::string_view placement = next_ascii_field(fen, pos, plain);
    const std::string_view side = next_ascii_field(fen, pos, plain);
    const std::string_view castling = next_ascii_field(fen, pos, plain);
    const std::string_view en_passant = next_ascii_field(fen, pos, plain);
    if (!plain || en_passant.empty() || side.size() != 1 || (side[0] != 'w' && side[0] != 'b'))
        return false;

    // Ranks are read last to first, as pieces_from_fen reads them.
    std::array<std::size_t, 9> rank_begin {};
    unsigned ranks = 0;
    rank_begin[0] = 0;
    for (std::size_t i = 0; i < placement.size(); ++i)
        if (placement[i] == '/') {
            if (++ranks == 8)
                return false;
            rank_begin[ranks] = i + 1;
        }
    rank_begin[ranks + 1] = placement.size() + 1;
    std::array<Bitboard, PIECE_COUNT> pieces {};
    std::uint64_t counter = 0;
    for (unsigned r = ranks + 1; r-- > 0;)
        for (std::size_t i = rank_begin[r]; i + 1 < rank_begin[r + 1]; ++i) {
            // Without branches on the kind of character, which follow no pattern: a digit ors
            // nothing into a board its value happens to name and advances by its value.
            const std::uint8_t code = PLACEMENT_BYTES[static_cast<unsigned char>(placement[i])];
            if (code == 0xFF) [[unlikely]]
                return false;
            const bool digit = code >= 16;
            const unsigned low = code & 15u;
            pieces[low] |= square_bit(counter % 64) & (digit ? 0 : ~Bitboard { 0 });
            counter += digit ? low : 1;
        }

    std::uint64_t info = side[0] == 'w' ? 1 : 0;
    for (const char c : castling) {
        if (c == '-')
            break;
        switch (c) {
        case 'K': info |= 1 << INFO_WHITE_KING_SIDE; break;
        case 'Q': info |= 1 << INFO_WHITE_QUEEN_SIDE; break;
        case 'k': info |= 1 << INFO_BLACK_KING_SIDE; break;
        case 'q': info |= 1 << INFO_BLACK_QUEEN_SIDE; break;
        default: return false;
        }
    }
    if (en_passant != "-")
        info |= en_passant_bit(static_cast<unsigned char>(en_passant[0]), info);

    board.move_stack.clear();
    board.pieces = pieces;
    board.info = info;
    board.resync();
    return true;
}

std::optional<Error> Board::read_fen(std::string_view fen, Board& board) {
    if (read_plain_fen(fen, board))
        return std::nullopt;
    board.move_stack.clear();
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

    const std::optional<std::string_view> en_passant = fields.next();
    check(en_passant.has_value(), MISSING_VALUE);
    if (*en_passant != "-")
        board.info |= en_passant_bit(decode_utf8(*en_passant, 0).value, board.info);

    board.resync();
    return std::nullopt;
}

Result<Board> Board::from_fen(std::string_view fen) {
    Board board;
    if (std::optional<Error> error = read_fen(fen, board))
        return std::move(*error);
    return board;
}

std::size_t Board::write_fen(char* out) const {
    // Rank by rank: the rank's text for its occupancy pattern (digits for the gaps, placeholders
    // for the pieces) is stored whole, then, unless the rank is empty, every square's letter is
    // stored at its place without a branch per square; an empty square's letter goes one past the
    // rank's text, where the next store (a slash or the space after the placement) lands anyway.
    Bitboard occupied = 0;
    for (const Bitboard b : pieces)
        occupied |= b;
    char* cursor = out;
    for (unsigned rank = 8; rank-- > 0;) {
        const unsigned pattern = static_cast<unsigned>(occupied >> (8 * rank)) & 0xFF;
        const RankText& text = RANK_TEXTS[pattern];
        std::memcpy(cursor, text.skeleton.data(), 8);
        if (pattern)
            for (unsigned file = 0; file < 8; ++file)
                cursor[text.slot[file]] = LETTERS_OR_NOTHING[piece_on[rank * 8 + file]];
        cursor += text.length;
        *cursor = '/';
        cursor += rank != 0;
    }
    // Side, castling and en-passant fields from tables, eight bytes at a time.
    const bool white = info & 1;
    const CastlingText& castling = CASTLING_TEXTS[(info >> INFO_WHITE_KING_SIDE) & 0xF];
    std::memcpy(cursor, white ? " w " : " b ", 3);
    std::memcpy(cursor + 3, castling.text.data(), 8);
    cursor += 3 + castling.length;
    const unsigned base = white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;
    const unsigned files = static_cast<unsigned>(info >> base) & 0xFF;
    if (files) {
        *cursor++ = static_cast<char>('a' + lsb(files));
        *cursor++ = white ? '6' : '3';
    } else {
        *cursor++ = '-';
    }
    return static_cast<std::size_t>(cursor - out);
}

std::string Board::to_fen() const {
    char text[FEN_MAX_LENGTH];
    return std::string(text, write_fen(text));
}

} // namespace quarn_chess
