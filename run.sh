#!/bin/sh
# Builds the daemon, installs it under /usr/local/brisvane and starts it; a
# daemon already running from there is stopped first. Installs only the
# Debian packages that building and running need (test.sh brings the rest).
set -e
cd "$(dirname "$0")"
if [ "$(id -u)" -ne 0 ]; then exec sudo "$0" "$@"; fi
./scripts/deps.sh run
# A build directory of its own, without tests: build/ stays the test build.
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPSD_TESTS=OFF
cmake --build build-run -j"$(nproc)"
dir=/usr/local/brisvane

# What to do next: the address to open (the web ports of config.ini), the
# factory login, the passwords, and how to stop the daemon ($1).
web_key() { sed -n "/^\[Web\]/,/^\[/s/^$1=//p" "$dir/config.ini" 2>/dev/null | head -n 1 | tr -d '\r'; }
next_steps() {
  host=$(hostname -I 2>/dev/null | awk '{print $1}')
  [ -n "$host" ] || host=$(hostname)
  case "$host" in *:*) host="[$host]" ;; esac
  if [ "$(web_key 'Enable HTTP')" = 0 ]; then
    scheme=https port=$(web_key 'HTTPS Port') default=443
  else
    scheme=http port=$(web_key 'HTTP Port') default=80
  fi
  case "$port" in ''|"$default") port="" ;; *) port=":$port" ;; esac
  echo "Open $scheme://$host$port/ in a browser (HTTPS with a self-signed certificate)."
  echo "Factory login: admin, password brindlex (also the accounts device and user)."
  echo "Change the passwords first: System > Accounts, and the SNMP secrets (README.md, SNMP)."
  echo "Stop the daemon with: $1   ('upsd stop' only logs a notice: README.md, Stopping)"
}
# Started at boot by systemd (the unit of the README): systemd restarts it.
if [ -d /run/systemd/system ] && systemctl is-active --quiet upsd.service 2>/dev/null; then
  systemctl stop upsd.service
  cmake --install build-run
  systemctl start upsd.service
  echo "upsd restarted by systemd, pid $(cat "$dir/service.pid")"
  next_steps "sudo systemctl stop upsd"
  exit 0
fi
pid=$(cat "$dir/service.pid" 2>/dev/null || true)
case "$pid" in ''|*[!0-9]*) pid="" ;; esac
# Only a running upsd is stopped, never another process that reuses the pid.
if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = upsd ]; then
  kill -TERM "$pid"
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
fi
cmake --install build-run
# The daemon keeps the descriptors it is started with: run.sh's own output
# (a terminal, a pipe) would stay open as long as it runs.
"$dir/upsd" </dev/null >/dev/null 2>&1
sleep 1
echo "upsd started, pid $(cat "$dir/service.pid")"
next_steps "sudo kill \$(cat $dir/service.pid)"
