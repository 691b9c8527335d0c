#!/bin/sh
# An instrument behind Orvelle, from the shell with curl: asks *IDN?, reads the device's stream
# for a while and logs the readings to a CSV file, through the JSON API.
#
#   examples/shell/instrument.sh [SECONDS] [CSV]        (default: 10 readings.csv)
#
# ORVELLE_URL (default http://127.0.0.1:8080), ORVELLE_PORT (default: the server's demo device),
# ORVELLE_USER and ORVELLE_PASSWORD (when the server asks for a sign-in) are read from the
# environment. STREAM ON / STREAM OFF and the "T=n" lines are the demo device's; put your
# instrument's own in their place.
set -eu
url=${ORVELLE_URL:-http://127.0.0.1:8080}
seconds=${1:-10}
csv=${2:-readings.csv}

# One call: POST the JSON body; an error answer ({"error": ..., "message": ...}) ends the script.
call() {
  if [ -n "${ORVELLE_USER:-}" ]; then
    set -- "$@" -u "$ORVELLE_USER:${ORVELLE_PASSWORD:-}"
  fi
  endpoint=$1 body=$2
  shift 2
  curl -sS --fail-with-body --max-time 70 -H 'Content-Type: application/json' -d "$body" "$@" \
    "$url/.orvelle/$endpoint"
}
# The reply's text from a query's answer, without its line end (replies here hold no quotes).
reply() {
  sed -n 's/.*"reply":"\([^"]*\)".*/\1/p' | sed 's/\\r\\n$//'
}

if [ -n "${ORVELLE_PORT:-}" ]; then
  call open "{\"port\":\"$ORVELLE_PORT\"}" >/dev/null
else
  call open '{}' >/dev/null
fi
echo "Instrument: $(call query '{"text":"*IDN?","end":"crlf"}' | reply)"

call query '{"text":"STREAM ON","end":"crlf","until":"OK\r\n"}' >/dev/null
echo "time,reading" >"$csv"
rows=0
end=$(($(date +%s) + seconds))
while [ "$(date +%s)" -lt "$end" ]; do
  # No flush: each call takes the next whole line the device sent.
  line=$(call query '{"flush":false,"timeout_ms":1000}' | reply)
  case $line in
    T=*)
      echo "$(date -u +%Y-%m-%dT%H:%M:%SZ),${line#T=}" >>"$csv"
      rows=$((rows + 1))
      ;;
  esac
done
call query '{"text":"STREAM OFF","end":"crlf","until":"OK\r\n"}' >/dev/null
echo "$rows readings in $csv"
