// The game-table builder: a PGN visitor that keeps the games pgn_to_arrays keeps, one row each.
#include "game_table.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarn_chess {

namespace {

    constexpr std::size_t MAX_OFFSET = std::numeric_limits<std::int32_t>::max();

    // The decimal text of an Elo read_elo accepted, as the table gives it back.
    bool is_canonical_elo(std::string_view text, std::int16_t elo) {
        if (elo < 0)
            return false;
        char digits[8];
        std::size_t n = 0;
        int value = elo;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        if (n != text.size())
            return false;
        for (std::size_t i = 0; i < n; ++i)
            if (text[i] != digits[n - 1 - i])
                return false;
        return true;
    }

    template <class T> void truncate(std::vector<T>& values, std::size_t size) {
        if (values.size() > size)
            values.resize(size);
    }

} // namespace

// clang-format off
const std::array<std::string_view, TABLE_TAG_COUNT> TABLE_TAG_NAMES = {
    "Event", "Site", "Date", "Round", "White", "Black", "Result", "WhiteTitle", "BlackTitle",
    "WhiteRatingDiff", "BlackRatingDiff", "ECO", "Opening", "Termination", "TimeControl",
    "UTCDate", "UTCTime", "Variant",
};
// clang-format on

void append_utf8(std::string& out, std::string_view text) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const std::size_t n = text.size();
    std::size_t run = 0; // the first byte not appended yet: well-formed runs go whole
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The sequence's length by lead byte, and the range of its second byte (which excludes
        // overlong forms, surrogates and code points past U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        std::size_t fits = length == 0 ? 0 : 1;
        if (fits == 1 && i + 1 < n && byte(i + 1) >= low && byte(i + 1) <= high) {
            fits = 2;
            while (fits < length && i + fits < n && (byte(i + fits) & 0xC0) == 0x80)
                ++fits;
        }
        if (length != 0 && fits == length) {
            i += length;
            continue;
        }
        // A maximal invalid subsequence: the lead byte and the continuation bytes that fit.
        out.append(text.substr(run, i - run));
        out.append("\xEF\xBF\xBD");
        i += std::max<std::size_t>(fits, 1);
        run = i;
    }
    out.append(text.substr(run));
}

std::uint16_t move_token(ChessMove move) {
    const unsigned special = move.special();
    const unsigned promotion = special >= 4 && special <= 7 ? special - 2 : 0;
    return static_cast<std::uint16_t>(move.from() + 64 * move.to() + 4096 * promotion);
}

bool read_time_control(std::string_view text, std::int32_t& base, std::int32_t& increment) {
    std::int64_t parts[2] = { 0, 0 };
    unsigned part = 0;
    bool digit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + (c - '0');
            if (parts[part] > std::numeric_limits<std::int32_t>::max())
                return false;
            digit = true;
        } else if (c == '+' && part == 0 && digit) {
            part = 1;
            digit = false;
        } else {
            return false;
        }
    }
    if (!digit)
        return false;
    base = static_cast<std::int32_t>(parts[0]);
    increment = static_cast<std::int32_t>(parts[1]);
    return true;
}

void TableColumns::reserve(std::size_t rows, std::size_t plies) {
    moves.offsets.reserve(rows + 1);
    moves.values.reserve(plies);
    eval.values.reserve(plies);
    eval.value_valid.reserve(plies);
    mate.reserve(plies);
    mate_valid.reserve(plies);
    clock.values.reserve(plies);
    clock.value_valid.reserve(plies);
    for (auto* column : { &result_valid, &white_elo_valid, &black_elo_valid, &time_valid })
        column->reserve(rows);
    result.reserve(rows);
    white_elo.reserve(rows);
    black_elo.reserve(rows);
    time_base.reserve(rows);
    time_increment.reserve(rows);
    game.reserve(rows);
    offset.reserve(rows);
    header_offsets.reserve(rows + 1);
    for (StringColumn& column : tags) {
        column.offsets.reserve(rows + 1);
        column.valid.reserve(rows);
    }
}

GameTableBuilder::GameTableBuilder(const MoveGenerator& generator, GameFilter filter, bool strict)
    : replay_(generator)
    , filter_(std::move(filter))
    , strict_(strict)
    , columns_(std::make_shared<TableColumns>()) {
    replay_.keep_before_pieces(false);
}

void GameTableBuilder::begin_game(std::uint64_t game, std::uint64_t offset) {
    game_ = game;
    offset_ = offset;
    ++counts_.games;
    first_ply_ = columns_->moves.values.size();
    first_eval_ = columns_->eval.values.size();
    first_clock_ = columns_->clock.values.size();
    replayed_ = false;
    variant_ = false;
    filtered_ = false;
    unfinished_ = false;
    has_eval_ = false;
    has_clock_ = false;
    has_tag_.fill(false);
    has_fen_ = false;
    has_white_elo_ = false;
    has_black_elo_ = false;
    map_count_ = 0;
    marker_.clear();
    fen_error_ = PgnError {};
}

void GameTableBuilder::set_map_tag(std::string_view name, std::string_view value) {
    for (std::size_t i = 0; i < map_count_; ++i)
        if (map_[i].first == name) {
            map_[i].second = value;
            return;
        }
    if (map_count_ == map_.size())
        map_.emplace_back();
    map_[map_count_].first = name;
    map_[map_count_].second = value;
    ++map_count_;
}

// Later values of a tag win, as in the headers of read_games.
void GameTableBuilder::tag(std::string_view name, std::string_view value) {
    for (unsigned i = 0; i < TABLE_TAG_COUNT; ++i)
        if (name == TABLE_TAG_NAMES[i]) {
            tag_values_[i] = value;
            has_tag_[i] = true;
            if (i == TAG_VARIANT)
                variant_ = !is_standard_variant(value);
            return;
        }
    if (name == "WhiteElo") {
        white_elo_text_ = value;
        has_white_elo_ = true;
    } else if (name == "BlackElo") {
        black_elo_text_ = value;
        has_black_elo_ = true;
    } else if (name == "FEN") {
        fen_ = value;
        has_fen_ = true;
    } else {
        set_map_tag(name, value);
    }
}

bool GameTableBuilder::begin_movetext() {
    if (variant_)
        return false;
    const std::string_view result_tag
        = has_tag_[TAG_RESULT] ? std::string_view(tag_values_[TAG_RESULT]) : std::string_view();
    if (filter_.finished_only && !result_tag.empty() && !is_finished(result_tag)) {
        unfinished_ = true;
        return false;
    }
    const FilterTags tags { has_white_elo_ ? read_elo(white_elo_text_) : std::int16_t { -1 },
        has_black_elo_ ? read_elo(black_elo_text_) : std::int16_t { -1 },
        has_tag_[TAG_TIME_CONTROL] ? std::string_view(tag_values_[TAG_TIME_CONTROL])
                                   : std::string_view(),
        has_tag_[TAG_EVENT], tag_values_[TAG_EVENT], has_tag_[TAG_TERMINATION],
        tag_values_[TAG_TERMINATION] };
    if (!passes_filter(filter_, tags)) {
        filtered_ = true;
        return false;
    }
    // fen_ may still hold an earlier game's tag: only has_fen_ says this game has one.
    if (!start_replay(
            replay_, has_fen_ ? std::string_view(fen_) : std::string_view(), game_, fen_error_))
        return false;
    replayed_ = true;
    return true;
}

PgnErrorKind GameTableBuilder::move(std::string_view san, std::uint64_t) {
    const PgnErrorKind kind = replay_.play(san);
    if (kind != PgnErrorKind::NONE)
        return kind;
    TableColumns& c = *columns_;
    c.moves.values.push_back(move_token(replay_.last_move()));
    c.eval.values.push_back(0);
    c.eval.value_valid.push_back(0);
    c.mate.push_back(0);
    c.mate_valid.push_back(0);
    c.clock.values.push_back(0);
    c.clock.value_valid.push_back(0);
    return PgnErrorKind::NONE;
}

// Annotations after a move belong to that move; later ones win.
void GameTableBuilder::comment(std::string_view text) {
    TableColumns& c = *columns_;
    if (c.moves.values.size() == first_ply_)
        return;
    const CommentAnnotations notes = read_annotations(text);
    const std::size_t ply = c.moves.values.size() - 1 - first_ply_;
    if (notes.has_eval) {
        const double cp
            = std::clamp(std::round(static_cast<double>(notes.eval_cp)), -32767.0, 32767.0);
        c.eval.values[first_eval_ + ply] = static_cast<std::int16_t>(cp);
        c.eval.value_valid[first_eval_ + ply] = 1;
        has_eval_ = true;
    }
    if (notes.has_mate) {
        c.mate[first_eval_ + ply]
            = static_cast<std::int16_t>(std::clamp(notes.mate, -32767, 32767));
        c.mate_valid[first_eval_ + ply] = 1;
        has_eval_ = true;
    }
    if (notes.has_clock) {
        const double ms = std::clamp(std::round(static_cast<double>(notes.clock_seconds) * 1000),
            0.0, static_cast<double>(std::numeric_limits<std::int32_t>::max()));
        c.clock.values[first_clock_ + ply] = static_cast<std::int32_t>(ms);
        c.clock.value_valid[first_clock_ + ply] = 1;
        has_clock_ = true;
    }
}

void GameTableBuilder::drop_plies() {
    TableColumns& c = *columns_;
    truncate(c.moves.values, first_ply_);
    truncate(c.eval.values, first_eval_);
    truncate(c.eval.value_valid, first_eval_);
    truncate(c.mate, first_eval_);
    truncate(c.mate_valid, first_eval_);
    truncate(c.clock.values, first_clock_);
    truncate(c.clock.value_valid, first_clock_);
}

bool GameTableBuilder::end_game(const PgnError* error) {
    const PgnError* bad = error                 ? error
        : fen_error_.kind != PgnErrorKind::NONE ? &fen_error_
                                                : nullptr;
    if (bad) {
        drop_plies();
        ++counts_.bad;
        if (errors_.size() < MAX_ERRORS)
            errors_.push_back(*bad);
        return !strict_;
    }
    if (variant_) {
        ++counts_.variant;
        return true;
    }
    if (filtered_) {
        ++counts_.filtered;
        return true;
    }
    const std::string_view result_tag
        = has_tag_[TAG_RESULT] ? std::string_view(tag_values_[TAG_RESULT]) : std::string_view();
    const std::string_view result = game_result(result_tag, marker_);
    if (unfinished_ || (filter_.finished_only && !is_finished(result))) {
        drop_plies();
        ++counts_.unfinished;
        return true;
    }

    TableColumns& c = *columns_;
    // Arrow's offsets are int32: a table that would pass them ends here, without this game.
    std::size_t tag_bytes = fen_.size();
    for (unsigned i = 0; i < TABLE_TAG_COUNT; ++i)
        tag_bytes += tag_values_[i].size();
    std::size_t map_bytes = 0;
    for (std::size_t i = 0; i < map_count_; ++i)
        map_bytes += map_[i].first.size() + map_[i].second.size();
    map_bytes += white_elo_text_.size() + black_elo_text_.size() + 32;
    std::size_t strings = c.fen.data.size();
    for (const StringColumn& column : c.tags)
        strings = std::max(strings, column.data.size());
    strings = std::max({ strings, c.header_keys.data.size(), c.header_values.data.size() });
    if (c.moves.values.size() > MAX_OFFSET || strings + tag_bytes + map_bytes > MAX_OFFSET
        || c.header_keys.valid.size() + map_count_ + 2 > MAX_OFFSET) {
        drop_plies();
        too_large_ = true;
        return false;
    }

    const auto plies = static_cast<std::int32_t>(c.moves.values.size());
    c.moves.offsets.push_back(plies);
    if (!has_eval_) {
        truncate(c.eval.values, first_eval_);
        truncate(c.eval.value_valid, first_eval_);
        truncate(c.mate, first_eval_);
        truncate(c.mate_valid, first_eval_);
    }
    c.eval.offsets.push_back(static_cast<std::int32_t>(c.eval.values.size()));
    c.eval.valid.push_back(has_eval_ ? 1 : 0);
    if (!has_clock_) {
        truncate(c.clock.values, first_clock_);
        truncate(c.clock.value_valid, first_clock_);
    }
    c.clock.offsets.push_back(static_cast<std::int32_t>(c.clock.values.size()));
    c.clock.valid.push_back(has_clock_ ? 1 : 0);

    if (has_fen_ && !fen_.empty())
        c.fen.push(fen_);
    else
        c.fen.push_null();
    const bool finished = is_finished(result);
    c.result.push_back(static_cast<std::int8_t>(!finished ? 0
            : result == "1-0"                             ? 1
            : result == "0-1"                             ? -1
                                                          : 0));
    c.result_valid.push_back(finished ? 1 : 0);
    const std::int16_t white = has_white_elo_ ? read_elo(white_elo_text_) : std::int16_t { -1 };
    const std::int16_t black = has_black_elo_ ? read_elo(black_elo_text_) : std::int16_t { -1 };
    c.white_elo.push_back(std::max<std::int16_t>(white, 0));
    c.white_elo_valid.push_back(white >= 0 ? 1 : 0);
    c.black_elo.push_back(std::max<std::int16_t>(black, 0));
    c.black_elo_valid.push_back(black >= 0 ? 1 : 0);
    std::int32_t base = 0;
    std::int32_t increment = 0;
    const bool timed = has_tag_[TAG_TIME_CONTROL]
        && read_time_control(tag_values_[TAG_TIME_CONTROL], base, increment);
    c.time_base.push_back(timed ? base : 0);
    c.time_increment.push_back(timed ? increment : 0);
    c.time_valid.push_back(timed ? 1 : 0);
    c.game.push_back(static_cast<std::int64_t>(game_));
    c.offset.push_back(static_cast<std::int64_t>(offset_));
    for (unsigned i = 0; i < TABLE_TAG_COUNT; ++i)
        if (has_tag_[i])
            c.tags[i].push(tag_values_[i]);
        else
            c.tags[i].push_null();

    // The map: the other tags, then what the typed columns cannot give back as it was written.
    if (has_white_elo_ && !is_canonical_elo(white_elo_text_, white))
        set_map_tag("WhiteElo", white_elo_text_);
    if (has_black_elo_ && !is_canonical_elo(black_elo_text_, black))
        set_map_tag("BlackElo", black_elo_text_);
    if (has_fen_ && fen_.empty())
        set_map_tag("FEN", "");
    for (std::size_t i = 0; i < map_count_; ++i) {
        c.header_keys.push(map_[i].first);
        c.header_values.push(map_[i].second);
    }
    c.header_offsets.push_back(static_cast<std::int32_t>(c.header_keys.valid.size()));

    counts_.positions += c.moves.values.size() - first_ply_;
    ++counts_.good;
    return true;
}

} // namespace quarn_chess
