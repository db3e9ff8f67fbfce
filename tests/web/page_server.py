"""A local web server for the page probes and form tests.

Usage: page_server.py HOST PORT [--tls CERT KEY] [--broker | --leostream]
Prints "READY <port>" once it listens, or "FAILED <reason>".
"""
import gzip
import ssl
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlparse

MARKER = "<!-- MY_UUID=808620FE-0605-4C04-B3A5-95AA4EE9F435 -->"
MIB = 1024 * 1024

FORM = """<html><body>
<form action="/done" method="get">
<input type="text" id="user-id" name="user">
<input type="text" name="user">
<input type="password" id="password-id" name="password">
<textarea id="note" name="note"></textarea>
<input type="submit" id="submit-id" name="submit" value="go">
</form></body></html>"""


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    args = sys.argv[3:]
    tls = None
    if "--tls" in args:
        index = args.index("--tls")
        tls = (args[index + 1], args[index + 2])
    broker = "--broker" in args
    leostream = "--leostream" in args

    class Handler(BaseHTTPRequestHandler):
        def send(self, status, body, headers=()):
            data = body if isinstance(body, bytes) else body.encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(data)))
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            path = urlparse(self.path).path
            if self.path == "/index.pl?action=is_alive":
                self.send(200, "CB_IS_OKAY 2.1" if broker else "<html>not a broker</html>")
            elif path == "/" and leostream:
                self.send(200, "<html><title>Leostream Connection Broker</title></html>")
            elif path in ("/", "/server"):
                self.send(200, "<html><head>" + MARKER + "</head><body>server</body></html>")
            elif path == "/plain":
                self.send(200, "<html><body>plain page</body></html>")
            elif path == "/forbidden":
                self.send(403, "<html>" + MARKER + "forbidden</html>")
            elif path == "/failing":
                self.send(500, "<html>" + MARKER + "failing</html>")
            elif path == "/missing":
                self.send(404, "<html>missing</html>")
            elif path.startswith("/redirect/"):
                left = int(path.rsplit("/", 1)[1])
                if left == 0:
                    self.send(200, "end of chain")
                else:
                    self.send(302, "redirect body %d" % left, [("Location", "/redirect/%d" % (left - 1))])
            elif path == "/relative":
                self.send(302, "moved", [("Location", "server")])
            elif path == "/nolocation":
                self.send(302, "body without location")
            elif path.startswith("/to-https/"):
                self.send(301, "moved", [("Location", "https://127.0.0.1:%s/server" % path.rsplit("/", 1)[1])])
            elif path == "/gzip":
                self.send(200, gzip.compress(b"compressed " + MARKER.encode()), [("Content-Encoding", "gzip")])
            elif path == "/gzip-capitals":
                self.send(200, gzip.compress(b"compressed"), [("Content-Encoding", "GZIP")])
            elif path == "/big":
                self.send(200, b"a" * (50 * MIB))
            elif path == "/big-unsized":
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                block = b"b" * MIB
                try:
                    for _ in range(50):
                        self.wfile.write(block)
                except OSError:
                    pass
                self.close_connection = True
            elif path == "/bomb":
                self.send(200, gzip.compress(b"\0" * (50 * MIB)), [("Content-Encoding", "gzip")])
            elif path == "/trickle":
                self.send_response(200)
                self.send_header("Content-Length", "1000")
                self.end_headers()
                try:
                    for _ in range(1000):
                        self.wfile.write(b"t")
                        self.wfile.flush()
                        time.sleep(0.25)
                except OSError:
                    pass
            elif path == "/trickle-headers":
                try:
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Slow: ")
                    for _ in range(1000):
                        self.wfile.write(b"s")
                        self.wfile.flush()
                        time.sleep(0.25)
                except OSError:
                    pass
                self.close_connection = True
            elif path == "/form":
                self.send(200, FORM)
            elif path == "/done":
                self.send(200, "<html><body>submitted</body></html>")
            else:
                self.send(404, "unknown")

        def log_message(self, *args):
            pass

    try:
        server = ThreadingHTTPServer((host, port), Handler)
    except OSError as error:
        print("FAILED", error, flush=True)
        return 1
    server.daemon_threads = True
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("READY", server.server_address[1], flush=True)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
