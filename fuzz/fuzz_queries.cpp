// Fuzz target: position queries and tensor encoders on a board read from fuzzed FEN text.
//
// Input: FEN text (odd boards included: no king, several kings, overlapping bitboards). Invariants:
//   - no query changes the board (operator==, hash and history included);
//   - legal_move_count equals the size of moves(); is_checkmate / is_stalemate are check with
//     and without check and no legal move; outcome follows them and the material rule, in
//     python-chess's order, with the winner the side that is not to move;
//   - is_check agrees with the attack test on the lowest king of the side to move;
//   - packed equals the bitboards; planes expand them bit by bit; with flip and black to move
//     both equal the encodings of the reflected board, and the scalars show the reflected rights;
//     flip changes nothing with white to move.
#include "bits.h"
#include "board.h"
#include "fault.h"
#include "fuzz_common.h"
#include "position_queries.h"
#include "tensors.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

using namespace quarn_chess;
using quarn_chess::fuzz::disjoint_bitboards;
using quarn_chess::fuzz::expect;
using quarn_chess::fuzz::read_board;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void check_queries(Board& board) {
    const Board before = board;
    const std::string fen = board.to_fen();
    const MoveGenerator& generator = shared_generator();

    MoveList legal;
    generator.moves(board, legal);
    const bool check = is_check(generator, board);
    const std::size_t count = legal_move_count(generator, board);
    expect(count == legal.size(), "legal_move_count differs from moves()", fen);
    expect(is_checkmate(generator, board) == (check && count == 0), "is_checkmate", fen);
    expect(is_stalemate(generator, board) == (!check && count == 0), "is_stalemate", fen);
    const std::optional<unsigned> king = mover_king(board);
    expect(check == (king && generator.square_in_check(board, *king, board.to_move())), "is_check",
        fen);

    const std::optional<Outcome> result = outcome(generator, board);
    if (check && count == 0)
        expect(result
                && *result
                    == Outcome { Termination::CHECKMATE,
                        static_cast<std::int8_t>(board.to_move() ^ 1) },
            "outcome of a mate", fen);
    else if (is_insufficient_material(board))
        expect(result && result->termination == Termination::INSUFFICIENT_MATERIAL,
            "outcome with insufficient material", fen);
    else if (count == 0)
        expect(
            result && result->termination == Termination::STALEMATE, "outcome of a stalemate", fen);
    else
        expect(!result, "outcome of a game that goes on", fen);
    expect(board == before, "a query changed the board", fen);

    Board reflected = board;
    reflected.reflect();
    const bool black = !board.to_move();
    for (const bool flip : { false, true }) {
        const Board& seen = flip && black ? reflected : board;
        std::array<std::uint64_t, PACKED_SIZE> packed;
        encode_packed(board, flip, packed.data());
        std::array<std::uint8_t, PLANES_SIZE> planes;
        encode_planes(board, flip, planes.data());
        for (unsigned p = 0; p < PIECE_COUNT; ++p) {
            expect(packed[p] == seen.pieces[p], "packed", fen);
            for (unsigned s = 0; s < 64; ++s)
                expect(planes[p * 64 + s] == ((seen.pieces[p] >> s) & 1), "planes", fen);
        }
        std::array<std::int8_t, SCALARS_SIZE> scalars;
        encode_scalars(board, flip, scalars.data());
        expect(scalars[0] == static_cast<std::int8_t>(board.to_move()), "scalars: side", fen);
        for (unsigned right = 0; right < 4; ++right)
            expect(scalars[1 + right] == static_cast<std::int8_t>((seen.info >> (1 + right)) & 1),
                "scalars: castling", fen);
        expect(scalars[5] >= -1 && scalars[5] < 8, "scalars: en passant", fen);
    }
    expect(board == before, "an encoder changed the board", fen);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<Board> board
        = read_board(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!board)
        return 0;
    try {
        check_queries(*board);
    } catch (const Fault&) {
        // Only the reference filter on odd boards may fault; it leaves the board unchanged.
        expect(!disjoint_bitboards(*board), "fault on a board with disjoint bitboards",
            board->to_fen());
    }
    return 0;
}
