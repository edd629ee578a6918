// UTF-8 decoding and white-space handling for the FEN and move-text readers.
#include "text.h"

namespace quarn_chess {

CodePoint decode_utf8(std::string_view text, std::size_t pos) {
    constexpr CodePoint INVALID { 0xFFFD, 1 };
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80)
        return { lead, 1 };
    std::size_t size;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        size = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        size = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        size = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return INVALID;
    }
    if (pos + size > text.size())
        return INVALID;
    for (std::size_t i = 1; i < size; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80)
            return INVALID;
        value = value << 6 | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return INVALID;
    return { value, size };
}

namespace {

    // Byte length of the white-space character that ends at byte `end` (> 0), or 0.
    std::size_t white_space_before(std::string_view text, std::size_t end) {
        std::size_t start = end - 1;
        while (start > 0 && end - start < 4
            && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        const CodePoint c = decode_utf8(text, start);
        return start + c.size == end && is_white_space(c.value) ? c.size : 0;
    }

} // namespace

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const CodePoint c = decode_utf8(text, begin);
        if (!is_white_space(c.value))
            break;
        begin += c.size;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t size = white_space_before(text, end);
        if (size == 0)
            break;
        end -= size;
    }
    return text.substr(begin, end - begin);
}

std::optional<std::string_view> FieldReader::next() {
    while (pos_ < text_.size()) {
        const CodePoint c = decode_utf8(text_, pos_);
        if (!is_white_space(c.value))
            break;
        pos_ += c.size;
    }
    if (pos_ >= text_.size())
        return std::nullopt;
    const std::size_t begin = pos_;
    while (pos_ < text_.size()) {
        const CodePoint c = decode_utf8(text_, pos_);
        if (is_white_space(c.value))
            break;
        pos_ += c.size;
    }
    return text_.substr(begin, pos_ - begin);
}

} // namespace quarn_chess
