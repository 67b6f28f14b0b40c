#include "progress.hpp"

#include <cstring>

#include "stdout_writer.hpp"

namespace aeso {

namespace {

char* append(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

constexpr unsigned ITER_WIDTH = 6;
constexpr unsigned TIME_WIDTH = 5;
constexpr unsigned VALUE_WIDTH = 8;

}  // namespace

std::size_t format_progress(char* out, const State1DOF& s, std::uint64_t iteration) noexcept {
    char* p = append(out, "Iter:");
    p = append_uint(p, iteration, ITER_WIDTH);
    p = append(p, ",    Time:");
    p = append_fixed2(p, s.time, TIME_WIDTH);
    p = append(p, "(s),    Altitude:");
    p = append_fixed2(p, s.height, VALUE_WIDTH);
    p = append(p, "(m),    Velocity:");
    p = append_fixed2(p, s.velocity, VALUE_WIDTH);
    p = append(p, "(m/s)    Acceleration:");
    p = append_fixed2(p, s.cached_derivatives[1], VALUE_WIDTH);
    p = append(p, "(m/ss)\n");
    return static_cast<std::size_t>(p - out);
}

std::size_t format_progress(char* out, const State3DOF& s, std::uint64_t iteration) noexcept {
    char* p = append(out, "Iter:");
    p = append_uint(p, iteration, ITER_WIDTH);
    p = append(p, ",    Time:");
    p = append_fixed2(p, s.time, TIME_WIDTH);
    p = append(p, "(s),    Altitude:");
    p = append_fixed2(p, s.y, VALUE_WIDTH);
    p = append(p, "(m),    X Velocity:");
    p = append_fixed2(p, s.vx, VALUE_WIDTH);
    p = append(p, "(m/s)    Y Velocity::");
    p = append_fixed2(p, s.vy, VALUE_WIDTH);
    p = append(p, "(m/s)    AngularVelo:");
    p = append_fixed2(p, s.angular_rate, VALUE_WIDTH);
    p = append(p, "(rad/s)\n");
    return static_cast<std::size_t>(p - out);
}

Status print_piece(std::string_view text) {
    const int err = write_piece(1, text);
    if (err != 0) return Error::internal("failed printing to stdout: " + describe_os_error(err));
    return Ok{};
}

}  // namespace aeso
