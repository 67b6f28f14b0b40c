// The per-object borrow counter shared by every instance of the module's
// classes. 0: unused; n > 0: n readers; -1: one writer. Nothing here blocks:
// a conflicting request fails at once and the caller reports it.
//
// Kept free of Python.h so the counter can be tested on its own.
#pragma once

#include <atomic>
#include <cstdint>

namespace aeso::py {

class BorrowCount {
public:
    static constexpr std::int64_t EXCLUSIVE = -1;

    constexpr BorrowCount() noexcept = default;
    BorrowCount(const BorrowCount&) = delete;
    BorrowCount& operator=(const BorrowCount&) = delete;

    // Adds a reader unless a writer holds the object.
    bool try_shared() noexcept {
        std::int64_t current = count_.load(std::memory_order_relaxed);
        do {
            if (current == EXCLUSIVE) return false;
        } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }

    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

    // Takes the object for one writer, only when nobody else holds it.
    bool try_exclusive() noexcept {
        std::int64_t expected = 0;
        return count_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }

    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

    std::int64_t load() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int64_t> count_{0};
};

static_assert(sizeof(BorrowCount) == sizeof(std::int64_t));

}  // namespace aeso::py
