// UTF-8 helpers for the text readers: code point decoding, Unicode white space, field splitting.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quarn_chess {

struct CodePoint {
    char32_t value;
    std::size_t size; // bytes taken from the text, at least 1
};

// Decodes the code point starting at byte `pos` of `text` (pos < text.size()). A malformed
// sequence yields U+FFFD and consumes one byte, so every byte string can be walked.
CodePoint decode_utf8(std::string_view text, std::size_t pos);

// The characters with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

// `text` without white space at either end.
std::string_view trim_white_space(std::string_view text);

// Walks the fields of a text: the pieces between runs of white space.
class FieldReader {
public:
    explicit FieldReader(std::string_view text)
        : text_(text) { }
    // The next field, or none when only white space (or nothing) is left.
    std::optional<std::string_view> next();

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace quarn_chess
