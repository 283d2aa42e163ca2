#!/usr/bin/env bash
# Replaces the contents of WORK with a fresh copy of TEMPLATE:
#   fresh-copy.sh TEMPLATE WORK [TOUCHED [TRASH]]
# WORK itself stays (the benchmark runs with it as working directory).
#
# With TOUCHED (a file of NUL-terminated paths relative to TEMPLATE: the files a handover run
# removes or renames) the copy is made of new directories, new independent copies of the
# TOUCHED files, and hard links to the template for every other file, which a run only
# lists. Without TOUCHED, or with BENCH_COPY=full, every file is a new copy (cp -a).
#
# With TRASH, the previous contents of WORK are moved into a new folder under TRASH instead of
# being removed; the caller removes TRASH once the measurements are over. On a file system
# that hands out freshly freed inodes only after a scan (ext4 without a journal), this keeps
# the copy from slowing down run after run.
set -euo pipefail

if [[ $# -lt 2 || $# -gt 4 ]]; then
    echo "usage: $0 TEMPLATE WORK [TOUCHED [TRASH]]" >&2
    exit 2
fi
template=$1 work=$2 touched=${3:-} trash=${4:-}

for d in "$template" "$work" ${trash:+"$trash"}; do
    [[ -d $d ]] || { echo "$0: $d is not a directory" >&2; exit 2; }
done

if [[ -n $trash ]]; then
    old=$(mktemp -d "$trash/old.XXXXXX")
    find "$work" -mindepth 1 -maxdepth 1 -exec mv -t "$old" -- {} +
else
    find "$work" -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +
fi

if [[ -z $touched || ${BENCH_COPY:-links} == full ]]; then
    cp -a -- "$template/." "$work/"
    exit 0
fi

cp -al -- "$template/." "$work/"
if [[ -s $touched ]]; then
    work_abs=$(realpath -- "$work")
    touched=$(realpath -- "$touched")
    # --remove-destination drops the hard link in WORK; the template's file is not touched.
    (cd "$template" && xargs -0 -a "$touched" cp -a --parents --remove-destination -t "$work_abs" --)
fi
