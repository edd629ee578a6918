// SAN writing and reading: python-chess's texts, the tolerated variants, the refused ones.
#include "position_queries.h"
#include "san.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace quarn_chess;
using test_support::read;

namespace {

const MoveGenerator& gen() { return shared_generator(); }

std::string san_of(std::string_view fen, std::string_view uci) {
    Board board = read(fen);
    const Result<std::string> text = san(gen(), board, parse_uci(uci).value());
    return text.ok() ? text.value() : "error: " + text.error().message;
}

std::string parsed(std::string_view fen, std::string_view text) {
    Board board = read(fen);
    const Board before = board;
    const Result<ChessMove> move = parse_san(gen(), board, text);
    EXPECT_EQ(board, before);
    return move.ok() ? move.value().to_string() : "error: " + move.error().message;
}

constexpr std::string_view KIWIPETE
    = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -";

} // namespace

TEST(San, WritesPythonChessTexts) {
    const struct {
        std::string_view fen, uci, san;
    } cases[] = {
        { START_FEN, "e2e4", "e4" },
        { START_FEN, "g1f3", "Nf3" },
        { KIWIPETE, "e1g1", "O-O" },
        { KIWIPETE, "e1c1", "O-O-O" },
        { KIWIPETE, "e2a6", "Bxa6" },
        { KIWIPETE, "d5e6", "dxe6" },
        { KIWIPETE, "c3b5", "Nb5" },
        // Knights on b6 and f6 both take on d5: the file tells them apart.
        { "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq -", "b6d5", "Nbxd5" },
        // Rooks on a1 and a5 both reach a3: the rank tells them apart.
        { "4k3/8/8/R7/8/8/8/R3K3 w - -", "a1a3", "R1a3" },
        // Queens on a1, a3 and c1 reach b2: neither file nor rank alone tells a1 apart.
        { "4k3/8/8/8/8/Q7/8/Q1Q1K3 w - -", "a1b2", "Qa1b2" },
        { "4k3/8/8/3pP3/8/8/8/4K3 w - d6", "e5d6", "exd6" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "e7d8q", "exd8=Q+" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "e7d8n", "exd8=N" },
        { "6k1/5ppp/8/8/8/8/8/R3K3 w - -", "a1a8", "Ra8#" },
        { "5k2/8/8/8/8/8/8/4K2R w K -", "e1g1", "O-O+" },
        { "rnbqkbnr/pppp1ppp/8/4p3/6P1/5P2/PPPPP2P/RNBQKBNR b KQkq -", "d8h4", "Qh4#" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(san_of(c.fen, c.uci), c.san) << c.fen << " " << c.uci;
    EXPECT_EQ(san_of(START_FEN, "e2e5").substr(0, 21), "error: illegal move: ");
    EXPECT_EQ(san_of("4k3/4P3/8/8/8/8/8/4K3 w - -", "e7e8"),
        "error: illegal move: 'e7e8' in 4k3/4P3/8/8/8/8/8/4K3 w - -");
}

TEST(San, ReadsTheToleratedForms) {
    const struct {
        std::string_view fen, text, uci;
    } cases[] = {
        { START_FEN, "e4", "e2e4" },
        { START_FEN, "Nf3", "g1f3" },
        { START_FEN, "Ng1f3", "g1f3" },
        { START_FEN, "Ng1-f3", "g1f3" },
        { START_FEN, "g1f3", "g1f3" },
        { START_FEN, "e2e4", "e2e4" },
        { START_FEN, "Nf3+", "g1f3" },
        { START_FEN, "Nf3#!?", "g1f3" },
        { START_FEN, "e4!!", "e2e4" },
        { START_FEN, "xe4", "e2e4" },
        { KIWIPETE, "O-O", "e1g1" },
        { KIWIPETE, "0-0", "e1g1" },
        { KIWIPETE, "O-O-O+", "e1c1" },
        { KIWIPETE, "0-0-0", "e1c1" },
        { KIWIPETE, "e1g1", "e1g1" },
        { KIWIPETE, "e1h1", "e1g1" },
        { KIWIPETE, "dxe6", "d5e6" },
        { KIWIPETE, "de6", "d5e6" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "exd8=Q", "e7d8q" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "exd8Q", "e7d8q" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "exd8q", "e7d8q" },
        { "3rk3/4P3/8/8/8/8/8/4K3 w - -", "e7d8r", "e7d8r" },
        { "4k3/8/8/3pP3/8/8/8/4K3 w - d6", "exd6", "e5d6" },
        { "4k3/8/8/R7/8/8/8/R3K3 w - -", "R1a3", "a1a3" },
        // An en-passant flag on an occupied square: capture and en passant are one move in text.
        { "4k3/8/1p6/2P5/8/8/8/4K3 w - b6", "cxb6", "c5b6" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.fen, c.text), c.uci) << c.fen << " " << c.text;
}

TEST(San, RefusesWithTheReason) {
    const struct {
        std::string_view fen, text, message;
    } cases[] = {
        { START_FEN, "", "invalid san: ''" },
        { START_FEN, "e9", "invalid san: 'e9'" },
        { START_FEN, "Pe4", "invalid san: 'Pe4'" },
        { START_FEN, "nf3", "invalid san: 'nf3'" },
        { START_FEN, "Nf3 ", "invalid san: 'Nf3 '" },
        { START_FEN, "--", "invalid san: '--'" },
        { START_FEN, "e5", "illegal san: 'e5' in " },
        { START_FEN, "O-O", "illegal san: 'O-O' in " },
        { START_FEN, "Ke2", "illegal san: 'Ke2' in " },
        { START_FEN, "exd3", "illegal san: 'exd3' in " },
        { KIWIPETE, "Kg1", "illegal san: 'Kg1' in " },
        { "4k3/4P3/8/8/8/8/8/4K3 w - -", "e8", "illegal san: 'e8' in " },
        { "4k3/4P3/8/8/8/8/8/4K3 w - -", "e7e8", "illegal san: 'e7e8' in " },
        { "4k3/4P3/8/8/8/8/8/4K3 w - -", "e8=K", "illegal san: 'e8=K' in " },
        { "4k3/8/8/R7/8/8/8/R3K3 w - -", "Ra3", "ambiguous san: 'Ra3' in " },
        { "4k3/8/8/8/8/Q7/8/Q1Q1K3 w - -", "Qab2", "ambiguous san: 'Qab2' in " },
    };
    for (const auto& c : cases) {
        const std::string message = parsed(c.fen, c.text);
        EXPECT_EQ(message.substr(0, 7 + c.message.size()), "error: " + std::string(c.message))
            << c.fen << " " << c.text;
    }
}

// Every legal move's SAN reads back as that move, along random games from the perft positions.
TEST(San, RoundTripsEveryLegalMove) {
    std::mt19937 rng(7);
    const std::string_view fens[] = { START_FEN, KIWIPETE, "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -" };
    for (const std::string_view fen : fens) {
        Board board = read(fen);
        for (int ply = 0; ply < 60; ++ply) {
            SanWriter writer(gen(), board);
            const MoveList moves = writer.moves();
            if (moves.empty())
                break;
            for (const ChessMove m : moves) {
                char text[MAX_SAN_LENGTH];
                const std::string_view san_text(text, writer.write(m, text));
                const SanMatch match = match_san(board, moves, san_text);
                ASSERT_EQ(match.status, SanStatus::OK) << board.to_fen() << " " << san_text;
                EXPECT_EQ(match.move, m) << board.to_fen() << " " << san_text;
            }
            ASSERT_FALSE(board.push_move(moves[rng() % moves.size()]).has_value());
        }
    }
}

TEST(San, ReadsCoordinateTextStrictly) {
    EXPECT_EQ(parse_uci("e7e8Q"), ChessMove::packed(52, 60, ChessMove::PROMOTE_QUEEN));
    EXPECT_EQ(parse_uci("a1h8"), ChessMove::packed(0, 63));
    for (const std::string_view bad : { "", "e2e", "e2e4 ", "e2e4k", "i2e4", "e0e4", "e2e4qq" })
        EXPECT_FALSE(parse_uci(bad).has_value()) << bad;
}
