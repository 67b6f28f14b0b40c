"""Figures of controlled flights (matplotlib, imported only when asked for)."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .control import ControlledFlight


def plot_controlled_flight(flight: ControlledFlight, path: str | None = None) -> object:
    """Against time: the altitude; the controller's predicted apogee minus the
    target; the commanded and actual deployment. Saved to ``path`` if given."""
    import matplotlib

    if path is not None:
        matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    t = flight.ticks
    fig, (top, middle, bottom) = plt.subplots(3, 1, sharex=True, figsize=(7.5, 6.5), height_ratios=(3, 2, 2))
    top.plot(t.time, t.true_height, color="#4c72b0", label="altitude")
    top.axhline(flight.target, color="#55a868", ls="--", lw=1, label=f"target {flight.target:.0f} m")
    top.set_ylabel("height above\nthe pad (m)")
    top.set_title(f"apogee {flight.apogee:.2f} m, miss {flight.miss:+.2f} m")
    top.legend(loc="lower right", fontsize="small")
    middle.plot(t.time, t.predicted_apogee - flight.target, ".", ms=3, color="#dd8452")
    middle.axhline(0.0, color="#55a868", ls="--", lw=1)
    middle.set_ylabel("predicted apogee\n- target (m)")
    bottom.step(t.time, t.commanded, where="post", color="#c44e52", lw=1, label="commanded")
    bottom.plot(t.time, t.actual, color="#8172b3", lw=1.5, label="actual")
    bottom.set_ylim(-0.05, 1.05)
    bottom.set_ylabel("deployment")
    bottom.set_xlabel("time (s)")
    bottom.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize="small", frameon=False)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig
