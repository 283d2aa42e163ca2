#!/usr/bin/env bash
# Fails unless each Windows executable given imports only DLLs that every Windows has:
#   check-windows-imports.sh EXE...
# A MinGW runtime DLL (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) or a Boost or libcrypto
# DLL in the list means the static link fell back to a shared library that no user has.
set -euo pipefail

system='^(kernel32|ntdll|msvcrt|ucrtbase|advapi32|user32|gdi32|shell32|ole32|oleaut32|ws2_32|crypt32|bcrypt|secur32|rpcrt4|shlwapi|version|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for exe in "$@"; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if [[ -z $dlls ]]; then
        echo "$exe: no imports found; not a Windows executable?" >&2
        status=1
        continue
    fi
    echo "$exe imports:" $dlls
    while read -r dll; do
        if ! grep -qiE "$system" <<<"$dll"; then
            echo "$exe: imports $dll, which Windows does not ship" >&2
            status=1
        fi
    done <<<"$dlls"
done
exit $status
