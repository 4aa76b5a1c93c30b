#!/usr/bin/python3
"""The FTP server the producer's upload tests talk to: pyftpdlib on
127.0.0.1, a port the system chooses, one user with every right on a root
folder of the test.

It writes to --out, one line each, flushed at once: "PORT <n>" when it
listens, "> <command line>" for every command it receives (before it
handles it) and "closed" when a control connection has ended. Options make
it misbehave in the ways the tests need. It ends by itself when the test
that started it has gone, or after --lifetime seconds.
"""

import argparse
import logging
import os
import socket
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

TEMPORARY_NAME = "temp1000.tmp"


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--user", default="producer")
    parser.add_argument("--password", default="")
    parser.add_argument("--lifetime", type=float, default=600.0)
    # DELE of the temporary name answers 550 and keeps the file.
    parser.add_argument("--refuse-temp-delete", action="store_true")
    # PASV answers with this "a.b.c.d:port" instead of its own address.
    parser.add_argument("--pasv-reply")
    # After PORT, STOR connects to the client from this address itself
    # instead of opening the real data connection.
    parser.add_argument("--port-connect-from")
    # Seconds after which an idle control connection is closed.
    parser.add_argument("--idle-timeout", type=float)
    # A greeting of this many lines of this many bytes each (line ends not
    # counted), instead of the usual one.
    parser.add_argument("--banner-lines", type=int, default=0)
    parser.add_argument("--banner-line-bytes", type=int, default=0)
    return parser.parse_args()


ARGS = parse_arguments()
OUT = open(ARGS.out, "a", buffering=1)


def note(text):
    OUT.write(text + "\n")
    OUT.flush()


class Handler(FTPHandler):
    auth_failed_timeout = 0
    intruder = None
    intruder_target = None

    def handle(self):
        if ARGS.banner_lines <= 0:
            return super().handle()
        self.on_connect()
        lines = ARGS.banner_lines
        width = max(ARGS.banner_line_bytes, 4)
        if lines == 1:
            self.push("220 " + "x" * (width - 4) + "\r\n")
            return
        text = ["220-" + "x" * (width - 4)]
        text += ["x" * width] * (lines - 2)
        text.append("220 " + "x" * (width - 4))
        self.push("\r\n".join(text) + "\r\n")

    def pre_process_command(self, line, cmd, arg):
        note("> " + line)
        return super().pre_process_command(line, cmd, arg)

    def on_disconnect(self):
        note("closed")

    def ftp_DELE(self, path):
        if ARGS.refuse_temp_delete and os.path.basename(path) == TEMPORARY_NAME:
            self.respond("550 Not allowed.")
            return None
        return super().ftp_DELE(path)

    def ftp_PASV(self, line):
        if not ARGS.pasv_reply:
            return super().ftp_PASV(line)
        address, port = ARGS.pasv_reply.rsplit(":", 1)
        port = int(port)
        numbers = address.split(".") + [str(port >> 8), str(port & 0xFF)]
        self.respond("227 Entering passive mode (%s)." % ",".join(numbers))
        return None

    def ftp_PORT(self, line):
        if not ARGS.port_connect_from:
            return super().ftp_PORT(line)
        numbers = [int(n) for n in line.split(",")]
        self.intruder_target = (".".join(str(n) for n in numbers[:4]), numbers[4] * 256 + numbers[5])
        self.respond("200 Active data connection established.")
        return None

    def ftp_STOR(self, file, mode="w"):
        if not (ARGS.port_connect_from and self.intruder_target):
            return super().ftp_STOR(file, mode)
        self.intruder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.intruder.bind((ARGS.port_connect_from, 0))
        self.intruder.connect(self.intruder_target)
        self.respond("150 File status okay. About to open data connection.")
        return None


def main():
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(ARGS.user, ARGS.password, ARGS.root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    if ARGS.idle_timeout:
        Handler.timeout = ARGS.idle_timeout
    server = FTPServer(("127.0.0.1", 0), Handler)
    note("PORT %d" % server.socket.getsockname()[1])
    parent = os.getppid()
    deadline = time.monotonic() + ARGS.lifetime
    while os.getppid() == parent and time.monotonic() < deadline:
        server.serve_forever(timeout=0.2, blocking=False, handle_exit=False)
    server.close_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
