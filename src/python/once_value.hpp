// A process-wide slot that is filled once, race-free and without locks.
//
// Every thread that finds the slot empty builds its own candidate and tries to
// publish it with a compare-and-swap. The first one wins; a loser hands its
// candidate to `Release` and uses the winner's value. Nobody waits, so no
// thread can block while holding the interpreter.
//
// Kept free of Python.h so the slot can be tested on its own. A slot with
// static storage duration is constant-initialised (no start-up order issues).
#pragma once

#include <atomic>

namespace aeso::py {

template <class T>
void release_nothing(T*) noexcept {}

template <class T, void (*Release)(T*) = release_nothing<T>>
class OnceValue {
public:
    constexpr OnceValue() noexcept = default;
    OnceValue(const OnceValue&) = delete;
    OnceValue& operator=(const OnceValue&) = delete;

    // The published value, or nullptr while the slot is empty.
    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `candidate` unless a value is already there. Returns the value
    // that stays published; when that is not `candidate`, the candidate has
    // been released.
    T* publish(T* candidate) noexcept {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return candidate;
        }
        Release(candidate);
        return expected;
    }

    // The published value, building and publishing one with `make` when the
    // slot is empty. `make` returns nullptr on failure, which is passed on and
    // leaves the slot empty.
    template <class Make>
    T* get_or_create(Make&& make) {
        if (T* existing = get()) return existing;
        T* candidate = make();
        if (candidate == nullptr) return nullptr;
        return publish(candidate);
    }

private:
    std::atomic<T*> value_{nullptr};
};

}  // namespace aeso::py
