// Side-by-side native benchmark against chess-library: the same perft (bulk counting and every
// leaf made) and the same make/unmake loop, runs alternating between the two, medians compared.
//
//   native_compare [runs] [shallower]    runs defaults to 3; shallower lowers every depth
// Exits with 1 when the two libraries count different nodes.
#include "../make_unmake.h"
#include "board.h"
#include "chess_library_perft.h"
#include "move_generator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace quarn_chess;

namespace {

using Clock = std::chrono::steady_clock;

struct Position {
    const char* name;
    const char* fen;
    unsigned depth;
};

constexpr Position POSITIONS[] = {
    { "start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -", 6 },
    { "kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -", 5 },
    { "pos3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -", 6 },
    { "pos4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -", 5 },
    { "pos5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -", 5 },
    { "pos6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -", 5 },
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class F> double timed(std::uint64_t& nodes, F&& f) {
    const Clock::time_point start = Clock::now();
    nodes = f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Cells {
    std::vector<double> ours_bulk, theirs_bulk, ours_full, theirs_full, ours_make, theirs_make;
};

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const unsigned shallower = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    const MoveGenerator generator;
    constexpr std::size_t count = std::size(POSITIONS);
    std::vector<Cells> cells(count);
    std::vector<std::uint64_t> node_counts(count);
    int mismatches = 0;

    std::printf("native comparison with chess-library: %d alternating runs, medians\n", runs);
    for (int run = 0; run < runs; ++run) {
        for (std::size_t i = 0; i < count; ++i) {
            const Position& p = POSITIONS[i];
            const unsigned depth = p.depth > shallower ? p.depth - shallower : 1;
            Board board = Board::from_fen(p.fen).value();
            std::uint64_t ours_bulk = 0, theirs_bulk = 0, ours_full = 0, theirs_full = 0;
            // Every other run lets chess-library go first.
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn + run) % 2 == 0) {
                    cells[i].ours_bulk.push_back(
                        timed(ours_bulk, [&] { return perft(generator, board, depth, true); }));
                    cells[i].ours_full.push_back(
                        timed(ours_full, [&] { return perft(generator, board, depth, false); }));
                    cells[i].ours_make.push_back(
                        bench::make_unmake_ns(generator, p.fen, 2'000'000));
                } else {
                    cells[i].theirs_bulk.push_back(
                        timed(theirs_bulk, [&] { return reference::perft(p.fen, depth, true); }));
                    cells[i].theirs_full.push_back(
                        timed(theirs_full, [&] { return reference::perft(p.fen, depth, false); }));
                    cells[i].theirs_make.push_back(reference::make_unmake_ns(p.fen, 2'000'000));
                }
            }
            node_counts[i] = ours_bulk;
            if (ours_bulk != theirs_bulk || ours_full != theirs_full || ours_bulk != ours_full) {
                std::fprintf(stderr,
                    "%s: node counts differ (ours %llu / %llu, theirs %llu / %llu)\n", p.name,
                    static_cast<unsigned long long>(ours_bulk),
                    static_cast<unsigned long long>(ours_full),
                    static_cast<unsigned long long>(theirs_bulk),
                    static_cast<unsigned long long>(theirs_full));
                ++mismatches;
            }
        }
        std::fprintf(stderr, "  run %d of %d done\n", run + 1, runs);
    }

    std::printf("\n%-9s %5s %11s | %9s %9s %6s | %9s %9s %6s | %11s %6s\n", "position", "depth",
        "nodes", "bulk ours", "theirs", "ratio", "full ours", "theirs", "ratio", "make+unmake",
        "ratio");
    std::printf("%-9s %5s %11s | %9s %9s %6s | %9s %9s %6s | %11s %6s\n", "", "", "", "s", "s", "",
        "s", "s", "", "ns ours/th.", "");
    for (std::size_t i = 0; i < count; ++i) {
        const Position& p = POSITIONS[i];
        const Cells& c = cells[i];
        const double ob = median(c.ours_bulk), tb = median(c.theirs_bulk);
        const double of = median(c.ours_full), tf = median(c.theirs_full);
        const double om = median(c.ours_make), tm = median(c.theirs_make);
        char make[32];
        std::snprintf(make, sizeof make, "%.1f/%.1f", om, tm);
        std::printf("%-9s %5u %11llu | %9.3f %9.3f %5.2fx | %9.3f %9.3f %5.2fx | %11s %5.2fx\n",
            p.name, p.depth > shallower ? p.depth - shallower : 1,
            static_cast<unsigned long long>(node_counts[i]), ob, tb, tb / ob, of, tf, tf / of, make,
            tm / om);
    }
    std::printf("ratio: chess-library's time / ours (above 1: we are faster)\n");
    return mismatches ? 1 : 0;
}
