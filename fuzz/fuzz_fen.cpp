// Fuzz target: FEN text -> board -> FEN -> board, with the reader's outcomes and the writer's form.
//
// Any text either comes back as an Error with one of the reader's two messages, throws a Fault
// with one of its two fault messages, or gives a board, exactly as a second reader written here
// from the rules decides (same outcome, message, pieces and info word). For a board:
//   - its history is empty and its hash is the from-scratch hash of its pieces and info word;
//   - pieces_from_fen and bitboard_from_fen read the same placement;
//   - to_fen() has the shape the writer promises (eight ranks of eight squares, castling letters
//     in KQkq order, an en-passant square on the rank that follows the side to move);
//   - reading to_fen() back gives the pieces as the writer saw them (on a square held by several
//     bitboards the lowest piece index wins), info bits 0..4 and the lowest en-passant bit of the
//     side to move (the other group and bits 21..63 are not written), and writes the same text
//     again: to_fen(from_fen(to_fen(b))) == to_fen(b);
//   - reflect() twice gives back the pieces and info word and always leaves a from-scratch hash.
#include "board.h"
#include "fault.h"
#include "fuzz_common.h"
#include "zobrist.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace quarn_chess;
using namespace quarn_chess::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The reader written from its rules: fields split at runs of white space; the placement read
// rank 1 first (the last "/"-separated piece first), digits adding empty squares, letters set at
// counter mod 64; "w" / "b"; castling letters up to a "-"; the first character of the en-passant
// field as a file letter, its arithmetic taken modulo 64.
struct Expected {
    enum class Kind { board, error, fault } kind;
    std::string message;
    std::array<Bitboard, PIECE_COUNT> pieces {};
    std::uint64_t info = 0;
};

Expected model_read(std::string_view text) {
    using Kind = Expected::Kind;
    const std::vector<std::string_view> parts = fields(text);
    if (parts.empty())
        return { Kind::fault, MISSING_VALUE };

    Expected out { Kind::board, "" };
    std::vector<std::string_view> ranks;
    std::string_view placement = parts[0];
    for (std::size_t slash; (slash = placement.find('/')) != std::string_view::npos;) {
        ranks.push_back(placement.substr(0, slash));
        placement.remove_prefix(slash + 1);
    }
    ranks.push_back(placement);
    std::uint64_t counter = 0;
    for (auto rank = ranks.rbegin(); rank != ranks.rend(); ++rank) {
        for (const Character c : characters(*rank)) {
            const std::size_t letter
                = std::string_view("PNBRQKpnbrqk").find(static_cast<char>(c.value));
            if (c.value >= '0' && c.value <= '9') {
                counter += c.value - '0';
            } else if (c.value < 0x80 && letter != std::string_view::npos) {
                out.pieces[letter] |= std::uint64_t { 1 } << (counter % 64);
                ++counter;
            } else {
                return { Kind::fault, "Invalid piece type" };
            }
        }
    }

    if (parts.size() < 2)
        return { Kind::fault, MISSING_VALUE };
    if (parts[1] != "w" && parts[1] != "b")
        return { Kind::error, "Invalid side-to-move" };
    out.info = parts[1] == "w" ? 1 : 0;

    if (parts.size() < 3)
        return { Kind::fault, MISSING_VALUE };
    for (const Character c : characters(parts[2])) {
        if (c.value == '-')
            break;
        const std::size_t right = std::string_view("KQkq").find(static_cast<char>(c.value));
        if (c.value >= 0x80 || right == std::string_view::npos)
            return { Kind::error, "Invalid castling specifier" };
        out.info |= std::uint64_t { 2 } << right;
    }

    if (parts.size() < 4)
        return { Kind::fault, MISSING_VALUE };
    if (parts[3] != "-") {
        const std::uint64_t c = characters(parts[3]).front().value;
        out.info |= std::uint64_t { 1 } << ((c - 'a' + 5 + (out.info & 1 ? 0 : 8)) % 64);
    }
    return out;
}

bool hash_is_fresh(const Board& board) {
    const ZobristBoardComponent fresh
        = ZobristBoardComponent::new_component(board.pieces, board.info);
    return board.zobrist == fresh && board.zobrist.z64 == &shared_z64()
        && board.zobrist.z16 == &shared_z16();
}

// The pieces as the writer sees them: each square goes to the lowest piece index holding it.
std::array<Bitboard, PIECE_COUNT> first_piece_wins(
    const std::array<Bitboard, PIECE_COUNT>& pieces) {
    std::array<Bitboard, PIECE_COUNT> written {};
    Bitboard taken = 0;
    for (unsigned p = 0; p < PIECE_COUNT; ++p) {
        written[p] = pieces[p] & ~taken;
        taken |= pieces[p];
    }
    return written;
}

// The info word as the writer sees it: side to move, castling rights and the lowest en-passant
// file of the side to move.
std::uint64_t written_info(std::uint64_t info) {
    const unsigned base = info & 1 ? 5 : 13;
    const std::uint64_t files = (info >> base) & 0xFF;
    const std::uint64_t lowest = files & (~files + 1);
    return (info & 0x1F) | lowest << base;
}

// Checks the shape of the writer's text: "<8 ranks> <w|b> <castling> <ep>" with single spaces.
void expect_written_shape(const std::string& fen, std::uint64_t info) {
    std::size_t pos = 0;
    for (int rank = 0; rank < 8; ++rank) {
        unsigned squares = 0;
        bool last_was_digit = false;
        while (pos < fen.size() && fen[pos] != '/' && fen[pos] != ' ') {
            const char c = fen[pos++];
            if (c >= '1' && c <= '8') {
                expect(!last_was_digit, "written rank has two runs in a row", fen);
                squares += static_cast<unsigned>(c - '0');
                last_was_digit = true;
            } else {
                expect(std::string_view("PNBRQKpnbrqk").find(c) != std::string_view::npos,
                    "written placement has an unknown character", fen);
                ++squares;
                last_was_digit = false;
            }
        }
        expect(squares == 8, "written rank does not hold eight squares", fen);
        expect(pos < fen.size() && fen[pos] == (rank == 7 ? ' ' : '/'), "written ranks malformed",
            fen);
        ++pos;
    }
    const bool white = info & 1;
    expect(fen.compare(pos, 2, white ? "w " : "b ") == 0, "written side to move wrong", fen);
    pos += 2;
    std::string castling;
    for (unsigned b = 1; b <= 4; ++b)
        if (info >> b & 1)
            castling += "KQkq"[b - 1];
    if (castling.empty())
        castling = "-";
    expect(
        fen.compare(pos, castling.size() + 1, castling + " ") == 0, "written castling wrong", fen);
    pos += castling.size() + 1;
    const std::string en_passant = fen.substr(pos);
    const unsigned base = white ? 5 : 13;
    if ((info >> base & 0xFF) == 0) {
        expect(en_passant == "-", "written en passant should be -", fen);
    } else {
        expect(en_passant.size() == 2 && en_passant[0] >= 'a' && en_passant[0] <= 'h'
                && en_passant[1] == (white ? '6' : '3')
                && (info >> (base + static_cast<unsigned>(en_passant[0] - 'a')) & 1),
            "written en passant wrong", fen);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Splitting at every "/" and reversing is its own inverse.
    expect(Board::reverse_fen(Board::reverse_fen(text)) == text, "reverse_fen is not an involution",
        text);

    const Expected expected = model_read(text);
    std::optional<Result<Board>> read;
    try {
        read.emplace(Board::from_fen(text));
    } catch (const Fault& fault) {
        expect(expected.kind == Expected::Kind::fault && expected.message == fault.what(),
            "from_fen faulted where the reader's rules say otherwise", fault.what());
        return 0;
    } catch (const std::exception& e) {
        finding("from_fen threw something other than Fault", e.what());
    }
    if (!read->ok()) {
        expect(expected.kind == Expected::Kind::error && expected.message == read->error().message,
            "from_fen returned an error where the reader's rules say otherwise",
            read->error().message);
        return 0;
    }
    const Board& board = read->value();
    expect(
        expected.kind == Expected::Kind::board, "from_fen gave a board where it should not", text);
    expect(board.pieces == expected.pieces, "from_fen read other pieces than the reader's rules",
        text);
    expect(board.info == expected.info, "from_fen read another info word than the reader's rules",
        text);
    expect(history_is_empty(board), "a board read from FEN has history", text);
    expect(
        hash_is_fresh(board), "hash of a board read from FEN is not the from-scratch hash", text);
    expect(Board::pieces_from_fen(text) == board.pieces, "pieces_from_fen disagrees with from_fen",
        text);
    expect(Board::bitboard_from_fen(text) == board.bitboard(), "bitboard_from_fen disagrees", text);

    const std::string fen = board.to_fen();
    expect_written_shape(fen, board.info);

    std::optional<Result<Board>> reread;
    try {
        reread.emplace(Board::from_fen(fen));
    } catch (const std::exception& e) {
        finding("reading the written FEN threw", fen + " : " + e.what());
    }
    expect(reread->ok(), "reading the written FEN failed", fen);
    const Board& again = reread->value();
    expect(again.pieces == first_piece_wins(board.pieces), "written pieces do not read back", fen);
    expect(again.info == written_info(board.info), "written info does not read back", fen);
    expect(again.to_fen() == fen, "to_fen(from_fen(to_fen(b))) != to_fen(b)", fen);
    expect(hash_is_fresh(again), "hash of the reread board is not the from-scratch hash", fen);

    // Reflection: an involution on pieces and info; the hash is rebuilt and the history dropped.
    Board mirror = board;
    mirror.reflect();
    expect(hash_is_fresh(mirror) && history_is_empty(mirror),
        "reflect left a stale hash or history", fen);
    expect((mirror.info & 1) != (board.info & 1), "reflect kept the side to move", fen);
    expect((mirror.info >> 21) == (board.info >> 21), "reflect changed info bits 21..63", fen);
    mirror.reflect();
    expect(mirror.pieces == board.pieces && mirror.info == board.info,
        "reflect twice is not the identity", fen);
    expect(mirror == board, "reflect twice does not restore the fresh board", fen);
    return 0;
}
