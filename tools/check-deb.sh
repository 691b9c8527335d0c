#!/usr/bin/env bash
# Builds the Debian packages and proves them on this machine (as root; systemd need not run):
# lintian, both units, what an install leaves behind and says, the conffile, the service's own
# command serving pages to this machine only and talking to a simulated device, an instance
# started by its unit's commands with its own settings, port, home and the port opened at start,
# a reinstall that keeps the administrator's edits, remove, then purge.
# Installs and purges orvelle and orvelle-gui; refuses to run where orvelle is already installed.
#   tools/check-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."

readonly PORT="${ORVELLE_CHECK_PORT:-18080}" # a high port: runuser gives no CAP_NET_BIND_SERVICE
readonly INSTANCE_PORT=$((PORT + 1))
readonly WAIT_TENTHS=300    # 30 s for a start or a reply, generous on a loaded two-core machine
readonly CURL_SECONDS=10    # one request may take this long before it counts as failed
readonly HOME_DIR=/var/lib/orvelle
readonly UNIT=/lib/systemd/system/orvelle.service
readonly TEMPLATE=/lib/systemd/system/orvelle@.service
readonly CONF=/etc/orvelle/orvelle.conf
readonly INSTANCE=bench1
readonly INSTANCE_CONF=/etc/orvelle/$INSTANCE.conf
readonly INSTANCE_HOME=$HOME_DIR/$INSTANCE
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
instance_pid=""
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
  [ -n "$instance_pid" ] && stop_pid "$instance_pid"
  [ -n "$sim_pid" ] && stop_pid "$sim_pid"
  rm -f "$INSTANCE_CONF"
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
cp "$work/apt.log" "$work/install.log"
for f in /usr/bin/orvelle /usr/bin/orvelle-gui "$SHIPPED/web/index.html" "$SHIPPED/orvelle.conf" \
  "$CONF" "$UNIT" "$TEMPLATE" /usr/share/doc/orvelle/copyright \
  /usr/share/doc/orvelle/changelog.Debian.gz /usr/share/doc/orvelle/examples/60-orvelle-serial.rules \
  /usr/share/doc/orvelle-gui/copyright; do
  [ -f "$f" ] || fail "missing after install: $f"
done
ok "installed files present"
[ "$(man -w orvelle)" = /usr/share/man/man1/orvelle.1.gz ] || fail "man orvelle finds no page"
ok "man orvelle"
[ ! -e /etc/udev/rules.d/60-orvelle-serial.rules ] && [ ! -e /lib/udev/rules.d/60-orvelle-serial.rules ] ||
  fail "the example udev rule was installed"
ok "the udev rule is an example only"

IFS=: read -r _ _ _ _ _ user_home user_shell < <(getent passwd orvelle) ||
  fail "no user orvelle"
[ "$user_home" = "$HOME_DIR" ] || fail "home of orvelle is '$user_home'"
case "$user_shell" in
  /usr/sbin/nologin | /bin/false) ;;
  *) fail "orvelle has the login shell $user_shell" ;;
esac
id -nG orvelle | tr ' ' '\n' | grep -qx dialout || fail "orvelle is not in the group dialout"
ok "system user orvelle in the group dialout"

dpkg-query -W -f='${Conffiles}\n' orvelle | grep -q "^ $CONF " || fail "$CONF is not a conffile"
[ "$(stat -c %U:%G:%a "$CONF")" = root:orvelle:640 ] ||
  fail "$CONF is $(stat -c %U:%G:%a "$CONF"), not root:orvelle:640"
cmp "$CONF" "$SHIPPED/orvelle.conf" || fail "the instances' copy differs from the conffile"
grep -q '^# ' "$CONF" || fail "$CONF has no comments"
grep -qx 'Bind address=127.0.0.1' "$CONF" || fail "$CONF does not keep the service to 127.0.0.1"
ok "$CONF: a conffile, commented, root:orvelle 0640, listening on 127.0.0.1"

grep -qxF "orvelle: the service orvelle.service serves http://127.0.0.1:80/ on 127.0.0.1 only, without sign-in." \
  "$work/install.log" || {
  cat "$work/install.log" >&2
  fail "the install did not say what it did and where"
}
grep -qF "orvelle: its settings are $CONF" "$work/install.log" || fail "the install names no settings"
grep '^orvelle: ' "$work/install.log"
ok "the install says what it did, the URL and the settings"

not_owned="$(find "$HOME_DIR" \( ! -user orvelle -o ! -group orvelle \) -print)"
[ -z "$not_owned" ] || fail "not owned by orvelle: $not_owned"
diff -r "$SHIPPED/web" "$HOME_DIR/web" || fail "the home's pages differ from the shipped ones"
[ ! -e "$HOME_DIR/config.ini" ] || fail "the install wrote a config.ini into the home"
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
# A template is verified as one of its instances.
cp "$TEMPLATE" "$work/orvelle@$INSTANCE.service"
verify "$work/orvelle@$INSTANCE.service" || {
  cat "$work/verify.log" >&2
  fail "systemd-analyze verify $TEMPLATE (as orvelle@$INSTANCE)"
}
# The same check must reject a unit whose command is missing, or it proves nothing.
sed 's|^ExecStart=/usr/bin/orvelle |ExecStart=/usr/bin/orvelle-missing |' "$UNIT" \
  >"$work/orvelle.service"
verify "$work/orvelle.service" && fail "systemd-analyze verify accepts a missing command"
for limit in MemoryMax=512M TasksMax= LimitNOFILE=; do
  grep -q "^$limit" "$UNIT" && grep -q "^$limit" "$TEMPLATE" || fail "a unit lacks $limit"
done
ok "both units verify (and a broken copy does not), with memory, task and file limits"

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

step "from a checkout nothing changes: config.ini in the home, written with the defaults"
mkdir "$work/fresh"
orvelle --home "$work/fresh" --port 0 >"$work/fresh.log" 2>&1 &
fresh_pid=$!
wait_for grep -q "Listening for HTTP" "$work/fresh.log" || fail "orvelle did not start"
stop_pid "$fresh_pid"
printf '%s\r\n' AutoActivate=no AutoMinimize=no 'Server port=80' 'Use session=no' \
  'Session expire=1' 'Auth require=no' 'Auth user=user' 'Auth password=kelp' 'Log to file=no' \
  'Show errors on page=no' >"$work/defaults.ini"
cmp "$work/fresh/config.ini" "$work/defaults.ini" || fail "a first start wrote other defaults"
ok "a first start without --config writes config.ini with the defaults"

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
grep -q "Listening for HTTP connections on 127.0.0.1:$PORT\." "$work/server.log" ||
  fail "the installed service does not listen on 127.0.0.1 only"
[ "$(ss -ltnH "sport = :$PORT" | awk '{print $4}')" = "127.0.0.1:$PORT" ] ||
  fail "a socket other than 127.0.0.1:$PORT listens: $(ss -ltnH "sport = :$PORT")"
# A request without credentials from another address of this machine finds nothing listening.
other_ip="$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -v '^127\.' | grep -m 1 '\.' || true)"
if [ -n "$other_ip" ]; then
  if curl -s -o /dev/null --max-time "$CURL_SECONDS" "http://$other_ip:$PORT/"; then
    fail "http://$other_ip:$PORT/ was answered"
  fi
  ok "listening on 127.0.0.1 only: http://$other_ip:$PORT/ is refused"
else
  ok "listening on 127.0.0.1 only (this machine has no other address to try)"
fi
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
answered() { # [BASE]: polls the terminal page; true once the answer to *IDN? is in
  get "${1:-$base}/term/poll.ovs" | tr -d '\r' | grep -E '^[0-9A-F ]+$' | tr -d ' \n' \
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

step "an instance: orvelle@$INSTANCE as its unit runs it, with its own settings, port and home"
unit_line() { # KEY: the template's KEY= value for the instance, with systemd's %i and $$ resolved
  sed -n "s/^$1=//p" "$TEMPLATE" | sed -e "s/%i/$INSTANCE/g" -e 's/[$][$]/$/g'
}
"$work/sim" --delay 10 >"$work/sim.out" &
sim_pid=$!
wait_for grep -q '^/dev/' "$work/sim.out" || fail "the simulator printed no port"
pty="$(head -n 1 "$work/sim.out")"
chgrp dialout "$pty" && chmod 660 "$pty"
sed -e "s|^Server port=.*|Server port=$INSTANCE_PORT|" -e "s|^#Open port=.*|Open port=$pty|" \
  -e "s|^#Open port settings=.*|Open port settings=115200 8N1 none|" "$SHIPPED/orvelle.conf" \
  >"$INSTANCE_CONF"
chgrp orvelle "$INSTANCE_CONF" && chmod 640 "$INSTANCE_CONF"
cp "$INSTANCE_CONF" "$work/instance.conf"
# What systemd does for StateDirectory=, then the unit's own commands as the unit's user.
[ "$(unit_line StateDirectory)" = "orvelle/$INSTANCE" ] || fail "the template's StateDirectory"
install -d -o orvelle -g orvelle -m 0750 "$INSTANCE_HOME"
pre="$(unit_line ExecStartPre)"
eval "runuser -u orvelle -- $pre" || fail "ExecStartPre failed: $pre"
diff -r "$SHIPPED/web" "$INSTANCE_HOME/web" || fail "the instance's pages are not the shipped ones"
[ -z "$(find "$INSTANCE_HOME" ! -user orvelle -print)" ] || fail "the instance's home is not orvelle's"
start="$(unit_line ExecStart)"
# shellcheck disable=SC2086 # ExecStart is a plain word list
runuser -u orvelle -- $start >"$work/instance.log" 2>&1 &
instance_runuser=$!
ibase="http://127.0.0.1:$INSTANCE_PORT"
wait_for get -o /dev/null "$ibase/" 2>/dev/null || {
  cat "$work/instance.log" >&2
  fail "the instance does not answer on its port $INSTANCE_PORT"
}
instance_pid="$(pgrep -P "$instance_runuser")" || fail "no instance process under runuser"
[ "$(stat -c %U "/proc/$instance_pid")" = orvelle ] || fail "the instance does not run as orvelle"
wait_for grep -qF "Serving file $INSTANCE_HOME/web/index.html" "$work/instance.log" ||
  fail "the instance does not serve its own home: $(tail -n 3 "$work/instance.log")"
ok "orvelle@$INSTANCE: its ExecStartPre copied the pages; it serves $INSTANCE_HOME on port $INSTANCE_PORT as orvelle"

upper_pty="$(echo "$pty" | tr '[:lower:]' '[:upper:]')"
wait_for grep -qF "Serial port opened at start: $upper_pty 115200 8 None 1 None" \
  "$work/instance.log" || fail "the port was not opened at start: $(tail -n 3 "$work/instance.log")"
get --get "$ibase/term/send.ovs" --data-urlencode "text=*IDN?" -d eol=crlf >"$work/send.txt" ||
  fail "/term/send.ovs on the instance"
grep -q "^OK 7" "$work/send.txt" || fail "send on the port opened at start: $(cat "$work/send.txt")"
: >"$work/received.hex"
wait_for answered "$ibase" || fail "no answer to *IDN? on the port opened at start"
ok "the port opened at start answers *IDN? without any page opening it"
stop_pid "$instance_pid"
wait "$instance_runuser" || fail "the instance did not exit 0 on SIGTERM"
instance_pid=""
stop_pid "$sim_pid"
sim_pid=""
cmp "$INSTANCE_CONF" "$work/instance.conf" || fail "the instance wrote its settings file"
ok "the instance stopped cleanly and left $INSTANCE_CONF as it was"

step "a reinstall keeps the administrator's pages and settings"
readonly MARK="<!-- edited by check-deb -->"
echo "$MARK" >>"$HOME_DIR/web/index.html"
sed -i 's/^Server port=80$/Server port=8099/' "$CONF"
grep -qx "Server port=8099" "$CONF" || fail "could not edit $CONF"
rm "$HOME_DIR/web/help/quirks.ovs"
apt_get install --reinstall "./$server_deb"
grep -qxF "$MARK" "$HOME_DIR/web/index.html" || fail "the reinstall lost the edited page"
grep -qx "Server port=8099" "$CONF" || fail "the reinstall lost the conffile's edit"
[ "$(stat -c %U:%G:%a "$CONF")" = root:orvelle:640 ] || fail "the reinstall changed $CONF's mode"
grep -qF "serves http://127.0.0.1:8099/" "$work/apt.log" || fail "the reinstall's note ignores the edit"
cmp "$SHIPPED/web/help/quirks.ovs" "$HOME_DIR/web/help/quirks.ovs" ||
  fail "the reinstall did not bring back a missing page"
[ "$(stat -c %U:%G "$HOME_DIR/web/help/quirks.ovs")" = orvelle:orvelle ] ||
  fail "a page copied on reinstall is not owned by orvelle"
ok "edits kept, missing page restored"

step "an upgrade from an install that kept config.ini in the home keeps its choices"
printf 'Server port=8077\r\nAuth require=yes\r\n' >"$HOME_DIR/config.ini"
chown orvelle:orvelle "$HOME_DIR/config.ini"
apt_get install --reinstall "./$server_deb"
[ ! -e "$HOME_DIR/config.ini" ] && [ -f "$HOME_DIR/config.ini.moved-to-etc" ] ||
  fail "config.ini was not moved aside"
[ "$(grep -v '^#' "$CONF" | head -n 3 | tr '\n' '|')" = "Bind address=|Server port=8077|Auth require=yes|" ] ||
  fail "config.ini's lines do not lead $CONF: $(head -n 4 "$CONF")"
grep -q "serves http://.*:8077/ on every interface, with sign-in\.$" "$work/apt.log" ||
  fail "the upgrade's note: $(grep '^orvelle: ' "$work/apt.log")"
ok "config.ini's settings lead the conffile, listening where they did"

step "remove keeps the homes and settings, purge deletes them and the user"
apt_get remove orvelle-gui orvelle
[ ! -e /usr/bin/orvelle ] || fail "remove left /usr/bin/orvelle"
grep -qx "Server port=8099" "$CONF" || fail "remove lost $CONF"
[ -d "$INSTANCE_HOME/web" ] || fail "remove lost the instance's home"
getent passwd orvelle >/dev/null || fail "remove deleted the user"
ok "remove kept $HOME_DIR, $INSTANCE_HOME, $CONF and the user"
rm -f "$INSTANCE_CONF" # the administrator's own file, which purge leaves alone
apt_get purge orvelle # orvelle-gui has no conffiles: remove took it whole
installed=""
[ ! -e "$HOME_DIR" ] || fail "purge left $HOME_DIR"
[ ! -e "$CONF" ] || fail "purge left $CONF"
! getent passwd orvelle >/dev/null || fail "purge left the user orvelle"
! getent group orvelle >/dev/null || fail "purge left the group orvelle"
ok "purge removed $HOME_DIR (with $INSTANCE_HOME), $CONF, the user and the group"

echo "check-deb: $passed passed, 0 failed"
