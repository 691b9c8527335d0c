#!/usr/bin/env python3
"""Round trip of one query against the demo device, three ways, median and p99 over N exchanges:
through the JSON API (POST /.orvelle/query), through a page (query built-in), and directly on the
pseudo-terminal (what the server adds is the difference). The exchange is a line the device
echoes at once (*IDN? and PING are answered after a deliberate delay).

    bench/query_round_trip.py [--orvelle build/release/src/cli/orvelle] [--count 1000]
"""
import argparse
import http.client
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

PAGE = '<% r = query ("ECHO" & chr(13), chr(10), 2000) %><%= len(r) %>'


def start_server(binary, home):
    os.makedirs(os.path.join(home, "web"))
    with open(os.path.join(home, "web", "q.ovs"), "w") as f:
        f.write(PAGE)
    server = subprocess.Popen([binary, "--home", home, "--port", "0", "--bind", "127.0.0.1",
                               "--demo"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True)
    port = device = None
    while port is None or device is None:
        line = server.stdout.readline()
        if not line:
            sys.exit("orvelle ended before it listened")
        if "Listening for HTTP connections on 127.0.0.1:" in line:
            port = int(line.rsplit(":", 1)[1].rstrip(".\n"))
        if "Demo device (a simulated instrument) on " in line:
            device = line.split(" on ", 1)[1].split(";")[0]
    # The log goes on: keep reading it, so the server never waits to write it at its stop.
    threading.Thread(target=server.stdout.read, daemon=True).start()
    return server, port, device


def request(port, method, path, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Content-Type": "application/json"} if body is not None else {}
    connection.request(method, path, body, headers)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    if response.status != 200:
        sys.exit(f"{method} {path}: {response.status} {data!r}")
    return data


def direct(device, count):
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    times = []
    for _ in range(count):
        start = time.perf_counter()
        os.write(fd, b"ECHO\r")
        got = b""
        while not got.endswith(b"\n"):
            select.select([fd], [], [], 2)
            got += os.read(fd, 4096)
        times.append(time.perf_counter() - start)
    os.close(fd)
    return times


def timed(count, exchange):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        exchange()
        times.append(time.perf_counter() - start)
    return times


def report(name, times):
    ordered = sorted(times)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    print(f"{name:<28} median {statistics.median(ordered) * 1000:7.3f} ms"
          f"   p99 {p99 * 1000:7.3f} ms   ({len(ordered)} exchanges)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orvelle", default="build/release/src/cli/orvelle")
    parser.add_argument("--count", type=int, default=1000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as home:
        server, port, device = start_server(args.orvelle, home)
        try:
            report("directly on the pty", direct(device, args.count))
            request(port, "POST", "/.orvelle/open", "{}")
            body = json.dumps({"text": "ECHO", "end": "cr"})
            report("through the API", timed(args.count, lambda: request(
                port, "POST", "/.orvelle/query", body)))
            report("through a page", timed(args.count, lambda: request(port, "GET", "/q.ovs")))
            request(port, "POST", "/.orvelle/close", "{}")
        finally:
            server.terminate()
            server.wait(30)


if __name__ == "__main__":
    main()
