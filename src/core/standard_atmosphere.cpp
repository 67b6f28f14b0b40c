#include "standard_atmosphere.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "portable_math.hpp"

namespace aeso {

namespace atmosphere {

double geopotential_height(double geometric) noexcept {
    return EARTH_RADIUS * geometric / (EARTH_RADIUS + geometric);
}

double geometric_height(double geopotential) noexcept {
    return EARTH_RADIUS * geopotential / (EARTH_RADIUS - geopotential);
}

double lowest_altitude() noexcept { return geometric_height(LOWEST_GEOPOTENTIAL); }
double highest_altitude() noexcept { return geometric_height(LAYER_BASES[LAYERS]); }

namespace {

// The layer holding geopotential height H; the end layers extend beyond.
std::size_t layer_of(double H) noexcept {
    std::size_t i = 0;
    while (i + 1 < LAYERS && H >= LAYER_BASES[i + 1]) ++i;
    return i;
}

// Standard temperatures at the layers' bases.
std::array<double, LAYERS> standard_base_temperatures() noexcept {
    std::array<double, LAYERS> t{};
    t[0] = SEA_LEVEL_TEMPERATURE;
    for (std::size_t i = 1; i < LAYERS; ++i) {
        t[i] = t[i - 1] + LAPSE_RATES[i - 1] * (LAYER_BASES[i] - LAYER_BASES[i - 1]);
    }
    return t;
}

// Pressure at H in layer i from a reference point (H_ref, T_ref, p_ref) of
// the same layer, whose temperature at H is T.
double layer_pressure(std::size_t i, double H, double T, double H_ref, double T_ref, double p_ref) noexcept {
    const double L = LAPSE_RATES[i];
    if (L == 0.0) return p_ref * portable::exp(-STANDARD_GRAVITY * (H - H_ref) / (GAS_CONSTANT * T));
    return p_ref * portable::pow(T / T_ref, -STANDARD_GRAVITY / (GAS_CONSTANT * L));
}

}  // namespace

double standard_temperature(double altitude) noexcept {
    static const std::array<double, LAYERS> base = standard_base_temperatures();
    const double H = geopotential_height(altitude);
    const std::size_t i = layer_of(H);
    return base[i] + LAPSE_RATES[i] * (H - LAYER_BASES[i]);
}

double standard_pressure(double altitude) noexcept {
    // The standard column itself: sea-level pressure, no offset.
    static const AirColumn standard(0.0, 0.0, SEA_LEVEL_PRESSURE);
    return standard.at(altitude).pressure;
}

}  // namespace atmosphere

using namespace atmosphere;

AirColumn::AirColumn(double site_elevation, double temperature_offset, double pad_pressure) noexcept
    : site_(site_elevation), offset_(temperature_offset) {
    static const std::array<double, LAYERS> base = standard_base_temperatures();
    auto temperature = [&](std::size_t i, double H) { return (base[i] + offset_) + LAPSE_RATES[i] * (H - LAYER_BASES[i]); };

    // The pad's layer is referred to the pad; each layer above to its base,
    // each below to its top, with the pressure the layer next to it (nearer
    // the pad) gives there.
    const double H_pad = geopotential_height(site_);
    const std::size_t j = layer_of(H_pad);
    refs_[j] = {H_pad, temperature(j, H_pad), pad_pressure};
    for (std::size_t i = j + 1; i < LAYERS; ++i) {
        const Reference& r = refs_[i - 1];
        const double H = LAYER_BASES[i];
        const double T = temperature(i, H);
        refs_[i] = {H, T, layer_pressure(i - 1, H, T, r.geopotential, r.temperature, r.pressure)};
    }
    for (std::size_t i = j; i-- > 0;) {
        const Reference& r = refs_[i + 1];
        const double H = LAYER_BASES[i + 1];
        const double T = temperature(i, H);
        refs_[i] = {H, T, layer_pressure(i + 1, H, T, r.geopotential, r.temperature, r.pressure)};
    }
}

AirConditions AirColumn::at(double height) const noexcept {
    const double H = geopotential_height(site_ + height);
    const std::size_t i = layer_of(H);
    const Reference& r = refs_[i];
    const double T = r.temperature + LAPSE_RATES[i] * (H - r.geopotential);
    const double p = layer_pressure(i, H, T, r.geopotential, r.temperature, r.pressure);
    return {T, p, p / (GAS_CONSTANT * T), std::sqrt((HEAT_CAPACITY_RATIO * GAS_CONSTANT) * T)};
}

AirColumn::Level AirColumn::level_of(double pressure) const noexcept {
    // The reference of layer i is at its base above the pad's layer, at its
    // top below it, and at the pad in the pad's layer; the pressure at the
    // base of layer i is that of the reference nearer the pad.
    const std::size_t pad = layer_of(geopotential_height(site_));
    std::size_t i = 0;
    while (i + 1 < LAYERS && pressure <= (i + 1 > pad ? refs_[i + 1].pressure : refs_[i].pressure)) ++i;
    const Reference& r = refs_[i];
    const double L = LAPSE_RATES[i];
    double H, T;
    if (L == 0.0) {
        T = r.temperature;
        H = r.geopotential - (GAS_CONSTANT * T) * std::log(pressure / r.pressure) / STANDARD_GRAVITY;
    } else {
        T = r.temperature * std::pow(pressure / r.pressure, -(GAS_CONSTANT * L) / STANDARD_GRAVITY);
        H = r.geopotential + (T - r.temperature) / L;
    }
    return {geometric_height(H) - site_, T};
}

double AirColumn::lowest_height() const noexcept { return lowest_altitude() - site_; }
double AirColumn::highest_height() const noexcept { return highest_altitude() - site_; }

AtmosphereTable AtmosphereTable::constant(double density) {
    AtmosphereTable t;
    t.constant_ = true;
    t.half_rho_ = density * 0.5;
    t.inv_speed_of_sound_ =
        1.0 / std::sqrt((HEAT_CAPACITY_RATIO * GAS_CONSTANT) * SEA_LEVEL_TEMPERATURE);
    return t;
}

AtmosphereTable AtmosphereTable::standard(const AirColumn& column) {
    return standard(column, column.lowest_height(), column.highest_height());
}

namespace {

// Chebyshev nodes cos((2k + 1) pi / 12), k = 0..5, as literals (no library
// cosine, whose last bit may differ between platforms).
constexpr std::array<double, 6> NODES = {0.96592582628906829,  0.70710678118654752,  0.25881904510252076,
                                         -0.25881904510252076, -0.70710678118654752, -0.96592582628906829};

// The monomial coefficients in u of the degree-5 polynomial through the
// values f at the nodes: Chebyshev coefficients by the discrete cosine sums,
// then T_0..T_5 expanded.
std::array<double, 6> interpolate(const std::array<double, 6>& f) noexcept {
    std::array<double, 6> c{};
    for (std::size_t k = 0; k < 6; ++k) {
        const double u = NODES[k];
        double t_prev = 1.0;
        double t = u;
        c[0] += f[k];
        c[1] += f[k] * u;
        for (std::size_t j = 2; j < 6; ++j) {
            const double t_next = 2.0 * u * t - t_prev;
            c[j] += f[k] * t_next;
            t_prev = t;
            t = t_next;
        }
    }
    for (std::size_t j = 0; j < 6; ++j) c[j] = c[j] * (j == 0 ? 1.0 / 6.0 : 2.0 / 6.0);
    return {c[0] - c[2] + c[4], c[1] - 3.0 * c[3] + 5.0 * c[5], 2.0 * c[2] - 8.0 * c[4],
            4.0 * c[3] - 20.0 * c[5], 8.0 * c[4], 16.0 * c[5]};
}

}  // namespace

AtmosphereTable AtmosphereTable::standard(const AirColumn& column, double from, double to) {
    const double lo = column.lowest_height();
    const double hi = column.highest_height();
    const double cells = std::ceil((hi - lo) / PIECE_WIDTH);
    auto cell_of = [&](double h) {
        const double x = std::floor((h - lo) / PIECE_WIDTH);
        return static_cast<std::size_t>(std::clamp(std::isnan(x) ? 0.0 : x, 0.0, cells - 1.0));
    };
    const std::size_t first = cell_of(std::min(from, to));
    const std::size_t last = cell_of(std::max(from, to));

    // Layer boundaries above the pad, inside the layers.
    std::array<double, LAYERS - 1> boundaries{};
    for (std::size_t i = 1; i < LAYERS; ++i) {
        boundaries[i - 1] = geometric_height(LAYER_BASES[i]) - column.site_elevation();
    }

    AtmosphereTable t;
    t.constant_ = false;
    t.lowest_ = lo;
    t.highest_ = hi;
    t.origin_ = lo + static_cast<double>(first) * PIECE_WIDTH;
    t.inv_cell_ = 1.0 / PIECE_WIDTH;
    t.last_cell_ = static_cast<double>(last - first);
    t.cell_pieces_.reserve(last - first + 1);
    t.pieces_.reserve(last - first + 1 + boundaries.size());
    auto add_piece = [&](double a, double b) {
        Piece p{};
        p.start = a;
        p.end = b;
        p.mid = 0.5 * (a + b);
        const double half = 0.5 * (b - a);
        p.inv_half = 1.0 / half;
        std::array<double, 6> rho{};
        std::array<double, 6> inv_a{};
        for (std::size_t k = 0; k < 6; ++k) {
            const AirConditions air = column.at(p.mid + half * NODES[k]);
            rho[k] = 0.5 * air.density;
            inv_a[k] = 1.0 / air.speed_of_sound;
        }
        p.half_rho.a = interpolate(rho);
        p.inv_sound.a = interpolate(inv_a);
        t.pieces_.push_back(p);
    };
    for (std::size_t c = first; c <= last; ++c) {
        const double a = lo + static_cast<double>(c) * PIECE_WIDTH;
        const double b = c + 1 == static_cast<std::size_t>(cells) ? hi : lo + static_cast<double>(c + 1) * PIECE_WIDTH;
        t.cell_pieces_.push_back(static_cast<std::uint32_t>(t.pieces_.size()));
        double start = a;
        for (double boundary : boundaries) {
            if (boundary > start && boundary < b) {
                add_piece(start, boundary);
                start = boundary;
            }
        }
        add_piece(start, b);
    }
    t.pieces_.front().start = -std::numeric_limits<double>::infinity();
    t.pieces_.back().end = std::numeric_limits<double>::infinity();
    return t;
}

}  // namespace aeso
