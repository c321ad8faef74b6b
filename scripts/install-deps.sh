#!/usr/bin/env bash
# Installs what building and testing DRAXO needs on Debian 12, and nothing
# that is already there. As root it installs through apt-get; otherwise it
# names the missing packages and the command that installs them, and fails.
set -euo pipefail

native_pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
             libcli11-dev nlohmann-json3-dev g++-mingw-w64-i686-posix binutils-mingw-w64-i686
             python3 python3-serial python3-matplotlib procps)
wine_pkgs=(wine wine32:i386)

missing=()
for p in "${native_pkgs[@]}" "${wine_pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  dpkg --add-architecture i386 && apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
