// The 1976 standard atmosphere up to 86 km, shifted to the day's air, and
// the tables flights read it from.
//
// The day's air: the standard temperature profile T_std(H) shifted by a
// constant offset dT, T(H) = T_std(H) + dT, over geopotential height
// H = r0 z / (r0 + z) (z geometric, r0 = 6356766 m). Pressure is integrated
// hydrostatically, dp/dH = -g0 p / (R T), from the pad (the standard pressure
// at the site's elevation, or the pressure measured there) up and down
// through the layers, where T is linear in H:
//   p = p_ref (T / T_ref)^(-g0 / (R L))    in a layer of lapse rate L != 0
//   p = p_ref exp(-g0 (H - H_ref) / (R T)) in an isothermal layer,
// and density is rho = p / (R T), the speed of sound a = sqrt(gamma R T).
// Heights given to an AirColumn or AtmosphereTable are above the pad.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace aeso {

namespace atmosphere {
inline constexpr double EARTH_RADIUS = 6356766.0;     // m, r0 of geopotential height
inline constexpr double GAS_CONSTANT = 287.05287;     // J/(kg K), of dry air
inline constexpr double HEAT_CAPACITY_RATIO = 1.4;    // gamma
inline constexpr double STANDARD_GRAVITY = 9.80665;   // m/s^2, g0
inline constexpr double SEA_LEVEL_TEMPERATURE = 288.15;  // K
inline constexpr double SEA_LEVEL_PRESSURE = 101325.0;   // Pa
inline constexpr std::size_t LAYERS = 7;
// Geopotential heights of the layers' bases and the top of the last (m).
inline constexpr std::array<double, LAYERS + 1> LAYER_BASES = {0.0,     11000.0, 20000.0, 32000.0,
                                                               47000.0, 51000.0, 71000.0, 84852.0};
// Temperature lapse rates dT/dH of the layers (K/m).
inline constexpr std::array<double, LAYERS> LAPSE_RATES = {-0.0065, 0.0, 0.001, 0.0028, 0.0, -0.0028, -0.002};
// The first layer reaches down to this geopotential height (m).
inline constexpr double LOWEST_GEOPOTENTIAL = -5000.0;

double geopotential_height(double geometric) noexcept;
double geometric_height(double geopotential) noexcept;
// The lowest and highest geometric altitudes above sea level the layers
// cover (about -4996 m and 86000 m).
double lowest_altitude() noexcept;
double highest_altitude() noexcept;
// The standard (unshifted) temperature and pressure at a geometric altitude.
double standard_temperature(double altitude) noexcept;
double standard_pressure(double altitude) noexcept;
}  // namespace atmosphere

// Temperature (K), pressure (Pa), density (kg/m^3) and speed of sound (m/s).
struct AirConditions {
    double temperature;
    double pressure;
    double density;
    double speed_of_sound;
};

// The day's air by its closed-form formulas. `site_elevation` is the pad's
// geometric altitude above sea level, `pad_pressure` the pressure there.
// The caller checks that the site lies within the layers and that the
// shifted temperature stays positive.
class AirColumn {
public:
    AirColumn(double site_elevation, double temperature_offset, double pad_pressure) noexcept;

    // The conditions at `height` above the pad; outside the layers the end
    // layers' formulas continue.
    AirConditions at(double height) const noexcept;

    double site_elevation() const noexcept { return site_; }
    double temperature_offset() const noexcept { return offset_; }
    // The height above the pad at which the pressure is `pressure` (the
    // inverse of at(height).pressure, the layers' formulas solved for the
    // height), and the temperature there. Per sample, so the C library's
    // log and pow, not the portable ones.
    struct Level {
        double height;
        double temperature;
    };
    Level level_of(double pressure) const noexcept;

    // Heights above the pad between which the layers lie.
    double lowest_height() const noexcept;
    double highest_height() const noexcept;

private:
    struct Reference {
        double geopotential;
        double temperature;
        double pressure;
    };
    double site_;
    double offset_;
    std::array<Reference, atmosphere::LAYERS> refs_;
};

// Half the density and the reciprocal of the speed of sound at one height.
struct AirSample {
    double half_rho;
    double inv_speed_of_sound;
};

// What a flight reads its air from: a constant, or the day's air as
// piecewise polynomials of the height above the pad (degree 5, pieces of at
// most PIECE_WIDTH that never straddle a layer boundary, interpolating the
// closed forms at Chebyshev nodes; measured over the whole column, the
// density within 1.6e-14 of them (relative) on a standard or warmer day,
// 3.7e-14 at -50 K and 2.4e-13 at -100 K, the speed of sound within 2e-15). A lookup is a
// few multiplications: no logarithm, power or square root per evaluation,
// and no library function, so the tables are the same bits everywhere.
class AtmosphereTable {
public:
    static constexpr double PIECE_WIDTH = 250.0;  // m
    static constexpr std::size_t DEGREE = 5;

    // The same air at every height: `density`, and the sea-level standard
    // speed of sound.
    static AtmosphereTable constant(double density);
    // The day's air of `column` at heights from `from` to `to` above the pad
    // (clipped to the layers; a height outside the fitted range is read from
    // the nearest piece's polynomial). The pieces, and so every value, do
    // not depend on the range.
    static AtmosphereTable standard(const AirColumn& column, double from, double to);
    static AtmosphereTable standard(const AirColumn& column);

    bool is_constant() const noexcept { return constant_; }
    // Heights above the pad between which the layers lie (infinite for the
    // constant air): an accepted state outside them ends its flight.
    double lowest_height() const noexcept { return lowest_; }
    double highest_height() const noexcept { return highest_; }

    struct Piece;

    // The air at `height`. `hint`, if not null, is a piece to try first (a
    // flight's heights move slowly, so the piece of the last lookup nearly
    // always holds the next); it is set to the piece used. The value depends
    // on the height alone: every height belongs to exactly one piece.
    [[gnu::always_inline]] AirSample at(double height, const Piece** hint = nullptr) const noexcept {
        if (constant_) return {half_rho_, inv_speed_of_sound_};
        const Piece* p = hint != nullptr ? *hint : nullptr;
        if (p == nullptr || !(height >= p->start && height < p->end)) {
            p = &pieces_[find(height)];
            if (hint != nullptr) *hint = p;
        }
        const double u = (height - p->mid) * p->inv_half;
        return {p->half_rho.evaluate(u), p->inv_sound.evaluate(u)};
    }

    struct Polynomial {
        std::array<double, DEGREE + 1> a;  // monomial coefficients of u in [-1, 1]
        // Estrin's scheme: fewer dependent operations than Horner's.
        double evaluate(double u) const noexcept {
            const double u2 = u * u;
            const double lo = a[0] + a[1] * u;
            const double mid = a[2] + a[3] * u;
            const double hi = a[4] + a[5] * u;
            return lo + u2 * (mid + u2 * hi);
        }
    };
    // Heights from `start` to `end` (the first piece reaches down to -inf,
    // the last up to +inf: beyond the fitted range their polynomials go on).
    struct Piece {
        double start;
        double end;
        double mid;
        double inv_half;
        Polynomial half_rho;
        Polynomial inv_sound;
    };

private:
    // The index of the piece with start <= height < end (the first for NaN).
    std::size_t find(double height) const noexcept {
        const double x = (height - origin_) * inv_cell_;
        std::size_t cell = 0;
        if (x >= 0.0) cell = x < last_cell_ ? static_cast<std::size_t>(x) : static_cast<std::size_t>(last_cell_);
        std::size_t k = cell_pieces_[cell];
        // The cell can be one off by rounding, and a cell can hold two
        // pieces. The last piece reaches up to +inf and the first down to
        // -inf: a height of +inf belongs to the last (whose polynomial is
        // not finite there), and the walk never leaves the pieces.
        const std::size_t last = pieces_.size() - 1;
        while (k < last && height >= pieces_[k].end) ++k;
        while (k > 0 && height < pieces_[k].start) --k;
        return k;
    }

    bool constant_ = true;
    double half_rho_ = 0.0;
    double inv_speed_of_sound_ = 0.0;
    double lowest_ = -std::numeric_limits<double>::infinity();
    double highest_ = std::numeric_limits<double>::infinity();
    double origin_ = 0.0;      // height where the first fitted cell begins
    double inv_cell_ = 0.0;    // 1 / PIECE_WIDTH
    double last_cell_ = 0.0;   // index of the last fitted cell, as a double
    std::vector<std::uint32_t> cell_pieces_;  // first piece of each cell
    std::vector<Piece> pieces_;
};

}  // namespace aeso
