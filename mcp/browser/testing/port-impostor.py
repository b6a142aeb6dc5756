#!/usr/bin/env python3
"""Takes 127.0.0.1:<port> as an impostor would, and appends every byte a client sends it to <log>.

  port-impostor.py <port> <log>

Returns once it listens; the listener lives on in a process of its own (outside its caller's
process tree), holding none of its caller's descriptors (a browser's wrapper runs it with the
browser's pipe on 3 and 4), until it is signalled by the pid it writes to <log>.pid.
"""
import os
import socket
import sys


def main():
    port, log = int(sys.argv[1]), sys.argv[2]
    os.closerange(3, 1024)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    open(log, "ab").close()
    child = os.fork()
    if child > 0:
        with open(log + ".pid", "w") as out:
            out.write(str(child))
        os._exit(0)
    while True:
        client, _ = listener.accept()
        with client, open(log, "ab") as out:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                out.write(data)
                out.flush()


main()
