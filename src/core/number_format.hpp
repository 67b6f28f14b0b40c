// Number-to-text conversions used in messages and progress lines. None of
// them allocates except format_shortest, which builds an error message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace aeso {

// The shortest decimal text that reads back to the same double, with at least
// one digit after the point ("0.1", "2.0"), in exponent form without a plus
// sign when the magnitude is >= 1e16 or < 1e-4 and non-zero ("1e-6",
// "1.5e-7", "1e16"), and "NaN", "inf", "-inf" for non-finite values.
std::string format_shortest(double x);

// Upper bound of the text written by append_fixed2 (sign, 309 integer digits,
// point, two decimals) when the width is at most that.
inline constexpr std::size_t FIXED2_MAX_CHARS = 320;
// Upper bound of the text written by append_uint for a width up to 20.
inline constexpr std::size_t UINT_MAX_CHARS = 20;

// Writes x in fixed-point with exactly two decimals, correctly rounded (ties
// to even on the exact binary value), with a minus sign on every negative
// value including -0.0, "NaN"/"inf"/"-inf" for non-finite values, right-aligned
// with spaces to at least `width` characters and never truncated. Returns the
// end of the written text. `out` must have room for FIXED2_MAX_CHARS.
char* append_fixed2(char* out, double x, unsigned width) noexcept;

// Writes v in decimal, right-aligned with spaces to at least `width` (<= 20).
char* append_uint(char* out, std::uint64_t v, unsigned width) noexcept;

}  // namespace aeso
