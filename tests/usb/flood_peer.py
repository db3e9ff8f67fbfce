"""Many connections to the daemon's link (127.0.0.1:7679), as whoever runs
it. On each it sends, by MODE: nothing ("nothing"), only a 4-byte header
that announces 1 MiB ("header"), or a whole status request, whose reply it
reads ("request"). Then it prints "held COUNT" (after "refused N" for the
replies that were the daemon's refusal) and keeps the connections open
until its standard input ends.

Usage: flood_peer.py MODE COUNT
"""
import json
import socket
import struct
import sys

ADDRESS = ("127.0.0.1", 7679)
STATUS = b'{"type":328}'


def reply_of(conn):
    data = b""
    while True:
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    if len(data) < 4:
        return None
    (length,) = struct.unpack("<i", data[:4])
    return json.loads(data[4:4 + length])


def main():
    mode, count = sys.argv[1], int(sys.argv[2])
    payload = {
        "nothing": b"",
        "header": struct.pack("<i", 1024 * 1024),
        "request": struct.pack("<i", len(STATUS)) + STATUS,
    }[mode]
    held = []
    for _ in range(count):
        conn = socket.create_connection(ADDRESS, timeout=20)
        if payload:
            conn.sendall(payload)
        held.append(conn)
    if mode == "request":
        refused = 0
        for conn in held:
            reply = reply_of(conn)
            if reply is not None and reply.get("VHErrCode") == 6:
                refused += 1
        print("refused", refused, flush=True)
    print("held", len(held), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
