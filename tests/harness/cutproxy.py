#!/usr/bin/python3
"""A TCP proxy that drops its first connection after BYTES bytes towards the client, in front of a real server:
a connection lost in the middle of a transfer, whatever the server.   cutproxy.py LISTEN UPSTREAM BYTES"""
import socket
import sys
import threading


def pump(src, dst, limit):
    sent = 0
    try:
        while limit is None or sent < limit:
            data = src.recv(65536)
            if not data:
                break
            if limit is not None:
                data = data[:limit - sent]
            dst.sendall(data)
            sent += len(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    (host, port), (uhost, uport) = [a.rsplit(":", 1) for a in sys.argv[1:3]]
    cut = int(sys.argv[3])
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
        threading.Thread(target=pump, args=(upstream, client, cut if first else None), daemon=True).start()
        first = False


if __name__ == "__main__":
    main()
