// Move values, their coordinate text and the text reader's errors and faults.
#include "chess_move.h"

#include <gtest/gtest.h>

using namespace quarn_chess;

namespace {

ChessMove parse(std::string_view text) { return ChessMove::from_str(text).value(); }

std::string error_of(std::string_view text) { return ChessMove::from_str(text).error().message; }

std::string fault_of(std::string_view text) {
    try {
        ChessMove::from_str(text);
    } catch (const Fault& f) {
        return f.what();
    }
    return "no fault";
}

} // namespace

TEST(ChessMove, ReadsAndWritesCoordinateText) {
    EXPECT_EQ(parse("e2e4").data, 0x070C);
    EXPECT_EQ(parse("e2e4").from(), 12);
    EXPECT_EQ(parse("e2e4").to(), 28);
    EXPECT_EQ(parse("e2e4").special(), 0);
    EXPECT_EQ(parse("e7e8q").data, 0x7F34);
    EXPECT_EQ(parse("e7e8Q").data, 0x7F34);
    EXPECT_EQ(parse("e7e8Q").to_string(), "e7e8q");
    EXPECT_EQ(parse("h7h8N").data, 0x4FF7);
    EXPECT_EQ(parse("h7h8N").to_string(), "h7h8n");
    EXPECT_EQ(parse("  e2e4\n").data, 0x070C);
    EXPECT_EQ(parse("\u3000e2e4\u00a0").data, 0x070C);
    EXPECT_EQ(parse("a1h8").data, 0x0FC0);
    EXPECT_EQ(parse("e2e4q").special(), 7);
}

TEST(ChessMove, GeneratedSpecialMovesPrintAsPlainMoves) {
    EXPECT_EQ(ChessMove { 0x3184 }.to_string(), "e1g1");
    EXPECT_EQ(ChessMove { 0x3084 }.to_string(), "e1c1");
    EXPECT_EQ(ChessMove { 0x3FBC }.to_string(), "e8g8");
    EXPECT_EQ(ChessMove { 0x3EBC }.to_string(), "e8c8");
    const ChessMove double_step = ChessMove::new_move(12, 28, 2);
    EXPECT_EQ(double_step.to_string(), "e2e4");
    EXPECT_EQ(parse(double_step.to_string()).data, ChessMove::new_move(12, 28, 0).data);
    for (std::uint16_t special = 4; special < 8; ++special) {
        const ChessMove m = ChessMove::new_move(52, 60, special);
        EXPECT_EQ(parse(m.to_string()), m);
    }
    EXPECT_EQ(ChessMove::square(12), "e2");
    EXPECT_EQ(ChessMove::square(63), "h8");
}

TEST(ChessMove, ReportsLengthAndPromotionErrors) {
    const std::string notation
        = "Unsupported move notation. Must be 4 or 5 (promotion) characters. Found: ";
    EXPECT_EQ(error_of("e2e"), notation + "e2e");
    EXPECT_EQ(error_of(""), notation);
    EXPECT_EQ(error_of("e2e4xy"), notation + "e2e4xy");
    EXPECT_EQ(error_of(" e2e \t"), notation + "e2e");
    EXPECT_EQ(error_of("e7e8k"), "Unsupported promotion type for e7e8k");
    // Length and promotion are checked before any square.
    EXPECT_EQ(error_of("z9z9x"), "Unsupported promotion type for z9z9x");
}

TEST(ChessMove, MalformedSquaresAreFaults) {
    EXPECT_EQ(fault_of("E2E4"), "assertion failed: from_file <= 7");
    EXPECT_EQ(fault_of("e0e4"), "assertion failed: from_rank <= 7");
    EXPECT_EQ(fault_of("e2i4"), "assertion failed: to_file <= 7");
    EXPECT_EQ(fault_of("e2e9"), "assertion failed: to_rank <= 7");
    // Non-ASCII text: byte length and character count differ.
    EXPECT_EQ(fault_of("\u00e9e2"), "assertion failed: from_file <= 7");
    EXPECT_EQ(fault_of("e2\u00e9q"), "assertion failed: to_file <= 7");
    EXPECT_EQ(fault_of("e2\u00e9"), "index out of range");
    EXPECT_EQ(error_of("\u0161"
                       "1a3"),
        "Unsupported promotion type for \u0161"
        "1a3");
}

TEST(ChessMove, CheckedConstructorAndWriter) {
    EXPECT_THROW(ChessMove::new_move(64, 0, 0), Fault);
    EXPECT_THROW(ChessMove::new_move(0, 64, 0), Fault);
    EXPECT_THROW(ChessMove::new_move(0, 0, 16), Fault);
    try {
        ChessMove::new_move(0, 64, 16);
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "Invalid TO int");
    }
    EXPECT_THROW(ChessMove::new_move(12, 28, 8).to_string(), Fault);
    EXPECT_EQ(ChessMove::rank(60), 7);
    EXPECT_EQ(ChessMove::file(60), 4);
}
