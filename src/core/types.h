// Square, bitboard and piece conventions shared by the whole core.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarn_chess {

using Bitboard = std::uint64_t;

// Square index: rank * 8 + file, a1 = 0, h1 = 7, a8 = 56, h8 = 63. Bit s of a bitboard is square s.
using Square = std::uint16_t;

// Piece index into Board::pieces:
//   0 P  1 N  2 B  3 R  4 Q  5 K   (white)
//   6 p  7 n  8 b  9 r 10 q 11 k   (black)
// A side's pieces start at offset 0 (white) or 6 (black); the same piece of the other colour
// is index +/- 6.
using PieceIndex = unsigned;

constexpr PieceIndex PAWN = 0;
constexpr PieceIndex KNIGHT = 1;
constexpr PieceIndex BISHOP = 2;
constexpr PieceIndex ROOK = 3;
constexpr PieceIndex QUEEN = 4;
constexpr PieceIndex KING = 5;
constexpr PieceIndex WHITE_OFFSET = 0;
constexpr PieceIndex BLACK_OFFSET = 6;
constexpr PieceIndex PIECE_COUNT = 12;

// The info word:
//   bit  0       white to move (clear: black to move)
//   bits 1..4    castling rights K, Q, k, q
//   bits 5..12   en-passant file f (5 + f) with white to move: black just double-stepped
//   bits 13..20  en-passant file f (13 + f) with black to move: white just double-stepped
//   bits 21..63  no meaning; 0 unless odd FEN text put something there
// At most one en-passant bit is set after any move, and only in the group of the side to move.
constexpr std::uint64_t INFO_WHITE_TO_MOVE = 1;
constexpr unsigned INFO_WHITE_KING_SIDE = 1;
constexpr unsigned INFO_WHITE_QUEEN_SIDE = 2;
constexpr unsigned INFO_BLACK_KING_SIDE = 3;
constexpr unsigned INFO_BLACK_QUEEN_SIDE = 4;
constexpr unsigned INFO_EP_WHITE_TO_MOVE = 5;
constexpr unsigned INFO_EP_BLACK_TO_MOVE = 13;
constexpr std::uint64_t INFO_WHITE_CASTLING = 0x06;
constexpr std::uint64_t INFO_BLACK_CASTLING = 0x18;
constexpr std::uint64_t INFO_CASTLING_MASK = INFO_WHITE_CASTLING | INFO_BLACK_CASTLING;
constexpr std::uint64_t INFO_EP_WHITE_MASK = 0x1FE0; // bits 5..12
constexpr std::uint64_t INFO_EP_BLACK_MASK = 0x1FE000; // bits 13..20
constexpr std::uint64_t INFO_EP_MASK = INFO_EP_WHITE_MASK | INFO_EP_BLACK_MASK;

constexpr std::string_view START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -";

constexpr unsigned rank_of(unsigned square) { return square >> 3; }
constexpr unsigned file_of(unsigned square) { return square & 7; }

} // namespace quarn_chess
