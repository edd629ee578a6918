// Coordinate move text: reading "e2e4" / "e7e8q" and writing moves back.
#include "chess_move.h"

#include "text.h"

namespace quarn_chess {

namespace {

    constexpr char PROMOTION_LETTERS[] = { 'n', 'b', 'r', 'q' };

    // (low byte of the code point - base) modulo 256, as the square checks read it.
    std::uint8_t coordinate(char32_t c, char base) {
        return static_cast<std::uint8_t>(
            static_cast<std::uint8_t>(c) - static_cast<std::uint8_t>(base));
    }

} // namespace

std::string ChessMove::square(std::uint16_t n) {
    std::string text;
    text += static_cast<char>('a' + file(n));
    text += std::to_string(rank(n) + 1);
    return text;
}

Result<ChessMove> ChessMove::from_str(std::string_view s_move) {
    const std::string_view trimmed = trim_white_space(s_move);
    std::uint16_t promotion = 0;
    if (trimmed.size() == 5) {
        switch (trimmed.back()) {
        case 'n':
        case 'N': promotion = 4; break;
        case 'b':
        case 'B': promotion = 5; break;
        case 'r':
        case 'R': promotion = 6; break;
        case 'q':
        case 'Q': promotion = 7; break;
        default: return Error { "Unsupported promotion type for " + std::string(trimmed) };
        }
    } else if (trimmed.size() != 4) {
        return Error { "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: "
            + std::string(trimmed) };
    }

    // At most five code points fit in five bytes.
    char32_t v_move[5];
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < trimmed.size() && count < 5; ++count) {
        const CodePoint c = decode_utf8(trimmed, pos);
        v_move[count] = c.value;
        pos += c.size;
    }

    check(count >= 2, INDEX_OUT_OF_RANGE);
    const std::uint8_t from_file = coordinate(v_move[0], 'a');
    check(from_file <= 7, "assertion failed: from_file <= 7");
    const std::uint8_t from_rank = coordinate(v_move[1], '1');
    check(from_rank <= 7, "assertion failed: from_rank <= 7");
    check(count >= 4, INDEX_OUT_OF_RANGE);
    const std::uint8_t to_file = coordinate(v_move[2], 'a');
    check(to_file <= 7, "assertion failed: to_file <= 7");
    const std::uint8_t to_rank = coordinate(v_move[3], '1');
    check(to_rank <= 7, "assertion failed: to_rank <= 7");

    return new_move(static_cast<std::uint16_t>(from_rank * 8 + from_file),
        static_cast<std::uint16_t>(to_rank * 8 + to_file), promotion);
}

std::size_t ChessMove::write(char* out) const {
    const unsigned code = special();
    if (code >= 8)
        fault("explicit panic");
    out[0] = static_cast<char>('a' + file(from()));
    out[1] = static_cast<char>('1' + rank(from()));
    out[2] = static_cast<char>('a' + file(to()));
    out[3] = static_cast<char>('1' + rank(to()));
    if (code < 4)
        return 4;
    out[4] = PROMOTION_LETTERS[code - 4];
    return 5;
}

std::string ChessMove::to_string() const {
    char text[5];
    return std::string(text, write(text));
}

} // namespace quarn_chess
