#!/usr/bin/env bash
# Builds an installation tree that holds a given number of staged files, as a client leaves it
# after downloading an update:
#   make-staged-tree.sh DIR STAGED [SIZE]
# DIR must not exist yet. STAGED staged files "_tmp_fNN.dat" lie beside their targets "fNN.dat",
# 20 to a folder under app/dNNN (1,000 staged files: 50 folders), each SIZE bytes (default
# 4096): a staged file's first line is "new", a target's "old", the rest filler. The root holds
# ./client.exe, a copy of /bin/true, the runtime archive rt/lib/rt-0.jar, and no session.dat.
set -euo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
    echo "usage: $0 DIR STAGED [SIZE]" >&2
    exit 2
fi
dir=$1 staged=$2 size=${3:-4096}
if ! [[ $staged =~ ^[0-9]+$ && $size =~ ^[0-9]+$ ]] || (( staged <= 0 || size < 5 )); then
    echo "$0: STAGED must be a positive number and SIZE at least 5 bytes" >&2
    exit 2
fi
if [[ -e $dir ]]; then
    echo "$0: $dir already exists" >&2
    exit 2
fi

per_folder=20
filler=$(head -c $(( size - 5 )) /dev/zero | tr '\0' x)

mkdir -p "$dir/app" "$dir/rt/lib"
cp /bin/true "$dir/client.exe"
chmod 755 "$dir/client.exe"
echo runtime >"$dir/rt/lib/rt-0.jar"

for (( i = 0; i < staged; i++ )); do
    printf -v folder '%s/app/d%03d' "$dir" $(( i / per_folder ))
    if (( i % per_folder == 0 )); then
        mkdir "$folder"
    fi
    printf -v name 'f%02d.dat' $(( i % per_folder ))
    printf 'old\n%s\n' "$filler" >"$folder/$name"
    printf 'new\n%s\n' "$filler" >"$folder/_tmp_$name"
done
