#!/usr/bin/env bash
# Cross-compiles cmake/smoke with the MinGW toolchain file against build-windows-deps/prefix
# and runs it under Wine: a check of the toolchain, the deps and Wine before the project.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-windows-smoke

bash "$root/scripts/build-windows-deps.sh"
cmake -S "$root/cmake/smoke" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure
