// The loader's shuffling engine: worker threads, seeded permutations and the position window.
#include "position_pool.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace quarn_chess {

// --- worker threads ----------------------------------------------------------------------------

WorkerThreads::WorkerThreads(unsigned threads) {
    for (unsigned t = 1; t < threads; ++t)
        threads_.emplace_back([this] { serve(); });
}

WorkerThreads::~WorkerThreads() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void WorkerThreads::run(std::size_t parts, const std::function<void(std::size_t)>& work) {
    if (parts == 0)
        return;
    if (threads_.empty() || parts == 1) {
        for (std::size_t i = 0; i < parts; ++i)
            work(i);
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        work_ = &work;
        parts_ = parts;
        next_ = 0;
        finished_ = 0;
        failure_ = nullptr;
        ++generation_;
    }
    wake_.notify_all();
    take_parts();
    std::exception_ptr failure;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return finished_ == parts_; });
        work_ = nullptr;
        failure = std::exchange(failure_, nullptr);
    }
    if (failure)
        std::rethrow_exception(failure);
}

void WorkerThreads::take_parts() {
    while (true) {
        const std::function<void(std::size_t)>* work = nullptr;
        std::size_t part = 0;
        {
            const std::lock_guard lock(mutex_);
            if (work_ == nullptr || next_ >= parts_)
                return;
            work = work_;
            part = next_++;
        }
        try {
            (*work)(part);
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
        }
        const std::lock_guard lock(mutex_);
        if (++finished_ == parts_)
            done_.notify_all();
    }
}

void WorkerThreads::serve() {
    std::uint64_t seen = 0;
    while (true) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_)
                return;
            seen = generation_;
        }
        take_parts();
    }
}

// --- permutations ------------------------------------------------------------------------------

namespace {
    // A draw times a range, its high half: a uniform index below the range (Lemire's reduction,
    // bias below 2^-32 for any window).
    __extension__ typedef unsigned __int128 Wide;
} // namespace

void seeded_permutation(std::uint64_t seed, std::uint32_t* order, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        order[i] = static_cast<std::uint32_t>(i);
    std::uint64_t state = seed;
    for (std::size_t i = count; i > 1; --i) {
        state += 0x9E3779B97F4A7C15ULL;
        const std::uint64_t draw = mix_seed(state);
        const auto j
            = static_cast<std::size_t>((static_cast<Wide>(draw) * static_cast<Wide>(i)) >> 64);
        std::swap(order[i - 1], order[j]);
    }
}

// --- the pool ----------------------------------------------------------------------------------

PositionPool::PositionPool(const MoveGenerator& generator, unsigned threads, std::size_t capacity)
    : generator_(generator)
    , workers_(std::max(1u, threads)) {
    for (unsigned t = 0; t < workers_.size(); ++t)
        replays_.emplace_back(generator_);
    reserve(capacity);
}

void PositionPool::reserve(std::size_t positions) {
    if (positions <= capacity_)
        return;
    const std::size_t capacity = std::max(positions, capacity_ + capacity_ / 2);
    std::unique_ptr<PositionRecord[]> grown(new PositionRecord[capacity]);
    if (size_ > 0)
        std::memcpy(
            static_cast<void*>(grown.get()), records_.get(), size_ * sizeof(PositionRecord));
    records_ = std::move(grown);
    capacity_ = capacity;
}

std::optional<std::string> PositionPool::add(
    const GameBatch& batch, bool strict, std::vector<GameFault>& faults) {
    const std::size_t rows = static_cast<std::size_t>(std::max<std::int64_t>(batch.rows, 0));
    plies_.resize(rows);
    if (std::optional<std::string> message = check_batch(batch, plies_.data()))
        return message;
    starts_.resize(rows + 1);
    starts_[0] = 0;
    for (std::size_t i = 0; i < rows; ++i)
        starts_[i + 1] = starts_[i] + plies_[i];
    const auto total = static_cast<std::size_t>(starts_[rows]);
    reserve(size_ + total);
    bad_.assign(rows, 0);

    // Parts of about equal plies, each a range of whole games.
    const std::size_t parts
        = std::min<std::size_t>(workers_.size(), std::max<std::size_t>(rows, 1));
    std::vector<std::size_t> bounds(parts + 1, rows);
    bounds[0] = 0;
    for (std::size_t p = 1, row = 0; p < parts; ++p) {
        const auto target = static_cast<std::int64_t>(total * p / parts);
        while (row < rows && starts_[row] < target)
            ++row;
        bounds[p] = row;
    }
    std::vector<std::vector<GameFault>> found(parts);
    PositionRecord* const base = records_.get() + size_;
    workers_.run(parts, [&](std::size_t part) {
        TokenReplay& replay = replays_[part];
        for (std::size_t row = bounds[part]; row < bounds[part + 1]; ++row) {
            if (plies_[row] == 0 && !(batch.fen.present() && batch.fen.validity.valid(row)))
                continue;
            std::optional<GameFault> fault
                = decode_game(replay, batch, static_cast<std::int64_t>(row), base + starts_[row]);
            if (fault) {
                bad_[row] = 1;
                found[part].push_back(std::move(*fault));
                if (strict)
                    return;
            }
        }
    });
    bool any = false;
    for (auto& list : found)
        for (GameFault& fault : list) {
            any = true;
            faults.push_back(std::move(fault));
            if (strict)
                return std::nullopt; // the lowest part's first fault is the batch's first
        }
    if (!any) {
        size_ += total;
    } else {
        // Close the gaps the bad games leave.
        std::size_t kept = size_;
        for (std::size_t row = 0; row < rows; ++row) {
            if (bad_[row] || plies_[row] == 0)
                continue;
            const std::size_t from = size_ + static_cast<std::size_t>(starts_[row]);
            if (from != kept)
                std::memmove(static_cast<void*>(records_.get() + kept), records_.get() + from,
                    static_cast<std::size_t>(plies_[row]) * sizeof(PositionRecord));
            kept += static_cast<std::size_t>(plies_[row]);
        }
        size_ = kept;
    }
    shuffled_ = false;
    return std::nullopt;
}

void PositionPool::shuffle(std::uint64_t seed) {
    order_.resize(size_);
    seeded_permutation(seed, order_.data(), size_);
    shuffled_ = true;
}

void PositionPool::take(std::size_t start, std::size_t count, bool flip,
    const PositionColumnsOut& out, std::size_t row) {
    check(start + count <= size_, "take() beyond the pool");
    const std::size_t parts = std::min<std::size_t>(workers_.size(), (count + 511) / 512);
    const PositionRecord* records = records_.get();
    const std::uint32_t* order = shuffled_ ? order_.data() : nullptr;
    workers_.run(parts, [&](std::size_t part) {
        const std::size_t first = count * part / parts;
        const std::size_t last = count * (part + 1) / parts;
        for (std::size_t i = first; i < last; ++i) {
            const std::size_t at = start + i;
            if (order) {
                // The records are scattered over the window: ask for them well ahead.
                if (at + 16 < size_) {
                    const PositionRecord* ahead = records + order[at + 16];
                    __builtin_prefetch(ahead, 0, 0);
                    __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64, 0, 0);
                }
                write_row(records[order[at]], flip, out, row + i);
            } else {
                write_row(records[at], flip, out, row + i);
            }
        }
    });
}

void PositionPool::retain(std::size_t start) {
    if (start >= size_) {
        size_ = 0;
        return;
    }
    const std::size_t rest = size_ - start;
    std::vector<PositionRecord> kept(rest);
    for (std::size_t i = 0; i < rest; ++i)
        kept[i] = records_[shuffled_ ? order_[start + i] : start + i];
    std::memcpy(static_cast<void*>(records_.get()), kept.data(), rest * sizeof(PositionRecord));
    size_ = rest;
    shuffled_ = false;
}

} // namespace quarn_chess
