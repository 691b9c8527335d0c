#!/usr/bin/env python3
"""An instrument behind Orvelle, from Python with the standard library only: asks *IDN?, reads
the device's stream for a while and logs the readings to a CSV file, through the JSON API.

    python3 instrument.py [--url http://127.0.0.1:8080] [--port /dev/ttyUSB0] [--seconds 10]
                          [--csv readings.csv] [--user NAME --password SECRET]

Without --port the server's demo device is opened (orvelle --demo). The stream commands are the
demo device's (STREAM ON / STREAM OFF, lines "T=n"); put your instrument's own in their place.
"""
import argparse
import base64
import csv
import datetime
import json
import sys
import time
import urllib.error
import urllib.request


class ApiError(Exception):
    """A refusal from the server: its status, its short code and its sentence."""

    def __init__(self, status, code, message):
        super().__init__(f"{status} {code}: {message}")
        self.status, self.code = status, code


class Orvelle:
    """POSTs JSON to /.orvelle/<call>; a busy server (409 busy) is asked again after Retry-After."""

    def __init__(self, url, user=None, password=None, tries=30):
        self.url = url.rstrip("/")
        self.headers = {"Content-Type": "application/json"}
        if user is not None:
            token = base64.b64encode(f"{user}:{password or ''}".encode()).decode()
            self.headers["Authorization"] = "Basic " + token
        self.tries = tries

    def call(self, name, body=None):
        data = json.dumps(body or {}).encode()
        for _ in range(self.tries):
            request = urllib.request.Request(f"{self.url}/.orvelle/{name}", data, self.headers)
            try:
                with urllib.request.urlopen(request, timeout=70) as response:
                    return json.load(response)
            except urllib.error.HTTPError as error:
                try:
                    answer = json.load(error)
                except ValueError:
                    answer = {"error": "http", "message": error.reason}
                if error.code == 409 and answer.get("error") == "busy":
                    time.sleep(float(error.headers.get("Retry-After", "1")))
                    continue
                raise ApiError(error.code, answer.get("error"), answer.get("message")) from None
        raise ApiError(409, "busy", "the server stayed busy")

    def query(self, text=None, **fields):
        if text is not None:
            fields.update(text=text, end=fields.get("end", "crlf"))
        return self.call("query", fields)


def log_stream(api, seconds, csv_path):
    """Writes one row per "T=n" line that arrives within `seconds`; returns the count."""
    api.query("STREAM ON", until="OK\r\n")
    rows = 0
    deadline = time.monotonic() + seconds
    with open(csv_path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["time", "reading"])
        while (left := deadline - time.monotonic()) > 0:
            # No flush: each call takes the next whole line the device sent.
            reply = api.query(flush=False, timeout_ms=int(min(left, 1.0) * 1000))
            line = reply["reply"].strip()
            if reply["complete"] and line.startswith("T="):
                stamp = datetime.datetime.now(datetime.timezone.utc).isoformat()
                writer.writerow([stamp, line[2:]])
                rows += 1
    api.query("STREAM OFF", until="OK\r\n")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", default="http://127.0.0.1:8080")
    parser.add_argument("--port", help="the device; default: the server's demo device")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--csv", default="readings.csv")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()

    api = Orvelle(args.url, args.user, args.password)
    try:
        api.call("open", {"port": args.port} if args.port else {})
        print("Instrument:", api.query("*IDN?")["reply"].strip())
        rows = log_stream(api, args.seconds, args.csv)
        print(f"{rows} readings in {args.csv}")
    except (ApiError, urllib.error.URLError) as error:
        print("orvelle:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
