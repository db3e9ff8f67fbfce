"""Scripted WebSocket peer for the client's socket tests.

Runs as a server ("server", prints "READY <port>" once it listens on
127.0.0.1) or as a client ("client URL"), then plays the steps given on the
command line against the first connection, in order:

  send text|binary SIZE    send one frame whose payload is pattern(SIZE)
  expect text|binary SIZE  receive one message, check its type and payload
  ping SIZE                send a ping with SIZE bytes and wait for the pong
                           carrying the same bytes
  pong SIZE                send an unsolicited pong with SIZE bytes
  close CODE               run the closing handshake with CODE
  eof                      end the TCP connection without a CLOSE frame
  expect-close CODE        wait until the connection ends; check the close
                           code seen (1006: ended without a CLOSE frame)
  port                     print "PORT <local port>" of the connection

Each finished step prints "OK <step>"; the script prints "DONE" and exits 0
when all steps passed, prints "FAIL <reason>" and exits 1 otherwise. A
watchdog ends the process after a bounded time in any case.
"""

import asyncio
import signal
import sys

import websockets

WATCHDOG_SECONDS = 90
STEP_TIMEOUT = 30.0
MAX_MESSAGE = 64 * 1024 * 1024


def pattern(size, text):
    """Deterministic payload of the given size; ASCII letters for text."""
    if text:
        return "".join(chr(ord("a") + (i * 7 + size) % 26) for i in range(size))
    return bytes((i * 7 + size) % 251 for i in range(size))


def parse_steps(argv):
    steps = []
    i = 0
    arity = {"send": 2, "expect": 2, "ping": 1, "pong": 1, "close": 1,
             "eof": 0, "expect-close": 1, "port": 0}
    while i < len(argv):
        name = argv[i]
        if name not in arity:
            raise SystemExit("unknown step " + name)
        n = arity[name]
        steps.append((name, argv[i + 1:i + 1 + n]))
        i += 1 + n
    return steps


class StepFailed(Exception):
    pass


async def play(ws, steps):
    for name, args in steps:
        label = " ".join([name] + args)
        if name == "send":
            data = pattern(int(args[1]), args[0] == "text")
            await ws.send(data)
        elif name == "expect":
            message = await asyncio.wait_for(ws.recv(), STEP_TIMEOUT)
            text = args[0] == "text"
            if isinstance(message, str) != text:
                raise StepFailed(label + ": wrong frame type")
            if message != pattern(int(args[1]), text):
                raise StepFailed(label + ": payload differs (%d bytes)" % len(message))
        elif name == "ping":
            waiter = await ws.ping(pattern(int(args[0]), False))
            await asyncio.wait_for(waiter, STEP_TIMEOUT)
        elif name == "pong":
            await ws.pong(pattern(int(args[0]), False))
        elif name == "close":
            await asyncio.wait_for(ws.close(int(args[0])), STEP_TIMEOUT)
        elif name == "eof":
            ws.transport.close()
            await asyncio.wait_for(ws.wait_closed(), STEP_TIMEOUT)
        elif name == "expect-close":
            try:
                message = await asyncio.wait_for(ws.recv(), STEP_TIMEOUT)
                raise StepFailed(label + ": got a message of %d bytes" % len(message))
            except websockets.ConnectionClosed:
                pass
            await asyncio.wait_for(ws.wait_closed(), STEP_TIMEOUT)
            if ws.close_code != int(args[0]):
                raise StepFailed(label + ": close code %s" % ws.close_code)
        elif name == "port":
            print("PORT %d" % ws.local_address[1], flush=True)
        print("OK " + label, flush=True)


OPTIONS = dict(compression=None, ping_interval=None, close_timeout=5,
               max_size=MAX_MESSAGE)


async def run_server(steps):
    done = asyncio.get_running_loop().create_future()

    async def handler(ws, _path=None):
        if done.done():
            return
        try:
            await play(ws, steps)
            done.set_result(None)
        except Exception as error:  # reported by the main task
            done.set_exception(error)

    async with websockets.serve(handler, "127.0.0.1", 0, **OPTIONS) as server:
        port = server.sockets[0].getsockname()[1]
        print("READY %d" % port, flush=True)
        await done


async def run_client(url, steps):
    async with websockets.connect(url, open_timeout=STEP_TIMEOUT, **OPTIONS) as ws:
        await play(ws, steps)


def main():
    signal.alarm(WATCHDOG_SECONDS)
    if len(sys.argv) < 2 or sys.argv[1] not in ("server", "client"):
        raise SystemExit("usage: ws_peer.py server|client URL STEP...")
    try:
        if sys.argv[1] == "server":
            asyncio.run(run_server(parse_steps(sys.argv[2:])))
        else:
            asyncio.run(run_client(sys.argv[2], parse_steps(sys.argv[3:])))
    except Exception as error:
        print("FAIL %s: %s" % (type(error).__name__, error), flush=True)
        sys.exit(1)
    print("DONE", flush=True)


if __name__ == "__main__":
    main()
