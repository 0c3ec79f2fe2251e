#!/bin/sh
# Builds the daemon, installs it under /usr/local/brisvane and starts it.
set -e
cd "$(dirname "$0")"
if [ "$(id -u)" -ne 0 ]; then exec sudo "$0" "$@"; fi
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPSD_TESTS=OFF
cmake --build build -j"$(nproc)"
if [ -f /usr/local/brisvane/service.pid ] && kill -0 "$(cat /usr/local/brisvane/service.pid)" 2>/dev/null; then
  kill -TERM "$(cat /usr/local/brisvane/service.pid)"; sleep 1
fi
cmake --install build
/usr/local/brisvane/upsd
sleep 1
echo "upsd started, pid $(cat /usr/local/brisvane/service.pid)"
