#!/usr/bin/env bash
# Runs a Windows console program under Wine as if it were a native one: wine-run.sh PROG [ARGS]
# Its exit status, stdout and stderr pass through untouched (the Windows C runtime writes
# text-mode output with CRLF line ends), and Wine itself prints nothing. The prefix is
# $WINEPREFIX if set, else one that wine-prefix.sh makes on first use.
# cmake/mingw-w64-x86_64.cmake names this script as CMAKE_CROSSCOMPILING_EMULATOR.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"

WINEPREFIX=$(handover_wine_prefix)
export WINEPREFIX
# Silent but for the loader's errors: a DLL that is missing otherwise ends the program with
# status 53 (STATUS_DLL_NOT_FOUND, truncated) and not a word about which one.
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine turns arguments and environment into Windows strings through the Unix locale; with
# none set, anything outside ASCII arrives mangled.
if [[ -z ${LC_ALL:-} && -z ${LC_CTYPE:-} && -z ${LANG:-} ]]; then
    export LANG=C.UTF-8
fi
# Console programs need no display; none is offered, so none is ever waited for.
unset DISPLAY WAYLAND_DISPLAY

exec "$handover_wine" "$@"
