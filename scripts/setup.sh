#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: does nothing
# when everything is there.
#   scripts/setup.sh        everything: builds, tests, cross build, packages
#   scripts/setup.sh demo   only what scripts/run.sh's Linux demo needs
set -euo pipefail

# The client, the server peer and the simulated reader in a private pcscd.
demo_packages=(
  cmake ninja-build g++ pkg-config
  libpcsclite-dev pcscd
  util-linux mount python3
  qt6-base-dev
)
# The tests, sanitizers, benchmarks, the Windows cross build under Wine,
# fuzzing, the Debian packages with their checks, and the two-user server
# (sshd, user units, systemd-socket-activate).
more_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  pcsc-tools opensc
  xvfb xauth strace iproute2
  g++-mingw-w64-x86-64-posix
  wine wine64 fonts-wine nsis wixl msitools
  clang-14 libclang-rt-14-dev
  dpkg-dev file lintian desktop-file-utils
  openssh-server openssh-client systemd passwd iproute2 shellcheck
)

packages=("${demo_packages[@]}")
[ "${1:-all}" = demo ] || packages+=("${more_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "Installing ${#missing[@]} Debian packages and what they need: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
# One line per package set up, so a long install shows that it moves on.
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
  -o Dpkg::Use-Pty=0 "${missing[@]}" | { grep --line-buffered '^Setting up ' || true; }
