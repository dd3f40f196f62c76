#!/usr/bin/python3
"""The web interface of `quorvale-dat serve` in a real browser.

Writes the sample archive with make_sample_archive, starts `quorvale-dat serve --port 0` on it,
and drives Debian's headless Chromium through Selenium and chromedriver: the overview, filtering
the entry list, a texture, a palette, a surface and a texture list, the gallery's lazy
thumbnails, links and the back button. Pictures are checked as the browser decoded them: their
natural size, and pixels read back from a canvas against the PNG the API serves, decoded here.
Any message the page's JavaScript logs at error level fails the test. The server is stopped with
SIGTERM and must exit with 0.

Run with Debian's interpreter, /usr/bin/python3, which has Debian's python3-selenium; the python3
first on PATH may be another one without it. ctest runs it (tests/CMakeLists.txt):

  /usr/bin/python3 tests/browser/serve_ui_test.py --tool build/ci/tools/cli/quorvale-dat \\
      --sample-writer build/ci/tools/make_sample_archive [--screenshots DIR]

With --screenshots DIR it leaves screenshots of the views there; docs/serve.png is one of them.
"""
import argparse
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request
import zlib

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:
    sys.exit(f"serve_ui_test: {e}: run with /usr/bin/python3 and Debian's python3-selenium "
             "(scripts/install-deps.sh installs it)")


# ------------------------------------------------------------------------------------------------
# PNG files, decoded here so that the browser's pixels have something independent to match.

def decode_png(data):
    """(width, height, rows of (r, g, b, a)) of an 8-bit, non-interlaced PNG of colour type 0, 2,
    3 or 6, the types quorvale-dat writes."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, palette, alphas = 8, b"", [], b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and interlace == 0, "unexpected PNG layout"
        elif kind == b"PLTE":
            palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
        elif kind == b"tRNS":
            alphas = body
        elif kind == b"IDAT":
            idat += body
    channels = {0: 1, 2: 3, 3: 1, 6: 4}[colour]
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        px = []
        for x in range(width):
            v = line[x * channels:(x + 1) * channels]
            if colour == 0:
                px.append((v[0], v[0], v[0], 255))
            elif colour == 2:
                px.append((v[0], v[1], v[2], 255))
            elif colour == 3:
                r, g, b = palette[v[0]]
                px.append((r, g, b, alphas[v[0]] if v[0] < len(alphas) else 255))
            else:
                px.append(tuple(v))
        rows.append(px)
    return width, height, rows


# ------------------------------------------------------------------------------------------------
# The server and the browser

class Server:
    def __init__(self, tool, archive):
        self.proc = subprocess.Popen([tool, "serve", archive, "--port", "0"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        ready, _, _ = select.select([self.proc.stdout], [], [], 30)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("http://127.0.0.1:"):
            self.proc.kill()
            raise RuntimeError(f"the server printed no URL: {line!r} {self.proc.stderr.read()!r}")
        self.url = line.strip().rstrip("/")

    def get(self, path):
        with urllib.request.urlopen(self.url + path, timeout=30) as r:
            return r.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("the server did not stop within 30 s of SIGTERM")
        err = self.proc.stderr.read().decode()
        assert status == 0, f"the server exited with {status}: {err}"
        assert err == "", f"the server wrote to standard error: {err}"


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # The machine's network is closed: nothing may try to reach out, and nothing is downloaded.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1366,900",
                 "--force-device-scale-factor=1", "--lang=en-US"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class UiTest:
    def __init__(self, server, driver, shots):
        self.server, self.d, self.shots = server, driver, shots
        self.wait = WebDriverWait(driver, 15)
        self.checks = 0

    # -- helpers ---------------------------------------------------------------------------------

    def check(self, condition, message):
        self.checks += 1
        if not condition:
            raise AssertionError(message)

    def until(self, what, message):
        # An element found by `what` may be replaced by the page's next render while it looks.
        def attempt(_):
            try:
                return what()
            except StaleElementReferenceException:
                return None
        try:
            return self.wait.until(attempt)
        except TimeoutException:
            raise AssertionError("timed out waiting: " + message) from None

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def path(self):
        return self.js("return location.pathname + location.search")

    def at(self, path):
        self.until(lambda: self.path() == path, f"the URL to become {path} (it is {self.path()})")

    def heading(self):
        return self.js("const h = document.querySelector('main h1'); return h ? h.textContent : ''")

    def click_link(self, text):
        self.d.find_element(By.LINK_TEXT, text).click()

    def image_loaded(self, selector):
        return self.js("""const i = document.querySelector(arguments[0]);
            return i && i.complete && i.naturalWidth > 0 ? [i.naturalWidth, i.naturalHeight] : null""",
                       selector)

    def canvas_pixels(self, selector, points):
        """The pixels at `points` of the image, drawn into a canvas and read back."""
        return self.js("""const i = document.querySelector(arguments[0]);
            const c = document.createElement('canvas');
            c.width = i.naturalWidth; c.height = i.naturalHeight;
            const x = c.getContext('2d');
            x.drawImage(i, 0, 0);
            return arguments[1].map(([px, py]) => Array.from(x.getImageData(px, py, 1, 1).data));""",
                       selector, points)

    def check_pixels(self, selector, api_path):
        """The browser's pixels of the image are those of the PNG the API serves."""
        width, height, rows = decode_png(self.server.get(api_path))
        size = self.until(lambda: self.image_loaded(selector), f"{selector} to load")
        self.check(size == [width, height], f"{selector}: natural size {size}, the PNG is {width}x{height}")
        # Opaque pixels only: a canvas keeps colours premultiplied, which rounds the others.
        points = [(x, y) for y in range(0, height, max(1, height // 7)) for x in range(0, width, max(1, width // 7))
                  if rows[y][x][3] == 255][:40]
        self.check(points, f"{api_path}: no opaque pixel to compare")
        got = self.canvas_pixels(selector, points)
        for (x, y), pixel in zip(points, got):
            self.check(tuple(pixel) == rows[y][x], f"{selector} pixel {x},{y}: {pixel}, the PNG has {rows[y][x]}")
        return rows

    def shot(self, name):
        if self.shots:
            self.d.save_screenshot(os.path.join(self.shots, name))

    # -- the views -------------------------------------------------------------------------------

    def overview(self):
        self.d.get(self.server.url + "/")
        self.until(lambda: self.heading() == "Overview", "the overview")
        self.until(lambda: "No structural problems" in self.d.find_element(By.ID, "verify").text,
                   "the verify result")
        rows = self.d.find_elements(By.CSS_SELECTOR, "main table.list tbody tr")
        self.check(len(rows) == 4, f"{len(rows)} rows of types")
        self.check("134" in rows[2].text and "texture" in rows[2].text, "the textures' count: " + rows[2].text)
        self.check(self.d.find_element(By.ID, "archive-name").text == "client_portal.dat", "the archive's name")
        self.shot("overview.png")

    def entry_list(self):
        self.d.find_element(By.CSS_SELECTOR, "nav a[data-nav=entries]").click()
        self.at("/entries")
        self.until(lambda: "of 422" in self.d.find_element(By.CSS_SELECTOR, ".pager .where").text, "the pager")
        self.check(len(self.d.find_elements(By.CSS_SELECTOR, "#entry-table tbody tr")) == 100, "a page of 100")
        # Paging with the arrow key.
        self.d.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
        self.at("/entries?page=2")
        self.until(lambda: "101–200 of 422" in self.d.find_element(By.CSS_SELECTOR, ".pager .where").text, "page 2")
        # The type filter applies as soon as it is chosen.
        Select(self.d.find_element(By.ID, "filter-type")).select_by_value("0x06")
        self.at("/entries?type=0x06")
        self.until(lambda: "of 134" in self.d.find_element(By.CSS_SELECTOR, ".pager .where").text, "134 textures")
        kinds = {e.text for e in self.d.find_elements(By.CSS_SELECTOR, "#entry-table tbody td:nth-child(2)")}
        self.check(kinds == {"texture"}, f"kinds listed: {kinds}")
        # A range typed in.
        box = self.d.find_element(By.ID, "filter-ids")
        box.clear()
        box.send_keys("0x06000D00-0x06000D0B", Keys.ENTER)
        self.at("/entries?type=0x06&ids=0x06000D00-0x06000D0B")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#entry-table tbody tr")) == 12, "12 entries")
        ids = [e.text for e in self.d.find_elements(By.CSS_SELECTOR, "#entry-table tbody td:first-child")]
        self.check(ids == [f"0x06000D{i:02X}" for i in range(12)], f"ids {ids}")

    def texture(self):
        self.click_link("0x06000D0A")
        self.at("/records/0x06000D0A")
        self.until(lambda: "0x06000D0A" in self.heading(), "the texture page")
        self.check_pixels("#texture-image", "/api/textures/0x06000D0A.png")
        self.check("Dxt5" in self.d.find_element(By.CSS_SELECTOR, "main").text, "the format")
        width = self.js("return document.getElementById('texture-image').getBoundingClientRect().width")
        self.d.find_element(By.TAG_NAME, "body").send_keys("+")
        self.until(lambda: self.js("return document.getElementById('texture-image').getBoundingClientRect().width") > width,
                   "the zoom to grow the image")
        download = self.d.find_element(By.ID, "download")
        self.check(download.get_attribute("download") == "0x06000D0A.png", "the download's name")
        self.check(download.get_attribute("href").endswith("/api/textures/0x06000D0A.png"), "the download's URL")
        # Back to the filtered list, as it was.
        self.d.back()
        self.at("/entries?type=0x06&ids=0x06000D00-0x06000D0B")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#entry-table tbody tr")) == 12,
                   "the filtered list again")
        self.check(self.d.find_element(By.ID, "filter-ids").get_attribute("value") == "0x06000D00-0x06000D0B",
                   "the filter's text again")

    def indexed_texture(self):
        # The go-to box, from the keyboard.
        self.d.find_element(By.TAG_NAME, "body").send_keys("/")
        self.until(lambda: self.js("return document.activeElement.id") == "goto-id", "the go-to box's focus")
        self.d.switch_to.active_element.send_keys("0x06000C30", Keys.ENTER)
        self.at("/records/0x06000C30")
        default = self.check_pixels("#texture-image", "/api/textures/0x06000C30.png")
        box = self.d.find_element(By.ID, "palette-input")
        box.send_keys("0x04000B20", Keys.ENTER)
        self.at("/records/0x06000C30?palette=0x04000B20")
        self.until(lambda: "palette=0x04000B20" in self.d.find_element(By.ID, "texture-image").get_attribute("src"),
                   "the image through the chosen palette")
        other = self.check_pixels("#texture-image", "/api/textures/0x06000C30.png?palette=0x04000B20")
        self.check(other != default, "another palette draws other pixels")
        self.shot("texture.png")

    def palette(self):
        self.click_link("0x0400112A")  # the default palette, linked from the texture page
        self.at("/records/0x0400112A")
        colours = json.loads(self.server.get("/api/records/0x0400112A"))["record"]["colors"]
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#swatches .swatch")) == len(colours),
                   f"{len(colours)} swatches")
        swatches = self.d.find_elements(By.CSS_SELECTOR, "#swatches .swatch")
        ActionChains(self.d).move_to_element(swatches[17]).perform()
        readout = self.d.find_element(By.ID, "swatch-readout")
        self.until(lambda: readout.text.startswith(f"[17] 0x{colours[17]:08X}"), "the hovered colour's value")
        self.check(swatches[17].get_attribute("title").startswith(f"[17] 0x{colours[17]:08X}"), "the swatch's title")
        # From the keyboard: the first swatch, then one to the right and one down.
        swatches[0].send_keys(Keys.ARROW_RIGHT)
        self.until(lambda: readout.text.startswith(f"[1] 0x{colours[1]:08X}"), "the colour to the right")
        self.d.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
        self.until(lambda: readout.text.startswith(f"[17] "), "the colour below")
        # "Used by": the two textures that name it as their default palette.
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#used-by li")) == 2, "two referrers")
        used = self.d.find_element(By.ID, "used-by").text
        self.check("0x06000C30" in used and "default_palette_id" in used, "the referrers: " + used)
        self.shot("palette.png")

    def surface(self):
        self.d.get(self.server.url + "/records/0x080003E4")
        self.until(lambda: "0x080003E4" in self.heading(), "the surface page")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#surface-textures img")) == 2, "its two textures")
        for n in (1, 2):
            sel = f"#surface-textures figure:nth-child({n}) img"
            src = self.d.find_element(By.CSS_SELECTOR, sel).get_attribute("src")
            self.check("palette=0x04000B20" in src, f"texture {n} drawn through the surface's palette: {src}")
            self.check_pixels(sel, src[len(self.server.url):])
        text = self.d.find_element(By.CSS_SELECTOR, "main").text
        self.check("translucency" in text and "0.1" in text, "the surface's fields")
        self.shot("surface.png")
        # Its texture list, which the surface refers to.
        self.click_link("0x05000A10")
        self.at("/records/0x05000A10")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#list-textures .tile")) == 2, "the list's textures")
        self.until(lambda: "0x080003E4" in self.d.find_element(By.ID, "used-by").text, "the surface among the referrers")
        self.d.back()
        self.at("/records/0x080003E4")
        self.until(lambda: "0x080003E4" in self.heading(), "the surface page again")

    def gallery(self):
        self.d.find_element(By.CSS_SELECTOR, "nav a[data-nav=gallery]").click()
        self.at("/gallery")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#gallery .tile")) == 120, "120 tiles")
        self.until(lambda: self.image_loaded("#gallery .tile:first-child img"), "the first thumbnail")
        # Thumbnails load as they come into view: the last is not asked for until scrolled to.
        last = "#gallery .tile:last-child img"
        self.check(self.js(f"return document.querySelector('{last}').getAttribute('src')") is None,
                   "the last thumbnail was loaded before it came into view")
        # Every visible thumbnail loads and fits the tile's size.
        self.until(lambda: self.js("""return [...document.querySelectorAll('#gallery img[src]')]
            .every(i => i.complete && i.naturalWidth > 0 && i.naturalWidth <= 128 && i.naturalHeight <= 128)"""),
                   "the visible thumbnails")
        self.shot("gallery.png")
        self.js(f"document.querySelector('{last}').scrollIntoView()")
        self.until(lambda: self.image_loaded(last), "the last thumbnail after scrolling")
        self.js("window.scrollTo(0, 0)")
        self.d.find_element(By.CSS_SELECTOR, "[data-page=next]").click()
        self.at("/gallery?page=2")
        self.until(lambda: len(self.d.find_elements(By.CSS_SELECTOR, "#gallery .tile")) == 14, "the 14 on page 2")

    def console(self):
        errors = [e for e in self.d.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
        self.check(not errors, "the page logged errors: " + json.dumps(errors, indent=1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True, help="quorvale-dat")
    parser.add_argument("--sample-writer", required=True, help="make_sample_archive")
    parser.add_argument("--screenshots", help="a directory for screenshots of the views")
    args = parser.parse_args()
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            sys.exit(f"serve_ui_test: {program} is missing (Debian's chromium and chromium-driver; "
                     "scripts/install-deps.sh installs them)")
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)

    work = tempfile.mkdtemp(prefix="serve_ui_test.")
    server = driver = None
    try:
        archive = os.path.join(work, "client_portal.dat")
        subprocess.run([args.sample_writer, archive], check=True, stdout=subprocess.DEVNULL)
        server = Server(args.tool, archive)
        driver = start_browser(os.path.join(work, "profile"))
        test = UiTest(server, driver, args.screenshots)
        for step in (test.overview, test.entry_list, test.texture, test.indexed_texture, test.palette,
                     test.surface, test.gallery, test.console):
            step()
            print(f"ok  {step.__name__}")
        driver.quit()
        driver = None
        server.stop()
        server = None
        print(f"serve_ui_test: {test.checks} checks passed")
        return 0
    except AssertionError as e:
        print(f"FAILED: {e}", file=sys.stderr)
        traceback.print_exc()
        if driver and args.screenshots:
            driver.save_screenshot(os.path.join(args.screenshots, "failure.png"))
        return 1
    finally:
        if driver:
            driver.quit()
        if server:
            server.proc.kill()
            server.proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
