"""One end of a loopback TCP connection, held by this process (a test runs
it as another user), until its standard input ends.

Usage: peer_socket.py listen HOST [accept]   prints "listening PORT"; with
                                             accept it also takes every
                                             connection and holds it
       peer_socket.py connect HOST PORT [COUNT]
                                             opens COUNT connections (1);
                                             prints "connected LOCALPORT..."
"""
import socket
import sys
import threading


def hold_until_input_ends():
    sys.stdin.read()


def main():
    mode, host = sys.argv[1], sys.argv[2]
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    if mode == "listen":
        listener = socket.socket(family, socket.SOCK_STREAM)
        listener.bind((host, 0))
        listener.listen(16)
        held = []
        if len(sys.argv) > 3 and sys.argv[3] == "accept":
            def take():
                while True:
                    held.append(listener.accept()[0])
            threading.Thread(target=take, daemon=True).start()
        print("listening", listener.getsockname()[1], flush=True)
    else:
        count = int(sys.argv[4]) if len(sys.argv) > 4 else 1
        connections = [socket.create_connection((host, int(sys.argv[3]))) for _ in range(count)]
        print("connected", *(c.getsockname()[1] for c in connections), flush=True)
    hold_until_input_ends()


main()
