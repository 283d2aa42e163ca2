#!/usr/bin/env bash
# Runs Windows tests again as an unprivileged user, in a Wine prefix of that user's own. As
# root, Wine opens a read-only file for writing and deletes what root may delete, so the paths
# that Windows takes for every user (the read-only attribute cleared for a flush, and set back)
# are only taken as another user:
#   windows_as_unprivileged_user.sh WINE_RUN TEST_EXE GTEST_FILTER
# Skipped (status 77) where that cannot be done: not root, or no setpriv.
set -euo pipefail
wine_run=$1 exe=$2 filter=$3
user=nobody group=nogroup
if [[ $(id -u) -ne 0 ]] || ! command -v setpriv >/dev/null; then
    echo "needs root and setpriv to run the tests as $user"
    exit 77
fi
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-prefix.sh"

# Wine will only use a prefix that its user owns; the tests' scratch trees go in its Temp.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/handover-unprivileged.XXXXXX")
chmod 755 "$scratch"
chown "$user:$group" "$scratch"
as_user() {
    setpriv --reuid="$user" --regid="$group" --clear-groups \
        env HOME="$scratch" WINEPREFIX="$scratch/prefix" "$@"
}
cleanup() {
    local status=$?
    as_user "$handover_wineserver" -k 2>/dev/null || true
    rm -rf -- "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

as_user bash "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-prefix.sh" >/dev/null
as_user "$handover_wineserver" -p
as_user "$wine_run" "$exe" --gtest_filter="$filter" | tee "$scratch/output"
# A filter that matches nothing passes by itself.
if ! grep -q '^\[  PASSED  \] [1-9]' "$scratch/output"; then
    echo "no test passed as $user" >&2
    exit 1
fi
