#!/usr/bin/env bash
# Reads the manifest and the version resource back out of a built Windows program:
#   windows_resources.sh EXE VERSION COMPANY
# The manifest must keep the program from ever asking for elevation, name the Windows versions
# it supports and make it long-path aware; the version resource must carry VERSION and COMPANY.
set -euo pipefail
exe=$1 version=$2 company=$3
rc=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
status=0
expect() {
    if ! grep -qF -- "$1" <<<"$rc"; then
        echo "$exe: no $1 in its resources" >&2
        status=1
    fi
}
expect 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""'
expect '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>'
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    expect "supportedOS Id=\"\"{$os}\"\""
done
IFS=. read -r major minor patch <<<"$version"
expect " FILEVERSION $major, $minor, $patch, 0"
expect " PRODUCTVERSION $major, $minor, $patch, 0"
expect "VALUE \"FileVersion\", \"$version\""
expect "VALUE \"ProductVersion\", \"$version\""
expect 'VALUE "ProductName", "handover"'
expect "VALUE \"CompanyName\", \"$company\""
expect "VALUE \"OriginalFilename\", \"$(basename "$exe")\""
if [[ $(grep -c '^1 24 /\* RT_MANIFEST \*/' <<<"$rc") -ne 1 ]]; then
    echo "$exe: not exactly one manifest" >&2
    status=1
fi
[[ $status -eq 0 ]] && echo "$exe: asInvoker, long paths, Windows 7 to 11, version $version"
exit $status
