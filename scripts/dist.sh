#!/usr/bin/env bash
# Builds the release archives into OUT (make dist: dist/), the same bytes from the same commit
# in any folder, at any time, on any machine of the same Debian release:
#   handover-VERSION-linux-x86_64.tar.gz         bin/handover, bin/handover-report, README.md,
#                                                LICENSE and licenses/ of what is linked in
#   handover-VERSION-linux-x86_64-debug.tar.gz   bin/*.debug, the separated debug information
#   handover-VERSION-windows-x86_64.zip          handover.exe, handover-report.exe, the same texts
#   handover-VERSION-windows-x86_64-debug.zip    *.exe.debug
#   SHA256SUMS                                   over the archives, as sha256sum -c reads it
# The shipped programs are stripped and name their debug file (.gnu_debuglink); unpacked over
# the release folder, a debug archive puts each file beside its program, where gdb looks.
#   dist.sh OUT        (after install-deps.sh windows and build-windows-deps.sh)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(mkdir -p "${1:?usage: dist.sh OUT}" && cd "$1" && pwd)
cd "$root"

# Every time stamp is the commit's: of the files in the archives, and of the archives' entries.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
umask 022

build=$root/build-dist
rm -rf "$build"
jobs=$(nproc)
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHANDOVER_REPRODUCIBLE=ON)
cmake -S "$root" -B "$build/linux" "${flags[@]}" >/dev/null
cmake --build "$build/linux" -j"$jobs" --target handover handover-report >/dev/null
cmake -S "$root" -B "$build/windows" "${flags[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DHANDOVER_COMPANY_NAME="${HANDOVER_COMPANY_NAME:-}" >/dev/null
cmake --build "$build/windows" -j"$jobs" --target handover handover-report >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/linux/CMakeCache.txt")

# split OBJCOPY PROGRAM SHIPPED DEBUG: the stripped program, and its debug information apart.
split() {
    local objcopy=$1 program=$2 shipped=$3 debug=$4
    mkdir -p "$(dirname "$shipped")" "$(dirname "$debug")"
    "$objcopy" --only-keep-debug "$program" "$debug"
    # The link names the debug file without its folder, as gdb looks for it beside the program.
    (cd "$(dirname "$debug")" &&
        "$objcopy" --strip-debug --strip-unneeded --add-gnu-debuglink="$(basename "$debug")" \
            "$program" "$shipped")
}

# Licence texts of what the programs carry: Boost and libcrypto from the pinned sources, the
# compiler's runtime (and, for Windows, MinGW-w64's C runtime and winpthreads) as Debian states
# them for the packages they come from.
licences() {
    local dir=$1 platform=$2
    mkdir -p "$dir/licenses"
    cp "$root/LICENSE" "$root/README.md" "$dir/"
    cp "$root/build-windows-deps/prefix/share/licenses/boost/LICENSE_1_0.txt" "$dir/licenses/boost.txt"
    cp "$root/build-windows-deps/prefix/share/licenses/openssl/LICENSE.txt" "$dir/licenses/openssl.txt"
    if [[ $platform == linux ]]; then
        cp /usr/share/doc/gcc-12-base/copyright "$dir/licenses/gcc-runtime.txt"
    else
        cp /usr/share/doc/gcc-mingw-w64-base/copyright "$dir/licenses/gcc-runtime.txt"
        cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$dir/licenses/mingw-w64-runtime.txt"
    fi
}

stage=$build/stage
linux=handover-$version-linux-x86_64
windows=handover-$version-windows-x86_64
for program in handover handover-report; do
    split objcopy "$build/linux/bin/$program" "$stage/release-linux/$linux/bin/$program" \
        "$stage/debug-linux/$linux/bin/$program.debug"
    split x86_64-w64-mingw32-objcopy "$build/windows/bin/$program.exe" \
        "$stage/release-windows/$windows/$program.exe" \
        "$stage/debug-windows/$windows/$program.exe.debug"
done
licences "$stage/release-linux/$linux" linux
licences "$stage/release-windows/$windows" windows

# Owner, modes and times are fixed; names go in sorted.
find "$stage" -type d -exec chmod 0755 {} +
find "$stage" -type f -exec chmod 0644 {} +
find "$stage" -type f \( -name handover -o -name handover-report -o -name '*.exe' \) -exec chmod 0755 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

tarball() {
    local from=$1 name=$2
    tar -C "$from" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" -cf - "$name" | gzip -n -9 >"$out/$3"
}
zipfile() {
    local from=$1 name=$2
    rm -f "$out/$3"
    # -X: no owner ids or extra time stamps; DOS times are local, hence TZ=UTC above.
    (cd "$from" && find "$name" | sort | zip -q -X -9 -@ "$out/$3")
}
tarball "$stage/release-linux" "$linux" "$linux.tar.gz"
tarball "$stage/debug-linux" "$linux" "$linux-debug.tar.gz"
zipfile "$stage/release-windows" "$windows" "$windows.zip"
zipfile "$stage/debug-windows" "$windows" "$windows-debug.zip"
(cd "$out" && sha256sum "$linux.tar.gz" "$linux-debug.tar.gz" "$windows.zip" "$windows-debug.zip" >SHA256SUMS)
(cd "$out" && ls -l "$linux.tar.gz" "$linux-debug.tar.gz" "$windows.zip" "$windows-debug.zip" SHA256SUMS)
