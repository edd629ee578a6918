// Fuzz target: the streaming PGN reader, game records and training rows on arbitrary bytes.
//
// Whatever the bytes, reading never crashes, reports every game once with increasing numbers and
// offsets inside the input, gives the same games whether the input comes whole or in chunks (the
// chunk size is taken from the first byte), and every error has a message naming its game and
// offset. Every move of a record replays legally from its start position, and the training
// columns all have one entry per row. The game table keeps the games and counts of the training
// rows, read whole or in chunks, with offsets and validity consistent in every column.
#include "fuzz_common.h"
#include "game_table.h"
#include "move_generator.h"
#include "pgn.h"
#include "pgn_data.h"

#include <cstddef>
#include <cstdint>
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

// The games of each chunk are copied out and their records recycled (as the binding does), so
// that chunked reading also reads games into reused records.
std::vector<GameRecord> read(std::string_view text, std::size_t chunk) {
    GameCollector collector(generator(), false);
    PgnReader reader(collector);
    std::vector<GameRecord> games;
    const auto take = [&] {
        games.insert(games.end(), collector.games().begin(), collector.games().end());
        collector.recycle(collector.games().size());
    };
    for (std::size_t i = 0; i < text.size(); i += chunk) {
        reader.feed(text.substr(i, chunk));
        take();
    }
    reader.finish();
    take();
    expect(reader.offset() == text.size(), "the reader did not consume its whole input", text);
    return games;
}

std::string describe(const GameRecord& game) {
    std::string out = std::to_string(game.index) + "@" + std::to_string(game.offset) + " ";
    for (const auto& [name, value] : game.tags)
        out += name + "=" + value + ";";
    for (const ChessMove m : game.moves)
        out += m.to_string() + " ";
    out += game.result;
    if (game.has_error)
        out += " ! " + game.error.message;
    return out;
}

void check_replay(const GameRecord& game, std::string_view text) {
    Board board;
    if (game.start_fen.empty()) {
        board = Board::from_fen(START_FEN).value();
    } else {
        Result<StartPosition> start = read_start_fen(generator(), game.start_fen);
        if (!start.ok()) {
            expect(game.has_error && game.moves.empty(), "a bad FEN game has moves", text);
            return;
        }
        board = start.value().board;
    }
    for (const ChessMove m : game.moves) {
        MoveList legal;
        generator().moves(board, legal);
        bool found = false;
        for (const ChessMove candidate : legal)
            found = found || candidate == m;
        expect(found, "a recorded move is not legal", m.to_string());
        expect(!board.push_move(m).has_value(), "a recorded move cannot be made", m.to_string());
    }
}

template <class T>
bool offsets_hold(
    const std::vector<std::int32_t>& offsets, std::size_t rows, const std::vector<T>& values) {
    if (offsets.size() != rows + 1 || offsets[0] != 0
        || static_cast<std::size_t>(offsets.back()) != values.size())
        return false;
    for (std::size_t i = 0; i < rows; ++i)
        if (offsets[i] > offsets[i + 1])
            return false;
    return true;
}

// Offsets and validity fit the rows, and the bytes are UTF-8 (cleaning them changes nothing).
bool strings_hold(const StringColumn& column, std::size_t rows) {
    std::string cleaned;
    append_utf8(cleaned, column.data);
    return column.valid.size() == rows && column.offsets.size() == rows + 1
        && static_cast<std::size_t>(column.offsets.back()) == column.data.size()
        && cleaned == column.data;
}

void check_table(std::string_view text, std::size_t chunk, const PgnCounts& arrays) {
    GameTableBuilder builder(generator(), GameFilter {}, false);
    PgnReader reader(builder);
    for (std::size_t i = 0; i < text.size(); i += chunk)
        reader.feed(text.substr(i, chunk));
    reader.finish();
    const TableColumns& c = *builder.columns();
    const PgnCounts& n = builder.counts();
    const std::size_t rows = c.rows();
    expect(n.games == arrays.games && n.good == arrays.good && n.bad == arrays.bad
            && n.positions == arrays.positions && rows == n.good
            && c.moves.values.size() == n.positions,
        "the game table keeps other games than the training rows", text);
    bool ok = offsets_hold(c.moves.offsets, rows, c.moves.values)
        && offsets_hold(c.eval.offsets, rows, c.eval.values)
        && offsets_hold(c.clock.offsets, rows, c.clock.values) && c.eval.valid.size() == rows
        && c.clock.valid.size() == rows && c.mate.size() == c.eval.values.size()
        && c.mate_valid.size() == c.eval.values.size()
        && c.eval.value_valid.size() == c.eval.values.size()
        && c.clock.value_valid.size() == c.clock.values.size() && c.result.size() == rows
        && c.white_elo.size() == rows && c.time_base.size() == rows && c.offset.size() == rows
        && strings_hold(c.fen, rows) && c.header_offsets.size() == rows + 1
        && static_cast<std::size_t>(c.header_offsets.back()) == c.header_keys.valid.size()
        && strings_hold(c.header_keys, c.header_keys.valid.size())
        && strings_hold(c.header_values, c.header_keys.valid.size());
    for (const StringColumn& column : c.tags)
        ok = ok && strings_hold(column, rows);
    for (std::size_t i = 0; ok && i < rows; ++i) {
        const auto plies = c.moves.offsets[i + 1] - c.moves.offsets[i];
        ok = (c.eval.offsets[i + 1] - c.eval.offsets[i] == (c.eval.valid[i] ? plies : 0))
            && (c.clock.offsets[i + 1] - c.clock.offsets[i] == (c.clock.valid[i] ? plies : 0));
    }
    expect(ok, "game table columns are inconsistent", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t chunk = 1 + data[0] % 17;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::vector<GameRecord> whole = read(text, text.size() + 1);
    const std::vector<GameRecord> pieces = read(text, chunk);
    expect(whole.size() == pieces.size(), "chunking changes the number of games", text);
    std::uint64_t last_offset = 0;
    for (std::size_t g = 0; g < whole.size(); ++g) {
        const std::string a = describe(whole[g]);
        expect(
            a == describe(pieces[g]), "chunking changes a game", a + " | " + describe(pieces[g]));
        expect(whole[g].index == g, "games are not numbered in order", a);
        expect(whole[g].offset >= last_offset && whole[g].offset <= text.size(),
            "a game offset is out of order", a);
        last_offset = whole[g].offset;
        if (whole[g].has_error) {
            const PgnError& e = whole[g].error;
            expect(e.kind != PgnErrorKind::NONE && e.game == g && e.offset <= text.size(),
                "an error names the wrong game or offset", a);
            expect(e.message.starts_with("game " + std::to_string(g) + ", "),
                "an error message does not name its game", e.message);
        }
        check_replay(whole[g], text);
    }

    for (const bool planes : { false, true }) {
        ArrayBuilder builder(generator(), GameFilter {}, planes, false);
        PgnReader reader(builder);
        reader.feed(text);
        reader.finish();
        builder.finish();
        const PositionColumns& c = builder.columns();
        const std::size_t rows = c.rows();
        expect((planes ? c.planes.size() == rows * 768 : c.packed.size() == rows * 12)
                && c.move.size() == rows && c.clock.size() == rows && c.game.size() == rows,
            "training columns differ in length", text);
        const PgnCounts& n = builder.counts();
        expect(n.games == whole.size() && n.positions == rows
                && n.good + n.bad + n.filtered + n.variant + n.unfinished == n.games,
            "training counts do not add up", text);
        if (!planes)
            check_table(text, chunk, n);
    }
    return 0;
}
