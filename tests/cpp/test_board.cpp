// Making and unmaking moves, history, copies, reflection, and the hash kept along the way.
#include "bits.h"
#include "board.h"
#include "board_checks.h"
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
    const auto agrees
        = [](const Board& board) { return board_checks::square_table_mismatch(board).empty(); };
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

// The short paths of push_move (plain moves, and en passant, promotions and castling on a disjoint
// board) against the general path, which toggles the hash bit by bit and recomputes the squares
// and the flag from the bitboards. A board whose disjoint flag is cleared takes the general path,
// so the same move is made on both and the results compared; taking the move back must restore
// the board exactly. Generated moves along random games, and arbitrary ones (any piece to any
// square, any special code), which may be refused or fault on both paths alike.
TEST(Board, ShortPathsAgreeWithTheGeneralPath) {
    std::mt19937_64 rng(81208);
    unsigned narrow = 0;
    unsigned made = 0;
    for (const std::string& fen : standard_positions()) {
        for (int game = 0; game < 12; ++game) {
            Board board = read(fen);
            for (int ply = 0; ply < 50; ++ply) {
                MoveList candidates;
                test_support::generator().pseudo_moves(board, candidates);
                std::vector<ChessMove> moves(candidates.begin(), candidates.end());
                std::vector<unsigned> occupied;
                for (const unsigned s : get_bits(board.occupied()))
                    occupied.push_back(s);
                for (int k = 0; k < 8 && !occupied.empty(); ++k)
                    moves.push_back(ChessMove::packed(occupied[rng() % occupied.size()],
                        static_cast<unsigned>(rng() % 64), static_cast<unsigned>(rng() % 16)));
                for (const ChessMove m : moves) {
                    Board fast = board;
                    Board general = board;
                    general.disjoint = false;
                    std::optional<Error> fast_error, general_error;
                    bool fast_fault = false, general_fault = false;
                    try {
                        fast_error = fast.push_move(m);
                    } catch (const Fault&) {
                        fast_fault = true;
                    }
                    try {
                        general_error = general.push_move(m);
                    } catch (const Fault&) {
                        general_fault = true;
                    }
                    const std::string where = board.to_fen() + " " + std::to_string(m.data);
                    ASSERT_EQ(fast_fault, general_fault) << where;
                    ASSERT_EQ(fast_error.has_value(), general_error.has_value()) << where;
                    if (fast_fault || fast_error) {
                        if (fast_error) {
                            EXPECT_EQ(fast_error->message, general_error->message) << where;
                        }
                        ASSERT_EQ(fast, board) << where;
                        continue;
                    }
                    ++made;
                    narrow += !fast.move_stack.back().wide;
                    ASSERT_EQ(fast.pieces, general.pieces) << where;
                    ASSERT_EQ(fast.info, general.info) << where;
                    ASSERT_EQ(fast.zobrist, general.zobrist) << where;
                    ASSERT_EQ(fast.piece_on, general.piece_on) << where;
                    ASSERT_EQ(fast.disjoint, general.disjoint) << where;
                    ASSERT_EQ(fast.zobrist, scratch_hash(fast)) << where;
                    fast.pop_move();
                    ASSERT_EQ(fast, board) << where;
                }
                if (candidates.empty() || !board.pieces[KING] || !board.pieces[BLACK_OFFSET + KING])
                    break;
                ASSERT_FALSE(board.push_move(candidates[rng() % candidates.size()]).has_value());
            }
        }
    }
    // Both shapes of record were made, the narrow one most of the time.
    EXPECT_GT(narrow, made / 2);
    EXPECT_LT(narrow, made);
}

// The history grows past any first allocation, copies (construction and assignment, into larger
// and smaller histories) carry the records in use, and equality means the same position reached by
// the same moves.
TEST(Board, HistoryGrowsCopiesAndCompares) {
    const Board start = read(START_FEN);
    Board board = start;
    const char* shuttle[] = { "g1f3", "g8f6", "f3g1", "f6g8" };
    for (int i = 0; i < 300; ++i)
        push(board, shuttle[i % 4]);
    EXPECT_EQ(board.move_stack.size(), 300u);
    EXPECT_EQ(board.to_fen(), START_FEN);
    EXPECT_NE(board, start); // same position, another history

    Board copy = board;
    EXPECT_EQ(copy, board);
    Board assigned = read(KIWIPETE);
    push(assigned, "e1g1");
    assigned = board; // into a smaller history
    EXPECT_EQ(assigned, board);
    Board shorter = start;
    push(shorter, "e2e4");
    assigned = shorter; // into a larger one
    EXPECT_EQ(assigned, shorter);
    assigned = assigned;
    EXPECT_EQ(assigned, shorter);
    Board moved = std::move(copy);
    EXPECT_EQ(moved, board);

    while (!moved.move_stack.empty())
        moved.pop_move();
    EXPECT_EQ(moved, start);
    EXPECT_EQ(board.move_stack.size(), 300u); // the source keeps its own records
    board.pop_move();
    EXPECT_EQ(board.to_fen(), "rnbqkb1r/pppppppp/5n2/8/8/8/PPPPPPPP/RNBQKBNR b KQkq -");

    // One position by two move orders: equal positions, different histories.
    Board one = start;
    Board two = start;
    for (const char* text : { "e2e3", "e7e6", "d2d3" })
        push(one, text);
    for (const char* text : { "d2d3", "e7e6", "e2e3" })
        push(two, text);
    EXPECT_EQ(one.to_fen(), two.to_fen());
    EXPECT_EQ(one.zobrist, two.zobrist);
    EXPECT_NE(one, two);
    Board again = start;
    for (const char* text : { "e2e3", "e7e6", "d2d3" })
        push(again, text);
    EXPECT_EQ(again, one);
}
