"""The server's end of one port tunnel, written from the tunnel frame table,
for the client's tunnel tests.

Every WebSocket message is one binary frame: type (uint32 little-endian:
0 DATA, 1 OPEN, 2 CLOSE), connection id (uint32 little-endian), then for DATA
the bytes of that connection.

Listens on 127.0.0.1 (prints "READY <port>"), takes the first WebSocket (the
first text frame, a ticket, is not expected: the tests connect directly) and
then plays the commands read from standard input, one per line, printing
"OK <command>" after each, or "FAIL <reason>" and exiting 1:

  frame HEX            send one binary message with these bytes ("-": none)
  text WORD            send one text message
  open ID | close ID   send OPEN / CLOSE for the id
  data ID SIZE         send one DATA frame whose payload is pattern(SIZE)
  stream ID BYTES      send pattern(BYTES) on the id in DATA frames of the
                       largest payload
  openmany BASE N      send OPEN for the ids BASE to BASE + N - 1
  raw FRAME...         write WebSocket frames as they stand, e.g. the
                       fragments of one message with a ping between them;
                       each FRAME is OPCODE:FIN:BYTES (opcode and FIN 0/1 in
                       decimal, BYTES in hex, "-" for none, "*N" for
                       pattern(N), or hex and "*N": those bytes followed by
                       pattern(N))
  burst FRAME...       the same in a single write: the tunnel finds them
                       all at once
  flood BASE N SIZE    from now on, in the background, send DATA frames of
                       pattern(SIZE) to the ids BASE to BASE + N - 1 in
                       turn, round after round, for as long as the
                       WebSocket lasts (a peer that pushes to connections
                       whose applications do not read)
  ping                 send a ping and wait for its pong
  echo                 from now on, send the payload of every DATA frame back
                       on its id, cut at random into frames of 1 byte to
                       1 MiB (seeded)
  blast N SEED         open N connections (ids 1000...), send each a random
                       stream of 1 byte to 4 MiB (the first exactly 1 byte,
                       the second exactly 4 MiB) in random frames interleaved
                       across the connections, wait until each stream came
                       back whole, then CLOSE each; prints
                       "SENT <id> <bytes> <sha256>" per connection and fails
                       when an echo differs
  expect TYPE ID       wait until a frame of this type and id came
  expect-data ID BYTES wait until BYTES payload bytes came for the id; prints
                       "DATA <id> <bytes> <sha256>"
  expect-closed        wait until the client's side of the WebSocket ends
  slowopen ID MS       send OPEN for the id as one WebSocket message whose
                       2-byte header goes first and whose payload follows MS
                       milliseconds later; prints "HALF" in between
  stall                stop reading from the WebSocket (a peer that hangs)
  kill                 drop the TCP connection without a closing handshake
  closews              run the closing handshake
  frames               print "FRAMES <type>:<id>,..." of the OPEN, CLOSE and
                       other non-DATA frames received so far
  count TYPE           print "COUNT <n>", the frames of this type received so
                       far
  largest              print "LARGEST <bytes>", the longest message so far
  total                print "TOTAL <bytes>", the DATA payload bytes received
                       so far on all ids

A watchdog ends the process after a bounded time in any case.
"""

import asyncio
import hashlib
import random
import signal
import struct
import sys

import websockets

WATCHDOG_SECONDS = 240
STEP_TIMEOUT = 120.0
DATA, OPEN, CLOSE = 0, 1, 2
MAX_PAYLOAD = 1048576 - 8
MAX_STREAM = 4 * 1024 * 1024
BLAST_BASE_ID = 1000


def pattern(size):
    """Deterministic payload: byte i is (7 * i + 3) mod 251."""
    period = bytes((7 * i + 3) % 251 for i in range(251))
    whole, rest = divmod(size, 251)
    return period * whole + period[:rest]


def header(kind, ident):
    return struct.pack("<II", kind, ident & 0xFFFFFFFF)


def raw_frame(opcode, fin, payload):
    """One unmasked WebSocket frame, as a server sends it."""
    first = (0x80 if fin else 0) | opcode
    if len(payload) <= 125:
        head = struct.pack("!BB", first, len(payload))
    elif len(payload) <= 0xFFFF:
        head = struct.pack("!BBH", first, 126, len(payload))
    else:
        head = struct.pack("!BBQ", first, 127, len(payload))
    return head + payload


def raw_payload(text):
    if text == "-":
        return b""
    head, star, count = text.partition("*")
    return bytes.fromhex(head) + (pattern(int(count)) if star else b"")


def log_uniform(rng, low, high):
    """An integer between low and high, spread evenly over the magnitudes."""
    value = int(round(low * (high / low) ** rng.random()))
    return max(low, min(high, value))


class Failed(Exception):
    pass


class Peer:
    def __init__(self, ws):
        self.ws = ws
        self.outgoing = asyncio.Queue()
        self.queued_bytes = 0
        self.frames = []            # (type, id) of every non-DATA frame
        self.largest = 0
        self.total = 0              # DATA payload bytes on all ids
        self.received = {}          # id -> [bytes, sha256]
        self.echo = False
        self.echo_rng = random.Random(7)
        self.changed = asyncio.Event()
        self.closed = False
        self.sender = asyncio.create_task(self.send_loop())
        self.receiver = asyncio.create_task(self.receive_loop())

    # Sending: one task writes every frame in order, so that receiving
    # never waits for a send (the tunnel blocks in its own sends).
    def post(self, message):
        self.queued_bytes += len(message)
        self.outgoing.put_nowait(message)

    async def send_loop(self):
        while True:
            message = await self.outgoing.get()
            try:
                await self.ws.send(message)
            except websockets.ConnectionClosed:
                pass
            self.queued_bytes -= len(message)
            self.outgoing.task_done()

    async def flush(self, limit=0):
        while self.queued_bytes > limit:
            await asyncio.sleep(0.001)

    def post_data(self, ident, payload, rng):
        offset = 0
        while offset < len(payload):
            size = log_uniform(rng, 1, MAX_PAYLOAD)
            self.post(header(DATA, ident) + payload[offset:offset + size])
            offset += size

    async def receive_loop(self):
        try:
            async for message in self.ws:
                self.largest = max(self.largest, len(message))
                if isinstance(message, str):
                    self.frames.append(("text", len(message)))
                elif len(message) < 8:
                    self.frames.append(("short", len(message)))
                else:
                    kind, ident = struct.unpack_from("<II", message)
                    if kind == DATA:
                        entry = self.received.setdefault(ident, [0, hashlib.sha256()])
                        entry[0] += len(message) - 8
                        self.total += len(message) - 8
                        entry[1].update(memoryview(message)[8:])
                        if self.echo and len(message) > 8:
                            self.post_data(ident, message[8:], self.echo_rng)
                    else:
                        self.frames.append((kind, ident))
                self.changed.set()
        except websockets.ConnectionClosed:
            pass
        self.closed = True
        self.changed.set()

    async def wait_for(self, predicate, what):
        async def waiter():
            while not predicate():
                self.changed.clear()
                await self.changed.wait()
        try:
            await asyncio.wait_for(waiter(), STEP_TIMEOUT)
        except asyncio.TimeoutError:
            raise Failed("timed out waiting for " + what)

    async def blast(self, count, seed):
        rng = random.Random(seed)
        streams = {}
        for n in range(count):
            ident = BLAST_BASE_ID + n
            size = 1 if n == 0 else MAX_STREAM if n == 1 else log_uniform(rng, 1, MAX_STREAM)
            streams[ident] = rng.randbytes(size)
            self.post(header(OPEN, ident))
        # Frames of all connections interleaved, in random order and sizes.
        offsets = {ident: 0 for ident in streams}
        while offsets:
            ident = rng.choice(list(offsets))
            data = streams[ident]
            size = log_uniform(rng, 1, MAX_PAYLOAD)
            start = offsets[ident]
            self.post(header(DATA, ident) + data[start:start + size])
            if start + size >= len(data):
                del offsets[ident]
            else:
                offsets[ident] = start + size
            await self.flush(16 * 1024 * 1024)
        for ident, data in streams.items():
            print("SENT %d %d %s" % (ident, len(data), hashlib.sha256(data).hexdigest()), flush=True)
        for ident, data in streams.items():
            await self.wait_for(lambda: self.received.get(ident, [0])[0] >= len(data) or self.closed,
                                "the echo of %d" % ident)
            got = self.received.get(ident, [0, hashlib.sha256()])
            if got[0] != len(data) or got[1].hexdigest() != hashlib.sha256(data).hexdigest():
                raise Failed("echo of %d differs: %d bytes back of %d" % (ident, got[0], len(data)))
            self.post(header(CLOSE, ident))
        await self.flush()

    async def flood(self, base, count, size):
        payload = pattern(size)
        while not self.closed:
            for ident in range(base, base + count):
                self.post(header(DATA, ident) + payload)
                # No more than a few frames wait here for the WebSocket.
                await self.flush(4 * (size + 8))
                if self.closed:
                    return

    async def run(self, command, args):
        if command == "frame":
            self.post(bytes.fromhex(args[0] if args[0] != "-" else ""))
        elif command == "text":
            self.post(args[0])
        elif command in ("open", "close"):
            self.post(header(OPEN if command == "open" else CLOSE, int(args[0])))
        elif command == "data":
            self.post(header(DATA, int(args[0])) + pattern(int(args[1])))
        elif command == "stream":
            payload = pattern(int(args[1]))
            for start in range(0, len(payload), MAX_PAYLOAD):
                self.post(header(DATA, int(args[0])) + payload[start:start + MAX_PAYLOAD])
        elif command == "openmany":
            for ident in range(int(args[0]), int(args[0]) + int(args[1])):
                self.post(header(OPEN, ident))
        elif command in ("raw", "burst"):
            # Straight onto the connection, past the library's framing: no
            # message of ours may be on its way meanwhile.
            await self.flush()
            frames = []
            for frame in args:
                opcode, fin, text = frame.split(":")
                frames.append(raw_frame(int(opcode), fin == "1", raw_payload(text)))
            if command == "burst":
                self.ws.transport.write(b"".join(frames))
            else:
                for frame in frames:
                    self.ws.transport.write(frame)
        elif command == "flood":
            self.flooder = asyncio.create_task(self.flood(int(args[0]), int(args[1]), int(args[2])))
            return
        elif command == "ping":
            await self.flush()
            await asyncio.wait_for(await self.ws.ping(b"tunnel"), STEP_TIMEOUT)
        elif command == "echo":
            self.echo = True
        elif command == "blast":
            await self.blast(int(args[0]), int(args[1]))
        elif command == "expect":
            key = (int(args[0]), int(args[1]))
            await self.wait_for(lambda: key in self.frames, "frame %s" % (key,))
        elif command == "expect-data":
            ident, size = int(args[0]), int(args[1])
            await self.wait_for(lambda: self.received.get(ident, [0])[0] >= size or self.closed,
                                "data of %d" % ident)
            got = self.received.get(ident, [0, hashlib.sha256()])
            print("DATA %d %d %s" % (ident, got[0], got[1].hexdigest()), flush=True)
        elif command == "expect-closed":
            await self.wait_for(lambda: self.closed, "the end of the WebSocket")
        elif command == "slowopen":
            await self.flush()
            # An unmasked binary frame of 8 bytes, written in two pieces.
            self.ws.transport.write(bytes([0x82, 8]))
            print("HALF", flush=True)
            await asyncio.sleep(int(args[1]) / 1000.0)
            self.ws.transport.write(header(OPEN, int(args[0])))
        elif command == "stall":
            await self.flush()
            self.ws.transport.pause_reading()
        elif command == "kill":
            await self.flush()
            self.ws.transport.abort()
        elif command == "closews":
            await self.flush()
            await asyncio.wait_for(self.ws.close(), STEP_TIMEOUT)
        elif command == "frames":
            print("FRAMES " + ",".join("%s:%s" % f for f in self.frames), flush=True)
        elif command == "count":
            print("COUNT %d" % sum(1 for f in self.frames if f[0] == int(args[0])), flush=True)
        elif command == "largest":
            print("LARGEST %d" % self.largest, flush=True)
        elif command == "total":
            print("TOTAL %d" % self.total, flush=True)
        else:
            raise Failed("unknown command " + command)
        await self.flush()


async def commands():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            return
        words = line.decode().split()
        if words:
            yield words


async def main():
    connected = asyncio.get_running_loop().create_future()

    async def handler(ws, _path=None):
        if connected.done():
            await ws.close(1008, "one tunnel only")
            return
        connected.set_result(ws)
        await ws.wait_closed()

    options = dict(compression=None, ping_interval=None, max_size=None, max_queue=None,
                   close_timeout=5)
    async with websockets.serve(handler, "127.0.0.1", 0, **options) as server:
        print("READY %d" % server.sockets[0].getsockname()[1], flush=True)
        ws = await asyncio.wait_for(connected, STEP_TIMEOUT)
        peer = Peer(ws)
        print("CONNECTED", flush=True)
        async for words in commands():
            await peer.run(words[0], words[1:])
            print("OK " + " ".join(words), flush=True)


if __name__ == "__main__":
    signal.alarm(WATCHDOG_SECONDS)
    try:
        asyncio.run(main())
    except Exception as error:
        print("FAIL %s: %s" % (type(error).__name__, error), flush=True)
        sys.exit(1)
