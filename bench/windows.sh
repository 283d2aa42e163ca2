#!/usr/bin/env bash
# handover.exe under Wine against the Linux build, on the benchmark's trees:
#   bash bench/windows.sh LINUX_BIN_DIR WINDOWS_BIN_DIR
# Run with a Wine prefix (scripts/with-wine-prefix.sh bash bench/windows.sh ...), whose
# wineserver is kept running throughout. Each tree is
# laid out by make-tree.sh with 1 % staged, the Windows runs with client-probe.exe as the
# client; "start" is handover.exe in an empty folder, where it only starts the client: what
# Wine's process start costs, which the walk's share is measured against.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
linux=$(cd "${1:?usage: windows.sh LINUX_BIN_DIR WINDOWS_BIN_DIR}" && pwd)/handover
windows=$(cd "${2:?usage: windows.sh LINUX_BIN_DIR WINDOWS_BIN_DIR}" && pwd)
wine_run=$here/../scripts/wine-run.sh
scratch=$(mktemp -d "${BENCH_DIR:-/tmp}/handover-bench-windows.XXXXXX")
source "$here/../scripts/wine-prefix.sh"
# One wineserver for every run, as on a desktop where Wine is already up; each run would
# otherwise pay for starting one.
"$handover_wineserver" -p
trap '"$handover_wineserver" -k 2>/dev/null || true; rm -rf -- "$scratch"' EXIT

list_touched() {
    (cd "$1" && find . -type f -iname '_tmp_*' -print0) |
        while IFS= read -r -d '' path; do
            printf '%s\0' "$path"
            local dir=${path%/*} name=${path##*/}
            [[ -e $1/$dir/${name:5} ]] && printf '%s\0' "$dir/${name:5}"
        done
}

mkdir -p "$scratch/empty"
cp "$windows/client-probe.exe" "$scratch/empty/client.exe"
(cd "$scratch/empty" && hyperfine -N --style basic --time-unit millisecond -w 2 -r 10 \
    --prepare "rm -f $scratch/empty/client-probe.txt" \
    -n start "$wine_run $windows/handover.exe" --export-csv "$scratch/start.csv" >/dev/null)
# hyperfine's CSV: command,mean,stddev,median,... in seconds.
median_ms() { awk -F, 'NR == 2 { printf "%.1f", $4 * 1000 }' "$1"; }
start=$(median_ms "$scratch/start.csv")
printf '%8s %8s %10s %12s %14s %10s\n' files staged "linux ms" "windows ms" "windows-start" "start ms"
for files in ${BENCH_SIZES:-10000 100000}; do
    tpl=$scratch/tpl-$files work=$scratch/work-$files trash=$scratch/trash-$files
    bash "$here/make-tree.sh" "$tpl" "$files" 1
    mkdir -p "$work" "$trash"
    list_touched "$tpl" >"$tpl.touched"
    prepare="bash $here/fresh-copy.sh $tpl $work $tpl.touched $trash"
    (cd "$work" && hyperfine -N --style basic --time-unit millisecond -w 2 -r 10 \
        --prepare "$prepare" -n linux "$linux" --export-csv "$scratch/linux.csv" >/dev/null)
    cp "$windows/client-probe.exe" "$tpl/client.exe"
    (cd "$work" && hyperfine -N --style basic --time-unit millisecond -w 2 -r 10 \
        --prepare "$prepare" -n windows "$wine_run $windows/handover.exe" \
        --export-csv "$scratch/windows.csv" >/dev/null)
    [[ -z $(find "$work" -name '_tmp_*' | head -1) ]] || { echo "staged files left" >&2; exit 1; }
    l=$(median_ms "$scratch/linux.csv")
    w=$(median_ms "$scratch/windows.csv")
    printf '%8d %8d %10.1f %12.1f %14.1f %10.1f\n' "$files" $((files / 100)) "$l" "$w" \
        "$(awk -v w="$w" -v s="$start" 'BEGIN { print w - s }')" "$start"
done
