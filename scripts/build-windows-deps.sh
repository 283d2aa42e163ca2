#!/usr/bin/env bash
# Builds static Boost and libcrypto for x86_64-w64-mingw32 from the Debian source packages
# pinned in windows-deps.versions, into build-windows-deps/prefix, where
# cmake/mingw-w64-x86_64.cmake looks for them. Run again, it does nothing until the pinned
# versions, this script or the cross toolchain change.
#   build-windows-deps.sh          fetch the sources if they are missing, then build
#   build-windows-deps.sh fetch    only fetch them (what install-deps.sh windows calls)
# The same sources give the same bytes in any checkout folder at any time: nothing in the
# output depends on the folder, the clock or the user.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-deps.versions"
out=$root/build-windows-deps
sources=$out/sources
work=$out/work
prefix=$out/prefix
stage=$out/prefix.new
host=x86_64-w64-mingw32
jobs=$(nproc)

export LC_ALL=C TZ=UTC
umask 022

boost_dsc=$sources/boost1.74_$BOOST_VERSION.dsc
openssl_dsc=$sources/openssl_$OPENSSL_VERSION.dsc

# apt checks what it downloads against Debian's signed indexes; the pinned hash then holds
# the cache to those exact bytes. (dpkg-source also warns that it cannot check the uploader's
# signature without the debian-keyring package: the hash makes that check redundant.)
have_sources() {
    [[ -f $boost_dsc && -f $openssl_dsc ]] &&
        printf '%s  %s\n%s  %s\n' "$BOOST_DSC_SHA256" "$boost_dsc" \
            "$OPENSSL_DSC_SHA256" "$openssl_dsc" | sha256sum --check --quiet --strict >/dev/null 2>&1
}

fetch() {
    have_sources && return 0
    mkdir -p "$sources"
    local dl
    dl=$(mktemp -d "$sources/.download.XXXXXX")
    # As root, apt downloads as _apt, which must be able to write the folder.
    if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then
        chown _apt "$dl"
    fi
    if ! (cd "$dl" && apt-get source --download-only -q \
        "boost1.74=$BOOST_VERSION" "openssl=$OPENSSL_VERSION") >"$dl.log" 2>&1; then
        cat "$dl.log" >&2
        rm -rf "$dl" "$dl.log"
        echo "Cannot fetch the pinned source packages. As root run: bash scripts/install-deps.sh windows" >&2
        exit 1
    fi
    [[ $(id -u) -ne 0 ]] || chown -R 0:0 "$dl"
    mv -f "$dl"/* "$sources"/
    rm -rf "$dl" "$dl.log"
    if ! have_sources; then
        echo "The fetched .dsc files do not match the hashes in scripts/windows-deps.versions" >&2
        exit 1
    fi
}

# Everything the output depends on besides the sources themselves.
stamp_key() {
    {
        cat "$root/scripts/windows-deps.versions" "${BASH_SOURCE[0]}"
        dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-x86-64-posix \
            gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    } | sha256sum | cut -d' ' -f1
}

# Runs a build step with its output in a log, which is shown only if the step fails.
logged() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 || { tail -n 60 "$log" >&2; echo "failed: $*" >&2; return 1; }
}

# A small job pool: the compiles of Boost are independent of each other.
running=0
spawn() {
    "$@" &
    running=$((running + 1))
    if ((running >= jobs)); then
        wait -n
        running=$((running - 1))
    fi
}
drain() {
    while ((running > 0)); do
        wait -n
        running=$((running - 1))
    done
}

# Compiles the sources of one library from inside the Boost tree, with relative paths only, so
# that __FILE__ (Boost's exceptions record it) and the object files name no checkout folder.
boost_lib() {
    local name=$1 srcdir=$2
    shift 2
    local defines=() files=()
    while [[ $1 != -- ]]; do defines+=("$1"); shift; done
    shift
    files=("$@")
    mkdir -p "obj/$name"
    local f
    for f in "${files[@]}"; do
        spawn logged "$work/boost-build.log" "$host-g++-posix" -std=c++17 -O2 -DNDEBUG -DBOOST_ALL_NO_LIB=1 "${defines[@]}" \
            -Iinclude -ffile-prefix-map="$PWD"=. -frandom-seed="$srcdir/$f" \
            -c "$srcdir/$f" -o "obj/$name/$(basename "${f%.cpp}").o"
    done
    drain
    "$host-ar" rcsD "$stage/lib/libboost_$name.a" "obj/$name"/*.o
}

build_boost() {
    local src=$work/boost
    logged "$work/boost-unpack.log" dpkg-source --no-copy -x "$boost_dsc" "$src"
    export SOURCE_DATE_EPOCH
    SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp)
    cd "$src"
    # The tarball keeps each library's headers under libs/; put them together as b2 would.
    mkdir -p include/boost
    local d
    for d in libs/*/include/boost libs/*/*/include/boost; do
        cp -R "$d"/. include/boost/
    done

    boost_lib system libs/system/src -DBOOST_SYSTEM_STATIC_LINK=1 -- error_code.cpp
    # WinCrypt rather than BCrypt for unique_path: the Boost::filesystem target that FindBoost
    # makes carries no Windows libraries, and advapi32 is in every MinGW link already.
    boost_lib filesystem libs/filesystem/src -DBOOST_FILESYSTEM_SOURCE \
        -DBOOST_FILESYSTEM_STATIC_LINK=1 -DBOOST_FILESYSTEM_HAS_WINCRYPT -Ilibs/filesystem/src -- \
        codecvt_error_category.cpp exception.cpp directory.cpp operations.cpp path.cpp \
        path_traits.cpp portability.cpp unique_path.cpp utf8_codecvt_facet.cpp \
        windows_file_codecvt.cpp
    # Boost.Thread's own Win32 implementation, not the pthread one over winpthreads: it is
    # what headers select by default on Windows, so the library and its users agree.
    boost_lib thread libs/thread/src -DBOOST_THREAD_BUILD_LIB=1 -DBOOST_THREAD_WIN32 \
        -DBOOST_THREAD_USES_CHRONO -DWIN32_LEAN_AND_MEAN -DBOOST_USE_WINDOWS_H -- \
        win32/thread.cpp win32/tss_dll.cpp win32/tss_pe.cpp win32/thread_primitives.cpp future.cpp
    # FindBoost makes thread depend on chrono and atomic and fails without them.
    boost_lib chrono libs/chrono/src -- chrono.cpp thread_clock.cpp process_cpu_clocks.cpp
    boost_lib atomic libs/atomic/src -DBOOST_ATOMIC_SOURCE -DBOOST_ATOMIC_STATIC_LINK=1 \
        -DBOOST_USE_WINDOWS_H -Ilibs/atomic/src -- lock_pool.cpp wait_ops_windows.cpp
    boost_lib date_time libs/date_time/src -DDATE_TIME_INLINE -- gregorian/greg_month.cpp

    cp -R include/boost "$stage/include/"
    cp LICENSE_1_0.txt "$stage/share/licenses/boost/"
    cd "$root"
}

build_openssl() {
    local src=$work/openssl
    logged "$work/openssl-unpack.log" dpkg-source --no-copy -x "$openssl_dsc" "$src"
    export SOURCE_DATE_EPOCH
    SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp)
    cd "$src"
    # libcrypto records its compiler command line and the --prefix/--openssldir paths, so the
    # build runs in the source tree (relative paths) and the paths are fixed ones that are
    # never installed to. no-dso: libcrypto can load no DLL at all, so nothing is ever loaded
    # from those paths on Windows (where \usr\local\... is a folder any user may create);
    # no-autoload-config: for the same reason it reads no openssl.cnf unless asked to.
    # The deprecated low-level DES functions stay: the default API level keeps them.
    logged "$work/openssl-build.log" ./Configure mingw64 --cross-compile-prefix=$host- \
        CC=gcc-posix ARFLAGS=rD \
        --prefix=/usr/local/handover-windows --openssldir=/usr/local/handover-windows/ssl \
        --libdir=lib no-shared no-asm no-dso no-module no-engine no-tests no-autoload-config
    # Only libcrypto: not libssl, the apps or the manuals.
    logged "$work/openssl-build.log" make -j"$jobs" build_generated
    logged "$work/openssl-build.log" make -j"$jobs" libcrypto.a
    mkdir -p "$stage/include/openssl"
    cp include/openssl/*.h "$stage/include/openssl/"
    cp libcrypto.a "$stage/lib/"
    cp LICENSE.txt "$stage/share/licenses/openssl/"
    cd "$root"
}

[[ ${1:-build} == fetch ]] && { fetch; exit 0; }
[[ ${1:-build} == build ]] || { echo "usage: $0 [fetch]" >&2; exit 2; }

for tool in "$host-g++-posix" "$host-gcc-posix" "$host-ar" dpkg-source perl make; do
    command -v "$tool" >/dev/null ||
        { echo "$tool is missing. As root run: bash scripts/install-deps.sh windows" >&2; exit 1; }
done

key=$(stamp_key)
if [[ -f $prefix/.stamp && $(<"$prefix/.stamp") == "$key" ]]; then
    exit 0
fi
fetch

rm -rf "$work" "$stage"
mkdir -p "$work" "$stage/lib" "$stage/include" "$stage/share/licenses/boost" "$stage/share/licenses/openssl"
t0=$SECONDS
build_boost
t1=$SECONDS
build_openssl
t2=$SECONDS
echo "Windows deps built: Boost $((t1 - t0)) s, libcrypto $((t2 - t1)) s"

# The prefix is replaced whole and stamped last, so an interrupted build is never taken for
# a finished one.
rm -rf "$prefix"
mv "$stage" "$prefix"
echo "$key" >"$prefix/.stamp"
rm -rf "$work"
