"""Another local user's attack on the js-bridge: holds many connections and
trickles a request head into each, one byte per second.

Usage: bridge_stranger.py PORT COUNT   (run as another user)

Opens COUNT connections to 127.0.0.1:PORT, each sending its first byte at
once, and prints "CONNECTED COUNT". Then watches them for up to 8 s, never
reconnecting, and prints one line, "REPORT closed=N slowest=MS answered=A":
N connections ended by the bridge, the longest any of them was open, and
how many got any answer bytes before their end. Exits 0.
"""

import select
import socket
import sys
import time

HEAD = b"GET /ws/free/stranger/" + b"n" * 43 + b" HTTP/1.1\r\n"
WATCH_SECONDS = 8.0


def main():
    port, count = int(sys.argv[1]), int(sys.argv[2])
    open_sockets = {}
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.setblocking(False)
        try:
            s.send(HEAD[:1])
        except OSError:
            pass  # already refused: seen as closed below
        open_sockets[s] = {"since": time.monotonic(), "sent": 1, "answer": 0}
    print("CONNECTED %d" % count, flush=True)

    closed, slowest, answered = 0, 0.0, 0
    deadline = time.monotonic() + WATCH_SECONDS
    next_byte = time.monotonic() + 1.0
    while open_sockets and time.monotonic() < deadline:
        readable, _, _ = select.select(list(open_sockets), [], [], 0.05)
        for s in readable:
            state = open_sockets[s]
            try:
                data = s.recv(4096)
            except OSError:
                data = b""  # reset
            if data:
                state["answer"] += len(data)
                continue
            closed += 1
            slowest = max(slowest, time.monotonic() - state["since"])
            answered += 1 if state["answer"] else 0
            del open_sockets[s]
            s.close()
        if time.monotonic() >= next_byte:
            next_byte += 1.0
            for s, state in open_sockets.items():
                try:
                    s.send(HEAD[state["sent"]:state["sent"] + 1])
                    state["sent"] += 1
                except OSError:
                    pass  # the next select sees the end
    print("REPORT closed=%d slowest=%d answered=%d" % (closed, int(slowest * 1000), answered), flush=True)


if __name__ == "__main__":
    main()
