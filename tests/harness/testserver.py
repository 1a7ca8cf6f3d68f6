#!/usr/bin/python3
"""The service host of the Windows tests: serves a release tree and takes uploads over HTTPS, with faults, TLS
variants and a request log that the tests switch through a plain-HTTP control port.

  testserver.py --https 127.0.0.1:443 --control 127.0.0.1:8081 --pki DIR --release DIR --uploads DIR

Control (each call answers once its change is in effect: 200 "ok" or the log, 400 with the reason):
  POST /ctl/reset                     faults and log cleared, TLS default, start-up directories
  POST /ctl/release?dir=/abs          serve DIR/patch/manifest.tsv and DIR/patch/blobs/<digest>
  POST /ctl/uploads?dir=/abs          store uploads in DIR
  POST /ctl/fault?path=P&status=N&body=N&chunked=1&stall_ms=N&stall_after=N&cut_after=N&times=N
        requests whose path starts with P get status N (200 unless given) and the real content, or N filler
        bytes ('a' + i % 26); the body stalls once after stall_after bytes (0: before the answer; for an upload,
        before its body is read), or the connection drops after cut_after bytes. times=N: only the next N such
        requests (default: all). A fault ignores Range. An upload under a fault with a status is never stored.
  POST /ctl/tls?mode=default|tls13|tls11|untrusted|off|drop
        off: nothing listens (refused); drop: connection attempts go unanswered
  GET  /ctl/log   METHOD TARGET AGENT CONTENT-TYPE BODY-BYTES STATUS STORED RANGE CONNECTION, tab-separated
"""
import argparse
import warnings
import http.server
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

CHUNK = 256 * 1024
warnings.filterwarnings("ignore", category=DeprecationWarning)  # TLS 1.1 is wanted here, to be refused
MODES = {  # name: (certificate stem, lowest, highest version)
    "default": ("server", ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3),
    "tls13": ("server", ssl.TLSVersion.TLSv1_3, ssl.TLSVersion.TLSv1_3),
    "tls11": ("server", ssl.TLSVersion.TLSv1_1, ssl.TLSVersion.TLSv1_1),
    "untrusted": ("untrusted", ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3),
}


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.args = args
        self.contexts = {}
        for name, (stem, low, high) in MODES.items():
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version, ctx.maximum_version = low, high
            if low < ssl.TLSVersion.TLSv1_2:
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # OpenSSL 3 offers TLS 1.1 only at level 0
            ctx.load_cert_chain(os.path.join(args.pki, stem + ".pem"), os.path.join(args.pki, stem + ".key"))
            self.contexts[name] = ctx
        self.listener = None
        self.connections = 0
        self.reset()

    def reset(self):
        with self.lock:
            self.release, self.uploads = self.args.release, self.args.uploads
            self.fault, self.log, self.generation = None, [], getattr(self, "generation", 0) + 1
        self.set_mode("default")

    def set_mode(self, mode):
        if mode not in MODES and mode not in ("off", "drop"):
            raise ValueError("unknown mode " + mode)
        if self.listener:
            self.listener.stop()
            self.listener = None
        with self.lock:
            self.mode = mode
        if mode != "off":
            self.listener = Listener(self, self.args.https, mode == "drop")

    def take_fault(self, path):
        with self.lock:
            f = self.fault
            if not f or not path.startswith(f["path"]):
                return None
            if f["times"] is not None:
                if f["times"] == 0:
                    return None
                f["times"] -= 1
            return dict(f)


class Listener:
    """The HTTPS port: every accepted connection is served on a thread of its own."""

    def __init__(self, state, address, drop):
        host, port = address.rsplit(":", 1)
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, int(port)))
        self.filler, self.state, self.open = None, state, set()
        if drop:
            # A full accept queue that is never served: the kernel then drops new SYNs, as a host that drops
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
            ctx = self.state.contexts[self.state.mode]
            self.state.connections += 1
            number = self.state.connections
        try:
            conn.settimeout(120)
            tls = ctx.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            conn.close()
            return
        with self.state.lock:
            self.open.add(tls)
        try:
            Handler(tls, peer, self.state, number)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            with self.state.lock:
                self.open.discard(tls)
            tls.close()

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread, which lets go of the port
        except OSError:
            pass
        self.sock.close()
        # Clients keep connections for later requests (Wine's WinHTTP even across sessions): a change of mode or a
        # reset must not reach them through an old one.
        with self.state.lock:
            live = list(self.open)
        for conn in live:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self.filler:
            self.filler.close()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def __init__(self, sock, peer, state, number):
        self.state, self.number = state, number
        super().__init__(sock, peer, None)

    def log_message(self, *args):
        pass

    def record(self, status, body_bytes, stored=""):
        fields = [self.command, self.path, self.headers.get("User-Agent", ""),
                  self.headers.get("Content-Type", ""), str(body_bytes), str(status), stored,
                  self.headers.get("Range", ""), str(self.number)]
        with self.state.lock:
            self.state.log.append("\t".join(f.replace("\t", " ") for f in fields) + "\n")

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        fault = self.state.take_fault(path)
        with self.state.lock:
            release = self.state.release
        content, status, first = None, 404, 0
        if path == "/patch/manifest.tsv" or path.startswith("/patch/blobs/"):
            try:
                with open(os.path.join(release, path.lstrip("/")), "rb") as f:
                    content, status = f.read(), 200
            except OSError:
                pass
        extra = []
        if content is not None and path.startswith("/patch/blobs/") and not fault:
            first = RangeStart(self.headers.get("Range", ""), len(content))
            if first is not None and first < len(content):
                extra.append(("Content-Range", "bytes %d-%d/%d" % (first, len(content) - 1, len(content))))
                status, content = 206, content[first:]
        if fault:
            status = fault["status"] if fault["status"] is not None else 200
            if fault["body"] is not None:
                content = bytes(97 + i % 26 for i in range(fault["body"]))
        body = content if content is not None else b"not found\n"
        self.record(status, 0)
        self.reply(status, body, extra, fault or {})

    def reply(self, status, body, extra, fault):
        cut, stall_after = fault.get("cut_after"), fault.get("stall_after")
        stalled = stall_after == 0 and self.stall(fault["stall_ms"])  # held back before the headers
        if self.close_connection:
            return
        self.send_response(status)
        for name, value in extra:
            self.send_header(name, value)
        chunked = fault.get("chunked")
        self.send_header("Transfer-Encoding" if chunked else "Content-Length", "chunked" if chunked else str(len(body)))
        self.end_headers()
        sent = 0
        while sent < len(body):
            end = min(len(body), sent + CHUNK)
            for mark in (cut, None if stalled else stall_after):
                if mark is not None and mark > sent:
                    end = min(end, mark)
            piece = body[sent:end]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            sent = end
            if cut is not None and sent >= cut:
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)  # dropped mid-body, without a TLS close
                self.close_connection = True
                return
            if stall_after is not None and not stalled and sent >= stall_after:
                stalled = self.stall(fault["stall_ms"])
                if self.close_connection:
                    return
        if chunked:
            self.wfile.write(b"0\r\n\r\n")
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
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        tag = urllib.parse.parse_qs(parts.query).get("tag", [""])[0]
        stored = ""
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


def RangeStart(header, size):
    """The first byte of a "bytes=N-" range, or None."""
    if not header.startswith("bytes=") or not header.endswith("-") or not header[6:-1].isdigit():
        return None
    return int(header[6:-1])


class Control(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/ctl/log":
            with STATE.lock:
                return self.answer(200, "".join(STATE.log))
        self.answer(404, "unknown\n")

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
                known = {"path", "status", "body", "chunked", "stall_ms", "stall_after", "cut_after", "times"}
                if set(q) - known or "path" not in q:
                    raise ValueError("fault needs path= and knows only " + ", ".join(sorted(known)))
                f = {k: (int(q[k]) if k in q else None) for k in known - {"path"}}
                f["path"] = q["path"]
                if (f["stall_after"] is None) != (f["stall_ms"] is None):
                    raise ValueError("stall_ms and stall_after go together")
                with STATE.lock:
                    STATE.fault = f
            elif parts.path == "/ctl/tls":
                STATE.set_mode(q.get("mode", ""))
            else:
                raise ValueError("unknown call " + parts.path)
        except (ValueError, OSError) as e:
            return self.answer(400, str(e) + "\n")
        self.answer(200, "ok\n")


def main():
    global STATE
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


if __name__ == "__main__":
    sys.exit(main())
