#!/usr/bin/env bash
# Checks that the Wine wrapper hands back what the program did: its exit status, and its
# stdout and stderr apart.   wine-check.sh WRAPPER SMOKE_EXE
set -uo pipefail
wrapper=$1 exe=$2
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
fail=0
for code in 0 1 42 255; do
    "$wrapper" "$exe" --exit "$code" >"$out" 2>"$err"
    got=$?
    [[ $got -eq $code ]] || { echo "exit status $got, wanted $code"; fail=1; }
done
# The Windows C runtime ends text-mode lines with CRLF.
[[ $(<"$out") == $'to stdout\r' ]] || { echo "stdout was: $(od -c "$out")"; fail=1; }
[[ $(<"$err") == $'to stderr\r' ]] || { echo "stderr was: $(od -c "$err")"; fail=1; }
exit $fail
