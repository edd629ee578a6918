// Fuzz target: coordinate move text ("e2e4", "e7e8q") and the text form of move values.
//
// ChessMove::from_str either returns an Error whose message is one of the two notation messages
// followed by the trimmed text, throws a Fault with one of the square or index messages, or gives
// a move. A move read from text has special 0 (four characters) or 4..7 (five), came from plain
// ASCII, and writes back as the trimmed text with a lower-case promotion letter; that text reads
// back to the same value. Independently, the first two bytes taken as a raw move value must write
// (or fault with "explicit panic" for special 8..15) to a text that reads back to the same value,
// special 1..3 reading back as 0.
#include "chess_move.h"
#include "fault.h"
#include "fuzz_common.h"
#include "text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace quarn_chess;
using namespace quarn_chess::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr std::string_view NOTATION_ERROR
    = "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ";
constexpr std::string_view PROMOTION_ERROR = "Unsupported promotion type for ";

std::string_view trimmed_by_characters(std::string_view text) {
    const std::vector<Character> chars = characters(text);
    std::size_t first = 0;
    std::size_t last = chars.size();
    while (first < last && white_space(chars[first].value))
        ++first;
    while (last > first && white_space(chars[last - 1].value))
        --last;
    if (first == last)
        return text.substr(0, 0);
    return text.substr(chars[first].begin, chars[last - 1].end - chars[first].begin);
}

bool is_text_fault(const Fault& fault) {
    const std::string_view message = fault.what();
    return message == INDEX_OUT_OF_RANGE || message == "assertion failed: from_file <= 7"
        || message == "assertion failed: from_rank <= 7"
        || message == "assertion failed: to_file <= 7"
        || message == "assertion failed: to_rank <= 7";
}

bool is_promotion_letter(char c) {
    return std::string_view("nbrqNBRQ").find(c) != std::string_view::npos;
}

// Reads text that is known to be good; anything but a move is a finding.
ChessMove read_back(const std::string& text) {
    try {
        Result<ChessMove> again = ChessMove::from_str(text);
        expect(again.ok(), "the text form of a move does not read back", text);
        return again.value();
    } catch (const std::exception& e) {
        finding("reading the text form of a move threw", text + " : " + e.what());
    }
}

void check_text(std::string_view text) {
    const std::string_view trimmed = trimmed_by_characters(text);
    expect(trim_white_space(text) == trimmed, "trim_white_space disagrees with a code point trim",
        text);

    std::optional<Result<ChessMove>> read;
    try {
        read.emplace(ChessMove::from_str(text));
    } catch (const Fault& fault) {
        expect(is_text_fault(fault), "from_str faulted with an unexpected message", fault.what());
        // The length and promotion letter are checked before any square is read.
        expect(trimmed.size() == 4 || (trimmed.size() == 5 && is_promotion_letter(trimmed.back())),
            "from_str faulted before its length and promotion checks", text);
        return;
    } catch (const std::exception& e) {
        finding("from_str threw something other than Fault", e.what());
    }

    if (!read->ok()) {
        const std::string& message = read->error().message;
        if (trimmed.size() == 5)
            expect(!is_promotion_letter(trimmed.back())
                    && message == std::string(PROMOTION_ERROR) + std::string(trimmed),
                "wrong promotion error", message);
        else
            expect(trimmed.size() != 4
                    && message == std::string(NOTATION_ERROR) + std::string(trimmed),
                "wrong notation error", message);
        return;
    }

    const ChessMove chess_move = read->value();
    const unsigned special = chess_move.special();
    expect(trimmed.size() == 4 ? special == 0 : special >= 4 && special <= 7,
        "a move read from text has a wrong special code", text);
    for (const char c : trimmed)
        expect(static_cast<unsigned char>(c) < 0x80, "a move was read from non-ASCII text", text);
    std::string expected(trimmed);
    if (expected.size() == 5 && expected[4] >= 'A' && expected[4] <= 'Z')
        expected[4] = static_cast<char>(expected[4] - 'A' + 'a');
    const std::string written = chess_move.to_string();
    expect(written == expected, "the text form differs from the text read", written);
    expect(read_back(written) == chess_move, "the text form reads back to another move", written);
}

// A raw 16-bit move value: its text form reads back to it (special 1..3 as 0).
void check_value(std::uint16_t data) {
    const ChessMove chess_move { data };
    std::string written;
    try {
        written = chess_move.to_string();
    } catch (const Fault& fault) {
        expect(chess_move.special() >= 8 && std::string_view(fault.what()) == "explicit panic",
            "writing a move faulted unexpectedly", fault.what());
        return;
    }
    expect(chess_move.special() < 8, "a move with special 8..15 was written", written);
    expect(written.size() == (chess_move.special() >= 4 ? 5u : 4u),
        "wrong length of a written move", written);
    const std::uint16_t expected = chess_move.special() >= 1 && chess_move.special() <= 3
        ? static_cast<std::uint16_t>(data & 0x0FFF)
        : data;
    expect(
        read_back(written).data == expected, "a written move reads back to another value", written);

    // The checked constructor agrees with the packing for in-range parts.
    const ChessMove rebuilt
        = ChessMove::new_move(chess_move.from(), chess_move.to(), chess_move.special());
    expect(rebuilt == chess_move, "new_move does not rebuild the same value", written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    if (size >= 2)
        check_value(static_cast<std::uint16_t>(data[0] | data[1] << 8));
    return 0;
}
