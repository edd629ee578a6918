// What PGN reading builds: game records (tags, moves, result, error) and training arrays (one row
// per position, filtered before replay).
#pragma once

#include "pgn.h"

#include <cstdint>
#include <cstdlib>
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
    // Games whose Variant tag is not standard chess (their moves are not read).
    std::uint64_t variant_games() const { return variant_games_; }

private:
    GameReplay replay_;
    bool strict_;
    GameRecord current_;
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

// One row per position, the position before the move played. Layout of the columns:
//   pieces     packed: 12 uint64 per row (bit s of word p: piece p on square s, Board's order)
//              planes: 12 * 64 uint8 per row, 0 or 1, plane-major (made by finish())
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
// Storage for the planes column: resize() leaves new bytes unwritten, since the expansion writes
// every one; a zeroing pass first would double the memory traffic of 768 bytes per row. (Huge
// pages were tried: under memory pressure the kernel's compaction stalled the first call by
// seconds.)
template <class T> struct PlaneAllocator {
    using value_type = T;
    PlaneAllocator() = default;
    template <class U> PlaneAllocator(const PlaneAllocator<U>&) { }
    T* allocate(std::size_t n);
    void deallocate(T* p, std::size_t) { std::free(p); }
    template <class U> void construct(U* p) { ::new (static_cast<void*>(p)) U; }
    template <class U, class... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const PlaneAllocator&, const PlaneAllocator&) { return true; }
};
void* allocate_planes(std::size_t bytes);
template <class T> T* PlaneAllocator<T>::allocate(std::size_t n) {
    return static_cast<T*>(allocate_planes(n * sizeof(T)));
}

struct PositionColumns {
    std::vector<std::uint64_t> packed;
    std::vector<std::uint8_t, PlaneAllocator<std::uint8_t>> planes;
    std::vector<std::uint8_t> turn;
    std::vector<std::uint8_t> castling;
    std::vector<std::int8_t> ep_file;
    std::vector<std::uint16_t> halfmove;
    std::vector<std::uint16_t> move;
    std::vector<std::uint8_t> promotion;
    std::vector<std::int64_t> game;
    std::vector<std::uint16_t> ply;
    std::vector<std::int8_t> result;
    std::vector<std::int16_t> white_elo;
    std::vector<std::int16_t> black_elo;
    std::vector<float> eval;
    std::vector<std::int16_t> mate;
    std::vector<float> clock;

    std::size_t rows() const { return turn.size(); }
    // Reserves room for `rows` rows in every column (only touched memory becomes resident).
    void reserve(std::size_t rows);
    // Drops every row from `rows` on (before the planes are expanded).
    void truncate(std::size_t rows);
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

    // Call after the reader has finished: with the planes layout, expands the packed words into
    // `planes` (and empties `packed`).
    void finish();

    PositionColumns& columns() { return columns_; }
    const PgnCounts& counts() const { return counts_; }
    const std::vector<PgnError>& errors() const { return errors_; }
    bool planes_layout() const { return planes_; }

private:
    bool passes_filter() const;

    GameReplay replay_;
    GameFilter filter_;
    bool planes_;
    bool strict_;
    PositionColumns columns_;
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
