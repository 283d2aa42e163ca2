#!/usr/bin/env bash
# The benchmark of handover: time, system calls and memory on generated installation trees,
# side by side with `find -L` walking the same tree. See bench/README.md.
#
#   bash bench/run.sh BIN_DIR        (make bench: bash bench/run.sh build/bin)
#
# Environment:
#   BENCH_DIR       folder in which the scratch folder is made (default /tmp); the scratch
#                   folder, and only it, is removed at the end
#   BENCH_SIZES     files per tree (default "1000 10000 100000"; multiples of 1,000)
#   BENCH_PERCENTS  staged share of the files, in % (default "0 1 10")
#   BENCH_COPY      "links" (default) or "full": how each run's fresh copy is made
#                   (see fresh-copy.sh)
# The table goes to standard output, progress to standard error. Exits non-zero when a
# measured command fails or a run leaves the tree other than expected.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BIN_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin_dir=$(cd "$1" && pwd)
handover="$bin_dir/handover"
if [[ ! -x $handover ]]; then
    echo "$0: no executable $handover" >&2
    exit 2
fi
for tool in hyperfine strace /usr/bin/time find cp awk; do
    if ! command -v "$tool" >/dev/null; then
        echo "$0: $tool is missing (bash scripts/install-deps.sh installs it)" >&2
        exit 2
    fi
done

read -r -a sizes <<<"${BENCH_SIZES:-1000 10000 100000}"
read -r -a percents <<<"${BENCH_PERCENTS:-0 1 10}"

# Warmup and timed runs per tree size: more runs where a run is short.
warmups_for() { if (( $1 <= 1000 )); then echo 3; else echo 2; fi; }
runs_for() { if (( $1 <= 1000 )); then echo 30; elif (( $1 <= 10000 )); then echo 15; else echo 10; fi; }

source "$here/scratch.sh" bench

binary_sum() { sha256sum "$handover" | cut -c1-16; }
sum_start=$(binary_sum)

# Writes, NUL-terminated and relative to the tree, every staged file and its target.
list_touched() {
    local tree=$1 path dir name
    (cd "$tree" && find . -type f -iname '_tmp_*' -print0) |
        while IFS= read -r -d '' path; do
            printf '%s\0' "$path"
            dir=${path%/*} name=${path##*/}
            if [[ -e $tree/$dir/${name:5} ]]; then
                printf '%s\0' "$dir/${name:5}"
            fi
        done
}

fresh_copy() { bash "$here/fresh-copy.sh" "$1" "$work" "$2" "$trash"; }

# Checks the tree a handover run left in $work against its template.
verify_run() {
    local key=$1 tpl=$2
    local left top_expected top_now files_now old new
    left=$(find "$work" -iname '_tmp_*' -print | wc -l)
    (( left == 0 )) || fail "$key: $left staged files left after the run"
    top_expected=$(find "$tpl" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' ')
    top_now=$(find "$work" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort | tr '\n' ' ')
    [[ $top_now == "$top_expected" ]] || fail "$key: top level is now '$top_now', was '$top_expected'"
    files_now=$(find "$work" -type f | wc -l)
    (( files_now == files_phys[$key] - staged[$key] )) ||
        fail "$key: $files_now regular files after the run, expected $(( files_phys[$key] - staged[$key] ))"
    old=$(grep -r -x -F -l old "$work/data" | wc -l || true)
    new=$(grep -r -x -F -l new "$work/data" | wc -l || true)
    (( old == 0 && new == staged[$key] )) ||
        fail "$key: $old targets still old, $new installed (expected 0 and ${staged[$key]})"
}

declare -A entries staged links dirs files_phys
declare -A t_handover t_find cpu calls stat_all stat_path rss
keys=()

# 1. The template trees, built once.
for n in "${sizes[@]}"; do
    for p in "${percents[@]}"; do
        key="$n-$p"
        tpl="$templates/$key"
        say "building the tree of $n files, $p % staged"
        bash "$here/make-tree.sh" "$tpl" "$n" "$p"
        list_touched "$tpl" >"$templates/$n-$p.touched"
        entries[$key]=$(find -L "$tpl" -mindepth 1 | wc -l)
        links[$key]=$(find -L "$tpl" -mindepth 1 -xtype l | wc -l)
        dirs[$key]=$(find -L "$tpl" -type d | wc -l)
        files_phys[$key]=$(find "$tpl" -type f | wc -l)
        staged[$key]=$(find "$tpl" -type f -iname '_tmp_*' | wc -l)
        keys+=("$key")
    done
done

# 2. Per tree: hyperfine (both commands, a fresh copy before every run), then one run under
#    strace and one under GNU time, each on a fresh copy and checked afterwards.
q() { printf '%q' "$1"; }
for key in "${keys[@]}"; do
    n=${key%-*} p=${key#*-}
    tpl="$templates/$key" touched="$templates/$key.touched" tag=$key
    warmups=$(warmups_for "$n") runs=$(runs_for "$n")

    say "$n files, $p % staged: hyperfine, $warmups warmup + $runs runs per command"
    # The prepare step runs before every warmup and timed run of both commands.
    if ! (cd "$work" && hyperfine -N --style basic --time-unit millisecond \
            --warmup "$warmups" --runs "$runs" \
            --prepare "bash $(q "$here/fresh-copy.sh") $(q "$tpl") $(q "$work") $(q "$touched") $(q "$trash")" \
            --export-json "$out/$tag.json" \
            -n handover "$(q "$handover")" \
            -n 'find -L' "find -L . -type f -iname '_tmp_*'") >"$out/$tag.hyperfine" 2>&1; then
        cat "$out/$tag.hyperfine" >&2
        fail "$key: hyperfine reported a failed command"
    fi
    mapfile -t medians < <(awk -F': ' '/"median"/ { gsub(/[ ,]/, "", $2); print $2 }' "$out/$tag.json")
    (( ${#medians[@]} == 2 )) || fail "$key: no medians in $out/$tag.json"
    t_handover[$key]=${medians[0]} t_find[$key]=${medians[1]}
    # Mean user and system time of handover, then of find.
    cpu[$key]=$(awk -F': ' '/"(user|system)"/ { gsub(/[ ,]/, "", $2); printf "%s ", $2 }' "$out/$tag.json")

    say "$n files, $p % staged: strace"
    fresh_copy "$tpl" "$touched"
    # Without -f strace stays with handover's own process: the client that posix_spawn
    # starts is not traced.
    (cd "$work" && strace -qq -o "$out/$tag.strace" "$handover") || fail "$key: handover under strace failed"
    verify_run "$key" "$tpl"
    read -r c_total c_stat c_path _ < <(
        awk -v names="$out/$tag.names" '
            /^[a-z_0-9]+\(/ {
                name = $0; sub(/\(.*/, "", name)
                count[name]++; total++
                if (name ~ /^(stat|lstat|newfstatat|fstat|statx|stat64|lstat64|fstat64|fstatat64)$/) {
                    all++
                    if (name == "fstat" || name == "fstat64" || $0 ~ /AT_EMPTY_PATH/) fd++; else path++
                }
            }
            END {
                for (k in count) print k, count[k] > names
                print total + 0, all + 0, path + 0, fd + 0
            }' "$out/$tag.strace")
    calls[$key]=$c_total stat_all[$key]=$c_stat stat_path[$key]=$c_path

    say "$n files, $p % staged: GNU time"
    fresh_copy "$tpl" "$touched"
    (cd "$work" && /usr/bin/time -v -o "$out/$tag.time" "$handover") || fail "$key: handover under time failed"
    verify_run "$key" "$tpl"
    rss[$key]=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$out/$tag.time")
    [[ -n ${rss[$key]} ]] || fail "$key: no peak memory in $out/$tag.time"
done

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
say "removing the used copies"
find "$trash" -mindepth 1 -maxdepth 1 -print0 | xargs -0 -r -P2 -n4 rm -rf --
[[ $(binary_sum) == "$sum_start" ]] || fail "$handover was replaced during the bench; run it again"

# 3. The table.
echo "handover benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "nproc $(nproc), kernel $(uname -r), scratch file system $(stat -f -c %T "$scratch"), copies: ${BENCH_COPY:-links}"
echo "binary $handover (sha256 $sum_start...)"
echo "load average at start $load_start, at end $load_end"
echo "medians of hyperfine runs with a fresh copy of the tree before each; system calls and memory from one run each"
echo
printf '%8s %8s %7s %8s %11s %10s %6s %8s %11s %12s %10s %7s %6s %6s %12s\n' files 'staged %' staged entries 'handover ms' 'find -L ms' ratio calls \
    calls/entry calls/staged 'stat calls' 'by path' links dirs 'peak RSS KiB'
for key in "${keys[@]}"; do
    n=${key%-*} p=${key#*-}
    per_staged=-
    if [[ -n ${calls[$n-0]:-} ]] && (( staged[$key] > 0 )); then
        per_staged=$(awk -v a="${calls[$key]}" -v b="${calls[$n-0]}" -v s="${staged[$key]}" \
            'BEGIN { printf "%.2f", (a - b) / s }')
    fi
    awk -v n="$n" -v p="$p" -v s="${staged[$key]}" -v e="${entries[$key]}" \
        -v th="${t_handover[$key]}" -v tf="${t_find[$key]}" -v c="${calls[$key]}" \
        -v ps="$per_staged" -v sa="${stat_all[$key]}" -v sp="${stat_path[$key]}" \
        -v l="${links[$key]}" -v d="${dirs[$key]}" -v r="${rss[$key]}" 'BEGIN {
            printf "%8d %8s %7d %8d %11.2f %10.2f %6.2f %8d %11.3f %12s %10d %7d %6d %6d %12d\n",
                n, p, s, e, th * 1000, tf * 1000, th / tf, c, c / e, ps, sa, sp, l, d, r
        }'
done

# 4. Which system calls make up those counts.
echo
echo "system calls of handover by name (one run per tree; names under 10 calls in every tree summed as 'other')"
name_files=()
printf '%-14s' call
for key in "${keys[@]}"; do
    name_files+=("$out/$key.names")
    printf ' %11s' "${key%-*}/${key#*-}%"
done
echo
awk -v trees="${#keys[@]}" '
    FNR == 1 { f++ }
    { count[f, $1] = $2; if ($2 > max[$1]) max[$1] = $2 }
    END {
        for (k in max) {
            if (max[k] >= 10) {
                line = sprintf("%-14s", k)
                for (i = 1; i <= trees; i++) line = line sprintf(" %11d", count[i, k])
                print max[k] "\t" line
            } else {
                for (i = 1; i <= trees; i++) other[i] += count[i, k]
            }
        }
        line = sprintf("%-14s", "other")
        for (i = 1; i <= trees; i++) line = line sprintf(" %11d", other[i])
        print -1 "\t" line
    }' "${name_files[@]}" | sort -t$'\t' -k1,1nr -k2 | cut -f2-

# 5. Where handover's time goes, beside find's.
echo
echo "mean CPU time per run, ms (hyperfine)"
printf '%8s %8s %14s %14s %14s %14s\n' files 'staged %' 'handover user' 'handover sys' 'find -L user' 'find -L sys'
for key in "${keys[@]}"; do
    read -r hu hs fu fs <<<"${cpu[$key]}"
    awk -v n="${key%-*}" -v p="${key#*-}" -v hu="$hu" -v hs="$hs" -v fu="$fu" -v fs="$fs" \
        'BEGIN { printf "%8d %8s %14.2f %14.2f %14.2f %14.2f\n", n, p, hu * 1000, hs * 1000, fu * 1000, fs * 1000 }'
done
echo
echo "bench took $(( SECONDS - start )) s (the scratch folder is removed after this)"
