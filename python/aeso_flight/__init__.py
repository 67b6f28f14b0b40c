"""Apogee in the air the rocket really flies through.

``aeso`` flies its rockets in the sea-level air (1.225 kg/m^3) at every
altitude with one drag coefficient. ``aeso_flight`` flies them, over the
same integrators and run loop, in

- an :class:`Atmosphere`: the 1976 standard atmosphere at the launch site,
  shifted to the day's temperature (or the constant air of aeso);
- a :class:`Drag`: the drag coefficient against Mach number;
- :class:`Brakes`: a table of drag coefficient over (deployment, Mach);

and answers the air-brake question the other way round:
:meth:`Vehicle.deployment_for_apogee` is the brake deployment whose
predicted apogee is a target, :meth:`Vehicle.drag_scale_for_apogee` the
factor on the drag that is. :meth:`Vehicle.fly_controlled` flies the
controller the rocket will fly (:class:`Predictive`, :class:`PID`,
:class:`Schedule` or any callable) with its :class:`Actuator` and
:class:`Sensors` in the loop; :class:`Barometer` and :class:`Accelerometer`
model a flight computer's raw sensors.

For example, a prediction at a launch site 1401 m above sea level:

>>> import aeso
>>> from aeso_flight import Atmosphere, Drag, Vehicle
>>> rocket = aeso.Rocket(mass=16.911, cd=0.35, area_drag=0.01533, area_lift=0.01533,
...                      moment_of_inertia=6.4, stab_margin_dimensional=0.28, cl_a=10.0)
>>> vehicle = Vehicle(rocket, drag=Drag(mach=[0.3, 0.8, 0.95], cd=[0.38, 0.30, 0.33]))
>>> air = Atmosphere.standard(site_elevation=1401.0)
>>> apogee = vehicle.predict_apogee_1dof(aeso.InitialState1DOF(988.26, 305.3),
...                                      aeso.OdeMethod.RK45, atmosphere=air)
>>> round(apogee, 1)
4104.5
"""

from .aerodynamics import Brakes, Drag
from .atmosphere import Atmosphere
from .control import PID, Actuator, ControlledFlight, Predictive, Schedule, Sensors, TickLog
from .drag_fit import DragFit
from .errors import FlightError
from .estimation import Estimator, StateEstimate
from .flight_data import FlightData
from .raw_sensors import Accelerometer, Barometer
from .sample_logs import SAMPLE_LOGS, sample_log
from .solutions import DeploymentSolution, DragScaleSolution, Reach
from .vehicle import Vehicle

__all__ = [
    "PID",
    "SAMPLE_LOGS",
    "Accelerometer",
    "Actuator",
    "Atmosphere",
    "Barometer",
    "Brakes",
    "ControlledFlight",
    "DeploymentSolution",
    "Drag",
    "DragFit",
    "DragScaleSolution",
    "Estimator",
    "FlightData",
    "FlightError",
    "Predictive",
    "Reach",
    "Schedule",
    "Sensors",
    "StateEstimate",
    "TickLog",
    "Vehicle",
    "sample_log",
]
