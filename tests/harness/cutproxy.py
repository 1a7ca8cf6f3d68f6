#!/usr/bin/python3
"""A TCP proxy that drops its first connection after BYTES bytes towards the client (0: never), and sends at most
RATE bytes a second towards it: a connection lost in the middle of a transfer, or a slow line, whatever the server.
    cutproxy.py LISTEN UPSTREAM BYTES [RATE]"""
import socket
import sys
import threading
import time


def pump(src, dst, limit, rate=None):
    sent = 0
    try:
        while limit is None or sent < limit:
            data = src.recv(max(1, rate // 10) if rate else 65536)
            if not data:
                break
            if limit is not None:
                data = data[:limit - sent]
            dst.sendall(data)
            sent += len(data)
            if rate:
                time.sleep(len(data) / rate)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    (host, port), (uhost, uport) = [a.rsplit(":", 1) for a in sys.argv[1:3]]
    cut, rate = int(sys.argv[3]) or None, int(sys.argv[4]) if len(sys.argv) > 4 else None
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, int(port)))
    server.listen(64)
    print("ready", flush=True)
    first = True
    while True:
        client, _ = server.accept()
        upstream = socket.create_connection((uhost, int(uport)))
        threading.Thread(target=pump, args=(client, upstream, None), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, cut if first else None, rate), daemon=True).start()
        first = False


if __name__ == "__main__":
    main()
