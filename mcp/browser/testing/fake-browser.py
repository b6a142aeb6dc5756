#!/usr/bin/env python3
"""A stand-in for a Chromium-family browser in tests.

Appends one JSON line per launch to $FAKE_BROWSER_RECORD: its pid, arguments, environment,
working directory, open descriptors, what descriptors 0-2 point to, its signal masks and its parent-death signal. Then
it plays the browser's end of --remote-debugging-pipe (NUL-ended JSON read on descriptor 3,
written on descriptor 4), as $FAKE_BROWSER_MODE says:
  ok       answers every command with {"id": <its id>, "result": {}}
  silent   reads every command and answers none
  exit     exits at once with status 3
  handoff  sends descriptors 3 and 4 over the Unix socket at $FAKE_BROWSER_SOCKET and waits to be
           ended (the test then plays the browser)
With $FAKE_BROWSER_IGNORE_TERM set it ignores SIGTERM. Given --remote-debugging-port=<port>, it
listens there on 127.0.0.1 first, as Chromium does, or on [::1] when that is taken.
"""
import ctypes
import json
import os
import signal
import socket
import sys


def signal_masks():
    masks = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("SigBlk", "SigIgn"):
                masks[name] = int(value.strip(), 16)
    return masks


def parent_death_signal():
    value = ctypes.c_int(0)
    ctypes.CDLL(None, use_errno=True).prctl(2, ctypes.byref(value))  # PR_GET_PDEATHSIG
    return value.value


def open_descriptors():
    found = []
    for fd in range(0, 256):
        try:
            os.fstat(fd)
            found.append(fd)
        except OSError:
            pass
    return found


def serve(answer):
    pending = b""
    while True:
        chunk = os.read(3, 65536)
        if not chunk:
            return
        pending += chunk
        while b"\0" in pending:
            message, _, pending = pending.partition(b"\0")
            if answer:
                reply = {"id": json.loads(message)["id"], "result": {}}
                os.write(4, json.dumps(reply).encode() + b"\0")


def listen_on_port():
    for arg in sys.argv[1:]:
        if arg.startswith("--remote-debugging-port="):
            port = int(arg.split("=", 1)[1])
            for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                listener = socket.socket(family, socket.SOCK_STREAM)
                try:
                    listener.bind((host, port))
                    listener.listen(16)
                    return listener
                except OSError:
                    listener.close()
    return None


def main():
    if os.environ.get("FAKE_BROWSER_IGNORE_TERM"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    record = os.environ.get("FAKE_BROWSER_RECORD")
    if record:
        line = json.dumps({
            "pid": os.getpid(),
            "args": sys.argv[1:],
            "env": dict(os.environ),
            "cwd": os.getcwd(),
            "fds": open_descriptors(),
            "stdio": [os.readlink("/proc/self/fd/%d" % fd) for fd in range(3)],
            "masks": signal_masks(),
            "pdeathsig": parent_death_signal(),
        })
        with open(record, "a") as out:
            out.write(line + "\n")

    mode = os.environ.get("FAKE_BROWSER_MODE", "ok")
    if mode == "exit":
        sys.exit(3)
    port = listen_on_port()  # held until the browser ends
    if mode == "handoff":
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as handoff:
            handoff.connect(os.environ["FAKE_BROWSER_SOCKET"])
            socket.send_fds(handoff, [b"x"], [3, 4])
        os.close(3)
        os.close(4)
        while True:
            signal.pause()
    serve(mode == "ok")
    # The pipe ended: a browser lives on (as Chromium does) until it is signalled.
    while True:
        signal.pause()


main()
