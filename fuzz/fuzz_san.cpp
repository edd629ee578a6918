// Fuzz target: SAN reading and writing on a board read from fuzzed FEN text.
//
// Input: the first line is the FEN text, the rest SAN text to read. Invariants:
//   - match_san (over the list and without it) and parse_san never fault or crash, leave the
//     board exactly as it was, and agree with each other (status and move value); a match is one
//     of the position's legal moves;
//   - the SAN of every legal move is at most MAX_SAN_LENGTH characters, and write_san (which
//     finds the other moves to the square without the list on regular boards) writes the same; on a
//     regular board (one king per side, pairwise disjoint bitboards) it reads back to that move
//     (its squares and promotion), also with "!?+" appended;
//   - a SAN text that reads as a move reads as the same move after the writer's SAN of it.
// Boards whose FEN faults are skipped; moves() may fault only on odd boards, which is allowed.
#include "board.h"
#include "fault.h"
#include "fuzz_common.h"
#include "position_queries.h"
#include "san.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using namespace quarn_chess;
using quarn_chess::fuzz::disjoint_bitboards;
using quarn_chess::fuzz::expect;
using quarn_chess::fuzz::read_board;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The same move as text: from, to and promotion. An en-passant flag on an occupied square makes
// generation list a capture twice (plain and en passant); SAN names the first.
bool same_squares(ChessMove a, ChessMove b) {
    const auto promotion = [](ChessMove m) { return m.special() >= 4 ? m.special() : 0; };
    return a.from() == b.from() && a.to() == b.to() && promotion(a) == promotion(b);
}

// Whether another legal move has the same squares and promotion (the doubled capture above):
// write_san names the first of them.
bool doubled(const MoveList& legal, ChessMove move) {
    for (const ChessMove m : legal)
        if (m != move && same_squares(m, move))
            return true;
    return false;
}

bool regular(const Board& board) {
    return popcount(board.pieces[KING]) == 1 && popcount(board.pieces[BLACK_OFFSET + KING]) == 1
        && disjoint_bitboards(board);
}

void check_san(Board& board, std::string_view text) {
    const Board before = board;
    const MoveGenerator& generator = shared_generator();
    SanWriter writer(generator, board);
    const MoveList& legal = writer.moves();
    const bool is_regular = regular(board);

    const SanMatch match = match_san(board, legal, text);
    const SanMatch direct = match_san(generator, board, text);
    expect(direct.status == match.status
            && (match.status != SanStatus::OK || direct.move == match.move),
        "match_san without the list disagrees with the list",
        std::string(text) + " in " + before.to_fen());
    const Result<ChessMove> parsed = parse_san(generator, board, text);
    expect(board == before, "parse_san changed the board", before.to_fen());
    expect(
        parsed.ok() == (match.status == SanStatus::OK), "parse_san and match_san disagree", text);
    if (parsed.ok()) {
        expect(parsed.value() == match.move, "parse_san and match_san disagree", text);
        expect(std::find(legal.begin(), legal.end(), match.move) != legal.end(),
            "matched move is not legal", text);
        char san_text[MAX_SAN_LENGTH];
        const std::string_view written(san_text, writer.write(match.move, san_text));
        const SanMatch again = match_san(board, legal, written);
        if (is_regular)
            expect(again.status == SanStatus::OK && same_squares(again.move, match.move),
                "written SAN of a read move reads differently", written);
    }

    for (const ChessMove move : legal) {
        char san_text[MAX_SAN_LENGTH + 3];
        const std::size_t length = writer.write(move, san_text);
        expect(length >= 2 && length <= MAX_SAN_LENGTH, "SAN length", before.to_fen());
        char single[MAX_SAN_LENGTH];
        const std::size_t single_length = write_san(generator, board, move, single);
        expect(std::string_view(single, single_length) == std::string_view(san_text, length)
                || (!is_regular && single_length > 0) || doubled(legal, move),
            "write_san differs from SanWriter",
            std::string(san_text, length) + " in " + before.to_fen());
        if (!is_regular)
            continue;
        const std::string_view written(san_text, length);
        const SanMatch again = match_san(board, legal, written);
        expect(again.status == SanStatus::OK && same_squares(again.move, move),
            "SAN does not read back", std::string(written) + " in " + before.to_fen());
        const SanMatch direct_again = match_san(generator, board, written);
        expect(direct_again.status == SanStatus::OK && direct_again.move == again.move,
            "match_san without the list reads a written SAN differently",
            std::string(written) + " in " + before.to_fen());
        san_text[length] = '!';
        san_text[length + 1] = '?';
        san_text[length + 2] = '+';
        const SanMatch annotated = match_san(board, legal, std::string_view(san_text, length + 3));
        expect(annotated.status == SanStatus::OK && same_squares(annotated.move, move),
            "annotated SAN does not read back", written);
    }
    expect(board == before, "writing SAN changed the board", before.to_fen());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view fen = input.substr(0, newline);
    const std::string_view text
        = newline == std::string_view::npos ? std::string_view {} : input.substr(newline + 1);
    if (text.size() > 64)
        return 0;
    std::optional<Board> board = read_board(fen);
    if (!board)
        return 0;
    try {
        check_san(*board, text);
    } catch (const Fault&) {
        // The reference filter may fault on an odd board (a generated move it cannot make);
        // a regular board never faults.
        expect(!regular(*board), "fault on a regular board", board->to_fen());
    }
    return 0;
}
