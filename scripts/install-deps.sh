#!/usr/bin/env bash
# Installs the Debian packages that building and testing handover needs, and only those
# that are missing. As root it runs apt-get itself; otherwise it prints the one command to run.
set -euo pipefail

packages=(
    build-essential cmake make
    libboost-filesystem1.74-dev libboost-system1.74-dev libboost-thread1.74-dev
    libboost-date-time1.74-dev libboost1.74-dev
    libssl-dev openssl
    libgtest-dev
    strace e2fsprogs util-linux valgrind
    clang-14 libclang-rt-14-dev
    hyperfine time
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
