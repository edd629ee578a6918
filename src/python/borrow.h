// The borrow word every instance carries, and the guards that take and release it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace quarn_chess::py {

// Borrow word, one per instance, changed only atomically:
//   0                 not borrowed
//   all bits set      borrowed exclusively
//   n (any other)     n shared borrows in progress
// No call hands control back to Python code while it holds a borrow, so a conflict means a
// call re-entered an object that is still in use; it is refused with RuntimeError.
// With the interpreter lock only its holder touches a word, so plain (relaxed) loads and stores
// suffice; free-threaded builds change it with atomic read-modify-write operations.
using BorrowWord = std::atomic<std::uintptr_t>;

#ifdef Py_GIL_DISABLED
constexpr bool BORROW_NEEDS_ATOMIC_UPDATES = true;
#else
constexpr bool BORROW_NEEDS_ATOMIC_UPDATES = false;
#endif

constexpr std::uintptr_t EXCLUSIVELY_BORROWED = ~std::uintptr_t { 0 };
constexpr const char* ALREADY_BORROWED = "Already borrowed";
constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";

// Holds a shared borrow for its lifetime. When the word is held exclusively it holds nothing:
// ok() is false and RuntimeError "Already mutably borrowed" is set.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowWord& word) noexcept
        : word_(&word) {
        std::uintptr_t current = word.load(std::memory_order_relaxed);
        do {
            if (current == EXCLUSIVELY_BORROWED) [[unlikely]] {
                word_ = nullptr;
                PyErr_SetString(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
                return;
            }
            if constexpr (!BORROW_NEEDS_ATOMIC_UPDATES) {
                word.store(current + 1, std::memory_order_relaxed);
                return;
            }
        } while (!word.compare_exchange_weak(
            current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    ~SharedBorrow() {
        if (!word_)
            return;
        if constexpr (BORROW_NEEDS_ATOMIC_UPDATES)
            word_->fetch_sub(1, std::memory_order_release);
        else
            word_->store(word_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

    bool ok() const noexcept { return word_ != nullptr; }

private:
    BorrowWord* word_;
};

// Holds the exclusive borrow for its lifetime. When any borrow is held it holds nothing: ok() is
// false and RuntimeError "Already borrowed" is set.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowWord& word) noexcept
        : word_(&word) {
        std::uintptr_t expected = 0;
        bool taken;
        if constexpr (BORROW_NEEDS_ATOMIC_UPDATES) {
            taken = word.compare_exchange_strong(expected, EXCLUSIVELY_BORROWED,
                std::memory_order_acquire, std::memory_order_relaxed);
        } else {
            taken = word.load(std::memory_order_relaxed) == 0;
            if (taken)
                word.store(EXCLUSIVELY_BORROWED, std::memory_order_relaxed);
        }
        if (!taken) [[unlikely]] {
            word_ = nullptr;
            PyErr_SetString(PyExc_RuntimeError, ALREADY_BORROWED);
        }
    }
    ~ExclusiveBorrow() {
        if (word_)
            word_->store(0,
                BORROW_NEEDS_ATOMIC_UPDATES ? std::memory_order_release
                                            : std::memory_order_relaxed);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

    bool ok() const noexcept { return word_ != nullptr; }

private:
    BorrowWord* word_;
};

} // namespace quarn_chess::py
