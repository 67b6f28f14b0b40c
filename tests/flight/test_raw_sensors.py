"""The raw sensors' values: normalised, immutable, equal by value, their
repr a call that rebuilds them, and bad parameters refused naming them."""

import dataclasses
import math
import pickle

import pytest

from aeso_flight import Accelerometer, Barometer
from aeso_flight.raw_sensors import MAX_SENSOR_RATE

PORT = ([0.6, 0.95, 1.2], [0.0, 0.12, -0.02])


@pytest.mark.parametrize("sensor, fields", [
    (Barometer(noise_sd=2, rate=50, lag=0.02, resolution=1),
     dict(noise_sd=2.0, rate=50.0, lag=0.02, resolution=1.0, mach_error=None)),
    (Barometer(noise_sd=0.0, rate=MAX_SENSOR_RATE, mach_error=PORT),
     dict(noise_sd=0.0, rate=MAX_SENSOR_RATE, lag=0.0, resolution=0.0, mach_error=tuple(map(tuple, PORT)))),
    (Barometer(noise_sd=1.0, rate=20.0, mach_error=([0.9], [0.05])),
     dict(noise_sd=1.0, rate=20.0, lag=0.0, resolution=0.0, mach_error=((0.9,), (0.05,)))),
    (Accelerometer(noise_sd=0.05, rate=100),
     dict(noise_sd=0.05, bias=0.0, scale_error=0.0, rate=100.0)),
    (Accelerometer(noise_sd=0, bias=-0.3, scale_error=-0.999, rate=1e-3),
     dict(noise_sd=0.0, bias=-0.3, scale_error=-0.999, rate=0.001)),
])
def test_values_are_normalised_immutable_and_rebuilt_by_their_repr(sensor, fields):
    assert {f.name: getattr(sensor, f.name) for f in dataclasses.fields(sensor)} == fields
    assert all(type(v) is float for v in fields.values() if not isinstance(v, tuple) and v is not None)
    again = eval(repr(sensor), {"Barometer": Barometer, "Accelerometer": Accelerometer})
    assert again == sensor and hash(again) == hash(sensor)
    assert pickle.loads(pickle.dumps(sensor)) == sensor
    other = dataclasses.replace(sensor, noise_sd=sensor.noise_sd + 1.0)
    assert other != sensor
    with pytest.raises(dataclasses.FrozenInstanceError):
        sensor.noise_sd = 3.0


@pytest.mark.parametrize("make, error, match", [
    (lambda: Barometer(noise_sd=-1.0, rate=50.0), ValueError, "noise_sd must not be negative"),
    (lambda: Barometer(noise_sd=math.nan, rate=50.0), ValueError, "noise_sd must be finite"),
    (lambda: Barometer(noise_sd="2", rate=50.0), TypeError, "noise_sd must be a number"),
    (lambda: Barometer(noise_sd=1.0, rate=0.0), ValueError, "rate must be positive"),
    (lambda: Barometer(noise_sd=1.0, rate=10001.0), ValueError, "rate must be at most 10000 Hz"),
    (lambda: Barometer(noise_sd=1.0, rate=math.inf), ValueError, "rate must be finite"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, lag=-0.01), ValueError, "lag must not be negative"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, resolution=-1.0), ValueError, "resolution must not be negative"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([0.9, 0.8], [0.0, 0.1])), ValueError,
     r"mach_error\[0\] must be strictly increasing"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([-0.1, 0.8], [0.0, 0.1])), ValueError,
     r"mach_error\[0\] must not be negative"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([0.8], [0.0, 0.1])), ValueError,
     "must have the same length"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([0.8, 1.0], [0.0, math.nan])), ValueError,
     r"mach_error\[1\] must be finite"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([], [])), ValueError, "at least 1 value"),
    (lambda: Barometer(noise_sd=1.0, rate=50.0, mach_error=([0.8, 1.0],)), TypeError, "a pair"),
    (lambda: Barometer(2.0, 50.0), TypeError, "positional"),
    (lambda: Barometer(noise_sd=2.0), TypeError, "rate"),
    (lambda: Accelerometer(noise_sd=0.05, rate=100.0, scale_error=1.0), ValueError, "strictly between -1 and 1"),
    (lambda: Accelerometer(noise_sd=0.05, rate=100.0, scale_error=-1.0), ValueError, "strictly between -1 and 1"),
    (lambda: Accelerometer(noise_sd=0.05, rate=100.0, bias=math.inf), ValueError, "bias must be finite"),
    (lambda: Accelerometer(noise_sd=0.05, rate=2e4), ValueError, "rate must be at most 10000 Hz"),
    (lambda: Accelerometer(noise_sd=0.05), TypeError, "rate"),
])
def test_bad_parameters_are_refused_naming_them(make, error, match):
    with pytest.raises(error, match=match):
        make()
