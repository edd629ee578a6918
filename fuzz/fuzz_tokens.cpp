// Fuzz target: game-table token decoding on arbitrary token lists, from the standard start, the
// perft positions or an arbitrary FEN.
//
// Layout of an input: byte 0 picks the start (0..7 a fixed position, above: the text up to the
// first newline is the FEN); the rest is read as little-endian uint16 tokens. Whatever the
// tokens, each is accepted exactly when the move generator lists it as a legal move of the
// position (the replay's pieces and state then follow push_move's), and the game's rows stop at
// the first refused token with a fault naming that ply. The position window keeps every good
// game's positions once, with one thread or two.
#include "fuzz_common.h"
#include "move_generator.h"
#include "pgn.h"
#include "position_pool.h"
#include "token_replay.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace quarn_chess;
using namespace quarn_chess::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

constexpr std::string_view STARTS[] = {
    "",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "8/8/8/2k5/2pP4/8/B7/4K3 b - d3 0 3",
    "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 5 20",
};

constexpr std::uint64_t STATE = INFO_WHITE_TO_MOVE | INFO_CASTLING_MASK | INFO_EP_MASK;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::string fen;
    std::size_t at = 1;
    if (data[0] < 8) {
        fen = STARTS[data[0]];
    } else {
        const auto* begin = reinterpret_cast<const char*>(data) + 1;
        const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', size - 1));
        const std::size_t length = newline ? static_cast<std::size_t>(newline - begin) : size - 1;
        fen.assign(begin, length);
        at = 1 + length + (newline ? 1 : 0);
    }
    std::vector<std::uint16_t> tokens((size - at) / 2);
    for (std::size_t i = 0; i < tokens.size(); ++i)
        tokens[i] = static_cast<std::uint16_t>(data[at + 2 * i] | data[at + 2 * i + 1] << 8);

    // Token by token against the generator, refused tokens skipped.
    TokenReplay replay(generator());
    Board board;
    if (fen.empty()) {
        board = Board::from_fen(START_FEN).value();
    } else {
        Result<StartPosition> start = read_start_fen(generator(), fen);
        const bool refused = replay.reset(fen).has_value();
        expect(refused == !start.ok(), "the replay and read_start_fen disagree on a FEN", fen);
        if (!start.ok())
            return 0;
        board = start.value().board;
    }
    std::vector<std::uint16_t> played;
    for (const std::uint16_t t : tokens) {
        MoveList legal;
        generator().moves(board, legal);
        ChessMove listed;
        bool found = false;
        for (const ChessMove m : legal)
            if (token_of(m) == t) {
                listed = m;
                found = true;
            }
        const TokenStatus status = replay.play(t);
        expect((status == TokenStatus::OK) == found, "a token's legality differs from the list",
            fen + " token " + std::to_string(t) + " now " + board.to_fen());
        if (!found)
            continue;
        played.push_back(t);
        expect(!board.push_move(listed).has_value(), "a listed move cannot be made", fen);
        expect(replay.pieces() == board.pieces && replay.info() == (board.info & STATE),
            "the replay's position differs from push_move's", board.to_fen());
    }

    // Whole games: the raw tokens stop at the first refused one; the played ones decode whole.
    std::vector<std::int32_t> offsets { 0, static_cast<std::int32_t>(tokens.size()),
        static_cast<std::int32_t>(tokens.size() + played.size()) };
    std::vector<std::uint16_t> values = tokens;
    values.insert(values.end(), played.begin(), played.end());
    std::vector<std::int32_t> fen_offsets { 0, static_cast<std::int32_t>(fen.size()),
        static_cast<std::int32_t>(2 * fen.size()) };
    const std::string fens = fen + fen;
    GameBatch batch;
    batch.rows = 2;
    batch.moves.offsets = offsets.data();
    batch.moves.items.values = values.data();
    batch.moves_items = static_cast<std::int64_t>(values.size());
    batch.fen.offsets = fen_offsets.data();
    batch.fen.items.values = fens.data();
    batch.fen_items = static_cast<std::int64_t>(fens.size());
    std::vector<std::int64_t> plies(2);
    expect(!check_batch(batch, plies.data()).has_value(), "good offsets refused", fen);
    std::vector<PositionRecord> rows(tokens.size() + played.size() + 1);
    const std::optional<GameFault> raw = decode_game(replay, batch, 0, rows.data());
    expect(
        raw.has_value() == (played.size() != tokens.size()), "a refused token went unnoticed", fen);
    if (raw) {
        std::size_t first_bad = 0;
        while (first_bad < played.size() && tokens[first_bad] == played[first_bad])
            ++first_bad;
        expect(raw->message.find(", ply " + std::to_string(first_bad) + ": token")
                != std::string::npos,
            "a fault names the wrong ply", raw->message);
    }
    expect(!decode_game(replay, batch, 1, rows.data()).has_value(), "legal tokens refused", fen);

    for (const unsigned threads : { 1u, 2u }) {
        PositionPool pool(generator(), threads);
        std::vector<GameFault> faults;
        expect(!pool.add(batch, false, faults).has_value(), "the pool refused good offsets", fen);
        const std::size_t expected = played.size() + (raw ? 0 : tokens.size());
        expect(pool.size() == expected && faults.size() == (raw ? 1u : 0u),
            "the pool kept the wrong positions", fen);
        pool.shuffle(size);
        std::vector<std::uint16_t> ply(pool.size());
        PositionColumnsOut out;
        out.ply = ply.data();
        std::vector<std::uint64_t> packed(pool.size() * 12);
        out.packed = packed.data();
        pool.take(0, pool.size(), true, out, 0);
    }
    return 0;
}
