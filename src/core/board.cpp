// Making and unmaking moves, reflection and the plane export.
#include "board.h"

#include "bits.h"
#include "fault.h"

#include <bit>
#include <cstring>

namespace quarn_chess {

namespace {

    constexpr std::uint64_t info_bit(unsigned b) { return std::uint64_t { 1 } << b; }

    constexpr bool is_pawn(PieceIndex p) { return p == PAWN || p == BLACK_OFFSET + PAWN; }
    constexpr bool is_king(PieceIndex p) { return p == KING || p == BLACK_OFFSET + KING; }

    // The move as the user would have written it, for error messages.
    std::string describe(ChessMove m) {
        std::string text = ChessMove::square(m.from()) + ChessMove::square(m.to());
        if (m.special() >= 4 && m.special() <= 7)
            text += "nbrq"[m.special() - 4];
        return text;
    }

    bool pairwise_disjoint(const std::array<Bitboard, PIECE_COUNT>& pieces) {
        Bitboard seen = 0;
        Bitboard overlap = 0;
        for (const Bitboard b : pieces) {
            overlap |= seen & b;
            seen |= b;
        }
        return overlap == 0;
    }

    std::uint8_t lowest_piece(const std::array<Bitboard, PIECE_COUNT>& pieces, unsigned square) {
        const Bitboard bit = square_bit(square);
        std::uint8_t p = 0;
        while (p < PIECE_COUNT && !(pieces[p] & bit))
            ++p;
        return p;
    }

} // namespace

std::optional<PieceIndex> Board::get_piece(
    unsigned square, PieceIndex first, PieceIndex last, Bitboard blockers) const {
    const Bitboard bit = square_bit(square);
    if (!(blockers & bit))
        return std::nullopt;
    for (PieceIndex i = first; i < last; ++i)
        if (pieces[i] & bit)
            return i;
    return std::nullopt;
}

Bitboard Board::occupied() const {
    Bitboard all = 0;
    for (const Bitboard b : pieces)
        all |= b;
    return all;
}

// One pass over the bitboards, highest index first, so that the lowest one holding a square is
// written last; the hash is new_component's.
void Board::resync() {
    const auto& z64 = shared_z64().features;
    const auto& z16 = shared_z16().features;
    std::uint64_t key = 0;
    std::uint16_t sum = 0;
    piece_on = empty_squares();
    Bitboard seen = 0;
    Bitboard overlap = 0;
    for (unsigned p = PIECE_COUNT; p-- > 0;) {
        const Bitboard b = pieces[p];
        overlap |= seen & b;
        seen |= b;
        for (const unsigned s : get_bits(b)) {
            piece_on[s] = static_cast<std::uint8_t>(p);
            key ^= z64[p * 64 + s];
            sum ^= z16[p * 64 + s];
        }
    }
    zobrist = ZobristBoardComponent { &shared_z64(), &shared_z16(), key, sum };
    zobrist.xor_info_changes(info);
    disjoint = overlap == 0;
}

// Classifies the move by the pieces on the board and by geometry; the special code only picks
// the promoted piece. All decisions are made before the first write, so a refused move leaves the
// board, its history and its hash untouched.
std::optional<Error> Board::push_general(ChessMove chess_move) {
    constexpr PieceIndex NONE = NO_PIECE;
    const unsigned from = chess_move.from();
    const unsigned to = chess_move.to();
    const unsigned special = chess_move.special();
    const bool white_to_move = info & INFO_WHITE_TO_MOVE;

    // The lowest index holding the from-square is the moving piece.
    const PieceIndex move_type = piece_on[from];
    check(move_type != NONE, MISSING_VALUE);

    // The colour of the moving piece decides whose pieces can be captured. On a disjoint board
    // the one piece on the to-square is it, when it is the opponent's.
    const bool white_piece = move_type < BLACK_OFFSET;
    const PieceIndex on_to = piece_on[to];
    PieceIndex capture_type = NONE;
    if (disjoint) {
        if (on_to != NONE && (on_to < BLACK_OFFSET) != white_piece)
            capture_type = on_to;
    } else {
        const PieceIndex first_opponent = white_piece ? BLACK_OFFSET : WHITE_OFFSET;
        capture_type
            = get_piece(to, first_opponent, first_opponent + 6, ~Bitboard { 0 }).value_or(NONE);
    }

    // A pawn changing file without finding a piece to take captures en passant.
    const bool pawn = is_pawn(move_type);
    const bool en_passant = pawn && capture_type == NONE && file_of(from) != file_of(to);
    unsigned victim_square = 0;
    if (en_passant) [[unlikely]] {
        capture_type = BLACK_OFFSET - move_type;
        if (white_to_move ? to < 8 : to >= 56)
            return Error { "En passant victim off the board for " + describe(chess_move) };
        victim_square = white_to_move ? to - 8 : to + 8;
    }

    PieceIndex promotion_type = NONE;
    if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) [[unlikely]] {
        if (special < ChessMove::PROMOTE_KNIGHT || special > ChessMove::PROMOTE_QUEEN)
            return Error { "Missing promotion type for " + describe(chess_move) };
        promotion_type = move_type + special - 3;
    }

    PieceIndex castle_type = NONE;
    unsigned rook_from = 0;
    unsigned rook_to = 0;
    if (is_king(move_type) && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6))
        [[unlikely]] {
        castle_type = move_type - 2;
        const unsigned base = white_to_move ? 0 : 56;
        rook_from = file_of(to) == 6 ? base + 7 : base;
        rook_to = file_of(to) == 6 ? base + 5 : base + 3;
    }

    // A regular move changes exactly the bits it names: the board is disjoint, the mover lands
    // on an empty square or an opponent's piece, and a castling rook stands on its corner with
    // its target empty. Everything else takes the general path below.
    const bool regular = disjoint && !en_passant && from != to
        && (on_to == NONE || capture_type != NONE)
        && (castle_type == NONE
            || (piece_on[rook_from] == castle_type && piece_on[rook_to] == NONE));

    // History first: the old value of every bitboard about to change (the four indices are
    // distinct; the en-passant victim's bitboard is the mover's or the captured piece's), the
    // squares whose occupant may change, the info word and the hash.
    MoveRecord& record = move_stack.emplace_back();
    record.info = info;
    record.z_key = zobrist.z_key;
    record.z_sum = zobrist.z_sum;
    record.disjoint = disjoint;
    record.saved_index.fill(static_cast<std::uint8_t>(move_type));
    record.saved_board.fill(pieces[move_type]);
    unsigned saved = 1;
    const auto save = [&](PieceIndex p) {
        record.saved_index[saved] = static_cast<std::uint8_t>(p);
        record.saved_board[saved] = pieces[p];
        ++saved;
    };
    if (capture_type != NONE)
        save(capture_type);
    if (castle_type != NONE) [[unlikely]]
        save(castle_type);
    if (promotion_type != NONE) [[unlikely]]
        save(promotion_type);
    record.saved_count = static_cast<std::uint8_t>(saved);
    std::array<unsigned, 4> touched { from, to, from, from };
    if (en_passant)
        touched[2] = victim_square;
    if (castle_type != NONE) {
        touched[2] = rook_from;
        touched[3] = rook_to;
    }
    for (unsigned i = 0; i < 4; ++i) {
        record.square[i] = static_cast<std::uint8_t>(touched[i]);
        record.occupant[i] = piece_on[touched[i]];
    }

    pieces[move_type] = move_bit(pieces[move_type], from, to);
    if (en_passant)
        pieces[white_to_move ? BLACK_OFFSET + PAWN : PAWN]
            = delete_bit(pieces[white_to_move ? BLACK_OFFSET + PAWN : PAWN], victim_square);
    else if (capture_type != NONE)
        pieces[capture_type] = delete_bit(pieces[capture_type], to);
    if (castle_type != NONE)
        pieces[castle_type] = move_bit(pieces[castle_type], rook_from, rook_to);
    if (promotion_type != NONE) {
        pieces[move_type] = delete_bit(pieces[move_type], to);
        pieces[promotion_type] |= square_bit(to);
    }

    // All en-passant rights go; every double step records its file, whether or not a pawn can
    // take en passant. Then the castling rights the mover and the captured piece take away.
    info &= ~INFO_EP_MASK;
    if (move_type == PAWN && rank_of(to) == rank_of(from) + 2)
        info |= info_bit(INFO_EP_BLACK_TO_MOVE + file_of(to));
    if (move_type == BLACK_OFFSET + PAWN && rank_of(from) == rank_of(to) + 2)
        info |= info_bit(INFO_EP_WHITE_TO_MOVE + file_of(to));
    info &= ~static_cast<std::uint64_t>(CASTLING_RIGHTS_TAKEN.mover[white_to_move][move_type][from]
        | CASTLING_RIGHTS_TAKEN.captured[capture_type][to]);
    info ^= INFO_WHITE_TO_MOVE;

    // The hash is toggled for every bit that changed, so it always equals the position's
    // from-scratch value, also after a malformed move (a castling right without its rook, a move
    // onto a piece of the same kind).
    const auto& z64 = zobrist.z64->features;
    const auto& z16 = zobrist.z16->features;
    std::uint64_t key = zobrist.z_key;
    std::uint16_t sum = zobrist.z_sum;
    const auto toggle = [&](unsigned feature) {
        key ^= z64[feature];
        sum ^= z16[feature];
    };
    if (regular) {
        const PieceIndex lands = promotion_type != NONE ? promotion_type : move_type;
        toggle(move_type * 64 + from);
        toggle(lands * 64 + to);
        if (capture_type != NONE)
            toggle(capture_type * 64 + to);
        piece_on[from] = NO_PIECE;
        piece_on[to] = static_cast<std::uint8_t>(lands);
        if (castle_type != NONE) [[unlikely]] {
            toggle(castle_type * 64 + rook_from);
            toggle(castle_type * 64 + rook_to);
            piece_on[rook_from] = NO_PIECE;
            piece_on[rook_to] = static_cast<std::uint8_t>(castle_type);
        }
    } else {
        for (unsigned i = 0; i < saved; ++i) {
            const unsigned p = record.saved_index[i];
            Bitboard changes = pieces[p] ^ record.saved_board[i];
            while (changes)
                toggle(p * 64 + pop_lsb(changes));
        }
        for (const unsigned s : touched)
            piece_on[s] = lowest_piece(pieces, s);
        disjoint = pairwise_disjoint(pieces);
    }
    // Feature indices stay below 768: p < 12 and s < 64.
    zobrist.z_key = key;
    zobrist.z_sum = sum;
    zobrist.xor_info_changes(info ^ record.info);
    return std::nullopt;
}

void Board::reflect() {
    for (unsigned kind = 0; kind < BLACK_OFFSET; ++kind) {
        const Bitboard white = pieces[kind];
        pieces[kind] = __builtin_bswap64(pieces[kind + BLACK_OFFSET]);
        pieces[kind + BLACK_OFFSET] = __builtin_bswap64(white);
    }

    const std::uint64_t old = info;
    info = (old & ~(INFO_CASTLING_MASK | INFO_EP_MASK)) ^ INFO_WHITE_TO_MOVE;
    info |= (old & INFO_WHITE_CASTLING) << 2 | (old & INFO_BLACK_CASTLING) >> 2; // K, Q <-> k, q
    info |= (old & INFO_EP_WHITE_MASK) << 8 | (old & INFO_EP_BLACK_MASK) >> 8; // groups exchanged

    std::vector<MoveRecord>().swap(move_stack);

    // The hash follows the new position, as if the board had been built from it.
    resync();
}

// Eight squares at a time: BYTE_BITS[v] holds the eight bits of v, lowest first, one per byte.
Planes Board::planes_of(const std::array<Bitboard, PIECE_COUNT>& pieces) {
    static constexpr std::array<std::array<std::uint8_t, 8>, 256> BYTE_BITS = [] {
        std::array<std::array<std::uint8_t, 8>, 256> table {};
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned i = 0; i < 8; ++i)
                table[v][i] = static_cast<std::uint8_t>((v >> i) & 1);
        return table;
    }();
    Planes planes;
    for (unsigned p = 0; p < PIECE_COUNT; ++p)
        for (unsigned k = 0; k < 8; ++k)
            std::memcpy(
                planes.data() + p * 64 + k * 8, BYTE_BITS[(pieces[p] >> (8 * k)) & 0xFF].data(), 8);
    return planes;
}

Planes Board::bitboard() const { return planes_of(pieces); }

Planes Board::bitboard_from_fen(std::string_view fen) { return planes_of(pieces_from_fen(fen)); }

} // namespace quarn_chess
