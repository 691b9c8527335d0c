#!/usr/bin/env bash
# Builds the Debian packages and proves them on this machine (as root; systemd need not run):
# lintian, the unit, what an install leaves behind, the service's own command serving pages and
# talking to a simulated device, a reinstall that keeps the user's edits, remove, then purge.
# Installs and purges orvelle and orvelle-gui; refuses to run where orvelle is already installed.
#   tools/check-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."

readonly PORT="${ORVELLE_CHECK_PORT:-18080}" # a high port: runuser gives no CAP_NET_BIND_SERVICE
readonly WAIT_TENTHS=300    # 30 s for a start or a reply, generous on a loaded two-core machine
readonly CURL_SECONDS=10    # one request may take this long before it counts as failed
readonly HOME_DIR=/var/lib/orvelle
readonly UNIT=/lib/systemd/system/orvelle.service
readonly SHIPPED=/usr/share/orvelle
readonly IDN_HEX="53494D554C41544F52" # "SIMULATOR", part of the simulator's *IDN? answer

passed=0
fail() {
  echo "check-deb: FAIL: $*" >&2
  exit 1
}
ok() {
  passed=$((passed + 1))
  echo "check-deb: ok: $*"
}
step() { echo "== check-deb: $*"; }

[ "$(id -u)" = 0 ] || fail "must run as root: it installs and purges the packages"
if dpkg-query -W -f='${Status}\n' orvelle orvelle-gui 2>/dev/null | grep -q -E ' (installed|config-files)$'; then
  fail "orvelle is installed (or its files are left) on this machine; purge it first"
fi

work="$(mktemp -d)"
server_pid=""
sim_pid=""
installed=""
stop_pid() { # PID: TERM, then wait for it (bounded), then KILL
  local pid="$1" i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < WAIT_TENTHS; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}
cleanup() {
  [ -n "$server_pid" ] && stop_pid "$server_pid"
  [ -n "$sim_pid" ] && stop_pid "$sim_pid"
  if [ -n "$installed" ]; then
    apt-get purge -y -qq orvelle-gui >/dev/null 2>&1 || true
    apt-get purge -y -qq orvelle >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
apt_get() { apt-get -y -qq -o Dpkg::Use-Pty=0 "$@" >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log" >&2
  fail "apt-get $*"
}; }

# Waits until the command succeeds, at most WAIT_TENTHS tenths of a second.
wait_for() {
  local i
  for ((i = 0; i < WAIT_TENTHS; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

get() { curl -fsS --max-time "$CURL_SECONDS" "$@"; }

step "building the packages"
tools/make-deb.sh
server_deb="$(ls build/deb/orvelle_*.deb)"
gui_deb="$(ls build/deb/orvelle-gui_*.deb)"
sim_bin="build/deb-build/tools/serial_simulator/orvelle-serial-sim"
[ -x "$sim_bin" ] || fail "the simulator was not built: $sim_bin"

step "lintian"
lintian --fail-on error "$server_deb" "$gui_deb" ||
  fail "lintian reports errors"
ok "lintian: no errors"

step "installing"
installed=yes
apt_get install "./$server_deb" "./$gui_deb"
for f in /usr/bin/orvelle /usr/bin/orvelle-gui "$SHIPPED/web/index.html" "$SHIPPED/config.ini" \
  "$UNIT" /usr/share/doc/orvelle/copyright /usr/share/doc/orvelle/changelog.Debian.gz \
  /usr/share/doc/orvelle-gui/copyright; do
  [ -f "$f" ] || fail "missing after install: $f"
done
ok "installed files present"
[ "$(man -w orvelle)" = /usr/share/man/man1/orvelle.1.gz ] || fail "man orvelle finds no page"
ok "man orvelle"

IFS=: read -r _ _ _ _ _ user_home user_shell < <(getent passwd orvelle) ||
  fail "no user orvelle"
[ "$user_home" = "$HOME_DIR" ] || fail "home of orvelle is '$user_home'"
case "$user_shell" in
  /usr/sbin/nologin | /bin/false) ;;
  *) fail "orvelle has the login shell $user_shell" ;;
esac
id -nG orvelle | tr ' ' '\n' | grep -qx dialout || fail "orvelle is not in the group dialout"
ok "system user orvelle in the group dialout"

not_owned="$(find "$HOME_DIR" \( ! -user orvelle -o ! -group orvelle \) -print)"
[ -z "$not_owned" ] || fail "not owned by orvelle: $not_owned"
diff -r "$SHIPPED/web" "$HOME_DIR/web" || fail "the home's pages differ from the shipped ones"
cmp "$SHIPPED/config.ini" "$HOME_DIR/config.ini" || fail "config.ini is not the shipped one"
[ "$(stat -c %a "$HOME_DIR/config.ini")" = 600 ] || fail "config.ini is readable by others"
ok "home $HOME_DIR filled and owned by orvelle"
# Without a running systemd the postinst neither enables nor starts the service.
[ ! -e /etc/systemd/system/multi-user.target.wants/orvelle.service ] ||
  fail "the unit was enabled without a running systemd"
ok "unit left alone without systemd"

step "systemd-analyze verify"
verify() { systemd-analyze verify "$1" >"$work/verify.log" 2>&1 && [ ! -s "$work/verify.log" ]; }
verify "$UNIT" || {
  cat "$work/verify.log" >&2
  fail "systemd-analyze verify $UNIT"
}
# The same check must reject a unit whose command is missing, or it proves nothing.
sed 's|^ExecStart=/usr/bin/orvelle |ExecStart=/usr/bin/orvelle-missing |' "$UNIT" \
  >"$work/orvelle.service"
verify "$work/orvelle.service" && fail "systemd-analyze verify accepts a missing command"
ok "the unit verifies (and a broken copy does not)"

step "the man pages and --help name the same options"
long_options() { grep -o -- '--[a-z][a-z-]*' | sort -u | tr '\n' ' '; }
same_options() { # PAGE HELP-COMMAND...: the long options of man PAGE and of the commands' output
  local page="$1" help_opts man_opts
  shift
  help_opts="$("$@" | long_options)"
  man_opts="$(MANWIDTH=200 man "$page" 2>/dev/null | col -b | long_options)"
  [ -n "$help_opts" ] || fail "$page: --help names no option"
  [ "$help_opts" = "$man_opts" ] || fail "$page: --help has [$help_opts], man has [$man_opts]"
}
orvelle_help() { orvelle --help && orvelle render --help && orvelle check --help; }
same_options orvelle orvelle_help
same_options orvelle-gui orvelle-gui --help
ok "man page options match --help"

step "the shipped config.ini holds the defaults the server writes"
mkdir "$work/fresh"
orvelle --home "$work/fresh" --port 0 >"$work/fresh.log" 2>&1 &
fresh_pid=$!
wait_for grep -q "Listening for HTTP" "$work/fresh.log" || fail "orvelle did not start"
stop_pid "$fresh_pid"
cmp "$work/fresh/config.ini" "$SHIPPED/config.ini" ||
  fail "the shipped config.ini differs from the defaults the server writes"
ok "shipped config.ini equals the server's defaults"

step "the unit's command serves the pages as user orvelle"
exec_start="$(sed -n 's/^ExecStart=//p' "$UNIT")"
[ -n "$exec_start" ] || fail "no ExecStart in $UNIT"
# shellcheck disable=SC2086 # ExecStart is a plain word list
runuser -u orvelle -- $exec_start --port "$PORT" >"$work/server.log" 2>&1 &
runuser_pid=$!
base="http://127.0.0.1:$PORT"
serving() { get -o /dev/null "$base/" 2>/dev/null; }
wait_for serving || {
  cat "$work/server.log" >&2
  fail "the server does not answer on port $PORT"
}
server_pid="$(pgrep -P "$runuser_pid")" || fail "no server process under runuser"
[ "$(stat -c %U "/proc/$server_pid")" = orvelle ] || fail "the server does not run as orvelle"
get "$base/" | grep -q "terminal.ovs" || fail "/ is not the start page"
get "$base/help/basics.ovs" >"$work/basics.html" || fail "/help/basics.ovs"
grep -q "<html" "$work/basics.html" || fail "/help/basics.ovs is no page"
if grep -q "Script engine error" "$work/basics.html"; then fail "/help/basics.ovs fails"; fi
get "$base/terminal.ovs" | grep -q "terminal.js" || fail "/terminal.ovs is not the terminal"
ok "/, /help/basics.ovs and /terminal.ovs served"

step "the terminal's open, send and poll against a simulated device"
cp "$sim_bin" "$work/sim"
"$work/sim" --delay 10 >"$work/sim.out" &
sim_pid=$!
wait_for grep -q '^/dev/' "$work/sim.out" || fail "the simulator printed no port"
pty="$(head -n 1 "$work/sim.out")"
chgrp dialout "$pty" && chmod 660 "$pty"
get --get "$base/term/open.ovs" --data-urlencode "port=$pty" -d baud=9600 -d data=8 \
  -d parity=none -d stop=1 -d flow=none >"$work/open.txt" || fail "/term/open.ovs"
grep -q "^OK" "$work/open.txt" || fail "open: $(cat "$work/open.txt")"
get --get "$base/term/send.ovs" --data-urlencode "text=*IDN?" -d eol=crlf >"$work/send.txt" ||
  fail "/term/send.ovs"
grep -q "^OK 7" "$work/send.txt" || fail "send: $(cat "$work/send.txt")"
: >"$work/received.hex"
answered() {
  get "$base/term/poll.ovs" | tr -d '\r' | grep -E '^[0-9A-F ]+$' | tr -d ' \n' \
    >>"$work/received.hex" || true
  grep -q "$IDN_HEX" "$work/received.hex"
}
wait_for answered || fail "no answer to *IDN? (received: $(cat "$work/received.hex"))"
get "$base/term/close.ovs" >/dev/null || fail "/term/close.ovs"
ok "*IDN? answered through the terminal pages"

step "stopping the server"
stop_pid "$server_pid"
wait "$runuser_pid" || fail "the server did not exit 0 on SIGTERM: $(tail -n 3 "$work/server.log")"
server_pid=""
stop_pid "$sim_pid"
sim_pid=""
ok "server stopped cleanly"

step "a reinstall keeps the user's pages and config.ini"
readonly MARK="<!-- edited by check-deb -->"
echo "$MARK" >>"$HOME_DIR/web/index.html"
# The server writes config.ini with CR LF line ends; the edit keeps them.
runuser -u orvelle -- sed -i 's/^Server port=80\r$/Server port=8099\r/' "$HOME_DIR/config.ini"
grep -q "^Server port=8099" "$HOME_DIR/config.ini" || fail "could not edit config.ini"
rm "$HOME_DIR/web/help/quirks.ovs"
apt_get install --reinstall "./$server_deb"
grep -qxF "$MARK" "$HOME_DIR/web/index.html" || fail "the reinstall lost the edited page"
grep -q "^Server port=8099" "$HOME_DIR/config.ini" || fail "the reinstall lost config.ini's edit"
cmp "$SHIPPED/web/help/quirks.ovs" "$HOME_DIR/web/help/quirks.ovs" ||
  fail "the reinstall did not bring back a missing page"
[ "$(stat -c %U:%G "$HOME_DIR/web/help/quirks.ovs")" = orvelle:orvelle ] ||
  fail "a page copied on reinstall is not owned by orvelle"
ok "edits kept, missing page restored"

step "remove keeps the home, purge deletes it and the user"
apt_get remove orvelle-gui orvelle
[ ! -e /usr/bin/orvelle ] || fail "remove left /usr/bin/orvelle"
grep -q "^Server port=8099" "$HOME_DIR/config.ini" || fail "remove lost config.ini"
getent passwd orvelle >/dev/null || fail "remove deleted the user"
ok "remove kept $HOME_DIR and the user"
apt_get purge orvelle # orvelle-gui has no conffiles: remove took it whole
installed=""
[ ! -e "$HOME_DIR" ] || fail "purge left $HOME_DIR"
! getent passwd orvelle >/dev/null || fail "purge left the user orvelle"
! getent group orvelle >/dev/null || fail "purge left the group orvelle"
ok "purge removed $HOME_DIR, the user and the group"

echo "check-deb: $passed passed, 0 failed"
