// Helpers shared by the core's tests: reading a known-good FEN, one generator per test binary, the
// standard perft positions of tests/data/perft.txt.
#pragma once

#include "board.h"
#include "move_generator.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace quarn_chess::test_support {

inline Board read(std::string_view fen) { return Board::from_fen(fen).value(); }

// Building the tables once keeps the sanitizer run fast.
inline const MoveGenerator& generator() {
    static const MoveGenerator instance;
    return instance;
}

struct PerftCase {
    std::string fen;
    unsigned depth;
    std::uint64_t nodes;
};

// The rows of tests/data/perft.txt in order; empty when the file cannot be read.
inline std::vector<PerftCase> perft_cases() {
    std::ifstream file(QUARN_TEST_DATA_DIR "/perft.txt");
    std::vector<PerftCase> cases;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        PerftCase c;
        std::string depth, nodes;
        std::getline(fields, c.fen, ';');
        std::getline(fields, depth, ';');
        std::getline(fields, nodes, ';');
        c.depth = static_cast<unsigned>(std::stoul(depth));
        c.nodes = std::stoull(nodes);
        cases.push_back(c);
    }
    return cases;
}

// The positions of the table in order of first appearance: the start position, "kiwipete",
// positions 3 and 4, the colour mirror of position 4, positions 5 and 6.
inline const std::vector<std::string>& standard_positions() {
    static const std::vector<std::string> positions = [] {
        std::vector<std::string> fens;
        for (const PerftCase& c : perft_cases())
            if (fens.empty() || fens.back() != c.fen)
                fens.push_back(c.fen);
        return fens;
    }();
    return positions;
}

inline const std::string& KIWIPETE = standard_positions().at(1);
inline const std::string& POSITION_5 = standard_positions().at(5);

} // namespace quarn_chess::test_support
