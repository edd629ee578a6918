// Game records and training arrays built from PGN: the visitors behind read_games and
// pgn_to_arrays.
#include "pgn_data.h"

#include "bits.h"
#include "tensors.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define QUARN_MAPPED_COLUMNS 1
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarn_chess {

namespace {

    bool equal_ignoring_case(std::string_view a, std::string_view b) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] | 0x20) : a[i];
            const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] | 0x20) : b[i];
            if (x != y)
                return false;
        }
        return true;
    }

    // --- annotations ---

    // The scales of the fraction digits, 0.1 then each one tenth of the one before: the values
    // a scale divided by ten at every digit takes, so a fraction reads the same to the bit.
    constexpr std::size_t SCALES = 24;
    constexpr std::array<double, SCALES> FRACTION_SCALES = [] {
        std::array<double, SCALES> scales {};
        double scale = 0.1;
        for (double& entry : scales) {
            entry = scale;
            scale /= 10;
        }
        return scales;
    }();

    bool is_digit(char c) { return static_cast<unsigned>(c - '0') < 10; }

    // Digits, optionally with a fraction: at least one digit, or a dot and a digit.
    bool read_number(const char*& p, const char* end, double& value) {
        const char* const start = p;
        value = 0;
        while (p < end && is_digit(*p))
            value = value * 10 + (*p++ - '0');
        if (p < end && *p == '.') {
            ++p;
            double scale = FRACTION_SCALES[0];
            for (std::size_t k = 1; p < end && is_digit(*p); ++k) {
                value += (*p++ - '0') * scale;
                scale = k < SCALES ? FRACTION_SCALES[k] : scale / 10;
            }
        }
        return p > start && !(p == start + 1 && *start == '.');
    }

    // --- column memory ---

    std::size_t page_size() {
#ifdef QUARN_MAPPED_COLUMNS
        static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        return size;
#else
        return 4096;
#endif
    }

    std::size_t whole_pages(std::size_t bytes) {
        const std::size_t page = page_size();
        return (bytes + page - 1) / page * page;
    }

    // Address space from the system: mapped pages on Linux (grown by moving the mapping, never
    // the data), the C heap elsewhere and under AddressSanitizer (which checks heap blocks).
    void* system_block(std::size_t bytes) {
#ifdef QUARN_MAPPED_COLUMNS
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        return block == MAP_FAILED ? nullptr : block;
#else
        return std::malloc(bytes);
#endif
    }

    void* grown_block(void* block, std::size_t old_bytes, std::size_t bytes) {
#ifdef QUARN_MAPPED_COLUMNS
        void* moved = mremap(block, old_bytes, bytes, MREMAP_MAYMOVE);
        return moved == MAP_FAILED ? nullptr : moved;
#else
        (void)old_bytes;
        return std::realloc(block, bytes);
#endif
    }

    void free_block(void* block, std::size_t bytes) {
#ifdef QUARN_MAPPED_COLUMNS
        munmap(block, bytes);
#else
        (void)bytes;
        std::free(block);
#endif
    }

    struct CachedBlock {
        void* data;
        std::size_t capacity;
        std::size_t used;
        unsigned slot;
    };

    // Freed column blocks, oldest first; `used` bytes of each are resident.
    struct ColumnCache {
        static constexpr std::size_t MAX_BLOCKS = 64;
        std::mutex mutex;
        std::vector<CachedBlock> blocks;
        std::size_t bytes = 0;
    };

    ColumnCache& new_column_cache();

    ColumnCache& column_cache() {
        // Never destroyed: threads may still free columns while the process exits.
        static ColumnCache& cache = new_column_cache();
        return cache;
    }

#ifdef QUARN_MAPPED_COLUMNS
    // Cached blocks are left out of forked children (MADV_DONTFORK): a fork then copies no page
    // tables for them, and the child, which would otherwise share their pages with its parent
    // until either writes them (each write copying a page), starts with an empty cache. The lock
    // is held across fork so that the child's list is whole when it drops it.
    //
    // A cached block's pages are also lent to the kernel (MADV_FREE): they stay mapped and cost
    // no fault when written again, but the kernel may take them back when memory runs short, so
    // the cache never pushes the machine into swapping or out of memory. Columns only read what
    // they wrote, so a page taken back (it reads as zeros) changes nothing.
    void keep_from_children(void* block, std::size_t bytes, bool keep) {
        madvise(block, bytes, keep ? MADV_DONTFORK : MADV_DOFORK);
#ifdef MADV_FREE
        if (keep)
            madvise(block, bytes, MADV_FREE);
#endif
    }
    void lock_cache_for_fork() { column_cache().mutex.lock(); }
    void unlock_cache_after_fork() { column_cache().mutex.unlock(); }
    void drop_cache_in_child() {
        ColumnCache& cache = column_cache();
        std::vector<CachedBlock>().swap(cache.blocks);
        cache.bytes = 0;
        cache.mutex.unlock();
    }
#else
    void keep_from_children(void*, std::size_t, bool) { }
#endif

    ColumnCache& new_column_cache() {
        auto* cache = new ColumnCache;
#ifdef QUARN_MAPPED_COLUMNS
        pthread_atfork(lock_cache_for_fork, unlock_cache_after_fork, drop_cache_in_child);
#endif
        return *cache;
    }

} // namespace

CommentAnnotations read_annotations(std::string_view comment) {
    CommentAnnotations out;
    const char* const end = comment.data() + comment.size();
    const char* eval = nullptr;
    const char* clk = nullptr;
    for (const char* p = comment.data(); p < end && !(eval && clk); ++p) {
        p = static_cast<const char*>(std::memchr(p, '[', static_cast<std::size_t>(end - p)));
        if (p == nullptr)
            break;
        if (!eval && end - p >= 7 && std::memcmp(p, "[%eval ", 7) == 0)
            eval = p + 7;
        else if (!clk && end - p >= 6 && std::memcmp(p, "[%clk ", 6) == 0)
            clk = p + 6;
    }
    if (eval) {
        const char* p = eval;
        const bool mate = p < end && *p == '#';
        if (mate)
            ++p;
        double sign = 1;
        if (p < end && (*p == '-' || *p == '+'))
            sign = *p++ == '-' ? -1 : 1;
        double value = 0;
        if (read_number(p, end, value) && p < end && (*p == ']' || *p == ',')) {
            if (mate) {
                out.has_mate = value < 1e6;
                out.mate = static_cast<int>(sign * value);
            } else {
                out.has_eval = true;
                out.eval_cp = static_cast<float>(sign * value * 100);
            }
        }
    }
    if (clk && end - clk >= 8 && is_digit(clk[0]) && clk[1] == ':' && is_digit(clk[2])
        && is_digit(clk[3]) && clk[4] == ':' && is_digit(clk[5]) && is_digit(clk[6])
        && clk[7] == ']') {
        // Lichess's form H:MM:SS: whole numbers, which the general reader would read exactly.
        const int hours = clk[0] - '0';
        const int minutes = (clk[2] - '0') * 10 + (clk[3] - '0');
        const int seconds = (clk[5] - '0') * 10 + (clk[6] - '0');
        out.has_clock = true;
        out.clock_seconds = static_cast<float>(hours * 3600 + minutes * 60 + seconds);
    } else if (clk) {
        const char* p = clk;
        double hours = 0;
        double minutes = 0;
        double seconds = 0;
        if (read_number(p, end, hours) && p < end && *p++ == ':' && read_number(p, end, minutes)
            && p < end && *p++ == ':' && read_number(p, end, seconds) && p < end && *p == ']') {
            out.has_clock = true;
            out.clock_seconds = static_cast<float>(hours * 3600 + minutes * 60 + seconds);
        }
    }
    return out;
}

bool is_finished(std::string_view result) {
    return result == "1-0" || result == "0-1" || result == "1/2-1/2";
}

std::int16_t read_elo(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return -1;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value > 32767 ? -1 : static_cast<std::int16_t>(value);
}

double estimated_duration(std::string_view text) {
    double parts[2] = { 0, 0 };
    unsigned part = 0;
    bool digit = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + (c - '0');
            digit = true;
        } else if (c == '+' && part == 0 && digit) {
            part = 1;
            digit = false;
        } else {
            return -1;
        }
    }
    if (!digit)
        return -1;
    return parts[0] + 40 * parts[1];
}

bool allowed_value(const std::vector<std::string>& set, bool present, std::string_view value) {
    if (set.empty())
        return true;
    if (!present)
        return false;
    for (const std::string& entry : set)
        if (entry == value)
            return true;
    return false;
}

std::string_view game_result(std::string_view result_tag, std::string_view marker) {
    if (is_finished(result_tag))
        return result_tag;
    if (!marker.empty())
        return marker;
    return "*";
}

bool is_standard_variant(std::string_view variant) {
    for (const std::string_view alias :
        { "Standard", "Chess", "Classical", "Normal", "Illegal", "From Position" })
        if (equal_ignoring_case(variant, alias))
            return true;
    return false;
}

// --- game records -------------------------------------------------------------------------------

void GameCollector::begin_game(std::uint64_t game, std::uint64_t offset) {
    if (!spare_.empty()) {
        // A record given back: its tags and strings are overwritten in place.
        current_ = std::move(spare_.back());
        spare_.pop_back();
        current_.start_fen.clear();
        current_.moves.clear();
        current_.result.clear();
        current_.has_error = false;
        current_.error = PgnError {};
    } else {
        current_ = GameRecord {};
        // Room for the tags of a Lichess game at once (the record leaves with its tags).
        current_.tags.reserve(20);
    }
    tag_count_ = 0;
    current_.index = game;
    current_.offset = offset;
    moves_.clear();
    marker_.clear();
    fen_error_ = PgnError {};
    variant_ = false;
}

void GameCollector::tag(std::string_view name, std::string_view value) {
    auto& tags = current_.tags;
    for (std::size_t i = 0; i < tag_count_; ++i) {
        auto& entry = tags[i];
        if (entry.first.size() == name.size() && entry.first.back() == name.back()
            && entry.first == name) {
            entry.second = value;
            return;
        }
    }
    if (tag_count_ < tags.size()) {
        tags[tag_count_].first = name;
        tags[tag_count_].second = value;
    } else {
        tags.emplace_back(name, value);
    }
    ++tag_count_;
}

void GameCollector::recycle(std::size_t count) {
    count = std::min(count, done_.size());
    // Enough spares for the games of a few chunks; the rest is freed.
    constexpr std::size_t MAX_SPARES = 4096;
    const std::size_t kept = std::min(count, MAX_SPARES - std::min(MAX_SPARES, spare_.size()));
    spare_.reserve(spare_.size() + kept); // the only step that can throw, before any move
    for (std::size_t i = 0; i < kept; ++i)
        spare_.push_back(std::move(done_[i]));
    done_.erase(done_.begin(), done_.begin() + static_cast<std::ptrdiff_t>(count));
}

bool GameCollector::begin_movetext() {
    current_.tags.resize(tag_count_);
    std::string_view fen;
    for (const auto& [name, value] : current_.tags) {
        // As views: a view compares its length first, where std::string == "..." calls memcmp.
        const std::string_view key = name;
        if (key == "Variant" && !is_standard_variant(value))
            variant_ = true;
        if (key == "FEN")
            fen = value;
    }
    if (variant_)
        return false;
    if (fen.empty()) {
        replay_.reset();
        return true;
    }
    current_.start_fen = fen;
    if (const std::optional<Error> error = replay_.reset(fen)) {
        fen_error_.kind = PgnErrorKind::BAD_FEN;
        fen_error_.game = current_.index;
        fen_error_.offset = current_.offset;
        fen_error_.message = "game " + std::to_string(current_.index) + ", byte "
            + std::to_string(current_.offset) + ": bad FEN tag '" + std::string(fen)
            + "': " + error->message;
        return false;
    }
    return true;
}

PgnErrorKind GameCollector::move(std::string_view san, std::uint64_t) {
    const PgnErrorKind kind = replay_.play(san);
    if (kind == PgnErrorKind::NONE)
        moves_.push_back(replay_.last_move());
    return kind;
}

bool GameCollector::end_game(const PgnError* error) {
    current_.tags.resize(tag_count_);
    std::string_view result_tag;
    for (const auto& [name, value] : current_.tags)
        if (std::string_view(name) == "Result")
            result_tag = value;
    current_.result = game_result(result_tag, marker_);
    current_.moves.assign(moves_.begin(), moves_.end());
    if (error) {
        current_.has_error = true;
        current_.error = *error;
    } else if (fen_error_.kind != PgnErrorKind::NONE) {
        current_.has_error = true;
        current_.error = fen_error_;
    }
    if (variant_ && !current_.has_error)
        ++variant_games_;
    const bool bad = current_.has_error;
    done_.push_back(std::move(current_));
    current_ = GameRecord {};
    return !(strict_ && bad);
}

// --- training arrays ----------------------------------------------------------------------------

ColumnBlock::ColumnBlock(ColumnBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , capacity_(std::exchange(other.capacity_, 0))
    , used_(std::exchange(other.used_, 0))
    , slot_(other.slot_) { }

ColumnBlock& ColumnBlock::operator=(ColumnBlock&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        used_ = std::exchange(other.used_, 0);
        slot_ = other.slot_;
    }
    return *this;
}

void ColumnBlock::reserve(std::size_t bytes) {
    if (bytes <= capacity_)
        return;
    bytes = whole_pages(bytes);
    if (data_ == nullptr) {
        // The most recently freed block of this kind.
        ColumnCache& cache = column_cache();
        const std::lock_guard lock(cache.mutex);
        auto& blocks = cache.blocks;
        for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
            if (it->slot == slot_) {
                data_ = it->data;
                capacity_ = it->capacity;
                used_ = it->used;
                cache.bytes -= it->used;
                blocks.erase(std::next(it).base());
                keep_from_children(data_, capacity_, false);
                break;
            }
    }
    if (data_ == nullptr) {
        data_ = system_block(bytes);
        if (data_ == nullptr)
            throw std::bad_alloc();
        capacity_ = bytes;
        return;
    }
    if (bytes <= capacity_)
        return;
    void* grown = grown_block(data_, capacity_, bytes);
    if (grown == nullptr)
        throw std::bad_alloc();
    data_ = grown;
    capacity_ = bytes;
}

void ColumnBlock::release() {
    if (data_ == nullptr)
        return;
    void* const data = std::exchange(data_, nullptr);
    const std::size_t capacity = std::exchange(capacity_, 0);
    const std::size_t used = std::min(std::exchange(used_, 0), capacity);
    std::vector<CachedBlock> evicted;
    if (used > 0 && used <= COLUMN_CACHE_BYTES) {
        ColumnCache& cache = column_cache();
        const std::lock_guard lock(cache.mutex);
        auto& blocks = cache.blocks;
        std::size_t drop = 0;
        while (drop < blocks.size()
            && (cache.bytes + used > COLUMN_CACHE_BYTES
                || blocks.size() - drop >= ColumnCache::MAX_BLOCKS)) {
            cache.bytes -= blocks[drop].used;
            ++drop;
        }
        evicted.assign(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(drop));
        blocks.erase(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(drop));
        try {
            blocks.push_back({ data, capacity, used, slot_ });
            cache.bytes += used;
            keep_from_children(data, capacity, true);
        } catch (const std::bad_alloc&) {
            evicted.push_back({ data, capacity, used, slot_ });
        }
    } else {
        evicted.push_back({ data, capacity, used, slot_ });
    }
    for (const CachedBlock& block : evicted)
        free_block(block.data, block.capacity);
}

std::size_t column_cache_bytes() {
    ColumnCache& cache = column_cache();
    const std::lock_guard lock(cache.mutex);
    return cache.bytes;
}

void clear_column_cache() {
    std::vector<CachedBlock> blocks;
    {
        ColumnCache& cache = column_cache();
        const std::lock_guard lock(cache.mutex);
        blocks.swap(cache.blocks);
        cache.bytes = 0;
    }
    for (const CachedBlock& block : blocks)
        free_block(block.data, block.capacity);
}

PositionColumns::PositionColumns(bool with_planes)
    : packed(rows_, with_planes ? 0 : PACKED_SIZE, 0)
    , planes(rows_, with_planes ? PLANES_SIZE : 0, 1)
    , turn(rows_, 1, 2)
    , castling(rows_, 1, 3)
    , ep_file(rows_, 1, 4)
    , halfmove(rows_, 1, 5)
    , move(rows_, 1, 6)
    , promotion(rows_, 1, 7)
    , game(rows_, 1, 8)
    , ply(rows_, 1, 9)
    , result(rows_, 1, 10)
    , white_elo(rows_, 1, 11)
    , black_elo(rows_, 1, 12)
    , eval(rows_, 1, 13)
    , mate(rows_, 1, 14)
    , clock(rows_, 1, 15)
    , planes_layout_(with_planes) { }

PositionColumns::~PositionColumns() {
    const std::size_t written = std::max(most_rows_, rows_);
    each([&](auto& column) { column.note_rows(written); });
}

template <class F> void PositionColumns::each(F&& f) {
    f(packed);
    f(planes);
    f(turn);
    f(castling);
    f(ep_file);
    f(halfmove);
    f(move);
    f(promotion);
    f(game);
    f(ply);
    f(result);
    f(white_elo);
    f(black_elo);
    f(eval);
    f(mate);
    f(clock);
}

void PositionColumns::reserve(std::size_t n) {
    if (n <= capacity_)
        return;
    each([&](auto& column) { column.reserve_rows(n); });
    capacity_ = n;
}

void PositionColumns::truncate(std::size_t n) {
    if (n >= rows_)
        return;
    most_rows_ = std::max(most_rows_, rows_);
    rows_ = n;
}

ArrayBuilder::ArrayBuilder(
    const MoveGenerator& generator, GameFilter filter, bool planes, bool strict)
    : replay_(generator)
    , filter_(std::move(filter))
    , planes_(planes)
    , strict_(strict)
    , columns_(std::make_shared<PositionColumns>(planes)) { }

void ArrayBuilder::begin_game(std::uint64_t game, std::uint64_t) {
    game_ = game;
    ++counts_.games;
    first_row_ = columns_->rows();
    replayed_ = false;
    variant_ = false;
    filtered_ = false;
    unfinished_ = false;
    white_elo_ = -1;
    black_elo_ = -1;
    result_tag_.clear();
    marker_.clear();
    fen_.clear();
    time_control_.clear();
    event_.clear();
    termination_.clear();
    has_event_ = false;
    has_termination_ = false;
    fen_error_ = PgnError {};
}

void ArrayBuilder::tag(std::string_view name, std::string_view value) {
    if (name == "WhiteElo")
        white_elo_ = read_elo(value);
    else if (name == "BlackElo")
        black_elo_ = read_elo(value);
    else if (name == "Result")
        result_tag_ = value;
    else if (name == "FEN")
        fen_ = value;
    else if (name == "TimeControl")
        time_control_ = value;
    else if (name == "Variant")
        variant_ = !is_standard_variant(value);
    else if (name == "Event") {
        event_ = value;
        has_event_ = true;
    } else if (name == "Termination") {
        termination_ = value;
        has_termination_ = true;
    }
}

bool passes_filter(const GameFilter& filter, const FilterTags& tags) {
    if (filter.min_elo > 0 && (tags.white_elo < filter.min_elo || tags.black_elo < filter.min_elo))
        return false;
    if (filter.min_time_control >= 0 || filter.max_time_control >= 0) {
        const double duration = estimated_duration(tags.time_control);
        if (duration < 0)
            return false;
        if (filter.min_time_control >= 0 && duration < filter.min_time_control)
            return false;
        if (filter.max_time_control >= 0 && duration > filter.max_time_control)
            return false;
    }
    return allowed_value(filter.events, tags.has_event, tags.event)
        && allowed_value(filter.terminations, tags.has_termination, tags.termination);
}

bool start_replay(GameReplay& replay, std::string_view fen, std::uint64_t game, PgnError& error) {
    if (fen.empty()) {
        replay.reset();
    } else if (const std::optional<Error> bad = replay.reset(fen)) {
        error.kind = PgnErrorKind::BAD_FEN;
        error.game = game;
        error.message = "game " + std::to_string(game) + ": bad FEN tag '" + std::string(fen)
            + "': " + bad->message;
        return false;
    }
    return true;
}

bool ArrayBuilder::passes_filter() const {
    return quarn_chess::passes_filter(filter_,
        FilterTags { white_elo_, black_elo_, time_control_, has_event_, event_, has_termination_,
            termination_ });
}

bool ArrayBuilder::begin_movetext() {
    if (variant_)
        return false;
    if (filter_.finished_only && !result_tag_.empty() && !is_finished(result_tag_)) {
        unfinished_ = true;
        return false;
    }
    if (!passes_filter()) {
        filtered_ = true;
        return false;
    }
    if (!start_replay(replay_, fen_, game_, fen_error_))
        return false;
    replayed_ = true;
    return true;
}

// Plays the move, then writes the row of the position it was played in. The values shared by
// the rows of a game (game, ply, result, Elo) are written by end_game.
PgnErrorKind ArrayBuilder::move(std::string_view san, std::uint64_t) {
    const PgnErrorKind kind = replay_.play(san);
    if (kind != PgnErrorKind::NONE)
        return kind;
    PositionColumns& c = *columns_;
    const std::size_t row = c.add_row();
    const auto& pieces = replay_.before_pieces();
    if (planes_)
        expand_bits_streaming(pieces.data(), PIECE_COUNT, c.planes.data() + row * PLANES_SIZE);
    else {
        // The row lines are far from any cache: ask for them eight rows ahead of the stores. A
        // prefetch never faults, so the address may lie past the end of the column (made as an
        // integer, not as a pointer out of bounds).
        const auto ahead = reinterpret_cast<std::uintptr_t>(c.packed.data() + row * PACKED_SIZE)
            + 8 * PACKED_SIZE * sizeof(std::uint64_t);
        __builtin_prefetch(reinterpret_cast<const void*>(ahead), 1, 0);
        __builtin_prefetch(reinterpret_cast<const void*>(ahead + 64), 1, 0);
        std::memcpy(c.packed.data() + row * PACKED_SIZE, pieces.data(), sizeof(pieces));
    }
    const std::uint64_t info = replay_.before_info();
    const bool white = info & 1;
    c.turn[row] = white ? 1 : 0;
    c.castling[row] = static_cast<std::uint8_t>((info >> INFO_WHITE_KING_SIDE) & 0xF);
    const unsigned ep_bits
        = static_cast<unsigned>(info >> (white ? INFO_EP_WHITE_TO_MOVE : INFO_EP_BLACK_TO_MOVE))
        & 0xFF;
    c.ep_file[row] = static_cast<std::int8_t>(ep_bits ? lsb(ep_bits) : -1);
    c.halfmove[row] = static_cast<std::uint16_t>(std::min(replay_.before_halfmove_clock(), 65535u));
    const ChessMove m = replay_.last_move();
    c.move[row] = static_cast<std::uint16_t>(m.from() * 64 + m.to());
    const unsigned special = m.special();
    c.promotion[row] = static_cast<std::uint8_t>(special >= 4 && special <= 7 ? special - 2 : 0);
    c.eval[row] = std::numeric_limits<float>::quiet_NaN();
    c.mate[row] = 0;
    c.clock[row] = std::numeric_limits<float>::quiet_NaN();
    return PgnErrorKind::NONE;
}

// Annotations after a move belong to the row of that move.
void ArrayBuilder::comment(std::string_view text) {
    PositionColumns& c = *columns_;
    if (c.rows() == first_row_)
        return;
    const CommentAnnotations notes = read_annotations(text);
    const std::size_t row = c.rows() - 1;
    if (notes.has_eval)
        c.eval[row] = notes.eval_cp;
    if (notes.has_mate)
        c.mate[row] = static_cast<std::int16_t>(std::clamp(notes.mate, -32767, 32767));
    if (notes.has_clock)
        c.clock[row] = notes.clock_seconds;
}

bool ArrayBuilder::end_game(const PgnError* error) {
    streaming_done();
    const PgnError* bad = error                 ? error
        : fen_error_.kind != PgnErrorKind::NONE ? &fen_error_
                                                : nullptr;
    if (bad) {
        columns_->truncate(first_row_);
        ++counts_.bad;
        if (errors_.size() < MAX_ERRORS)
            errors_.push_back(*bad);
        return !strict_;
    }
    if (variant_) {
        ++counts_.variant;
        return true;
    }
    if (filtered_) {
        ++counts_.filtered;
        return true;
    }
    const std::string_view result = game_result(result_tag_, marker_);
    if (unfinished_ || (filter_.finished_only && !is_finished(result))) {
        columns_->truncate(first_row_);
        ++counts_.unfinished;
        return true;
    }
    const std::int8_t value = result == "1-0" ? 1 : result == "0-1" ? -1 : 0;
    PositionColumns& c = *columns_;
    const std::size_t rows = c.rows();
    if (rows == first_row_) {
        ++counts_.good;
        return true;
    }
    std::fill(c.game.data() + first_row_, c.game.data() + rows, static_cast<std::int64_t>(game_));
    std::fill(c.result.data() + first_row_, c.result.data() + rows, value);
    std::fill(c.white_elo.data() + first_row_, c.white_elo.data() + rows, white_elo_);
    std::fill(c.black_elo.data() + first_row_, c.black_elo.data() + rows, black_elo_);
    for (std::size_t row = first_row_; row < rows; ++row)
        c.ply[row] = static_cast<std::uint16_t>(std::min<std::size_t>(row - first_row_, 65535));
    counts_.positions += rows - first_row_;
    ++counts_.good;
    return true;
}

} // namespace quarn_chess
