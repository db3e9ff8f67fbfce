"""A fake vhproxy daemon written from the link's framing table alone.

Usage: fake_daemon.py MODE_FILE

Listens on 127.0.0.1:7679 (in the test's own network namespace) and prints
"listening" once it accepts. For each connection it reads the mode from
MODE_FILE and reads one request frame: a signed 32-bit little-endian length
and that many bytes. Then it answers as the mode says:

  reply TEXT         one frame with TEXT (UTF-8), length = its size
  reply-nul TEXT     one frame with TEXT, a NUL and "garbage", all counted
  length N           only the 4 length bytes of N (signed), then it closes
  length-stall N     the 4 length bytes of N, then nothing until the client goes
  short-close        2 of the 4 length bytes, then it closes
  short-stall        2 of the 4 length bytes, then nothing
  partial            announces 100 bytes, sends 60, closes
  silent             nothing; waits until the client goes
  drip TEXT          one frame with TEXT, one byte every 300 ms
  split TEXT         one frame with TEXT, its length in two pieces 200 ms apart
  reset              resets the connection (RST) instead of answering
  refuse GROUP       refuses the user as the daemon refuses one it does not
                     serve: {"type": the request's type (0 when unreadable),
                     "VHErrType": 4, "VHErrCode": 6, "VHErrMsg": ...,
                     "VHAllowGroup": GROUP}
  echo               a JSON object describing the request frame:
                     {"type": 0, "requestLength": n, "request": text,
                      "extraBytes": bytes that followed the frame}
"""
import json
import os
import socket
import struct
import sys
import threading
import time

MODE_FILE = sys.argv[1]


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def wait_for_close(conn):
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def frame(payload):
    return struct.pack("<i", len(payload)) + payload


def serve(conn):
    with conn:
        with open(MODE_FILE, encoding="utf-8") as f:
            mode, _, argument = f.read().rstrip("\n").partition(" ")
        header = read_exactly(conn, 4)
        if header is None:
            return
        (length,) = struct.unpack("<i", header)
        request = read_exactly(conn, length) if length > 0 else b""
        if mode == "reply":
            conn.sendall(frame(argument.encode()))
        elif mode == "reply-nul":
            conn.sendall(frame(argument.encode() + b"\0garbage"))
        elif mode == "length":
            conn.sendall(struct.pack("<i", int(argument)))
        elif mode == "length-stall":
            conn.sendall(struct.pack("<i", int(argument)))
            wait_for_close(conn)
        elif mode == "short-close":
            conn.sendall(struct.pack("<i", 100)[:2])
        elif mode == "short-stall":
            conn.sendall(struct.pack("<i", 100)[:2])
            wait_for_close(conn)
        elif mode == "partial":
            conn.sendall(struct.pack("<i", 100) + b"x" * 60)
        elif mode == "silent":
            wait_for_close(conn)
        elif mode == "drip":
            for byte in frame(argument.encode()):
                conn.sendall(bytes([byte]))
                time.sleep(0.3)
        elif mode == "split":
            data = frame(argument.encode())
            conn.sendall(data[:2])
            time.sleep(0.2)
            conn.sendall(data[2:])
        elif mode == "refuse":
            try:
                request_type = int(json.loads(request.decode("utf-8")).get("type", 0))
            except (ValueError, AttributeError):
                request_type = 0
            reply = {"type": request_type, "VHErrType": 4, "VHErrCode": 6,
                     "VHErrMsg": "User nobody (uid 65534) may not share USB devices: not a member of group "
                                 "'%s'. An administrator can add the user to it: usermod -aG %s nobody"
                                 % (argument, argument),
                     "VHAllowGroup": argument}
            conn.sendall(frame(json.dumps(reply).encode()))
        elif mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif mode == "echo":
            conn.setblocking(False)
            time.sleep(0.05)
            try:
                extra = len(conn.recv(65536))
            except BlockingIOError:
                extra = 0
            conn.setblocking(True)
            reply = {"type": 0, "requestLength": length, "request": request.decode("utf-8", "replace"),
                     "extraBytes": extra}
            conn.sendall(frame(json.dumps(reply).encode()))


def main():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 7679))
    server.listen(16)
    print("listening", flush=True)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
