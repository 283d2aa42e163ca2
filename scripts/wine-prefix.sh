#!/usr/bin/env bash
# Makes a 64-bit Wine prefix quietly, once:  wine-prefix.sh [DIR]
# DIR defaults to $WINEPREFIX, else to a folder of this user's under ${TMPDIR:-/tmp}. It prints
# the prefix. A prefix left half made by an interrupted run is made again; concurrent
# callers (parallel tests) wait for the first one instead of racing it.
# Also sourced by wine-run.sh for handover_wine_prefix and the paths of the Wine binaries.
set -euo pipefail

# Debian's wine64 package puts its loader outside PATH; the `wine` package's launcher is
# taken only if that is absent.
handover_wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[[ -x $handover_wine ]] || handover_wine=$(command -v wine || true)
handover_wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

handover_wine_prefix() {
    local dir=${1:-${WINEPREFIX:-${TMPDIR:-/tmp}/handover-wine-$(id -u)/prefix}}
    if [[ -z $handover_wine || ! -x $handover_wine ]]; then
        echo "Wine is missing. As root run: bash scripts/install-deps.sh windows" >&2
        return 1
    fi
    mkdir -p "$(dirname "$dir")"
    (
        flock 9
        if [[ ! -f $dir/.handover-ready ]]; then
            rm -rf "$dir"
            local log
            log=$(mktemp)
            # No Mono or Gecko: console programs need neither, and asking for them would
            # wait for a download that cannot happen here. No display either.
            if ! env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$dir" WINEARCH=win64 \
                WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
                "$handover_wine" wineboot --init >"$log" 2>&1 ||
                ! WINEPREFIX="$dir" "$handover_wineserver" -w >>"$log" 2>&1; then
                cat "$log" >&2
                rm -f "$log"
                echo "Could not make a Wine prefix in $dir" >&2
                exit 1
            fi
            rm -f "$log"
            # wineserver -w above waited for the registry to reach the disk.
            touch "$dir/.handover-ready"
        fi
    ) 9>"$dir.lock"
    echo "$dir"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    handover_wine_prefix "$@"
fi
