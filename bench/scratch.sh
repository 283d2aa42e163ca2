# The scratch folder of a bench script, sourced after `set -euo pipefail`:
#   source scratch.sh NAME
# makes $scratch (NAME.XXXXXX under $BENCH_DIR, default /tmp) holding $templates, $work, $trash
# and $out, removed when the script exits, however it exits, and defines say (a progress line on
# standard error, with the seconds since the start) and fail (a message, then exit status 1).
bench_name=$1
parent=${BENCH_DIR:-/tmp}
mkdir -p "$parent"
scratch=$(mktemp -d "$parent/handover-$bench_name.XXXXXX")
cleanup() {
    local status=$?
    echo "$bench_name: removing $scratch" >&2
    rm -rf -- "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

templates="$scratch/templates" work="$scratch/work" trash="$scratch/trash" out="$scratch/out"
mkdir -p "$templates" "$work" "$trash" "$out"

start=$SECONDS
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
say() { echo "$bench_name [$(( SECONDS - start ))s]: $*" >&2; }
fail() { echo "$bench_name: FAILED: $*" >&2; exit 1; }
