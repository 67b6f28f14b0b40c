// Natural logarithm and exponential from IEEE arithmetic alone (+, -, *, /,
// which every conforming platform rounds alike), so that what is built from
// them (the atmosphere's tables) is the same to the last bit on every
// platform and C library. Accurate to about one unit in the last place,
// which is all their users need; not for hot loops.
#pragma once

#include <cmath>
#include <limits>

namespace aeso::portable {

// ln 2 split so that k * LN2_HI is exact for |k| < 2^11.
inline constexpr double LN2_HI = 6.93147180369123816490e-01;
inline constexpr double LN2_LO = 1.90821492927058770002e-10;

// ln(x) for finite x > 0 (NaN otherwise): x = m 2^e with m in
// [sqrt(1/2), sqrt(2)), ln m = 2 atanh(s), s = (m - 1) / (m + 1).
inline double log(double x) noexcept {
    if (!(x > 0.0) || !std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    int e = 0;
    double m = std::frexp(x, &e);  // m in [0.5, 1), exact
    if (m < 0.70710678118654752440) {
        m = m * 2.0;
        e = e - 1;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    // atanh(s)/s = sum s^(2k) / (2k + 1); |s| < 0.1716, so 13 terms reach
    // below 1e-20.
    double sum = 1.0 / 27.0;
    for (int k = 12; k >= 0; --k) sum = 1.0 / (2.0 * k + 1.0) + s2 * sum;
    const double ln_m = 2.0 * s * sum;
    return (e * LN2_HI + ln_m) + e * LN2_LO;
}

// e^x for finite x (overflow gives inf, underflow 0): x = k ln 2 + r with
// |r| <= ln2 / 2, e^r by its Taylor series.
inline double exp(double x) noexcept {
    if (std::isnan(x)) return x;
    if (x > 709.8) return std::numeric_limits<double>::infinity();
    if (x < -745.2) return 0.0;
    const double k = std::nearbyint(x / 0.69314718055994530942);
    const double r = (x - k * LN2_HI) - k * LN2_LO;
    // |r| <= 0.3466: 18 terms reach below 1e-20.
    double sum = 1.0;
    for (int n = 18; n >= 1; --n) sum = 1.0 + r * sum / n;
    return std::ldexp(sum, static_cast<int>(k));
}

// x^y for x > 0 as e^(y ln x).
inline double pow(double x, double y) noexcept { return portable::exp(y * portable::log(x)); }

}  // namespace aeso::portable
