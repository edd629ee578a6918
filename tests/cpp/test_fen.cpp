// FEN reading and writing: round trips, lenient placement, rejected fields and faults.
#include "bits.h"
#include "board.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace quarn_chess;
using test_support::read;

namespace {

std::string round_trip(std::string_view fen) { return read(fen).to_fen(); }

} // namespace

TEST(Fen, RoundTripsStartPosition) {
    const Board board = read(START_FEN);
    EXPECT_EQ(board.to_fen(), START_FEN);
    EXPECT_EQ(board.info, 0b11111u);
    EXPECT_EQ(board.pieces[0], 0xFF00u);
    EXPECT_EQ(board.pieces[11], square_bit(60));
    EXPECT_TRUE(board.move_stack.empty());
}

TEST(Fen, ReadsFieldsLeniently) {
    // Counters are ignored and never written; the rank digit of the en-passant field is not read.
    const Board after_e4 = read("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
    EXPECT_EQ(after_e4.info, 0x1Eu | 1u << 17);
    EXPECT_EQ(after_e4.to_fen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3");
    const Board white_e3 = read("8/8/8/8/8/8/8/8 w - e3");
    EXPECT_EQ(white_e3.info, 1u | 1u << 9);
    EXPECT_EQ(white_e3.to_fen(), "8/8/8/8/8/8/8/8 w - e6");

    EXPECT_EQ(round_trip("8/8/8/8/8/8/8/8 w qkQK -"), "8/8/8/8/8/8/8/8 w KQkq -");
    EXPECT_EQ(round_trip("8/8/8/8/8/8/8/8 w K-Q -"), "8/8/8/8/8/8/8/8 w K -");
    EXPECT_EQ(round_trip("8/8/8/8/8/8/8/8 b -XYZ -"), "8/8/8/8/8/8/8/8 b - -");
    EXPECT_EQ(round_trip(" \t8/8/8/8/8/8/8/8 \u3000 w\t\t- -  5 \n"), "8/8/8/8/8/8/8/8 w - -");
    // Other en-passant characters land on whatever bit the arithmetic gives, e.g. "1" -> bit 21.
    EXPECT_EQ(read("8/8/8/8/8/8/8/8 w - 1").info, 1u | 1u << 21);
}

TEST(Fen, PlacementIsNotValidated) {
    // Three ranks: the last one written becomes rank 1.
    EXPECT_EQ(read("8/8/PPPPPPPP w - -").pieces[0], 0xFFu);
    // "/" does not restart a rank, so a short rank shifts the rest.
    EXPECT_EQ(read("8/8/8/8/8/8/P/K w - -").pieces[0], square_bit(1));
    // More than 64 squares wrap to a1 and may set one square in two bitboards; the writer shows
    // the lowest piece index.
    EXPECT_EQ(read("Q/8/8/8/8/8/8/8/8 w - -").pieces[4], square_bit(0));
    const Board both = read("k/8/8/8/8/8/8/8/K7 w - -");
    EXPECT_EQ(both.pieces[5], square_bit(0));
    EXPECT_EQ(both.pieces[11], square_bit(0));
    EXPECT_EQ(both.to_fen(), "8/8/8/8/8/8/8/K7 w - -");
}

TEST(Fen, RejectsSideAndCastlingFields) {
    EXPECT_EQ(Board::from_fen("8/8/8/8/8/8/8/8 x - -").error().message, "Invalid side-to-move");
    EXPECT_EQ(Board::from_fen("8/8/8/8/8/8/8/8 W - -").error().message, "Invalid side-to-move");
    EXPECT_EQ(Board::from_fen("8/8/8/8/8/8/8/8 white - -").error().message, "Invalid side-to-move");
    EXPECT_EQ(
        Board::from_fen("8/8/8/8/8/8/8/8 w KX -").error().message, "Invalid castling specifier");
    // The castling error comes before the missing en-passant field.
    EXPECT_EQ(Board::from_fen("8/8/8/8/8/8/8/8 w X").error().message, "Invalid castling specifier");
}

TEST(Fen, MissingFieldsAndBadPiecesAreFaults) {
    EXPECT_THROW(Board::from_fen(""), Fault);
    EXPECT_THROW(Board::from_fen(" \n "), Fault);
    EXPECT_THROW(Board::from_fen("8/8/8/8/8/8/8/8"), Fault);
    EXPECT_THROW(Board::from_fen("8/8/8/8/8/8/8/8 w"), Fault);
    EXPECT_THROW(Board::from_fen("8/8/8/8/8/8/8/8 w KQ"), Fault);
    try {
        Board::from_fen("8/8/8/8/x/8/8/8 x - -");
        FAIL();
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "Invalid piece type"); // the placement is read first
    }
    EXPECT_THROW(Board::from_fen("8/8/8/8/\u0665/8/8/8 w - -"), Fault); // only ASCII digits
}

TEST(Fen, ReverseFenKeepsEmptyPieces) {
    EXPECT_EQ(Board::reverse_fen("a/b/c"), "c/b/a");
    EXPECT_EQ(Board::reverse_fen("a/b/c/"), "/c/b/a");
    EXPECT_EQ(Board::reverse_fen("abc"), "abc");
    EXPECT_EQ(Board::reverse_fen(""), "");
}

TEST(Fen, PlanesReadOnlyThePlacement) {
    const Planes start
        = Board::bitboard_from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w X -");
    EXPECT_EQ(start, read(START_FEN).bitboard());
    int set = 0;
    for (const std::uint8_t v : start)
        set += v;
    EXPECT_EQ(set, 32);
    EXPECT_EQ(start[0 * 64 + 8], 1);
    EXPECT_EQ(start[11 * 64 + 60], 1);
    EXPECT_EQ(start[11 * 64 + 59], 0);
    EXPECT_EQ(Board::bitboard_from_fen("8/8/8/8/8/8/8/8"), Planes {});
    EXPECT_THROW(Board::bitboard_from_fen("8/8/x/8 w - -"), Fault);
    EXPECT_THROW(Board::bitboard_from_fen(""), Fault);
}

namespace {

// The outcome of reading a FEN: the board and its text, the error message, or the fault message.
std::string outcome(std::string_view fen) {
    try {
        const Result<Board> read = Board::from_fen(fen);
        if (!read.ok())
            return "error: " + read.error().message;
        const Board& b = read.value();
        std::string pieces;
        for (const Bitboard bits : b.pieces)
            pieces += std::to_string(bits) + ",";
        return b.to_fen() + " | " + pieces + " | " + std::to_string(b.info) + " | "
            + std::to_string(b.zobrist.z_key) + " | " + std::to_string(b.disjoint);
    } catch (const Fault& fault) {
        return std::string("fault: ") + fault.what();
    }
}

// The text written the slow way: each square's lowest piece index, runs of empty squares as
// digits.
std::string reference_fen(const Board& board) {
    std::string text;
    for (int rank = 7; rank >= 0; --rank) {
        int run = 0;
        for (unsigned file = 0; file < 8; ++file) {
            const unsigned s = static_cast<unsigned>(rank) * 8 + file;
            const std::optional<PieceIndex> p = board.get_piece(s, 0, PIECE_COUNT, ~Bitboard { 0 });
            if (!p) {
                ++run;
                continue;
            }
            if (run)
                text += static_cast<char>('0' + run);
            run = 0;
            text += "PNBRQKpnbrqk"[*p];
        }
        if (run)
            text += static_cast<char>('0' + run);
        if (rank)
            text += '/';
    }
    return text;
}

} // namespace

// ASCII text takes a one-pass reader; the same fields separated by a non-ASCII white-space
// character take the general one. Both must give the same board, error or fault, for regular and
// odd texts (wrapped placements, digits 0 and 9, bad letters, bad fields, missing fields). The
// text written back matches a square-by-square writer.
TEST(Fen, FastAndGeneralReadersAgree) {
    std::mt19937_64 rng(20261208);
    const std::string alphabet = "PNBRQKpnbrqk0123456789/x";
    const char* sides[] = { "w", "b", "W", "-" };
    const char* castlings[] = { "KQkq", "-", "Kq", "K-Q", "KX", "qk" };
    const char* passants[] = { "-", "e3", "a6", "h", "1", "-x" };
    for (int i = 0; i < 4000; ++i) {
        std::string placement;
        const std::size_t length = rng() % 80;
        for (std::size_t k = 0; k < length; ++k)
            placement += alphabet[rng() % (rng() % 4 ? 22 : alphabet.size())];
        std::vector<std::string> fields { placement, sides[rng() % 4], castlings[rng() % 6],
            passants[rng() % 6], "0", "1" };
        fields.resize(rng() % 8 ? 4 + rng() % 3 : rng() % 4);
        std::string ascii;
        std::string unicode;
        for (const std::string& field : fields) {
            ascii += (ascii.empty() ? "" : rng() % 2 ? " " : "\t ") + field;
            unicode += (unicode.empty() ? "" : "\u3000") + field;
        }
        const std::string read_ascii = outcome(ascii);
        ASSERT_EQ(read_ascii, outcome(unicode)) << ascii;
        if (read_ascii.starts_with("fault") || read_ascii.starts_with("error"))
            continue;
        const Board board = read(ascii);
        const std::string text = board.to_fen();
        EXPECT_EQ(text.substr(0, text.find(' ')), reference_fen(board)) << ascii;
    }
}
