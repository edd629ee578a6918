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

namespace {

    // Everything push_general decides before its first write.
    struct MoveShape {
        unsigned from = 0;
        unsigned to = 0;
        PieceIndex move_type = NO_PIECE;
        PieceIndex capture_type = NO_PIECE;
        PieceIndex promotion_type = NO_PIECE;
        PieceIndex castle_type = NO_PIECE;
        bool en_passant = false;
        unsigned victim_square = 0;
        unsigned rook_from = 0;
        unsigned rook_to = 0;
        // The move changes exactly the bits it names: the board is disjoint, the mover lands on
        // an empty square or an opponent's piece, a castling rook stands on its corner with its
        // target empty, and it is no en-passant capture.
        bool regular = false;
    };

    // Classifies the move by the pieces on the board and by geometry; the special code only
    // picks the promoted piece. The moving piece must exist (checked by the caller).
    std::optional<Error> classify(const Board& board, ChessMove chess_move, MoveShape& shape) {
        const unsigned from = chess_move.from();
        const unsigned to = chess_move.to();
        const unsigned special = chess_move.special();
        const bool white_to_move = board.info & INFO_WHITE_TO_MOVE;
        const PieceIndex move_type = board.piece_on[from];
        shape.from = from;
        shape.to = to;
        shape.move_type = move_type;

        // The colour of the moving piece decides whose pieces can be captured. On a disjoint
        // board the one piece on the to-square is it, when it is the opponent's.
        const bool white_piece = move_type < BLACK_OFFSET;
        const PieceIndex on_to = board.piece_on[to];
        if (board.disjoint) {
            if (on_to != NO_PIECE && (on_to < BLACK_OFFSET) != white_piece)
                shape.capture_type = on_to;
        } else {
            const PieceIndex first_opponent = white_piece ? BLACK_OFFSET : WHITE_OFFSET;
            shape.capture_type
                = board.get_piece(to, first_opponent, first_opponent + 6, ~Bitboard { 0 })
                      .value_or(NO_PIECE);
        }

        // A pawn changing file without finding a piece to take captures en passant.
        const bool pawn = is_pawn(move_type);
        shape.en_passant = pawn && shape.capture_type == NO_PIECE && file_of(from) != file_of(to);
        if (shape.en_passant) {
            shape.capture_type = BLACK_OFFSET - move_type;
            if (white_to_move ? to < 8 : to >= 56)
                return Error { "En passant victim off the board for " + describe(chess_move) };
            shape.victim_square = white_to_move ? to - 8 : to + 8;
        }

        if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) {
            if (special < ChessMove::PROMOTE_KNIGHT || special > ChessMove::PROMOTE_QUEEN)
                return Error { "Missing promotion type for " + describe(chess_move) };
            shape.promotion_type = move_type + special - 3;
        }

        if (is_king(move_type) && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6)) {
            shape.castle_type = move_type - 2;
            const unsigned base = white_to_move ? 0 : 56;
            shape.rook_from = file_of(to) == 6 ? base + 7 : base;
            shape.rook_to = file_of(to) == 6 ? base + 5 : base + 3;
        }

        shape.regular = board.disjoint && !shape.en_passant && from != to
            && (on_to == NO_PIECE || shape.capture_type != NO_PIECE)
            && (shape.castle_type == NO_PIECE
                || (board.piece_on[shape.rook_from] == shape.castle_type
                    && board.piece_on[shape.rook_to] == NO_PIECE));
        return std::nullopt;
    }

    // The squares whose occupant the move may change: from, to, and the en-passant victim's
    // square or the castling rook's two squares; unused entries repeat from.
    std::array<unsigned, 4> touched_squares(const MoveShape& m) {
        std::array<unsigned, 4> touched { m.from, m.to, m.from, m.from };
        if (m.en_passant)
            touched[2] = m.victim_square;
        if (m.castle_type != NO_PIECE) {
            touched[2] = m.rook_from;
            touched[3] = m.rook_to;
        }
        return touched;
    }

    // The old value of every bitboard about to change (the four indices are distinct; the
    // en-passant victim's bitboard is the mover's or the captured piece's), the touched squares'
    // occupants, the info word, the hash and the flag.
    void fill_record(const Board& board, const MoveShape& m, MoveRecord& record) {
        record.set_pair(board.zobrist.pair());
        record.info = board.info;
        record.disjoint = board.disjoint;
        record.wide = 1;
        record.saved_index.fill(static_cast<std::uint8_t>(m.move_type));
        record.saved_board.fill(board.pieces[m.move_type]);
        unsigned saved = 1;
        for (const PieceIndex p : { m.capture_type, m.castle_type, m.promotion_type })
            if (p != NO_PIECE) {
                record.saved_index[saved] = static_cast<std::uint8_t>(p);
                record.saved_board[saved] = board.pieces[p];
                ++saved;
            }
        record.saved_count = static_cast<std::uint8_t>(saved);
        const std::array<unsigned, 4> touched = touched_squares(m);
        for (unsigned i = 0; i < 4; ++i) {
            record.square[i] = static_cast<std::uint8_t>(touched[i]);
            record.occupant[i] = board.piece_on[touched[i]];
        }
    }

    // The bitboards and the info word after the move.
    void apply_move(Board& board, const MoveShape& m) {
        auto& pieces = board.pieces;
        const bool white_to_move = board.info & INFO_WHITE_TO_MOVE;
        pieces[m.move_type] = Board::move_bit(pieces[m.move_type], m.from, m.to);
        if (m.en_passant) {
            const PieceIndex victim = white_to_move ? BLACK_OFFSET + PAWN : PAWN;
            pieces[victim] = Board::delete_bit(pieces[victim], m.victim_square);
        } else if (m.capture_type != NO_PIECE) {
            pieces[m.capture_type] = Board::delete_bit(pieces[m.capture_type], m.to);
        }
        if (m.castle_type != NO_PIECE)
            pieces[m.castle_type] = Board::move_bit(pieces[m.castle_type], m.rook_from, m.rook_to);
        if (m.promotion_type != NO_PIECE) {
            pieces[m.move_type] = Board::delete_bit(pieces[m.move_type], m.to);
            pieces[m.promotion_type] |= square_bit(m.to);
        }

        // All en-passant rights go; every double step records its file, whether or not a pawn
        // can take en passant. Then the castling rights the mover and the captured piece take
        // away.
        std::uint64_t info = board.info & ~INFO_EP_MASK;
        if (m.move_type == PAWN && rank_of(m.to) == rank_of(m.from) + 2)
            info |= info_bit(INFO_EP_BLACK_TO_MOVE + file_of(m.to));
        if (m.move_type == BLACK_OFFSET + PAWN && rank_of(m.from) == rank_of(m.to) + 2)
            info |= info_bit(INFO_EP_WHITE_TO_MOVE + file_of(m.to));
        info &= ~static_cast<std::uint64_t>(
            CASTLING_RIGHTS_TAKEN.mover[white_to_move][m.move_type][m.from]
            | CASTLING_RIGHTS_TAKEN.captured[m.capture_type][m.to]);
        board.info = info ^ INFO_WHITE_TO_MOVE;
    }

    // En passant, promotions and castling on a disjoint board, in the shape play produces: the
    // en-passant mover is the side to move's pawn and its victim stands behind `to`; a castling
    // rook stands on its corner with its target empty; a promotion lands on an empty square or an
    // enemy piece. Writes the same record, bitboards, squares, info word and hash as the general
    // path, straight out. False, with nothing written, for every other move, which push_general
    // then classifies in full.
    bool push_special(Board& board, ChessMove chess_move) {
        const unsigned from = chess_move.from();
        const unsigned to = chess_move.to();
        const PieceIndex move_type = board.piece_on[from];
        if (!board.disjoint || move_type == NO_PIECE || from == to)
            return false;
        const bool white_to_move = board.info & INFO_WHITE_TO_MOVE;
        const bool white_piece = move_type < BLACK_OFFSET;
        const PieceIndex on_to = board.piece_on[to];
        if (on_to != NO_PIECE && (on_to < BLACK_OFFSET) == white_piece)
            return false;
        // The piece taken and its square; the third and fourth touched squares (from when none).
        PieceIndex taken = on_to;
        unsigned taken_square = to;
        PieceIndex lands = move_type;
        PieceIndex castle_type = NO_PIECE;
        unsigned third_square = from;
        unsigned fourth_square = from;
        const bool last_rank = rank_of(to) == 0 || rank_of(to) == 7;
        if (is_pawn(move_type)) {
            if (on_to == NO_PIECE && file_of(from) != file_of(to)) {
                if (last_rank || white_piece != white_to_move)
                    return false;
                taken = BLACK_OFFSET - move_type;
                taken_square = white_to_move ? to - 8 : to + 8;
                if (board.piece_on[taken_square] != taken)
                    return false;
                third_square = taken_square;
            } else {
                const unsigned special = chess_move.special();
                if (!last_rank || special < ChessMove::PROMOTE_KNIGHT
                    || special > ChessMove::PROMOTE_QUEEN)
                    return false;
                lands = move_type + special - 3;
            }
        } else if (is_king(move_type) && file_of(from) == 4
            && (file_of(to) == 2 || file_of(to) == 6)) {
            castle_type = move_type - 2;
            const unsigned base = white_to_move ? 0 : 56;
            third_square = file_of(to) == 6 ? base + 7 : base;
            fourth_square = file_of(to) == 6 ? base + 5 : base + 3;
            if (board.piece_on[third_square] != castle_type
                || board.piece_on[fourth_square] != NO_PIECE)
                return false;
        } else {
            return false;
        }

        // The record fill_record writes: the mover's board, then the taken, castling rook's and
        // promoted piece's, each one present, the mover's repeated after them; the touched
        // squares and their occupants.
        auto& pieces = board.pieces;
        const bool takes = taken != NO_PIECE;
        const bool castles = castle_type != NO_PIECE;
        const bool promotes = lands != move_type;
        const auto mover = static_cast<std::uint8_t>(move_type);
        MoveRecord& record = board.move_stack.emplace_back();
        record.set_pair(board.zobrist.pair());
        record.info = board.info;
        record.disjoint = 1;
        record.wide = 1;
        const PieceIndex second = takes ? taken : castles ? castle_type : lands;
        const PieceIndex third = !takes ? move_type
            : castles                   ? castle_type
            : promotes                  ? lands
                                        : move_type;
        record.saved_index
            = { mover, static_cast<std::uint8_t>(second), static_cast<std::uint8_t>(third), mover };
        record.saved_board
            = { pieces[move_type], pieces[second], pieces[third], pieces[move_type] };
        record.saved_count = static_cast<std::uint8_t>(1 + takes + castles + promotes);
        record.square = { static_cast<std::uint8_t>(from), static_cast<std::uint8_t>(to),
            static_cast<std::uint8_t>(third_square), static_cast<std::uint8_t>(fourth_square) };
        record.occupant = { mover, static_cast<std::uint8_t>(on_to), board.piece_on[third_square],
            board.piece_on[fourth_square] };

        const auto& z64 = board.zobrist.z64->features;
        const auto& z16 = board.zobrist.z16->features;
        std::uint64_t key = board.zobrist.z_key;
        std::uint16_t sum = board.zobrist.z_sum;
        const auto toggle = [&](unsigned feature) {
            key ^= z64[feature];
            sum = static_cast<std::uint16_t>(sum ^ z16[feature]);
        };
        pieces[move_type] ^= square_bit(from);
        toggle(move_type * 64 + from);
        board.piece_on[from] = NO_PIECE;
        if (takes) {
            pieces[taken] ^= square_bit(taken_square);
            toggle(taken * 64 + taken_square);
            board.piece_on[taken_square] = NO_PIECE;
        }
        pieces[lands] |= square_bit(to);
        toggle(lands * 64 + to);
        board.piece_on[to] = static_cast<std::uint8_t>(lands);
        if (castles) {
            pieces[castle_type] ^= square_bit(third_square) | square_bit(fourth_square);
            toggle(castle_type * 64 + third_square);
            toggle(castle_type * 64 + fourth_square);
            board.piece_on[third_square] = NO_PIECE;
            board.piece_on[fourth_square] = static_cast<std::uint8_t>(castle_type);
        }

        // As apply_move: en-passant rights go, a pawn two ranks up records its file, then the
        // castling rights the mover and the piece taken take away.
        const std::uint64_t old_info = board.info;
        std::uint64_t info = old_info & ~INFO_EP_MASK;
        if (move_type == PAWN && rank_of(to) == rank_of(from) + 2)
            info |= info_bit(INFO_EP_BLACK_TO_MOVE + file_of(to));
        if (move_type == BLACK_OFFSET + PAWN && rank_of(from) == rank_of(to) + 2)
            info |= info_bit(INFO_EP_WHITE_TO_MOVE + file_of(to));
        info &= ~static_cast<std::uint64_t>(
            CASTLING_RIGHTS_TAKEN.mover[white_to_move][move_type][from]
            | CASTLING_RIGHTS_TAKEN.captured[taken][to]);
        info ^= INFO_WHITE_TO_MOVE;
        board.info = info;
        board.zobrist.z_key = key;
        board.zobrist.z_sum = sum;
        board.zobrist.xor_info_changes(info ^ old_info);
        return true;
    }

} // namespace

// All decisions are made before the first write, so a refused move leaves the board, its history
// and its hash untouched.
std::optional<Error> Board::push_general(ChessMove chess_move) {
    if (push_special(*this, chess_move))
        return std::nullopt;
    check(piece_on[chess_move.from()] != NO_PIECE, MISSING_VALUE);
    MoveShape m;
    if (std::optional<Error> error = classify(*this, chess_move, m))
        return error;
    MoveRecord& record = move_stack.emplace_back();
    fill_record(*this, m, record);
    apply_move(*this, m);

    // The hash is toggled for every bit that changed, so it always equals the position's
    // from-scratch value, also after a malformed move (a castling right without its rook, a move
    // onto a piece of the same kind). Feature indices stay below 768: p < 12 and s < 64.
    const auto& z64 = zobrist.z64->features;
    const auto& z16 = zobrist.z16->features;
    const auto toggle = [&](unsigned feature) {
        zobrist.z_key ^= z64[feature];
        zobrist.z_sum ^= z16[feature];
    };
    if (m.regular) {
        const PieceIndex lands = m.promotion_type != NO_PIECE ? m.promotion_type : m.move_type;
        toggle(m.move_type * 64 + m.from);
        toggle(lands * 64 + m.to);
        if (m.capture_type != NO_PIECE)
            toggle(m.capture_type * 64 + m.to);
        piece_on[m.from] = NO_PIECE;
        piece_on[m.to] = static_cast<std::uint8_t>(lands);
        if (m.castle_type != NO_PIECE) {
            toggle(m.castle_type * 64 + m.rook_from);
            toggle(m.castle_type * 64 + m.rook_to);
            piece_on[m.rook_from] = NO_PIECE;
            piece_on[m.rook_to] = static_cast<std::uint8_t>(m.castle_type);
        }
    } else {
        for (unsigned i = 0; i < record.saved_count; ++i) {
            const unsigned p = record.saved_index[i];
            Bitboard changes = pieces[p] ^ record.saved_board[i];
            while (changes)
                toggle(p * 64 + pop_lsb(changes));
        }
        for (const unsigned s : touched_squares(m))
            piece_on[s] = lowest_piece(pieces, s);
        disjoint = pairwise_disjoint(pieces);
    }
    zobrist.xor_info_changes(info ^ record.info);
    return std::nullopt;
}

void Board::pop_wide() {
    const MoveRecord& record = move_stack.back();
    for (unsigned i = 0; i < 4; ++i) {
        pieces[record.saved_index[i]] = record.saved_board[i];
        piece_on[record.square[i]] = record.occupant[i];
    }
    disjoint = record.disjoint;
    info = record.info;
    zobrist.set_pair(record.pair());
    move_stack.pop_back();
}

void History::assign(const History& other) {
    const std::size_t count = other.size();
    if (count > static_cast<std::size_t>(capacity_end_ - begin_)) {
        release();
        begin_ = end_ = capacity_end_ = nullptr;
        begin_ = static_cast<MoveRecord*>(::operator new(count * sizeof(MoveRecord)));
        capacity_end_ = begin_ + count;
    }
    if (count)
        std::memcpy(static_cast<void*>(begin_), other.begin_, count * sizeof(MoveRecord));
    end_ = begin_ + count;
}

void History::grow() {
    const std::size_t count = size();
    const std::size_t capacity = count < 8 ? 16 : 2 * count;
    auto* storage = static_cast<MoveRecord*>(::operator new(capacity * sizeof(MoveRecord)));
    if (count)
        std::memcpy(static_cast<void*>(storage), begin_, count * sizeof(MoveRecord));
    release();
    begin_ = storage;
    end_ = storage + count;
    capacity_end_ = storage + capacity;
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

    move_stack.clear();

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
