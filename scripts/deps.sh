#!/usr/bin/env bash
# Installs the Debian packages a build needs, only when one is missing.
#   scripts/deps.sh native   - compiler, CMake, Ninja, GoogleTest, rapidxml
#   scripts/deps.sh all      - and the Windows cross compiler, wine, clang and its format and tidy tools
set -euo pipefail
want=(cmake ninja-build g++ libgtest-dev googletest librapidxml-dev nlohmann-json3-dev)
if [ "${1:-native}" = all ]; then
  want+=(g++-mingw-w64-x86-64-posix wine wine64 clang libclang-rt-14-dev clang-format clang-tidy git python3 procps
         man-db)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
