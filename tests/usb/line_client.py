"""Sends request lines to the USB server on 127.0.0.1:PORT, one at a time,
and prints each reply line; "<closed>" once the server has ended the
connection (then the remaining lines are not sent).

With --times N it does so over N connections, one after the other, and
prints the replies of each. With --send-and-close it sends all the lines
at once and closes the connection without waiting for a reply, and prints
the port it sent from.

Usage: line_client.py [--times N | --send-and-close] PORT LINE...
"""
import socket
import sys


def converse(port, lines):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        pending = b""
        for line in lines:
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


def send_and_close(port, lines):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        conn.sendall(b"".join(line.encode() + b"\n" for line in lines))
        print("sent from port", conn.getsockname()[1])


def main():
    args = sys.argv[1:]
    times = 1
    if args[0] == "--send-and-close":
        send_and_close(int(args[1]), args[2:])
        return
    if args[0] == "--times":
        times = int(args[1])
        args = args[2:]
    for _ in range(times):
        converse(int(args[0]), args[1:])


if __name__ == "__main__":
    main()
