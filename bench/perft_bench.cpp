// Native perft benchmark: table construction time, then perft of the standard positions with and
// without bulk counting at the last ply.
//
//   perft_bench [depth] [fen]      depth defaults to 4; a FEN replaces the six standard positions
// Exits with 1 when a count disagrees with the shared perft table.
#include "board.h"
#include "make_unmake.h"
#include "move_generator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace quarn_chess;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Position {
    std::string name;
    std::string fen;
};

const std::vector<Position> STANDARD_POSITIONS = {
    { "start", std::string(START_FEN) },
    { "kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq -" },
    { "pos3", "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - -" },
    { "pos4", "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq -" },
    { "pos5", "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ -" },
    { "pos6", "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - -" },
};

// Expected counts from the shared perft table, keyed by (FEN, depth); empty when it is missing.
std::map<std::pair<std::string, unsigned>, std::uint64_t> expected_counts() {
    std::map<std::pair<std::string, unsigned>, std::uint64_t> counts;
#ifdef QUARN_TEST_DATA_DIR
    std::ifstream file(QUARN_TEST_DATA_DIR "/perft.txt");
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string fen, depth, nodes;
        std::getline(fields, fen, ';');
        std::getline(fields, depth, ';');
        std::getline(fields, nodes, ';');
        counts[{ fen, static_cast<unsigned>(std::stoul(depth)) }] = std::stoull(nodes);
    }
#endif
    return counts;
}

void bench_construction() {
    constexpr int runs = 15;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        const MoveGenerator generator;
        times.push_back(seconds_since(start) * 1e3);
        // Keep the tables observable so the build cannot be skipped.
        if (generator.sliding_moves[0][0] == 0)
            std::abort();
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "MoveGenerator() construction: median %.3f ms, min %.3f ms, max %.3f ms (%d runs)\n\n",
        times[runs / 2], times.front(), times.back(), runs);
}

// push_move + pop_move over the root moves of each position, many times over: nanoseconds per
// pair, median of several runs.
void bench_make_unmake(const MoveGenerator& generator, const std::vector<Position>& positions) {
    constexpr int runs = 7;
    std::printf("push_move + pop_move on the root moves (ns per pair, median of %d runs):\n", runs);
    std::vector<double> medians;
    for (const Position& p : positions) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run)
            times.push_back(bench::make_unmake_ns(generator, p.fen, 4'000'000));
        std::sort(times.begin(), times.end());
        std::printf("  %-9s %6.2f ns\n", p.name.c_str(), times[runs / 2]);
        medians.push_back(times[runs / 2]);
    }
    std::sort(medians.begin(), medians.end());
    std::printf(
        "  %-9s %6.2f ns (worst %.2f)\n\n", "median", medians[medians.size() / 2], medians.back());
}

} // namespace

int main(int argc, char** argv) {
    const unsigned depth = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 4;
    std::vector<Position> positions = STANDARD_POSITIONS;
    if (argc > 2)
        positions = { { "fen", argv[2] } };

    bench_construction();

    const auto expected = expected_counts();
    const MoveGenerator generator;
    bench_make_unmake(generator, positions);
    std::printf("%-9s %5s %12s %10s %9s %10s %9s  %s\n", "position", "depth", "nodes", "bulk s",
        "bulk Mn/s", "full s", "full Mn/s", "check");
    std::uint64_t total_nodes = 0;
    double total_bulk = 0, total_full = 0;
    int failures = 0;
    for (const Position& p : positions) {
        const Result<Board> read = Board::from_fen(p.fen);
        if (!read.ok()) {
            std::fprintf(stderr, "bad FEN %s: %s\n", p.fen.c_str(), read.error().message.c_str());
            return 2;
        }
        Board board = read.value();

        Clock::time_point start = Clock::now();
        const std::uint64_t bulk_nodes = perft(generator, board, depth, true);
        const double bulk_seconds = seconds_since(start);

        start = Clock::now();
        const std::uint64_t full_nodes = perft(generator, board, depth, false);
        const double full_seconds = seconds_since(start);

        const auto known = expected.find({ p.fen, depth });
        const char* verdict = bulk_nodes != full_nodes ? "BULK/FULL DIFFER"
            : known == expected.end()                  ? "-"
            : known->second == bulk_nodes              ? "ok"
                                                       : "MISMATCH";
        std::printf("%-9s %5u %12llu %10.3f %9.2f %10.3f %9.2f  %s\n", p.name.c_str(), depth,
            static_cast<unsigned long long>(bulk_nodes), bulk_seconds,
            bulk_nodes / bulk_seconds / 1e6, full_seconds, full_nodes / full_seconds / 1e6,
            verdict);
        if (verdict[0] == 'B' || verdict[0] == 'M')
            failures++;
        total_nodes += bulk_nodes;
        total_bulk += bulk_seconds;
        total_full += full_seconds;
    }
    if (positions.size() > 1)
        std::printf("%-9s %5s %12llu %10.3f %9.2f %10.3f %9.2f\n", "total", "",
            static_cast<unsigned long long>(total_nodes), total_bulk,
            total_nodes / total_bulk / 1e6, total_full, total_nodes / total_full / 1e6);
    return 0;
}
