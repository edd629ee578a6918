// Helpers shared by the fuzz targets: reporting a broken invariant and a UTF-8 reader of their own.
#pragma once

#include "board.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace quarn_chess::fuzz {

// An invariant failed: say which, with the text involved, and abort so libFuzzer keeps the input.
[[noreturn]] inline void finding(const char* what, std::string_view detail) {
    std::fprintf(
        stderr, "FINDING: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    std::abort();
}

inline void expect(bool condition, const char* what, std::string_view detail) {
    if (!condition)
        finding(what, detail);
}

// One character of a text and the bytes it came from.
struct Character {
    char32_t value;
    std::size_t begin;
    std::size_t end;
};

// Bytes taken by a well-formed sequence starting with `lead`, 0 when no sequence starts so.
constexpr std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// The characters of a text, written apart from the library's decoder: a well-formed UTF-8
// sequence gives its code point, any other byte stands alone for U+FFFD.
inline std::vector<Character> characters(std::string_view text) {
    std::vector<Character> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t n = sequence_length(lead);
        char32_t value = n == 1 ? lead : n == 2 ? lead & 0x1F : n == 3 ? lead & 0x0F : lead & 0x07;
        bool good = n != 0 && i + n <= text.size();
        for (std::size_t k = 1; good && k < n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            good = (b & 0xC0) == 0x80;
            value = value << 6 | (b & 0x3F);
        }
        if (good && n == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF)))
            good = false;
        if (good && n == 4 && (value < 0x10000 || value > 0x10FFFF))
            good = false;
        out.push_back(good ? Character { value, i, i + n } : Character { 0xFFFD, i, i + 1 });
        i += good ? n : 1;
    }
    return out;
}

// The Unicode White_Space property.
constexpr bool white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

// The pieces of a text between runs of white space.
inline std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    const std::vector<Character> chars = characters(text);
    std::size_t i = 0;
    while (i < chars.size()) {
        while (i < chars.size() && white_space(chars[i].value))
            ++i;
        if (i == chars.size())
            break;
        const std::size_t first = i;
        while (i < chars.size() && !white_space(chars[i].value))
            ++i;
        out.push_back(text.substr(chars[first].begin, chars[i - 1].end - chars[first].begin));
    }
    return out;
}

// No move recorded.
inline bool history_is_empty(const Board& board) { return board.move_stack.empty(); }

} // namespace quarn_chess::fuzz
