// The fast legality test and bulk count against the make / attack test / unmake filter.
#include "board.h"
#include "move_generator.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

using namespace quarn_chess;
using test_support::generator;
using test_support::standard_positions;

namespace {

// What a legal-move call gives: the move values, or the text of the fault it raised.
struct Outcome {
    std::vector<std::uint16_t> moves;
    std::string fault;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

template <class List> Outcome run(Board& board, List list) {
    Outcome outcome;
    const Board before = board;
    try {
        MoveList moves;
        list(board, moves);
        for (const ChessMove m : moves)
            outcome.moves.push_back(m.data);
    } catch (const Fault& fault) {
        outcome.fault = fault.what();
    }
    EXPECT_EQ(board, before) << board.to_fen();
    return outcome;
}

std::string describe(const Outcome& outcome) {
    if (!outcome.fault.empty())
        return "fault: " + outcome.fault;
    std::string text;
    for (const std::uint16_t m : outcome.moves)
        text += ChessMove { m }.to_string() + " ";
    return text;
}

// Compares moves with reference_moves on the board, and count_moves with the length of the
// list (a fault must be a fault in all three); returns the fast result.
Outcome compare(Board& board, const std::string& label) {
    const Outcome fast = run(board, [](Board& b, MoveList& l) { generator().moves(b, l); });
    const Outcome reference
        = run(board, [](Board& b, MoveList& l) { generator().reference_moves(b, l); });
    EXPECT_EQ(fast, reference) << label << "\n  fast:      " << describe(fast)
                               << "\n  reference: " << describe(reference);
    const Board before = board;
    try {
        EXPECT_EQ(generator().count_moves(board), fast.moves.size()) << label;
        EXPECT_TRUE(fast.fault.empty()) << label;
    } catch (const Fault& fault) {
        EXPECT_EQ(fault.what(), fast.fault) << label;
    }
    EXPECT_EQ(board, before) << label;
    return fast;
}

// Instrumented or unoptimised builds compare fewer positions.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr int SCALE = 1;
#else
constexpr int SCALE = 4;
#endif

// Beside the standard positions: en passant out of a pin along the rank, checks by pawns and
// knights, near-empty boards.
const char* const EXTRA_FENS[] = {
    "8/8/8/KPp4r/8/8/8/4k3 w - c6",
    "8/8/3k4/8/1K1pP2q/8/8/8 b - e3",
    "4k3/8/8/2pP4/8/8/8/2K1R3 w - c6",
    "8/2p5/8/KP5r/8/8/8/7k b - -",
};

// Plays `plies` random legal moves from the board (fewer when the game ends), comparing the two
// filters before every move; returns the number of positions compared.
int random_game(Board& board, std::mt19937_64& rng, int plies, const std::string& label) {
    int compared = 0;
    for (int ply = 0; ply <= plies; ++ply) {
        const Outcome outcome = compare(board, label + " ply " + std::to_string(ply));
        ++compared;
        if (!outcome.fault.empty() || outcome.moves.empty() || ply == plies)
            break;
        const ChessMove m { outcome.moves[rng() % outcome.moves.size()] };
        if (board.push_move(m).has_value())
            break;
    }
    return compared;
}

// A random placement as FEN text with the given numbers of kings; with `home` the first king of
// each side stands on its castling square. Up to 23 other pieces, often enough near the kings to
// give checks, double checks and pins; pawns may stand on the first and last ranks.
std::string random_placement(std::mt19937_64& rng, int white_kings, int black_kings, bool home) {
    std::array<char, 64> squares;
    squares.fill('.');
    const auto free_square = [&] {
        for (;;) {
            const unsigned s = rng() % 64;
            if (squares[s] == '.')
                return s;
        }
    };
    for (int i = 0; i < white_kings; ++i)
        squares[home && i == 0 ? 4 : free_square()] = 'K';
    for (int i = 0; i < black_kings; ++i)
        squares[home && i == 0 ? 60 : free_square()] = 'k';
    const int count = static_cast<int>(rng() % 24);
    for (int i = 0; i < count; ++i)
        squares[free_square()] = "PNBRQpnbrq"[rng() % 10];
    std::string text;
    for (int rank = 7; rank >= 0; --rank) {
        int run = 0;
        for (int file = 0; file < 8; ++file) {
            const char c = squares[rank * 8 + file];
            if (c == '.') {
                ++run;
                continue;
            }
            if (run)
                text += static_cast<char>('0' + run);
            run = 0;
            text += c;
        }
        if (run)
            text += static_cast<char>('0' + run);
        if (rank)
            text += '/';
    }
    return text;
}

// The remaining three fields: either side, any subset of rights (rooks or not), and an
// en-passant field that is "-", any file letter (whatever stands on the target and beside it),
// or a character that sets a bit outside the en-passant groups.
std::string random_fields(std::mt19937_64& rng) {
    std::string text = rng() % 2 ? " w " : " b ";
    std::string rights;
    for (const char c : { 'K', 'Q', 'k', 'q' })
        if (rng() % 2)
            rights += c;
    text += rights.empty() ? "-" : rights;
    switch (rng() % 4) {
    case 0: text += " -"; break;
    case 1:
    case 2: text += std::string(" ") + static_cast<char>('a' + rng() % 8) + "3"; break;
    default: text += std::string(" ") + "1x~z"[rng() % 4]; break;
    }
    return text;
}

} // namespace

// Random games from the perft positions: every position on the way is decided both ways.
TEST(Legality, FastPathAgreesInRandomGames) {
    std::mt19937_64 rng(20261208);
    int compared = 0;
    std::vector<std::string> fens = standard_positions();
    fens.insert(fens.end(), std::begin(EXTRA_FENS), std::end(EXTRA_FENS));
    for (const std::string& fen : fens)
        for (int game = 0; game < 40 * SCALE; ++game) {
            Board board = Board::from_fen(fen).value();
            compared += random_game(board, rng, 120, fen);
        }
    RecordProperty("positions", compared);
    EXPECT_GE(compared, 10'000 * SCALE);
}

// Random positions with one king per side and disjoint bitboards (the fast path), with wild
// rights and en-passant bits, and a few random moves from each. Half of them have the kings on
// their home squares, so that castling (with or without rooks, through attacked squares or
// not) comes up often.
TEST(Legality, FastPathAgreesInRandomPositions) {
    std::mt19937_64 rng(77);
    int compared = 0;
    for (int i = 0; i < 5'000 * SCALE; ++i) {
        const std::string fen = random_placement(rng, 1, 1, i % 2 == 0) + random_fields(rng);
        Board board = Board::from_fen(fen).value();
        compared += random_game(board, rng, 6, fen);
    }
    RecordProperty("positions", compared);
    EXPECT_GE(compared, 10'000 * SCALE);
}

// Positions outside the fast path agree too, faults included: several kings, no king, and
// squares claimed by two bitboards (written straight into the board, then resynced).
TEST(Legality, OddPositionsAgree) {
    std::mt19937_64 rng(4242);
    int compared = 0;
    for (int i = 0; i < 3'000 * SCALE; ++i) {
        const int white_kings = static_cast<int>(rng() % 3);
        const int black_kings = static_cast<int>(rng() % 3);
        const std::string fen
            = random_placement(rng, white_kings, black_kings, i % 2 == 0) + random_fields(rng);
        Board board = Board::from_fen(fen).value();
        if (rng() % 2) {
            const int overlaps = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < overlaps; ++k)
                board.pieces[rng() % PIECE_COUNT]
                    |= board.occupied() & (std::uint64_t { 1 } << (rng() % 64));
            board.resync();
        }
        compared += random_game(board, rng, 4, fen);
    }
    // Placements of more than 64 squares wrap onto the first ones.
    for (const char* fen : { "KQ6/8/8/8/8/8/8/8/8/k7 w - -", "kr6/8/8/8/8/8/8/8/8/K7 b - -",
             "8/8/8/8/8/8/8/8/4k3/PPPPKPPP w KQkq e3" }) {
        Board board = Board::from_fen(fen).value();
        compared += random_game(board, rng, 4, fen);
    }
    RecordProperty("positions", compared);
    EXPECT_GE(compared, 3'000 * SCALE);
}
