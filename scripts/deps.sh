#!/bin/sh
# Installs the Debian packages that building, running and testing need.
# Skips apt entirely when everything is already present.
set -e
PKGS="build-essential cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libssl-dev openssl
      iproute2 util-linux procps psmisc curl python3 python3-aiosmtpd python3-cryptography
      snmp snmpd snmptrapd chromium wrk lighttpd tcpdump"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update
apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends $missing
