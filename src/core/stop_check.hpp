// The one way a running flight learns that it should stop: a flag set from
// elsewhere (a study's StopFlag, or Ctrl-C on the thread that started the
// run), looked at every STOP_CHECK_INTERVAL iterations. Every runner's
// observer holds one, so every run, and every prediction inside a
// controlled flight or an inverse, stops once the flag is set.
#pragma once

#include <atomic>
#include <cstdint>

namespace aeso {

// How often a running flight looks at its stop flag (a power of two). A
// flight looks at iteration 0 too, so a short prediction looks once.
inline constexpr std::uint64_t STOP_CHECK_INTERVAL = 4096;

struct StopCheck {
    const std::atomic<bool>* flag = nullptr;  // none: the run never stops for it

    // A relaxed load: the flag carries no data.
    bool requested(std::uint64_t iteration) const noexcept {
        return flag != nullptr && (iteration & (STOP_CHECK_INTERVAL - 1)) == 0 &&
               flag->load(std::memory_order_relaxed);
    }
    bool set() const noexcept { return flag != nullptr && flag->load(std::memory_order_relaxed); }
};

}  // namespace aeso
