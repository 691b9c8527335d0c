#!/usr/bin/env python3
"""The raw TCP port beside the pseudo-terminal it serves, on one machine:
  throughput: the device writes N MiB; a program reads them from the pseudo-terminal directly,
              then a TCP client reads them through orvelle's raw port (target: ratio >= 0.9);
  round trip: one byte out and the device's echo back, directly and through the raw port
              (target: added median <= 200 us).
The same Python reader does both sides of each pair, so its own cost cancels out.

    bench/network_port_bench.py [orvelle-binary] [MiB] [round-trips]
"""
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

CHUNK = 65536


class Echo:
    """The device: echoes every byte it gets, or writes a block of bytes when asked."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.echo = False
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            data = os.read(self.master, CHUNK)
            if self.echo:
                os.write(self.master, data)

    def stream(self, total):
        block = os.urandom(CHUNK)
        sent = 0
        while sent < total:
            sent += os.write(self.master, block[: min(CHUNK, total - sent)])


def read_exactly(read, total):
    got = 0
    while got < total:
        chunk = read(CHUNK)
        if not chunk:
            raise RuntimeError("closed early")
        got += len(chunk)


def throughput(device, read, total):
    writer = threading.Thread(target=device.stream, args=(total,))
    start = time.perf_counter()
    writer.start()
    read_exactly(read, total)
    elapsed = time.perf_counter() - start
    writer.join()
    return total / elapsed / 1e6


def round_trips(write, read, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        write(b"x")
        read_exactly(read, 1)
        times.append((time.perf_counter() - start) * 1e6)
    return statistics.median(times), sorted(times)[int(len(times) * 0.99) - 1]


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/release/src/cli/orvelle"
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    total = mib * 1024 * 1024

    direct = Echo()
    rate_direct = throughput(direct, lambda n: os.read(direct.slave, n), total)
    direct.echo = True
    rt_direct = round_trips(lambda b: os.write(direct.slave, b), lambda n: os.read(direct.slave, n),
                            count)

    served = Echo()
    home = tempfile.mkdtemp(prefix="orvelle-bench-")
    server = subprocess.Popen([binary, "--home", home, "--port", "0", "--bind", "127.0.0.1",
                               "--raw-port", "0", "--tcp-device", served.path],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = None
        for line in server.stdout:
            found = re.search(r"raw TCP clients on \S+ port (\d+)", line)
            if found:
                port = int(found.group(1))
                break
        client = socket.create_connection(("127.0.0.1", port))
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        time.sleep(0.2)  # the server opens the port for the client
        rate_tcp = throughput(served, client.recv, total)
        served.echo = True
        rt_tcp = round_trips(client.sendall, client.recv, count)
    finally:
        server.terminate()
        server.wait()

    print("load: %s (1/5/15 min)" % " ".join(open("/proc/loadavg").read().split()[:3]))
    print("throughput, %d MiB from the device:" % mib)
    print("  pseudo-terminal read directly  %8.1f MB/s" % rate_direct)
    print("  raw TCP port                   %8.1f MB/s" % rate_tcp)
    print("  ratio                          %8.2f  (target >= 0.9)" % (rate_tcp / rate_direct))
    print("round trip, one byte and its echo, %d times (median / p99):" % count)
    print("  pseudo-terminal directly       %8.0f / %.0f us" % rt_direct)
    print("  raw TCP port                   %8.0f / %.0f us" % rt_tcp)
    print("  added (median)                 %8.0f us  (target <= 200 us)" % (rt_tcp[0] - rt_direct[0]))


if __name__ == "__main__":
    main()
