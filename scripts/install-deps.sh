#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Logrum2 need.
# Safe to run again: it installs only what is missing. Needs root.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # the thread-safety analysis build
  clang
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  libsqlite3-dev libmp3lame-dev libasound2-dev libsndfile1-dev
  libcurl4-openssl-dev nettle-dev libcpp-httplib-dev nlohmann-json3-dev
  # tests: decoders to check what we record, a real FTP server, reference encoder
  mpg123 ffmpeg lame python3-pyftpdlib alsa-utils sqlite3
  # tests: the FTPS server's TLS (pyftpdlib's TLS handler, its test certificate)
  python3-openssl
  # browser tests of the web console
  chromium chromium-driver python3-selenium
  # tests: /metrics read by Prometheus's own text-format parser
  python3-prometheus-client
  # the Debian package: its build, its checks, the unit's verification, a Debian 12 chroot
  debhelper lintian systemd debootstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
