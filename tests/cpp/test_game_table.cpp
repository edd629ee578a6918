// The game-table builder: tokens, tag columns and the headers map, annotations, and the same games
// and counts as the training arrays.
#include "game_table.h"
#include "pgn.h"
#include "pgn_data.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace quarn_chess;
using test_support::generator;

namespace {

struct Built {
    std::shared_ptr<TableColumns> columns;
    PgnCounts counts;
    std::vector<PgnError> errors;
};

Built build(std::string_view text, GameFilter filter = {}, std::size_t chunk = 1 << 20) {
    GameTableBuilder builder(generator(), filter, false);
    PgnReader reader(builder);
    for (std::size_t i = 0; i < text.size(); i += chunk)
        reader.feed(text.substr(i, chunk));
    reader.finish();
    return { builder.columns(), builder.counts(), builder.errors() };
}

PgnCounts array_counts(std::string_view text, GameFilter filter = {}) {
    ArrayBuilder builder(generator(), filter, false, false);
    PgnReader reader(builder);
    reader.feed(text);
    reader.finish();
    return builder.counts();
}

std::string text_at(const StringColumn& column, std::size_t row) {
    if (!column.valid[row])
        return "<null>";
    return column.data.substr(static_cast<std::size_t>(column.offsets[row]),
        static_cast<std::size_t>(column.offsets[row + 1] - column.offsets[row]));
}

constexpr std::string_view GAMES
    = "[Event \"Rated Blitz game\"]\n[White \"a\"]\n[WhiteElo \"1500\"]\n[BlackElo \"?\"]\n"
      "[TimeControl \"180+2\"]\n[Custom \"x\"]\n[Result \"1-0\"]\n\n"
      "1. e4 { [%eval 0.17] [%clk 0:03:00] } 1... e5 { [%eval #-3] [%clk 0:02:59.5] } "
      "2. Qh5 { [%eval -1.234] } 1-0\n\n"
      "[Event \"bad\"]\n\n1. e4 e5 2. Ke3 1-0\n\n"
      "[FEN \"4k3/P7/8/8/8/8/8/4K3 w - - 0 1\"]\n[Result \"*\"]\n\n1. a8=N *\n\n"
      "[Variant \"Atomic\"]\n\n1. e4 1-0\n\n"
      "[Result \"0-1\"]\n[WhiteElo \"01500\"]\n\n1. d4 d5 0-1\n";

} // namespace

TEST(GameTable, TokensTagsAndAnnotations) {
    GameFilter keep_all;
    keep_all.finished_only = false;
    const Built built = build(GAMES, keep_all);
    const TableColumns& c = *built.columns;
    // Rows: the first game, the promotion game (unfinished, kept), the last one.
    ASSERT_EQ(c.rows(), 3u);
    EXPECT_EQ(built.counts.bad, 1u);
    EXPECT_EQ(built.counts.variant, 1u);
    EXPECT_EQ(built.counts.good, 3u);
    EXPECT_EQ(built.counts.positions, 3u + 1u + 2u);
    ASSERT_EQ(built.errors.size(), 1u);
    EXPECT_EQ(built.errors[0].kind, PgnErrorKind::ILLEGAL_MOVE);

    // e2e4 = 12 + 64 * 28; a7a8=N = 48 + 64 * 56 + 4096 * 2.
    EXPECT_EQ(c.moves.values[0], 12 + 64 * 28);
    EXPECT_EQ(c.moves.values[3], 48 + 64 * 56 + 4096 * 2);
    EXPECT_EQ(c.moves.offsets, (std::vector<std::int32_t> { 0, 3, 4, 6 }));
    EXPECT_EQ(c.result, (std::vector<std::int8_t> { 1, 0, -1 }));
    EXPECT_EQ(c.result_valid, (std::vector<std::uint8_t> { 1, 0, 1 }));
    EXPECT_EQ(c.white_elo[0], 1500);
    EXPECT_EQ(c.black_elo_valid[0], 0);
    EXPECT_EQ(c.white_elo[2], 1500);
    EXPECT_EQ(c.time_base[0], 180);
    EXPECT_EQ(c.time_increment[0], 2);
    EXPECT_EQ(c.time_valid, (std::vector<std::uint8_t> { 1, 0, 0 }));
    EXPECT_EQ(text_at(c.fen, 0), "<null>");
    EXPECT_EQ(text_at(c.fen, 1), "4k3/P7/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(text_at(c.tags[TAG_EVENT], 0), "Rated Blitz game");
    EXPECT_EQ(text_at(c.tags[TAG_RESULT], 1), "*");
    EXPECT_EQ(text_at(c.tags[TAG_WHITE], 1), "<null>");

    // Only the first game has annotations: its lists hold one value a ply, the others none.
    EXPECT_EQ(c.eval.offsets, (std::vector<std::int32_t> { 0, 3, 3, 3 }));
    EXPECT_EQ(c.eval.valid, (std::vector<std::uint8_t> { 1, 0, 0 }));
    EXPECT_EQ(c.eval.values[0], 17);
    EXPECT_EQ(c.eval.value_valid, (std::vector<std::uint8_t> { 1, 0, 1 }));
    EXPECT_EQ(c.eval.values[2], -123);
    EXPECT_EQ(c.mate[1], -3);
    EXPECT_EQ(c.mate_valid, (std::vector<std::uint8_t> { 0, 1, 0 }));
    EXPECT_EQ(c.clock.offsets, (std::vector<std::int32_t> { 0, 3, 3, 3 }));
    EXPECT_EQ(c.clock.values[0], 180000);
    EXPECT_EQ(c.clock.values[1], 179500);
    EXPECT_EQ(c.clock.value_valid, (std::vector<std::uint8_t> { 1, 1, 0 }));

    // The map: the other tags, and the Elo texts the Elo columns cannot give back.
    EXPECT_EQ(c.header_offsets, (std::vector<std::int32_t> { 0, 2, 2, 3 }));
    EXPECT_EQ(text_at(c.header_keys, 0), "Custom");
    EXPECT_EQ(text_at(c.header_keys, 1), "BlackElo");
    EXPECT_EQ(text_at(c.header_values, 1), "?");
    EXPECT_EQ(text_at(c.header_keys, 2), "WhiteElo");
    EXPECT_EQ(text_at(c.header_values, 2), "01500");
}

TEST(GameTable, KeepsTheGamesAndCountsOfTheArrays) {
    GameFilter by_elo;
    by_elo.min_elo = 1400;
    GameFilter by_event;
    by_event.events = { "Rated Blitz game" };
    GameFilter keep_all;
    keep_all.finished_only = false;
    for (const GameFilter& filter : { GameFilter {}, by_elo, by_event, keep_all })
        for (const std::size_t chunk : { std::size_t { 7 }, std::size_t { 1 << 20 } }) {
            const Built built = build(GAMES, filter, chunk);
            const PgnCounts arrays = array_counts(GAMES, filter);
            EXPECT_EQ(built.counts.games, arrays.games);
            EXPECT_EQ(built.counts.good, arrays.good);
            EXPECT_EQ(built.counts.bad, arrays.bad);
            EXPECT_EQ(built.counts.filtered, arrays.filtered);
            EXPECT_EQ(built.counts.unfinished, arrays.unfinished);
            EXPECT_EQ(built.counts.positions, arrays.positions);
            EXPECT_EQ(built.columns->rows(), arrays.good);
        }
}

TEST(GameTable, ReadsTimeControls) {
    std::int32_t base = -1;
    std::int32_t increment = -1;
    EXPECT_TRUE(read_time_control("600", base, increment));
    EXPECT_EQ(base, 600);
    EXPECT_EQ(increment, 0);
    EXPECT_TRUE(read_time_control("0+1", base, increment));
    EXPECT_EQ(increment, 1);
    for (const std::string_view bad : { "", "-", "+2", "180+", "1/259200", "99999999999+0" })
        EXPECT_FALSE(read_time_control(bad, base, increment)) << bad;
}

TEST(GameTable, ReplacesInvalidUtf8AsPythonDecodes) {
    // Expected values: bytes.decode("utf-8", "replace") re-encoded.
    const std::pair<std::string_view, std::string_view> cases[] = {
        { "plain", "plain" },
        { "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
            "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80" },
        { "a\xFF"
          "b",
            "a\xEF\xBF\xBD"
            "b" },
        { "\xC3", "\xEF\xBF\xBD" },
        { "\xE2\x82"
          "x",
            "\xEF\xBF\xBD"
            "x" },
        { "\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
        { "\xF0\x9F\x98", "\xEF\xBF\xBD" },
        { "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD" },
    };
    for (const auto& [in, expected] : cases) {
        // Appended after what the string holds already.
        std::string out = ">";
        append_utf8(out, in);
        std::string want = ">";
        want.append(expected);
        EXPECT_EQ(out, want) << in;
    }
}
