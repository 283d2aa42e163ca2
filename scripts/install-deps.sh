#!/usr/bin/env bash
# Installs the Debian packages that building and testing handover needs, and only those
# that are missing. As root it runs apt-get itself; otherwise it prints the one command to run.
# `install-deps.sh windows` also brings the MinGW-w64 cross compiler and Wine, and fetches the
# pinned Debian source packages that scripts/build-windows-deps.sh builds Boost and libcrypto
# from (for which apt needs a deb-src entry: one is added beside the configured sources).
set -euo pipefail

mode=${1:-native}
if [[ $mode != native && $mode != windows ]]; then
    echo "usage: $0 [windows]" >&2
    exit 2
fi

packages=(
    build-essential cmake make
    libboost-filesystem1.74-dev libboost-system1.74-dev libboost-thread1.74-dev
    libboost-chrono1.74-dev libboost-date-time1.74-dev libboost1.74-dev
    libssl-dev openssl
    libgtest-dev
    strace e2fsprogs util-linux valgrind
    clang-14 libclang-rt-14-dev
    hyperfine time
)
if [[ $mode == windows ]]; then
    packages+=(
        # The posix-threads variant of the cross g++: the win32 one has no std::thread.
        g++-mingw-w64-x86-64-posix
        # ar, objdump and windres for the target; called by name, so named here.
        binutils-mingw-w64-x86-64
        # Runs the 64-bit programs and their tests. The `wine` package would only add the
        # /usr/bin/wine launcher; scripts/wine-run.sh finds /usr/lib/wine/wine64 itself.
        wine64
        # dpkg-source unpacks the source packages; dpkg-parsechangelog dates the builds.
        dpkg-dev
        # The release archives (make dist) and the test that signs handover.exe.
        zip osslsigncode
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

# Source packages need a deb-src entry; any existing one will do.
need_src=false
if [[ $mode == windows ]] && ! apt-get indextargets --no-release-info 'Created-By: Sources' 2>/dev/null | grep -q .; then
    need_src=true
fi

updated=false
if [[ ${#missing[@]} -gt 0 || $need_src == true ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing packages or package sources. Run as root:" >&2
        if [[ $need_src == true ]]; then
            echo "  bash $0 windows" >&2
        else
            echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        fi
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ $need_src == true ]]; then
        # The same archives, suites and keys as the binary entries of the Debian sources,
        # in a file of our own so that the machine's file stays untouched.
        src_list=/etc/apt/sources.list.d/debian.sources
        if [[ ! -f $src_list ]]; then
            echo "No $src_list to take the deb-src entries from; add a deb-src entry by hand." >&2
            exit 1
        fi
        awk 'BEGIN { RS = ""; ORS = "" }
             /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ {
                 n = split($0, line, "\n")
                 for (i = 1; i <= n; i++) {
                     if (line[i] ~ /^#/) continue
                     if (line[i] ~ /^Types:/) line[i] = "Types: deb-src"
                     print line[i] "\n"
                 }
                 print "\n"
             }' "$src_list" >/etc/apt/sources.list.d/handover-src.sources
        echo "Added /etc/apt/sources.list.d/handover-src.sources"
    fi
    apt-get update -qq
    updated=true
    if [[ ${#missing[@]} -gt 0 ]]; then
        echo "Installing: ${missing[*]}"
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
fi

if [[ $mode == windows ]]; then
    # Needs no root once the deb-src entry is there; does nothing once the sources are cached.
    fetch=(bash "$(dirname "$0")/build-windows-deps.sh" fetch)
    if [[ $(id -u) -eq 0 && $updated == false ]]; then
        # An entry added before may still lack its indexes, or they may have moved on.
        "${fetch[@]}" 2>/dev/null || { apt-get update -qq && "${fetch[@]}"; }
    else
        "${fetch[@]}"
    fi
fi
