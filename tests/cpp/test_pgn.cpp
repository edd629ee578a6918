// PGN reading: tokens across chunk boundaries, SAN forms, bad games and their neighbours, start
// positions, annotations and the training rows.
#include "pgn.h"
#include "pgn_data.h"
#include "rng.h"
#include "san.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

using namespace quarn_chess;
using test_support::generator;

namespace {

std::vector<GameRecord> read_games(std::string_view text, std::size_t chunk = 1 << 20,
    bool strict = false, std::uint64_t* consumed = nullptr) {
    GameCollector collector(generator(), strict);
    PgnReader reader(collector);
    // The games of each chunk are copied out and their records recycled, as the binding does:
    // the games after them are read into reused records.
    std::vector<GameRecord> games;
    const auto take = [&] {
        games.insert(games.end(), collector.games().begin(), collector.games().end());
        collector.recycle(collector.games().size());
    };
    for (std::size_t i = 0; i < text.size() && !reader.stopped(); i += chunk) {
        reader.feed(text.substr(i, chunk));
        take();
    }
    reader.finish();
    take();
    if (consumed)
        *consumed = reader.offset();
    return games;
}

std::string uci(const GameRecord& game) {
    std::string out;
    for (const ChessMove m : game.moves) {
        if (!out.empty())
            out += ' ';
        out += m.to_string();
    }
    return out;
}

std::string tag(const GameRecord& game, std::string_view name) {
    for (const auto& [key, value] : game.tags)
        if (key == name)
            return value;
    return "<absent>";
}

PgnErrorKind kind(const GameRecord& game) {
    return game.has_error ? game.error.kind : PgnErrorKind::NONE;
}

constexpr std::string_view MIXED
    = "\xEF\xBB\xBF[Event \"Mixed \\\"quoted\\\" \\\\ back\"]\r\n"
      "[Site \"?\"]\r\n"
      "[Result \"1-0\"]\r\n"
      "\r\n"
      "% an escape line 1. h4\r\n"
      "1. e4 {a comment (with) parens} e5 $1 2.Nf3!? (2. f4 exf4 (2... "
      "d5) {nested ( } 3. Nf3) 2... Nc6+- ; rest of line ( \r\n"
      "3. Bb5 a6 4. Ba4 Nf6 5. O-O Be7 1-0\r\n"
      "\r\n"
      "[Event \"second\"]\n"
      "[Result \"*\"]\n"
      "\n"
      "1.d4 d5 2.c4 dxc4 3.e3 b5 4.a4 c6 5.axb5 cxb5 6.Qf3 *\n"
      "\n"
      "1. f3 e5 2. g4 Qh4# 0-1\n";

} // namespace

TEST(Pgn, ReadsTagsMovetextAndResultsInEveryChunking) {
    const std::vector<GameRecord> whole = read_games(MIXED);
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(tag(whole[0], "Event"), "Mixed \"quoted\" \\ back");
    EXPECT_EQ(uci(whole[0]), "e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5a4 g8f6 e1g1 f8e7");
    EXPECT_EQ(whole[0].result, "1-0");
    EXPECT_EQ(uci(whole[1]), "d2d4 d7d5 c2c4 d5c4 e2e3 b7b5 a2a4 c7c6 a4b5 c6b5 d1f3");
    EXPECT_EQ(whole[1].result, "*");
    // A game without tags is a game; its result comes from the movetext.
    EXPECT_TRUE(whole[2].tags.empty());
    EXPECT_EQ(whole[2].result, "0-1");
    EXPECT_EQ(whole[2].index, 2u);
    for (const GameRecord& game : whole)
        EXPECT_FALSE(game.has_error) << game.error.message;

    for (const std::size_t chunk : { 1, 2, 3, 7, 64 }) {
        const std::vector<GameRecord> pieces = read_games(MIXED, chunk);
        ASSERT_EQ(pieces.size(), whole.size()) << chunk;
        for (std::size_t g = 0; g < whole.size(); ++g) {
            EXPECT_EQ(pieces[g].tags, whole[g].tags) << chunk;
            EXPECT_EQ(uci(pieces[g]), uci(whole[g])) << chunk;
            EXPECT_EQ(pieces[g].offset, whole[g].offset) << chunk;
        }
    }
}

// Chunks are read where they lie; only a token cut by a chunk's end is completed from the next
// chunk's head (or, when longer than that head, from the whole next chunk). Tags, comments, words
// and skipped lines longer than that head, cut at every kind of place, must read as the whole
// text does, errors and comment annotations included.
TEST(Pgn, LongTokensCutByChunksReadAsTheWholeText) {
    const std::string value(6000, 'v');
    const std::string comment = std::string(5000, 'c') + " [%eval 1.25] [%clk 0:01:02]";
    std::string text = "[Event \"" + value + "\"]\n[Site \"a \\\" b\"]\n\n1. e4 {" + comment
        + "} 1... e5 2.Nf3 ; " + std::string(5000, ';') + "\n2... Nc6 3. Bb5 {" + comment
        + "} a6 4. Ba4 $" + std::string(300, '1') + " 1-0\n\n";
    text += "1. d4 " + std::string(400, '9') + ". d5 *\n\n1. c4 (" + std::string(6000, '(')
        + std::string(6000, ')') + ") e5 2. " + std::string(5000, 'N') + " *\n\n";
    text += "% " + std::string(6000, '%') + "\n[Event \"" + std::string(9000, 'w')
        + "\"]\n\n1. e4 {" + comment + "} *\n";

    // A summary of each game without the long texts.
    const auto summary = [](const std::vector<GameRecord>& games) {
        std::string out;
        for (const GameRecord& game : games) {
            out += std::to_string(game.index) + "@" + std::to_string(game.offset) + ":";
            for (const auto& [name, tag_value] : game.tags)
                out += name + "=" + std::to_string(tag_value.size()) + tag_value.substr(0, 3) + ",";
            out += uci(game) + " " + game.result + " " + std::string(pgn_error_name(kind(game)))
                + "@" + std::to_string(game.error.offset) + "\n";
        }
        return out;
    };
    const auto evals = [&](std::size_t chunk) {
        GameFilter all;
        all.finished_only = false;
        ArrayBuilder builder(generator(), all, false, false);
        PgnReader reader(builder);
        for (std::size_t i = 0; i < text.size(); i += chunk)
            reader.feed(std::string_view(text).substr(i, chunk));
        reader.finish();
        std::string out;
        const auto& column = builder.columns().eval;
        for (std::size_t row = 0; row < column.size(); ++row)
            out += std::isnan(column[row]) ? "-," : std::to_string(column[row]) + ",";
        return out;
    };
    const std::vector<GameRecord> whole = read_games(text);
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_EQ(tag(whole[0], "Event"), value);
    EXPECT_EQ(tag(whole[0], "Site"), "a \" b");
    EXPECT_EQ(uci(whole[0]), "e2e4 e7e5 g1f3 b8c6 f1b5 a7a6 b5a4");
    EXPECT_EQ(kind(whole[0]), PgnErrorKind::UNEXPECTED_TEXT);
    EXPECT_EQ(kind(whole[1]), PgnErrorKind::UNEXPECTED_TEXT);
    EXPECT_EQ(uci(whole[2]), "c2c4 e7e5");
    EXPECT_EQ(kind(whole[2]), PgnErrorKind::UNEXPECTED_TEXT);
    EXPECT_EQ(tag(whole[3], "Event").size(), 9000u);
    EXPECT_EQ(uci(whole[3]), "e2e4");
    const std::string expected = summary(whole);
    const std::string expected_evals = evals(1 << 20);
    EXPECT_NE(expected_evals.find("125.0"), std::string::npos) << expected_evals;
    for (const std::size_t chunk : { 1, 7, 4095, 4096, 4097, 5003, 9000, 12345 }) {
        EXPECT_EQ(summary(read_games(text, chunk)), expected) << chunk;
        EXPECT_EQ(evals(chunk), expected_evals) << chunk;
    }

    // An over-long word known to be one before its end has arrived: the words after it are read
    // as in the whole text, on its line (a result ends the game) and after it (a blank line ends
    // the game, although no move was read).
    for (const std::string tail : { " 1-0 e4 *\n", "\n\nt\n" }) {
        const std::string long_word = std::string(300, 'a') + tail;
        const std::vector<GameRecord> games = read_games(long_word);
        ASSERT_EQ(games.size(), 2u) << tail;
        EXPECT_EQ(kind(games[0]), PgnErrorKind::UNEXPECTED_TEXT);
        for (const std::size_t chunk : { 1, 7, 64 })
            EXPECT_EQ(summary(read_games(long_word, chunk)), summary(games)) << tail << chunk;
    }

    // A tag of the reader's token limit is read, a longer one refused, however it is cut.
    for (const std::size_t length : { PgnReader::MAX_TOKEN, PgnReader::MAX_TOKEN + 1 }) {
        // [Event "..."] is 10 bytes around its value.
        const std::string tag_text
            = "[Event \"" + std::string(length - 10, 'v') + "\"]\n\n1. e4 *\n";
        const std::vector<GameRecord> games = read_games(tag_text);
        ASSERT_EQ(games.size(), 1u);
        EXPECT_EQ(kind(games[0]),
            length > PgnReader::MAX_TOKEN ? PgnErrorKind::BROKEN_TAG : PgnErrorKind::NONE);
        for (const std::size_t chunk : { 1, 4096, 65535, 65536, 65537 })
            EXPECT_EQ(summary(read_games(tag_text, chunk)), summary(games))
                << length << " " << chunk;
    }
}

TEST(Pgn, ResolvesTheSanFormsOfRealFiles) {
    const auto play = [](std::string_view fen, std::string_view san) {
        GameReplay replay(generator());
        EXPECT_FALSE(replay.reset(fen).has_value()) << fen;
        const PgnErrorKind kind = replay.play(san);
        return kind == PgnErrorKind::NONE ? replay.last_move().to_string()
                                          : std::string(pgn_error_name(kind));
    };
    const std::string start(START_FEN);
    EXPECT_EQ(play(start, "e4"), "e2e4");
    EXPECT_EQ(play(start, "Pe4"), "e2e4");
    EXPECT_EQ(play(start, "e2e4"), "e2e4");
    EXPECT_EQ(play(start, "e2-e4"), "e2e4");
    EXPECT_EQ(play(start, "Ng1f3"), "g1f3");
    EXPECT_EQ(play(start, "Nxf3"), "g1f3"); // a wrong capture mark is tolerated
    EXPECT_EQ(play(start, "e5"), "illegal_move");
    EXPECT_EQ(play(start, "Nd2"), "illegal_move");
    EXPECT_EQ(play(start, "Zz9"), "invalid_san");
    EXPECT_EQ(play(start, "e"), "invalid_san");

    const std::string castle = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1";
    EXPECT_EQ(play(castle, "O-O"), "e1g1");
    EXPECT_EQ(play(castle, "0-0-0"), "e1c1");
    EXPECT_EQ(play(castle, "Kg1"), "illegal_move"); // python-chess refuses it too
    EXPECT_EQ(play(castle, "e1g1"), "e1g1");
    EXPECT_EQ(play("r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", "O-O"), "illegal_move");

    const std::string promote = "1n5k/P7/8/8/8/8/8/K7 w - - 0 1";
    EXPECT_EQ(play(promote, "a8=Q"), "a7a8q");
    EXPECT_EQ(play(promote, "a8N"), "a7a8n");
    EXPECT_EQ(play(promote, "axb8=R"), "a7b8r");
    EXPECT_EQ(play(promote, "a8"), "illegal_move");
    EXPECT_EQ(play(promote, "a8=K"), "illegal_move");

    const std::string knights = "k7/8/8/8/8/8/8/KN3N2 w - - 0 1";
    EXPECT_EQ(play(knights, "Nd2"), "ambiguous_move");
    EXPECT_EQ(play(knights, "Nbd2"), "b1d2");
    EXPECT_EQ(play(knights, "N1d2"), "ambiguous_move");
    EXPECT_EQ(play(knights, "Nfd2"), "f1d2");
    // En passant and a capture without its mark.
    EXPECT_EQ(play("k7/8/8/3pP3/8/8/8/K7 w - d6 0 1", "exd6"), "e5d6");
    EXPECT_EQ(play("k7/8/8/3p4/4P3/8/8/K7 w - - 0 1", "ed5"), "e4d5");
    EXPECT_EQ(play("k7/8/8/3p4/4P3/8/8/K7 w - - 0 1", "xd5"), "illegal_move");
}

TEST(Pgn, RefusesBadGamesAndKeepsTheirNeighbours) {
    struct Case {
        const char* name;
        std::string game;
        PgnErrorKind kind;
        const char* moves_before_error;
    };
    const std::vector<Case> cases = {
        { "illegal", "1. e4 e5 2. Ke3 Nc6 1-0", PgnErrorKind::ILLEGAL_MOVE, "e2e4 e7e5" },
        { "ambiguous", "1. Nf3 Nf6 2. Nc3 Nc6 3. Nb5 d6 4. Nd4 1-0", PgnErrorKind::AMBIGUOUS_MOVE,
            "g1f3 g8f6 b1c3 b8c6 c3b5 d7d6" },
        { "invalid san", "1. e4 Qq9 1-0", PgnErrorKind::INVALID_SAN, "e2e4" },
        { "garbage", "1. e4 \x01\xFF e5 1-0", PgnErrorKind::INVALID_SAN, "e2e4" },
        { "bad nag", "1. e4 $x e5 1-0", PgnErrorKind::UNEXPECTED_TEXT, "e2e4" },
        { "null", "1. e4 -- 2. d4 1-0", PgnErrorKind::NULL_MOVE, "e2e4" },
        { "unterminated variation", "1. e4 (1. d4 d5\n\n", PgnErrorKind::UNTERMINATED_VARIATION,
            "e2e4" },
        { "unterminated comment", "1. e4 { never closed\n\n", PgnErrorKind::UNTERMINATED_COMMENT,
            "e2e4" },
    };
    const std::string good_before = "[Event \"before\"]\n\n1. d4 d5 1/2-1/2\n\n";
    const std::string good_after = "[Event \"after\"]\n\n1. c4 e5 0-1\n";
    for (const Case& c : cases) {
        const std::string text = good_before + "[Event \"bad\"]\n\n" + c.game + "\n\n" + good_after;
        for (const std::size_t chunk : { 1, 5, 1 << 20 }) {
            const std::vector<GameRecord> games = read_games(text, chunk);
            ASSERT_EQ(games.size(), 3u) << c.name << " " << chunk;
            EXPECT_EQ(kind(games[0]), PgnErrorKind::NONE) << c.name;
            EXPECT_EQ(uci(games[0]), "d2d4 d7d5") << c.name;
            EXPECT_EQ(kind(games[1]), c.kind) << c.name << ": " << games[1].error.message;
            EXPECT_EQ(games[1].error.game, 1u) << c.name;
            EXPECT_GE(games[1].error.offset, good_before.size()) << c.name;
            EXPECT_LT(games[1].error.offset, text.size() - good_after.size()) << c.name;
            EXPECT_EQ(uci(games[1]), c.moves_before_error) << c.name;
            EXPECT_EQ(kind(games[2]), PgnErrorKind::NONE) << c.name;
            EXPECT_EQ(tag(games[2], "Event"), "after") << c.name;
            EXPECT_EQ(uci(games[2]), "c2c4 e7e5") << c.name;
        }
    }

    // The offset points at the offending token; the message names it.
    const std::string illegal = "1. e4 e5 2. Ke3 1-0";
    const std::vector<GameRecord> one = read_games(illegal);
    EXPECT_EQ(one[0].error.offset, illegal.find("Ke3"));
    EXPECT_NE(one[0].error.message.find("'Ke3'"), std::string::npos) << one[0].error.message;

    // Broken tags, a bad FEN and input that ends inside a game.
    const std::vector<GameRecord> broken
        = read_games("[Event \"x\n1. e4 *\n\n[Event \"ok\"]\n\n1. e4 *\n");
    ASSERT_EQ(broken.size(), 2u);
    EXPECT_EQ(kind(broken[0]), PgnErrorKind::BROKEN_TAG);
    EXPECT_EQ(kind(broken[1]), PgnErrorKind::NONE);
    EXPECT_EQ(kind(read_games("[FEN \"8/8/8/8/8/8/8/8 w - - 0 1\"]\n\n1. e4 *")[0]),
        PgnErrorKind::BAD_FEN);
    for (const std::string_view cut :
        { "[Event \"x\"]\n", "1. e4 e5 2. Nf3", "1. e4 {open", "1. e4 (1. d4" }) {
        const std::vector<GameRecord> truncated = read_games(cut, 3);
        ASSERT_EQ(truncated.size(), 1u) << cut;
        EXPECT_TRUE(truncated[0].has_error) << cut;
    }
    EXPECT_TRUE(read_games("").empty());
    EXPECT_TRUE(read_games("\n ; only a comment\n% and an escape\n").empty());
}

TEST(Pgn, StrictReadingStopsAtTheFirstBadGame) {
    const std::string text = "1. e4 e5 *\n\n1. e5 *\n\n1. d4 *\n";
    std::uint64_t consumed = 0;
    const std::vector<GameRecord> games = read_games(text, 1 << 20, true, &consumed);
    ASSERT_EQ(games.size(), 2u);
    EXPECT_EQ(kind(games[1]), PgnErrorKind::ILLEGAL_MOVE);
    EXPECT_LT(consumed, text.size());
}

TEST(Pgn, ReadsStartPositionsStrictly) {
    const Result<StartPosition> good
        = read_start_fen(generator(), "r3k2r/8/8/3pP3/8/8/8/R3K3 w KQkq d6 12 40");
    ASSERT_TRUE(good.ok()) << good.error().message;
    // White's king-side right has no rook: dropped, as python-chess drops it.
    EXPECT_EQ(good.value().board.to_fen(), "r3k2r/8/8/3pP3/8/8/8/R3K3 w Qkq d6");
    EXPECT_EQ(good.value().halfmove_clock, 12u);
    EXPECT_EQ(read_start_fen(generator(), "4k3/8/8/8/8/8/8/4K3 b - e3").value().board.to_fen(),
        "4k3/8/8/8/8/8/8/4K3 b - -");
    for (const std::string_view bad : { "", "8/8/8/8/8/8/8/8 w - - 0 1",
             "4k3/8/8/8/8/8/8/4K3 x - - 0 1", "4k3/8/8/8/8/8/8/4K2 w - - 0 1",
             "4k3/8/8/8/8/8/8/4K3/8 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 w X - 0 1",
             "4k3/8/8/8/8/8/8/4K3 w - e4 0 1", "4k3/8/8/8/8/8/8/4K3 w - - x 1",
             "P3k3/8/8/8/8/8/8/4K3 w - - 0 1", "4k3/8/8/8/8/8/8/4KQ2 w - - 0 1 extra",
             "4k3/4Q3/8/8/8/8/8/4K3 w - - 0 1", "4k3/8/8/8/8/8/8/4K3 w - - 0" }) {
        EXPECT_FALSE(read_start_fen(generator(), bad).ok()) << bad;
    }
}

TEST(Pgn, ReadsLichessAnnotations) {
    const CommentAnnotations a = read_annotations(" [%eval 0.17] [%clk 0:03:00] ");
    EXPECT_TRUE(a.has_eval && a.has_clock && !a.has_mate);
    EXPECT_FLOAT_EQ(a.eval_cp, 17);
    EXPECT_FLOAT_EQ(a.clock_seconds, 180);
    const CommentAnnotations b = read_annotations("[%clk 1:02:03.5] [%eval #-3,20]");
    EXPECT_TRUE(b.has_mate && !b.has_eval);
    EXPECT_EQ(b.mate, -3);
    EXPECT_FLOAT_EQ(b.clock_seconds, 3723.5);
    EXPECT_FLOAT_EQ(read_annotations("[%eval -12.5]").eval_cp, -1250);
    for (const std::string_view bad : { "[%eval ]", "[%eval x]", "[%clk 1:2]", "[%eval 1.0" }) {
        const CommentAnnotations c = read_annotations(bad);
        EXPECT_FALSE(c.has_eval || c.has_mate || c.has_clock) << bad;
    }
}

TEST(Pgn, BuildsOneRowPerPositionWithFiltersAndRollback) {
    const std::string text
        = "[WhiteElo \"2000\"]\n[BlackElo \"1900\"]\n[TimeControl \"180+2\"]\n[Result \"0-1\"]\n\n"
          "1. e4 { [%eval 0.2] [%clk 0:03:00] } 1... d5 { [%eval #2] } 2. exd5 Qxd5 3. Nc3 "
          "Qe5+ 4. Qe2 Qxe2+ 5. Bxe2 0-1\n\n"
          "[WhiteElo \"1000\"]\n[BlackElo \"2500\"]\n\n1. e4 e5 1-0\n\n"
          "[Variant \"Atomic\"]\n\n1. e4 e5 1-0\n\n"
          "[Result \"1-0\"]\n\n1. e4 e5 2. Ke3 1-0\n\n"
          "[FEN \"4k3/1P6/8/8/8/8/8/4K3 w - - 7 50\"]\n\n50. b8=N Kf7 1/2-1/2\n\n"
          "1. e4 e5 *\n";
    for (const bool planes : { false, true }) {
        GameFilter filter;
        filter.min_elo = 1500;
        ArrayBuilder builder(generator(), filter, planes, false);
        PgnReader reader(builder);
        for (std::size_t i = 0; i < text.size(); i += 11)
            reader.feed(std::string_view(text).substr(i, 11));
        reader.finish();
        builder.finish();
        const PgnCounts& counts = builder.counts();
        EXPECT_EQ(counts.games, 6u);
        EXPECT_EQ(counts.good, 1u); // the FEN game has no Elo: filtered
        EXPECT_EQ(counts.filtered, 4u); // low Elo, and no Elo at all
        EXPECT_EQ(counts.variant, 1u);
        EXPECT_EQ(counts.bad, 0u);

        const PositionColumns& c = builder.columns();
        ASSERT_EQ(c.rows(), 9u);
        EXPECT_EQ(counts.positions, 9u);
        EXPECT_EQ(c.move[0], 12 * 64 + 28);
        EXPECT_FLOAT_EQ(c.eval[0], 20);
        EXPECT_FLOAT_EQ(c.clock[0], 180);
        EXPECT_EQ(c.mate[1], 2);
        EXPECT_TRUE(std::isnan(c.eval[1]) && std::isnan(c.clock[2]));
        EXPECT_EQ(c.ep_file[1], 4); // after e2e4
        EXPECT_EQ(c.ep_file[2], 3);
        EXPECT_EQ(c.ep_file[3], -1);
        EXPECT_EQ(c.halfmove[4], 0u); // after the capture Qxd5
        EXPECT_EQ(c.halfmove[5], 1u);
        EXPECT_EQ(c.castling[8], 0b1111);
        EXPECT_EQ(c.turn[0], 1);
        EXPECT_EQ(c.turn[1], 0);
        EXPECT_EQ(c.ply[8], 8);
        EXPECT_EQ(c.result[0], -1);
        EXPECT_EQ(c.white_elo[0], 2000);
        EXPECT_EQ(c.black_elo[3], 1900);
        for (std::size_t row = 0; row < c.rows(); ++row)
            EXPECT_EQ(c.game[row], 0);
        if (planes) {
            ASSERT_EQ(c.planes.size(), 9u * 768);
            EXPECT_EQ(c.planes[0 * 64 + 12], 1); // white pawn on e2 before 1. e4
            EXPECT_EQ(c.planes[0 * 64 + 28], 0);
            EXPECT_EQ(c.planes[768 + 0 * 64 + 28], 1);
        } else {
            ASSERT_EQ(c.packed.size(), 9u * 12);
            EXPECT_EQ(c.packed[0], 0xFF00u);
            EXPECT_EQ(c.packed[12 + 11], square_bit(60));
        }
    }

    // Without a filter: the FEN game's rows carry its clock and promotion; the bad game leaves
    // no rows; the unfinished game is counted apart.
    ArrayBuilder builder(generator(), GameFilter {}, false, false);
    PgnReader reader(builder);
    reader.feed(text);
    reader.finish();
    EXPECT_EQ(builder.counts().bad, 1u);
    EXPECT_EQ(builder.counts().unfinished, 1u);
    EXPECT_EQ(builder.counts().good, 3u);
    ASSERT_EQ(builder.errors().size(), 1u);
    EXPECT_EQ(builder.errors()[0].game, 3u);
    const PositionColumns& c = builder.columns();
    ASSERT_EQ(c.rows(), 9u + 2 + 2);
    EXPECT_EQ(c.game[11], 4);
    EXPECT_EQ(c.halfmove[11], 7u);
    EXPECT_EQ(c.promotion[11], 2); // knight, numbered as python-chess numbers pieces
    EXPECT_EQ(c.halfmove[12], 0u);
    EXPECT_EQ(c.result[11], 0);
}

// A plain reader of the annotations: each one found with find(), numbers read one digit at a time.
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads an unsigned decimal with an optional fraction at text[i...]; false when no digit.
bool read_decimal(std::string_view text, std::size_t& i, double& value) {
    const std::size_t start = i;
    value = 0;
    while (i < text.size() && is_digit(text[i]))
        value = value * 10 + (text[i++] - '0');
    if (i < text.size() && text[i] == '.') {
        ++i;
        double scale = 0.1;
        while (i < text.size() && is_digit(text[i])) {
            value += (text[i++] - '0') * scale;
            scale /= 10;
        }
    }
    return i > start && !(i == start + 1 && text[start] == '.');
}

CommentAnnotations reference_annotations(std::string_view comment) {
    CommentAnnotations out;
    const std::size_t eval = comment.find("[%eval ");
    if (eval != std::string_view::npos) {
        std::size_t i = eval + 7;
        const bool mate = i < comment.size() && comment[i] == '#';
        if (mate)
            ++i;
        double sign = 1;
        if (i < comment.size() && (comment[i] == '-' || comment[i] == '+'))
            sign = comment[i++] == '-' ? -1 : 1;
        double value = 0;
        if (read_decimal(comment, i, value) && i < comment.size()
            && (comment[i] == ']' || comment[i] == ',')) {
            if (mate) {
                out.has_mate = value < 1e6;
                out.mate = static_cast<int>(sign * value);
            } else {
                out.has_eval = true;
                out.eval_cp = static_cast<float>(sign * value * 100);
            }
        }
    }
    const std::size_t clk = comment.find("[%clk ");
    if (clk != std::string_view::npos) {
        std::size_t i = clk + 6;
        double hours = 0;
        double minutes = 0;
        double seconds = 0;
        if (read_decimal(comment, i, hours) && i < comment.size() && comment[i++] == ':'
            && read_decimal(comment, i, minutes) && i < comment.size() && comment[i++] == ':'
            && read_decimal(comment, i, seconds) && i < comment.size() && comment[i] == ']') {
            out.has_clock = true;
            out.clock_seconds = static_cast<float>(hours * 3600 + minutes * 60 + seconds);
        }
    }
    return out;
}

} // namespace

// The one-pass annotation reader gives what the plain reader gives, to the bit, for Lichess
// comments and for random text made of the pieces of annotations.
TEST(Pgn, AnnotationsAgreeWithAPlainReader) {
    const auto same = [](std::string_view text) {
        const CommentAnnotations a = reference_annotations(text);
        const CommentAnnotations b = read_annotations(text);
        EXPECT_EQ(a.has_eval, b.has_eval) << text;
        EXPECT_EQ(a.has_mate, b.has_mate) << text;
        EXPECT_EQ(a.has_clock, b.has_clock) << text;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(a.eval_cp), std::bit_cast<std::uint32_t>(b.eval_cp))
            << text;
        EXPECT_EQ(a.mate, b.mate) << text;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(a.clock_seconds),
            std::bit_cast<std::uint32_t>(b.clock_seconds))
            << text;
        return a.has_eval || a.has_mate || a.has_clock;
    };
    for (const std::string_view text : { " [%eval 0.17] [%clk 0:03:00] ", "[%eval #-3]",
             "[%clk 1:02:03.5][%eval -12.345678901234567890123456789]", "[%eval .5]", "[%eval 5.]",
             "[%eval .]", "[%clk 0:00:00.123456789012345678901234567890]", "[%eval +0.1,3]",
             "[%eval 0.1] [%eval 0.2]", "[%clk 0:1] [%clk 0:01:02]", "[%eval", "[[%clk 9:9:9]",
             "[%clk 9:59:59]", "[%clk 0:00:00]", "[%clk 1:00:0]", "[%clk 1:00:00",
             "[%clk 1:00:00.5]" })
        same(text);
    // Junk, then annotations whose values are random runs of number characters.
    const std::string_view junk[]
        = { "[%", "[", "%", " ", "x", "eval", "clk", "]", "[%eval", "[%clk" };
    const std::string_view heads[] = { "[%eval ", "[%eval #", "[%eval -", "[%eval +", "[%clk " };
    const char value_chars[] = "0123456789012345.:.:#-]],";
    Rng rng = Rng::new_deterministic(5, 11);
    std::size_t annotated = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (std::uint64_t k = rng.random() % 3; k > 0; --k)
            text += junk[rng.random() % std::size(junk)];
        for (std::uint64_t a = 1 + rng.random() % 2; a > 0; --a) {
            text += heads[rng.random() % std::size(heads)];
            for (std::uint64_t k = rng.random() % 30; k > 0; --k)
                text += value_chars[rng.random() % (sizeof(value_chars) - 1)];
            text += rng.random() % 4 ? "]" : "";
        }
        annotated += same(text);
    }
    EXPECT_GT(annotated, 2000u);
    // Every evaluation of Lichess's D.DD form, with and without a sign.
    for (const std::string_view sign : { "", "-", "+" })
        for (int cp = 0; cp < 1000; ++cp) {
            const std::string digits = std::to_string(1000 + cp).substr(1);
            same("[%eval " + std::string(sign) + digits.substr(0, 1) + "." + digits.substr(1)
                + "] [%clk 0:00:10]");
        }
}

// The columns of the same games are the same whether their memory is fresh, recycled from freed
// columns of either layout (with other rows in it) or grown row by row from nothing.
TEST(Pgn, ColumnsGrowAndRecycleMemoryWithoutChangingRows) {
    std::string text;
    for (int g = 0; g < 700; ++g) {
        text += "[Result \"1-0\"]\n\n1. e4 { [%eval 0.3] } e5 2. Nf3 Nc6 { [%clk 0:01:02] } 3. Bb5 "
                "a6 "
                "4. Ba4 Nf6 5. O-O Be7 1-0\n\n";
        if (g % 100 == 7)
            text += "1. e4 e5 2. Ke3 1-0\n\n"; // bad: its rows are dropped
    }
    const auto build = [&](bool planes, std::size_t reserve) {
        ArrayBuilder builder(generator(), GameFilter {}, planes, false);
        if (reserve > 0)
            builder.reserve(reserve);
        PgnReader reader(builder);
        reader.feed(text);
        reader.finish();
        builder.finish();
        EXPECT_EQ(builder.columns().rows(), 700u * 10);
        std::vector<std::string> columns;
        const auto add = [&](const auto& column) {
            const auto* bytes = reinterpret_cast<const char*>(column.data());
            columns.emplace_back(column.size()
                    ? std::string(bytes, column.size() * sizeof(column[0]))
                    : std::string());
        };
        const PositionColumns& c = builder.columns();
        add(c.packed);
        add(c.planes);
        add(c.turn);
        add(c.castling);
        add(c.ep_file);
        add(c.halfmove);
        add(c.move);
        add(c.promotion);
        add(c.game);
        add(c.ply);
        add(c.result);
        add(c.white_elo);
        add(c.black_elo);
        add(c.eval);
        add(c.mate);
        add(c.clock);
        return columns;
    };
    clear_column_cache();
    const auto packed = build(false, 0);
    EXPECT_GT(column_cache_bytes(), 0u);
    const auto planes = build(true, 1 << 20);
    EXPECT_EQ(packed[0].size(), 700u * 10 * 12 * 8);
    EXPECT_EQ(planes[1].size(), 700u * 10 * 768);
    EXPECT_EQ(planes[1][768 + 28], 1); // the pawn on e4 after 1. e4
    for (std::size_t i = 2; i < packed.size(); ++i)
        EXPECT_EQ(packed[i], planes[i]) << i;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(build(false, 5), packed);
        EXPECT_EQ(build(true, 0), planes);
        EXPECT_EQ(build(false, 1 << 16), packed);
    }
    EXPECT_LE(column_cache_bytes(), COLUMN_CACHE_BYTES);
    clear_column_cache();
    EXPECT_EQ(column_cache_bytes(), 0u);
}

// The replay resolves common SAN without listing the legal moves; whatever form a move takes, it
// must agree with match_san over the full list, errors included. Castling is asked for in every
// position, from starts where it is often possible, through check or through attacked squares.
TEST(Pgn, QuickResolutionAgreesWithMatchSan) {
    Rng rng(2026);
    constexpr std::string_view STARTS[]
        = { START_FEN, "r3k2r/pppq1ppp/2npbn2/2b1p3/2B1P3/2NPBN2/PPPQ1PPP/R3K2R w KQkq - 0 1",
              "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "r3k2r/8/8/2b5/5B2/8/8/R3K2R w KQkq - 0 1" };
    Board board = test_support::read(START_FEN);
    GameReplay replay(generator());
    std::size_t compared = 0;
    std::size_t castles = 0;
    for (int ply = 0; ply < 3000; ++ply) {
        MoveList legal;
        generator().moves(board, legal);
        if (legal.empty() || ply % 150 == 0) {
            board = test_support::read(STARTS[(ply / 150) % std::size(STARTS)]);
            continue;
        }
        const std::string fen = board.to_fen() + " 0 1";
        SanWriter writer(generator(), board);
        for (const ChessMove move : writer.moves()) {
            char text[MAX_SAN_LENGTH];
            const std::string san(text, writer.write(move, text));
            const std::string plain = san.substr(0, san.find_first_of("+#"));
            const std::string square = ChessMove::square(move.from());
            std::vector<std::string> forms = { plain, square + plain.substr(plain.size() - 2),
                plain.substr(0, 1) + square[0] + plain.substr(1),
                plain.substr(0, 1) + square[1] + plain.substr(1) };
            if (plain.find('x') != std::string::npos) {
                std::string bare = plain;
                bare.erase(bare.find('x'), 1);
                forms.push_back(bare);
            }
            if (move == writer.moves()[0]) {
                forms.push_back("O-O");
                forms.push_back("O-O-O");
            }
            for (const std::string& form : forms) {
                const SanMatch expected = match_san(board, legal, form);
                ASSERT_FALSE(replay.reset(fen).has_value()) << fen;
                const PgnErrorKind kind = replay.play(form);
                const PgnErrorKind expected_kind = expected.status == SanStatus::OK
                    ? PgnErrorKind::NONE
                    : expected.status == SanStatus::INVALID ? PgnErrorKind::INVALID_SAN
                    : expected.status == SanStatus::ILLEGAL ? PgnErrorKind::ILLEGAL_MOVE
                                                            : PgnErrorKind::AMBIGUOUS_MOVE;
                ASSERT_EQ(kind, expected_kind) << fen << " " << form;
                if (kind == PgnErrorKind::NONE) {
                    ASSERT_EQ(replay.last_move().to_string(), expected.move.to_string())
                        << fen << " " << form;
                    castles += form.starts_with("O-O");
                }
                ++compared;
            }
        }
        ASSERT_FALSE(board.push_move(legal[rng.random() % legal.size()]).has_value());
    }
    EXPECT_GT(compared, 10000u);
    EXPECT_GT(castles, 100u);
}

// The replay makes its moves without Board::push_move (no history, no hash): after every move of
// random games, from positions rich in castling, en passant, promotions and corner captures, its
// bitboards, square table and info word must be push_move's, and the row it reports must be the
// position before the move.
TEST(Pgn, ReplayMovesAgreeWithPushMove) {
    Rng rng(7);
    std::size_t castles = 0;
    std::size_t passants = 0;
    std::size_t promotions = 0;
    for (const std::string_view fen :
        { START_FEN, std::string_view("r3k2r/1P4P1/8/3pP3/8/8/1p4p1/R3K2R w KQkq d6 0 1"),
            std::string_view("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R b KQkq - 0 1") }) {
        for (int game = 0; game < 60; ++game) {
            Board board = test_support::read(fen);
            GameReplay replay(generator());
            ASSERT_FALSE(replay.reset(fen).has_value()) << fen;
            for (int ply = 0; ply < 160; ++ply) {
                SanWriter writer(generator(), board);
                if (writer.moves().empty())
                    break;
                const ChessMove move = writer.moves()[rng.random() % writer.moves().size()];
                char text[MAX_SAN_LENGTH];
                const std::string san(text, writer.write(move, text));
                const auto before = board.pieces;
                const std::uint64_t info = board.info;
                ASSERT_EQ(replay.play(san), PgnErrorKind::NONE) << board.to_fen() << " " << san;
                ASSERT_EQ(replay.last_move().to_string(), move.to_string()) << san;
                ASSERT_FALSE(board.push_move(move).has_value());
                ASSERT_EQ(replay.before_pieces(), before) << san;
                ASSERT_EQ(replay.before_info(), info) << san;
                ASSERT_EQ(replay.board().pieces, board.pieces) << board.to_fen() << " " << san;
                ASSERT_EQ(replay.board().piece_on, board.piece_on) << board.to_fen() << " " << san;
                ASSERT_EQ(replay.board().info, board.info) << board.to_fen() << " " << san;
                castles += san.starts_with("O-O");
                promotions += san.find('=') != std::string::npos;
                const bool pawn_takes = san[0] >= 'a' && san[0] <= 'h' && san[1] == 'x';
                const Bitboard occupied = before[PAWN] | before[KNIGHT] | before[BISHOP]
                    | before[ROOK] | before[QUEEN] | before[KING] | before[BLACK_OFFSET + PAWN]
                    | before[BLACK_OFFSET + KNIGHT] | before[BLACK_OFFSET + BISHOP]
                    | before[BLACK_OFFSET + ROOK] | before[BLACK_OFFSET + QUEEN]
                    | before[BLACK_OFFSET + KING];
                passants += pawn_takes && !(occupied & square_bit(move.to()));
            }
        }
    }
    EXPECT_GT(castles, 20u);
    EXPECT_GT(passants, 0u);
    EXPECT_GT(promotions, 20u);
}

// Names written with their quotes unescaped read as the text between the first and the last
// quote of the line, whatever the chunking; lines that are really broken stay refused.
TEST(PgnReader, ReadsTagValuesWithUnescapedQuotes) {
    struct Case {
        std::string_view line;
        std::string_view value; // "" with broken: refused
        bool broken;
    };
    const Case cases[] = {
        { "[White \"\"Deep Thought\"\"]", "\"Deep Thought\"", false },
        { "[White \"a\" b\"]", "a\" b", false },
        { "[White \"a\\\"b\"c\"]  ", "a\\\"b\"c", false },
        { "[White \"a\" \"b\"]\r", "a\" \"b", false },
        { "[White \"\"\"]", "\"", false },
        { "[White \"plain \\\"escape\\\"\"]", "plain \"escape\"", false },
        { "[White \"abc]", "", true },
        { "[White abc]", "", true },
        { "[White \"a\"b\" ]", "", true },
        { "[White \"a\" b", "", true },
    };
    for (const Case& c : cases)
        for (const std::size_t chunk :
            { std::size_t { 1 }, std::size_t { 5 }, std::size_t { 1 << 20 } }) {
            const std::string text = std::string(c.line) + "\n[Black \"b\"]\n\n1. e4 e5 *\n";
            const std::vector<GameRecord> games = read_games(text, chunk);
            ASSERT_EQ(games.size(), 1u) << c.line;
            if (c.broken) {
                EXPECT_EQ(kind(games[0]), PgnErrorKind::BROKEN_TAG) << c.line;
                continue;
            }
            EXPECT_EQ(kind(games[0]), PgnErrorKind::NONE) << c.line << " chunk " << chunk;
            EXPECT_EQ(tag(games[0], "White"), c.value) << c.line << " chunk " << chunk;
            EXPECT_EQ(tag(games[0], "Black"), "b") << c.line;
            EXPECT_EQ(uci(games[0]), "e2e4 e7e5") << c.line;
        }
    // At the very end of the input, without a newline.
    const std::vector<GameRecord> last = read_games("[White \"\"x\"\"]", 3);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(tag(last[0], "White"), "\"x\"");
}
