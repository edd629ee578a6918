// The streaming PGN reader, SAN resolution, the strict start-position reader, game replay and the
// comment annotations.
#include "pgn.h"

#include "bits.h"
#include "lines.h"
#include "san.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarn_chess {

namespace {

    constexpr bool is_space(char c) {
        return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v';
    }

    // Bytes that end a word (a move, move number, result or NAG) in movetext, as a table.
    constexpr std::array<bool, 256> WORD_ENDS = [] {
        std::array<bool, 256> table {};
        for (const char c : std::string_view(" \n\r\t\f\v{}();[]\"$"))
            table[static_cast<unsigned char>(c)] = true;
        return table;
    }();
    constexpr bool ends_word(char c) { return WORD_ENDS[static_cast<unsigned char>(c)]; }

    // Check marks, glyphs and evaluation symbols that may be glued to the end of a move.
    constexpr std::array<bool, 256> MOVE_SUFFIX = [] {
        std::array<bool, 256> table {};
        for (const char c : std::string_view("+#!?-=/~"))
            table[static_cast<unsigned char>(c)] = true;
        return table;
    }();

    // Letters that start a move and nothing else (results, move numbers, NAGs and glyph words
    // start with a digit, '*', '$' or a glyph character); 'Z' is left out for the "Z0" null move.
    constexpr std::array<bool, 256> MOVE_START = [] {
        std::array<bool, 256> table {};
        for (const char c : std::string_view("abcdefghNBRQKOP"))
            table[static_cast<unsigned char>(c)] = true;
        return table;
    }();

    constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

    // The offset of the first of the bytes `Cs` in [p, p + n), n when there is none; sixteen
    // bytes at a time where SSE2 is there (every x86-64), which also spares the branch
    // mispredictions of a loop whose length changes from token to token.
    template <char... Cs> std::size_t find_first_of(const char* p, std::size_t n) {
        std::size_t i = 0;
#if defined(__SSE2__)
        for (; i + 16 <= n; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            __m128i hits = _mm_setzero_si128();
            ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(Cs)))), ...);
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
            if (mask)
                return i + static_cast<std::size_t>(std::countr_zero(mask));
        }
#endif
        for (; i < n; ++i)
            if (((p[i] == Cs) || ...))
                return i;
        return n;
    }

    // The first byte at or after i that ends a word, or end. Sixteen bytes at a time where SSE2
    // is there: a move's length changes from move to move, and a byte-by-byte loop's exit is a
    // branch misprediction per move. Bytes below '*' and the five brackets and semicolon are
    // candidates; the table decides ('!' and '#' are candidates that end nothing).
    inline std::size_t word_end(const char* data, std::size_t i, std::size_t end) {
#if defined(__SSE2__)
        while (i + 16 <= end) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            // Unsigned block < '*', as a signed compare of both sides moved by 0x80.
            const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
            __m128i hits = _mm_cmplt_epi8(
                _mm_xor_si128(block, flip), _mm_set1_epi8(static_cast<char>('*' ^ 0x80)));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(';')));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('[')));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(']')));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('{')));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('}')));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
            while (mask) {
                const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(mask));
                if (ends_word(data[at]))
                    return at;
                mask &= mask - 1;
            }
            i += 16;
        }
#endif
        while (i < end && !ends_word(data[i]))
            ++i;
        return i;
    }

    // REACH[kind][s]: the squares from which a piece of that kind (knight to king) can reach s on
    // an empty board, by a step or along a line.
    constexpr std::array<std::array<Bitboard, 64>, 6> REACH = [] {
        std::array<std::array<Bitboard, 64>, 6> reach {};
        for (unsigned s = 0; s < 64; ++s) {
            reach[KNIGHT][s] = KNIGHT_ATTACKS[s];
            reach[BISHOP][s] = LINES[BISHOP_IDX][s];
            reach[ROOK][s] = LINES[ROOK_IDX][s];
            reach[QUEEN][s] = LINES[BISHOP_IDX][s] | LINES[ROOK_IDX][s];
            reach[KING][s] = KING_ATTACKS[s];
        }
        return reach;
    }();

    constexpr bool is_file(char c) { return c >= 'a' && c <= 'h'; }

    constexpr std::array<bool, 256> TAG_NAME_CHARS = [] {
        std::array<bool, 256> table {};
        for (unsigned c = 0; c < 256; ++c)
            table[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                || c == '_' || c == '+' || c == '#' || c == '=' || c == ':' || c == '-';
        return table;
    }();
    constexpr bool is_tag_name_char(char c) {
        return TAG_NAME_CHARS[static_cast<unsigned char>(c)];
    }

    // Annotation glyphs and evaluation symbols written as words: "!", "?!", "+-", "=", "+/-".
    bool is_glyph_word(std::string_view w) {
        for (const char c : w)
            if (std::string_view("!?+-=/~").find(c) == std::string_view::npos)
                return false;
        return w != "--";
    }

    bool is_result(std::string_view w) {
        return w == "1-0" || w == "0-1" || w == "1/2-1/2" || w == "*";
    }

    std::string_view describe(PgnErrorKind kind) {
        switch (kind) {
        case PgnErrorKind::NONE: return "no error";
        case PgnErrorKind::BROKEN_TAG: return "broken tag";
        case PgnErrorKind::UNTERMINATED_COMMENT: return "unterminated comment";
        case PgnErrorKind::UNTERMINATED_VARIATION: return "unterminated variation";
        case PgnErrorKind::UNEXPECTED_TEXT: return "unexpected text";
        case PgnErrorKind::TRUNCATED: return "input ends inside the game";
        case PgnErrorKind::INVALID_SAN: return "invalid SAN";
        case PgnErrorKind::ILLEGAL_MOVE: return "illegal move";
        case PgnErrorKind::AMBIGUOUS_MOVE: return "ambiguous move";
        case PgnErrorKind::NULL_MOVE: return "null move";
        case PgnErrorKind::BAD_FEN: return "bad FEN tag";
        }
        return "error";
    }

} // namespace

std::string_view pgn_error_name(PgnErrorKind kind) {
    switch (kind) {
    case PgnErrorKind::NONE: return "none";
    case PgnErrorKind::BROKEN_TAG: return "broken_tag";
    case PgnErrorKind::UNTERMINATED_COMMENT: return "unterminated_comment";
    case PgnErrorKind::UNTERMINATED_VARIATION: return "unterminated_variation";
    case PgnErrorKind::UNEXPECTED_TEXT: return "unexpected_text";
    case PgnErrorKind::TRUNCATED: return "truncated";
    case PgnErrorKind::INVALID_SAN: return "invalid_san";
    case PgnErrorKind::ILLEGAL_MOVE: return "illegal_move";
    case PgnErrorKind::AMBIGUOUS_MOVE: return "ambiguous_move";
    case PgnErrorKind::NULL_MOVE: return "null_move";
    case PgnErrorKind::BAD_FEN: return "bad_fen";
    }
    return "error";
}

// --- the reader ------------------------------------------------------------------------------

// The chunk is read where it lies. Only a token cut by the end of the previous chunk is
// completed in buf_, from the kept bytes and the head of this chunk; once reading has passed
// the kept bytes it goes on in the chunk itself, and what the chunk leaves unread is kept.
bool PgnReader::feed(std::string_view data) {
    if (stopped_)
        return false;
    if (!buf_.empty()) {
        const std::size_t kept = buf_.size();
        const std::size_t head = std::min(data.size(), BRIDGE);
        buf_.append(data.substr(0, head));
        text_ = buf_;
        bridging_ = head < data.size();
        run(false, kept);
        bridging_ = false;
        if (pos_ < kept && !stopped_ && head < data.size()) {
            // A token longer than the bridge: read on with the whole chunk appended.
            buf_.append(data.substr(head));
            text_ = buf_;
            run(false, text_.size());
        }
        if (pos_ < kept || stopped_) {
            keep_rest();
            return !stopped_;
        }
        base_ += kept;
        pos_ -= kept;
        buf_.clear();
    }
    text_ = data;
    run(false, data.size());
    keep_rest();
    return !stopped_;
}

// Keeps the unread rest of text_ in buf_ for the next chunk.
void PgnReader::keep_rest() {
    base_ += pos_;
    if (stopped_)
        buf_.clear();
    else if (text_.data() == buf_.data())
        buf_.erase(0, pos_);
    else
        buf_.assign(text_.substr(pos_));
    pos_ = 0;
    text_ = buf_;
}

bool PgnReader::finish() {
    if (stopped_)
        return false;
    text_ = buf_;
    run(true, text_.size());
    if (stopped_)
        return false;
    if (mode_ == Mode::SKIP_COMMENT)
        fail(PgnErrorKind::UNTERMINATED_COMMENT, skip_start_, "{");
    else if (mode_ == Mode::SKIP_VARIATION)
        fail(PgnErrorKind::UNTERMINATED_VARIATION, skip_start_, "(");
    mode_ = Mode::TOKENS;
    if (in_game_) {
        fail(PgnErrorKind::TRUNCATED, offset(), "");
        end_game();
    }
    base_ += pos_;
    buf_.clear();
    pos_ = 0;
    return !stopped_;
}

void PgnReader::run(bool final, std::size_t limit) {
    if (at_start_) {
        constexpr std::string_view BOM = "\xEF\xBB\xBF";
        const std::string_view head = text_.substr(pos_, 3);
        if (head.size() < 3 && !final && BOM.starts_with(head))
            return;
        at_start_ = false;
        if (head == BOM)
            pos_ += 3;
    }
    const std::size_t end = text_.size();
    while (pos_ < limit && !stopped_) {
        switch (mode_) {
        case Mode::SKIP_LINE: skip_line(); continue;
        case Mode::SKIP_COMMENT: skip_comment(); continue;
        case Mode::SKIP_VARIATION: skip_variation(); continue;
        case Mode::SKIP_WORD: skip_word(); continue;
        case Mode::TOKENS: break;
        }
        if (in_movetext_) {
            run_movetext(final);
            if (pos_ >= end || stopped_ || mode_ != Mode::TOKENS)
                continue;
        }
        const char c = text_[pos_];
        if (c == ' ') {
            // Runs of spaces change nothing but the position.
            ++pos_;
            while (pos_ < end && text_[pos_] == ' ')
                ++pos_;
            continue;
        }
        if (is_space(c)) {
            if (c == '\n') {
                ++newlines_;
                line_start_ = true;
                if (newlines_ >= 2 && in_game_ && in_movetext_)
                    end_game();
            }
            ++pos_;
            continue;
        }
        const bool line_start = line_start_ || pos_ + base_ == 0;
        line_start_ = false;
        bool complete = true;
        switch (c) {
        case '[':
            if (in_game_ && in_movetext_)
                end_game();
            complete = read_tag(final);
            break;
        case '{':
            ensure_game(offset());
            ensure_movetext();
            complete = read_comment(final);
            break;
        case ';': mode_ = Mode::SKIP_LINE; break;
        case '%':
            if (line_start) {
                mode_ = Mode::SKIP_LINE;
                break;
            }
            complete = read_word(final);
            break;
        case '(':
            ensure_game(offset());
            ensure_movetext();
            mode_ = Mode::SKIP_VARIATION;
            variation_depth_ = 1;
            variation_in_comment_ = false;
            variation_in_line_comment_ = false;
            skip_newlines_ = 0;
            skip_start_ = offset();
            ++pos_;
            break;
        case ')':
        case '}':
        case ']':
            // Stray closers carry no move; python-chess passes over them too.
            ++pos_;
            break;
        default: complete = read_word(final); break;
        }
        if (!complete) {
            line_start_ = line_start;
            return;
        }
        if (mode_ == Mode::TOKENS || mode_ == Mode::SKIP_VARIATION)
            newlines_ = 0;
    }
}

// Tokens that break out of the loop are read again from their first byte by the general
// dispatch, which also reports a token cut by the end of the buffer.
void PgnReader::run_movetext(bool final) {
    const char* data = text_.data();
    const std::size_t end = text_.size();
    std::size_t i = pos_;
    // Whether a token has been read: line_start_ and newlines_ are reset once, on the way out.
    bool read = false;
    while (i < end) {
        const char c = data[i];
        if (c == ' ') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        std::size_t san_start = i;
        if (is_digit(c)) {
            // A move number: digits, then dots, then a delimiter or a move ("1.e4").
            ++i;
            while (i < end && is_digit(data[i]))
                ++i;
            const std::size_t digits_end = i;
            if (end - i > 3 && data[i] == '.')
                i += 1 + 2 * ((data[i + 1] == '.') & (data[i + 2] == '.')); // "1." or "1..."
            while (i < end && data[i] == '.')
                ++i;
            if (i == end || i - start > 256) {
                i = start;
                break;
            }
            if (ends_word(data[i])) {
                read = true;
                continue;
            }
            if (i == digits_end || !MOVE_START[static_cast<unsigned char>(data[i])]) {
                i = start;
                break;
            }
            san_start = i;
        } else if (c == '{') {
            // A comment closed on its line is reported here; any other goes to read_comment,
            // which may end the game or switch to skipping.
            const std::size_t close = i + 1 + find_first_of<'}', '\n'>(data + i + 1, end - i - 1);
            if (close < end && data[close] == '}') {
                if (replaying_ && comments_)
                    visitor_.comment(std::string_view(data + i + 1, close - i - 1));
                i = close + 1;
                read = true;
                continue;
            }
            if (read) {
                line_start_ = false;
                newlines_ = 0;
            }
            pos_ = i;
            const bool line_start = line_start_;
            line_start_ = false;
            if (!read_comment(final)) {
                line_start_ = line_start;
                return;
            }
            if (mode_ != Mode::TOKENS || !in_movetext_)
                return;
            newlines_ = 0;
            i = pos_;
            continue;
        } else if (!MOVE_START[static_cast<unsigned char>(c)]) {
            break;
        }
        // A move; check marks and glyphs glued to it are dropped.
        i = word_end(data, i + 1, end);
        if (i == end || i - start > 256) {
            i = start;
            break;
        }
        std::size_t stop = i;
        while (MOVE_SUFFIX[static_cast<unsigned char>(data[stop - 1])])
            --stop;
        read = true;
        if (replaying_) {
            const std::string_view san(data + san_start, stop - san_start);
            const PgnErrorKind kind = visitor_.move(san, base_ + san_start);
            if (kind != PgnErrorKind::NONE)
                fail(kind, base_ + san_start, std::string_view(data + san_start, i - san_start));
        }
    }
    if (read) {
        line_start_ = false;
        newlines_ = 0;
    }
    pos_ = i;
}

// Reads [Name "value"] from pos_. The value's escapes are resolved into scratch_.
bool PgnReader::read_tag(bool final) {
    const std::size_t end = text_.size();
    const std::size_t start = pos_;
    std::size_t i = start + 1;
    const auto broken = [&](std::size_t at) {
        ensure_game(base_ + start);
        fail(PgnErrorKind::BROKEN_TAG, base_ + start,
            text_.substr(start, std::min<std::size_t>(at - start, 80)));
        // The rest of the line belongs to the broken tag.
        pos_ = at;
        mode_ = Mode::SKIP_LINE;
        return true;
    };
    const auto need_more = [&]() {
        if (bridging_)
            return false;
        if (final)
            return broken(end);
        if (end - start > MAX_TOKEN)
            return broken(end);
        return false;
    };
    while (i < end && (text_[i] == ' ' || text_[i] == '\t'))
        ++i;
    const std::size_t name_begin = i;
    while (i < end && is_tag_name_char(text_[i]))
        ++i;
    const std::size_t name_end = i;
    if (i == end)
        return need_more();
    if (name_end == name_begin || !(text_[i] == ' ' || text_[i] == '\t'))
        return broken(i);
    while (i < end && (text_[i] == ' ' || text_[i] == '\t'))
        ++i;
    if (i == end)
        return need_more();
    if (text_[i] != '"')
        return broken(i);
    ++i;
    // The value is passed as it lies when it holds no escape; escapes are resolved into scratch_.
    const std::size_t value_begin = i;
    i += find_first_of<'"', '\\', '\n'>(text_.data() + i, end - i);
    std::string_view value = text_.substr(value_begin, i - value_begin);
    if (i < end && text_[i] != '"') {
        scratch_.assign(value);
        while (true) {
            if (i == end)
                return need_more();
            const char c = text_[i];
            if (c == '"')
                break;
            if (c == '\n')
                return broken(i);
            if (c == '\\' && i + 1 < end && (text_[i + 1] == '"' || text_[i + 1] == '\\')) {
                scratch_ += text_[i + 1];
                i += 2;
            } else if (c == '\\' && i + 1 == end) {
                return need_more();
            } else {
                scratch_ += c;
                ++i;
            }
            // Plain runs are appended whole.
            const std::size_t run_begin = i;
            i += find_first_of<'"', '\\', '\n'>(text_.data() + i, end - i);
            scratch_.append(text_.data() + run_begin, i - run_begin);
        }
        value = scratch_;
    }
    if (i == end)
        return need_more();
    ++i;
    while (i < end && (text_[i] == ' ' || text_[i] == '\t'))
        ++i;
    if (i == end)
        return need_more();
    if (text_[i] != ']') {
        // Programs write names with quotes unescaped ([White ""Deep Thought""]): the value is
        // then the raw text between the first quote and the last one of the line, which must
        // close the tag (python-chess reads such lines so). Anything else stays broken.
        const void* newline = std::memchr(text_.data() + i, '\n', end - i);
        if (newline == nullptr && !final)
            return need_more();
        std::size_t line_end = newline
            ? static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data())
            : end;
        while (line_end > value_begin
            && (text_[line_end - 1] == ' ' || text_[line_end - 1] == '\t'
                || text_[line_end - 1] == '\r'))
            --line_end;
        if (line_end - value_begin < 2 || text_[line_end - 1] != ']' || text_[line_end - 2] != '"')
            return broken(i);
        value = text_.substr(value_begin, line_end - 2 - value_begin);
        i = line_end - 1;
    }
    // Longer tags are refused however the input is cut: read in chunks, a tag cut by a chunk's
    // end is refused once that much of it has been seen.
    if (i + 1 - start > MAX_TOKEN)
        return broken(i + 1);
    // A tag section that follows a game's movetext starts the next game (handled by the caller);
    // tags after a blank line inside a tag section still belong to the same game.
    ensure_game(base_ + start);
    if (error_.kind == PgnErrorKind::NONE)
        visitor_.tag(text_.substr(name_begin, name_end - name_begin), value);
    pos_ = i + 1;
    return true;
}

// Reads a { comment } from pos_. A blank line followed by a tag line inside it means the brace
// was never closed: the game is refused and reading resumes at the tag.
bool PgnReader::read_comment(bool final) {
    const std::size_t end = text_.size();
    const std::size_t start = pos_;
    const char* data = text_.data();
    // Most comments are closed on their line, with no newline before the brace.
    const std::size_t first
        = start + 1 + find_first_of<'}', '\n'>(data + start + 1, end - start - 1);
    if (first < end && data[first] == '}') {
        if (replaying_ && comments_)
            visitor_.comment(std::string_view(data + start + 1, first - start - 1));
        pos_ = first + 1;
        return true;
    }
    const void* close = std::memchr(data + start + 1, '}', end - start - 1);
    const std::size_t stop
        = close ? static_cast<std::size_t>(static_cast<const char*>(close) - data) : end;
    if (std::memchr(data + start + 1, '\n', stop - start - 1)) {
        unsigned newlines = 0;
        for (std::size_t i = start + 1; i < stop; ++i) {
            const char c = data[i];
            if (c == '\n') {
                ++newlines;
            } else if (c == '[' && newlines >= 2 && data[i - 1] == '\n') {
                fail(PgnErrorKind::UNTERMINATED_COMMENT, base_ + start, "{");
                end_game();
                pos_ = i;
                line_start_ = true;
                return true;
            } else if (!is_space(c)) {
                newlines = 0;
            }
        }
        if (!close) {
            skip_newlines_ = newlines;
        }
    } else if (!close) {
        skip_newlines_ = 0;
    }
    if (close) {
        if (replaying_ && comments_)
            visitor_.comment(text_.substr(start + 1, stop - start - 1));
        pos_ = stop + 1;
        return true;
    }
    if (final) {
        fail(PgnErrorKind::UNTERMINATED_COMMENT, base_ + start, "{");
        pos_ = end;
        return true;
    }
    if (end - start > MAX_TOKEN && !bridging_) {
        // Too long to keep: the rest is skipped unread (annotations in it are lost).
        mode_ = Mode::SKIP_COMMENT;
        skip_start_ = base_ + start;
        pos_ = end;
        return true;
    }
    return false;
}

// Reads a word (everything up to the next delimiter) from pos_.
bool PgnReader::read_word(bool final) {
    const std::size_t end = text_.size();
    const std::size_t start = pos_;
    std::size_t i = start + 1;
    while (i < end && !ends_word(text_[i]))
        ++i;
    if (i == end && !final) {
        if (end - start <= 256 || bridging_)
            return false;
        // What word() does with the whole word, done without waiting for its end: the rest of
        // the word is skipped, and the tokens after it are read as they would be.
        ensure_game(base_ + start);
        ensure_movetext();
        fail(PgnErrorKind::UNEXPECTED_TEXT, base_ + start, text_.substr(start, 80));
        newlines_ = 0;
        mode_ = Mode::SKIP_WORD;
        pos_ = end;
        return true;
    }
    pos_ = i;
    word(text_.substr(start, i - start), base_ + start);
    return true;
}

void PgnReader::word(std::string_view text, std::uint64_t offset) {
    ensure_game(offset);
    ensure_movetext();
    if (MOVE_START[static_cast<unsigned char>(text[0])] && text.size() <= 256) {
        san_word(text, offset);
        return;
    }
    if (text.size() > 256) {
        fail(PgnErrorKind::UNEXPECTED_TEXT, offset, text.substr(0, 80));
        return;
    }
    if (is_result(text)) {
        saw_result_ = true;
        if (replaying_)
            visitor_.result(text);
        end_game();
        return;
    }
    if (text[0] == '$') {
        bool digits = text.size() > 1;
        for (const char c : text.substr(1))
            digits = digits && is_digit(c);
        if (!digits)
            fail(PgnErrorKind::UNEXPECTED_TEXT, offset, text);
        return;
    }
    if (is_digit(text[0]) && !text.starts_with("0-0")) {
        // A move number: digits, then dots; a move may follow without a space ("1.e4").
        std::size_t i = 0;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        const std::size_t digits_end = i;
        while (i < text.size() && text[i] == '.')
            ++i;
        if (i == text.size())
            return;
        if (i == digits_end) {
            fail(PgnErrorKind::UNEXPECTED_TEXT, offset, text);
            return;
        }
        san_word(text.substr(i), offset + i);
        return;
    }
    if (is_glyph_word(text))
        return;
    san_word(text, offset);
}

void PgnReader::san_word(std::string_view text, std::uint64_t offset) {
    if (text.size() <= 4 && (text == "--" || text == "Z0" || text == "0000" || text == "@@@@")) {
        fail(PgnErrorKind::NULL_MOVE, offset, text);
        return;
    }
    std::string_view san = text;
    // Check marks, glyphs and evaluation symbols glued to the move ("Nc6+-").
    while (!san.empty() && MOVE_SUFFIX[static_cast<unsigned char>(san.back())])
        san.remove_suffix(1);
    if (san.empty()) {
        fail(PgnErrorKind::UNEXPECTED_TEXT, offset, text);
        return;
    }
    if (!replaying_)
        return;
    const PgnErrorKind kind = visitor_.move(san, offset);
    if (kind != PgnErrorKind::NONE)
        fail(kind, offset, text);
}

void PgnReader::skip_line() {
    const char* begin = text_.data() + pos_;
    const void* newline = std::memchr(begin, '\n', text_.size() - pos_);
    if (!newline) {
        pos_ = text_.size();
        return;
    }
    pos_ = static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data()) + 1;
    mode_ = Mode::TOKENS;
    newlines_ = 1;
    line_start_ = true;
}

void PgnReader::skip_word() {
    const std::size_t end = text_.size();
    while (pos_ < end && !ends_word(text_[pos_]))
        ++pos_;
    if (pos_ < end)
        mode_ = Mode::TOKENS;
}

void PgnReader::skip_comment() {
    const std::size_t end = text_.size();
    for (; pos_ < end; ++pos_) {
        const char c = text_[pos_];
        if (c == '}') {
            ++pos_;
            mode_ = Mode::TOKENS;
            return;
        }
        if (c == '\n') {
            ++skip_newlines_;
        } else if (c == '[' && skip_newlines_ >= 2 && pos_ > 0 && text_[pos_ - 1] == '\n') {
            fail(PgnErrorKind::UNTERMINATED_COMMENT, skip_start_, "{");
            end_game();
            mode_ = Mode::TOKENS;
            line_start_ = true;
            return;
        } else if (!is_space(c)) {
            skip_newlines_ = 0;
        }
    }
}

// Skips a variation with everything nested in it. Comments inside may hold parentheses. A blank
// line outside comments ends the game: the variation was never closed.
void PgnReader::skip_variation() {
    const std::size_t end = text_.size();
    for (; pos_ < end; ++pos_) {
        const char c = text_[pos_];
        if (variation_in_line_comment_) {
            if (c == '\n')
                variation_in_line_comment_ = false;
            continue;
        }
        if (variation_in_comment_) {
            if (c == '}')
                variation_in_comment_ = false;
            continue;
        }
        switch (c) {
        case '(': ++variation_depth_; break;
        case ')':
            if (--variation_depth_ == 0) {
                ++pos_;
                mode_ = Mode::TOKENS;
                newlines_ = 0;
                return;
            }
            break;
        case '{': variation_in_comment_ = true; break;
        case ';': variation_in_line_comment_ = true; break;
        default: break;
        }
        if (c == '\n') {
            if (++skip_newlines_ >= 2) {
                fail(PgnErrorKind::UNTERMINATED_VARIATION, skip_start_, "(");
                end_game();
                mode_ = Mode::TOKENS;
                newlines_ = 0;
                ++pos_;
                line_start_ = true;
                return;
            }
        } else if (!is_space(c)) {
            skip_newlines_ = 0;
        }
    }
}

void PgnReader::ensure_game(std::uint64_t offset) {
    if (in_game_)
        return;
    in_game_ = true;
    in_movetext_ = false;
    replaying_ = false;
    saw_result_ = false;
    error_ = PgnError {};
    visitor_.begin_game(games_, offset);
    ++games_;
}

void PgnReader::ensure_movetext() {
    if (in_movetext_)
        return;
    in_movetext_ = true;
    replaying_ = error_.kind == PgnErrorKind::NONE && visitor_.begin_movetext();
}

// Keeps the first error of the game; the rest of the game is only scanned.
void PgnReader::fail(PgnErrorKind kind, std::uint64_t offset, std::string_view token) {
    if (!in_game_)
        ensure_game(offset);
    replaying_ = false;
    if (error_.kind != PgnErrorKind::NONE)
        return;
    error_.kind = kind;
    error_.game = games_ - 1;
    error_.offset = offset;
    error_.message = "game ";
    error_.message += std::to_string(games_ - 1);
    error_.message += ", byte ";
    error_.message += std::to_string(offset);
    error_.message += ": ";
    error_.message += describe(kind);
    if (!token.empty()) {
        error_.message += " '";
        for (const char c : token)
            error_.message += static_cast<unsigned char>(c) >= 0x20 && c != 0x7F ? c : '?';
        error_.message += '\'';
    }
}

void PgnReader::end_game() {
    if (!in_game_)
        return;
    in_game_ = false;
    in_movetext_ = false;
    replaying_ = false;
    const bool good = error_.kind == PgnErrorKind::NONE;
    if (!visitor_.end_game(good ? nullptr : &error_))
        stopped_ = true;
    error_ = PgnError {};
}

// --- start positions ---------------------------------------------------------------------------

Result<StartPosition> read_start_fen(const MoveGenerator& generator, std::string_view fen) {
    std::string_view fields[6];
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < fen.size()) {
        while (i < fen.size() && is_space(fen[i]))
            ++i;
        if (i == fen.size())
            break;
        const std::size_t begin = i;
        while (i < fen.size() && !is_space(fen[i]))
            ++i;
        if (count == 6)
            return Error { "too many fields" };
        fields[count++] = fen.substr(begin, i - begin);
    }
    if (count != 4 && count != 6)
        return Error { "expected 4 or 6 fields" };

    StartPosition start;
    Board& board = start.board;
    constexpr std::string_view LETTERS = "PNBRQKpnbrqk";
    unsigned rank = 7;
    unsigned file = 0;
    for (const char c : fields[0]) {
        if (c == '/') {
            if (file != 8 || rank == 0)
                return Error { "bad placement" };
            --rank;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file += static_cast<unsigned>(c - '0');
            if (file > 8)
                return Error { "bad placement" };
        } else {
            const std::size_t piece = LETTERS.find(c);
            if (piece == std::string_view::npos || file >= 8)
                return Error { "bad placement" };
            board.pieces[piece] |= square_bit(rank * 8 + file);
            ++file;
        }
    }
    if (rank != 0 || file != 8)
        return Error { "bad placement" };

    if (fields[1] != "w" && fields[1] != "b")
        return Error { "bad side to move" };
    const bool white = fields[1] == "w";
    board.info = white ? 1 : 0;

    if (fields[2] != "-") {
        for (const char c : fields[2]) {
            const std::size_t right = std::string_view("KQkq").find(c);
            if (right == std::string_view::npos)
                return Error { "bad castling rights" };
            board.info |= std::uint64_t { 1 } << (INFO_WHITE_KING_SIDE + right);
        }
    }
    // Rights without their king and rook at home are dropped.
    const auto& p = board.pieces;
    const auto keep = [&](unsigned bit, PieceIndex king, unsigned king_square, PieceIndex rook,
                          unsigned rook_square) {
        if (!(p[king] & square_bit(king_square)) || !(p[rook] & square_bit(rook_square)))
            board.info &= ~(std::uint64_t { 1 } << bit);
    };
    keep(INFO_WHITE_KING_SIDE, KING, 4, ROOK, 7);
    keep(INFO_WHITE_QUEEN_SIDE, KING, 4, ROOK, 0);
    keep(INFO_BLACK_KING_SIDE, BLACK_OFFSET + KING, 60, BLACK_OFFSET + ROOK, 63);
    keep(INFO_BLACK_QUEEN_SIDE, BLACK_OFFSET + KING, 60, BLACK_OFFSET + ROOK, 56);

    if (fields[3] != "-") {
        const std::string_view ep = fields[3];
        if (ep.size() != 2 || !is_file(ep[0]) || ep[1] != (white ? '6' : '3'))
            return Error { "bad en-passant square" };
        const unsigned ep_file = static_cast<unsigned>(ep[0] - 'a');
        // Kept only behind a pawn that can have just double-stepped.
        const unsigned pawn_square = white ? 32 + ep_file : 24 + ep_file;
        const PieceIndex pawn = white ? BLACK_OFFSET + PAWN : PAWN;
        if (p[pawn] & square_bit(pawn_square))
            board.info |= std::uint64_t { 1 }
                << ((white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE) + ep_file);
    }

    if (count == 6) {
        unsigned clock = 0;
        for (const char c : fields[4]) {
            if (!is_digit(c) || clock > 100000)
                return Error { "bad half-move clock" };
            clock = clock * 10 + static_cast<unsigned>(c - '0');
        }
        for (const char c : fields[5])
            if (!is_digit(c))
                return Error { "bad move number" };
        start.halfmove_clock = clock;
    }

    if (popcount(p[KING]) != 1 || popcount(p[BLACK_OFFSET + KING]) != 1)
        return Error { "each side needs one king" };
    constexpr Bitboard BACK_RANKS = 0xFF000000000000FF;
    if ((p[PAWN] | p[BLACK_OFFSET + PAWN]) & BACK_RANKS)
        return Error { "pawn on the first or last rank" };
    const unsigned other_king = lsb(p[white ? BLACK_OFFSET + KING : KING]);
    if (generator.square_in_check(board, other_king, white ? 0 : 1))
        return Error { "the side not to move is in check" };
    board.resync();
    return start;
}

// --- replay ------------------------------------------------------------------------------------

GameReplay::GameReplay(const MoveGenerator& generator)
    : generator_(generator)
    , board_(Board::from_fen(START_FEN).value())
    , start_(board_) {
    sync_sides();
}

void GameReplay::clear_history() {
    board_.move_stack.clear();
    ply_ = 0;
}

void GameReplay::set_position(const Board& position) {
    board_.pieces = position.pieces;
    board_.info = position.info;
    board_.zobrist = position.zobrist;
    board_.piece_on = position.piece_on;
    board_.disjoint = position.disjoint;
    sync_sides();
}

void GameReplay::sync_sides() {
    sides_ = { board_.side_mask(WHITE_OFFSET), board_.side_mask(BLACK_OFFSET) };
    check_ = -1;
}

void GameReplay::reset() {
    clear_history();
    set_position(start_);
    halfmove_clock_ = 0;
}

std::optional<Error> GameReplay::reset(std::string_view fen) {
    Result<StartPosition> start = read_start_fen(generator_, fen);
    if (!start.ok()) {
        reset();
        return start.error();
    }
    clear_history();
    set_position(start.value().board);
    halfmove_clock_ = start.value().halfmove_clock;
    return std::nullopt;
}

// Whether the side to move is in check, worked out once per position. Sliders are looked up
// only when one stands on a line through the king.
// Whether a piece of `theirs` (the bitboards of one side by piece kind; `white` is the other
// side) attacks `square` through the given occupancy.
[[gnu::always_inline]] inline bool GameReplay::attacked(
    unsigned square, Bitboard occupancy, const Bitboard* theirs, bool white) const {
    if ((KNIGHT_ATTACKS[square] & theirs[KNIGHT])
        || (PAWN_ATTACKS[white ? 0 : 1][square] & theirs[PAWN])
        || (KING_ATTACKS[square] & theirs[KING]))
        return true;
    Bitboard sliders = (LINES[ROOK_IDX][square] & (theirs[QUEEN] | theirs[ROOK]))
        | (LINES[BISHOP_IDX][square] & (theirs[QUEEN] | theirs[BISHOP]));
    while (sliders)
        if (!(BETWEEN[square][pop_lsb(sliders)] & occupancy))
            return true;
    return false;
}

// Whether the side to move is in check, worked out once per position.
[[gnu::always_inline]] inline bool GameReplay::in_check() {
    if (check_ < 0) {
        const bool white = board_.info & 1;
        const Bitboard* mine = board_.pieces.data() + (white ? WHITE_OFFSET : BLACK_OFFSET);
        const Bitboard* theirs = board_.pieces.data() + (white ? BLACK_OFFSET : WHITE_OFFSET);
        check_ = attacked(lsb(mine[KING]), sides_[0] | sides_[1], theirs, white) ? 1 : 0;
    }
    return check_ != 0;
}

// Whether a move (not castling, not en passant) leaves the mover's king unattacked. A king step
// is tested on the board without the king (a piece on the target square attacks nothing there).
// Out of check, a piece can only uncover an attack along a line from the king on which an enemy
// slider of that line's kind stands; other moves are safe at once. The rest is tested on the
// occupancy after the move, with a piece taken on the target square removed from the attackers:
// only a slider can be uncovered, and a checker can only be taken or blocked on the target
// square. Boards with other than one king take the make-and-unmake test.
[[gnu::always_inline]] inline bool GameReplay::keeps_king_safe(ChessMove m) {
    const bool white = board_.info & 1;
    const Bitboard* mine = board_.pieces.data() + (white ? WHITE_OFFSET : BLACK_OFFSET);
    const Bitboard* theirs = board_.pieces.data() + (white ? BLACK_OFFSET : WHITE_OFFSET);
    const Bitboard king = mine[KING];
    const Bitboard from = square_bit(m.from());
    const Bitboard occupied = sides_[0] | sides_[1];
    if (king & from)
        return !attacked(m.to(), occupied ^ from, theirs, white);
    if (!king || (king & (king - 1))) [[unlikely]]
        return generator_.leaves_king_safe(board_, m);
    const unsigned square = lsb(king);
    const Bitboard straight = LINES[ROOK_IDX][square] & (theirs[QUEEN] | theirs[ROOK]);
    const Bitboard diagonal = LINES[BISHOP_IDX][square] & (theirs[QUEEN] | theirs[BISHOP]);
    // Bitwise, not short-circuit: these conditions follow no pattern a predictor could learn.
    const bool pin_possible = (((LINES[ROOK_IDX][square] & from) != 0) & (straight != 0))
        | (((LINES[BISHOP_IDX][square] & from) != 0) & (diagonal != 0));
    if (!pin_possible) {
        // Out of reach of every enemy slider, only a knight, a pawn or the king can give check.
        if (!(straight | diagonal)) {
            if (!((KNIGHT_ATTACKS[square] & theirs[KNIGHT])
                    | (PAWN_ATTACKS[white ? 0 : 1][square] & theirs[PAWN])
                    | (KING_ATTACKS[square] & theirs[KING])))
                return true;
        } else if (!in_check()) {
            return true;
        }
    }
    const Bitboard to = square_bit(m.to());
    if (((KNIGHT_ATTACKS[square] & theirs[KNIGHT])
            | (PAWN_ATTACKS[white ? 0 : 1][square] & theirs[PAWN])
            | (KING_ATTACKS[square] & theirs[KING]))
        & ~to)
        return false;
    const Bitboard after = (occupied ^ from) | to;
    Bitboard sliders = (straight | diagonal) & ~to;
    while (sliders)
        if (!(BETWEEN[square][pop_lsb(sliders)] & after))
            return false;
    return true;
}

// "O-O" and "O-O-O" exactly as the generator allows them: the right, the king on its home square
// and not in check, the squares next to it empty and unattacked (and b1 / b8 empty).
ChessMove GameReplay::quick_castle(std::string_view san) {
    const bool king_side = san.size() == 3;
    if (!(king_side || san == "O-O-O") || san.substr(0, 3) != "O-O")
        return {};
    const bool white = board_.info & 1;
    const unsigned home = white ? 4 : 60;
    const unsigned right = white ? (king_side ? INFO_WHITE_KING_SIDE : INFO_WHITE_QUEEN_SIDE)
                                 : (king_side ? INFO_BLACK_KING_SIDE : INFO_BLACK_QUEEN_SIDE);
    if (!((board_.info >> right) & 1)
        || board_.pieces[(white ? WHITE_OFFSET : BLACK_OFFSET) + KING] != square_bit(home))
        return {};
    const Bitboard occupied = sides_[0] | sides_[1];
    const unsigned first = king_side ? home + 1 : home - 1;
    const unsigned second = king_side ? home + 2 : home - 2;
    const Bitboard between = square_bit(first) | square_bit(second)
        | (king_side ? Bitboard { 0 } : square_bit(home - 3));
    if ((occupied & between) || in_check())
        return {};
    const std::uint64_t to_move = white ? 1 : 0;
    if (generator_.square_in_check(board_, first, to_move)
        || generator_.square_in_check(board_, second, to_move))
        return {};
    return ChessMove::packed(home, second, ChessMove::CASTLING);
}

// The common SAN forms of real games ("e4", "exd5", "e8=Q", "Nf3", "Nbxd2", "R1e7") resolved
// without listing every legal move: the candidates come from the attack tables and each is
// tested by making it. Anything else, and any SAN that does not name exactly one legal move this
// way, goes to the full path (match_san over the legal moves), which also classifies errors.
[[gnu::always_inline]] inline ChessMove GameReplay::quick_move(std::string_view san) {
    const std::size_t n = san.size();
    if (n - 2 > 5) // n < 2 or n > 7
        return {};
    if (san[0] == 'O')
        return quick_castle(san);
    const bool white = board_.info & 1;
    const PieceIndex own = white ? WHITE_OFFSET : BLACK_OFFSET;
    const Bitboard mine = sides_[white ? 0 : 1];
    const Bitboard occupied = sides_[0] | sides_[1];

    std::size_t i = 0;
    PieceIndex piece = PAWN;
    switch (san[0]) {
    case 'N': piece = KNIGHT; break;
    case 'B': piece = BISHOP; break;
    case 'R': piece = ROOK; break;
    case 'Q': piece = QUEEN; break;
    case 'K': piece = KING; break;
    default: break;
    }
    if (piece != PAWN)
        i = 1;
    std::size_t j = n;
    unsigned promotion = 0;
    if (san[n - 2] == '=' && piece == PAWN && n >= 4) {
        const std::size_t code = std::string_view("NBRQ").find(san[n - 1]);
        if (code == std::string_view::npos)
            return {};
        promotion = static_cast<unsigned>(code) + ChessMove::PROMOTE_KNIGHT;
        j = n - 2;
    }
    if (j < i + 2 || !is_file(san[j - 2]) || san[j - 1] < '1' || san[j - 1] > '8')
        return {};
    const unsigned to = static_cast<unsigned>(san[j - 1] - '1') * 8 + (san[j - 2] - 'a');
    const Bitboard to_bit = square_bit(to);
    if (mine & to_bit)
        return {};
    // What stands between the piece letter and the square: a file, a rank, "x".
    Bitboard from_mask = ~Bitboard { 0 };
    bool capture_mark = false;
    bool file_given = false;
    bool rank_given = false;
    std::size_t k = i;
    if (k < j - 2 && is_file(san[k])) {
        from_mask &= Bitboard { 0x0101010101010101 } << (san[k++] - 'a');
        file_given = true;
    }
    if (k < j - 2 && san[k] >= '1' && san[k] <= '8') {
        from_mask &= Bitboard { 0xFF } << (8 * (san[k++] - '1'));
        rank_given = true;
    }
    if (k < j - 2 && san[k] == 'x') {
        capture_mark = true;
        ++k;
    }
    if (k != j - 2)
        return {};

    const bool last_rank = white ? to >= 56 : to < 8;
    if (piece == PAWN) {
        if ((promotion != 0) != last_rank)
            return {};
        const Bitboard pawns = board_.pieces[own + PAWN];
        const int forward = white ? 8 : -8;
        if (!file_given && !rank_given) {
            // A push: one step, or two from the home rank over an empty square.
            if (capture_mark || (occupied & to_bit))
                return {};
            const unsigned one = static_cast<unsigned>(static_cast<int>(to) - forward);
            if (one < 64 && (pawns & square_bit(one))) {
                const ChessMove m = ChessMove::packed(one, to, promotion);
                return keeps_king_safe(m) ? m : ChessMove {};
            }
            const unsigned two = static_cast<unsigned>(static_cast<int>(to) - 2 * forward);
            if (rank_of(to) == (white ? 3u : 4u) && !(occupied & square_bit(one))
                && (pawns & square_bit(two))) {
                const ChessMove m = ChessMove::packed(two, to, ChessMove::DOUBLE_STEP);
                return keeps_king_safe(m) ? m : ChessMove {};
            }
            return {};
        }
        // A capture named by its file ("exd5"); en passant takes the full path.
        if (!file_given || rank_given || !(occupied & to_bit))
            return {};
        const unsigned behind = static_cast<unsigned>(static_cast<int>(to) - forward);
        if (behind >= 64)
            return {};
        Bitboard sources = 0;
        if (file_of(to) > 0)
            sources |= square_bit(behind - 1);
        if (file_of(to) < 7)
            sources |= square_bit(behind + 1);
        sources &= pawns & from_mask;
        if (!sources || (sources & (sources - 1)))
            return {};
        const ChessMove m = ChessMove::packed(lsb(sources), to, promotion);
        return keeps_king_safe(m) ? m : ChessMove {};
    }

    // The pieces of the kind that reach the square: steppers from the tables, sliders on a line
    // through it with nothing between.
    Bitboard candidates = REACH[piece][to] & board_.pieces[own + piece] & from_mask;
    ChessMove found;
    while (candidates) {
        const unsigned from = pop_lsb(candidates);
        if (BETWEEN[to][from] & occupied)
            continue;
        const ChessMove m = ChessMove::packed(from, to);
        if (!keeps_king_safe(m))
            continue;
        if (found.data)
            return {};
        found = m;
    }
    return found;
}

PgnErrorKind GameReplay::play(std::string_view san) {
    if (!san.empty() && san[0] == 'P' && san.size() > 2 && san[1] >= 'a' && san[1] <= 'h')
        san.remove_prefix(1);
    ChessMove m = quick_move(san);
    if (!m.data) {
        legal_.resize(0);
        generator_.moves(board_, legal_);
        const SanMatch match = match_san(board_, legal_, san);
        switch (match.status) {
        case SanStatus::OK: break;
        case SanStatus::INVALID: return PgnErrorKind::INVALID_SAN;
        case SanStatus::ILLEGAL: return PgnErrorKind::ILLEGAL_MOVE;
        case SanStatus::AMBIGUOUS: return PgnErrorKind::AMBIGUOUS_MOVE;
        }
        m = match.move;
    }
    if (keep_before_)
        before_pieces_ = board_.pieces;
    before_info_ = board_.info;
    before_clock_ = halfmove_clock_;
    halfmove_clock_ = make(m) ? 0 : halfmove_clock_ + 1;
    ++ply_;
    last_move_ = m;
    return PgnErrorKind::NONE;
}

// Board::push_move's changes to pieces, piece_on and info for a legal move of the side to move,
// without its history and hash: the replay never takes a move back (the legality tests that make
// and unmake a move push and pop on top of the empty history) and never reads the hash. Returns
// whether the move was a pawn move or a capture (the half-move clock restarts).
[[gnu::always_inline]] inline bool GameReplay::make(ChessMove m) {
    Bitboard* p = board_.pieces.data();
    auto& on = board_.piece_on;
    std::uint64_t info = board_.info;
    const bool white = info & 1;
    const PieceIndex own = white ? WHITE_OFFSET : BLACK_OFFSET;
    Bitboard& mine = sides_[white ? 0 : 1];
    Bitboard& theirs = sides_[white ? 1 : 0];
    const unsigned from = m.from();
    const unsigned to = m.to();
    const Bitboard from_bit = square_bit(from);
    const Bitboard to_bit = square_bit(to);
    check_ = -1;

    const PieceIndex piece = on[from];
    const PieceIndex captured = on[to];
    mine ^= from_bit | to_bit;
    p[piece] ^= from_bit | to_bit;
    // A capture without a branch: no capture xors nothing into the mover's own bitboard.
    const bool takes = captured != NO_PIECE;
    const Bitboard taken_bit = takes ? to_bit : 0;
    p[takes ? captured : piece] ^= taken_bit;
    theirs ^= taken_bit;
    on[from] = NO_PIECE;
    on[to] = static_cast<std::uint8_t>(piece);
    const PieceIndex kind = piece - own;
    info &= ~INFO_EP_MASK;
    if (kind == PAWN) {
        if (captured == NO_PIECE && ((from ^ to) & 7)) {
            const unsigned victim = white ? to - 8 : to + 8;
            p[(own ^ BLACK_OFFSET) + PAWN] ^= square_bit(victim);
            theirs ^= square_bit(victim);
            on[victim] = NO_PIECE;
        }
        const unsigned special = m.special();
        if (special >= ChessMove::PROMOTE_KNIGHT && special <= ChessMove::PROMOTE_QUEEN) {
            p[piece] ^= to_bit;
            p[own + special - 3] |= to_bit;
            on[to] = static_cast<std::uint8_t>(own + special - 3);
        }
        // Every double step records its file, as push_move does.
        if ((from ^ to) == 16)
            info |= std::uint64_t { 1 }
                << ((white ? INFO_EP_BLACK_TO_MOVE : INFO_EP_WHITE_TO_MOVE) + file_of(to));
    } else if (m.special() == ChessMove::CASTLING) {
        const unsigned base = white ? 0 : 56;
        const unsigned rook_from = file_of(to) == 6 ? base + 7 : base;
        const unsigned rook_to = file_of(to) == 6 ? base + 5 : base + 3;
        p[own + ROOK] ^= square_bit(rook_from) | square_bit(rook_to);
        mine ^= square_bit(rook_from) | square_bit(rook_to);
        on[rook_from] = NO_PIECE;
        on[rook_to] = static_cast<std::uint8_t>(own + ROOK);
    }
    // A castling right is held only while its king and rook stand on their squares, so a move
    // from or to one of those squares is that king's or rook's move, or takes that rook.
    board_.info = (info & ~(RIGHTS_LOST[from] | RIGHTS_LOST[to])) ^ INFO_WHITE_TO_MOVE;
    return kind == PAWN || takes;
}

} // namespace quarn_chess
