// The full game state: counters, repetition keys, legal moves and the endings of the rules.
#include "game_state.h"

#include "../core/position_queries.h"
#include "../core/zobrist.h"

#include <bit>
#include <charconv>
#include <string>

namespace quarn_chess {

namespace {

    const Board& start_board() {
        static const Board board = Board::from_fen(START_FEN).value();
        return board;
    }

    // The hash toggles of the en-passant bits of an info word.
    std::uint64_t en_passant_toggles(std::uint64_t info) {
        const ZobristLookupTable<std::uint64_t>& z = shared_z64();
        std::uint64_t toggles = 0;
        for (unsigned bit : get_bits(info & INFO_EP_MASK))
            toggles ^= z.features[ZOBRIST_INFO_FEATURE + bit];
        return toggles;
    }

    // A FEN field after the placement, side, castling and en-passant fields, as a number.
    std::optional<std::uint32_t> counter_field(std::string_view fen, unsigned index) {
        unsigned field = 0;
        std::size_t pos = 0;
        while (pos < fen.size()) {
            while (pos < fen.size() && (fen[pos] == ' ' || fen[pos] == '\t'))
                ++pos;
            if (pos == fen.size())
                break;
            const std::size_t begin = pos;
            while (pos < fen.size() && fen[pos] != ' ' && fen[pos] != '\t')
                ++pos;
            if (field++ == index) {
                std::uint32_t value = 0;
                const auto [end, error]
                    = std::from_chars(fen.data() + begin, fen.data() + pos, value);
                if (error != std::errc() || end != fen.data() + pos)
                    return std::nullopt;
                return value;
            }
        }
        return 0xFFFFFFFF;
    }

    // Castling rights whose king and rook are not on their squares are dropped, as python-chess
    // drops them when it reads a FEN.
    void clean_castling_rights(Board& board) {
        const auto has = [&](PieceIndex piece, unsigned square) {
            return (board.pieces[piece] >> square) & 1;
        };
        std::uint64_t info = board.info;
        if (!has(KING, 4) || !has(ROOK, 7))
            info &= ~(std::uint64_t { 1 } << INFO_WHITE_KING_SIDE);
        if (!has(KING, 4) || !has(ROOK, 0))
            info &= ~(std::uint64_t { 1 } << INFO_WHITE_QUEEN_SIDE);
        if (!has(BLACK_OFFSET + KING, 60) || !has(BLACK_OFFSET + ROOK, 63))
            info &= ~(std::uint64_t { 1 } << INFO_BLACK_KING_SIDE);
        if (!has(BLACK_OFFSET + KING, 60) || !has(BLACK_OFFSET + ROOK, 56))
            info &= ~(std::uint64_t { 1 } << INFO_BLACK_QUEEN_SIDE);
        if (info != board.info) {
            board.info = info;
            board.resync();
        }
    }

} // namespace

bool is_zeroing(const Board& board, ChessMove move) {
    const unsigned mover = board.piece_on[move.from()];
    return mover == PAWN || mover == BLACK_OFFSET + PAWN || board.piece_on[move.to()] != NO_PIECE
        || move.special() == ChessMove::EN_PASSANT;
}

void GameState::reset() {
    board.pieces = start_board().pieces;
    board.info = start_board().info;
    board.zobrist = start_board().zobrist;
    board.piece_on = start_board().piece_on;
    board.disjoint = true;
    while (!board.move_stack.empty())
        board.move_stack.pop_back();
    halfmove_clock = 0;
    fullmove_number = 1;
    plies = 0;
    settle(true);
}

std::optional<Error> GameState::reset(std::string_view fen) {
    reset();
    Board candidate;
    try {
        if (std::optional<Error> error = Board::read_fen(fen, candidate))
            return error;
    } catch (const Fault& fault) {
        return Error { std::string("invalid FEN: ") + fault.what() };
    }
    const std::optional<std::uint32_t> clock = counter_field(fen, 4);
    const std::optional<std::uint32_t> number = counter_field(fen, 5);
    if (!clock || !number)
        return Error { "invalid FEN: the move counters must be whole numbers" };
    if (!candidate.disjoint)
        return Error { "invalid FEN: two pieces on one square" };
    if (std::popcount(candidate.pieces[KING]) != 1
        || std::popcount(candidate.pieces[BLACK_OFFSET + KING]) != 1)
        return Error { "invalid position: each side needs exactly one king" };
    constexpr Bitboard END_RANKS = 0xFF000000000000FF;
    if ((candidate.pieces[PAWN] | candidate.pieces[BLACK_OFFSET + PAWN]) & END_RANKS)
        return Error { "invalid position: a pawn on the first or last rank" };
    if (const std::uint64_t ep = candidate.info & INFO_EP_MASK) {
        // The right must follow a double step: the pawn on its fourth rank, the two squares it
        // crossed empty.
        const unsigned bit = lsb(ep);
        const bool white = candidate.to_move() != 0;
        const unsigned file = bit - (white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE);
        const unsigned pawn = white ? 32 + file : 24 + file;
        const unsigned crossed = white ? 40 + file : 16 + file;
        const unsigned origin = white ? 48 + file : 8 + file;
        const bool explained = std::popcount(ep) == 1 && file < 8
            && candidate.piece_on[pawn] == (white ? BLACK_OFFSET + PAWN : PAWN)
            && candidate.piece_on[crossed] == NO_PIECE && candidate.piece_on[origin] == NO_PIECE;
        if (!explained)
            return Error { "invalid position: an en-passant square no double step explains" };
    }
    const MoveGenerator& generator = shared_generator();
    const unsigned other_king
        = lsb(candidate.pieces[candidate.to_move() ? BLACK_OFFSET + KING : KING]);
    if (generator.square_in_check(candidate, other_king, candidate.to_move() ^ 1))
        return Error { "invalid position: the side not to move is in check" };
    clean_castling_rights(candidate);
    MoveList legal;
    generator.moves(candidate, legal);
    if (legal.size() > MAX_LEGAL_MOVES)
        return Error { "invalid position: more legal moves than any game reaches" };
    board.pieces = candidate.pieces;
    board.info = candidate.info;
    board.zobrist = candidate.zobrist;
    board.piece_on = candidate.piece_on;
    board.disjoint = true;
    halfmove_clock = *clock == 0xFFFFFFFF ? 0 : *clock;
    fullmove_number = *number == 0xFFFFFFFF || *number == 0 ? 1 : *number;
    settle(true);
    return std::nullopt;
}

void GameState::play(ChessMove move) {
    const bool zeroing = is_zeroing(board, move);
    const bool black_moved = board.to_move() == 0;
    if (std::optional<Error> error = board.push_move(move))
        fault(error->message);
    // No move is ever taken back here: the record is dropped at once, so the history never grows.
    board.move_stack.pop_back();
    halfmove_clock = zeroing ? 0 : halfmove_clock + 1;
    fullmove_number += black_moved;
    ++plies;
    settle(zeroing);
}

void GameState::settle(bool irreversible) {
    const MoveGenerator& generator = shared_generator();
    MoveList legal;
    generator.moves(board, legal);
    check(legal.size() <= MAX_LEGAL_MOVES, "too many legal moves");
    move_count = static_cast<std::uint32_t>(legal.size());
    bool en_passant = false;
    for (std::size_t i = 0; i < legal.size(); ++i) {
        moves[i] = legal[i];
        en_passant |= legal[i].special() == ChessMove::EN_PASSANT;
    }
    // The side to move has exactly one king here (checked when a position comes in).
    const PieceIndex own = board.to_move() ? WHITE_OFFSET : BLACK_OFFSET;
    const Bitboard king = board.pieces[own + KING];
    in_check = king != 0
        && generator.attacked_by(board, own ^ BLACK_OFFSET, lsb(king), board.occupied());
    std::uint64_t key = board.zobrist.z_key;
    if (!en_passant)
        key ^= en_passant_toggles(board.info);
    if (irreversible) {
        key_count = 0;
        repeated = false;
    }
    if (key_count == MAX_STRETCH) {
        // Only a game played on past its end gets here: the oldest position is forgotten.
        std::copy(keys.begin() + 1, keys.end(), keys.begin());
        --key_count;
    }
    keys[key_count++] = key;
    repetitions = count_key(key, 0);
    repeated |= repetitions >= 2;
}

std::uint32_t GameState::count_key(std::uint64_t key, std::uint32_t back) const {
    // The side to move is part of the key, so only every other position can match: those an even
    // number of plies before the one `back` plies before the last.
    std::uint32_t count = 0;
    for (int i = static_cast<int>(key_count) - 1 - static_cast<int>(back); i >= 0; i -= 2)
        count += keys[static_cast<std::size_t>(i)] == key;
    return count;
}

bool GameState::can_claim_fifty_moves() const {
    if (move_count == 0)
        return false;
    if (halfmove_clock >= 100)
        return true;
    if (halfmove_clock < 99)
        return false;
    for (std::uint32_t i = 0; i < move_count; ++i)
        if (!is_zeroing(board, moves[i]))
            return true;
    return false;
}

bool GameState::can_claim_threefold_repetition() {
    if (repetitions >= 3)
        return true;
    if (!repeated)
        return false;
    for (std::uint32_t i = 0; i < move_count; ++i) {
        const ChessMove move = moves[i];
        if (is_zeroing(board, move))
            continue;
        if (std::optional<Error> error = board.push_move(move))
            fault(error->message);
        // A move that is no pawn move leaves no en-passant right: the hash is the key.
        const std::uint64_t key = board.zobrist.z_key;
        board.pop_move();
        if (count_key(key, 1) >= 2)
            return true;
    }
    return false;
}

Ending GameState::ending(DrawRules rules) {
    if (move_count == 0 && in_check)
        return Ending::CHECKMATE;
    if (is_insufficient_material(board))
        return Ending::INSUFFICIENT_MATERIAL;
    if (move_count == 0)
        return Ending::STALEMATE;
    if (halfmove_clock >= 150)
        return Ending::SEVENTYFIVE_MOVES;
    if (repetitions >= 5)
        return Ending::FIVEFOLD_REPETITION;
    if (rules == DrawRules::CLAIM) {
        if (can_claim_fifty_moves())
            return Ending::FIFTY_MOVES;
        if (can_claim_threefold_repetition())
            return Ending::THREEFOLD_REPETITION;
    }
    return Ending::NONE;
}

} // namespace quarn_chess
