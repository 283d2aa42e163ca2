#!/usr/bin/env bash
# What handover's flushes cost: time to the client's launch, flush calls per run, and both again
# with every flush made to wait as on a slow disk, beside the same work with two whole-file-system
# flushes. See bench/README.md.
#
#   bash bench/flushes.sh BIN_DIR        (make bench-flushes: bash bench/flushes.sh build/bin)
#
# Environment (an empty value leaves that set of trees out):
#   BENCH_DIR       folder in which the scratch folder is made (default /tmp); the scratch
#                   folder, and only it, is removed at the end
#   BENCH_SIZES     bench/make-tree.sh trees: files per tree (default "1000 10000 100000")
#   BENCH_PERCENTS  ... and their staged share in % (default "0 1 10")
#   BENCH_STAGED    bench/make-staged-tree.sh trees: staged files per tree (default "10 100 1000")
#   BENCH_FLUSH_MS  the modelled wait before each flush, in ms (default 4)
#   BENCH_RUNS      timed runs per command (default 20 for trees of up to 1,000 files or
#                   staged files, 10 for 10,000, 5 for 100,000)
#   FLUSH_MODEL_LIB the LD_PRELOAD library (default BIN_DIR/../lib/libflush_model.so)
# The table goes to standard output, progress to standard error. Exits non-zero when a measured
# command fails, a run leaves the tree other than expected, or the model is not in effect.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BIN_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin_dir=$(cd "$1" && pwd)
handover="$bin_dir/handover"
model_lib=${FLUSH_MODEL_LIB:-$bin_dir/../lib/libflush_model.so}
for file in "$handover" "$model_lib"; do
    [[ -f $file ]] || { echo "$0: no $file (make build builds it)" >&2; exit 2; }
done
model_lib=$(realpath -- "$model_lib")
for tool in hyperfine strace sync find cp awk; do
    if ! command -v "$tool" >/dev/null; then
        echo "$0: $tool is missing (bash scripts/install-deps.sh installs it)" >&2
        exit 2
    fi
done

read -r -a sizes <<<"${BENCH_SIZES-1000 10000 100000}"
read -r -a percents <<<"${BENCH_PERCENTS-0 1 10}"
read -r -a staged_counts <<<"${BENCH_STAGED-10 100 1000}"
flush_ms=${BENCH_FLUSH_MS:-4}

runs_for() {
    if [[ -n ${BENCH_RUNS:-} ]]; then
        echo "$BENCH_RUNS"
    elif (( $1 <= 1000 )); then
        echo 20
    elif (( $1 <= 10000 )); then
        echo 10
    else
        echo 5
    fi
}

source "$here/scratch.sh" flushes

binary_sum() {
    echo "handover $(sha256sum <"$handover" | cut -c1-16)..., model $(sha256sum <"$model_lib" | cut -c1-16)..."
}
sum_start=$(binary_sum)
q() { printf '%q' "$1"; }

fresh_copy() {
    bash "$here/fresh-staged.sh" "$templates/$1" "$work" "$templates/$1.touched" "$templates/$1.staged" "$trash"
}

# Checks the tree a run left in $work: no staged file left, every target's first line "new",
# the runtime archive moved aside.
verify_run() {
    local key=$1 what=$2 left counts ok bad
    left=$(find "$work" -iname '_tmp_*' -print | wc -l)
    (( left == 0 )) || fail "$key, $what: $left staged files left after the run"
    counts=$(cd "$work" && xargs -0 -r -a "$templates/$key.targets" \
        awk 'FNR == 1 { if ($0 == "new") ok++; else bad++ } END { print ok + 0, bad + 0 }' |
        awk '{ ok += $1; bad += $2 } END { print ok + 0, bad + 0 }')
    read -r ok bad <<<"$counts"
    (( ok == staged[$key] && bad == 0 )) ||
        fail "$key, $what: $ok targets hold the new contents, $bad do not (expected ${staged[$key]})"
    if [[ -e $templates/$key/rt/lib/rt-0.jar ]]; then
        [[ -e $work/rt/lib/rt-0.jar.old && ! -e $work/rt/lib/rt-0.jar ]] ||
            fail "$key, $what: the runtime archive was not moved aside"
    fi
}

# Counts the system calls named in an strace output file: "name count" lines.
count_calls() {
    awk '/^([0-9]+ +)?[a-z_0-9]+\(/ {
            line = $0; sub(/^[0-9]+ +/, "", line); sub(/\(.*/, "", line); n[line]++
        }
        END { for (k in n) print k, n[k] }' "$1"
}
calls_of() { awk -v k="$2" '$1 == k { print $2; found = 1 } END { if (!found) print 0 }' "$1"; }

declare -A staged size_of label
declare -A n_fsync n_fdatasync n_syncfs n_sfr load_at
declare -A t_plain t_skip t_model t_cmp s_plain s_skip s_model s_cmp
keys=()
warnings=()

# Lists, NUL-terminated and relative to the tree, its staged files (TEMPLATE.staged), their
# targets (.targets) and both (.touched: what a run removes or renames).
add_template() {
    local key=$1 size=$2 tpl=$templates/$1 path name
    (cd "$tpl" && find . -type f -iname '_tmp_*' -print0) >"$tpl.staged"
    while IFS= read -r -d '' path; do
        name=${path##*/}
        printf '%s\0' "${path%/*}/${name:5}"
    done <"$tpl.staged" >"$tpl.targets"
    cat "$tpl.staged" "$tpl.targets" >"$tpl.touched"
    staged[$key]=$(tr -cd '\0' <"$tpl.staged" | wc -c)
    size_of[$key]=$size
    keys+=("$key")
}

# 1. The template trees, built once.
for n in "${sizes[@]}"; do
    for p in "${percents[@]}"; do
        key="tree-$n-$p"
        say "building the tree of $n files, $p % staged"
        bash "$here/make-tree.sh" "$templates/$key" "$n" "$p"
        label[$key]="$n files, $p %"
        add_template "$key" "$n"
    done
done
for s in "${staged_counts[@]}"; do
    key="staged-$s"
    say "building the tree of $s staged files"
    bash "$here/make-staged-tree.sh" "$templates/$key" "$s"
    label[$key]="$s staged"
    add_template "$key" "$s"
done

# Medians and relative standard deviations from a hyperfine export of one command.
median_of() { awk -F': ' '/"median"/ { gsub(/[ ,]/, "", $2); print $2; exit }' "$1"; }
spread_of() {
    awk -F': ' '/"stddev"/ { gsub(/[ ,]/, "", $2); sd = $2 } /"median"/ { gsub(/[ ,]/, "", $2); m = $2 }
        END { printf "%.0f", (m > 0 ? 100 * sd / m : 0) }' "$1"
}

# One hyperfine measurement of COMMAND on TREE, a fresh copy before every run. Any further
# arguments are VAR=value pairs for hyperfine's environment, which its commands inherit: the
# model is preloaded into every program the measurement starts (the copy makes no flush).
measure() {
    local key=$1 tag=$2 command=$3
    shift 3
    local tpl="$templates/$key" runs
    runs=$(runs_for "${size_of[$key]}")
    say "${label[$key]}: $tag, 1 warmup + $runs runs"
    if ! (cd "$work" && env "$@" hyperfine -N --style basic --time-unit millisecond \
            --warmup 1 --runs "$runs" \
            --prepare "bash $(q "$here/fresh-staged.sh") $(q "$tpl") $(q "$work") $(q "$tpl.touched") $(q "$tpl.staged") $(q "$trash")" \
            --export-json "$out/$key.$tag.json" \
            -n "$tag" "$command") >"$out/$key.$tag.hyperfine" 2>&1; then
        cat "$out/$key.$tag.hyperfine" >&2
        fail "$key: hyperfine reported a failed command ($tag)"
    fi
    verify_run "$key" "$tag"
}

model=(LD_PRELOAD="$model_lib" FLUSH_MODEL_MS="$flush_ms")
# The comparison: handover with every flush a no-op, then two whole-file-system flushes of the
# tree's file system, each made to wait like the program's flushes.
cmp_script='FLUSH_MODEL_SKIP=1 "$0" && sync -f . && sync -f .'
comparison="sh -c '$cmp_script' $(q "$handover")"

# 2. Per tree: the flush calls (strace on a plain run), a check that the model is in effect,
#    then the four timed commands.
for key in "${keys[@]}"; do
    load_at[$key]=$(cut -d' ' -f1 /proc/loadavg)

    say "${label[$key]}: strace"
    fresh_copy "$key"
    (cd "$work" && strace -qq -o "$out/$key.strace" -e trace=fsync,fdatasync,syncfs,sync_file_range \
        "$handover") || fail "$key: handover under strace failed"
    verify_run "$key" strace
    count_calls "$out/$key.strace" >"$out/$key.calls"
    n_fsync[$key]=$(calls_of "$out/$key.calls" fsync)
    n_fdatasync[$key]=$(calls_of "$out/$key.calls" fdatasync)
    n_syncfs[$key]=$(calls_of "$out/$key.calls" syncfs)
    n_sfr[$key]=$(calls_of "$out/$key.calls" sync_file_range)
    flushes=$(( n_fsync[$key] + n_fdatasync[$key] + n_syncfs[$key] ))

    # Under the model every flush system call follows one wait; under the comparison handover
    # makes none and the two sync -f one syncfs each.
    fresh_copy "$key"
    (cd "$work" && strace -qq -o "$out/$key.model.strace" -E LD_PRELOAD="$model_lib" \
        -E FLUSH_MODEL_MS="$flush_ms" -e trace=fsync,fdatasync,syncfs,clock_nanosleep \
        "$handover") || fail "$key: handover under the model failed"
    verify_run "$key" "model under strace"
    count_calls "$out/$key.model.strace" >"$out/$key.model.calls"
    waits=$(calls_of "$out/$key.model.calls" clock_nanosleep)
    modelled=$(( $(calls_of "$out/$key.model.calls" fsync) + $(calls_of "$out/$key.model.calls" fdatasync) +
        $(calls_of "$out/$key.model.calls" syncfs) ))
    (( waits == flushes && modelled == flushes )) ||
        fail "$key: under the model $modelled flush calls and $waits waits, expected $flushes of each"
    fresh_copy "$key"
    (cd "$work" && strace -f -qq -o "$out/$key.cmp.strace" -E LD_PRELOAD="$model_lib" \
        -E FLUSH_MODEL_MS="$flush_ms" -e trace=fsync,fdatasync,syncfs,clock_nanosleep \
        sh -c "$cmp_script" "$handover") || fail "$key: the comparison under strace failed"
    verify_run "$key" "comparison under strace"
    count_calls "$out/$key.cmp.strace" >"$out/$key.cmp.calls"
    read -r c_sync c_data c_fs c_wait < <(echo "$(calls_of "$out/$key.cmp.calls" fsync)" \
        "$(calls_of "$out/$key.cmp.calls" fdatasync)" "$(calls_of "$out/$key.cmp.calls" syncfs)" \
        "$(calls_of "$out/$key.cmp.calls" clock_nanosleep)")
    (( c_sync == 0 && c_data == 0 && c_fs == 2 && c_wait == 2 )) ||
        fail "$key: the comparison made $c_sync fsync, $c_data fdatasync, $c_fs syncfs and $c_wait waits (expected 0, 0, 2, 2)"

    measure "$key" plain "$(q "$handover")"
    measure "$key" no-flush "$(q "$handover")" LD_PRELOAD="$model_lib" FLUSH_MODEL_SKIP=1
    measure "$key" model "$(q "$handover")" "${model[@]}"
    measure "$key" comparison "$comparison" "${model[@]}"
    for tag in plain no-flush model comparison; do
        json="$out/$key.$tag.json"
        case $tag in
            plain) t_plain[$key]=$(median_of "$json") s_plain[$key]=$(spread_of "$json") ;;
            no-flush) t_skip[$key]=$(median_of "$json") s_skip[$key]=$(spread_of "$json") ;;
            model) t_model[$key]=$(median_of "$json") s_model[$key]=$(spread_of "$json") ;;
            comparison) t_cmp[$key]=$(median_of "$json") s_cmp[$key]=$(spread_of "$json") ;;
        esac
    done
    # With the model each flush costs the modelled wait more than without; much less means
    # the model was not in effect while timed, or the plain runs were disturbed.
    if (( flushes > 0 )) && ! awk -v m="${t_model[$key]}" -v p="${t_plain[$key]}" -v n="$flushes" \
        -v ms="$flush_ms" 'BEGIN { exit !(m - p >= 0.9 * n * ms / 1000) }'; then
        warnings+=("${label[$key]}: the model run took less than 0.9 x $flush_ms ms per flush more than the plain run")
    fi
done

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
say "removing the used copies"
find "$trash" -mindepth 1 -maxdepth 1 -print0 | xargs -0 -r -P2 -n4 rm -rf --
[[ $(binary_sum) == "$sum_start" ]] || fail "$handover or $model_lib was replaced during the bench; run it again"

# 3. The table.
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
echo "handover flush benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit"
echo "nproc $(nproc), kernel $(uname -r), scratch file system $(stat -f -c %T "$scratch") ($(df --output=source "$scratch" | tail -1))"
echo "binary $handover, model $model_lib"
echo "sha256 $sum_start"
echo "model: each fsync, fdatasync and syncfs waits $flush_ms ms first"
echo "load average at start $load_start, at end $load_end"
echo "medians of hyperfine runs with a fresh copy of the staged files and targets before each"
echo
printf '%-18s %6s %6s %9s %6s %8s %9s %10s %9s %10s %6s %11s %5s\n' tree staged fsync fdatasync \
    syncfs sfr 'plain ms' 'no-flush' 'model ms' 'compare ms' ratio 'ms/flush' load
for key in "${keys[@]}"; do
    flushes=$(( n_fsync[$key] + n_fdatasync[$key] + n_syncfs[$key] ))
    awk -v l="${label[$key]}" -v s="${staged[$key]}" -v a="${n_fsync[$key]}" -v b="${n_fdatasync[$key]}" \
        -v c="${n_syncfs[$key]}" -v r="${n_sfr[$key]}" -v tp="${t_plain[$key]}" -v ts="${t_skip[$key]}" \
        -v tm="${t_model[$key]}" -v tc="${t_cmp[$key]}" -v f="$flushes" -v la="${load_at[$key]}" 'BEGIN {
            per = f > 0 ? sprintf("%.2f", (tm - tp) * 1000 / f) : "-"
            printf "%-18s %6d %6d %9d %6d %8d %9.1f %10.1f %9.1f %10.1f %6.2f %11s %5s\n",
                l, s, a, b, c, r, tp * 1000, ts * 1000, tm * 1000, tc * 1000, tm / tc, per, la
        }'
done
echo
echo "relative standard deviation of the timed runs, % of the median"
printf '%-18s %9s %10s %9s %10s\n' tree plain no-flush model compare
for key in "${keys[@]}"; do
    printf '%-18s %9s %10s %9s %10s\n' "${label[$key]}" "${s_plain[$key]}" "${s_skip[$key]}" \
        "${s_model[$key]}" "${s_cmp[$key]}"
done
for warning in "${warnings[@]}"; do
    echo "WARNING: $warning"
done
echo
echo "flushes took $(( SECONDS - start )) s (the scratch folder is removed after this)"
