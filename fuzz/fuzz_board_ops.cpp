// Fuzz target: byte programs of push, pop, reflect, copy and move generation on a board read from
// fuzzed FEN text.
//
// Input: the first line is the FEN text; every later byte is an opcode, some followed by operand
// bytes (see run_program). Invariants checked along the way:
//   - a push that is refused (Error) or faults leaves the board exactly as it was (operator==);
//   - a successful push records the old info word, hash and every bitboard it changed (a narrow
//     record only on a disjoint board, for one piece moving to an empty or enemy square) and flips
//     the side to move; when the hash matched the position before, and the move changes every bit
//     it toggles (always true for well-formed moves on a well-formed board), the incremental hash
//     equals the from-scratch hash afterwards; with HASH_FOLLOWS_EVERY_MOVE it must equal it
//     after every push, pop and generation whatever the move;
//   - pop restores exactly the board before the matching push (a stack of copies is kept), and
//     pop on an empty history faults with the board unchanged. The hash is part of "exactly" when
//     the push toggled only bits it changed: pop toggles the bits that differ, so after any other
//     push the pair leaves the hash off by the toggles that changed nothing;
//   - moves() leaves the board exactly as it was (the hash under the same proviso, for every
//     candidate it makes and takes back), also when it faults; it returns exactly the list of
//     reference_moves() (which plays every candidate), an ordered subset of pseudo_moves(), as
//     many moves as count_moves() counts, and never faults on a board whose bitboards are
//     pairwise disjoint;
//   - after every operation the square table (piece_on) and the disjoint flag agree with the
//     bitboards, on odd boards too (overlapping bitboards, wrapped placements, no king);
//   - reflect() rebuilds the hash, drops the history and is an involution on pieces and info;
//   - a copy equals its source and keeps its own history (it is popped later like any board).
// Arbitrary text and raw 16-bit move values are pushed too: they may refuse, fault or leave the
// hash behind the position (that is allowed for moves that are not well-formed), but never crash.
#include "../tests/cpp/board_checks.h"
#include "bits.h"
#include "board.h"
#include "chess_move.h"
#include "fault.h"
#include "fuzz_common.h"
#include "move_generator.h"
#include "zobrist.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace quarn_chess;
using quarn_chess::fuzz::disjoint_bitboards;
using quarn_chess::fuzz::finding;
using quarn_chess::fuzz::history_is_empty;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// push_move toggles the hash for every bit that changed, so the hash stays the from-scratch hash
// of the position after any move, well-formed or not (making a move is only required to keep it
// for well-formed ones). Set to false for an implementation that toggles the features named by
// each step instead.
constexpr bool HASH_FOLLOWS_EVERY_MOVE = true;

// Keeps one input's run bounded: every board copy on the undo stack holds its whole history.
constexpr std::size_t MAX_OPS = 300;

void expect(bool condition, const char* what, const Board& board) {
    if (!condition)
        finding(what, board.to_fen());
}

// Built once per process: its tables take 4 MiB and a noticeable time to fill.
const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

// How often the hash model applied, for FUZZ_BOARD_OPS_STATS=1 runs.
struct Counters {
    std::uint64_t pushes = 0;
    std::uint64_t hash_checked = 0;
    std::uint64_t refused = 0;
    std::uint64_t faulted = 0;
    std::uint64_t generations = 0;
    std::uint64_t generation_faults = 0;
    std::uint64_t legal_moves = 0;
};
Counters counters;

bool hash_is_fresh(const Board& board) {
    return board.zobrist == ZobristBoardComponent::new_component(board.pieces, board.info);
}

// The whole record but the hash (also the hashes saved in the history).
bool same_except_hash(const Board& a, const Board& b) {
    if (a.pieces != b.pieces || a.info != b.info || a.piece_on != b.piece_on
        || a.disjoint != b.disjoint || a.move_stack.size() != b.move_stack.size())
        return false;
    for (std::size_t i = 0; i < a.move_stack.size(); ++i) {
        MoveRecord x = a.move_stack[i];
        MoveRecord y = b.move_stack[i];
        x.z_key = y.z_key = 0;
        x.z_sum = y.z_sum = 0;
        if (!(x == y))
            return false;
    }
    return true;
}

bool holds(Bitboard b, unsigned square) { return (b >> square) & 1; }

// The square table and the disjoint flag agree with the bitboards.
void check_squares(const Board& board, const char* what, const Board& shown) {
    const std::string mismatch = board_checks::square_table_mismatch(board);
    if (!mismatch.empty())
        finding(what, mismatch + ": " + shown.to_fen());
}

std::optional<PieceIndex> piece_on(
    const Board& board, unsigned square, PieceIndex first, PieceIndex last) {
    for (PieceIndex p = first; p < last; ++p)
        if (holds(board.pieces[p], square))
            return p;
    return std::nullopt;
}

// Whether making `m` on `b` toggles the hash features of exactly the bits it changes, so that a
// hash that matched before still matches afterwards and taking the move back restores it. Worked
// out from the rules of making a move, not from its code: the moving piece's own board must not
// already hold the to-square, an en-passant victim must stand on its square, a castling rook must
// stand on its corner with its target free, a promoted piece's board must not already hold the
// to-square, and the other side's en-passant group (cleared without toggles, since no move can
// leave a bit there) must be empty.
bool toggles_match(const Board& b, ChessMove m) {
    const unsigned from = m.from();
    const unsigned to = m.to();
    const bool white = b.info & 1;
    const std::optional<PieceIndex> moving = piece_on(b, from, 0, PIECE_COUNT);
    if (!moving)
        return false;
    const PieceIndex move_type = *moving;
    const bool white_piece = move_type < BLACK_OFFSET;
    const bool pawn = move_type % 6 == PAWN;
    const bool king = move_type % 6 == KING;
    const std::optional<PieceIndex> capture = white_piece
        ? piece_on(b, to, BLACK_OFFSET, PIECE_COUNT)
        : piece_on(b, to, 0, BLACK_OFFSET);
    if (from != to && holds(b.pieces[move_type], to))
        return false;
    if (pawn && !capture && file_of(from) != file_of(to)) {
        const PieceIndex victim = white ? BLACK_OFFSET + PAWN : PAWN;
        if (white ? to < 8 : to >= 56)
            return false;
        const unsigned victim_square = white ? to - 8 : to + 8;
        Bitboard victim_board = b.pieces[victim];
        if (victim == move_type)
            victim_board = Board::move_bit(victim_board, from, to);
        if (!holds(victim_board, victim_square))
            return false;
    }
    if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) {
        if (m.special() < 4 || m.special() > 7)
            return false;
        if (holds(b.pieces[move_type + m.special() - 3], to))
            return false;
    }
    if (king && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6)) {
        const unsigned base = white ? 0 : 56;
        const unsigned rook_from = file_of(to) == 6 ? base + 7 : base;
        const unsigned rook_to = file_of(to) == 6 ? base + 5 : base + 3;
        const Bitboard rooks = b.pieces[move_type - 2];
        if (!holds(rooks, rook_from) || holds(rooks, rook_to))
            return false;
    }
    const unsigned other_group = white ? 13 : 5;
    return ((b.info >> other_group) & 0xFF) == 0;
}

// The move as text, also for special codes without a text form.
std::string describe(ChessMove m) {
    return m.special() < 8 ? m.to_string() : "raw " + std::to_string(m.data);
}

// Making a move, step by step from its rules, on pieces and info only. `refusal` names the check
// that refuses the move (en-passant victim off the board, then a missing promotion code); a move
// with an empty from-square is not passed in.
struct Made {
    std::array<Bitboard, PIECE_COUNT> pieces;
    std::uint64_t info;
    const char* refusal = nullptr;
};

Made model_push(const Board& b, ChessMove m) {
    Made out { b.pieces, b.info };
    auto& pieces = out.pieces;
    const unsigned from = m.from();
    const unsigned to = m.to();
    const bool white = b.info & 1;
    const PieceIndex move_type = *piece_on(b, from, 0, PIECE_COUNT);
    const bool white_piece = move_type < BLACK_OFFSET;
    std::optional<PieceIndex> capture_type = white_piece
        ? piece_on(b, to, BLACK_OFFSET, PIECE_COUNT)
        : piece_on(b, to, 0, BLACK_OFFSET);
    const bool pawn = move_type % 6 == PAWN;
    const bool en_passant = pawn && !capture_type && file_of(from) != file_of(to);
    if (en_passant) {
        capture_type = BLACK_OFFSET - move_type;
        if (white ? to < 8 : to >= 56) {
            out.refusal = "En passant victim off the board for ";
            return out;
        }
    }
    std::optional<PieceIndex> promotion_type;
    if (pawn && (rank_of(to) == 0 || rank_of(to) == 7)) {
        if (m.special() < 4 || m.special() > 7) {
            out.refusal = "Missing promotion type for ";
            return out;
        }
        promotion_type = move_type + m.special() - 3;
    }
    std::optional<PieceIndex> castle_type;
    if (move_type % 6 == KING && file_of(from) == 4 && (file_of(to) == 2 || file_of(to) == 6))
        castle_type = move_type - 2;

    pieces[move_type] = Board::move_bit(pieces[move_type], from, to);
    if (en_passant)
        pieces[white ? BLACK_OFFSET + PAWN : PAWN] &= ~square_bit(white ? to - 8 : to + 8);
    else if (capture_type)
        pieces[*capture_type] &= ~square_bit(to);
    if (castle_type) {
        const unsigned base = white ? 0 : 56;
        const bool king_side = file_of(to) == 6;
        pieces[*castle_type] = Board::move_bit(
            pieces[*castle_type], king_side ? base + 7 : base, king_side ? base + 5 : base + 3);
    }
    if (promotion_type) {
        pieces[move_type] &= ~square_bit(to);
        pieces[*promotion_type] |= square_bit(to);
    }

    std::uint64_t& info = out.info;
    info &= ~std::uint64_t { 0x1FFFE0 };
    if (move_type == PAWN && rank_of(to) == rank_of(from) + 2)
        info |= std::uint64_t { 1 } << (13 + file_of(to));
    if (move_type == BLACK_OFFSET + PAWN && rank_of(from) == rank_of(to) + 2)
        info |= std::uint64_t { 1 } << (5 + file_of(to));
    const auto clear = [&](unsigned bit, bool condition) {
        if (condition)
            info &= ~(std::uint64_t { 1 } << bit);
    };
    if (white) {
        clear(1, move_type == KING || (move_type == ROOK && from == 7));
        clear(2, move_type == KING || (move_type == ROOK && from == 0));
    } else {
        clear(3,
            move_type == BLACK_OFFSET + KING || (move_type == BLACK_OFFSET + ROOK && from == 63));
        clear(4,
            move_type == BLACK_OFFSET + KING || (move_type == BLACK_OFFSET + ROOK && from == 56));
    }
    clear(1, to == 7 && capture_type == ROOK);
    clear(2, to == 0 && capture_type == ROOK);
    clear(3, to == 63 && capture_type == BLACK_OFFSET + ROOK);
    clear(4, to == 56 && capture_type == BLACK_OFFSET + ROOK);
    info ^= 1;
    return out;
}

// The board before a push, and whether the push toggled only bits it changed.
struct Undo {
    Board board;
    bool exact_hash;
};

// A board with, for every move on its history, a copy of itself from before that move.
struct Slot {
    Board board;
    std::vector<Undo> before;
};

void push(Slot& slot, ChessMove m) {
    Board& board = slot.board;
    const Board before = board;
    const bool exact_hash = toggles_match(before, m);
    const bool model = exact_hash && hash_is_fresh(before);
    std::optional<Made> made;
    if (holds(before.occupied(), m.from()))
        made = model_push(before, m);
    std::optional<Error> error;
    ++counters.pushes;
    try {
        error = board.push_move(m);
    } catch (const Fault& fault) {
        ++counters.faulted;
        expect(board == before, "a faulting push changed the board", before);
        expect(
            std::string_view(fault.what()) == MISSING_VALUE && !holds(before.occupied(), m.from()),
            "push faulted for a reason other than an empty from-square", before);
        return;
    } catch (const std::exception& e) {
        finding("push threw something other than Fault", e.what());
    }
    if (error) {
        ++counters.refused;
        expect(board == before, "a refused push changed the board", before);
        expect(made && made->refusal && error->message.starts_with(made->refusal),
            "push refused a move the rules of making a move accept", before);
        return;
    }
    expect(
        made && !made->refusal, "push accepted a move the rules of making a move refuse", before);
    if (board.pieces != made->pieces || board.info != made->info)
        finding("push made another position than the rules of making a move",
            before.to_fen() + " + " + describe(m) + " gave " + board.to_fen() + " info "
                + std::to_string(board.info) + ", expected info " + std::to_string(made->info));

    const MoveRecord& record = board.move_stack.back();
    expect(board.move_stack.size() == before.move_stack.size() + 1 && record.info == before.info
            && record.z_key == before.zobrist.z_key && record.z_sum == before.zobrist.z_sum,
        "push did not record the old info word and hash", before);
    const std::uint16_t moved = record.moved();
    if (record.wide) {
        expect(record.disjoint == before.disjoint, "push did not record the old flag", before);
        expect(moved < (1u << PIECE_COUNT) && record.saved_count >= 1 && record.saved_count <= 4,
            "push recorded a bitboard above 11", before);
        for (unsigned i = 0; i < 4; ++i)
            expect(record.saved_board[i] == before.pieces[record.saved_index[i]]
                    && record.occupant[i] == before.piece_on[record.square[i]],
                "push saved a wrong bitboard or square", before);
    } else {
        // A narrow record: the plain move of one piece to an empty or enemy square.
        const unsigned from = record.square[0];
        const unsigned to = record.square[1];
        const unsigned mover = record.occupant[0];
        const unsigned taken = record.occupant[1];
        expect(before.disjoint && board.disjoint && from < 64 && to < 64 && from != to
                && mover < PIECE_COUNT && mover == before.piece_on[from]
                && taken == before.piece_on[to]
                && record.saved_board[0] == (square_bit(from) | square_bit(to))
                && (taken == NO_PIECE || (taken < BLACK_OFFSET) != (mover < BLACK_OFFSET)),
            "push recorded a narrow move that is not plain", before);
        expect(board.pieces[mover] == (before.pieces[mover] ^ square_bit(from) ^ square_bit(to))
                && (taken == NO_PIECE
                    || board.pieces[taken] == (before.pieces[taken] ^ square_bit(to))),
            "a narrow move changed other bits than its own", before);
    }
    for (unsigned p = 0; p < PIECE_COUNT; ++p)
        expect(holds(moved, p) || board.pieces[p] == before.pieces[p],
            "push changed a bitboard it did not save", before);
    for (unsigned s = 0; s < 64; ++s)
        expect(holds(record.touched(), s) || board.piece_on[s] == before.piece_on[s],
            "push changed a square it did not save", before);
    check_squares(board, "square table out of step after push", before);
    expect(((board.info ^ before.info) & 1) == 1, "push did not flip the side to move", before);
    const Bitboard ep = board.info & INFO_EP_MASK;
    expect((ep & (ep - 1)) == 0, "more than one en-passant bit after a push", before);
    if (model) {
        ++counters.hash_checked;
        expect(hash_is_fresh(board),
            "incremental hash differs from the from-scratch hash after push", before);
    }
    if (HASH_FOLLOWS_EVERY_MOVE)
        expect(hash_is_fresh(board),
            "hash left the from-scratch value after a move that is not well-formed", before);
    slot.before.push_back({ before, exact_hash });
}

// After a push and pop (or a generation) that left the hash off by some toggles, the earlier
// copies are shifted by the same amount: from here on pop restores hashes relative to the new one.
void carry_drift(Slot& slot, const Board& reference) {
    const std::uint64_t key = slot.board.zobrist.z_key ^ reference.zobrist.z_key;
    const std::uint16_t sum = slot.board.zobrist.z_sum ^ reference.zobrist.z_sum;
    for (Undo& undo : slot.before) {
        undo.board.zobrist.z_key ^= key;
        undo.board.zobrist.z_sum = static_cast<std::uint16_t>(undo.board.zobrist.z_sum ^ sum);
    }
}

void pop(Slot& slot) {
    Board& board = slot.board;
    const Board current = board;
    expect(board.move_stack.size() == slot.before.size(), "history length out of step", board);
    if (slot.before.empty()) {
        try {
            board.pop_move();
        } catch (const Fault& fault) {
            expect(board == current && std::string_view(fault.what()) == MISSING_VALUE,
                "pop on an empty history did not fault cleanly", current);
            return;
        } catch (const std::exception& e) {
            finding("pop threw something other than Fault", e.what());
        }
        finding("pop on an empty history did not fault", current.to_fen());
    }
    try {
        board.pop_move();
    } catch (const std::exception& e) {
        finding("pop threw on a board with history", e.what());
    }
    const Undo undo = slot.before.back();
    slot.before.pop_back();
    expect(undo.exact_hash ? board == undo.board : same_except_hash(board, undo.board),
        "pop did not restore the board before the push", current);
    carry_drift(slot, undo.board);
    check_squares(board, "square table out of step after pop", current);
    if (HASH_FOLLOWS_EVERY_MOVE)
        expect(hash_is_fresh(board), "hash left the from-scratch value after pop", current);
}

std::string texts(const MoveList& list) {
    std::string out;
    for (const ChessMove m : list)
        out += (out.empty() ? "" : " ") + m.to_string();
    return out;
}

// The legal moves, with the generation checks: moves() gives exactly the list of the reference
// filter and an ordered subset of the pseudo-legal list. False when moves() faulted.
bool generate(Slot& slot, MoveList& legal) {
    Board& board = slot.board;
    const Board before = board;
    MoveList pseudo;
    generator().pseudo_moves(board, pseudo);
    bool exact_hash = true;
    for (const ChessMove m : pseudo)
        exact_hash = exact_hash && toggles_match(board, m);
    const auto unchanged
        = [&] { return exact_hash ? board == before : same_except_hash(board, before); };

    // The reference filter (make, test and take back every candidate), on a copy.
    Board copy = board;
    MoveList reference;
    bool reference_faulted = false;
    try {
        generator().reference_moves(copy, reference);
    } catch (const Fault&) {
        reference_faulted = true;
    } catch (const std::exception& e) {
        finding("reference_moves() threw something other than Fault", e.what());
    }

    ++counters.generations;
    try {
        generator().moves(board, legal);
    } catch (const Fault&) {
        ++counters.generation_faults;
        legal.resize(0);
        expect(unchanged(), "moves() faulted and left the board changed", before);
        expect(!disjoint_bitboards(before), "moves() faulted on a board with disjoint bitboards",
            before);
        expect(reference_faulted, "moves() faulted where the reference filter did not", before);
        carry_drift(slot, before);
        return false;
    } catch (const std::exception& e) {
        finding("moves() threw something other than Fault", e.what());
    }
    expect(unchanged(), "moves() changed the board", before);
    if (HASH_FOLLOWS_EVERY_MOVE)
        expect(board == before, "moves() changed the hash", before);
    carry_drift(slot, before);
    counters.legal_moves += legal.size();
    expect(!reference_faulted, "the reference filter faulted where moves() did not", before);
    // The counting path (perft's last ply) agrees with the list and leaves the board alone too.
    const Board listed = board;
    std::size_t count = 0;
    try {
        count = generator().count_moves(board);
    } catch (const std::exception& e) {
        finding("count_moves() threw where moves() did not", e.what());
    }
    expect(count == legal.size(), "count_moves() differs from the length of moves()", before);
    expect(HASH_FOLLOWS_EVERY_MOVE ? board == listed : same_except_hash(board, listed),
        "count_moves() changed the board", before);
    carry_drift(slot, listed);
    if (!std::equal(legal.begin(), legal.end(), reference.begin(), reference.end()))
        finding("moves() differs from the reference filter",
            before.to_fen() + "\n  moves():     " + texts(legal)
                + "\n  reference:   " + texts(reference));
    std::size_t j = 0;
    for (const ChessMove m : legal) {
        while (j < pseudo.size() && !(pseudo[j] == m))
            ++j;
        expect(
            j < pseudo.size(), "a legal move is not among the pseudo-legal moves in order", board);
        ++j;
        expect(m.special() < 8, "a generated move has no text form", board);
    }
    return true;
}

void reflect(Slot& slot) {
    Board& board = slot.board;
    const Board original = board;
    board.reflect();
    slot.before.clear();
    expect(history_is_empty(board), "reflect kept history", original);
    expect(hash_is_fresh(board), "reflect did not rebuild the hash", original);
    check_squares(board, "square table out of step after reflect", original);
    Board twice = board;
    twice.reflect();
    expect(twice.pieces == original.pieces && twice.info == original.info,
        "reflect twice is not the identity", original);
}

class Program {
public:
    explicit Program(std::string_view bytes)
        : bytes_(bytes) { }
    bool done() const { return pos_ >= bytes_.size(); }
    std::uint8_t next() { return done() ? 0 : static_cast<std::uint8_t>(bytes_[pos_++]); }
    std::string_view take(std::size_t n) {
        n = std::min(n, bytes_.size() - pos_);
        const std::string_view out = bytes_.substr(pos_, n);
        pos_ += n;
        return out;
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// Opcodes (byte modulo 10):
//   0 generate legal moves and check them      1 i  generate, then push legal move i % count
//   2 n t  push the text of n % 8 bytes         3 lo hi  push the raw move value lo | hi << 8
//   4 pop                                       5 reflect
//   6 copy the current board into the spare     7 swap current and spare
//   8 push and pop every legal move             9 pop everything, then once more on empty
void run_program(Slot& current, Program& program) {
    Slot spare = current;
    MoveList legal;
    for (std::size_t ops = 0; ops < MAX_OPS && !program.done(); ++ops) {
        switch (program.next() % 10) {
        case 0: generate(current, legal); break;
        case 1: {
            const std::uint8_t index = program.next();
            if (generate(current, legal) && !legal.empty())
                push(current, legal[index % legal.size()]);
            break;
        }
        case 2: {
            const std::string_view text = program.take(program.next() % 8);
            try {
                const Result<ChessMove> read = ChessMove::from_str(text);
                if (read.ok())
                    push(current, read.value());
            } catch (const Fault&) {
                // Malformed squares are the reader's faults; the board was never touched.
            }
            break;
        }
        case 3: {
            const std::uint8_t lo = program.next();
            const std::uint8_t hi = program.next();
            push(current, ChessMove { static_cast<std::uint16_t>(lo | hi << 8) });
            break;
        }
        case 4: pop(current); break;
        case 5: reflect(current); break;
        case 6:
            spare = current;
            expect(spare.board == current.board, "a copy differs from its source", current.board);
            break;
        case 7: std::swap(current, spare); break;
        case 8:
            if (generate(current, legal)) {
                for (const ChessMove m : legal) {
                    push(current, m);
                    pop(current);
                }
            }
            break;
        case 9:
            while (!current.before.empty())
                pop(current);
            pop(current);
            break;
        }
    }
    // Whatever happened, both boards can still be taken back to where their histories began.
    for (Slot* slot : { &current, &spare })
        while (!slot->before.empty())
            pop(*slot);
}

void print_counters() {
    std::fprintf(stderr,
        "board_ops: pushes %llu (hash checked %llu, refused %llu, faulted %llu), generations %llu "
        "(faulted %llu), legal moves listed %llu\n",
        static_cast<unsigned long long>(counters.pushes),
        static_cast<unsigned long long>(counters.hash_checked),
        static_cast<unsigned long long>(counters.refused),
        static_cast<unsigned long long>(counters.faulted),
        static_cast<unsigned long long>(counters.generations),
        static_cast<unsigned long long>(counters.generation_faults),
        static_cast<unsigned long long>(counters.legal_moves));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = [] {
        const char* stats = std::getenv("FUZZ_BOARD_OPS_STATS");
        if (stats && *stats == '1')
            std::atexit(print_counters);
        return true;
    }();
    (void)registered;

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view fen = input.substr(0, newline);
    std::optional<Result<Board>> read;
    try {
        read.emplace(Board::from_fen(fen));
    } catch (const Fault&) {
        return 0;
    }
    if (!read->ok())
        return 0;

    Slot slot { std::move(read->value()), {} };
    expect(hash_is_fresh(slot.board), "a board read from FEN has a stale hash", slot.board);
    check_squares(slot.board, "square table out of step after reading FEN", slot.board);
    Program program(
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1));
    run_program(slot, program);
    return 0;
}
