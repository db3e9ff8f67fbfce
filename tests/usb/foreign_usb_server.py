"""A program of another user that took the USB server's port: it answers
every line of the line protocol with "OK foreign" (a LIST with the given
reply, when one is given) and prints each line it received, until its
standard input ends.

Usage: foreign_usb_server.py PORT [LIST_REPLY]
       (PORT 0: any free port; prints "listening PORT")
"""
import socket
import sys
import threading


LIST_REPLY = sys.argv[2].encode() if len(sys.argv) > 2 else b"OK foreign"


def serve(connection):
    with connection, connection.makefile("rwb") as stream:
        for line in stream:
            request = line.decode(errors="replace").rstrip("\r\n")
            print("received", request, flush=True)
            stream.write((LIST_REPLY if request == "LIST" else b"OK foreign") + b"\n")
            stream.flush()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen(16)

    def accept():
        while True:
            threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    print("listening", listener.getsockname()[1], flush=True)
    sys.stdin.read()


main()
