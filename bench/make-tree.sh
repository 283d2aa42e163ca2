#!/usr/bin/env bash
# Builds one installation tree for the benchmark:
#   make-tree.sh DIR FILES PERCENT
# DIR must not exist yet. FILES (a multiple of 1,000) regular files are laid out 100 to a
# directory under data/tT/mM/lL (ten leaves to a middle directory, ten middles to a top one).
# In every leaf, PERCENT of the 100 files are staged: "_tmp_fNN" beside its target "fNN";
# a staged file holds "new", its target "old", every other file is empty.
# Each middle directory also holds two symbolic links into the next middle directory
# (relative, so that a copy of the tree is self-contained): ln_dir to its leaf l5 and
# ln_file to the file f50 there. The root holds ./client.exe, a copy of /bin/true, and no
# session.dat.
set -euo pipefail

if [[ $# -ne 3 ]]; then
    echo "usage: $0 DIR FILES PERCENT" >&2
    exit 2
fi
dir=$1 files=$2 percent=$3
if (( files <= 0 || files % 1000 != 0 || percent < 0 || percent > 50 )); then
    echo "$0: FILES must be a positive multiple of 1000 and PERCENT between 0 and 50" >&2
    exit 2
fi
if [[ -e $dir ]]; then
    echo "$0: $dir already exists" >&2
    exit 2
fi

leaves=$(( files / 100 ))
middles=$(( (leaves + 9) / 10 ))
staged=$percent # per leaf of 100 files
plain=$(( 100 - staged ))

mkdir -p "$dir/data"
cp /bin/true "$dir/client.exe"
chmod 755 "$dir/client.exe"

for (( i = 0; i < leaves; i++ )); do
    leaf="$dir/data/t$(( i / 100 ))/m$(( i / 10 % 10 ))/l$(( i % 10 ))"
    mkdir -p "$leaf"
    names=()
    for (( j = staged; j < plain; j++ )); do
        printf -v name "%s/f%02d" "$leaf" "$j"
        names+=("$name")
    done
    if (( ${#names[@]} > 0 )); then
        touch "${names[@]}"
    fi
    for (( j = 0; j < staged; j++ )); do
        printf -v name "f%02d" "$j"
        echo old >"$leaf/$name"
        echo new >"$leaf/_tmp_$name"
    done
done

for (( k = 0; k < middles; k++ )); do
    next=$(( (k + 1) % middles ))
    here="$dir/data/t$(( k / 10 ))/m$(( k % 10 ))"
    there="../../t$(( next / 10 ))/m$(( next % 10 ))/l5"
    ln -s "$there" "$here/ln_dir"
    ln -s "$there/f50" "$here/ln_file"
done
