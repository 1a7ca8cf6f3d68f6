#!/usr/bin/python3
"""The service host of the Windows tests: a release tree and uploads over HTTPS, with faults, TLS variants and a
request log that the tests switch through a plain-HTTP control port.
  testserver.py --https 127.0.0.1:443 --control 127.0.0.1:8081 --pki DIR --release DIR --uploads DIR
Control calls answer once their change is in effect, 200 "ok" (or the log), 400 with the reason:
  POST /ctl/reset                 faults and log cleared, TLS default, start-up directories, connections dropped
  POST /ctl/release?dir=/abs      serve DIR/patch/manifest.tsv(.sig), DIR/patch/blobs/<digest> (one byte range
                                  asked for as 206) and DIR/patch/chunks/<digest>
  POST /ctl/uploads?dir=/abs      store uploads in DIR
  POST /ctl/fault?path=P&status=N&body=N&chunked=1&stall_ms=N&stall_after=N&cut_after=N&rate=N&times=N&ranged=1
                  &flip=N
      requests whose path starts with P get status N (200 unless given) and the real content, or N filler bytes,
      at N bytes a second with rate; the answer stalls once after stall_after body bytes (0: before it; for an
      upload: before its body is read), or the connection drops after cut_after bytes; times=N: the next N such
      requests only. A fault ignores Range unless ranged=1; flip=N inverts body byte N. An upload under a fault
      with a status is not stored.
  POST /ctl/tls?mode=default|tls11|untrusted|off|drop     off: refused; drop: connections go unanswered
  GET  /ctl/log   METHOD TARGET AGENT CONTENT-TYPE BODY-BYTES STATUS STORED RANGE CONNECTION, tab-separated (the
                  bytes received, or for a GET those of the answer)
"""
import argparse
import http.server
import os
import re
import socket
import socketserver
import ssl
import threading
import time
import urllib.parse
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)  # TLS 1.1 is wanted here, to be refused
MODES = {"default": ("server", ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3),
         "tls11": ("server", ssl.TLSVersion.TLSv1_1, ssl.TLSVersion.TLSv1_1),
         "untrusted": ("untrusted", ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3)}
FAULT_FIELDS = {"status", "body", "chunked", "stall_ms", "stall_after", "cut_after", "rate", "times", "ranged", "flip"}


def shut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class State:
    def __init__(self, args):
        self.lock, self.args, self.listener, self.connections, self.generation = threading.Lock(), args, None, 0, 0
        self.contexts = {}
        for name, (stem, low, high) in MODES.items():
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version, ctx.maximum_version = low, high
            if low < ssl.TLSVersion.TLSv1_2:
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # OpenSSL 3 offers TLS 1.1 only at level 0
            ctx.load_cert_chain(os.path.join(args.pki, stem + ".pem"), os.path.join(args.pki, stem + ".key"))
            self.contexts[name] = ctx
        self.reset()

    def reset(self):
        with self.lock:
            self.release, self.uploads, self.fault, self.log = self.args.release, self.args.uploads, None, []
            self.generation += 1  # ends the stalls in progress
        self.set_mode("default")

    def set_mode(self, mode):
        if mode not in MODES and mode not in ("off", "drop"):
            raise ValueError("unknown mode " + mode)
        if self.listener:
            self.listener.stop()
        self.mode, self.listener = mode, None if mode == "off" else Listener(self, self.args.https, mode == "drop")

    def take_fault(self, path):
        with self.lock:
            f = self.fault
            if not f or not path.startswith(f["path"]) or f["times"] == 0:
                return None
            if f["times"] is not None:
                f["times"] -= 1
            return dict(f)


class Listener:
    """The HTTPS port: every connection on a thread of its own."""

    def __init__(self, state, address, drop):
        host, port = address.rsplit(":", 1)
        self.state, self.open, self.filler, self.sock = state, set(), None, socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, int(port)))
        if drop:
            # An accept queue that is full and never served: the kernel drops new SYNs, as a host that drops
            # packets would, and a client waits for its connect time-out.
            self.sock.listen(0)
            self.filler = socket.create_connection((host, int(port)))
            return
        self.sock.listen(128)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, peer = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn, peer), daemon=True).start()

    def serve(self, conn, peer):
        with self.state.lock:
            ctx, self.state.connections = self.state.contexts[self.state.mode], self.state.connections + 1
            number = self.state.connections
        try:
            conn.settimeout(120)
            tls = ctx.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            return conn.close()
        with self.state.lock:
            self.open.add(tls)
        try:
            Handler(tls, peer, self.state, number)
        except (OSError, ssl.SSLError, ValueError):
            pass
        with self.state.lock:
            self.open.discard(tls)
        tls.close()

    def stop(self):
        shut(self.sock)  # wakes the accepting thread, which lets go of the port
        self.sock.close()
        # Clients keep connections for later requests (Wine's WinHTTP even across sessions): a change of mode or a
        # reset must not reach them through an old one.
        with self.state.lock:
            live = list(self.open)
        for conn in live + ([self.filler] if self.filler else []):
            shut(conn)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def __init__(self, sock, peer, state, number):
        self.state, self.number = state, number
        super().__init__(sock, peer, None)

    def log_message(self, *args):
        pass

    def record(self, status, body_bytes, stored=""):
        h = self.headers
        fields = [self.command, self.path, h.get("User-Agent", ""), h.get("Content-Type", ""), str(body_bytes),
                  str(status), stored, h.get("Range", ""), str(self.number)]
        with self.state.lock:
            self.state.log.append("\t".join(f.replace("\t", " ") for f in fields) + "\n")

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        fault = self.state.take_fault(path) or {}
        body, status, extra = b"not found\n", 404, []
        if path in ("/patch/manifest.tsv", "/patch/manifest.tsv.sig") or \
                path.startswith(("/patch/blobs/", "/patch/chunks/")):
            try:
                with open(os.path.join(self.state.release, path.lstrip("/")), "rb") as f:
                    size = os.fstat(f.fileno()).st_size
                    ask = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
                    first, last = (int(ask[1]), min(int(ask[2] or size - 1), size - 1)) if ask else (0, -1)
                    if path.startswith("/patch/blobs/") and first <= last and (not fault or fault["ranged"]):
                        extra.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
                        f.seek(first)
                        body, status = f.read(last + 1 - first), 206
                    else:
                        body, status = f.read(), 200
            except OSError:
                pass
        if fault:
            status = fault["status"] or (status if fault["ranged"] else 200)
            if fault["body"] is not None:
                body = bytes(97 + i % 26 for i in range(fault["body"]))
            if fault["flip"] is not None and fault["flip"] < len(body):
                body = body[:fault["flip"]] + bytes([body[fault["flip"]] ^ 0xFF]) + body[fault["flip"] + 1:]
        self.record(status, len(body))
        self.reply(status, body, extra, fault)

    def reply(self, status, body, extra, fault):
        cut, stall_after, chunked, rate = (fault.get(k) for k in ("cut_after", "stall_after", "chunked", "rate"))
        stalled = stall_after == 0 and self.stall(fault["stall_ms"])  # held back before the headers
        if self.close_connection:
            return
        self.send_response(status)
        for name, value in extra + [("Transfer-Encoding", "chunked") if chunked else ("Content-Length", len(body))]:
            self.send_header(name, str(value))
        self.end_headers()
        sent = 0
        while sent < len(body):
            end = min([len(body), sent + (max(1, rate // 10) if rate else 256 * 1024)] +
                      [m for m in (cut, None if stalled else stall_after) if m is not None and m > sent])
            piece = body[sent:end]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            sent = end
            if rate:
                self.wfile.flush()
                time.sleep(len(piece) / rate)
            if cut is not None and sent >= cut:
                self.wfile.flush()
                shut(self.connection)  # dropped mid-body, without a TLS close
                self.close_connection = True
                return
            if stall_after is not None and not stalled and sent >= stall_after:
                if self.stall(fault["stall_ms"]) and self.close_connection:
                    return
                stalled = True
        self.wfile.write(b"0\r\n\r\n" if chunked else b"")
        self.wfile.flush()

    def stall(self, ms):
        """Waits ms, or until a reset, which ends the connection instead."""
        self.wfile.flush()
        generation, end = self.state.generation, time.monotonic() + ms / 1000.0
        while time.monotonic() < end and self.state.generation == generation:
            time.sleep(0.01)
        self.close_connection = self.state.generation != generation
        return True

    def do_POST(self):
        parts = urllib.parse.urlsplit(self.path)
        fault = self.state.take_fault(parts.path)
        if fault and fault["stall_after"] == 0:
            self.stall(fault["stall_ms"])  # a slow receiver: the sender waits with its body
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        tag, stored = urllib.parse.parse_qs(parts.query).get("tag", [""])[0], ""
        if fault and fault["status"] is not None:
            status = fault["status"]
        elif parts.path != "/legacy/upload" or tag not in ("zqlog", "dump") or not body:
            status = 400
        else:
            with self.state.lock:
                stored = os.path.join(self.state.uploads, "%s-%d-%d.bin" % (tag, time.time_ns(), len(self.state.log)))
            with open(stored, "wb") as f:
                f.write(body)
            status = 200
        self.record(status, len(body), stored)
        self.reply(status, b"ok\n" if status == 200 else b"refused\n", [], {})


class Control(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, text):
        self.send_response(status)
        self.send_header("Content-Length", str(len(text.encode())))
        self.end_headers()
        self.wfile.write(text.encode())

    def do_GET(self):
        with STATE.lock:
            return self.answer(200, "".join(STATE.log)) if self.path == "/ctl/log" else self.answer(404, "unknown\n")

    def do_POST(self):
        parts = urllib.parse.urlsplit(self.path)
        q = {k: v[-1] for k, v in urllib.parse.parse_qs(parts.query).items()}
        try:
            if parts.path == "/ctl/reset":
                STATE.reset()
            elif parts.path in ("/ctl/release", "/ctl/uploads"):
                if not os.path.isdir(q.get("dir", "")):
                    raise ValueError("no such directory: " + q.get("dir", ""))
                with STATE.lock:
                    setattr(STATE, parts.path[5:], q["dir"])
            elif parts.path == "/ctl/fault":
                if set(q) - FAULT_FIELDS - {"path"} or "path" not in q:
                    raise ValueError("fault needs path= and knows only " + ", ".join(sorted(FAULT_FIELDS)))
                if ("stall_after" in q) != ("stall_ms" in q):
                    raise ValueError("stall_ms and stall_after go together")
                with STATE.lock:
                    STATE.fault = dict({k: int(q[k]) if k in q else None for k in FAULT_FIELDS}, path=q["path"])
            elif parts.path == "/ctl/tls":
                STATE.set_mode(q.get("mode", ""))
            else:
                raise ValueError("unknown call " + parts.path)
        except (ValueError, OSError) as e:
            return self.answer(400, str(e) + "\n")
        self.answer(200, "ok\n")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for name in ("--https", "--control", "--pki", "--release", "--uploads"):
        p.add_argument(name, required=True)
    args = p.parse_args()
    STATE = State(args)
    host, port = args.control.rsplit(":", 1)
    socketserver.ThreadingTCPServer.allow_reuse_address = True
    control = socketserver.ThreadingTCPServer((host, int(port)), Control)
    control.daemon_threads = True
    print("ready", flush=True)
    control.serve_forever()
