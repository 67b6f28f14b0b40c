"""Sphinx configuration of the aeso documentation site.

Build: ``python -m sphinx -W -n -b html docs build/docs`` (or ``bash docs/build.sh``).
The site works offline: MathJax is copied from a local installation (Debian's
libjs-mathjax by default, or the directory in $AESO_MATHJAX_DIR) and nothing
is loaded from another host. The validation and performance figures are made
by the scripts in docs/scripts/ when the build starts; the examples gallery
runs the scripts in examples/ against the installed module.
"""

import os
import shutil
import subprocess
import sys
from importlib.metadata import version as installed_version
from pathlib import Path

from sphinx.errors import ConfigError

DOCS = Path(__file__).resolve().parent
REPO = DOCS.parent
# The site's own extensions (narrow_figures, and gallery_order below).
sys.path.insert(0, str(DOCS / "_ext"))

project = "aeso"
author = "the aeso developers"
copyright = "the aeso developers, MIT licence"
# The version of the installed distribution, whose module the pages document.
release = installed_version("aeso")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "narrow_figures",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "scripts", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.md5", "auto_examples/*.json"]
# Generated fragments are included into pages, never built on their own.
exclude_patterns.append("_generated/*.md")

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

# Every cross-reference must resolve (with -n and -W a dangling one fails the build).
nitpicky = True
nitpick_ignore = [
    ("py:class", "optional"),
    ("py:class", "callable"),
    # Other projects' classes: the site links no other host (no intersphinx).
    ("py:class", "numpy.ndarray"),
    ("py:class", "distributed.Client"),
    ("py:data", "sys.stdout"),
]

autodoc_member_order = "bysource"
# The page's table of contents names methods without their class.
toc_object_entries_show_parents = "hide"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_validation_checks = set()

# --- MathJax from a local copy -------------------------------------------------
MATHJAX_SOURCE = Path(os.environ.get("AESO_MATHJAX_DIR", "/usr/share/javascript/mathjax"))
# What the CommonHTML output of the TeX-AMS_CHTML configuration loads.
MATHJAX_PARTS = [
    "MathJax.js",
    "config/TeX-AMS_CHTML.js",
    "extensions",
    "jax/input/TeX",
    "jax/element",
    "jax/output/CommonHTML",
    "fonts/HTML-CSS/TeX/woff",
    "localization/en",
]
# Relative to _static of the built site.
mathjax_path = "mathjax/MathJax.js?config=TeX-AMS_CHTML"
# MyST marks its pages "tex2jax_ignore" and each formula "math": MathJax 2
# is told to render exactly those (MyST configures only MathJax 3 and later).
myst_update_mathjax = False
mathjax2_config = {
    "messageStyle": "none",
    "tex2jax": {"processClass": "tex2jax_process|mathjax_process|math|output_area",
                "ignoreClass": "tex2jax_ignore|mathjax_ignore|document"},
}


def check_mathjax(app):
    """Stops an HTML build at once, with one line, when MathJax is missing."""
    if app.builder.format == "html" and not (MATHJAX_SOURCE / "MathJax.js").is_file():
        raise ConfigError(
            f"MathJax not found in {MATHJAX_SOURCE}: install Debian's libjs-mathjax "
            "(apt-get install libjs-mathjax) or set AESO_MATHJAX_DIR to a MathJax 2 directory")


def copy_mathjax(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    target = Path(app.outdir) / "_static" / "mathjax"
    for part in MATHJAX_PARTS:
        source, dest = MATHJAX_SOURCE / part, target / part
        if source.is_dir():
            shutil.copytree(source, dest, dirs_exist_ok=True)
        else:
            dest.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, dest)


# --- Figures made at build time ------------------------------------------------
FIGURE_SCRIPTS = ["scripts/validation.py", "scripts/performance_figures.py", "scripts/real_flights.py",
                  "scripts/control_flight.py"]


def make_figures(app):
    if app.builder.format != "html":
        return
    out = DOCS / "_generated"
    out.mkdir(exist_ok=True)
    for script in FIGURE_SCRIPTS:
        subprocess.run([sys.executable, str(DOCS / script), "--out", str(out)], check=True)


def setup(app):
    app.connect("builder-inited", check_mathjax)
    app.connect("builder-inited", make_figures)
    app.connect("build-finished", copy_mathjax)


# --- HTML ------------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"aeso {release}"
html_static_path = ["_static"]
html_css_files = ["aeso.css"]
html_favicon = "_static/favicon.svg"
html_theme_options = {
    "navigation_with_keys": False,
    # Every top-level page stays in the header, on one line, at 1280 px and
    # wider: the links start right after the title, and search is an icon.
    "header_links_before_dropdown": 12,
    "navbar_align": "left",
    "navbar_persistent": ["search-button"],
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "secondary_sidebar_items": ["page-toc"],
    "navbar_end": ["theme-switcher", "navbar-icon-links"],
}
html_show_sourcelink = False
# No left sidebar: the header lists the sections, each section's first page
# links its other pages, and the article gets the width its code needs.
html_sidebars = {"**": []}
# A first visit has no stored colour mode: start in "auto" (otherwise the
# theme logs an error on the console).
html_context = {"default_mode": "auto"}

# --- Copy buttons ----------------------------------------------------------------
# A shell session copies its commands without the "$ " prompts and without the
# output; a Python session its code without ">>> " and "... ".
copybutton_prompt_text = r"\$ |>>> |\.\.\. "
copybutton_prompt_is_regexp = True
# A command continued on the next line (a backslash at the end of a line) is
# copied whole, its continuation lines included (they carry no prompt).
copybutton_line_continuation_character = "\\"

# --- Figures on phones ------------------------------------------------------------
# Figures made by the study tool (aeso-dispersion --plot), by their panels:
# on a phone each is shown cut into its panels, one above the other
# (docs/_ext/narrow_figures.py). The scripts in docs/scripts/ draw their
# figures' phone variants themselves.
narrow_figures = {"dispersion_study.png": (1, 3), "control_study.png": (2, 3)}

# --- Examples gallery ------------------------------------------------------------

sphinx_gallery_conf = {
    "examples_dirs": str(REPO / "examples"),
    "gallery_dirs": "auto_examples",
    # Every script in examples/ runs, not only those named plot_*.
    "filename_pattern": r".*\.py$",
    # The gallery's order: first steps first.
    "within_subsection_order": "gallery_order.key",
    "download_all_examples": False,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "matplotlib_animations": False,
    "remove_config_comments": True,
    "show_memory": False,
    "show_signature": False,
    # The computation-times page loads its table scripts from other hosts.
    "write_computation_times": False,
}

# --- Doctest ---------------------------------------------------------------------
doctest_global_setup = """
import math
import aeso
"""
