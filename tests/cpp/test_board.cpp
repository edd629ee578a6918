// Making and unmaking moves, history, copies, reflection, and the hash kept along the way.
#include "bits.h"
#include "board.h"
#include "move_generator.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace quarn_chess;
using test_support::KIWIPETE;
using test_support::read;
using test_support::standard_positions;

namespace {

void push(Board& board, std::string_view text) {
    const std::optional<Error> error = board.push_move(ChessMove::from_str(text).value());
    ASSERT_FALSE(error.has_value()) << error->message;
}

// The hash a board built from scratch for the same pieces and info would have.
ZobristBoardComponent scratch_hash(const Board& board) {
    return ZobristBoardComponent::new_component(board.pieces, board.info);
}

} // namespace

TEST(Board, SmallBitOperations) {
    EXPECT_EQ(Board::move_bit(0b100, 0, 5), 0b100u); // clear source: unchanged
    EXPECT_EQ(Board::move_bit(0b101, 0, 2), 0b100u); // set destination stays set
    EXPECT_EQ(Board::move_bit(1, 0, 63), std::uint64_t { 1 } << 63);
    EXPECT_EQ(Board::delete_bit(0b110, 1), 0b100u);
    const Board board = read(START_FEN);
    EXPECT_EQ(board.get_piece(12, 0, 12, 0), std::nullopt); // blockers decide first
    EXPECT_EQ(board.get_piece(12, 0, 12, board.occupied()), 0u);
    EXPECT_EQ(board.get_piece(12, 6, 12, board.occupied()), std::nullopt);
    EXPECT_EQ(board.to_move(), 1u);
}

TEST(Board, DoubleStepAndPop) {
    Board board = read(START_FEN);
    const Board start = board;
    push(board, "e2e4");
    EXPECT_EQ(board.to_fen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3");
    EXPECT_EQ(board.info, 0x2001Eu);
    EXPECT_EQ(board.move_stack.back().moved(), 1);
    EXPECT_EQ(board.zobrist, read(board.to_fen()).zobrist);
    push(board, "g8f6"); // any next move clears the en-passant bit
    EXPECT_EQ(board.info & INFO_EP_MASK, 0u);
    board.pop_move();
    board.pop_move();
    EXPECT_EQ(board, start);
    EXPECT_THROW(board.pop_move(), Fault);
    EXPECT_EQ(board, start);
}

TEST(Board, EnPassantCastlingPromotionAndRights) {
    Board board = read("r3k2r/pppp1ppp/8/4P3/8/8/PPP2PPP/R3K2R b KQkq -");
    push(board, "d7d5");
    EXPECT_EQ(board.info & INFO_EP_MASK, 1u << 8);
    const Board before = board;
    push(board, "e5d6");
    EXPECT_EQ(board.pieces[6] & square_bit(35), 0u);
    EXPECT_EQ(board.move_stack.back().moved(), (1 << 0) | (1 << 6));
    EXPECT_EQ(board.zobrist, scratch_hash(board));
    board.pop_move();
    EXPECT_EQ(board, before);

    push(board, "e1g1");
    EXPECT_EQ(board.to_fen(), "r3k2r/ppp2ppp/8/3pP3/8/8/PPP2PPP/R4RK1 b kq -");
    EXPECT_EQ(board.move_stack.back().moved(), (1 << 5) | (1 << 3));
    push(board, "e8c8");
    EXPECT_EQ(board.to_fen(), "2kr3r/ppp2ppp/8/3pP3/8/8/PPP2PPP/R4RK1 w - -");
    EXPECT_EQ(board.zobrist, scratch_hash(board));

    Board rooks = read("r3k2r/8/8/8/8/8/8/R3K2R w KQkq -");
    push(rooks, "h1h8"); // leaving h1 clears K, taking h8 clears k
    EXPECT_EQ(rooks.to_fen(), "r3k2R/8/8/8/8/8/8/R3K3 b Qq -");
    push(rooks, "a8a1");
    EXPECT_EQ(rooks.to_fen(), "4k2R/8/8/8/8/8/8/r3K3 w - -");
    EXPECT_EQ(rooks.zobrist, scratch_hash(rooks));

    Board promote = read("3r4/4P3/8/8/8/8/8/4K2k w - -");
    push(promote, "e7d8n");
    EXPECT_EQ(promote.to_fen(), "3N4/8/8/8/8/8/8/4K2k b - -");
    EXPECT_EQ(promote.move_stack.back().moved(), (1 << 0) | (1 << 9) | (1 << 1));
    EXPECT_EQ(promote.zobrist, scratch_hash(promote));
}

TEST(Board, NullMoveStillAppliesRightsAndSide) {
    Board board = read("4k3/8/8/8/8/8/4P3/4K3 w KQ -");
    const ZobristBoardComponent before = board.zobrist;
    push(board, "e1e1");
    EXPECT_EQ(board.to_fen(), "4k3/8/8/8/8/8/4P3/4K3 b - -");
    EXPECT_NE(board.zobrist, before);
    EXPECT_EQ(board.zobrist, scratch_hash(board));
}

TEST(Board, MalformedMovesKeepHashAndHistoryExact) {
    // Castling right without its rook, a rook onto an own rook, en passant announced by the FEN
    // with no pawn to take, and an en-passant bit in the other side's group.
    const char* cases[][2] = {
        { "4k3/8/8/8/8/8/8/4K3 w KQ -", "e1g1" },
        { "4k3/8/8/8/8/8/8/R2RK3 w - -", "a1d1" },
        { "4k3/8/8/3P4/8/8/8/4K3 w - e6", "d5e6" },
        { "4k3/8/8/8/8/8/8/4K3 b - Y", "e8d8" },
    };
    for (const auto& [fen, text] : cases) {
        Board board = read(fen);
        const Board before = board;
        push(board, text);
        EXPECT_EQ(board.zobrist, scratch_hash(board)) << fen;
        board.pop_move();
        EXPECT_EQ(board, before) << fen;
    }
}

TEST(Board, RefusesMovesThatCannotBeAppliedConsistently) {
    Board board = read("4k3/4P3/8/8/8/8/1p6/4K3 w - -");
    const Board before = board;
    // A pawn onto the last rank needs a promotion letter.
    std::optional<Error> error = board.push_move(ChessMove::from_str("e7e8").value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "Missing promotion type for e7e8");
    EXPECT_EQ(board, before);
    // A black pawn moved by white onto rank 1 would take en passant from below the board.
    error = board.push_move(ChessMove::from_str("b2a1q").value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "En passant victim off the board for b2a1q");
    EXPECT_EQ(board, before);
    // No piece on the from-square is a fault, also with nothing changed.
    EXPECT_THROW(board.push_move(ChessMove::from_str("e3e4").value()), Fault);
    EXPECT_EQ(board, before);
}

TEST(Board, CopiesAreIndependentAndCarryHistory) {
    Board source = read(START_FEN);
    push(source, "e2e4");
    push(source, "e7e5");
    push(source, "g1f3");
    Board copy = source;
    EXPECT_EQ(copy, source);
    for (int i = 0; i < 3; ++i)
        copy.pop_move();
    EXPECT_EQ(copy.to_fen(), START_FEN);
    EXPECT_EQ(source.to_fen(), "rnbqkbnr/pppp1ppp/8/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq -");
    EXPECT_EQ(source.move_stack.size(), 3u);
}

TEST(Board, ReflectMirrorsColoursAndClearsHistory) {
    Board board = read(START_FEN);
    board.reflect();
    EXPECT_EQ(board.info, 0x1Eu);
    EXPECT_EQ(board.to_fen(), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -");

    board = read(START_FEN);
    push(board, "e2e4");
    board.reflect();
    EXPECT_EQ(board.info, 0x21Fu);
    EXPECT_EQ(board.to_fen(), "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w KQkq e6");
    EXPECT_TRUE(board.move_stack.empty());
    EXPECT_THROW(board.pop_move(), Fault);
    EXPECT_EQ(board.zobrist, scratch_hash(board));

    Board rights = read("8/8/8/8/8/8/8/8 w K -");
    rights.info |= std::uint64_t { 1 } << 40;
    rights.reflect();
    EXPECT_EQ(rights.info, 0x8u | std::uint64_t { 1 } << 40);
    rights.reflect();
    EXPECT_EQ(rights.info, 0x3u | std::uint64_t { 1 } << 40);
    Board queen_side = read("8/8/8/8/8/8/8/8 w Q -");
    queen_side.reflect();
    EXPECT_EQ(queen_side.info, 0x10u);

    Board kiwipete = read(KIWIPETE);
    const Board original = kiwipete;
    kiwipete.reflect();
    for (unsigned k = 0; k < 6; ++k)
        EXPECT_EQ(kiwipete.pieces[k + 6], __builtin_bswap64(original.pieces[k]));
    kiwipete.reflect();
    EXPECT_EQ(kiwipete, original);
}

// Random sequences of generated (well-formed) moves: after each push the incremental hash is the
// from-scratch hash, and popping everything restores the board exactly.
TEST(Board, RandomPushPopRestoresEverything) {
    const MoveGenerator generator;
    std::mt19937 rng(20261208);
    for (const std::string& fen : standard_positions()) {
        for (int game = 0; game < 20; ++game) {
            Board board = read(fen);
            const Board start = board;
            std::vector<Board> seen { board };
            for (int ply = 0; ply < 60; ++ply) {
                MoveList candidates;
                generator.pseudo_moves(board, candidates);
                if (candidates.empty() || !board.pieces[5] || !board.pieces[11])
                    break;
                const ChessMove m = candidates[rng() % candidates.size()];
                ASSERT_FALSE(board.push_move(m).has_value());
                ASSERT_EQ(board.zobrist, scratch_hash(board)) << fen << " " << m.to_string();
                seen.push_back(board);
            }
            while (!board.move_stack.empty()) {
                seen.pop_back();
                board.pop_move();
                ASSERT_EQ(board, seen.back());
            }
            EXPECT_EQ(board, start);
        }
    }
}

// piece_on and the disjoint flag always agree with the bitboards, and the hash with the position:
// after reading, after every push (generated moves and arbitrary ones, which may stack pieces) and
// after every pop, on regular boards and odd ones (overlapping bitboards, wrapped placements, no
// king). Pops restore every earlier board exactly.
TEST(Board, SquareTableFollowsTheBitboards) {
    const auto agrees = [](const Board& board) {
        Bitboard seen = 0;
        Bitboard overlap = 0;
        for (const Bitboard b : board.pieces) {
            overlap |= seen & b;
            seen |= b;
        }
        if (board.disjoint != (overlap == 0))
            return false;
        for (unsigned s = 0; s < 64; ++s)
            if (board.piece_on[s] != board.get_piece(s, 0, PIECE_COUNT, seen).value_or(NO_PIECE))
                return false;
        return true;
    };
    const MoveGenerator generator;
    std::mt19937_64 rng(1208);
    const char* fens[] = {
        START_FEN.data(),
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -",
        "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -",
        "KQ6/8/8/8/8/8/8/8/8/k7 w - -",
        "8/8/8/8/8/8/8/8/4k3/PPPPKPPP w KQkq e3",
        "rnbq1bnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQ1BNR b KQkq -",
    };
    for (const char* fen : fens)
        for (int game = 0; game < 40; ++game) {
            Board board = read(fen);
            if (game % 2) {
                for (int k = 0; k < 3; ++k)
                    board.pieces[rng() % PIECE_COUNT] |= board.occupied() & square_bit(rng() % 64);
                board.resync();
            }
            ASSERT_TRUE(agrees(board)) << fen;
            std::vector<Board> seen { board };
            for (int ply = 0; ply < 40; ++ply) {
                MoveList candidates;
                generator.pseudo_moves(board, candidates);
                // Mostly generated moves; otherwise any piece to any square, any special code.
                std::vector<unsigned> from_squares;
                for (const unsigned s : get_bits(board.occupied()))
                    from_squares.push_back(s);
                ChessMove m;
                if (!candidates.empty() && rng() % 4)
                    m = candidates[rng() % candidates.size()];
                else if (!from_squares.empty())
                    m = ChessMove::packed(from_squares[rng() % from_squares.size()],
                        static_cast<unsigned>(rng() % 64), static_cast<unsigned>(rng() % 8));
                std::optional<Error> error;
                try {
                    error = board.push_move(m);
                } catch (const Fault&) {
                    ASSERT_EQ(board, seen.back());
                    continue;
                }
                if (error) {
                    ASSERT_EQ(board, seen.back());
                    continue;
                }
                ASSERT_TRUE(agrees(board)) << seen.back().to_fen() << " " << m.to_string();
                ASSERT_EQ(board.zobrist, scratch_hash(board)) << m.to_string();
                seen.push_back(board);
            }
            while (seen.size() > 1) {
                seen.pop_back();
                board.pop_move();
                ASSERT_EQ(board, seen.back());
            }
        }
}

// A pawn that captures two ranks up (possible as text) records an en-passant file like a double
// step, on the plain path as on the general one.
TEST(Board, PawnTwoRanksUpAlwaysSetsTheEnPassantBit) {
    Board board = read("r2q1rrk/1pP1p2p/pK2PPP1/P4n2/R3K3/RRp5/8/8 b KQ -");
    push(board, "a5e7");
    EXPECT_EQ(board.info, 0x20007u);
    EXPECT_EQ(board.zobrist, scratch_hash(board));
    Board black = read("4k3/8/8/8/1p6/8/8/3NK3 w - -");
    push(black, "b4d2");
    EXPECT_EQ(black.info, 1u << (INFO_EP_WHITE_TO_MOVE + 3)); // black to move now
}
