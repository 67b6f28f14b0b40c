"""Figures of controlled flights (matplotlib, imported only when asked for)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .control import ControlledFlight


def plot_controlled_flight(flight: ControlledFlight, path: str | None = None) -> object:
    """Altitude and predicted apogee against time above, the commanded and
    actual deployment below; saved to ``path`` if given."""
    import matplotlib

    if path is not None:
        matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    t = flight.ticks
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7.5, 5.5), height_ratios=(3, 2))
    top.plot(t.time, t.true_height, color="#4c72b0", label="altitude")
    top.plot(t.time, t.predicted_apogee, ".", ms=3, color="#dd8452", label="predicted apogee")
    top.axhline(flight.target, color="#55a868", ls="--", lw=1, label=f"target {flight.target:.0f} m")
    top.set_ylabel("height above the pad (m)")
    top.set_title(f"apogee {flight.apogee:.2f} m, miss {flight.miss:+.2f} m")
    top.legend(loc="lower right", fontsize="small")
    bottom.step(t.time, t.commanded, where="post", color="#c44e52", label="commanded")
    bottom.plot(t.time, t.actual, color="#8172b3", label="actual")
    bottom.set_ylim(-0.05, 1.05)
    bottom.set_ylabel("deployment")
    bottom.set_xlabel("time (s)")
    bottom.legend(loc="upper right", fontsize="small")
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig
