"""Checks of the built documentation site (build/docs, made by docs/build.sh).

Static checks: every internal link and anchor resolves, nothing is loaded
from another host, the changelog names the installed version. Browser checks
(headless Chromium through Selenium, Debian's chromium and chromium-driver):
the site is served on 127.0.0.1 and every page loads without a console error
and without a request to another host, the search finds predict_apogee_3dof,
the theory page's equations are rendered by MathJax, and the gallery's figures
are loaded images. Screenshots of the theory page and of a gallery page are
saved under build/docs-screenshots/.
"""

import functools
import http.server
import os
import re
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
    expected = {"index.html", "getting_started.html", "user_guide.html", "dispersion.html",
                "theory.html", "validation.html", "performance.html", "api/aeso.html",
                "api/aeso_dispersion.html", "changelog.html", "auto_examples/index.html",
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


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    if not Path(CHROMEDRIVER).exists():
        pytest.skip("chromium-driver is not installed")
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(60)
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


if __name__ == "__main__":
    sys.exit(subprocess.call([sys.executable, "-m", "pytest", __file__, *sys.argv[1:]]))
