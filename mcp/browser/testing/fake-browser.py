#!/usr/bin/env python3
"""A stand-in for a Chromium-family browser in tests.

Appends one JSON line per launch to $FAKE_BROWSER_RECORD: its pid, arguments, environment, open
descriptors, what descriptors 0-2 point to, and its signal masks. Then serves GET /json/version
on 127.0.0.1 at the port of --remote-debugging-port=, as $FAKE_BROWSER_MODE says:
  ok        200 {"webSocketDebuggerUrl": "ws://127.0.0.1:<port>/devtools/browser/fake"}
  localhost the same with the host "localhost"
  404       404 for every request
  impostor  200 with a URL on another host (evil.example)
  otherport 200 with a URL on another port
  wss       200 with a wss: URL
  nokey     200 {"Browser": "Fake"}
  notjson   200 with a body that is not JSON
  exit      no server: exits at once with status 3
With $FAKE_BROWSER_IGNORE_TERM set it ignores SIGTERM.
"""
import http.server
import json
import os
import signal
import sys


def signal_masks():
    masks = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("SigBlk", "SigIgn"):
                masks[name] = int(value.strip(), 16)
    return masks


def open_descriptors():
    found = []
    for fd in range(0, 256):
        try:
            os.fstat(fd)
            found.append(fd)
        except OSError:
            pass
    return found


def main():
    if os.environ.get("FAKE_BROWSER_IGNORE_TERM"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    args = sys.argv[1:]
    record = os.environ.get("FAKE_BROWSER_RECORD")
    if record:
        line = json.dumps({
            "pid": os.getpid(),
            "args": args,
            "env": dict(os.environ),
            "fds": open_descriptors(),
            "stdio": [os.readlink("/proc/self/fd/%d" % fd) for fd in range(3)],
            "masks": signal_masks(),
        })
        with open(record, "a") as out:
            out.write(line + "\n")

    mode = os.environ.get("FAKE_BROWSER_MODE", "ok")
    if mode == "exit":
        sys.exit(3)
    port = None
    for arg in args:
        if arg.startswith("--remote-debugging-port="):
            port = int(arg.split("=", 1)[1])
    urls = {
        "ok": "ws://127.0.0.1:%d/devtools/browser/fake" % port,
        "localhost": "ws://localhost:%d/devtools/browser/fake" % port,
        "impostor": "ws://evil.example:%d/devtools/browser/fake" % port,
        "otherport": "ws://127.0.0.1:%d/devtools/browser/fake" % (port + 1),
        "wss": "wss://127.0.0.1:%d/devtools/browser/fake" % port,
    }

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if mode == "404":
                body, status = b"not found", 404
            elif mode == "nokey":
                body, status = b'{"Browser": "Fake"}', 200
            elif mode == "notjson":
                body, status = b"<html>", 200
            else:
                body = json.dumps({"Browser": "Fake", "webSocketDebuggerUrl": urls[mode]}).encode()
                status = 200
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *unused):
            pass

    http.server.HTTPServer(("127.0.0.1", port), Handler).serve_forever()


main()
