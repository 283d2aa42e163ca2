#!/usr/bin/env bash
# Lays a fresh copy of TEMPLATE in WORK as a client leaves its tree after downloading an
# update: everything on the disk but the staged files, which are written anew last.
#   fresh-staged.sh TEMPLATE WORK TOUCHED STAGED TRASH
# TOUCHED and TRASH are as for fresh-copy.sh; STAGED lists the staged files (NUL-terminated,
# relative to TEMPLATE). Between the copy and the staged files, the file system of WORK is
# flushed, so that what a measured run flushes is the staged files and its own renames, not
# the copy's new directories and links, nor another program's writes left waiting.
set -euo pipefail

if [[ $# -ne 5 ]]; then
    echo "usage: $0 TEMPLATE WORK TOUCHED STAGED TRASH" >&2
    exit 2
fi
template=$1 work=$2 touched=$3 staged=$4 trash=$5
# The bench may run this with its flush model preloaded; the copy's own flush is not measured.
unset LD_PRELOAD FLUSH_MODEL_SKIP FLUSH_MODEL_MS

bash "$(dirname "${BASH_SOURCE[0]}")/fresh-copy.sh" "$template" "$work" "$touched" "$trash"
sync -f "$work"
if [[ -s $staged ]]; then
    work_abs=$(realpath -- "$work")
    staged=$(realpath -- "$staged")
    (cd "$template" && xargs -0 -a "$staged" cp -a --parents --remove-destination -t "$work_abs" --)
fi
