// Game records and training arrays built from PGN: the visitors behind read_games and
// pgn_to_arrays.
#include "pgn_data.h"

#include "bits.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace quarn_chess {

namespace {

    bool is_finished(std::string_view result) {
        return result == "1-0" || result == "0-1" || result == "1/2-1/2";
    }

    bool equal_ignoring_case(std::string_view a, std::string_view b) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] | 0x20) : a[i];
            const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] | 0x20) : b[i];
            if (x != y)
                return false;
        }
        return true;
    }

    // An Elo tag as a number in 0..32767, -1 for anything else ("?", "", "1500?").
    std::int16_t read_elo(std::string_view text) {
        if (text.empty() || text.size() > 5)
            return -1;
        int value = 0;
        for (const char c : text) {
            if (c < '0' || c > '9')
                return -1;
            value = value * 10 + (c - '0');
        }
        return value > 32767 ? -1 : static_cast<std::int16_t>(value);
    }

    // Estimated duration of a TimeControl tag "base+increment" (seconds): base + 40 * increment;
    // negative when the tag is not of that form.
    double estimated_duration(std::string_view text) {
        double parts[2] = { 0, 0 };
        unsigned part = 0;
        bool digit = false;
        for (const char c : text) {
            if (c >= '0' && c <= '9') {
                parts[part] = parts[part] * 10 + (c - '0');
                digit = true;
            } else if (c == '+' && part == 0 && digit) {
                part = 1;
                digit = false;
            } else {
                return -1;
            }
        }
        if (!digit)
            return -1;
        return parts[0] + 40 * parts[1];
    }

    bool allowed(const std::vector<std::string>& set, bool present, std::string_view value) {
        if (set.empty())
            return true;
        if (!present)
            return false;
        for (const std::string& entry : set)
            if (entry == value)
                return true;
        return false;
    }

    // Bytes 0/1 for the eight bits of every byte value, as one 64-bit word (little-endian: bit i
    // of the byte lands in byte i of the word).
    constexpr std::array<std::uint64_t, 256> BYTE_SPREAD = [] {
        std::array<std::uint64_t, 256> table {};
        for (unsigned b = 0; b < 256; ++b)
            for (unsigned i = 0; i < 8; ++i)
                if (b & (1u << i))
                    table[b] |= std::uint64_t { 1 } << (8 * i);
        return table;
    }();

} // namespace

std::string_view game_result(std::string_view result_tag, std::string_view marker) {
    if (is_finished(result_tag))
        return result_tag;
    if (!marker.empty())
        return marker;
    return "*";
}

bool is_standard_variant(std::string_view variant) {
    for (const std::string_view alias :
        { "Standard", "Chess", "Classical", "Normal", "Illegal", "From Position" })
        if (equal_ignoring_case(variant, alias))
            return true;
    return false;
}

// --- game records -------------------------------------------------------------------------------

void GameCollector::begin_game(std::uint64_t game, std::uint64_t offset) {
    current_ = GameRecord {};
    current_.index = game;
    current_.offset = offset;
    // Room for the tags of a Lichess game at once (the record leaves with its tags).
    current_.tags.reserve(20);
    moves_.clear();
    marker_.clear();
    fen_error_ = PgnError {};
    variant_ = false;
}

void GameCollector::tag(std::string_view name, std::string_view value) {
    for (auto& entry : current_.tags)
        if (entry.first.size() == name.size() && entry.first.back() == name.back()
            && entry.first == name) {
            entry.second = value;
            return;
        }
    current_.tags.emplace_back(name, value);
}

bool GameCollector::begin_movetext() {
    std::string_view fen;
    for (const auto& [name, value] : current_.tags) {
        if (name == "Variant" && !is_standard_variant(value))
            variant_ = true;
        if (name == "FEN")
            fen = value;
    }
    if (variant_)
        return false;
    if (fen.empty()) {
        replay_.reset();
        return true;
    }
    current_.start_fen = fen;
    if (const std::optional<Error> error = replay_.reset(fen)) {
        fen_error_.kind = PgnErrorKind::BAD_FEN;
        fen_error_.game = current_.index;
        fen_error_.offset = current_.offset;
        fen_error_.message = "game " + std::to_string(current_.index) + ", byte "
            + std::to_string(current_.offset) + ": bad FEN tag '" + std::string(fen)
            + "': " + error->message;
        return false;
    }
    return true;
}

PgnErrorKind GameCollector::move(std::string_view san, std::uint64_t) {
    const PgnErrorKind kind = replay_.play(san);
    if (kind == PgnErrorKind::NONE)
        moves_.push_back(replay_.last_move());
    return kind;
}

bool GameCollector::end_game(const PgnError* error) {
    std::string_view result_tag;
    for (const auto& [name, value] : current_.tags)
        if (name == "Result")
            result_tag = value;
    current_.result = game_result(result_tag, marker_);
    current_.moves.assign(moves_.begin(), moves_.end());
    if (error) {
        current_.has_error = true;
        current_.error = *error;
    } else if (fen_error_.kind != PgnErrorKind::NONE) {
        current_.has_error = true;
        current_.error = fen_error_;
    }
    if (variant_ && !current_.has_error)
        ++variant_games_;
    const bool bad = current_.has_error;
    done_.push_back(std::move(current_));
    current_ = GameRecord {};
    return !(strict_ && bad);
}

// --- training arrays ----------------------------------------------------------------------------

void* allocate_planes(std::size_t bytes) {
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block)
        throw std::bad_alloc();
    return block;
}

void PositionColumns::reserve(std::size_t n) {
    packed.reserve(n * PIECE_COUNT);
    turn.reserve(n);
    castling.reserve(n);
    ep_file.reserve(n);
    halfmove.reserve(n);
    move.reserve(n);
    promotion.reserve(n);
    game.reserve(n);
    ply.reserve(n);
    result.reserve(n);
    white_elo.reserve(n);
    black_elo.reserve(n);
    eval.reserve(n);
    mate.reserve(n);
    clock.reserve(n);
}

void PositionColumns::truncate(std::size_t n) {
    packed.resize(n * PIECE_COUNT);
    turn.resize(n);
    castling.resize(n);
    ep_file.resize(n);
    halfmove.resize(n);
    move.resize(n);
    promotion.resize(n);
    game.resize(n);
    ply.resize(n);
    result.resize(n);
    white_elo.resize(n);
    black_elo.resize(n);
    eval.resize(n);
    mate.resize(n);
    clock.resize(n);
}

ArrayBuilder::ArrayBuilder(
    const MoveGenerator& generator, GameFilter filter, bool planes, bool strict)
    : replay_(generator)
    , filter_(std::move(filter))
    , planes_(planes)
    , strict_(strict) { }

void ArrayBuilder::begin_game(std::uint64_t game, std::uint64_t) {
    game_ = game;
    ++counts_.games;
    first_row_ = columns_.rows();
    replayed_ = false;
    variant_ = false;
    filtered_ = false;
    unfinished_ = false;
    white_elo_ = -1;
    black_elo_ = -1;
    result_tag_.clear();
    marker_.clear();
    fen_.clear();
    time_control_.clear();
    event_.clear();
    termination_.clear();
    has_event_ = false;
    has_termination_ = false;
    fen_error_ = PgnError {};
}

void ArrayBuilder::tag(std::string_view name, std::string_view value) {
    if (name == "WhiteElo")
        white_elo_ = read_elo(value);
    else if (name == "BlackElo")
        black_elo_ = read_elo(value);
    else if (name == "Result")
        result_tag_ = value;
    else if (name == "FEN")
        fen_ = value;
    else if (name == "TimeControl")
        time_control_ = value;
    else if (name == "Variant")
        variant_ = !is_standard_variant(value);
    else if (name == "Event") {
        event_ = value;
        has_event_ = true;
    } else if (name == "Termination") {
        termination_ = value;
        has_termination_ = true;
    }
}

bool ArrayBuilder::passes_filter() const {
    if (filter_.min_elo > 0 && (white_elo_ < filter_.min_elo || black_elo_ < filter_.min_elo))
        return false;
    if (filter_.min_time_control >= 0 || filter_.max_time_control >= 0) {
        const double duration = estimated_duration(time_control_);
        if (duration < 0)
            return false;
        if (filter_.min_time_control >= 0 && duration < filter_.min_time_control)
            return false;
        if (filter_.max_time_control >= 0 && duration > filter_.max_time_control)
            return false;
    }
    return allowed(filter_.events, has_event_, event_)
        && allowed(filter_.terminations, has_termination_, termination_);
}

bool ArrayBuilder::begin_movetext() {
    if (variant_)
        return false;
    if (filter_.finished_only && !result_tag_.empty() && !is_finished(result_tag_)) {
        unfinished_ = true;
        return false;
    }
    if (!passes_filter()) {
        filtered_ = true;
        return false;
    }
    if (fen_.empty()) {
        replay_.reset();
    } else if (const std::optional<Error> error = replay_.reset(fen_)) {
        fen_error_.kind = PgnErrorKind::BAD_FEN;
        fen_error_.game = game_;
        fen_error_.message
            = "game " + std::to_string(game_) + ": bad FEN tag '" + fen_ + "': " + error->message;
        return false;
    }
    replayed_ = true;
    return true;
}

// Plays the move, then writes the row of the position it was played in.
PgnErrorKind ArrayBuilder::move(std::string_view san, std::uint64_t) {
    const PgnErrorKind kind = replay_.play(san);
    if (kind != PgnErrorKind::NONE)
        return kind;
    const auto& pieces = replay_.before_pieces();
    const std::uint64_t info = replay_.before_info();
    columns_.packed.insert(columns_.packed.end(), pieces.begin(), pieces.end());
    const bool white = info & 1;
    columns_.turn.push_back(white ? 1 : 0);
    columns_.castling.push_back(static_cast<std::uint8_t>((info >> INFO_WHITE_KING_SIDE) & 0xF));
    const unsigned ep_bits
        = static_cast<unsigned>(info >> (white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE))
        & 0xFF;
    columns_.ep_file.push_back(static_cast<std::int8_t>(ep_bits ? lsb(ep_bits) : -1));
    columns_.halfmove.push_back(
        static_cast<std::uint16_t>(std::min(replay_.before_halfmove_clock(), 65535u)));
    const ChessMove m = replay_.last_move();
    columns_.move.push_back(static_cast<std::uint16_t>(m.from() * 64 + m.to()));
    const unsigned special = m.special();
    columns_.promotion.push_back(
        static_cast<std::uint8_t>(special >= 4 && special <= 7 ? special - 2 : 0));
    columns_.game.push_back(static_cast<std::int64_t>(game_));
    columns_.ply.push_back(static_cast<std::uint16_t>(std::min(replay_.ply() - 1, 65535u)));
    columns_.result.push_back(0);
    columns_.white_elo.push_back(white_elo_);
    columns_.black_elo.push_back(black_elo_);
    columns_.eval.push_back(std::numeric_limits<float>::quiet_NaN());
    columns_.mate.push_back(0);
    columns_.clock.push_back(std::numeric_limits<float>::quiet_NaN());
    return PgnErrorKind::NONE;
}

// Annotations after a move belong to the row of that move.
void ArrayBuilder::comment(std::string_view text) {
    if (columns_.rows() == first_row_ || text.find("[%") == std::string_view::npos)
        return;
    const CommentAnnotations notes = read_annotations(text);
    const std::size_t row = columns_.rows() - 1;
    if (notes.has_eval)
        columns_.eval[row] = notes.eval_cp;
    if (notes.has_mate)
        columns_.mate[row] = static_cast<std::int16_t>(std::clamp(notes.mate, -32767, 32767));
    if (notes.has_clock)
        columns_.clock[row] = notes.clock_seconds;
}

// The planes are expanded from the packed words once, at the end: one pass over memory allocated
// once, instead of growing a buffer eight times the size row by row.
void ArrayBuilder::finish() {
    if (!planes_ || columns_.packed.empty())
        return;
    auto& packed = columns_.packed;
    columns_.planes.resize(packed.size() * 64);
    std::uint8_t* out = columns_.planes.data();
    for (const Bitboard b : packed)
        for (unsigned byte = 0; byte < 8; ++byte, out += 8) {
            const std::uint64_t spread = BYTE_SPREAD[(b >> (8 * byte)) & 0xFF];
            std::memcpy(out, &spread, 8);
        }
    packed.clear();
    packed.shrink_to_fit();
}

bool ArrayBuilder::end_game(const PgnError* error) {
    const PgnError* bad = error                 ? error
        : fen_error_.kind != PgnErrorKind::NONE ? &fen_error_
                                                : nullptr;
    if (bad) {
        columns_.truncate(first_row_);
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
    const std::string_view result = game_result(result_tag_, marker_);
    if (unfinished_ || (filter_.finished_only && !is_finished(result))) {
        columns_.truncate(first_row_);
        ++counts_.unfinished;
        return true;
    }
    const std::int8_t value = result == "1-0" ? 1 : result == "0-1" ? -1 : 0;
    for (std::size_t row = first_row_; row < columns_.rows(); ++row)
        columns_.result[row] = value;
    counts_.positions += columns_.rows() - first_row_;
    ++counts_.good;
    return true;
}

} // namespace quarn_chess
