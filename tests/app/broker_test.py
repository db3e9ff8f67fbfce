"""End-to-end tests of the connection broker flow of the quarrydesk-client program.

Usage: broker_test.py PROGRAM DEMO_SERVER GROUP   (GROUP: a TestCase class of this file)

A broker stand-in served from this process answers the client's alive probe,
shows a sign-in form with the field names the client fills by default, and on
a sign-in with the configured broker credentials hands the client over to the
demo server through a qdk address. The client must then sign into the demo
server and start streaming its screen.

The client probes a broker at the default port of its scheme (80 or 443), so
the stand-in listens there on a loopback address of its own (127.0.0.7), in
the test's own network namespace (tests/support/own-namespaces.sh).
"""
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import program_test  # noqa: E402
from program_test import Home, require_own_network_namespace, self_signed_certificate  # noqa: E402

DEMO_SERVER = None
TIMEOUT = 120
# The apostrophe checks that the form scripts escape what they fill in.
BROKER_USER, BROKER_PASSWORD = "broker-bob", "Br0ker'Pw"
SERVER_USER, SERVER_PASSWORD = "demo", "S3rverPw"
BROKER_HOST = "127.0.0.7"

SIGN_IN_PAGE = """<html><head><title>Broker sign-in</title></head><body>
<form method="post" action="/login">
<input type="text" name="user"><input type="password" name="password">
<input type="submit" name="submit" value="Sign in">
</form></body></html>"""


class BrokerStandIn:
    """A connection broker: alive probe, sign-in form, and after a valid
    sign-in a hand-over to the given qdk address, by a page script or by an
    HTTP redirect."""

    def __init__(self, qdk_address, certificate=None, redirect=False):
        self.sign_ins = []
        broker = self

        class Handler(BaseHTTPRequestHandler):
            def answer(self, body, status=200):
                data = body.encode()
                self.send_response(status)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                if self.path == "/index.pl?action=is_alive":
                    self.answer("CB_IS_OKAY")
                elif self.path in ("/", "/index.pl"):
                    self.answer(SIGN_IN_PAGE)
                else:
                    self.send_error(404)

            def do_POST(self):
                if self.path != "/login":
                    self.send_error(404)
                    return
                length = int(self.headers.get("Content-Length", "0"))
                form = urllib.parse.parse_qs(self.rfile.read(length).decode(), keep_blank_values=True)
                credentials = (form.get("user", [""])[0], form.get("password", [""])[0])
                broker.sign_ins.append(credentials)
                if credentials != (BROKER_USER, BROKER_PASSWORD):
                    self.answer("<html><body>Wrong user name or password</body></html>", 403)
                    return
                if redirect:
                    self.send_response(303)
                    self.send_header("Location", qdk_address)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                # The hand-over waits a moment, so that the client has looked
                # at this page before it leaves it.
                self.answer("<html><body>Signed in, connecting...<script>setTimeout(function () {"
                            " window.location.href = '%s'; }, 1500);</script></body></html>" % qdk_address)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer((BROKER_HOST, 443 if certificate else 80), Handler)
        scheme = "http"
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
            scheme = "https"
        self.url = "%s://%s/" % (scheme, self.server.server_address[0])
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class OutputWatch:
    """Collects a process's output lines and waits for texts in them."""

    def __init__(self, process):
        self.process = process
        self.lines = []
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line)
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)
            self.changed.notify_all()

    def text(self):
        with self.changed:
            return "".join(line for line in self.lines if line)

    def wait_for(self, text, timeout=TIMEOUT):
        """True once a line holds the text; False on time-out or end of output."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                if any(line and text in line for line in self.lines):
                    return True
                if None in self.lines:
                    return False
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.changed.wait(left)


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        return process.wait(TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


class BrokerFlow(unittest.TestCase):
    """Needs a display: the client shows the broker's and the server's pages."""

    @classmethod
    def setUpClass(cls):
        cls.files = tempfile.TemporaryDirectory()
        cls.certificate = self_signed_certificate(cls.files.name)
        cls.stream = os.path.join(cls.files.name, "demo.h264")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/demo-server/make-demo-stream.sh")
        subprocess.run([script, cls.stream, "320x180", "2"], check=True, capture_output=True)

    def start_demo_server(self):
        cert, key = self.certificate
        process = subprocess.Popen([DEMO_SERVER, "--port=0", "--cert=" + cert, "--key=" + key,
                                    "--stream=" + self.stream, "--user=" + SERVER_USER,
                                    "--password=" + SERVER_PASSWORD, "--verbose"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   text=True)
        self.addCleanup(stop, process)
        watch = OutputWatch(process)
        self.assertTrue(watch.wait_for("demo-server listening on ", 60), watch.text())
        line = next(line for line in watch.lines if line and "demo-server listening on " in line)
        url = urllib.parse.urlsplit(line.split("demo-server listening on ", 1)[1].strip())
        return watch, url.port

    def run_flow(self, broker_tls, qdk_query, *options, redirect=False):
        """Runs the client against a broker stand-in that hands over to the
        demo server with the query; returns (client output, client log,
        demo server output, broker sign-ins) once the server streams."""
        require_own_network_namespace(self)
        demo, port = self.start_demo_server()
        try:
            broker = BrokerStandIn("qdk://127.0.0.1:%d/signin.html?%s" % (port, qdk_query),
                                   self.certificate if broker_tls else None, redirect)
        except OSError as error:
            self.fail("the broker cannot listen at %s: %s" % (BROKER_HOST, error))
        self.addCleanup(broker.close)
        home = Home()
        with open(home.file("qdk-client.xml"), "w", encoding="utf-8") as f:
            f.write("<config><Client><Broker><Username>%s</Username><Password>%s</Password></Broker>"
                    "</Client></config>" % (BROKER_USER, BROKER_PASSWORD.replace("'", "&apos;")))
        client = subprocess.Popen([program_test.PROGRAM, "--logLevel=debug", *options, broker.url], env=home.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True)
        watch = OutputWatch(client)
        try:
            streaming = demo.wait_for("client started screen 0") and demo.wait_for(": statistics ")
        finally:
            code = stop(client)
            watch.thread.join(10)
        self.assertTrue(streaming, "no stream\n--- client:\n%s\n--- demo server:\n%s" % (watch.text(), demo.text()))
        self.assertEqual(code, 0, watch.text())
        return watch.text(), home.log(), demo.text(), broker.sign_ins

    def test_http_broker_hands_over_without_the_password(self):
        # The qdk password is wrong: over an http broker it must not be used,
        # the one given to the client is.
        console, log, demo, sign_ins = self.run_flow(
            False, "user=%s&password=Wr0ngQdkPw&ignoreSSLError=1" % SERVER_USER, "--password=" + SERVER_PASSWORD)
        self.assertIn((BROKER_USER, BROKER_PASSWORD), sign_ins)
        self.assertIn("Using connection broker", console)
        self.assertIn("Broker URL defines 'password' parameter, which is only accepted over https client/broker "
                      "connection.", log)
        self.assertIn("Ignoring 'password' parameter.", log)
        self.assertIn("User '%s' signed in" % SERVER_USER, demo)
        self.assertNotIn("refused", demo)
        # The qdk item ignoreSSLError reaches the client's own connections.
        self.assertIn("Not checking the certificate of server '127.0.0.1': certificate errors are ignored", log)
        for secret in ("Wr0ngQdkPw", SERVER_PASSWORD, BROKER_PASSWORD):
            self.assertNotIn(secret, console)
            self.assertNotIn(secret, log)

    def test_https_broker_hands_over_with_the_password(self):
        console, log, demo, sign_ins = self.run_flow(
            True, "user=%s&password=%s" % (SERVER_USER, SERVER_PASSWORD), "--ignoreSSLError")
        self.assertIn((BROKER_USER, BROKER_PASSWORD), sign_ins)
        self.assertIn("Setting user password in query", log)
        self.assertNotIn("Ignoring 'password' parameter.", log)
        self.assertIn("User '%s' signed in" % SERVER_USER, demo)
        for secret in (SERVER_PASSWORD, BROKER_PASSWORD):
            self.assertNotIn(secret, console)
            self.assertNotIn(secret, log)

    def test_redirect_to_a_qdk_address_hands_over_as_well(self):
        console, log, demo, sign_ins = self.run_flow(
            True, "username=%s&password=%s&secure=1" % (SERVER_USER, SERVER_PASSWORD), "--ignoreSSLError",
            redirect=True)
        self.assertEqual(sign_ins, [(BROKER_USER, BROKER_PASSWORD)])
        self.assertIn("broker -> server, url 'https://127.0.0.1:", log)
        self.assertIn("User '%s' signed in" % SERVER_USER, demo)


if __name__ == "__main__":
    program_test.PROGRAM = os.path.abspath(sys.argv[1])
    DEMO_SERVER = os.path.abspath(sys.argv[2])
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[3], sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
