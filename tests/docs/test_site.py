"""Checks of the built documentation site (build/docs, made by docs/build.sh).

Static checks: every internal link and anchor resolves, nothing is loaded
from another host, the changelog names the installed version, the build wrote
nothing to standard error, every public name of the Python packages and every
type a public function returns (or a result holds) has an API entry that
lists its parameters, what a DispersionResult method raises is in its Raises
section, the gallery's notebooks run on their own and show their figures, the
FAQ's multiprocessing script runs under forkserver.
Browser checks (headless Chromium through Selenium, Debian's chromium and
chromium-driver): the site is served on 127.0.0.1 and every page loads
without a console error and without a request to another host, no code
block, table or formula is wider than its column at 1280 px unless it
scrolls, and on an emulated phone (390 px) none is wider than its box without
a scrollbar and wide tables keep their first column in view; the header
lists every section on one line and the phone menu lists them too; a copy
button copies a continued command whole; multi-panel figures are shown in
one column on a phone; the search finds predict_apogee_3dof, the theory
page's equations are rendered by MathJax, and the gallery's figures are
loaded images. Screenshots (the theory page, a gallery page, and the front
page, a wide table and a multi-panel figure at 1280 px and on a phone) are
saved under build/docs-screenshots/.
"""

import ast
import functools
import http.server
import inspect
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from html.parser import HTMLParser
from importlib.metadata import version
from pathlib import Path
from urllib.parse import unquote, urldefrag, urlsplit

import pytest

REPO = Path(__file__).resolve().parents[2]
SITE = Path(os.environ.get("AESO_DOCS_SITE", REPO / "build" / "docs"))
SCREENSHOTS = REPO / "build" / "docs-screenshots"
CHROMEDRIVER = "/usr/bin/chromedriver"
#: The width of a phone's screen (CSS px) the site must read on.
PHONE_WIDTH = 390

if not (SITE / "index.html").is_file():
    pytest.skip(f"no built site in {SITE}: run docs/build.sh first", allow_module_level=True)

PAGES = sorted(p.relative_to(SITE).as_posix() for p in SITE.rglob("*.html")
               if not p.relative_to(SITE).parts[0].startswith("_"))


class _Page(HTMLParser):
    """Ids, links and loaded resources of one HTML page."""

    def __init__(self):
        super().__init__()
        self.ids, self.links, self.resources = set(), [], []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if "id" in a:
            self.ids.add(a["id"])
        if tag == "a" and a.get("href"):
            self.links.append(a["href"])
        if tag in ("script", "img", "iframe", "source") and a.get("src"):
            self.resources.append(a["src"])
        if tag == "link" and a.get("href") and a.get("rel") != "canonical":
            self.resources.append(a["href"])


@functools.cache
def parsed(page):
    parser = _Page()
    parser.feed((SITE / page).read_text(encoding="utf-8"))
    return parser


def test_the_site_has_every_page():
    expected = {"index.html", "getting_started.html", "user_guide.html", "model.html", "howto.html",
                "faq.html", "dispersion.html", "theory.html", "validation.html", "real_flights.html",
                "real_air.html", "control.html", "references.html",
                "performance.html", "api/index.html", "api/aeso.html", "api/aeso_flight.html",
                "api/aeso_dispersion.html", "developer.html",
                "changelog.html", "auto_examples/index.html",
                "auto_examples/quickstart.html", "auto_examples/flight_profile.html",
                "auto_examples/dispersion_study.html", "auto_examples/apogee_targeting.html"}
    assert expected <= set(PAGES)


@pytest.mark.parametrize("page", PAGES)
def test_internal_links_and_anchors_resolve(page):
    broken = []
    for href in parsed(page).links:
        if urlsplit(href).scheme or href.startswith("//"):
            continue  # a link to another site: not followed offline
        path, anchor = urldefrag(href)
        target = (SITE / page).parent / unquote(path) if path else SITE / page
        target = target.resolve()
        if target.is_dir():
            target = target / "index.html"
        if not target.exists():
            broken.append(href)
        elif anchor and target.suffix == ".html":
            if anchor not in parsed(target.relative_to(SITE.resolve()).as_posix()).ids:
                broken.append(href)
    assert not broken, f"{page}: broken links {broken}"


@pytest.mark.parametrize("page", PAGES)
def test_nothing_is_loaded_from_another_host(page):
    remote = [r for r in parsed(page).resources if urlsplit(r).scheme in ("http", "https") or r.startswith("//")]
    assert not remote, f"{page} loads {remote}"


def test_stylesheets_load_nothing_from_another_host():
    pattern = re.compile(r"(?:url\(\s*['\"]?|@import\s+['\"])(?:https?:)?//", re.I)
    offenders = [p.relative_to(SITE).as_posix() for p in SITE.rglob("*.css") if pattern.search(p.read_text(errors="replace"))]
    assert not offenders


def test_changelog_names_the_installed_version():
    html = (SITE / "changelog.html").read_text()
    first_entry = re.search(r"<h2>([^<]+?)<a class=\"headerlink\"", html)
    assert first_entry is not None, "the changelog has no entry"
    assert first_entry.group(1).strip() == version("aeso")


def test_the_build_wrote_nothing_to_standard_error():
    # docs/build.sh keeps there what Sphinx, the figure scripts, the gallery
    # and the doctests wrote to file descriptor 2.
    log = REPO / "build" / "docs-stderr.txt"
    assert log.is_file(), "build the site with docs/build.sh"
    assert log.read_text() == ""


# ------------------------------------------------------------------ API pages

def _stub_surface():
    """{qualified name: parameter names} of aeso's public surface, read from
    its stubs: every class of __all__ (its constructor's parameters), every
    public method and every attribute (no parameters)."""
    tree = ast.parse((REPO / "python" / "aeso-stubs" / "__init__.pyi").read_text())
    public = set(ast.literal_eval(next(n.value for n in tree.body if isinstance(n, ast.Assign)
                                       and n.targets[0].id == "__all__")))
    surface = {}
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef) and n.name in public):
        surface[f"aeso.{cls.name}"] = []
        for node in cls.body:
            if isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
                surface[f"aeso.{cls.name}.{node.target.id}"] = []
            elif isinstance(node, ast.FunctionDef):
                names = [a.arg for a in node.args.args if a.arg not in ("self", "cls")]
                if node.name == "__new__":
                    surface[f"aeso.{cls.name}"] = names
                elif not node.name.startswith("_"):
                    surface[f"aeso.{cls.name}.{node.name}"] = names
    return surface


def _dispersion_surface():
    """{qualified name: parameter names} of aeso_dispersion's __all__ and
    of the public methods of its classes. Exceptions and DispersionResult,
    which the study makes, are listed without constructor parameters."""
    import aeso_dispersion

    surface = {}
    for name in aeso_dispersion.__all__:
        obj = getattr(aeso_dispersion, name)
        made_for_you = inspect.isclass(obj) and (issubclass(obj, Exception) or name == "DispersionResult")
        surface[f"aeso_dispersion.{name}"] = [] if made_for_you else list(inspect.signature(obj).parameters)
        for attribute, member in (vars(obj).items() if inspect.isclass(obj) else ()):
            if inspect.isfunction(member) and not attribute.startswith("_"):
                surface[f"aeso_dispersion.{name}.{attribute}"] = list(inspect.signature(member).parameters)[1:]
    return surface


def _flight_surface():
    """{qualified name: parameter names} of aeso_flight's __all__ (a class
    by its constructor; the fields of the results it makes are described as
    their Attributes) and of the public methods, class methods and
    properties (no parameters) of its classes."""
    import enum

    import aeso_flight

    surface = {}
    for name in aeso_flight.__all__:
        obj = getattr(aeso_flight, name)
        if not callable(obj):  # a constant
            surface[f"aeso_flight.{name}"] = []
            continue
        enumeration = inspect.isclass(obj) and issubclass(obj, enum.Enum)
        surface[f"aeso_flight.{name}"] = [] if enumeration else list(inspect.signature(obj).parameters)
        if not inspect.isclass(obj):
            continue
        for attribute, member in vars(obj).items():
            if attribute.startswith("_"):
                continue
            if isinstance(member, property):
                surface[f"aeso_flight.{name}.{attribute}"] = []
            elif inspect.isfunction(getattr(member, "__func__", member)):
                function = getattr(member, "__func__", member)
                surface[f"aeso_flight.{name}.{attribute}"] = list(inspect.signature(function).parameters)[1:]
    return surface


def _class_surface(qualified, cls):
    """{qualified name: parameter names} of a class by its constructor, and
    of the public methods, class methods and properties it defines."""
    surface = {qualified: list(inspect.signature(cls).parameters)}
    for attribute, member in vars(cls).items():
        function = getattr(member, "__func__", member)
        if attribute.startswith("_"):
            continue
        if isinstance(member, property):
            surface[f"{qualified}.{attribute}"] = []
        elif inspect.isfunction(function):
            surface[f"{qualified}.{attribute}"] = list(inspect.signature(function).parameters)[1:]
    return surface


def _returned_surface():
    """The surface (see _class_surface) of the classes of aeso_flight and
    aeso_dispersion outside their __all__ that a public function or class
    names in its Returns, Yields or Attributes section, and of those such
    classes name in theirs: what the public functions return and what their
    results hold, by the module that defines each."""
    import importlib
    import pkgutil

    from numpydoc.docscrape import NumpyDocString

    import aeso_dispersion
    import aeso_flight

    packages = (aeso_dispersion, aeso_flight)
    classes = {}  # class name: [classes of that name]
    for package in packages:
        for info in pkgutil.iter_modules(package.__path__, package.__name__ + "."):
            module = importlib.import_module(info.name)
            for name, obj in vars(module).items():
                if inspect.isclass(obj) and obj.__module__ == module.__name__:
                    classes.setdefault(name, []).append(obj)

    def named(obj):
        members = [obj] + ([getattr(m, "fget", getattr(m, "__func__", m)) for a, m in vars(obj).items()
                            if not a.startswith("_")] if inspect.isclass(obj) else [])
        for member in members:
            doc = NumpyDocString(inspect.getdoc(member) or "") if callable(member) or inspect.isclass(member) \
                else None
            if doc is None:
                continue
            text = " ".join(f"{p.name} {p.type} {' '.join(p.desc)}"
                            for section in ("Returns", "Yields", "Attributes") for p in doc[section])
            for module, name in re.findall(r"\b(?:(\w+)\.)?([A-Z]\w*)\b", text):
                yield from (c for c in classes.get(name, ()) if not module or c.__module__.endswith(f".{module}"))

    exported = {getattr(p, n) for p in packages for n in p.__all__}
    todo, found = list(exported), set()
    while todo:
        for cls in named(todo.pop()):
            if cls not in found and cls not in exported:
                found.add(cls)
                todo.append(cls)
    surface = {}
    for cls in found:
        surface.update(_class_surface(f"{cls.__module__}.{cls.__name__}", cls))
    return surface


class _Entries(HTMLParser):
    """The text of every API entry of a page: {id: (signature, body)}, the
    body being the entry's description with its field lists."""

    def __init__(self):
        super().__init__()
        self.entries, self._open = {}, []  # stack of [id, depth, part, signature, body]
        self._depth = 0

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "dl":
            self._depth += 1
        if tag == "dt" and "sig" in a.get("class", "") and a.get("id"):
            self._open.append([a["id"], self._depth, "signature", "", ""])
        if tag == "dd" and self._open and self._open[-1][1] == self._depth and self._open[-1][2] == "signature":
            self._open[-1][2] = "body"
        if tag == "strong":
            self._text(" <strong>")

    def handle_endtag(self, tag):
        if tag == "strong":
            self._text("</strong> ")
        if tag == "dl":
            while self._open and self._open[-1][1] == self._depth:
                ident, _, _, signature, body = self._open.pop()
                self.entries[ident] = (signature, body)
            self._depth -= 1

    def handle_data(self, data):
        self._text(data)

    def _text(self, text):
        for entry in self._open:
            entry[3 if entry[2] == "signature" else 4] += text


@functools.cache
def _api_entries():
    entries = {}
    for page in ("api/aeso.html", "api/aeso_flight.html", "api/aeso_dispersion.html"):
        parser = _Entries()
        parser.feed((SITE / page).read_text(encoding="utf-8"))
        entries.update(parser.entries)
    return entries


def _documented_parameters(body):
    """Names in bold in the entry's Parameters and Attributes sections
    (numpydoc groups several as "low, high")."""
    names = set()
    for heading in ("Parameters", "Attributes"):
        section = body.partition(heading)[2]
        section = re.split(r"\b(?:Parameters|Attributes|Returns|Return type|Raises|Warns|Examples|Yields)\b",
                           section)[0]
        names |= {name.strip().lstrip("*") for group in re.findall(r"<strong>(.*?)</strong>", section)
                  for name in group.split(",")}
    return names


@pytest.mark.parametrize("name, parameters", [*_stub_surface().items(), *_dispersion_surface().items(),
                                              *_flight_surface().items(), *_returned_surface().items()])
def test_every_public_name_has_an_api_entry_with_its_parameters(name, parameters):
    entries = _api_entries()
    assert name in entries, f"no API entry for {name}"
    signature, body = entries[name]
    assert body.strip(), f"the API entry of {name} is empty"
    assert "..." not in signature and "Ellipsis" not in signature, signature
    missing = {p.lstrip("*") for p in parameters} - _documented_parameters(body)
    assert not missing, f"{name}: parameters {sorted(missing)} are not described"
    for p in parameters:  # the signature shows each one (with its default)
        assert re.search(rf"\b{re.escape(p.lstrip('*'))}\b", signature), (name, p, signature)


@pytest.fixture(scope="module")
def small_result():
    """A study of 200 runs (not controlled)."""
    from aeso_dispersion import Study, normal, uniform

    study = Study(rocket=dict(mass=normal(20.0, 0.4), cd=0.45, area_drag=0.0081, area_lift=0.0081,
                              moment_of_inertia=8.5, stab_margin_dimensional=0.25, cl_a=2.0),
                  initial_state=dict(angle=0.05, speed=uniform(240.0, 260.0)), solver=dict(method="RK45"))
    return study.run(n=200, seed=1, workers=1, progress=False)


# A DispersionResult method called wrongly, and what it raises ({tmp}: a
# directory of the test's own).
RESULT_FAULTS = [
    ("sample", ("no_such_input",), "KeyError"),
    ("refly", (0,), "ValueError"),  # not a controlled study
    ("reason", (10**6,), "IndexError"),
    ("reason_of", (10**6,), "IndexError"),
    ("variance_indices", ("no_such_outcome",), "KeyError"),
    ("summary", ("no_such_outcome",), "AttributeError"),
    ("sensitivity", ("no_such_outcome",), "KeyError"),
    ("format_sensitivity", ("no_such_outcome",), "KeyError"),
    ("to_json", ("{tmp}/summary.json", "no_such_outcome"), "KeyError"),
    ("to_json", ("{tmp}",), "StudyError"),
    ("save", ("{tmp}/missing/runs.csv",), "StudyError"),
    ("plot", ("{tmp}/figure.unknown",), "ValueError"),
    ("plot", ("{tmp}",), "StudyError"),
    ("plot_convergence", ("{tmp}/missing/figure.png",), "StudyError"),
]


@pytest.mark.parametrize("method, arguments, error", RESULT_FAULTS,
                         ids=[f"{m}-{e}" for m, _, e in RESULT_FAULTS])
def test_what_a_result_method_raises_is_in_its_raises_section(small_result, tmp_path, method, arguments, error):
    arguments = [a.format(tmp=tmp_path) if isinstance(a, str) else a for a in arguments]
    with pytest.raises(Exception) as raised:
        getattr(small_result, method)(*arguments)
    assert type(raised.value).__name__ == error, raised.value
    _, body = _api_entries()[f"aeso_dispersion.DispersionResult.{method}"]
    raises = re.split(r"\bExamples\b", body.partition("Raises")[2])[0]
    assert re.search(rf"(?<![A-Za-z_]){error}", raises), (method, error, raises)


def test_the_gallery_study_is_the_example_study_file():
    """The gallery describes in Python the study that the pages run from
    examples/dispersion_study.toml: the same study, by its fingerprint."""
    from aeso_dispersion import load_study

    script = REPO / "examples" / "dispersion_study.py"
    tree = ast.parse(script.read_text())
    upto = next(i for i, n in enumerate(tree.body)
                if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", None) == "study")
    namespace = {}
    exec(compile(ast.Module(tree.body[:upto + 1], []), str(script), "exec"), namespace)
    assert namespace["study"].fingerprint == load_study(REPO / "examples" / "dispersion_study.toml").fingerprint


def _run_in_own_session(args, cwd, timeout=300):
    """Runs `args`, returning (status, stdout, stderr); the process and any
    it started (a forkserver, pool workers) are killed at the end, however
    it ends."""
    process = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()


def test_the_faq_multiprocessing_script_runs_under_forkserver(tmp_path):
    """The FAQ's multiprocessing script, saved as a file, runs under the
    forkserver start method (Linux's default from Python 3.14 on), whose
    workers import it, and prints what the page shows."""
    section = (REPO / "docs" / "faq.md").read_text().split("## Can I use multiprocessing?")[1].split("\n## ")[0]
    script, shown = re.findall(r"```(?:python|text)\n(.*?)```", section, re.S)[:2]
    (tmp_path / "apogees.py").write_text(script)
    status, out, err = _run_in_own_session(
        [sys.executable, "-c", "import multiprocessing, runpy, sys; multiprocessing.set_start_method('forkserver'); "
                               "runpy.run_path(sys.argv[1], run_name='__main__')", "apogees.py"], cwd=tmp_path)
    assert status == 0, err
    assert out == shown


NOTEBOOKS = sorted(SITE.glob("_downloads/*/*.ipynb"))


@pytest.mark.parametrize("notebook", NOTEBOOKS, ids=[n.stem for n in NOTEBOOKS])
def test_a_gallery_notebook_runs_on_its_own_and_shows_its_figures(notebook, tmp_path):
    nbclient = pytest.importorskip("nbclient")
    import nbformat

    shutil.copy(notebook, tmp_path)  # alone: nothing of the repository beside it
    book = nbformat.read(tmp_path / notebook.name, as_version=4)
    nbclient.NotebookClient(book, timeout=600, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = [o for cell in book.cells for o in cell.get("outputs", [])]
    errors = [o for o in outputs if o.output_type == "error"]
    assert not errors, errors
    # Jupyter shows the figures the example's gallery page shows (none drawn
    # into a file instead).
    page = (SITE / "auto_examples" / f"{notebook.stem}.html").read_text(encoding="utf-8")
    figures = set(re.findall(rf"sphx_glr_{re.escape(notebook.stem)}_\d+\.png", page))
    images = [o for o in outputs if "image/png" in o.get("data", {})]
    assert len(images) == len(figures), (len(images), sorted(figures))


# ------------------------------------------------------------------ browser

@pytest.fixture(scope="module")
def server():
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(SITE))

    class Quiet(handler.func):
        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=str(SITE)))
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    finally:
        httpd.shutdown()
        httpd.server_close()
        thread.join(timeout=10)


def _chromium(width, phone=False):
    """Headless Chromium at `width` px; `phone`: a phone's screen (390 x 844,
    touch, scrollbars that overlay the content and fade)."""
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    if not Path(CHROMEDRIVER).exists():
        pytest.skip("chromium-driver is not installed")
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={width},1000"):
        options.add_argument(arg)
    if phone:
        options.add_experimental_option("mobileEmulation",
                                        {"deviceMetrics": {"width": width, "height": 844, "pixelRatio": 1}})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(60)
    return driver


@pytest.fixture(scope="module")
def browser():
    driver = _chromium(1280)
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture(scope="module")
def phone():
    driver = _chromium(PHONE_WIDTH, phone=True)
    try:
        yield driver
    finally:
        driver.quit()


def _wait(driver, script, timeout=30):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.2).until(lambda d: d.execute_script(script))


MATHJAX_DONE = """
if (!window.MathJax || !MathJax.Hub) return false;
if (window.__aesoMathDone === undefined) {
  window.__aesoMathDone = false;
  MathJax.Hub.Queue(function () { window.__aesoMathDone = true; });
}
return window.__aesoMathDone;
"""


# Elements that must fit their column or scroll: code, tables, formulas. An
# element is clipped when its content is wider than its box and the box
# hides the rest, or spills it past the article's right edge; or when its box
# reaches past that edge without a scrolling container that stays within it.
CLIPPED = """
const article = document.querySelector('article') || document.querySelector('main');
const right = article.getBoundingClientRect().right + 1;
const overflow = node => getComputedStyle(node).overflowX;
const scrolls = node => ['auto', 'scroll'].includes(overflow(node));
const clipped = [];
for (const el of article.querySelectorAll('pre, table, .math, .MJXc-display')) {
  if (el.offsetParent === null) continue;  // not shown
  const what = el.tagName + ' "' + el.textContent.trim().slice(0, 40) + '": ';
  if (el.scrollWidth > el.clientWidth + 1 && !scrolls(el)) {
    const spill = el.getBoundingClientRect().left + el.scrollWidth;
    if (overflow(el) !== 'visible' || spill > right) {
      clipped.push(what + 'content ' + el.scrollWidth + ' px in ' + el.clientWidth);
      continue;
    }
  }
  let box = el;
  while (box !== article && !scrolls(box)) box = box.parentElement;
  const edge = (box === article ? el : box).getBoundingClientRect().right;
  if (edge > right) clipped.push(what + 'right edge ' + edge + ' past ' + right);
}
return clipped;
"""


def _load(driver, url):
    driver.get(url)
    _wait(driver, "return document.readyState === 'complete'")
    if driver.execute_script("return document.querySelector('.math') !== null"):
        _wait(driver, MATHJAX_DONE)


# Screenshots at 1280 px and on a phone (under build/docs-screenshots/):
# {page: (name, what the view scrolls to)}: the front page, the page's widest
# table, a multi-panel figure.
SCREENSHOT_PAGES = {"index.html": ("front", "document.querySelector('h1')"),
                    "real_flights.html": ("wide_table", "Array.from(document.querySelectorAll('article table'))"
                                          ".sort((a, b) => b.rows[0].cells.length - a.rows[0].cells.length)[0]"),
                    "control.html": ("multi_panel_figure", "document.querySelector('article img[src$=\"control_study.png\"]')")}


def _screenshot(driver, page, width):
    if page in SCREENSHOT_PAGES:
        name, target = SCREENSHOT_PAGES[page]
        driver.execute_script(f"({target}).scrollIntoView(); window.scrollBy(0, -90);")
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(SCREENSHOTS / f"{name}_{width}.png"))


@pytest.mark.parametrize("page", PAGES)
def test_no_code_table_or_formula_is_clipped_at_1280_px(browser, server, page):
    _load(browser, server + page)
    assert browser.execute_script("return window.innerWidth") == 1280
    clipped = browser.execute_script(CLIPPED)
    assert not clipped, clipped
    _screenshot(browser, page, 1280)


# On a phone: the page does not scroll sideways, and every code block, table
# and formula wider than the column scrolls inside a box of its own that
# shows its scrollbar (a phone's scrollbars otherwise overlay the content and
# fade, and nothing says that columns are hidden to the right).
OVERFLOWS = """
const article = document.querySelector('article') || document.querySelector('main');
const right = article.getBoundingClientRect().right + 1;
const scrolls = node => ['auto', 'scroll'].includes(getComputedStyle(node).overflowX);
const scrollbar = node => {
  const style = getComputedStyle(node);
  return node.offsetHeight - node.clientHeight
         - parseFloat(style.borderTopWidth) - parseFloat(style.borderBottomWidth) > 0;
};
const faults = [];
const page = document.documentElement.scrollWidth;
if (page > window.innerWidth + 1) faults.push('the page is ' + page + ' px wide');
for (const el of article.querySelectorAll('pre, table, .MJXc-display')) {
  if (el.offsetParent === null) continue;  // not shown
  const what = el.tagName + ' "' + el.textContent.trim().slice(0, 40) + '": ';
  let box = el;
  while (box !== article && !scrolls(box)) box = box.parentElement;
  if (box === article) {
    if (el.getBoundingClientRect().right > right || el.scrollWidth > el.clientWidth + 1)
      faults.push(what + 'wider than the column and in no box that scrolls');
  } else if (box.getBoundingClientRect().right > right) {
    faults.push(what + 'its box reaches past the column');
  } else if (box.scrollWidth > box.clientWidth + 1 && !scrollbar(box)) {
    faults.push(what + box.scrollWidth + ' px in ' + box.clientWidth + ', scrolled without a scrollbar');
  }
}
return faults;
"""


@pytest.mark.parametrize("page", PAGES)
def test_nothing_overflows_its_box_without_a_scrollbar_on_a_phone(phone, server, page):
    _load(phone, server + page)
    assert phone.execute_script("return window.innerWidth") == PHONE_WIDTH
    faults = phone.execute_script(OVERFLOWS)
    assert not faults, faults
    _screenshot(phone, page, PHONE_WIDTH)


# A table of four or more columns that is wider than a phone keeps its first
# column (the rows' names) in view while it scrolls, and its last column can
# be scrolled to.
KEY_COLUMNS = """
const article = document.querySelector('article') || document.querySelector('main');
const scrolls = node => ['auto', 'scroll'].includes(getComputedStyle(node).overflowX);
const faults = [];
for (const table of article.querySelectorAll('table')) {
  const rows = Array.from(table.rows);
  if (table.offsetParent === null || Math.max(0, ...rows.map(r => r.cells.length)) < 4) continue;
  let box = table.parentElement;
  while (box !== article && !scrolls(box)) box = box.parentElement;
  if (box === article || box.scrollWidth <= box.clientWidth + 1) continue;  // it fits
  box.scrollLeft = box.scrollWidth;
  const edge = box.getBoundingClientRect();
  const what = 'table "' + table.textContent.trim().slice(0, 40) + '": ';
  for (const row of rows) {
    const first = row.cells[0].getBoundingClientRect(), last = row.cells[row.cells.length - 1].getBoundingClientRect();
    if (first.left < edge.left - 1 || first.right > edge.right + 1) faults.push(what + 'the first column scrolls out of view');
    const background = getComputedStyle(row.cells[0]).backgroundColor;
    if (background === 'transparent' || /^rgba\\(.*,\\s*0\\)$/.test(background))
      faults.push(what + 'the columns scrolled beneath the first show through it');
    if (last.right > edge.right + 1) faults.push(what + 'the last column cannot be scrolled to');
  }
  box.scrollLeft = 0;
}
return [...new Set(faults)];
"""


@pytest.mark.parametrize("page", [p for p in PAGES if "<table" in (SITE / p).read_text(encoding="utf-8")])
def test_wide_tables_keep_their_first_column_in_view_on_a_phone(phone, server, page):
    _load(phone, server + page)
    faults = phone.execute_script(KEY_COLUMNS)
    assert not faults, faults


@pytest.mark.parametrize("page", PAGES)
def test_page_loads_without_console_errors(browser, server, page):
    browser.get_log("browser")  # drop what earlier pages left
    browser.get(server + page)
    _wait(browser, "return document.readyState === 'complete'")
    if browser.execute_script("return document.querySelector('.math') !== null"):
        _wait(browser, MATHJAX_DONE)
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert not errors, errors
    foreign = browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => e.name)"
        ".filter(n => !n.startsWith(location.origin) && !n.startsWith('data:'))")
    assert not foreign, foreign


# The header's sections (their links), the real air, control and real
# flights pages among them.
SECTIONS = {"Getting started": "getting_started.html", "User guide": "user_guide.html",
            "Real air": "real_air.html", "Control": "control.html", "Dispersion": "dispersion.html",
            "Examples": "auto_examples/index.html", "Theory": "theory.html",
            "Real flights": "real_flights.html", "Performance": "performance.html",
            "API": "api/index.html", "Development": "developer.html"}

HEADER = """
const items = document.querySelectorAll('.bd-header .navbar-header-items__center .nav-link,'
                                        + '.bd-header .navbar-header-items__end .navbar-item');
return Array.from(items).filter(e => e.offsetParent !== null).map(e => {
    const r = e.getBoundingClientRect();
    return [e.textContent.trim(), e.getAttribute('href'), Math.round(r.top + r.height / 2)];
});
"""


def test_every_section_is_in_the_header_on_one_line(browser, server):
    browser.get(server + "index.html")
    _wait(browser, "return document.readyState === 'complete'")
    header = browser.execute_script(HEADER)
    links = {text: href for text, href, _ in header if href}
    assert "More" not in links and links == SECTIONS, header
    assert max(y for *_, y in header) - min(y for *_, y in header) <= 6, header


def test_the_phone_menu_lists_every_section(phone, server):
    phone.get(server + "index.html")
    _wait(phone, "return document.readyState === 'complete'")
    phone.find_element("css selector", ".primary-toggle").click()
    _wait(phone, "return document.querySelector('#pst-primary-sidebar-modal[open]') !== null")
    shown = phone.execute_script("""
        return Array.from(document.querySelectorAll('#pst-primary-sidebar-modal a.nav-link'))
            .filter(a => a.offsetParent !== null && a.getBoundingClientRect().width > 0)
            .map(a => [a.textContent.trim(), a.getAttribute('href')]);""")
    assert dict(shown) == SECTIONS, shown


# What each copy button copies, for the code blocks in which a copied line
# ends with a backslash: [(the block's lines, what the button copied)]. The
# copy goes through document.execCommand("copy"), recorded here instead.
COPIED = """
const copied = [];
document.execCommand = () => { copied.push(window.getSelection().toString()); return true; };
const blocks = [];
for (const pre of document.querySelectorAll('div.highlight pre')) {
  const button = pre.parentElement.querySelector('button.copybtn');
  if (!button || !pre.innerText.split('\\n').some(line => line.trimEnd().endsWith('\\\\'))) continue;
  button.click();
  blocks.push([pre.innerText.split('\\n'), copied.pop()]);
}
return blocks;
"""


@pytest.mark.parametrize("page", ["dispersion.html", "performance.html"])  # pages with continued commands
def test_the_copy_button_copies_a_continued_command_whole(browser, server, page):
    browser.get(server + page)
    _wait(browser, "return document.readyState === 'complete' && document.querySelector('button.copybtn') !== null")
    blocks = browser.execute_script(COPIED)
    assert blocks, "no code block with a continued line"
    for lines, copied in blocks:
        copied_lines = [line.strip() for line in copied.split("\n")]
        for line, following in zip(lines, lines[1:]):
            if line.rstrip().endswith("\\") and re.sub(r"^(\$ |>>> |\.\.\. )", "", line).strip() in copied_lines:
                assert following.strip() in copied_lines, (line, following, copied)


def test_search_finds_predict_apogee_3dof(browser, server):
    browser.get(server + "search.html?q=predict_apogee_3dof")
    _wait(browser, "return document.querySelectorAll('#search-results li').length > 0", timeout=60)
    results = browser.execute_script(
        "return Array.from(document.querySelectorAll('#search-results li a')).map(a => a.getAttribute('href'))")
    assert any(r.startswith("api/aeso.html") for r in results), results


def test_theory_equations_are_rendered(browser, server):
    browser.get(server + "theory.html")
    _wait(browser, MATHJAX_DONE)
    rendered = browser.execute_script("return document.querySelectorAll('.mjx-chtml').length")
    failed = browser.execute_script("return document.querySelectorAll('.MathJax_Error, .mjx-merror').length")
    source = browser.execute_script("return document.querySelectorAll('.math').length")
    assert source >= 20 and rendered >= source and failed == 0, (source, rendered, failed)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SCREENSHOTS / "theory.png"))
    # The 3-DOF equations, the page's longest display.
    browser.execute_script("document.getElementById('dof-planar-flight-with-attitude').scrollIntoView()")
    browser.save_screenshot(str(SCREENSHOTS / "theory_3dof_equations.png"))


@pytest.mark.parametrize("page, figures", [
    ("auto_examples/flight_profile.html", 1),
    ("auto_examples/dispersion_study.html", 1),
    ("auto_examples/apogee_targeting.html", 1),
    ("validation.html", 3),
    ("performance.html", 2),
])
def test_figures_are_loaded_images(browser, server, page, figures):
    browser.get(server + page)
    _wait(browser, "return document.readyState === 'complete'")
    sizes = browser.execute_script(
        "return Array.from(document.querySelectorAll('article img'))"
        ".filter(i => /\\.png$/.test(i.getAttribute('src')))"
        ".map(i => [i.getAttribute('src'), i.complete, i.naturalWidth])")
    assert len(sizes) >= figures, sizes
    assert all(complete and width > 0 for _, complete, width in sizes), sizes
    if page == "auto_examples/flight_profile.html":
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(SCREENSHOTS / "gallery_flight_profile.png"))


def test_gallery_shows_the_examples_output(browser, server):
    browser.get(server + "auto_examples/apogee_targeting.html")
    text = browser.find_element("css selector", "article").text
    assert re.search(r"cd = 0\.\d+ gives an apogee of 1850\.0\d* m|cd = 0\.\d+ gives an apogee of 1849\.99\d* m", text), text[-2000:]


# The site's multi-panel figures (and the wide ones drawn for the page's
# column): a phone gets each in one column, at no less than PHONE_SCALE of
# its size; a wide screen gets the figure itself.
PHONE_FIGURES = {
    "control.html": ["control_flight", "control_study"],
    "dispersion.html": ["dispersion_study"],
    "real_flights.html": ["real_flights"],
    "validation.html": ["validation_1dof", "validation_3dof", "validation_rk45_tradeoff"],
    "performance.html": ["performance_time_per_call"],
}
PHONE_SCALE = 0.6

FIGURES = """
return Array.from(document.querySelectorAll('article img')).map(i => [
    i.getAttribute('src').split('/').pop(), i.currentSrc.split('/').pop(), i.complete, i.naturalWidth,
    i.getBoundingClientRect().width]);
"""


@pytest.mark.parametrize("page, names", PHONE_FIGURES.items())
def test_a_phone_gets_each_figure_in_one_readable_column(browser, phone, server, page, names):
    for driver, narrow in ((phone, True), (browser, False)):
        driver.get(server + page)
        _wait(driver, "return document.readyState === 'complete' && "
                      "Array.from(document.images).every(i => i.complete)")
        shown = {src.removesuffix(".png"): (current, complete, natural, width)
                 for src, current, complete, natural, width in driver.execute_script(FIGURES)}
        for name in names:
            current, complete, natural, width = shown[name]
            assert current == (f"{name}-narrow.png" if narrow else f"{name}.png"), (page, name, current)
            assert complete and natural > 0, (page, name, current)
            if narrow:
                assert width >= PHONE_SCALE * natural, (page, name, f"{natural} px shown in {width:.0f}")


if __name__ == "__main__":
    sys.exit(subprocess.call([sys.executable, "-m", "pytest", __file__, *sys.argv[1:]]))
