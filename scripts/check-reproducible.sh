#!/usr/bin/env bash
# Builds the release archives twice, from two clones of the current commit in two folders of
# different depth, and fails unless the archives and SHA256SUMS are the same byte for byte.
#   check-reproducible.sh          each clone builds its own Windows Boost and libcrypto too
#   check-reproducible.sh --reuse-deps   both take this checkout's build-windows-deps/ (faster)
# Explain a difference with diffoscope (apt-get install diffoscope) on the two archives.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
reuse=false
[[ ${1:-} == --reuse-deps ]] && reuse=true

scratch=$(mktemp -d "${TMPDIR:-/tmp}/handover-reproducible.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
one=$scratch/one
two=$scratch/second/clone/in/a/deeper/folder
for clone in "$one" "$two"; do
    git clone -q "$root" "$clone"
    if $reuse; then
        cp -a "$root/build-windows-deps" "$clone/"
    fi
    (cd "$clone" && bash scripts/build-windows-deps.sh && bash scripts/dist.sh dist) >"$clone.log" 2>&1 ||
        { cat "$clone.log" >&2; exit 1; }
done
status=0
for file in $(cd "$one/dist" && ls); do
    if cmp -s "$one/dist/$file" "$two/dist/$file"; then
        echo "same: $file ($(wc -c <"$one/dist/$file") bytes)"
    else
        echo "DIFFERENT: $file" >&2
        status=1
    fi
done
if [[ $(cd "$one/dist" && ls) != $(cd "$two/dist" && ls) ]]; then
    echo "the two builds made different files" >&2
    status=1
fi
(cd "$one/dist" && sha256sum -c --quiet SHA256SUMS) || status=1
if [[ $status -eq 0 ]]; then
    echo "byte for byte the same in $one and $two; SHA256SUMS:"
    cat "$one/dist/SHA256SUMS"
fi
exit $status
