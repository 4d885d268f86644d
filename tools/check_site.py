"""Checks the built documentation site in headless Chromium.

    python tools/check_site.py SITE_DIR SCREENSHOT_DIR [CHROMIUM]

Serves SITE_DIR over HTTP on the loopback interface, loads each main page in
headless Chromium, kept offline (every host name but the loopback address fails
to resolve), and fails when
  - a page does not render: no DOM comes back, its article lacks the expected
    heading, or its screenshot is missing or a single colour;
  - a link or image inside the site leads nowhere: the target is not served,
    or its #fragment names no element of the target page;
  - anything asked of the server could not be served (a style sheet, script
    or image the pages need, or a link's target);
  - a page loads anything from another host (a font, style sheet, script or
    image), which an offline reader would miss and every reader's browser would
    fetch from a third party;
  - a code block with >>> prompts lacks the text its copy button copies
    instead of the block's own (data-copy, written by the MkDocs hooks), or
    that text holds a prompt;
  - the site's search, typed into as a reader types, does not list a page for
    a word its readers look for (the calls a porter knows from other
    libraries, for the porting page).
Screenshots of the pages, at a desktop and at a phone width, are written to
SCREENSHOT_DIR: NAME.png and NAME-phone.png, and for the places a page names,
NAME-PLACE.png and NAME-PLACE-phone.png scrolled to that element.
"""

import base64
import functools
import html.parser
import json
import os
import http.server
import pathlib
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import urllib.error
import urllib.parse
import urllib.request
import zlib

# Page path within the site, expected first heading, screenshot name, and the
# ids of the elements to take further screenshots at (the figures, for one).
PAGES = [
    ("", "quorvel", "home", ()),
    ("guide/", "Guide", "guide", ()),
    ("reference/", "Reference", "reference", ()),
    ("benchmarks/", "Benchmarks", "benchmarks",
     ("time-against-the-peers", "memory-held-per-value", "figures",
      "where-quorvel-is-slower-and-why")),
    ("porting/", "Coming from sortedcontainers", "porting",
     ("calls-side-by-side-with-their-complexity", "set-operations-union-and-co-issubset-and-co",
      "javas-treeset-and-cs-stdset")),
]
# Words typed into the site's search, and the page each must list among its results.
SEARCHES = [(word, "porting/") for word in ("pop", "union", "bisect", "irange", "islice",
                                            "complexity")]
# Viewports in CSS pixels and device pixel ratios: a desktop, and a phone
# (390 wide, drawn at twice the density, as phones draw).
VIEWS = [("", 1280, 1600, 1), ("-phone", 390, 844, 2)]
BROWSER_TIMEOUT = 120
# Offline: a page that needs another host shows it as a reader without one would.
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--hide-scrollbars", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]
# Elements whose address the browser fetches as part of the page, not as a
# link the reader may follow.
RESOURCE_ATTRIBUTES = {"img": ("src", "srcset"), "source": ("src", "srcset"),
                       "script": ("src",), "iframe": ("src",), "video": ("src", "poster"),
                       "audio": ("src",), "embed": ("src",), "object": ("data",)}


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root):
        self.missing = []
        handler = functools.partial(QuietHandler, directory=str(root))
        super().__init__(("127.0.0.1", 0), handler)


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def send_error(self, code, message=None, explain=None):
        self.server.missing.append((code, self.path))
        super().send_error(code, message, explain)


class PageParser(html.parser.HTMLParser):
    """Collects element ids, link and image targets, the addresses the page loads
    (style sheets, fonts, scripts, images) and the article's first heading."""

    def __init__(self):
        super().__init__()
        self.ids, self.targets, self.resources = set(), [], []
        # Code blocks with prompts: the copy text of each, or None.
        self.prompted_copies = []
        self._div_depth, self._block, self._in_prompt = 0, None, False
        self.in_article = self.in_heading = False
        self.heading = None
        self._text = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        if tag == "a" and attrs.get("href"):
            self.targets.append(attrs["href"])
        if tag == "img" and attrs.get("src"):
            self.targets.append(attrs["src"])
        for name in RESOURCE_ATTRIBUTES.get(tag, ()):
            if attrs.get(name):
                # A srcset lists "address width-or-density" candidates.
                candidates = attrs[name].split(",") if name == "srcset" else [attrs[name]]
                self.resources += [c.split()[0] for c in candidates if c.strip()]
        # Every <link> but a plain hyperlink (rel="alternate", "next", ...) is
        # fetched or connected to: style sheets, icons, preconnect, preload.
        rel = set((attrs.get("rel") or "").lower().split())
        if tag == "link" and attrs.get("href") and rel - {"alternate", "canonical", "next",
                                                          "prev", "search", "author", "license"}:
            self.resources.append(attrs["href"])
        classes = (attrs.get("class") or "").split()
        if tag == "div":
            self._div_depth += 1
            if "highlight" in classes and self._block is None:
                self._block = {"depth": self._div_depth, "copy": attrs.get("data-copy"),
                               "prompted": False}
        self._in_prompt = tag == "span" and "gp" in classes
        if tag == "article":
            self.in_article = True
        if tag == "h1" and self.in_article and self.heading is None:
            self.in_heading, self._text = True, []

    def handle_endtag(self, tag):
        if tag == "div":
            if self._block and self._block["depth"] == self._div_depth:
                if self._block["prompted"]:
                    self.prompted_copies.append(self._block["copy"])
                self._block = None
            self._div_depth -= 1
        self._in_prompt = False
        if tag == "h1" and self.in_heading:
            self.in_heading = False
            self.heading = "".join(self._text).strip()

    def handle_data(self, data):
        if self._in_prompt and self._block and data.startswith(">>>"):
            self._block["prompted"] = True
        if self.in_heading:
            self._text.append(data)


def parse(text):
    parser = PageParser()
    parser.feed(text)
    return parser


def chromium(browser, profile, *arguments):
    command = [browser, *BROWSER_FLAGS, f"--user-data-dir={profile}", "--virtual-time-budget=5000",
               *arguments]
    return subprocess.run(command, capture_output=True, text=True, timeout=BROWSER_TIMEOUT)


class DevTools:
    """Headless Chromium driven through its DevTools pipe, for screenshots of a
    page scrolled to an element (its --screenshot flag draws a blank page
    when the address has a #fragment)."""

    def __init__(self, browser, profile):
        commands_read, self._commands = os.pipe()
        self._replies, replies_write = os.pipe()

        def wire():  # in the child: the browser reads fd 3 and writes fd 4
            os.dup2(commands_read, 100)
            os.dup2(replies_write, 101)
            os.dup2(100, 3)
            os.dup2(101, 4)
        # Started before the server's thread: preexec_fn runs between fork and exec.
        self.process = subprocess.Popen(
            [browser, *BROWSER_FLAGS, f"--user-data-dir={profile}", "--remote-debugging-pipe",
             "about:blank"],
            preexec_fn=wire, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(replies_write)
        self._buffer, self._last_id, self._events = b"", 0, []

    def close(self):
        os.close(self._commands)
        self.process.kill()
        self.process.wait()
        os.close(self._replies)

    def _receive(self):
        while b"\0" not in self._buffer:
            if not select.select([self._replies], [], [], BROWSER_TIMEOUT)[0]:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self._replies, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed its DevTools pipe")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def send(self, method, session=None, **params):
        self._last_id += 1
        message = {"id": self._last_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._receive()
            if reply.get("id") == self._last_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error'].get('message')}")
                return reply.get("result", {})
            self._events.append(reply)

    def wait_for(self, event, session):
        while True:
            found = next((e for e in self._events
                          if e.get("method") == event and e.get("sessionId") == session), None)
            if found is not None:
                self._events.remove(found)
                return found
            self._events.append(self._receive())

    def search(self, url, word):
        """The addresses the search of the page at `url` lists for `word`, typed into
        the search box as a reader types it, or None when the page has no search box."""
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        try:
            self.send("Page.enable", session)
            self.send("Page.navigate", session, url=url)
            self.wait_for("Page.loadEventFired", session)
            # The theme reads the query on keyup; its results come from a worker that
            # may still be loading the index, so they are waited for (ten seconds at most).
            script = """new Promise(done => {
                const input = document.querySelector("input.md-search__input");
                if (!input) { done(null); return; }
                input.focus();
                input.value = %s;
                input.dispatchEvent(new KeyboardEvent("keyup"));
                const start = Date.now();
                (function settle() {
                    const links = Array.from(
                        document.querySelectorAll(".md-search-result__item > a"), link => link.href);
                    if (links.length || Date.now() - start > 10000) done(links);
                    else setTimeout(settle, 100);
                })();
            })""" % json.dumps(word)
            reply = self.send("Runtime.evaluate", session, expression=script, awaitPromise=True,
                              returnByValue=True)
            return reply["result"].get("value")
        finally:
            self.send("Target.closeTarget", targetId=target)

    def screenshot(self, url, place, width, height, density):
        """PNG bytes of the viewport, scrolled to the element with id `place` if given,
        once the images in view have loaded (or five seconds have passed)."""
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        try:
            self.send("Emulation.setDeviceMetricsOverride", session, width=width, height=height,
                      deviceScaleFactor=density, mobile=density > 1)
            self.send("Page.enable", session)
            self.send("Page.navigate", session, url=url)
            self.wait_for("Page.loadEventFired", session)
            script = """new Promise(done => {
                const place = document.getElementById(%s);
                if (place) place.scrollIntoView();
                const start = Date.now();
                (function settle() {
                    const waiting = Array.from(document.images).some(image => !image.complete
                        && image.getBoundingClientRect().top < innerHeight
                        && image.getBoundingClientRect().bottom > 0);
                    if (waiting && Date.now() - start < 5000) setTimeout(settle, 100);
                    else setTimeout(done, 300);
                })();
            })""" % json.dumps(place)
            self.send("Runtime.evaluate", session, expression=script, awaitPromise=True)
            return base64.b64decode(self.send("Page.captureScreenshot", session, format="png")["data"])
        finally:
            self.send("Target.closeTarget", targetId=target)


def png_rows(path):
    """The number of distinct rows of a PNG image; a blank image has one or two."""
    data = path.read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return 0
    position, chunks, height = 8, [], 0
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            height = struct.unpack(">I", body[4:8])[0]
        elif kind == b"IDAT":
            chunks.append(body)
        position += 12 + length
    raw = zlib.decompress(b"".join(chunks))
    if not height:
        return 0
    stride = len(raw) // height  # one filter byte and the row's pixels
    return len({raw[i:i + stride] for i in range(0, len(raw), stride)})


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, response.read().decode("utf-8", "replace")
    except urllib.error.HTTPError as error:
        return error.code, ""


def check(site, shots, browser):
    failures = []
    server = Server(site)
    profile = tempfile.mkdtemp(prefix="quorvel-chromium.")
    devtools = DevTools(browser, tempfile.mkdtemp(dir=profile))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    pages = {}
    try:
        for path, heading, name, places in PAGES:
            url = urllib.parse.urljoin(base, path)
            result = chromium(browser, profile, "--dump-dom", url)
            page = parse(result.stdout)
            if result.returncode != 0 or not result.stdout.strip():
                failures.append(f"{url}: Chromium returned no page (exit {result.returncode}): "
                                f"{result.stderr.strip()[-500:]}")
                continue
            if page.heading is None or not page.heading.startswith(heading):
                failures.append(f"{url}: expected the heading {heading!r}, found {page.heading!r}")
            pages[url] = page
            failures += [f"{url}: loads {address} from another host"
                         for address in sorted(set(page.resources)) if outside(base, url, address)]
            for copied in page.prompted_copies:
                if not copied or re.search(r"^(>>>|\.\.\.)( |$)", copied, re.M):
                    what = repr(copied) if copied else "the prompts and output with the code"
                    failures.append(f"{url}: a code block's copy button would copy {what}")
            for place in ("", *places):
                if place and place not in page.ids:
                    failures.append(f"{url}: no element with the id {place!r} to take a screenshot at")
                    continue
                for suffix, width, height, density in VIEWS:
                    shot = shots / f"{name}{'-' + place if place else ''}{suffix}.png"
                    failures += screenshot(devtools, url, place, shot, width, height, density)
        failures += check_links(base, pages)
        failures += check_search(devtools, base)
        failures += [f"the site has no {path} ({code}), which a page or link asked for"
                     for code, path in sorted(set(server.missing))]
    finally:
        devtools.close()
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    return failures


def outside(base, url, address):
    """Whether a page at `url` fetching `address` asks a host other than the site's."""
    resolved = urllib.parse.urljoin(url, address)
    return urllib.parse.urlsplit(resolved).scheme in ("http", "https") and not resolved.startswith(base)


def screenshot(devtools, url, place, shot, width, height, density):
    where = url + (f"#{place}" if place else "")
    shot.unlink(missing_ok=True)
    try:
        shot.write_bytes(devtools.screenshot(url, place, width, height, density))
    except (OSError, RuntimeError) as error:  # TimeoutError is an OSError
        return [f"{where}: no screenshot: {error}"]
    if png_rows(shot) < 10:
        return [f"{where}: the screenshot {shot} is blank"]
    print(f"rendered {where} at {width}x{height} -> {shot}")
    return []


def check_search(devtools, base):
    failures = []
    for word, path in SEARCHES:
        page = urllib.parse.urljoin(base, path)
        try:
            links = devtools.search(base, word)  # typed on the home page
        except (OSError, RuntimeError) as error:  # TimeoutError is an OSError
            failures.append(f"{base}: could not search for {word!r}: {error}")
            continue
        listed = sorted({link.partition("#")[0] for link in links or ()})
        if links is None:
            failures.append(f"{base}: no search box to type {word!r} into")
        elif page not in listed:
            failures.append(f"the search for {word!r} does not list {page} (it lists {listed})")
        else:
            print(f"searched for {word!r}: {len(listed)} pages, {page} among them")
    return failures


def check_links(base, pages):
    failures, targets_seen = [], {}
    for url, page in pages.items():
        for target in page.targets:
            resolved = urllib.parse.urljoin(url, target)
            if not resolved.startswith(base):
                continue  # outside the site
            document, _, fragment = resolved.partition("#")
            if document not in targets_seen:
                targets_seen[document] = fetch(document)
            status, text = targets_seen[document]
            if status != 200:
                failures.append(f"{url}: the link {target!r} leads to {status}")
            elif fragment and urllib.parse.unquote(fragment) not in parse(text).ids:
                failures.append(f"{url}: the link {target!r} names no element of its page")
    print(f"checked {sum(len(p.targets) for p in pages.values())} links and images on {len(pages)} pages")
    return failures


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    site, shots = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    browser = argv[3] if len(argv) == 4 else shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("no Chromium found", file=sys.stderr)
        return 2
    shots.mkdir(parents=True, exist_ok=True)
    failures = check(site, shots, browser)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
