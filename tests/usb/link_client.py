"""Sends one request frame to 127.0.0.1:7679 and prints the reply frame's
text, or "no reply" when the connection ends without one. With
--send-and-close it closes the connection right after the request, without
waiting for a reply, and prints the port it sent from.

Usage: link_client.py [--send-and-close] REQUEST_JSON
"""
import socket
import struct
import sys


def main():
    send_and_close = sys.argv[1] == "--send-and-close"
    request = sys.argv[-1].encode()
    with socket.create_connection(("127.0.0.1", 7679), timeout=10) as conn:
        conn.sendall(struct.pack("<i", len(request)) + request)
        if send_and_close:
            print("sent from port", conn.getsockname()[1])
            return
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
