"""Sends request lines to the USB server on 127.0.0.1:PORT, one at a time,
and prints each reply line; "<closed>" once the server has ended the
connection (then the remaining lines are not sent).

Usage: line_client.py PORT LINE...
"""
import socket
import sys


def main():
    port = int(sys.argv[1])
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        pending = b""
        for line in sys.argv[2:]:
            try:
                conn.sendall(line.encode() + b"\n")
            except OSError:
                pass  # a refusal may have come already: read it
            while b"\n" not in pending:
                try:
                    chunk = conn.recv(65536)
                except ConnectionResetError:
                    chunk = b""
                if not chunk:
                    if pending:
                        print(pending.decode())
                    print("<closed>")
                    return
                pending += chunk
            reply, pending = pending.split(b"\n", 1)
            print(reply.decode())


if __name__ == "__main__":
    main()
