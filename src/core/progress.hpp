// Progress lines and the closing banner printed by a run with output on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "number_format.hpp"
#include "result.hpp"
#include "state.hpp"

namespace aeso {

inline constexpr std::string_view BANNER_OPEN =
    "\n==================== Calculation complete! "
    "================================================================================\n";
inline constexpr std::string_view BANNER_CLOSE =
    "==========================================================================================="
    "================================\n\n";

// Room for the longest possible line: literals, a 20-digit index and up to
// five values of FIXED2_MAX_CHARS each.
inline constexpr std::size_t PROGRESS_LINE_MAX = 256 + UINT_MAX_CHARS + 5 * FIXED2_MAX_CHARS;

// Formats the progress line of a state into `out` (PROGRESS_LINE_MAX bytes)
// and returns its length.
std::size_t format_progress(char* out, const State1DOF& s, std::uint64_t iteration) noexcept;
std::size_t format_progress(char* out, const State3DOF& s, std::uint64_t iteration) noexcept;

// Writes one piece of progress text whole to standard output (fd 1). A failed
// write is the internal error "failed printing to stdout: <description>".
Status print_piece(std::string_view text);

// Formats the state's progress line on the stack and writes it.
template <class S>
Status print_progress(const S& s, std::uint64_t iteration) {
    char line[PROGRESS_LINE_MAX];
    const std::size_t n = format_progress(line, s, iteration);
    return print_piece(std::string_view(line, n));
}

}  // namespace aeso
