#!/usr/bin/env python3
"""The headless demo tour: drives lumora-desktop under Xvfb the way a person
would (keys through XTEST, the browser through ChromeDriver), checks what
each step leaves on the machine, saves a screenshot of every step and prints
a short transcript. Writes the outcome as JSON; exits 0 when every check held.
"""
import argparse
import base64
import hashlib
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

STATUS_FILE = "/tmp/lumora-host-status.txt"
CONNECTED = "Connected — Lumora is available in Finder."


def png_bytes(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def xwd_rows(data):
    """A 24/32-bit TrueColor ZPixmap dump, as xwd writes for Xvfb: RGB rows."""
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bpp, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
    if bpp not in (24, 32):
        raise ValueError(f"unsupported xwd depth {bpp}")
    step = bpp // 8
    offset = header_size + ncolors * 12
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        if byte_order == 0:  # LSBFirst: B G R (X)
            b, g, r = line[0::step], line[1::step], line[2::step]
        else:  # MSBFirst: (X) R G B
            r, g, b = line[step - 3::step], line[step - 2::step], line[step - 1::step]
        row = bytearray(width * 3)
        row[0::3], row[1::3], row[2::3] = r, g, b
        rows.append(bytes(row))
    return width, height, rows


def xwd_to_png(data):
    return png_bytes(*xwd_rows(data))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Browser:
    """Headless Chromium through ChromeDriver's W3C protocol."""

    def __init__(self, workdir):
        self.port = free_port()
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=workdir)
        self.driver = subprocess.Popen(["chromedriver", f"--port={self.port}"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.base = f"http://127.0.0.1:{self.port}"
        deadline = time.time() + 20
        while True:
            try:
                self._call("GET", "/status")
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run",
                "--ignore-certificate-errors", f"--user-data-dir={self.profile}", "--window-size=900,700"]
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": shutil.which("chromium") or "/usr/bin/chromium", "args": args}}}}
        self.session = self._call("POST", "/session", caps)["value"]["sessionId"]

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as res:
            return json.loads(res.read() or b"{}")

    def s(self, method, path, body=None):
        return self._call(method, f"/session/{self.session}{path}", body)

    def open(self, url):
        self.s("POST", "/url", {"url": url})

    def find(self, css, timeout=10):
        deadline = time.time() + timeout
        while True:
            try:
                found = self.s("POST", "/element", {"using": "css selector", "value": css})["value"]
                return next(iter(found.values()))
            except urllib.error.HTTPError:
                if time.time() > deadline:
                    return None
                time.sleep(0.1)

    def type(self, element, text):
        self.s("POST", f"/element/{element}/value", {"text": text})

    def click(self, element):
        self.s("POST", f"/element/{element}/click", {})

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.s("GET", "/screenshot")["value"]))

    def close(self):
        try:
            self.s("DELETE", "")
        except OSError:
            pass
        self.driver.terminate()
        self.driver.wait(10)
        shutil.rmtree(self.profile, ignore_errors=True)


class Tour:
    def __init__(self, args):
        self.args = args
        self.home = args.home
        self.checks = {}
        self.shot = 0
        os.makedirs(args.shots, exist_ok=True)
        self.started = time.time()

    # -- the machine -------------------------------------------------------
    def say(self, text):
        print(f"tour: {text}", flush=True)

    def check(self, name, ok, detail=""):
        self.checks[name] = bool(ok)
        self.say(f"[{'ok' if ok else 'FAILED'}] {name}{' — ' + detail if detail else ''}")
        return ok

    def screenshot(self, name):
        self.shot += 1
        path = os.path.join(self.args.shots, f"{self.shot:02d}-{name}.png")
        try:
            dump = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True).stdout
            with open(path, "wb") as f:
                f.write(xwd_to_png(dump))
        except (OSError, subprocess.CalledProcessError, ValueError) as e:
            self.say(f"no screenshot {name}: {e}")

    def xdo(self, *words):
        return subprocess.run(["xdotool", *words], capture_output=True, text=True).stdout.split()

    def wait(self, predicate, timeout, interval=0.1):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(interval)
        return predicate()

    def window(self, title="Lumora", timeout=20):
        ids = self.wait(lambda: self.xdo("search", "--onlyvisible", "--name", f"^{title}$"), timeout)
        return ids[-1] if ids else None

    def refocus(self, window):
        root = subprocess.run(["xwininfo", "-root"], capture_output=True, text=True).stdout
        root_id = next((w for w in root.split() if w.startswith("0x")), None)
        if root_id:
            self.xdo("windowfocus", root_id)
            time.sleep(0.2)
        self.xdo("windowfocus", "--sync", window)
        time.sleep(0.3)

    def pixels(self):
        dump = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True).stdout
        width, height, rows = xwd_rows(dump)
        return lambda x, y: tuple(rows[y][3 * x: 3 * x + 3]) if 0 <= x < width and 0 <= y < height else None

    def geometry(self, window):
        """The window's inside on the screen. xwininfo, because xdotool
        counts the frame of a reparenting window manager twice."""
        out = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
        g = {k.strip(): v.strip() for k, _, v in (l.partition(":") for l in out.splitlines())}
        return (int(g["Absolute upper-left X"]), int(g["Absolute upper-left Y"]),
                int(g["Width"]), int(g["Height"]))

    def cards(self, window):
        """The control plane's rounded cards, top to bottom, as (top, bottom)
        rows: found down a column just inside the cards' left edge."""
        px = self.pixels()
        x0, y0, w, h = self.geometry(window)
        runs, start = [], None
        for y in range(y0, y0 + h):
            p = px(x0 + 30, y)
            dark = p is not None and max(p) < 215
            if dark and start is None:
                start = y
            elif not dark and start is not None:
                if y - start > 40:
                    runs.append((start, y))
                start = None
        return runs, px

    def green_centre(self, px, left, right, top, bottom):
        hits = [(x, y) for y in range(top, bottom, 2) for x in range(left, right, 3)
                if (p := px(x, y)) and p[1] > 150 and p[1] > p[0] + 60 and p[1] > p[2] + 40]
        if not hits:
            return None
        first = min(h[1] for h in hits)
        hits = [h for h in hits if h[1] <= first + 30]  # the topmost control only
        xs, ys = [h[0] for h in hits], [h[1] for h in hits]
        return (min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2

    def click(self, x, y):
        self.xdo("mousemove", str(x), str(y))
        time.sleep(0.1)
        self.xdo("click", "1")
        time.sleep(0.2)

    def keys(self, *keys):
        for k in keys:
            self.xdo("key", k)
            time.sleep(0.15)

    def desktop_alive(self):
        try:
            os.kill(self.args.desktop_pid, 0)
            return True
        except OSError:
            return False

    # -- the steps ---------------------------------------------------------
    def sign_in(self):
        win = self.window()
        if not self.check("window shown", win):
            return False
        self.screenshot("welcome")
        self.refocus(win)
        self.keys("space")  # "Get started" is the welcome screen's one control
        url = self.wait(lambda: self._signin_url(), 30)
        self.screenshot("waiting-for-browser")
        if not self.check("login opened the sign-in page", url, url or "no address handed to the browser"):
            return False
        browser = Browser(os.path.dirname(self.args.shots))
        try:
            browser.open(url)
            user = browser.find("#user")
            if user:
                browser.type(user, self.args.signin_user)
                browser.type(browser.find("#password"), os.environ.get("LUMORA_TOUR_PASSWORD", ""))
            button = browser.find("#confirm")
            self.shot += 1
            browser.screenshot(os.path.join(self.args.shots, f"{self.shot:02d}-signin-page.png"))
            if not self.check("sign-in page asks for name and password", user and button):
                return False
            browser.click(button)
            done = browser.find("#signed-in")
            self.shot += 1
            browser.screenshot(os.path.join(self.args.shots, f"{self.shot:02d}-signed-in-page.png"))
            self.check("sign-in confirmed in Chromium", done)
        finally:
            browser.close()
        token = os.path.join(self.home, ".lumora/auth/token")
        self.check("token written by the tool", self.wait(lambda: os.path.exists(token), 20))
        status = self.wait(self._fresh_status, 60)
        self.screenshot("connected")
        return self.check("status file reads connected", status == CONNECTED, repr(status))

    def _signin_url(self):
        try:
            with open(self.args.signin_urls) as f:
                lines = [l.strip() for l in f if l.strip()]
            return lines[-1] if lines else None
        except OSError:
            return None

    def _fresh_status(self):
        try:
            if os.path.getmtime(STATUS_FILE) + 1 < self.started:
                return None
            with open(STATUS_FILE, encoding="utf-8") as f:
                text = f.read()
            return text if text.startswith("Connected") or "failed" in text else None
        except OSError:
            return None

    def mount(self):
        mount = os.path.join(self.home, "Lumora")
        sample = self.args.sample

        def tree(top):
            out = set()
            for dirpath, dirs, files in os.walk(top):
                rel = os.path.relpath(dirpath, top)
                out.update(os.path.normpath(os.path.join(rel, n)) for n in dirs + files)
            return out

        expected = tree(sample)
        listed = self.wait(lambda: os.path.ismount(os.path.realpath(mount)) and tree(mount) == expected and expected, 30, 0.5)
        self.check("mount lists the sample tree", listed, f"{len(expected)} names under {mount}")
        ok = True
        for rel in ["Documents/Reports/2024/report.pdf", "Pictures/Holiday/beach.png", "Videos/large.bin"]:
            def digest(path):
                h = hashlib.sha256()
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        h.update(block)
                return h.hexdigest()
            try:
                same = digest(os.path.join(mount, rel)) == digest(os.path.join(sample, rel))
            except OSError as e:
                same = False
                self.say(f"reading {rel}: {e}")
            ok = self.check(f"read through the mount equals its source: {rel}", same) and ok
        self.screenshot("files-listed")
        return ok

    def switches(self):
        win = self.window()
        cfg = os.environ.get("XDG_CONFIG_HOME", os.path.join(self.home, ".config"))
        units = os.path.join(cfg, "systemd/user")
        def disk_on():
            out = subprocess.run(["systemctl", "--user", "list-units", "--type=service", "--state=active",
                                  "--plain", "--no-legend"], capture_output=True, text=True).stdout
            return "com.lumora.mirror" in out and "com.lumora.evict" in out

        markers = [
            ("disk", disk_on),
            ("memory", lambda: os.path.exists(os.path.join(units, "com.lumora.swap.service"))),
            ("compute", lambda: os.path.exists(os.path.join(self.home, ".lumora/box/state.json"))),
            ("gpu", lambda: os.path.exists(os.path.join(self.home, ".lumora/state/gpu-host"))),
        ]
        runs, _ = self.cards(win)
        if not self.check("control plane shows four switches and the card", len(runs) == 5,
                          f"{len(runs)} cards found"):
            return False
        x0 = self.geometry(win)[0]
        ok = True
        for index, (name, is_on) in enumerate(markers):
            # Rows grow when a switch is on (wider pill, wrapped text): find
            # the switch afresh before every click.
            def switch():
                top, bottom = self.cards(win)[0][index]
                return x0 + 62, (top + bottom) // 2
            self.click(*switch())
            on = self.wait(is_on, 15)
            time.sleep(4.5)  # the re-detection after the command settles the switch
            self.screenshot(f"{name}-on")
            self.click(*switch())
            off = self.wait(lambda: not is_on(), 15)
            time.sleep(4.5)
            self.screenshot(f"{name}-off")
            ok = self.check(f"{name} switch turns its feature on and off", on and off) and ok
        return ok

    def checkpoint(self):
        win = self.window()
        store = os.path.join(self.home, ".lumora/checkpoints")
        def buttons():
            """Both buttons of the checkpoint card, found afresh: the card
            grows with its message and the window manager may move the
            window to keep it on the screen."""
            runs, px = self.cards(win)
            x0, _, w, _ = self.geometry(win)
            top, bottom = runs[-1]
            save = self.green_centre(px, x0 + 24, x0 + w - 24, top, bottom)
            # The two buttons share the row equally.
            return (save, (x0 + w - (save[0] - x0), save[1])) if save else (None, None)

        save, _ = buttons()
        if not self.check("checkpoint card shows its buttons", save):
            return False
        self.click(*save)
        saved = self.wait(lambda: [d for d in os.listdir(store) if not d.startswith(".")]
                          if os.path.isdir(store) else None, 30)
        time.sleep(1)
        self.screenshot("checkpoint-saved")
        if not self.check("checkpoint saved", saved, ", ".join(saved or [])):
            return False
        notes = os.path.join(self.home, "Documents/notes.txt")
        with open(notes, encoding="utf-8") as f:
            before = f.read()
        with open(notes, "w", encoding="utf-8") as f:
            f.write("Changed after the checkpoint.\n")
        _, go_back = buttons()
        if not self.check("go-back button found after saving", go_back):
            return False
        self.click(*go_back)
        sheet = self.window("Go back in time", 15)
        self.screenshot("go-back-sheet")
        if not self.check("restore sheet opened", sheet):
            return False
        sx, sy, sw, sh = self.geometry(sheet)
        # The first item's "Restore", once the sheet is drawn.
        restore = self.wait(lambda: self.green_centre(self.pixels(), sx, sx + sw, sy, sy + sh), 10, 0.5)
        if not self.check("restore sheet drawn with a Restore button", restore):
            return False
        restored = notes + ".restored"
        self.click(*restore)
        ok = self.wait(lambda: os.path.exists(restored), 30)
        time.sleep(1)
        self.screenshot("restored")
        with open(restored, encoding="utf-8") if ok else open(os.devnull) as f:
            content = f.read()
        return self.check("a .restored copy appears beside the file", ok and content == before,
                          restored)

    def run(self):
        try:
            if self.sign_in():
                self.mount()
                self.switches()
                self.checkpoint()
        except Exception as e:  # the transcript says what broke; the outcome is failure
            self.check("tour ran to its end", False, f"{type(e).__name__}: {e}")
        self.check("window still running", self.desktop_alive())
        ok = bool(self.checks) and all(self.checks.values())
        with open(self.args.result, "w", encoding="utf-8") as f:
            json.dump({"ok": ok, "checks": self.checks, "screenshots": self.args.shots}, f, indent=2)
        self.say(f"{sum(self.checks.values())} passed, {len(self.checks) - sum(self.checks.values())} failed")
        return 0 if ok else 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--home", required=True)
    p.add_argument("--sample", required=True)
    p.add_argument("--shots", required=True)
    p.add_argument("--signin-urls", required=True)
    p.add_argument("--signin-user", required=True)
    p.add_argument("--desktop-pid", type=int, required=True)
    p.add_argument("--result", required=True)
    return Tour(p.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
