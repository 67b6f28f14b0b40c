"""The phone-sized variant of a figure the site's scripts draw.

A figure drawn for the page's column (about 8 inches) is shrunk to less than
half its size on a phone, and its labels with it. Each script that draws a
figure also saves it redrawn NARROW_WIDTH inches wide, one panel per row, as
NAME-narrow.png beside NAME.png; the site's narrow_figures extension offers
that file to phones in place of the wide one.
"""

from pathlib import Path

from matplotlib.layout_engine import ConstrainedLayoutEngine

#: Inches: at the scripts' 110 dpi about 480 px, shown at three quarters of
#: its size in a phone's 360 px column.
NARROW_WIDTH = 4.4


def narrow_path(path):
    """NAME-narrow.png beside NAME.png."""
    path = Path(path)
    return path.with_name(f"{path.stem}-narrow{path.suffix}")


def save_with_narrow_variant(fig, path, dpi):
    """Saves `fig` (one column of panels) at its size to `path`, then
    NARROW_WIDTH inches wide and as tall to its narrow path (the panels'
    text keeps its size in points, so it reads larger on a phone; titles
    wrap, and a legend outside the panels widens the image)."""
    fig.savefig(path, dpi=dpi)
    height = fig.get_size_inches()[1]
    fig.set_size_inches(NARROW_WIDTH, height)
    for ax in fig.axes:  # a title longer than the narrow panel wraps
        ax.title.set_wrap(True)
    if not isinstance(fig.get_layout_engine(), ConstrainedLayoutEngine):
        fig.tight_layout()  # laid out once, at the old size: again at the new one
    # A legend placed outside the panels widens the image rather than being cut.
    fig.savefig(narrow_path(path), dpi=dpi, bbox_inches="tight")
