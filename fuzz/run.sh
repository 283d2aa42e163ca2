#!/usr/bin/env bash
# Replays the kept crash reproducers, then fuzzes each target for a bounded time, starting from
# its seed corpus. A new crash is written to fuzz/crashes/ and fails the run.
set -euo pipefail
bin=${1:?usage: fuzz/run.sh BIN_DIR [SECONDS]}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/handover-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

for target in report names command_line; do
    fuzzer="$bin/fuzz_$target"
    shopt -s nullglob
    reproducers=("$here/crashes/$target"-*)
    shopt -u nullglob
    if [[ ${#reproducers[@]} -gt 0 ]]; then
        echo "== $target: replaying ${#reproducers[@]} kept reproducer(s)"
        "$fuzzer" "${reproducers[@]}"
    fi
    echo "== $target: fuzzing for ${seconds}s"
    mkdir -p "$work/$target"
    status=0
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix="$here/crashes/$target-" "$work/$target" "$here/corpus/$target" \
        >"$work/$target.log" 2>&1 || status=$?
    grep -E '^(Done [0-9]+ runs|==[0-9]+==ERROR|SUMMARY)' "$work/$target.log" || true
    if [[ $status -ne 0 ]]; then
        tail -n 40 "$work/$target.log" >&2
        echo "fuzz_$target failed (status $status); a reproducer is in fuzz/crashes/" >&2
        exit 1
    fi
done
