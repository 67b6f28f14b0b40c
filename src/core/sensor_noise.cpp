#include "sensor_noise.hpp"

#include <cmath>

#include "portable_math.hpp"

namespace aeso {

namespace {

// SplitMix64's finaliser: a bijective mix of 64 bits.
std::uint64_t mix(std::uint64_t z) noexcept {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double polynomial(const double* c, int n, double x) noexcept {
    double v = c[n - 1];
    for (int i = n - 2; i >= 0; --i) v = v * x + c[i];
    return v;
}

}  // namespace

std::uint64_t noise_key(std::uint64_t seed, std::uint64_t flight, std::uint64_t channel) noexcept {
    return mix(mix(mix(seed) ^ flight) ^ channel);
}

double counter_normal(std::uint64_t key, std::uint64_t index) noexcept {
    const std::uint64_t bits = mix(key ^ mix(index));
    // 53 bits, centred in their interval: never 0 or 1.
    const double u = (static_cast<double>(bits >> 11) + 0.5) * 0x1.0p-53;
    return normal_quantile(u);
}

// Wichura, Algorithm AS 241 (PPND16), accurate to about 1e-16.
double normal_quantile(double p) noexcept {
    static const double a[8] = {3.3871328727963666080e0, 1.3314166789178437745e2, 1.9715909503065514427e3,
                                1.3731693765509461125e4, 4.5921953931549871457e4, 6.7265770927008700853e4,
                                3.3430575583588128105e4, 2.5090809287301226727e3};
    static const double b[8] = {1.0, 4.2313330701600911252e1, 6.8718700749205790830e2, 5.3941960214247511077e3,
                                2.1213794301586595867e4, 3.9307895800092710610e4, 2.8729085735721942674e4,
                                5.2264952788528545610e3};
    static const double c[8] = {1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
                                3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
                                2.27238449892691845833e-2, 7.74545014278341407640e-4};
    static const double d[8] = {1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
                                1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4,
                                1.05075007164441684324e-9};
    static const double e[8] = {6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
                                2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
                                2.71155556874348757815e-5, 2.01033439929228813265e-7};
    static const double f[8] = {1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
                                7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7,
                                2.04426310338993978564e-15};
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q * polynomial(a, 8, r) / polynomial(b, 8, r);
    }
    double r = q < 0.0 ? p : 1.0 - p;
    r = std::sqrt(-portable::log(r));
    double value;
    if (r <= 5.0) {
        r -= 1.6;
        value = polynomial(c, 8, r) / polynomial(d, 8, r);
    } else {
        r -= 5.0;
        value = polynomial(e, 8, r) / polynomial(f, 8, r);
    }
    return q < 0.0 ? -value : value;
}

NoiseChannel::NoiseChannel(double sd, double correlation_time, double tick_interval, std::uint64_t key) noexcept
    : sd_(sd), phi_(0.0), innovation_(sd), key_(key) {
    if (correlation_time > 0.0) {
        phi_ = portable::exp(-tick_interval / correlation_time);
        innovation_ = sd * std::sqrt(1.0 - phi_ * phi_);
    }
}

double NoiseChannel::next() noexcept {
    if (sd_ == 0.0) return 0.0;
    const double z = counter_normal(key_, tick_);
    // The first value is drawn from the stationary distribution.
    value_ = tick_ == 0 ? sd_ * z : phi_ * value_ + innovation_ * z;
    ++tick_;
    return value_;
}

}  // namespace aeso
