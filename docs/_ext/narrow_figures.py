"""Single-column variants of the site's figures, for phones.

A figure drawn for the page's column cannot be read at a phone's width:
shrunk to the 360 px of a phone's column, a 1300 px figure of three panels
shows its labels at a quarter of their size. A figure gets a variant for
phones, ``NAME-narrow.png`` beside it in ``_images``, in one of two ways:

- the script that draws it also drew it narrow, as ``NAME-narrow.png``
  beside ``NAME.png`` (docs/scripts/phone_figures.py);
- it is named in the configuration value ``narrow_figures`` ({file name:
  (rows, columns) of its panels}, for figures made elsewhere, such as the
  study tool's): the built image is cut into its panels and they are
  stacked in one column, row by row, under the figure's title.

The page offers the variant to screens up to ``NARROW_SCREEN`` wide through
a ``<picture>`` element, so a browser loads one of the two images.

Named in conf.py by its import path (docs/_ext is on sys.path).
"""

import shutil

from pathlib import Path

import numpy as np
from docutils import nodes

#: The widest screen that gets the single-column variants (CSS media query).
NARROW_SCREEN = "(max-width: 720px)"
#: A pixel at least this dark (0-255 grey) is ink; lighter ones are paper.
INK = 245
#: A pixel this dark is part of a frame's edge (or of other dark lines).
DARK = 90
#: A line of text this close above a panel's frame (px) is its title.
TITLE_PAD = 10
#: White space between the stacked panels (px).
GAP = 12


class narrow_picture(nodes.General, nodes.Element):
    """An image offered with its single-column variant (the image inside)."""


def _narrow_name(name):
    path = Path(name)
    return f"{path.stem}-narrow{path.suffix}"


def _drawn_variant(app, uri):
    """The narrow variant its script drew beside the image at `uri`
    (relative to the source directory), or None."""
    path = Path(app.srcdir) / uri
    variant = path.with_name(_narrow_name(path.name))
    return variant if variant.is_file() else None


def _ancestors(node):
    while node.parent is not None:
        node = node.parent
        yield node


def wrap_images(app, doctree, docname):
    grids = app.config.narrow_figures
    for image in list(doctree.findall(nodes.image)):
        has_variant = Path(image["uri"]).name in grids or _drawn_variant(app, image["uri"])
        if has_variant and not any(isinstance(a, narrow_picture) for a in _ancestors(image)):
            picture = narrow_picture()
            image.replace_self(picture)
            picture += image
            image["classes"].append("no-scaled-link")  # the picture's own link replaces Sphinx's


def visit_narrow_picture(self, node):
    image = node.next_node(nodes.image)
    name = self.builder.images.get(image["uri"], Path(image["uri"]).name)
    # As Sphinx does for a resized image, the picture links to the full-size
    # image; the link goes around the <picture>, whose <img> must be its
    # direct child for the <source> to apply.
    self.body.append(f'<a class="reference internal image-reference" href="{self.builder.imgpath}/{name}">'
                     f'<picture><source media="{NARROW_SCREEN}" '
                     f'srcset="{self.builder.imgpath}/{_narrow_name(name)}">')


def depart_narrow_picture(self, node):
    self.body.append("</picture></a>")


def _runs(profile):
    """[(start, stop)] of the runs of False (paper) in a boolean profile."""
    edges = np.flatnonzero(np.diff(np.r_[True, profile, True].astype(np.int8)))
    return list(zip(edges[::2].tolist(), edges[1::2].tolist()))


def _column_cuts(ink, columns):
    """Where the columns of panels meet: the middle of the widest full-height
    run of paper within a tenth of the width of each boundary (the gaps
    between glyphs are narrower)."""
    width = ink.shape[1]
    runs = [(a, b) for a, b in _runs(ink.any(axis=0)) if 0 < a and b < width]
    cuts = [0]
    for k in range(1, columns):
        near, reach = width * k / columns, width / 10
        inner = [(a, b) for a, b in runs if a - reach <= near <= b + reach]
        if not inner:
            raise ValueError(f"no gutter between columns of panels near x = {near:.0f}")
        a, b = max(inner, key=lambda run: run[1] - run[0])
        cuts.append((a + b) // 2)
    return [*cuts, width]


def _frames(dark_column):
    """The rows of a column of panels that hold a frame's edge: a dark line
    across more than 60 % of the column (an axes' top or bottom)."""
    padded = np.pad(dark_column, ((0, 0), (1, 1))).astype(np.int8)
    longest = np.zeros(len(dark_column), dtype=int)
    for y in np.flatnonzero(dark_column.any(axis=1)):
        edges = np.flatnonzero(np.diff(padded[y]))
        longest[y] = (edges[1::2] - edges[::2]).max()
    return np.flatnonzero(longest > 0.6 * dark_column.shape[1])


def _row_cuts(ink_column, dark_column, rows):
    """Where the rows of panels in one column meet. Between the frame of the
    panel above and that of the panel below lie the upper panel's tick
    labels and axis label and the lower panel's title, the line of text
    within TITLE_PAD of the lower frame: the cut is the gap above that."""
    height = ink_column.shape[0]
    frames = _frames(dark_column)
    gaps = _runs(ink_column.any(axis=1))
    cuts = [0]
    for k in range(1, rows):
        near = height * k / rows
        above, below = frames[frames < near], frames[frames > near]
        if not above.size or not below.size:
            raise ValueError(f"no frames of panels above and below y = {near:.0f}")
        between = [(a, b) for a, b in gaps if above[-1] < a and b <= below[0]]
        if not between:
            raise ValueError(f"no gap between the rows of panels near y = {near:.0f}")
        cut = between[-1]
        if len(between) > 1 and cut[1] - cut[0] <= TITLE_PAD:
            cut = between[-2]
        cuts.append((cut[0] + cut[1]) // 2)
    return [*cuts, height]


def _trim(ink, box):
    """`box` (left, top, right, bottom) shrunk to the ink inside it."""
    left, top, right, bottom = box
    region = ink[top:bottom, left:right]
    rows, columns = np.flatnonzero(region.any(axis=1)), np.flatnonzero(region.any(axis=0))
    if rows.size == 0:
        return None
    return (left + int(columns[0]), top + int(rows[0]), left + int(columns[-1]) + 1, top + int(rows[-1]) + 1)


def _title(ink, columns):
    """The box of a title above all the panels and the row below it, or
    None: the first line of ink, when it crosses a boundary between the
    panels' columns or does not reach every column (a line of panel titles
    reaches each)."""
    rows = ink.any(axis=1)
    first = int(np.argmax(rows))
    end = first + int(np.argmin(rows[first:]))
    if end == first:
        return None
    line = ink[first:end].any(axis=0)
    crosses = any(line[cut - 1:cut + 1].any() for cut in columns[1:-1])
    in_every_column = all(line[a:b].any() for a, b in zip(columns, columns[1:]))
    if crosses or not in_every_column:
        return _trim(ink, (0, first, ink.shape[1], end)), end
    return None


def single_column(image, rows, columns):
    """The panels of `image` (a PIL image of a rows x columns grid of
    framed panels, each with a title), stacked in one column row by row,
    under the figure's title."""
    from PIL import Image

    grey = np.asarray(image.convert("L"))
    ink, dark = grey < INK, grey < DARK
    top, boxes = 0, []
    title = _title(ink, _column_cuts(ink, columns))
    if title is not None:
        box, top = title
        boxes.append(box)
    # Panels of one column line up, so the gutters between columns run the
    # whole height; the rows are cut column by column, where neighbouring
    # columns' labels do not fill the gaps.
    column_cuts = _column_cuts(ink[top:], columns)
    panels = []
    for left, right in zip(column_cuts, column_cuts[1:]):
        row_cuts = _row_cuts(ink[top:, left:right], dark[top:, left:right], rows)
        panels.append([_trim(ink, (left, top + upper, right, top + lower))
                       for upper, lower in zip(row_cuts, row_cuts[1:])])
    boxes += [box for row in zip(*panels) for box in row if box is not None]
    pieces = [image.crop(box) for box in boxes]
    width = max(piece.width for piece in pieces) + 2 * GAP
    out = Image.new("RGB", (width, sum(piece.height + GAP for piece in pieces) + GAP), "white")
    y = GAP
    for piece in pieces:
        out.paste(piece, ((width - piece.width) // 2, y))
        y += piece.height + GAP
    return out


def write_variants(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    from PIL import Image

    images = Path(app.outdir) / "_images"
    for source, name in app.builder.images.items():
        grid = app.config.narrow_figures.get(Path(source).name)
        drawn = _drawn_variant(app, source)
        if drawn is not None:
            shutil.copyfile(drawn, images / _narrow_name(name))
        elif grid is not None:
            with Image.open(images / name) as image:
                single_column(image.convert("RGB"), *grid).save(images / _narrow_name(name), optimize=True)


def setup(app):
    app.add_config_value("narrow_figures", {}, "html")
    app.add_node(narrow_picture, html=(visit_narrow_picture, depart_narrow_picture))
    app.connect("doctree-resolved", wrap_images)
    app.connect("build-finished", write_variants)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
