#!/bin/sh
# Installs the Debian packages the project needs:
#   scripts/deps.sh run    what building and running the daemon needs (run.sh)
#   scripts/deps.sh test   that, and the test peers and tools (test.sh)
# Skips apt entirely when everything is already present. Services that the
# packages installed here would start (net-snmp's agent and trap receiver,
# lighttpd) are kept from starting and disabled at boot: they would hold the
# daemon's ports (80, 161, 162). The tests run their own instances.
set -e

# Building and running the daemon.
RUN_PKGS="build-essential cmake ninja-build g++ libssl-dev openssl"

# The tests, the fuzz targets and the benchmarks.
TEST_PKGS="clang libclang-rt-14-dev libgtest-dev
      iproute2 util-linux procps psmisc curl python3 python3-aiosmtpd python3-cryptography
      snmp snmpd snmptrapd chromium wrk lighttpd lighttpd-mod-openssl tcpdump smitools"

# From Debian's non-free section: the IETF's standard MIB modules
# (SNMPv2-SMI, SNMPv2-TC, SNMPv2-CONF, SNMPv2-MIB, ...) that smilint and
# net-snmp read when they load the daemon's MIB. The package extracts them
# from the RFCs it ships, into /var/lib/mibs/ietf.
TEST_NONFREE_PKGS="snmp-mibs-downloader"

# Services (and their sockets) started by packages of the lists above;
# each is named after its package.
QUIET_SERVICES="snmpd snmptrapd snmptrapd.socket lighttpd"

case "$1" in
  run) pkgs=$RUN_PKGS nonfree="" ;;
  test) pkgs="$RUN_PKGS $TEST_PKGS" nonfree=$TEST_NONFREE_PKGS ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

# The archive address that the machine's apt sources give for Debian's main
# component of the release named (empty when none does).
debian_archive() {
  apt-get indextargets --no-release-info --format '$(SITE)' \
    'Identifier: Packages' "Release: $1" 'Component: main' 2>/dev/null | head -n 1
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing="" missing_nonfree=""
for p in $pkgs; do installed "$p" || missing="$missing $p"; done
for p in $nonfree; do installed "$p" || missing_nonfree="$missing_nonfree $p"; done
[ -z "$missing$missing_nonfree" ] && exit 0

# The packages' maintainer scripts must not start their services: a
# policy-rc.d that refuses every start for the time of the installation,
# unless the machine already has one.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  own_policy=1
fi
cleanup() { if [ -n "$own_policy" ]; then rm -f "$policy"; fi; }
trap cleanup EXIT
trap 'exit 1' INT TERM

export DEBIAN_FRONTEND=noninteractive
APT="apt-get -o DPkg::Lock::Timeout=600"
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  $APT update
  $APT install -y --no-install-recommends $missing
fi
if [ -n "$missing_nonfree" ]; then
  # Debian's non-free section through a source list of its own, so that
  # the machine's apt sources stay as they are. It names the archive that
  # the machine's own sources use for Debian's main component (a mirror or
  # a proxy where the machine has no direct way out).
  echo "Installing from non-free:$missing_nonfree"
  . /etc/os-release
  archive="" suite=""
  for release in "$VERSION_CODENAME" stable; do
    archive=$(debian_archive "$release")
    if [ -n "$archive" ]; then suite=$release; break; fi
  done
  if [ -z "$archive" ]; then
    echo "deps.sh: no apt source of this machine serves Debian's main component for" \
         "'$VERSION_CODENAME'; add one (see /etc/apt/sources.list.d) and run again" >&2
    exit 1
  fi
  echo "Non-free packages from $archive ($suite)"
  lists=/var/lib/upsd-deps/lists
  mkdir -p "$lists/partial" /var/lib/upsd-deps/sources
  cat > /var/lib/upsd-deps/sources/non-free.sources <<EOF
Types: deb
URIs: $archive
Suites: $suite
Components: main non-free
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  NONFREE="-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=/var/lib/upsd-deps/sources
           -o Dir::State::Lists=$lists"
  $APT $NONFREE update
  $APT $NONFREE install -y --no-install-recommends $missing_nonfree
fi

# Whatever a package enabled at boot or started anyway is disabled and
# stopped, with or without a running init system.
for s in $QUIET_SERVICES; do
  case " $missing " in *" ${s%.socket} "*) ;; *) continue ;; esac
  if command -v systemctl >/dev/null 2>&1; then
    systemctl disable "$s" >/dev/null 2>&1 || true
    if [ -d /run/systemd/system ]; then systemctl stop "$s" >/dev/null 2>&1 || true; fi
  fi
  if [ -x "/etc/init.d/$s" ]; then
    update-rc.d "$s" disable >/dev/null 2>&1 || true
    if [ ! -d /run/systemd/system ]; then "/etc/init.d/$s" stop >/dev/null 2>&1 || true; fi
  fi
done
