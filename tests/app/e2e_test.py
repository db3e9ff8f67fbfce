"""End-to-end tests: the quarrydesk-client program against the demo server.

Usage: e2e_test.py CLIENT DEMO_SERVER GROUP   (GROUP: a TestCase class of this file)

Needs a display of its own (DISPLAY, 1920x1080x24, no window manager): the
tests take screenshots of it. Each test makes an H.264 stream of colour bars
with ffmpeg, starts the demo server on a free port and the client signed in
to it, waits for the log lines of every stage up to decoded pictures, and
compares the picture on the screen inside the page's canvas with ffmpeg's
own decode of the stream. The client is ended with SIGTERM.
"""
import ctypes
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

from program_test import Home

CLIENT = None
SERVER = None
TIMEOUT = 120
SCREEN = (1920, 1080)
WIDTH, HEIGHT = 320, 240
# Level differences allowed between the client's colour conversion and ffmpeg's.
TOLERANCE = 6
# Sample points of ffmpeg's smptebars picture, in its flat areas away from
# their edges (chroma is subsampled): the seven bars at the top row and the
# middle, the lower blocks at the bottom row.
BAR = WIDTH / 7
SAMPLES = ([(int((i + 0.5) * BAR), 2) for i in range(7)] + [(int((i + 0.5) * BAR), HEIGHT // 3) for i in range(7)] +
           [(int(i * BAR), HEIGHT - 3) for i in (0.5, 1.5, 3.5, 4.5, 6.5)])
# Points just outside the picture, each with the inside sample beside it:
# they must not show the picture's colour there (above: the page's toolbar;
# right and below: the window's background).
OUTSIDE = [((SAMPLES[0][0], -3), SAMPLES[0]), ((WIDTH + 3, HEIGHT // 3), SAMPLES[13]),
           ((SAMPLES[14][0], HEIGHT + 3), SAMPLES[14])]

LIBAV_OFF = "<config><Client><Decoder><LibAVH264><enabled>false</enabled></LibAVH264></Decoder></Client></config>"


def make_stream(path, profile="baseline", pix_fmt="yuv420p", keyint=25, seconds=3, negate_from=None):
    """Colour bars (from picture negate_from on their negative) as Annex-B
    H.264 with a delimiter before every access unit."""
    filters = ["-vf", "negate=enable='gte(n,%d)'" % negate_from] if negate_from is not None else []
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "smptebars=size=%dx%d:rate=25:duration=%d" % (WIDTH, HEIGHT, seconds), *filters,
                    "-c:v", "libx264", "-profile:v", profile, "-pix_fmt", pix_fmt, "-preset", "veryfast",
                    "-g", str(keyint), "-keyint_min", str(keyint), "-sc_threshold", "0", "-bf", "0",
                    "-x264-params", "aud=1", "-f", "h264", path], check=True, capture_output=True)


def reference_colours(path, picture=0):
    """ffmpeg's decode of one picture of the stream at the sample points."""
    raw = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-i", path, "-vf",
                          "select=eq(n\\,%d)" % picture, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    assert len(raw) == WIDTH * HEIGHT * 3
    return [tuple(raw[(y * WIDTH + x) * 3:(y * WIDTH + x) * 3 + 3]) for x, y in SAMPLES]


def access_units(data):
    """Splits an Annex-B stream before each access unit delimiter."""
    starts = [m.start() for m in re.finditer(rb"\x00\x00\x00\x01\x09", data)]
    assert starts and starts[0] == 0
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def cut_pictures(path, first, last):
    """Leaves only the delimiter (the first six bytes) of the access units
    first..last: the decoder gets no picture from them."""
    with open(path, "rb") as f:
        units = access_units(f.read())
    assert last < len(units)
    with open(path, "wb") as f:
        f.write(b"".join(unit[:6] if first <= i <= last else unit for i, unit in enumerate(units)))


def screenshot():
    raw = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-video_size",
                          "%dx%d" % SCREEN, "-i", os.environ["DISPLAY"], "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True, timeout=60).stdout
    assert len(raw) == SCREEN[0] * SCREEN[1] * 3
    return raw


def near(colour, other):
    return all(abs(a - b) <= TOLERANCE for a, b in zip(colour, other))


def pixel(shot, x, y):
    if not (0 <= x < SCREEN[0] and 0 <= y < SCREEN[1]):
        return (-1000, -1000, -1000)  # off the screen: matches no colour
    offset = (y * SCREEN[0] + x) * 3
    return tuple(shot[offset:offset + 3])


def top_level_windows():
    """(name, x, y, width, height, id) of the root window's children."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], check=True, capture_output=True, text=True).stdout
    windows = []
    for line in tree.splitlines():
        match = re.match(r'\s*(0x[0-9a-f]+) (?:"([^"]*)"|\(has no name\)).*?(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', line)
        if match:
            window, name, width, height, x, y = match.groups()
            windows.append((name or "", int(x), int(y), int(width), int(height), int(window, 16)))
    return windows


def move_window(window, x, y):
    """Moves a top-level window (there is no window manager to ask)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    display = ctypes.c_void_p(x11.XOpenDisplay(None))
    assert display.value, "cannot open the display"
    x11.XMoveWindow(display, ctypes.c_ulong(window), x, y)
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)


class Process:
    """A program started in the background whose output lines are kept."""

    def __init__(self, args, env=None):
        self.lines = []
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, errors="replace")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)
        self.process.stdout.close()

    def text(self):
        return "".join(self.lines)

    def stop(self):
        """SIGTERM, then the exit code (None if it had to be killed)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            code = None
        self.thread.join(10)
        return code


class DemoServer(Process):
    """The demo server on a free port, its debug lines kept."""

    def __init__(self, *options):
        super().__init__([SERVER, "--port=0", "--verbose", *options])
        deadline = time.monotonic() + 30
        self.url = None
        while self.url is None and time.monotonic() < deadline and self.process.poll() is None:
            match = re.search(r"^demo-server listening on (\S+)$", self.text(), re.M)
            if match:
                self.url = match.group(1)
            else:
                time.sleep(0.1)
        if self.url is None:
            self.stop()
            raise AssertionError("the demo server did not start:\n" + self.text())


class EndToEndCase(unittest.TestCase):
    """One client run against one demo server in a temporary home."""

    def setUp(self):
        self.run_home = Home()
        self.home = self.run_home.path
        self.env = dict(self.run_home.env, QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu")
        self.server = None
        self.client = None

    def tearDown(self):
        for process in (self.client, self.server):
            if process is not None and process.process.poll() is None:
                process.process.kill()
                process.process.wait()
        for pid in self.processes_of_this_home():  # the browser's helpers of a failed run
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.run_home.dir.cleanup()

    def fail(self, message):
        """Fails with the ends of the client's log and the server's output."""
        server = self.server.text()[-3000:] if self.server is not None else ""
        super().fail("%s\n---- client log (end)\n%s\n---- server output (end)\n%s" %
                     (message, self.log()[-6000:], server))

    def path(self, name):
        return self.run_home.file(name)

    def config(self, text):
        with open(self.path("qdk-client.xml"), "w", encoding="utf-8") as f:
            f.write(text)

    def log(self):
        return self.run_home.log()

    def start(self, server_options, client_options=()):
        self.server = DemoServer(*server_options)
        self.client = Process([CLIENT, "--logLevel=trace", "--user=demo", "--password=demo", *client_options,
                               self.server.url], env=self.env)

    def wait_for(self, pattern, text=None, timeout=TIMEOUT):
        """Waits until the client's log (or text()) matches; returns the match."""
        deadline = time.monotonic() + timeout
        while True:
            match = re.search(pattern, text() if text else self.log(), re.M)
            if match:
                return match
            if time.monotonic() > deadline:
                self.fail("no %r within %d s" % (pattern, timeout))
            if self.client.process.poll() is not None:
                self.fail("the client ended (%d) before %r" % (self.client.process.returncode, pattern))
            time.sleep(0.2)

    def wait_for_pictures(self):
        self.wait_for(r"Received new js-bridge connection")
        self.wait_for(r"New js-bridge connection connected, starting ServerProxy")
        self.wait_for(r"; Received frame @ no \d+")
        self.wait_for(r"Loaded decoder ")

    def window(self, screen=None, timeout=TIMEOUT):
        """The main window, or the window of a screen of several. Waits for
        it: a screen window gets its title only after the load of its page
        is logged."""
        deadline = time.monotonic() + timeout
        while True:
            windows = top_level_windows()
            for window in windows:
                if (window[0].startswith("Screen %d - " % screen) if screen is not None else
                        "/quarrydesk.html - " in window[0]):
                    return window
            if time.monotonic() > deadline:
                self.fail("no window for screen %s among %s" % (screen, windows))
            time.sleep(0.2)

    def canvas_rectangle(self, screen=None):
        """The screen rectangle of the page's canvas: the client's last
        viewport (OpenGL, from the bottom) in its window; None while the
        client has logged none (the page reports its canvas on its own
        time, before or after the decoders start)."""
        match = None
        widget = r"\(%d\)" % screen if screen is not None else r"[^\n]*"
        for match in re.finditer(r"GLWidget_\d+ ?%s: Viewport changed to (-?\d+) (-?\d+) / W:(\d+), H:(\d+)" % widget,
                                 self.log()):
            pass
        if match is None:
            return None
        x, y, width, height = (int(v) for v in match.groups())
        _, left, top, _, window_height, _ = self.window(screen)
        return left + x, top + window_height - y - height, width, height

    def check_picture(self, expected, timeout=60, screen=None):
        """Waits until the canvas shows the reference colours at the sample
        points, and not beyond its rectangle."""
        deadline = time.monotonic() + timeout
        reference = dict(zip(SAMPLES, expected))
        while True:
            rectangle = self.canvas_rectangle(screen)
            if rectangle is not None:
                left, top, width, height = rectangle
                shot = screenshot()
                seen = [pixel(shot, left + x, top + y) for x, y in SAMPLES]
                outside = [pixel(shot, left + x, top + y) for (x, y), _ in OUTSIDE]
                inside = all(near(s, e) for s, e in zip(seen, expected))
                beyond = not any(near(o, reference[point]) for o, (_, point) in zip(outside, OUTSIDE))
                if (width, height) == (WIDTH, HEIGHT) and inside and beyond:
                    return
            if time.monotonic() > deadline:
                if rectangle is None:
                    self.fail("no viewport in the log")
                self.fail("canvas %dx%d at %d,%d shows %s (outside %s), not %s" %
                          (width, height, left, top, seen, outside, expected))
            time.sleep(0.3)

    def processes_of_this_home(self):
        """Processes still running with this test's home (the client and
        the browser's helper processes)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("HOME=%s\0" % self.home).encode() in f.read():
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def finish(self):
        """Ends the client with SIGTERM while it streams: it stops its
        threads, leaves no process behind and exits with 0; then the server."""
        if self.client.stop() != 0:
            self.fail("exit code %s\n%s" % (self.client.process.returncode, self.client.text()[-3000:]))
        log = self.log()
        self.assertIn("Received signal 15, closing all windows", log)
        self.assertRegex(log, r":NativeClient: Thread \(\d+\) joined\n")
        self.assertNotIn(") not joined", log)
        self.assertIn("Event loop ended with 0", log)
        deadline = time.monotonic() + 30
        while self.processes_of_this_home() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(self.processes_of_this_home(), [])
        self.assertEqual(self.server.stop(), 0)
        return log


class EndToEndOpenH264(EndToEndCase):
    def test_baseline_stream_over_http(self):
        stream = self.path("bars.h264")
        make_stream(stream)
        self.config(LIBAV_OFF)
        self.start(["--stream=" + stream])
        self.wait_for_pictures()
        self.assertRegex(self.log(), r"Loaded decoder [^\n]*OpenH264")
        self.check_picture(reference_colours(stream))
        self.finish()


class EndToEndLibAV(EndToEndCase):
    def test_high444_stream_over_https_under_a_prefix(self):
        # OpenH264 cannot decode High 4:4:4: the stream's profile selects FFmpeg.
        stream = self.path("bars444.h264")
        make_stream(stream, profile="high444", pix_fmt="yuv444p")
        cert, key = self.path("cert.pem"), self.path("key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        self.start(["--stream=" + stream, "--cert=" + cert, "--key=" + key, "--prefix=/a/b"], ["--ignoreSSLError"])
        self.assertRegex(self.server.url, r"^https://127\.0\.0\.1:\d+/a/b/?$")
        self.wait_for_pictures()
        self.assertRegex(self.log(), r"Loaded decoder [^\n]*LibAV")
        self.assertNotRegex(self.log(), r"Loaded decoder [^\n]*OpenH264")
        # --ignoreSSLError: the client's own connections check no certificate either.
        self.assertIn("Not checking the certificate of server '127.0.0.1': certificate errors are ignored", self.log())
        self.check_picture(reference_colours(stream))
        self.finish()


class EndToEndResync(EndToEndCase):
    def test_pictures_come_back_after_access_units_without_pictures(self):
        # One key unit, bars up to picture 29, their negative up to 39, then
        # 35 units cut down to their delimiters: without a resynchronisation
        # the negative would stay until the file starts again.
        stream = self.path("cut.h264")
        make_stream(stream, keyint=75, negate_from=30)
        bars, negative = reference_colours(stream, 0), reference_colours(stream, 35)
        cut_pictures(stream, 40, 74)
        self.start(["--stream=" + stream])
        self.wait_for_pictures()
        self.wait_for(r"Session 0 lost decoding sync")
        self.wait_for(r"Sending resync signal")
        self.wait_for(r"client asked to resync screen 0", self.server.text)
        self.wait_for(r"screen 0 restarts at a key unit \(resync\)", self.server.text)
        self.check_picture(bars)
        self.check_picture(negative)
        self.check_picture(bars)
        self.finish()


class EndToEndScreens(EndToEndCase):
    def test_two_screens_in_windows_of_their_own(self):
        bars, negative = self.path("bars.h264"), self.path("negative.h264")
        make_stream(bars)
        make_stream(negative, negate_from=0)
        self.start(["--stream=" + bars, "--stream=" + negative, "--screens=2"])
        self.wait_for_pictures()
        self.wait_for(r"Child window connected with URL [^\n]*/quarrydesk\.html\?screen=0$")
        self.wait_for(r"Child window connected with URL [^\n]*/quarrydesk\.html\?screen=1$")
        self.wait_for(r"(?s)Loaded decoder .*Loaded decoder ")
        self.window()
        # The windows open on top of each other: side by side, both show.
        move_window(self.window(1)[5], 700, 0)
        self.check_picture(reference_colours(bars), screen=0)
        self.check_picture(reference_colours(negative), screen=1)
        self.finish()


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class EndToEndUsb(EndToEndCase):
    """USB sharing as the demo command runs it (scripts/run-demo.sh): the USB
    server on a device file and the daemon beside the client, the demo server
    and the real page in the client. Runs in network and process namespaces
    of its own (the daemon's port is fixed)."""

    def test_page_lists_the_devices_and_the_server_gets_the_usb_tunnel(self):
        programs = os.path.dirname(CLIENT)
        devices = self.path("devices.json")
        with open(devices, "w", encoding="utf-8") as f:
            f.write('{"VHSvrName": "demo-desk", "VHDevList": ['
                    '{"VHDevAddress": "1-1", "VHDevVendorId": 1133, "VHDevProductId": 49271,'
                    ' "VHDevPath": "/sys/bus/usb/devices/1-1", "VHDevPrettyName": "USB Optical Mouse"},'
                    '{"VHDevAddress": "1-2", "VHDevVendorId": 1921, "VHDevProductId": 21863,'
                    ' "VHDevPath": "/sys/bus/usb/devices/1-2", "VHDevPrettyName": "Cruzer Blade"}]}')
        port = free_port()
        usb_server = Process([os.path.join(programs, "qdvhwin64"), "--port", str(port), "--devices", devices])
        daemon = Process([os.path.join(programs, "vhproxy"), "--service", "--usbServerPort=%d" % port,
                          "--logFile=" + self.path("vhproxy.log")])
        try:
            deadline = time.monotonic() + 30
            while "qdvhwin64: listening on " not in usb_server.text():
                if time.monotonic() > deadline:
                    self.fail("the USB server did not start:\n" + usb_server.text())
                time.sleep(0.1)
            self.config("<config><Client><VirtualHere><ServerPort>%d</ServerPort></VirtualHere></Client></config>"
                        % port)
            stream = self.path("bars.h264")
            make_stream(stream)
            self.start(["--stream=" + stream])
            self.wait_for_pictures()
            self.wait_for(r"VirtualHere USB integration enabled")
            # The client's USB tunnel reached the server, the page asked for
            # the devices after the client id, and the client's list reached
            # the page (which reports it to the server).
            self.wait_for(r"USB: USB tunnel VHTun-1 is up", self.server.text)
            self.wait_for(r'client told the page [^\n]*"VHDevAddress":"1-1"[^\n]*"VHDevPrettyName":"USB Optical Mouse"'
                          r'[^\n]*"VHDevAddress":"1-2"[^\n]*"VHDevPrettyName":"Cruzer Blade"[^\n]*"type":325',
                          self.server.text)
            self.assertRegex(self.log(), r"Setting httpUserAgent: '[^'\n]* USB'")
            self.finish()
        finally:
            for process in (daemon, usb_server):
                process.stop()


if __name__ == "__main__":
    CLIENT = os.path.abspath(sys.argv[1])
    SERVER = os.path.abspath(sys.argv[2])
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[3], sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
