// Game tables built from PGN: one row per kept game, its moves as 16-bit tokens, its tags and
// annotations as Arrow-shaped column buffers (offsets, values, validity).
#pragma once

#include "pgn.h"
#include "pgn_data.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn_chess {

// The token of a move: from + 64 * to + 4096 * promotion (0 none, 2 N, 3 B, 4 R, 5 Q, the
// numbering of pgn_to_arrays' promotion column).
std::uint16_t move_token(ChessMove move);

// The tags that get a string column of their own, in the order of TABLE_TAG_NAMES. Every other
// tag goes to the headers map; FEN, WhiteElo and BlackElo have typed columns and go to the map
// only when those cannot give their text back.
// clang-format off
enum TableTag : unsigned {
    TAG_EVENT, TAG_SITE, TAG_DATE, TAG_ROUND, TAG_WHITE, TAG_BLACK, TAG_RESULT, TAG_WHITE_TITLE,
    TAG_BLACK_TITLE, TAG_WHITE_RATING_DIFF, TAG_BLACK_RATING_DIFF, TAG_ECO, TAG_OPENING,
    TAG_TERMINATION, TAG_TIME_CONTROL, TAG_UTC_DATE, TAG_UTC_TIME, TAG_VARIANT, TABLE_TAG_COUNT
};
// clang-format on
extern const std::array<std::string_view, TABLE_TAG_COUNT> TABLE_TAG_NAMES;

// Appends `text` to `out` with every maximal invalid UTF-8 subsequence replaced by U+FFFD.
void append_utf8(std::string& out, std::string_view text);

// A nullable string column: Arrow's layout (int32 offsets, one more than rows; the bytes) with
// one validity byte per row.
struct StringColumn {
    std::vector<std::int32_t> offsets { 0 };
    std::string data;
    std::vector<std::uint8_t> valid;

    // Arrow strings are UTF-8: other bytes become U+FFFD as Python's "replace" decoding makes
    // them (one per maximal invalid subsequence), so the table holds what read_games gives.
    void push(std::string_view text) {
        append_utf8(data, text);
        offsets.push_back(static_cast<std::int32_t>(data.size()));
        valid.push_back(1);
    }
    void push_null() {
        offsets.push_back(offsets.back());
        valid.push_back(0);
    }
};

// A nullable list column: int32 offsets, values, one validity byte per list and per value.
template <class T> struct ListColumn {
    std::vector<std::int32_t> offsets { 0 };
    std::vector<T> values;
    std::vector<std::uint8_t> valid; // per list
    std::vector<std::uint8_t> value_valid; // per value (unused for moves)
};

// The columns of a game table (see python/quarn_data/tables.py for their meaning). Rows are
// games; every per-game vector holds one entry per row.
struct TableColumns {
    ListColumn<std::uint16_t> moves;
    StringColumn fen;
    std::vector<std::int8_t> result;
    std::vector<std::uint8_t> result_valid;
    std::vector<std::int16_t> white_elo;
    std::vector<std::int16_t> black_elo;
    std::vector<std::uint8_t> white_elo_valid;
    std::vector<std::uint8_t> black_elo_valid;
    std::vector<std::int32_t> time_base;
    std::vector<std::int32_t> time_increment;
    std::vector<std::uint8_t> time_valid;
    // eval and mate share their offsets and list validity.
    ListColumn<std::int16_t> eval;
    std::vector<std::int16_t> mate;
    std::vector<std::uint8_t> mate_valid;
    ListColumn<std::int32_t> clock;
    std::vector<std::int64_t> game;
    std::vector<std::int64_t> offset;
    std::array<StringColumn, TABLE_TAG_COUNT> tags;
    // headers: map<string, string>, one entry list per row (never null).
    std::vector<std::int32_t> header_offsets { 0 };
    StringColumn header_keys;
    StringColumn header_values;

    std::size_t rows() const { return game.size(); }
    // Room for about `rows` games of `plies` plies in all.
    void reserve(std::size_t rows, std::size_t plies);
};

// Splits a TimeControl tag "base+increment" (seconds, e.g. "180+2"; "600" has no increment);
// false for any other form ("-", "1/259200", "40/7200:3600").
bool read_time_control(std::string_view text, std::int32_t& base, std::int32_t& increment);

// Builds a game table: the games ArrayBuilder keeps (same filter, same counts; a refused game
// leaves no row and is recorded, the first MAX_ERRORS of them), one row each. With strict the
// reader stops at the first refused game. A table whose offsets would pass int32 stops the
// reader too (too_large()).
class GameTableBuilder : public PgnVisitor {
public:
    static constexpr std::size_t MAX_ERRORS = 1000;

    GameTableBuilder(const MoveGenerator& generator, GameFilter filter, bool strict);

    void begin_game(std::uint64_t game, std::uint64_t offset) override;
    void tag(std::string_view name, std::string_view value) override;
    bool begin_movetext() override;
    PgnErrorKind move(std::string_view san, std::uint64_t offset) override;
    void comment(std::string_view text) override;
    void result(std::string_view text) override { marker_ = text; }
    bool end_game(const PgnError* error) override;

    const std::shared_ptr<TableColumns>& columns() const { return columns_; }
    const PgnCounts& counts() const { return counts_; }
    const std::vector<PgnError>& errors() const { return errors_; }
    bool too_large() const { return too_large_; }

private:
    // Drops the plies of the current game from the list columns.
    void drop_plies();
    void set_map_tag(std::string_view name, std::string_view value);

    GameReplay replay_;
    GameFilter filter_;
    bool strict_;
    std::shared_ptr<TableColumns> columns_;
    PgnCounts counts_;
    std::vector<PgnError> errors_;
    bool too_large_ = false;

    // The current game.
    std::uint64_t game_ = 0;
    std::uint64_t offset_ = 0;
    bool replayed_ = false;
    bool variant_ = false;
    bool filtered_ = false;
    bool unfinished_ = false;
    bool has_eval_ = false;
    bool has_clock_ = false;
    // Where the current game's plies start in moves, and in eval / mate and clock (whose lists
    // are dropped for games without annotations, so they hold fewer values than moves).
    std::size_t first_ply_ = 0;
    std::size_t first_eval_ = 0;
    std::size_t first_clock_ = 0;
    std::array<std::string, TABLE_TAG_COUNT> tag_values_;
    std::array<bool, TABLE_TAG_COUNT> has_tag_ {};
    std::string fen_;
    bool has_fen_ = false;
    std::string white_elo_text_;
    std::string black_elo_text_;
    bool has_white_elo_ = false;
    bool has_black_elo_ = false;
    // The other tags, in input order; entries past map_count_ keep their strings' memory.
    std::vector<std::pair<std::string, std::string>> map_;
    std::size_t map_count_ = 0;
    std::string marker_;
    PgnError fen_error_;
};

} // namespace quarn_chess
