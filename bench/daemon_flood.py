"""Two sides of the daemon flood measurement (bench/daemon-flood.sh).

flood MODE SECONDS: connects to 127.0.0.1:7679 as fast as it can for
SECONDS, keeping the last 3000 connections open; on each it sends, by
MODE, nothing ("nothing"), only a 4-byte header announcing 1 MiB
("header"), or a complete small status request ("request"). Prints how
many connections it made.

ask COUNT INTERVAL: makes COUNT status requests, one every INTERVAL
seconds, the way the client's link does: 25 ms to connect, the length and
the text as two sends, 5 s for the whole reply. Prints "answered N/COUNT".
"""
import collections
import errno
import select
import socket
import struct
import sys
import time

ADDRESS = ("127.0.0.1", 7679)
STATUS = b'{"type":328}'


def flood(mode, seconds):
    payload = {
        "nothing": b"",
        "header": struct.pack("<i", 1024 * 1024),
        "request": struct.pack("<i", len(STATUS)) + STATUS,
    }[mode]
    # Connects without waiting for each handshake; a connection gets its
    # bytes once it is up.
    poller = select.epoll()
    held = collections.deque()
    pending = {}
    made = failed = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        error = s.connect_ex(ADDRESS)
        if error not in (0, errno.EINPROGRESS):
            failed += 1
            s.close()
            continue
        made += 1
        held.append(s)
        if payload:
            pending[s.fileno()] = s
            poller.register(s.fileno(), select.EPOLLOUT)
        if len(held) > 3000:
            old = held.popleft()
            if pending.pop(old.fileno(), None) is not None:
                poller.unregister(old.fileno())
            old.close()
        for fd, _ in poller.poll(0):
            s = pending.pop(fd)
            poller.unregister(fd)
            try:
                s.send(payload)
            except OSError:
                failed += 1
    for s in held:
        s.close()
    print(f"flood {mode}: {made} connections made, {failed} failed", flush=True)


def receive_frame(conn, deadline):
    data = b""
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        conn.settimeout(remaining)
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
        if len(data) >= 4:
            (length,) = struct.unpack("<i", data[:4])
            if length > 0 and len(data) >= 4 + length:
                return data[4:4 + length]


def ask_once():
    """None when answered, else what went wrong."""
    conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        conn.settimeout(0.025)
        try:
            conn.connect(ADDRESS)
        except OSError:
            return "connect"
        deadline = time.monotonic() + 5.0
        conn.settimeout(5.0)
        conn.sendall(struct.pack("<i", len(STATUS)))
        conn.sendall(STATUS)
        reply = receive_frame(conn, deadline)
        if reply is None:
            return "no reply"
        return None if b'"VHProxyVersion"' in reply else "other reply"
    except OSError as e:
        return type(e).__name__
    finally:
        conn.close()


def ask(count, interval):
    answered = 0
    failures = collections.Counter()
    start = time.monotonic()
    for i in range(count):
        wait = start + i * interval - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        failure = ask_once()
        if failure is None:
            answered += 1
        else:
            failures[failure] += 1
    missed = ", ".join(f"{n} {kind}" for kind, n in failures.items())
    print(f"answered {answered}/{count}" + (f" (missed: {missed})" if missed else ""), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "flood":
        flood(sys.argv[2], float(sys.argv[3]))
    elif sys.argv[1] == "ask":
        ask(int(sys.argv[2]), float(sys.argv[3]))
    else:
        sys.exit("usage: daemon_flood.py flood MODE SECONDS | ask COUNT INTERVAL")
