// Move tokens replayed with their legality tested, and the rows of game-table games.
#include "token_replay.h"

#include "attacks.h"
#include "bits.h"
#include "lines.h"
#include "pgn.h"
#include "tensors.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quarn_chess {

namespace {

    std::string square_name(unsigned s) {
        return { static_cast<char>('a' + (s & 7)), static_cast<char>('1' + (s >> 3)) };
    }

    std::string token_text(std::uint16_t token) {
        std::string text = square_name(token & 63) + square_name((token >> 6) & 63);
        const unsigned promotion = token >> TOKEN_PROMOTION_SHIFT;
        if (promotion >= 2 && promotion <= 5)
            text += "nbrq"[promotion - 2];
        else if (promotion != 0)
            text += "?";
        return text;
    }

    bool bad_offsets(
        const std::int32_t* offsets, std::int64_t offset, std::int64_t rows, std::int64_t items) {
        for (std::int64_t i = 0; i < rows; ++i) {
            const std::int32_t begin = offsets[offset + i];
            const std::int32_t end = offsets[offset + i + 1];
            if (begin < 0 || end < begin || end > items)
                return true;
        }
        return false;
    }

} // namespace

TokenReplay::TokenReplay(const MoveGenerator& generator)
    : generator_(generator) {
    const Board start = Board::from_fen(START_FEN).value();
    start_pieces_ = start.pieces;
    reset();
}

void TokenReplay::set_start(const Board& board, unsigned halfmove_clock) {
    pieces_ = board.pieces;
    on_.fill(NO_PIECE);
    for (unsigned p = 0; p < PIECE_COUNT; ++p) {
        Bitboard b = pieces_[p];
        while (b)
            on_[pop_lsb(b)] = static_cast<std::uint8_t>(p);
    }
    sides_ = { board.side_mask(WHITE_OFFSET), board.side_mask(BLACK_OFFSET) };
    info_ = board.info & (INFO_WHITE_TO_MOVE | INFO_CASTLING_MASK | INFO_EP_MASK);
    halfmove_ = halfmove_clock;
}

void TokenReplay::reset() {
    Board board;
    board.pieces = start_pieces_;
    board.info = INFO_WHITE_TO_MOVE | INFO_CASTLING_MASK;
    set_start(board, 0);
}

std::optional<Error> TokenReplay::reset(std::string_view fen) {
    Result<StartPosition> start = read_start_fen(generator_, fen);
    if (!start.ok()) {
        reset();
        return start.error();
    }
    set_start(start.value().board, start.value().halfmove_clock);
    return std::nullopt;
}

// Whether a piece of the side not to move (`white`: white is to move) attacks `square` through
// `occupancy`, its pieces on `taken` left out (captured by the move under test).
[[gnu::always_inline]] inline bool TokenReplay::attacked(
    unsigned square, Bitboard occupancy, bool white, Bitboard taken) const {
    const Bitboard* theirs = pieces_.data() + (white ? BLACK_OFFSET : WHITE_OFFSET);
    const Bitboard keep = ~taken;
    if ((KNIGHT_ATTACKS[square] & theirs[KNIGHT] & keep)
        | (PAWN_ATTACKS[white ? 0 : 1][square] & theirs[PAWN] & keep)
        | (KING_ATTACKS[square] & theirs[KING]))
        return true;
    Bitboard sliders = ((LINES[ROOK_IDX][square] & (theirs[QUEEN] | theirs[ROOK]))
                           | (LINES[BISHOP_IDX][square] & (theirs[QUEEN] | theirs[BISHOP])))
        & keep;
    while (sliders)
        if (!(BETWEEN[square][pop_lsb(sliders)] & occupancy))
            return true;
    return false;
}

// Whether a knight, bishop, rook or queen on `from` reaches `to` (not held by its own side).
[[gnu::always_inline]] inline bool TokenReplay::reaches(
    unsigned kind, unsigned from, unsigned to) const {
    if (kind == KNIGHT)
        return KNIGHT_ATTACKS[from] & square_bit(to);
    const Bitboard lines = kind == ROOK ? LINES[ROOK_IDX][from]
        : kind == BISHOP                ? LINES[BISHOP_IDX][from]
                                        : LINES[ROOK_IDX][from] | LINES[BISHOP_IDX][from];
    return (lines & square_bit(to)) && !(BETWEEN[from][to] & (sides_[0] | sides_[1]));
}

// The king's safety is tested on the occupancy after the move, before anything is changed: the
// mover's square empty, its target full, an enemy piece the move takes left out of the attackers.
TokenStatus TokenReplay::play(std::uint16_t token) {
    const unsigned promotion = token >> TOKEN_PROMOTION_SHIFT;
    if (promotion == 1 || promotion > 5) [[unlikely]]
        return TokenStatus::MALFORMED;
    const unsigned from = token & 63;
    const unsigned to = (token >> 6) & 63;
    const bool white = info_ & 1;
    const PieceIndex own = white ? WHITE_OFFSET : BLACK_OFFSET;
    const PieceIndex piece = on_[from];
    const unsigned kind = piece - own;
    const Bitboard from_bit = square_bit(from);
    const Bitboard to_bit = square_bit(to);
    Bitboard& mine = sides_[white ? 0 : 1];
    Bitboard& theirs = sides_[white ? 1 : 0];
    if (kind >= 6 || (mine & to_bit)) [[unlikely]]
        return TokenStatus::ILLEGAL;
    if (kind != PAWN && promotion != 0) [[unlikely]]
        return TokenStatus::ILLEGAL;
    const Bitboard occupied = mine | theirs;
    const PieceIndex captured = on_[to];
    Bitboard victim = 0; // the pawn taken en passant
    bool castles = false;
    if (kind == PAWN) {
        const bool last_rank = white ? to >= 56 : to < 8;
        if ((promotion != 0) != last_rank)
            return TokenStatus::ILLEGAL;
        const unsigned one = white ? from + 8 : from - 8; // from is never on the last rank
        if (to == one) {
            if (captured != NO_PIECE)
                return TokenStatus::ILLEGAL;
        } else if (to == (white ? from + 16 : from - 16)) {
            if (rank_of(from) != (white ? 1u : 6u) || (occupied & (square_bit(one) | to_bit)))
                return TokenStatus::ILLEGAL;
        } else if (PAWN_ATTACKS[white ? 0 : 1][from] & to_bit) {
            if (captured == NO_PIECE) {
                const unsigned group = white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE;
                const unsigned behind = white ? to - 8 : to + 8;
                if (rank_of(to) != (white ? 5u : 2u) || !((info_ >> (group + file_of(to))) & 1)
                    || on_[behind] != (own ^ BLACK_OFFSET) + PAWN)
                    return TokenStatus::ILLEGAL;
                victim = square_bit(behind);
            }
        } else {
            return TokenStatus::ILLEGAL;
        }
    } else if (kind == KING) {
        if (!(KING_ATTACKS[from] & to_bit)) {
            const unsigned home = white ? 4 : 60;
            const bool king_side = to == home + 2;
            if (from != home || !(king_side || to + 2 == home))
                return TokenStatus::ILLEGAL;
            const unsigned right = white
                ? (king_side ? INFO_WHITE_KING_SIDE : INFO_WHITE_QUEEN_SIDE)
                : (king_side ? INFO_BLACK_KING_SIDE : INFO_BLACK_QUEEN_SIDE);
            const unsigned corner = king_side ? home + 3 : home - 4;
            const unsigned middle = king_side ? home + 1 : home - 1;
            const Bitboard empty = BETWEEN[home][corner];
            if (!((info_ >> right) & 1) || on_[corner] != own + ROOK || (occupied & empty)
                || attacked(home, occupied, white, 0) || attacked(middle, occupied, white, 0)
                || attacked(to, occupied, white, 0))
                return TokenStatus::ILLEGAL;
            castles = true;
        }
    } else if (!reaches(kind, from, to)) {
        return TokenStatus::ILLEGAL;
    }

    if (!castles) {
        const Bitboard after = ((occupied ^ from_bit) | to_bit) & ~victim;
        const unsigned king = kind == KING ? to : lsb(pieces_[own + KING]);
        if (attacked(king, after, white, to_bit | victim))
            return TokenStatus::ILLEGAL;
    }

    // Make the move.
    pieces_[piece] ^= from_bit | to_bit;
    mine ^= from_bit | to_bit;
    on_[from] = NO_PIECE;
    on_[to] = static_cast<std::uint8_t>(piece);
    if (captured != NO_PIECE) {
        pieces_[captured] ^= to_bit;
        theirs ^= to_bit;
    }
    std::uint64_t info = info_ & ~INFO_EP_MASK;
    if (kind == PAWN) {
        if (victim) {
            const unsigned behind = lsb(victim);
            pieces_[on_[behind]] ^= victim;
            theirs ^= victim;
            on_[behind] = NO_PIECE;
        }
        if (promotion) {
            pieces_[piece] ^= to_bit;
            pieces_[own + promotion - 1] |= to_bit;
            on_[to] = static_cast<std::uint8_t>(own + promotion - 1);
        }
        // Every double step records its file, as the PGN replay and push_move do.
        if ((from ^ to) == 16)
            info |= std::uint64_t { 1 }
                << ((white ? INFO_EP_BLACK_TO_MOVE : INFO_EP_WHITE_TO_MOVE) + file_of(to));
    } else if (castles) {
        const bool king_side = to > from;
        const unsigned rook_from = king_side ? from + 3 : from - 4;
        const unsigned rook_to = king_side ? from + 1 : from - 1;
        const Bitboard rook_bits = square_bit(rook_from) | square_bit(rook_to);
        pieces_[own + ROOK] ^= rook_bits;
        mine ^= rook_bits;
        on_[rook_from] = NO_PIECE;
        on_[rook_to] = static_cast<std::uint8_t>(own + ROOK);
    }
    info_ = (info & ~(RIGHTS_LOST[from] | RIGHTS_LOST[to])) ^ INFO_WHITE_TO_MOVE;
    halfmove_ = (kind == PAWN || captured != NO_PIECE) ? 0 : halfmove_ + 1;
    return TokenStatus::OK;
}

// --- batches -----------------------------------------------------------------------------------

std::optional<std::string> check_batch(const GameBatch& batch, std::int64_t* plies) {
    const std::int64_t rows = batch.rows;
    if (!batch.moves.present())
        return std::string("the table has no moves column");
    if (bad_offsets(batch.moves.offsets, batch.moves.offset, rows, batch.moves_items))
        return std::string("the moves column's list offsets are out of bounds");
    if (batch.fen.present()
        && bad_offsets(batch.fen.offsets, batch.fen.offset, rows, batch.fen_items))
        return std::string("the fen column's offsets are out of bounds");
    if (batch.eval.present()
        && bad_offsets(batch.eval.offsets, batch.eval.offset, rows, batch.eval_items))
        return std::string("the eval column's list offsets are out of bounds");
    if (batch.mate.present()
        && bad_offsets(batch.mate.offsets, batch.mate.offset, rows, batch.mate_items))
        return std::string("the mate column's list offsets are out of bounds");
    if (batch.clock.present()
        && bad_offsets(batch.clock.offsets, batch.clock.offset, rows, batch.clock_items))
        return std::string("the clock column's list offsets are out of bounds");
    for (std::int64_t i = 0; i < rows; ++i)
        plies[i] = batch.moves.validity.valid(i) ? batch.moves.end(i) - batch.moves.begin(i) : 0;
    return std::nullopt;
}

namespace {

    // A list column of one game: its items from `first` on, `count` of them (0: no list).
    template <class T> struct GameList {
        const T* values = nullptr;
        Validity validity;
        std::int64_t first = 0;
        std::int64_t count = 0;

        GameList(const ArrowList<T>& list, std::int64_t row) {
            if (!list.present() || !list.validity.valid(row))
                return;
            values = list.items.values + list.items.offset;
            validity = list.items.validity;
            validity.offset = list.items.offset;
            first = list.begin(row);
            count = list.end(row) - first;
        }
        // Item k when it is there.
        bool get(std::int64_t k, T& value) const {
            if (k >= count || !validity.valid(first + k))
                return false;
            value = values[first + k];
            return true;
        }
    };

    // What a row holds besides the game's labels, as the replay has it before the move.
    struct RowView {
        const Bitboard* pieces;
        std::uint64_t info;
        unsigned halfmove;
        std::uint16_t token;
        std::uint16_t ply;
        float eval;
        std::int16_t mate;
        float clock;
    };

    struct GameLabels {
        std::int64_t game;
        std::int8_t result;
        std::int16_t white_elo;
        std::int16_t black_elo;
    };

    std::int8_t ep_file_of(std::uint64_t info) {
        const bool white = info & 1;
        const unsigned ep_bits
            = static_cast<unsigned>(info >> (white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE))
            & 0xFF;
        return static_cast<std::int8_t>(ep_bits ? lsb(ep_bits) : -1);
    }

    // Milliseconds as float seconds, the float nearest ms / 1000: in single precision where ms is
    // exact there (the same float for every such ms, checked exhaustively), in double elsewhere.
    inline float seconds(std::int32_t ms) {
        if (ms > -(1 << 24) && ms < (1 << 24))
            return static_cast<float>(ms) / 1000.0f;
        return static_cast<float>(static_cast<double>(ms) / 1000.0);
    }

    // The move column's value: from * 64 + to, the token's squares swapped.
    std::uint16_t move_of(std::uint16_t token) {
        return static_cast<std::uint16_t>((token & 63) << 6 | ((token >> 6) & 63));
    }

    // Replays the game of batch row `row`, calling emit(k, view, labels) for the position before
    // each ply k; returns the fault that ends a bad game.
    template <class Emit>
    [[gnu::always_inline]] inline std::optional<GameFault> replay_game(
        TokenReplay& replay, const GameBatch& batch, std::int64_t row, Emit&& emit) {
        GameLabels labels;
        labels.game = batch.game.present() && batch.game.valid(row) ? batch.game.at(row)
                                                                    : batch.first_game + row;
        if (batch.fen.present() && batch.fen.validity.valid(row)
            && batch.fen.end(row) > batch.fen.begin(row)) {
            const std::string_view fen(
                batch.fen.items.values + batch.fen.items.offset + batch.fen.begin(row),
                static_cast<std::size_t>(batch.fen.end(row) - batch.fen.begin(row)));
            if (const std::optional<Error> error = replay.reset(fen))
                return GameFault { row, labels.game,
                    "game " + std::to_string(labels.game) + ": bad FEN '" + std::string(fen)
                        + "': " + error->message };
        } else {
            replay.reset();
        }
        if (!batch.moves.validity.valid(row))
            return std::nullopt;
        labels.result = batch.result.present() && batch.result.valid(row) ? batch.result.at(row)
                                                                          : std::int8_t { 0 };
        labels.white_elo = batch.white_elo.present() && batch.white_elo.valid(row)
            ? batch.white_elo.at(row)
            : std::int16_t { -1 };
        labels.black_elo = batch.black_elo.present() && batch.black_elo.valid(row)
            ? batch.black_elo.at(row)
            : std::int16_t { -1 };
        const std::uint16_t* tokens
            = batch.moves.items.values + batch.moves.items.offset + batch.moves.begin(row);
        const std::int64_t plies = batch.moves.end(row) - batch.moves.begin(row);
        const GameList<std::int16_t> evals(batch.eval, row);
        const GameList<std::int16_t> mates(batch.mate, row);
        const GameList<std::int32_t> clocks(batch.clock, row);
        constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
        for (std::int64_t k = 0; k < plies; ++k) {
            RowView view;
            view.pieces = replay.pieces().data();
            view.info = replay.info();
            view.halfmove = replay.halfmove_clock();
            view.token = tokens[k];
            view.ply = static_cast<std::uint16_t>(std::min<std::int64_t>(k, 65535));
            std::int16_t small = 0;
            std::int32_t ms = 0;
            view.eval = evals.get(k, small) ? static_cast<float>(small) : NaN;
            view.mate = mates.get(k, small) ? small : std::int16_t { 0 };
            view.clock = clocks.get(k, ms) ? seconds(ms) : NaN;
            emit(k, view, labels);
            const TokenStatus status = replay.play(view.token);
            if (status != TokenStatus::OK) [[unlikely]]
                return GameFault { row, labels.game,
                    "game " + std::to_string(labels.game) + ", ply " + std::to_string(k)
                        + ": token " + std::to_string(view.token) + " (" + token_text(view.token)
                        + ") is "
                        + (status == TokenStatus::MALFORMED ? "malformed" : "not a legal move") };
        }
        return std::nullopt;
    }

    // Writes one row of the columns; with `flip` and black to move as write_row describes.
    [[gnu::always_inline]] inline void write_values(const Bitboard* pieces, std::uint64_t info,
        std::int8_t ep_file, std::uint16_t halfmove, std::uint16_t move, std::uint8_t promotion,
        std::uint16_t ply, float eval, std::int16_t mate, float clock, const GameLabels& labels,
        bool flip, const PositionColumnsOut& out, std::size_t row) {
        const bool white = info & 1;
        const bool flipped = flip && !white;
        std::uint64_t oriented[PIECE_COUNT];
        if (flipped) {
            for (unsigned p = 0; p < BLACK_OFFSET; ++p) {
                oriented[p] = __builtin_bswap64(pieces[p + BLACK_OFFSET]);
                oriented[p + BLACK_OFFSET] = __builtin_bswap64(pieces[p]);
            }
            pieces = oriented;
        }
        if (out.packed) {
            // Word by word: the replay has just written some of these words, and a wider load
            // across two recent stores would wait for both to retire.
            std::uint64_t* to = out.packed + row * PACKED_SIZE;
            for (unsigned p = 0; p < PIECE_COUNT; ++p) {
                std::uint64_t word = pieces[p];
                asm("" : "+r"(word));
                to[p] = word;
            }
        }
        if (out.planes)
            expand_bits(pieces, PIECE_COUNT, out.planes + row * PLANES_SIZE);
        const unsigned castling = (info >> INFO_WHITE_KING_SIDE) & 0xF;
        if (out.turn)
            out.turn[row] = white ? 1 : 0;
        if (out.castling)
            out.castling[row] = static_cast<std::uint8_t>(
                flipped ? (castling >> 2) | ((castling & 3) << 2) : castling);
        if (out.ep_file)
            out.ep_file[row] = ep_file;
        if (out.halfmove)
            out.halfmove[row] = halfmove;
        if (out.move)
            out.move[row] = flipped ? static_cast<std::uint16_t>(move ^ (56 | 56 << 6)) : move;
        if (out.promotion)
            out.promotion[row] = promotion;
        if (out.game)
            out.game[row] = labels.game;
        if (out.ply)
            out.ply[row] = ply;
        if (out.result)
            out.result[row] = labels.result;
        if (out.white_elo)
            out.white_elo[row] = labels.white_elo;
        if (out.black_elo)
            out.black_elo[row] = labels.black_elo;
        if (out.eval)
            out.eval[row] = eval;
        if (out.mate)
            out.mate[row] = mate;
        if (out.clock)
            out.clock[row] = clock;
    }

} // namespace

std::optional<GameFault> decode_game(
    TokenReplay& replay, const GameBatch& batch, std::int64_t row, PositionRecord* out) {
    return replay_game(
        replay, batch, row, [&](std::int64_t k, const RowView& view, const GameLabels& labels) {
            PositionRecord& r = out[k];
            std::memcpy(r.pieces.data(), view.pieces, sizeof(r.pieces));
            r.state = static_cast<std::uint8_t>(view.info & 0x1F);
            r.ep_file = ep_file_of(view.info);
            r.halfmove = static_cast<std::uint16_t>(std::min(view.halfmove, 65535u));
            r.move = move_of(view.token);
            r.promotion = static_cast<std::uint8_t>(view.token >> TOKEN_PROMOTION_SHIFT);
            r.ply = view.ply;
            r.game = labels.game;
            r.result = labels.result;
            r.white_elo = labels.white_elo;
            r.black_elo = labels.black_elo;
            r.eval = view.eval;
            r.mate = view.mate;
            r.clock = view.clock;
        });
}

std::optional<GameFault> decode_game(TokenReplay& replay, const GameBatch& batch, std::int64_t row,
    bool flip, const PositionColumnsOut& out, std::size_t first_row) {
    return replay_game(
        replay, batch, row, [&](std::int64_t k, const RowView& view, const GameLabels& labels) {
            write_values(view.pieces, view.info, ep_file_of(view.info),
                static_cast<std::uint16_t>(std::min(view.halfmove, 65535u)), move_of(view.token),
                static_cast<std::uint8_t>(view.token >> TOKEN_PROMOTION_SHIFT), view.ply, view.eval,
                view.mate, view.clock, labels, flip, out, first_row + static_cast<std::size_t>(k));
        });
}

void write_row(const PositionRecord& r, bool flip, const PositionColumnsOut& out, std::size_t row) {
    const GameLabels labels { r.game, r.result, r.white_elo, r.black_elo };
    write_values(r.pieces.data(), r.state, r.ep_file, r.halfmove, r.move, r.promotion, r.ply,
        r.eval, r.mate, r.clock, labels, flip, out, row);
}

} // namespace quarn_chess
