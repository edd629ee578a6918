// What PGN reading builds: game records (tags, moves, result, error) and training arrays (one row
// per position, filtered before replay).
#pragma once

#include "pgn.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn_chess {

// The result of a game: the Result tag when it names a finished game, else the termination
// marker of the movetext, else "*" (python-chess's rule).
std::string_view game_result(std::string_view result_tag, std::string_view marker);

// Whether a Variant tag names standard chess (python-chess's aliases, any case). An absent tag
// is standard.
bool is_standard_variant(std::string_view variant);

// --- game records -------------------------------------------------------------------------------

struct GameRecord {
    std::uint64_t index = 0; // 0-based position of the game in the input
    std::uint64_t offset = 0; // byte offset of its first token
    std::vector<std::pair<std::string, std::string>> tags; // in input order, later values win
    std::string start_fen; // empty: the standard start position
    std::vector<ChessMove> moves; // the mainline up to the first error
    std::string result;
    bool has_error = false;
    PgnError error;
};

// Collects complete games; the caller takes them out with take() after each chunk, so memory
// holds only the games finished in one chunk. Non-standard variants are reported as records with
// error kind NONE and no moves, and counted.
class GameCollector : public PgnVisitor {
public:
    GameCollector(const MoveGenerator& generator, bool strict)
        : replay_(generator)
        , strict_(strict) {
        replay_.keep_before_pieces(false);
    }

    void begin_game(std::uint64_t game, std::uint64_t offset) override;
    void tag(std::string_view name, std::string_view value) override;
    bool begin_movetext() override;
    PgnErrorKind move(std::string_view san, std::uint64_t offset) override;
    void comment(std::string_view) override { }
    bool reads_comments() const override { return false; }
    void result(std::string_view text) override { marker_ = text; }
    bool end_game(const PgnError* error) override;

    std::vector<GameRecord>& games() { return done_; }
    // The caller is done with the first `count` games: they leave games(), and their memory
    // (tag strings, move list) is reused for the games to come.
    void recycle(std::size_t count);
    // Games whose Variant tag is not standard chess (their moves are not read).
    std::uint64_t variant_games() const { return variant_games_; }

private:
    GameReplay replay_;
    bool strict_;
    GameRecord current_;
    // The tags of current_ read so far: a recycled record's tags beyond them are stale (kept for
    // their strings' memory) until the tag section ends.
    std::size_t tag_count_ = 0;
    std::vector<GameRecord> spare_;
    // The moves of the current game, copied into its record at its end: the buffer keeps its
    // capacity, so a game costs one allocation for its moves however long it is.
    std::vector<ChessMove> moves_;
    std::string marker_;
    PgnError fen_error_;
    bool variant_ = false;
    std::uint64_t variant_games_ = 0;
    std::vector<GameRecord> done_;
};

// --- training arrays ----------------------------------------------------------------------------

// Which games become rows. Every test reads tags only, so a refused game is never replayed.
struct GameFilter {
    int min_elo = 0; // both WhiteElo and BlackElo at least this (0: no test)
    // Bounds on the estimated duration base + 40 * increment, in seconds, from the TimeControl
    // tag ("180+2"); negative: no bound. With a bound, games without a readable tag fail.
    double min_time_control = -1;
    double max_time_control = -1;
    std::vector<std::string> events; // allowed Event values (empty: all)
    std::vector<std::string> terminations; // allowed Termination values (empty: all)
    bool finished_only = true; // games with result "*" are skipped
};

// The tag tests of the filter, shared by the builders.
bool is_finished(std::string_view result); // "1-0", "0-1" or "1/2-1/2"
// An Elo tag as a number in 0..32767, -1 for anything else ("?", "", "1500?").
std::int16_t read_elo(std::string_view text);
// Estimated duration of a TimeControl tag "base+increment" (seconds): base + 40 * increment;
// negative when the tag is not of that form.
double estimated_duration(std::string_view text);
// Whether `value` is in `set` (an empty set allows everything, an absent tag nothing else).
bool allowed_value(const std::vector<std::string>& set, bool present, std::string_view value);

// What the filter reads of a game's tags.
struct FilterTags {
    std::int16_t white_elo = -1;
    std::int16_t black_elo = -1;
    std::string_view time_control;
    bool has_event = false;
    std::string_view event;
    bool has_termination = false;
    std::string_view termination;
};
bool passes_filter(const GameFilter& filter, const FilterTags& tags);

// Sets `replay` to the start of game `game`: the standard position when `fen` is empty, else the
// FEN tag's. A bad FEN leaves its BAD_FEN error in `error` and returns false.
bool start_replay(GameReplay& replay, std::string_view fen, std::uint64_t game, PgnError& error);

// One row per position, the position before the move played. Layout of the columns:
//   pieces     packed: 12 uint64 per row (bit s of word p: piece p on square s, Board's order)
//              planes: 12 * 64 uint8 per row, 0 or 1, plane-major
//   turn       uint8   1 white to move, 0 black
//   castling   uint8   bit 0 K, 1 Q, 2 k, 3 q
//   ep_file    int8    en-passant file after a double step (0..7), -1 none
//   halfmove   uint16  half-move clock
//   move       uint16  from * 64 + to
//   promotion  uint8   promoted piece as python-chess numbers it (2 N, 3 B, 4 R, 5 Q), 0 none
//   game       int64   the game's 0-based index in the input
//   ply        uint16  0 for the first move of the game
//   result     int8    1 white won, 0 draw, -1 black won (unfinished games: 0 when kept)
//   white_elo, black_elo  int16, -1 when absent
//   eval       float32 centipawns from white's view after the move ([%eval]), NaN when absent
//   mate       int16   moves to mate after the move ([%eval #n]), 0 when absent
//   clock      float32 the mover's clock after the move in seconds ([%clk]), NaN when absent

// The memory of one column: whole pages from the system, grown without copying where the system
// allows (mremap), and, when freed, kept for the next column of the same kind (its `slot`: the
// same kind grows alike, so the pages written before are the ones written again), up to
// COLUMN_CACHE_BYTES of written pages in all, lent to the kernel meanwhile (it may reclaim them
// when memory runs short). Writing fresh pages costs a page fault each
// (zeroing, accounting), more than the writing itself; recycled pages cost only the write, so a
// loop over files or shards runs on warm memory. (Huge pages were tried for fewer faults: the
// kernel's compaction stalled the first call of a process by seconds.)
constexpr std::size_t COLUMN_CACHE_BYTES = std::size_t { 1 } << 30;

class ColumnBlock {
public:
    explicit ColumnBlock(unsigned slot)
        : slot_(slot) { }
    ~ColumnBlock() { release(); }
    ColumnBlock(ColumnBlock&& other) noexcept;
    ColumnBlock& operator=(ColumnBlock&& other) noexcept;
    ColumnBlock(const ColumnBlock&) = delete;
    ColumnBlock& operator=(const ColumnBlock&) = delete;

    // Room for `bytes`, the contents kept (throws std::bad_alloc).
    void reserve(std::size_t bytes);
    // The bytes written so far at most (the cache keeps what is warm).
    void note_used(std::size_t bytes) { used_ = std::max(used_, bytes); }
    // Back to the cache (or the system); the block is empty afterwards.
    void release();

    void* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }

private:
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    unsigned slot_;
};

// The bytes the cache holds (freed column memory kept for reuse).
std::size_t column_cache_bytes();
// Returns the cache's memory to the system.
void clear_column_cache();

// A column of `width` values per row in a ColumnBlock; its length follows the table's row count.
template <class T> class Column {
public:
    Column(const std::size_t& rows, std::size_t width, unsigned slot)
        : block_(slot)
        , rows_(&rows)
        , width_(width) { }

    T* data() { return static_cast<T*>(block_.data()); }
    const T* data() const { return static_cast<const T*>(block_.data()); }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    // Values in all (rows times width).
    std::size_t size() const { return *rows_ * width_; }
    std::size_t width() const { return width_; }

    void reserve_rows(std::size_t rows) { block_.reserve(rows * width_ * sizeof(T)); }
    void note_rows(std::size_t rows) { block_.note_used(rows * width_ * sizeof(T)); }

private:
    ColumnBlock block_;
    const std::size_t* rows_;
    std::size_t width_;
};

// The training columns. Rows are appended with add_row(), which checks the room of all columns
// at once; the caller then writes every column's values of that row. Not movable: the columns
// refer to the row count.
class PositionColumns {
public:
    // `planes` picks the pieces column: planes (12 * 64 bytes a row) or packed (12 words).
    explicit PositionColumns(bool with_planes);
    ~PositionColumns();
    PositionColumns(const PositionColumns&) = delete;
    PositionColumns& operator=(const PositionColumns&) = delete;

    Column<std::uint64_t> packed;
    Column<std::uint8_t> planes;
    Column<std::uint8_t> turn;
    Column<std::uint8_t> castling;
    Column<std::int8_t> ep_file;
    Column<std::uint16_t> halfmove;
    Column<std::uint16_t> move;
    Column<std::uint8_t> promotion;
    Column<std::int64_t> game;
    Column<std::uint16_t> ply;
    Column<std::int8_t> result;
    Column<std::int16_t> white_elo;
    Column<std::int16_t> black_elo;
    Column<float> eval;
    Column<std::int16_t> mate;
    Column<float> clock;

    std::size_t rows() const { return rows_; }
    bool planes_layout() const { return planes_layout_; }
    // Room for `rows` rows in every column (only written pages become resident).
    void reserve(std::size_t rows);
    // A new row at the end; its values are unwritten.
    std::size_t add_row() {
        if (rows_ == capacity_) [[unlikely]]
            reserve(capacity_ < 4096 ? 4096 : capacity_ * 2);
        return rows_++;
    }
    // Drops every row from `rows` on.
    void truncate(std::size_t rows);

private:
    template <class F> void each(F&& f);

    std::size_t rows_ = 0;
    std::size_t most_rows_ = 0;
    std::size_t capacity_ = 0;
    bool planes_layout_;
};

struct PgnCounts {
    std::uint64_t games = 0; // every game of the input
    std::uint64_t good = 0; // games that gave rows
    std::uint64_t bad = 0; // refused games (errors)
    std::uint64_t filtered = 0; // skipped by the filter
    std::uint64_t variant = 0; // skipped: not standard chess
    std::uint64_t unfinished = 0; // skipped: result "*"
    std::uint64_t positions = 0;
};

// Builds the columns. Errors are kept (the first MAX_ERRORS of them; all are counted); with
// strict the reader stops at the first.
class ArrayBuilder : public PgnVisitor {
public:
    static constexpr std::size_t MAX_ERRORS = 1000;

    ArrayBuilder(const MoveGenerator& generator, GameFilter filter, bool planes, bool strict);

    void begin_game(std::uint64_t game, std::uint64_t offset) override;
    void tag(std::string_view name, std::string_view value) override;
    bool begin_movetext() override;
    PgnErrorKind move(std::string_view san, std::uint64_t offset) override;
    void comment(std::string_view text) override;
    void result(std::string_view text) override { marker_ = text; }
    bool end_game(const PgnError* error) override;

    // Call after the reader has finished (nothing is left to do: the rows are complete).
    void finish() { }

    PositionColumns& columns() { return *columns_; }
    // The columns, to be shared with whoever outlives the builder.
    const std::shared_ptr<PositionColumns>& shared_columns() const { return columns_; }
    const PgnCounts& counts() const { return counts_; }
    const std::vector<PgnError>& errors() const { return errors_; }
    bool planes_layout() const { return planes_; }
    // Room for about `rows` rows from the start.
    void reserve(std::size_t rows) { columns_->reserve(rows); }

private:
    bool passes_filter() const;

    GameReplay replay_;
    GameFilter filter_;
    bool planes_;
    bool strict_;
    std::shared_ptr<PositionColumns> columns_;
    PgnCounts counts_;
    std::vector<PgnError> errors_;

    // The current game.
    std::uint64_t game_ = 0;
    std::size_t first_row_ = 0;
    bool replayed_ = false;
    bool variant_ = false;
    bool filtered_ = false;
    bool unfinished_ = false;
    std::int16_t white_elo_ = -1;
    std::int16_t black_elo_ = -1;
    std::string result_tag_;
    std::string marker_;
    std::string fen_;
    std::string time_control_;
    std::string event_;
    std::string termination_;
    bool has_event_ = false;
    bool has_termination_ = false;
    PgnError fen_error_;
};

} // namespace quarn_chess
