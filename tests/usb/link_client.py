"""Sends one request frame to 127.0.0.1:7679 and prints the reply frame's
text, or "no reply" when the connection ends without one.

Usage: link_client.py REQUEST_JSON
"""
import socket
import struct
import sys


def main():
    request = sys.argv[1].encode()
    with socket.create_connection(("127.0.0.1", 7679), timeout=10) as conn:
        conn.sendall(struct.pack("<i", len(request)) + request)
        data = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
    if len(data) < 4:
        print("no reply")
        return
    (length,) = struct.unpack("<i", data[:4])
    print(data[4:4 + length].decode())


if __name__ == "__main__":
    main()
