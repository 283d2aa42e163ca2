#!/usr/bin/env bash
# A report that handover.exe writes under Wine reads the same with the decoder built for Windows
# as with the one built for Linux, which support staff may use on either:
#   report_both_decoders.sh WINE_RUN HANDOVER_EXE HANDOVER_REPORT_EXE LINUX_HANDOVER_REPORT
set -euo pipefail
wine_run=$1 handover=$2 windows_report=$3 linux_report=$4
if [[ ! -x $linux_report ]]; then
    echo "no Linux decoder at $linux_report: build it first (make build)" >&2
    exit 1
fi
tree=$(mktemp -d "${TMPDIR:-/tmp}/handover-report-both.XXXXXX")
trap 'rm -rf -- "$tree"' EXIT
echo new >"$tree/_tmp_a"
# No client.exe: each run fails at its very end and appends one record.
(cd "$tree" && "$wine_run" "$handover" first && "$wine_run" "$handover" second)
windows=$(cd "$tree" && "$wine_run" "$windows_report")
linux=$(cd "$tree" && "$linux_report")
if [[ "$windows" != "$linux" ]]; then
    echo "the decoders disagree" >&2
    diff <(echo "$linux") <(echo "$windows") >&2 || true
    exit 1
fi
for line in '--- record 2 of 2: ' 'About to launch client exe with command: ./client.exe second' \
    'ERROR: unable to launch client exe' 'EXIT: handover'; do
    if ! grep -qF -- "$line" <<<"$linux"; then
        echo "missing from the decoded report: $line" >&2
        echo "$linux" >&2
        exit 1
    fi
done
echo "both decoders read: $(grep -c '^--- record' <<<"$linux") records, $(wc -c <"$tree/poker.jex") bytes"
