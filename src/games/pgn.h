// PGN reading: a streaming reader fed in chunks, the visitor it reports to, and the replay that
// resolves each SAN move against the legal moves of the position.
#pragma once

#include "board.h"
#include "chess_move.h"
#include "move_generator.h"
#include "result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn_chess {

// Why a game was refused. The order is stable: bindings expose the names.
enum class PgnErrorKind : std::uint8_t {
    NONE,
    BROKEN_TAG, // a tag pair that does not read as [Name "value"]
    UNTERMINATED_COMMENT, // a { comment still open at a new tag section or at the end of input
    UNTERMINATED_VARIATION, // a ( variation still open at a blank line or at the end of input
    UNEXPECTED_TEXT, // bytes that are no PGN token (garbage, over-long tokens)
    TRUNCATED, // input ended inside a game, before its result
    INVALID_SAN, // a move token that is not SAN
    ILLEGAL_MOVE, // SAN that names no legal move
    AMBIGUOUS_MOVE, // SAN that names more than one legal move
    NULL_MOVE, // "--", "Z0", "0000" or "@@@@": no move of standard chess
    BAD_FEN, // a [FEN] tag that is no legal standard position
};

// The names of the kinds above, e.g. "illegal_move".
std::string_view pgn_error_name(PgnErrorKind kind);

// A refused game: which one (0-based, counting every game of the input), where (the byte offset
// of the offending token from the start of the input), and a message naming the token.
struct PgnError {
    PgnErrorKind kind = PgnErrorKind::NONE;
    std::uint64_t game = 0;
    std::uint64_t offset = 0;
    std::string message;
};

// What a reader reports, in input order. For every game: begin_game, its tags, begin_movetext
// (once, before the first movetext token; also for a game without movetext), then the mainline
// tokens (variations are skipped whole) and end_game. After a visitor method returns an error
// kind, or the reader finds one, the rest of the game is read only to find its end and end_game
// receives the error. Text views are valid only during the call.
class PgnVisitor {
public:
    virtual ~PgnVisitor() = default;

    // A game starts: its 0-based number and the byte offset of its first token.
    virtual void begin_game(std::uint64_t game, std::uint64_t offset) = 0;
    // One tag pair; the value has its \" and \\ escapes resolved.
    virtual void tag(std::string_view name, std::string_view value) = 0;
    // The tags are complete. Returning false skips the movetext: it is read only to find where
    // the game ends (filters decide here, before any move is replayed).
    virtual bool begin_movetext() = 0;
    // A mainline move token, without move number, check marks and annotation glyphs.
    virtual PgnErrorKind move(std::string_view san, std::uint64_t offset) = 0;
    // A mainline comment, without its braces; only comments shorter than the reader's token
    // limit are reported, and only to a visitor that reads comments.
    virtual void comment(std::string_view text) = 0;
    virtual bool reads_comments() const { return true; }
    // The game termination marker: "1-0", "0-1", "1/2-1/2" or "*".
    virtual void result(std::string_view text) = 0;
    // The game has ended; `error` is null for a good game, and the game was refused otherwise.
    // Returning false stops the reader (strict reading).
    virtual bool end_game(const PgnError* error) = 0;
};

// The streaming reader. Bytes go in with feed(), in chunks of any size, and are read where they
// lie; only a token cut by a chunk boundary is copied and kept until the next chunk completes it.
// Memory stays bounded by the chunk size plus MAX_TOKEN whatever the input: longer comments are
// skipped without being kept, longer tags and move tokens are errors.
//
// Game boundaries: a game ends at its termination marker outside variations, at a blank line
// once its movetext has begun, at a tag line once its movetext has begun, or at the end of the
// input (a game with movetext but no marker there is TRUNCATED). A UTF-8 byte order mark at the
// start, CR before LF, and '%' escape lines are accepted.
class PgnReader {
public:
    static constexpr std::size_t MAX_TOKEN = 1 << 16;

    explicit PgnReader(PgnVisitor& visitor)
        : visitor_(visitor)
        , comments_(visitor.reads_comments()) { }

    // Reads the complete tokens of data and keeps the rest. Returns false once the visitor has
    // stopped the reader; later calls do nothing.
    bool feed(std::string_view data);
    // The input is complete: the last game ends here.
    bool finish();

    // Bytes consumed so far, and games begun so far.
    std::uint64_t offset() const { return base_ + pos_; }
    std::uint64_t games() const { return games_; }
    bool stopped() const { return stopped_; }

private:
    // SKIP_WORD: the rest of an over-long word cut by the end of a chunk.
    enum class Mode : std::uint8_t { TOKENS, SKIP_LINE, SKIP_COMMENT, SKIP_VARIATION, SKIP_WORD };

    // Reads tokens that begin before `limit`.
    void run(bool final, std::size_t limit);
    void keep_rest();
    // The steady state of movetext (single spaces, move numbers, moves, comments) read in one
    // loop; returns at anything else, or where a token is cut by the end of the buffer.
    void run_movetext(bool final);
    // Each returns false when the buffer ends before the token does and more input may come.
    bool read_tag(bool final);
    bool read_comment(bool final);
    bool read_word(bool final);
    void skip_line();
    void skip_word();
    void skip_comment();
    void skip_variation();
    void word(std::string_view text, std::uint64_t offset);
    void san_word(std::string_view text, std::uint64_t offset);

    // Game bookkeeping.
    void ensure_game(std::uint64_t offset);
    void ensure_movetext();
    void fail(PgnErrorKind kind, std::uint64_t offset, std::string_view token);
    void end_game();

    // Bytes of the next chunk copied to complete a token cut by the end of the previous one;
    // a longer token has the whole chunk appended.
    static constexpr std::size_t BRIDGE = 4096;

    PgnVisitor& visitor_;
    bool comments_; // the visitor reads comments
    std::string buf_; // unread bytes kept from the last chunk
    std::string_view text_; // what is being read: buf_, or the chunk given to feed()
    std::size_t pos_ = 0; // next unread byte of text_
    std::uint64_t base_ = 0; // input offset of text_[0]
    bool bridging_ = false; // text_ ends before the chunk does: a cut token decides nothing
    Mode mode_ = Mode::TOKENS;
    bool at_start_ = true; // nothing read yet (byte order mark check)
    bool stopped_ = false;

    // Blank-line detection: newlines seen since the last token, and whether only white space
    // has followed the last newline.
    unsigned newlines_ = 0;
    bool line_start_ = true;

    // Skipping state.
    unsigned variation_depth_ = 0;
    bool variation_in_comment_ = false;
    bool variation_in_line_comment_ = false;
    unsigned skip_newlines_ = 0;
    std::uint64_t skip_start_ = 0;

    // The current game.
    bool in_game_ = false;
    bool in_movetext_ = false;
    bool replaying_ = false; // begin_movetext said yes and no error yet
    bool saw_result_ = false;
    std::uint64_t games_ = 0;
    PgnError error_;
    std::string scratch_;
};

// --- replay ---------------------------------------------------------------------------------

// Reads a six-field (or four-field) FEN strictly: eight ranks of eight squares, one king per
// side, no pawn on the first or last rank, the side not to move not in check, castling rights
// only where king and rook stand on their squares (others are dropped, as python-chess does),
// an en-passant square only behind a pawn that can have just double-stepped. The half-move
// clock is the fifth field (0 when absent).
struct StartPosition {
    Board board;
    unsigned halfmove_clock = 0;
};
Result<StartPosition> read_start_fen(const MoveGenerator& generator, std::string_view fen);

// One game being replayed: the board, its legal moves, the half-move clock and the ply. play()
// resolves a SAN token in the current position and makes the move; the history stacks keep
// their capacity from game to game, so a long run stops allocating after its first games.
class GameReplay {
public:
    explicit GameReplay(const MoveGenerator& generator);

    // Starts from the standard position, or from a FEN (an error leaves the replay unusable
    // until the next reset).
    void reset();
    std::optional<Error> reset(std::string_view fen);

    // The board keeps its pieces, square table and info exact; its hash and history are not
    // kept up to date (nothing here reads them).
    //
    // Resolves one SAN token against the legal moves (match_san of san.h, after dropping a
    // leading "P" before a file letter as python-chess's reader does) and plays it. On success
    // last_move() is the move and before() the position it was played in (with the clock and ply of
    // that position).
    PgnErrorKind play(std::string_view san);

    // Whether play() keeps the pieces of the position before each move for before_pieces()
    // (on by default; readers that only collect the moves turn it off).
    void keep_before_pieces(bool keep) { keep_before_ = keep; }

    const Board& board() const { return board_; }
    unsigned halfmove_clock() const { return halfmove_clock_; }
    unsigned ply() const { return ply_; }
    ChessMove last_move() const { return last_move_; }
    // The position the last move was played in, as pieces and info, and its clock.
    const std::array<Bitboard, PIECE_COUNT>& before_pieces() const { return before_pieces_; }
    std::uint64_t before_info() const { return before_info_; }
    unsigned before_halfmove_clock() const { return before_clock_; }

private:
    void clear_history();
    // Copies the position of `position` (bitboards, info, hash, square table) onto the board.
    void set_position(const Board& position);
    // The move a common SAN form names, or a null move (all bits zero, no move of chess) when
    // the full path has to decide.
    ChessMove quick_move(std::string_view san);
    ChessMove quick_castle(std::string_view san);
    bool attacked(unsigned square, Bitboard occupancy, const Bitboard* theirs, bool white) const;
    bool in_check();
    bool keeps_king_safe(ChessMove m);
    bool make(ChessMove m);
    // Recomputes the occupancy of both sides from the bitboards.
    void sync_sides();

    const MoveGenerator& generator_;
    Board board_;
    Board start_;
    MoveList legal_;
    unsigned halfmove_clock_ = 0;
    unsigned ply_ = 0;
    ChessMove last_move_;
    std::array<Bitboard, PIECE_COUNT> before_pieces_ {};
    std::uint64_t before_info_ = 0;
    unsigned before_clock_ = 0;
    bool keep_before_ = true;
    // The squares of white's and black's pieces, kept in step by make().
    std::array<Bitboard, 2> sides_ {};
    // Whether the side to move is in check: -1 not known yet in this position.
    int check_ = -1;
};

// --- comment annotations --------------------------------------------------------------------

// The Lichess annotations of a comment: [%eval 0.25] / [%eval #-3] and [%clk 1:02:03.5].
// Absent values keep has_* false. Evaluations are in centipawns from white's view; mates are
// signed move counts (positive: white mates).
struct CommentAnnotations {
    bool has_eval = false;
    bool has_mate = false;
    bool has_clock = false;
    float eval_cp = 0;
    int mate = 0;
    float clock_seconds = 0;
};
CommentAnnotations read_annotations(std::string_view comment);

} // namespace quarn_chess
