#!/usr/bin/python3
"""HTTPS file server for the update tests, on 127.0.0.1 only.

Serves the files of --root. Special paths, each followed by a file name from the root:
  /error500/<name>   answers 500
  /drop/<name>       announces the whole file, sends half of it and drops the connection
                     (no TLS close_notify) 0.3 s later
  /slow/<name>       sends the file in 1 KiB pieces, 20 ms apart
  /redirect/<name>   answers 302 with the plain path of the file
  /empty             answers 200 with no body
Prints "PORT <n>" once listening and "REQ <path>" for every request (stdout, flushed).
Ends when its standard input closes.
"""
import argparse
import os
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, *args):
        pass

    def read_file(self, name):
        path = os.path.realpath(os.path.join(self.root, name.lstrip("/")))
        if not path.startswith(os.path.realpath(self.root) + os.sep) or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def head(self, code, length, extra=None):
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()

    def do_GET(self):
        say("REQ " + self.path)
        path = self.path.split("?", 1)[0]  # a query picks nothing here
        kind, _, rest = path.lstrip("/").partition("/")
        if kind == "empty":
            self.head(200, 0)
            return
        if kind == "error500":
            body = b"server error"
            self.head(500, len(body))
            self.wfile.write(body)
            return
        if kind == "redirect":
            self.head(302, 0, {"Location": "/" + rest})
            return
        data = self.read_file(rest if kind in ("drop", "slow") else path)
        if data is None:
            body = b"not found"
            self.head(404, len(body))
            self.wfile.write(body)
            return
        self.head(200, len(data))
        if kind == "drop":
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            time.sleep(0.3)  # the client takes in what came before it sees the drop
            self.close_connection = True
            self.connection.close()
            return
        if kind == "slow":
            try:
                for i in range(0, len(data), 1024):
                    self.wfile.write(data[i : i + 1024])
                    self.wfile.flush()
                    time.sleep(0.02)
            except OSError:
                pass
            return
        self.wfile.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()

    Handler.root = args.root
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    # The handshake runs in the request thread, so a stuck client cannot block the others.
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    say("PORT %d" % server.server_address[1])
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
