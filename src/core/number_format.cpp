#include "number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace aeso {

namespace {

char* pad_left(char* out, const char* text, std::size_t len, unsigned width) noexcept {
    for (std::size_t i = len; i < width; ++i) *out++ = ' ';
    std::memcpy(out, text, len);
    return out + len;
}

}  // namespace

std::string format_shortest(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";

    char buf[64];
    const double mag = std::fabs(x);
    if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
        // to_chars writes the exponent as e-07 / e+16; rewrite it as e-7 / e16.
        const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
        const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
        const std::size_t e = text.find('e');
        std::string out(text.substr(0, e));
        int exponent = 0;
        std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                        exponent);
        out += 'e';
        out += std::to_string(exponent);
        return out;
    }
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    std::string out(buf, static_cast<std::size_t>(res.ptr - buf));
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

char* append_fixed2(char* out, double x, unsigned width) noexcept {
    if (std::isnan(x)) return pad_left(out, "NaN", 3, width);
    if (std::isinf(x)) return x < 0 ? pad_left(out, "-inf", 4, width) : pad_left(out, "inf", 3, width);
    char buf[FIXED2_MAX_CHARS];
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 2);
    return pad_left(out, buf, static_cast<std::size_t>(res.ptr - buf), width);
}

char* append_uint(char* out, std::uint64_t v, unsigned width) noexcept {
    char buf[UINT_MAX_CHARS];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return pad_left(out, buf, static_cast<std::size_t>(res.ptr - buf), width);
}

}  // namespace aeso
