"""The built site in headless chromium: `make docs` runs this after building build/docs/html."""

import html.parser
import os
import shutil
import subprocess
import urllib.parse

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(REPO, "build", "docs")
SITE = os.path.join(OUT, "html")

# What the API page must list: the name shown, and the object its link must lead to (the anchor
# on the generated reference page).
API_ENTRIES = [
    ("Plinth", "tarn.driver.common.plinth.Plinth"),
    ("compress", "tarn.driver.common.plinth.compress"),
    ("Quantity", "tarn.driver.common.quantity.Quantity"),
    ("VisaDriver", "tarn.driver.visa.VisaDriver"),
    ("Session", "tarn.driver.session.Session"),
    ("expect_exchange", "tarn.driver.testing.expect_exchange"),
    ("SSHClient", "tarn.terminal.ssh.SSHClient"),
    ("terminal", "tarn.terminal.terminal.terminal"),
]


def chromium(*args, timeout=120):
    """Runs headless chromium once with a throwaway profile; returns its standard output."""
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        pytest.fail("chromium is not installed (scripts/bootstrap.sh docs installs it)")
    profile = os.path.join(OUT, "chromium-profile")
    done = subprocess.run(
        [exe, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         "--no-first-run", "--hide-scrollbars", f"--user-data-dir={profile}", *args],
        capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    return done.stdout


def page_url(name):
    path = os.path.join(SITE, name)
    assert os.path.isfile(path), f"{path} is missing: build the site first (make docs)"
    return "file://" + urllib.parse.quote(path)


class Links(html.parser.HTMLParser):
    """The links of a page as (text, href), and every element id."""

    def __init__(self):
        super().__init__()
        self.links, self.ids, self._open = [], set(), []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "a":
            self._open.append([attrs.get("href", ""), ""])

    def handle_data(self, data):
        for link in self._open:
            link[1] += data

    def handle_endtag(self, tag):
        if tag == "a" and self._open:
            href, text = self._open.pop()
            self.links.append((text.strip(), href))


def parse(markup):
    parser = Links()
    parser.feed(markup)
    return parser


@pytest.fixture(scope="module")
def api_page():
    """The API page as the browser renders it."""
    return parse(chromium("--dump-dom", page_url("api.html")))


@pytest.mark.parametrize("name, target", API_ENTRIES)
def test_api_page_lists_and_links(api_page, name, target):
    hrefs = [href for text, href in api_page.links if text.removesuffix("()") == name]
    assert hrefs, f"the API page shows no link named {name!r}"
    page, _, anchor = hrefs[0].partition("#")
    assert anchor == target
    with open(os.path.join(SITE, urllib.parse.unquote(page)), encoding="utf-8") as f:
        assert target in parse(f.read()).ids, f"{page} documents no {target}"


def test_index_renders_with_every_page_in_its_navigation():
    index = parse(chromium("--dump-dom", page_url("index.html")))
    shown = {text for text, _ in index.links}
    for title in ["Getting started", "Writing a driver", "Quantities", "The waveform codec", "Remote commands and transfers",
                  "Opening terminals", "Platforms", "Behaviour notes", "API reference"]:
        assert title in shown, f"the index does not link {title!r}"


@pytest.mark.parametrize("page", ["index.html", "api.html"])
def test_screenshot(page):
    shot = os.path.join(OUT, page.replace(".html", ".png"))
    if os.path.exists(shot):
        os.remove(shot)
    chromium(f"--screenshot={shot}", "--window-size=1280,900", page_url(page))
    with open(shot, "rb") as f:
        png = f.read()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
