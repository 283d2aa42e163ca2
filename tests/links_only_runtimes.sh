#!/usr/bin/env bash
# handover must load nothing but the C and C++ runtimes: Boost and libcrypto are linked in, so an
# update of the tree it runs in cannot swap a library under it.
set -euo pipefail
binary=${1:?usage: links_only_runtimes.sh BINARY}
unexpected=$(ldd "$binary" | awk '{print $1}' |
    grep -v -E '^(linux-vdso\.so\.1|/lib64/ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1)$' || true)
if [[ -n "$unexpected" ]]; then
    echo "handover loads more than the runtimes:" >&2
    echo "$unexpected" >&2
    exit 1
fi
echo "only the C and C++ runtimes: $(ldd "$binary" | awk '{print $1}' | tr '\n' ' ')"
