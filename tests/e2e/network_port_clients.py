#!/usr/bin/env python3
"""The network serial port driven by clients nobody here wrote: Debian's pyserial as the RFC 2217
client, socat on the raw port. Starts the real orvelle twice: once with --demo, once on a
pseudo-terminal this script holds the other end of, so it can see the line settings and every
byte. Every wait is bounded; the first failed check ends the run with exit code 1.

    network_port_clients.py ORVELLE_BINARY
"""
import fcntl
import hashlib
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import serial  # python3-serial

WAIT = 15.0  # seconds any one wait may take on a loaded machine
BIG = 10 * 1024 * 1024  # bytes each way through the raw port


class Server:
    """orvelle in the foreground, its log lines collected as they come."""

    def __init__(self, binary, *args):
        self.home = tempfile.mkdtemp(prefix="orvelle-tcp-")
        os.makedirs(os.path.join(self.home, "web"))
        self.lines = []
        self.changed = threading.Condition()
        self.proc = subprocess.Popen(
            [binary, "--home", self.home, "--port", "0", "--bind", "127.0.0.1", *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._collect, daemon=True).start()
        self.url = self.wait_for(r"Serving (http://\S+)").group(1)

    def _collect(self):
        for raw in self.proc.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, pattern, after=0, timeout=WAIT):
        """The first log line from index `after` on that matches."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines[after:]:
                    found = re.search(pattern, line)
                    if found:
                        return found
                left = deadline - time.monotonic()
                if left <= 0:
                    fail("no log line matching %r; log:\n  %s" % (pattern, "\n  ".join(self.lines)))
                self.changed.wait(left)

    def mark(self):
        with self.changed:
            return len(self.lines)

    def port(self, kind):
        return int(self.wait_for(r"Serial port for %s clients on \S+ port (\d+)" % kind).group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=WAIT)


def fail(message):
    print("FAIL: " + message, flush=True)
    os._exit(1)


def check(condition, message):
    if not condition:
        fail(message)
    print("ok: " + message, flush=True)


def read_line_with(port, wanted):
    """Reads lines from a pyserial port until one contains `wanted` (bounded)."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        line = port.readline()
        if wanted in line:
            return line
    return b""


def closed_by_server(sock):
    sock.settimeout(WAIT)
    try:
        while sock.recv(4096):
            pass
        return True
    except (ConnectionResetError, socket.timeout):
        return False


def demo_checks(binary):
    server = Server(binary, "--demo", "--rfc2217-port", "0")
    url = "rfc2217://127.0.0.1:%d" % server.port("RFC 2217")
    s = serial.serial_for_url(url, timeout=2)
    s.write(b"*IDN?\r\n")
    check(s.readline() == b"ORVELLE,SIMULATOR,0,1.0\r\n", "*IDN? round trip through RFC 2217")

    check(s.cts in (True, False) and s.cd in (True, False), "modem state notified")
    mark = server.mark()
    s.dtr = False
    s.rts = False
    server.wait_for(r"TCP client \S+: DTR off", mark)
    server.wait_for(r"TCP client \S+: RTS off", mark)
    s.dtr = True
    server.wait_for(r"TCP client \S+: DTR on", mark)
    check(True, "DTR and RTS set and answered")
    s.reset_input_buffer()
    server.wait_for(r"TCP client \S+: purge input", mark)
    check(True, "purge answered")

    mark = server.mark()
    second = socket.create_connection(("127.0.0.1", server.port("RFC 2217")), timeout=WAIT)
    check(closed_by_server(second), "a second client is closed")
    server.wait_for(r"refused: the port is in use by", mark)

    s.write(b"STREAM ON\r\n")
    check(read_line_with(s, b"\r\n") != b"", "the device streams")
    mark = server.mark()
    s.close()  # while the device streams
    server.wait_for(r"TCP client \S+ disconnected", mark)
    s = serial.serial_for_url(url, timeout=2)
    s.write(b"STREAM OFF\r\n*IDN?\r\n")
    check(read_line_with(s, b"ORVELLE,SIMULATOR") != b"", "a new client works after one left mid-stream")
    s.close()
    server.stop()


def allow_list_check(binary):
    server = Server(binary, "--demo", "--raw-port", "0", "--tcp-allow", "10.0.0.0/8")
    mark = server.mark()
    for _ in range(2):
        client = socket.create_connection(("127.0.0.1", server.port("raw TCP")), timeout=WAIT)
        check(closed_by_server(client), "a client outside --tcp-allow is closed")
    server.wait_for(r"TCP client 127\.0\.0\.1:\d+ refused: address not allowed", mark)
    refusals = [line for line in server.lines[mark:] if "refused: address not allowed" in line]
    check(len(refusals) == 1, "a refused address is logged once a minute, not once a try")
    server.stop()


class Device:
    """The far end of a pseudo-terminal: collects everything the server writes to the port."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.got = bytearray()
        self.lock = threading.Lock()
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            with self.lock:
                self.got += chunk

    def take(self):
        with self.lock:
            data = bytes(self.got)
            self.got.clear()
            return data

    def wait_bytes(self, count):
        deadline = time.monotonic() + 4 * WAIT
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.got) >= count:
                    return True
            time.sleep(0.01)
        return False

    def line_settings(self):
        """termios2 of the line: (output rate, c_cflag)."""
        tcgets2 = 0x802C542A
        raw = fcntl.ioctl(self.slave, tcgets2, bytes(44))
        _, _, cflag, _, _, _, _, ospeed = struct.unpack("=IIIIB19sII", raw)
        return ospeed, cflag


def settings_check(server, device):
    url = "rfc2217://127.0.0.1:%d" % server.port("RFC 2217")
    mark = server.mark()
    s = serial.serial_for_url(url, baudrate=250000, bytesize=7, parity="E", stopbits=2, timeout=2)
    rate, cflag = device.line_settings()
    cstopb = 0o100
    check(rate == 250000 and cflag & cstopb, "a rate off the table and two stop bits on the line")
    server.wait_for(r"TCP client \S+: line 250000 7 Even 2 None", mark)
    check(True, "the change is logged")
    s.close()
    server.wait_for(r"TCP client \S+ disconnected", mark)


def raw_throughput_check(server, device):
    port = server.port("raw TCP")
    socat = subprocess.Popen(["socat", "-b65536", "STDIO", "TCP:127.0.0.1:%d" % port],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    server.wait_for(r"TCP client \S+ connected \(raw TCP\)")
    device.take()
    to_device = os.urandom(BIG)
    from_device = os.urandom(BIG)
    received = bytearray()

    def read_socat():
        while len(received) < BIG:
            chunk = socat.stdout.read1(65536)
            if not chunk:
                return
            received.extend(chunk)

    def write_device():
        view = memoryview(from_device)
        while view:
            written = os.write(device.master, view[:65536])
            view = view[written:]

    reader = threading.Thread(target=read_socat)
    writer = threading.Thread(target=write_device)
    reader.start()
    writer.start()
    socat.stdin.write(to_device)
    socat.stdin.flush()
    check(device.wait_bytes(BIG), "10 MiB reached the device")
    reader.join(4 * WAIT)
    writer.join(4 * WAIT)
    sent = device.take()
    check(hashlib.sha256(sent).digest() == hashlib.sha256(to_device).digest(),
          "client to device: no byte lost or changed")
    check(hashlib.sha256(bytes(received)).digest() == hashlib.sha256(from_device).digest(),
          "device to client: no byte lost or changed")
    socat.kill()
    socat.wait()


def interleave_check(server, device):
    with open(os.path.join(server.home, "web", "long.ovs"), "w") as page:
        page.write('<%\nfor (i, 1, 100, 1)\nsend ("PAGE-0123456789;")\nt = getticks()\n'
                   'e = 0\nwhile (e << 3)\ne = getticks() - t\nwend\nnext\necho ("page done")\n%>\n')
    mark = server.mark()
    client = socket.create_connection(("127.0.0.1", server.port("raw TCP")), timeout=WAIT)
    server.wait_for(r"TCP client \S+ connected", mark)
    device.take()
    sending = threading.Event()
    sending.set()

    def send_loop():
        while sending.is_set():
            client.sendall(b"tcp.")
            time.sleep(0.0005)

    sender = threading.Thread(target=send_loop)
    sender.start()
    time.sleep(0.05)  # the client's bytes are flowing before the page starts
    body = urllib.request.urlopen(server.url + "long.ovs", timeout=WAIT).read()
    time.sleep(0.05)
    sending.clear()
    sender.join(WAIT)
    data = device.take()
    check(b"page done" in body, "the page ran")
    check(data.count(b"tcp.") > 0 and b"PAGE-0123456789;" * 100 in data,
          "the page's 100 sends reached the device in one piece, the client's bytes around them")
    client.close()


def sharing_checks(server, device):
    mark = server.mark()
    first = socket.create_connection(("127.0.0.1", server.port("raw TCP")), timeout=WAIT)
    server.wait_for(r"TCP client \S+ connected", mark)
    second = socket.create_connection(("127.0.0.1", server.port("raw TCP")), timeout=WAIT)
    check(closed_by_server(first), "--tcp-takeover: the first client is closed")
    server.wait_for(r"replaced by", mark)
    second.close()

    mark = server.mark()
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", server.port("raw TCP")))
    server.wait_for(r"TCP client \S+ connected", mark)
    chunk = b"x" * 4096
    deadline = time.monotonic() + 4 * WAIT
    while time.monotonic() < deadline:
        os.write(device.master, chunk)  # never held back, so this never blocks for long
        with server.changed:
            if any("dropped: it took no bytes" in line for line in server.lines[mark:]):
                break
        time.sleep(0.005)
    server.wait_for(r"dropped: it took no bytes for 5 s", mark, timeout=1)
    check(True, "a client that stops reading while the port streams is dropped")
    stalled.close()


def main():
    binary = sys.argv[1]
    demo_checks(binary)
    allow_list_check(binary)
    device = Device()
    server = Server(binary, "--tcp-device", device.path, "--rfc2217-port", "0",
                    "--raw-port", "0", "--tcp-takeover")
    settings_check(server, device)
    raw_throughput_check(server, device)
    interleave_check(server, device)
    sharing_checks(server, device)
    server.stop()
    print("all network serial client checks passed")


if __name__ == "__main__":
    main()
