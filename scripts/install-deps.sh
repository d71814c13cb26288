#!/usr/bin/env bash
# Installs everything Kestro needs to build, run and test, from Debian's packages.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libgl-dev libvmime-dev libcrypto++-dev zlib1g-dev nlohmann-json3-dev
  libgtest-dev libbenchmark-dev
  # the fuzz programs (libFuzzer and the sanitizers' runtimes)
  clang-16 libclang-rt-16-dev
  # oracles and servers of the tests
  zip unzip 7zip python3 python3-olefile libgsf-bin
  dovecot-imapd dovecot-pop3d dovecot-lmtpd postfix swaks libnet-ssleay-perl openssl ca-certificates
  # a display for the window when there is none
  xvfb xauth fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Postfix is only used by the tests, on loopback, with a configuration of their own.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
