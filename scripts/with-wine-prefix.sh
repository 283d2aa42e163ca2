#!/usr/bin/env bash
# Runs a command with a Wine prefix of its own: made quietly in a temporary folder first (no
# Mono or Gecko prompts, no display), its wineserver stopped and the folder removed afterwards.
#   with-wine-prefix.sh COMMAND [ARGS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/handover-wine.XXXXXX")
cleanup() {
    local status=$?
    WINEPREFIX=$scratch/prefix "$handover_wineserver" -k 2>/dev/null || true
    rm -rf -- "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
WINEPREFIX=$(handover_wine_prefix "$scratch/prefix")
export WINEPREFIX
"$@"
