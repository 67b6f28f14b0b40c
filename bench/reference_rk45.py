"""The aeso algorithm written the way a user would write it instead.

Two versions of the same run: plain Python on floats and lists, and the same
loops compiled with numba (plain loops over fixed-size arrays). Both follow
the module's operation order exactly (the 1-DOF and 3-DOF equations of
motion, the Dormand-Prince 5(4) step whose stage terms are added onto a copy
of the state one after another, the absolute unweighted error norm, the
step-size controller, and the final step rescaled by linear interpolation of
the vertical velocity), so their apogees match the module's to the last bit.
Only what an apogee prediction needs is kept: no time, no log, no output.
"""

import math

HALF_RHO = 0.6125
GRAVITY = 9.80665
SIN_HALF_PI = math.sin(1.5707963267948966)
COS_HALF_PI = math.cos(1.5707963267948966)
APOGEE_VELOCITY_THRESHOLD = 0.5

# Dormand-Prince 5(4): stage rows (the seventh is the fifth-order weights)
# and the embedded fourth-order weights.
A = (
    (),
    (1.0 / 5.0,),
    (3.0 / 40.0, 9.0 / 40.0),
    (44.0 / 45.0, -56.0 / 15.0, 32.0 / 9.0),
    (19372.0 / 6561.0, -25360.0 / 2187.0, 64448.0 / 6561.0, -212.0 / 729.0),
    (9017.0 / 3168.0, -355.0 / 33.0, 46732.0 / 5247.0, 49.0 / 176.0, -5103.0 / 18656.0),
    (35.0 / 384.0, 0.0, 500.0 / 1113.0, 125.0 / 192.0, -2187.0 / 6784.0, 11.0 / 84.0),
)
B1, B3, B4, B5, B6 = A[6][0], A[6][2], A[6][3], A[6][4], A[6][5]
E1, E3, E4, E5, E6, E7 = (5179.0 / 57600.0, 7571.0 / 16695.0, 393.0 / 640.0,
                          -92097.0 / 339200.0, 187.0 / 2100.0, 1.0 / 40.0)

# Default adaptive options: dt, dt_min, dt_max, absolute and relative tolerance.
DEFAULT_ADAPTIVE = (0.01, 1e-6, 0.1, 0.01, 0.01)
DEFAULT_MAX_ITERATIONS = 100000

# State layouts: 1-DOF (height, velocity); 3-DOF (x, y, angle, vx, vy,
# angular_rate). Index of the vertical velocity and of the altitude.
VERTICAL_1DOF, ALTITUDE_1DOF = 1, 0
VERTICAL_3DOF, ALTITUDE_3DOF = 4, 1


# ------------------------------------------------------------ plain Python

def accel_1dof(v, mass, cd, area):
    """Acceleration of vertical flight under drag (v*v, always down) and gravity."""
    return ((((v * v) * (-HALF_RHO)) * cd) * area) / mass + (-GRAVITY)


def accel_3dof(angle, vx, vy, mass, cd, area, inertia, margin, k):
    """(ax, ay, angular acceleration) of planar flight; also compiled by numba."""
    st = math.sin(angle)
    ct = math.cos(angle)
    v = math.sqrt(vy * vy + vx * vx)
    fx = 0.0
    fy = 0.0
    if v != 0.0:  # zero airspeed: no aerodynamic force
        p = st * vy + vx * ct
        sigma = p if math.isnan(p) else math.copysign(1.0, p)
        # cosine of the angle of attack, clamped: rounding can push it past +-1
        c = (ct * vy - st * vx) / v
        if c > 1.0:
            c = 1.0
        elif c < -1.0:
            c = -1.0
        alpha = math.fabs(math.acos(c) * sigma)
        q = v * v
        g_drag = (((-HALF_RHO * q) * (k * alpha + cd)) * area) / v
        drag_x = vx * g_drag
        drag_y = g_drag * vy
        g_lift = ((((q * HALF_RHO) * k) * alpha) * area) / v
        if sigma > 0.0:
            s_psi = SIN_HALF_PI
            c_psi = COS_HALF_PI
        elif sigma < 0.0:
            s_psi = -SIN_HALF_PI
            c_psi = COS_HALF_PI
        else:  # NaN
            s_psi = sigma
            c_psi = sigma
        turned_x = vx * c_psi - s_psi * vy
        turned_y = vy * c_psi + vx * s_psi
        fx = turned_x * g_lift + drag_x
        fy = g_lift * turned_y + drag_y
    torque = (st * margin) * fy + (ct * margin) * fx
    w = 1.0 / mass
    return fx * w, w * fy + (-GRAVITY), torque / inertia


def deriv_1dof(y, rocket):
    v = y[1]
    return [v, accel_1dof(v, rocket[0], rocket[1], rocket[2])]


def deriv_3dof(y, rocket):
    mass, cd, area, _area_lift, inertia, margin, k = rocket
    ax, ay, eps = accel_3dof(y[2], y[3], y[4], mass, cd, area, inertia, margin, k)
    return [y[3], y[4], y[5], ax, ay, eps]


def next_dt(dt, dt_min, dt_max, atol, rtol, error_norm):
    if not dt_min <= dt_max:
        raise RuntimeError("min > max, or either was NaN")
    if error_norm <= 1e-30:
        factor = 2.0
    else:
        tolerance = rtol * dt + atol
        p = math.pow((tolerance * 0.5) / error_norm, 0.25)
        factor = 0.5 if p < 0.5 else (2.0 if p > 2.0 else p)
    proposal = dt * factor
    return dt_min if proposal < dt_min else (dt_max if proposal > dt_max else proposal)


def rk45_step(deriv, y, rocket, opts):
    """One Dormand-Prince step of size opts[0]; returns (new y, next dt)."""
    dt = opts[0]
    n = len(y)
    K = [[d * dt for d in deriv(y, rocket)]]
    for stage in range(1, 7):
        s = list(y)
        for j, a in enumerate(A[stage]):
            if a != 0.0:
                Kj = K[j]
                for i in range(n):
                    s[i] += Kj[i] * a
        K.append([d * dt for d in deriv(s, rocket)])
    K1, _, K3, K4, K5, K6, K7 = K
    total = 0.0
    new_y = list(y)
    for i in range(n):
        i5 = K1[i] * B1 + K3[i] * B3 + K4[i] * B4 + K5[i] * B5 + K6[i] * B6
        i4 = K1[i] * E1 + K3[i] * E3 + K4[i] * E4 + K5[i] * E5 + K6[i] * E6 + K7[i] * E7
        diff = i4 - i5
        total += diff * diff
        new_y[i] += i5
    return new_y, next_dt(dt, opts[1], opts[2], opts[3], opts[4], math.sqrt(total))


def predict_apogee(deriv, vertical, altitude, y0, rocket, opts=DEFAULT_ADAPTIVE,
                   max_iterations=DEFAULT_MAX_ITERATIONS):
    opts = list(opts)
    y = list(y0)
    for i in range(max_iterations):
        saved = y
        v_before = saved[vertical]
        dt_taken = opts[0]
        y, opts[0] = rk45_step(deriv, y, rocket, opts)
        v_after = y[vertical]
        if v_after < APOGEE_VELOCITY_THRESHOLD:
            # Redo the crossing step, rescaled to end where the vertical
            # velocity is zero by linear interpolation.
            opts[0] = (v_before / (v_before - v_after)) * dt_taken
            y, _ = rk45_step(deriv, saved, rocket, opts)
            return y[altitude]
    raise RuntimeError("iteration limit reached before apogee")


def predict_apogee_1dof(y0, rocket, opts=DEFAULT_ADAPTIVE, max_iterations=DEFAULT_MAX_ITERATIONS):
    return predict_apogee(deriv_1dof, VERTICAL_1DOF, ALTITUDE_1DOF, y0, rocket, opts, max_iterations)


def predict_apogee_3dof(y0, rocket, opts=DEFAULT_ADAPTIVE, max_iterations=DEFAULT_MAX_ITERATIONS):
    return predict_apogee(deriv_3dof, VERTICAL_3DOF, ALTITUDE_3DOF, y0, rocket, opts, max_iterations)


# ------------------------------------------------------------ numba

def build_numba():
    """The same run compiled with numba.njit, or None without numba.

    Returns (predict_1dof, predict_3dof), each taking (y0 array, rocket
    array, options array, max_iterations) and compiled for float64 arrays.
    """
    try:
        import numba
        import numpy as np
    except ImportError:
        return None

    njit = numba.njit(cache=False, fastmath=False, error_model="numpy")
    a_table = np.zeros((7, 6))
    for s, row in enumerate(A):
        a_table[s, :len(row)] = row

    nb_accel_1dof = njit(accel_1dof)
    nb_accel_3dof = njit(accel_3dof)

    @njit
    def nb_deriv_1dof(y, rocket, out):
        v = y[1]
        out[0] = v
        out[1] = nb_accel_1dof(v, rocket[0], rocket[1], rocket[2])

    @njit
    def nb_deriv_3dof(y, rocket, out):
        ax, ay, eps = nb_accel_3dof(y[2], y[3], y[4], rocket[0], rocket[1], rocket[2], rocket[4],
                                    rocket[5], rocket[6])
        out[0] = y[3]
        out[1] = y[4]
        out[2] = y[5]
        out[3] = ax
        out[4] = ay
        out[5] = eps

    def make(deriv, n, vertical, altitude):
        @njit
        def step(y, rocket, opts, K, s, d, out):
            dt = opts[0]
            deriv(y, rocket, d)
            for i in range(n):
                K[0, i] = d[i] * dt
            for stage in range(1, 7):
                for i in range(n):
                    s[i] = y[i]
                for j in range(stage):
                    a = a_table[stage, j]
                    if a != 0.0:
                        for i in range(n):
                            s[i] += K[j, i] * a
                deriv(s, rocket, d)
                for i in range(n):
                    K[stage, i] = d[i] * dt
            total = 0.0
            for i in range(n):
                i5 = K[0, i] * B1 + K[2, i] * B3 + K[3, i] * B4 + K[4, i] * B5 + K[5, i] * B6
                i4 = (K[0, i] * E1 + K[2, i] * E3 + K[3, i] * E4 + K[4, i] * E5
                      + K[5, i] * E6 + K[6, i] * E7)
                diff = i4 - i5
                total += diff * diff
                out[i] = y[i] + i5
            error_norm = math.sqrt(total)
            dt_min = opts[1]
            dt_max = opts[2]
            if not dt_min <= dt_max:
                return False
            if error_norm <= 1e-30:
                factor = 2.0
            else:
                tolerance = opts[4] * dt + opts[3]
                p = math.pow((tolerance * 0.5) / error_norm, 0.25)
                factor = 0.5 if p < 0.5 else (2.0 if p > 2.0 else p)
            proposal = dt * factor
            opts[0] = dt_min if proposal < dt_min else (dt_max if proposal > dt_max else proposal)
            return True

        @njit
        def predict(y0, rocket, options, max_iterations):
            opts = options.copy()
            y = y0.copy()
            saved = np.empty(n)
            new = np.empty(n)
            K = np.empty((7, n))
            s = np.empty(n)
            d = np.empty(n)
            for _ in range(max_iterations):
                for i in range(n):
                    saved[i] = y[i]
                v_before = y[vertical]
                dt_taken = opts[0]
                if not step(y, rocket, opts, K, s, d, new):
                    return math.nan
                for i in range(n):
                    y[i] = new[i]
                v_after = y[vertical]
                if v_after < APOGEE_VELOCITY_THRESHOLD:
                    opts[0] = (v_before / (v_before - v_after)) * dt_taken
                    if not step(saved, rocket, opts, K, s, d, new):
                        return math.nan
                    return new[altitude]
            return math.nan

        return predict

    p1 = make(nb_deriv_1dof, 2, VERTICAL_1DOF, ALTITUDE_1DOF)
    p3 = make(nb_deriv_3dof, 6, VERTICAL_3DOF, ALTITUDE_3DOF)
    return p1, p3
