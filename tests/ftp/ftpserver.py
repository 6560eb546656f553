#!/usr/bin/env python3
"""A real FTP server for the tests, on loopback only.

Prints "LISTENING <port>" once it accepts connections and "RECEIVED <name>" after each stored
file, then serves until its standard input closes or it is killed.
"""
import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--passive-ports", default="", help="first-last; the system picks when empty")
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        def on_file_received(self, file):
            print("RECEIVED " + os.path.basename(file), flush=True)

    Handler.authorizer = authorizer
    Handler.banner = "test server ready."
    if args.passive_ports:
        first, last = (int(p) for p in args.passive_ports.split("-"))
        Handler.passive_ports = range(first, last + 1)

    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.max_cons = 16

    # The test closes our standard input (or kills us) to stop the server.
    def watch_stdin():
        sys.stdin.read()
        server.close_all()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    print("LISTENING %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever(timeout=0.2)


if __name__ == "__main__":
    main()
