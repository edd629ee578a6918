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

Bitboard Board::side_mask(PieceIndex offset) const {
    return pieces[offset] | pieces[offset + 1] | pieces[offset + 2] | pieces[offset + 3]
        | pieces[offset + 4] | pieces[offset + 5];
}

// Classifies the move by the pieces on the board and by geometry; the special code only picks
// the promoted piece. All decisions are made before the first write, so a refused move leaves the
// board, its history and its hash untouched.
std::optional<Error> Board::push_move(ChessMove chess_move) {
    constexpr PieceIndex NONE = PIECE_COUNT;
    const unsigned from = chess_move.from();
    const unsigned to = chess_move.to();
    const unsigned special = chess_move.special();
    const bool white_to_move = info & 1;

    // The lowest index holding the from-square is the moving piece, as get_piece over all
    // twelve boards finds it.
    const Bitboard from_bit = square_bit(from);
    PieceIndex move_type = 0;
    while (move_type < PIECE_COUNT && !(pieces[move_type] & from_bit))
        ++move_type;
    check(move_type < PIECE_COUNT, MISSING_VALUE);

    // The colour of the moving piece decides whose pieces can be captured.
    const bool white_piece = move_type < BLACK_OFFSET;
    const Bitboard to_bit = square_bit(to);
    const PieceIndex first_opponent = white_piece ? BLACK_OFFSET : WHITE_OFFSET;
    PieceIndex capture_type = NONE;
    for (PieceIndex p = first_opponent; p < first_opponent + 6; ++p)
        if (pieces[p] & to_bit) {
            capture_type = p;
            break;
        }

    // A pawn changing file without finding a piece to take captures en passant.
    const bool pawn = is_pawn(move_type);
    const bool en_passant = pawn && capture_type == NONE && file_of(from) != file_of(to);
    unsigned victim = 0;
    unsigned victim_square = 0;
    if (en_passant) [[unlikely]] {
        capture_type = BLACK_OFFSET - move_type;
        victim = white_to_move ? BLACK_OFFSET + PAWN : PAWN;
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
    if (is_king(move_type) && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6))
        castle_type = move_type - 2;

    // History first: the old value of every bitboard about to change, then the old info word.
    // The en-passant victim's bitboard is always among them (it is the moving piece's or the
    // captured piece's). The four indices are distinct whenever present.
    std::uint16_t moved = 0;
    const auto record = [&](PieceIndex p) {
        pieces_stacks[p].push_back(pieces[p]);
        moved |= static_cast<std::uint16_t>(1u << p);
    };
    record(move_type);
    if (capture_type != NONE)
        record(capture_type);
    if (castle_type != NONE) [[unlikely]]
        record(castle_type);
    if (promotion_type != NONE) [[unlikely]]
        record(promotion_type);
    const std::uint64_t old_info = info;
    move_stack.push_back(MoveRecord { old_info, moved });

    pieces[move_type] = move_bit(pieces[move_type], from, to);
    if (en_passant)
        pieces[victim] = delete_bit(pieces[victim], victim_square);
    else if (capture_type != NONE)
        pieces[capture_type] = delete_bit(pieces[capture_type], to);

    if (castle_type != NONE) {
        const unsigned base = white_to_move ? 0 : 56;
        const unsigned rook_from = file_of(to) == 6 ? base + 7 : base;
        const unsigned rook_to = file_of(to) == 6 ? base + 5 : base + 3;
        pieces[castle_type] = move_bit(pieces[castle_type], rook_from, rook_to);
    }

    if (promotion_type != NONE) {
        pieces[move_type] = delete_bit(pieces[move_type], to);
        pieces[promotion_type] |= square_bit(to);
    }

    // All en-passant rights go; every double step records its file, whether or not a pawn can
    // take en passant.
    info &= ~INFO_EP_MASK;
    if (move_type == PAWN && rank_of(to) == rank_of(from) + 2)
        info |= info_bit(INFO_EP_BLACK_TO_MOVE + file_of(to));
    if (move_type == BLACK_OFFSET + PAWN && rank_of(from) == rank_of(to) + 2)
        info |= info_bit(INFO_EP_WHITE_TO_MOVE + file_of(to));

    // The mover's castling rights, then a rook taken on its corner, whoever captures. Only
    // relevant while some right (info bits 1..4) is held.
    if (info & 0x1E) {
        if (white_to_move) {
            if (move_type == KING || (move_type == ROOK && from == 7))
                info &= ~info_bit(INFO_WHITE_KING_SIDE);
            if (move_type == KING || (move_type == ROOK && from == 0))
                info &= ~info_bit(INFO_WHITE_QUEEN_SIDE);
        } else {
            if (move_type == BLACK_OFFSET + KING
                || (move_type == BLACK_OFFSET + ROOK && from == 63))
                info &= ~info_bit(INFO_BLACK_KING_SIDE);
            if (move_type == BLACK_OFFSET + KING
                || (move_type == BLACK_OFFSET + ROOK && from == 56))
                info &= ~info_bit(INFO_BLACK_QUEEN_SIDE);
        }
        if (capture_type == ROOK && to == 7)
            info &= ~info_bit(INFO_WHITE_KING_SIDE);
        if (capture_type == ROOK && to == 0)
            info &= ~info_bit(INFO_WHITE_QUEEN_SIDE);
        if (capture_type == BLACK_OFFSET + ROOK && to == 63)
            info &= ~info_bit(INFO_BLACK_KING_SIDE);
        if (capture_type == BLACK_OFFSET + ROOK && to == 56)
            info &= ~info_bit(INFO_BLACK_QUEEN_SIDE);
    }

    info ^= INFO_WHITE_TO_MOVE;

    // The hash is toggled for every bit that changed, exactly as pop_move toggles it back. For a
    // well-formed move this is the same set of features the steps above name; for a malformed
    // one (a castling right without its rook, a move onto a piece of the same kind) it keeps the
    // hash equal to the position's from-scratch value.
    toggle_changes(old_info, moved);
    return std::nullopt;
}

// Feature indices are in range by construction: p < 12 and s < 64 give at most 767, and only
// info bits 0..21 are looked up.
void Board::toggle_changes(std::uint64_t other_info, std::uint16_t moved) {
    const auto& z64 = zobrist.z64->features;
    const auto& z16 = zobrist.z16->features;
    std::uint64_t key = zobrist.z_key;
    std::uint16_t sum = zobrist.z_sum;
    Bitboard info_changes = (info ^ other_info) & ((std::uint64_t { 1 } << ZOBRIST_INFO_BITS) - 1);
    while (info_changes) {
        const unsigned feature = ZOBRIST_INFO_FEATURE + pop_lsb(info_changes);
        key ^= z64[feature];
        sum ^= z16[feature];
    }
    unsigned boards = moved;
    while (boards) {
        const unsigned p = static_cast<unsigned>(std::countr_zero(boards));
        boards &= boards - 1;
        Bitboard changes = pieces[p] ^ pieces_stacks[p].back();
        while (changes) {
            const unsigned feature = p * 64 + pop_lsb(changes);
            key ^= z64[feature];
            sum ^= z16[feature];
        }
    }
    zobrist.z_key = key;
    zobrist.z_sum = sum;
}

// Restores the info word and the recorded bitboards, toggling the hash for each bit that
// differs, so hash and position come back together.
void Board::pop_move() {
    check(!move_stack.empty(), MISSING_VALUE);
    const MoveRecord record = move_stack.back();
    move_stack.pop_back();

    toggle_changes(record.info, record.moved);
    info = record.info;
    unsigned boards = record.moved;
    while (boards) {
        const unsigned piece_type = static_cast<unsigned>(std::countr_zero(boards));
        boards &= boards - 1;
        std::vector<std::uint64_t>& stack = pieces_stacks[piece_type];
        pieces[piece_type] = stack.back();
        stack.pop_back();
    }
}

void Board::reflect() {
    for (unsigned kind = 0; kind < BLACK_OFFSET; ++kind) {
        const Bitboard white = pieces[kind];
        pieces[kind] = __builtin_bswap64(pieces[kind + BLACK_OFFSET]);
        pieces[kind + BLACK_OFFSET] = __builtin_bswap64(white);
    }

    const std::uint64_t old = info;
    info = (old & ~std::uint64_t { 0x1FFFFE }) ^ 1; // bits 1..20 cleared, side flipped
    info |= (old & 0x06) << 2 | (old & 0x18) >> 2; // K, Q <-> k, q
    info |= (old & 0x1FE0) << 8 | (old & 0x1FE000) >> 8; // en-passant groups exchanged

    for (std::vector<std::uint64_t>& stack : pieces_stacks)
        std::vector<std::uint64_t>().swap(stack);
    std::vector<MoveRecord>().swap(move_stack);

    // The hash follows the new position, as if the board had been built from it.
    zobrist = ZobristBoardComponent::new_component(pieces, info);
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
