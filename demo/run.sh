#!/usr/bin/env bash
# Shows handover at work on a copy of demo/sample-install: the sample client 1.0 stages
# version 2.0 and hands over; handover installs it and starts client 2.0. Then one failing run
# and its report, decoded.
#   demo/run.sh BIN_DIR            the Linux build (make demo)
#   demo/run.sh BIN_DIR windows    the Windows build, under Wine (make demo-windows)
set -euo pipefail
bin=$(cd "${1:?usage: demo/run.sh BIN_DIR [windows]}" && pwd)
platform=${2:-linux}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/handover-demo.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT

if [[ $platform == windows ]]; then
    run=("$here/../scripts/wine-run.sh")
    exe=.exe
else
    run=()
    exe=
fi

show_tree() {
    (cd "$1" && find . -mindepth 1 -not -path './updates*' -not -name client-probe.txt | sort | while read -r path; do
        if [[ -d "$path" ]]; then
            printf '  %s/\n' "$path"
        elif [[ "$path" == ./client.exe || "$path" == ./_tmp_client.exe ]]; then
            printf '  %-28s %s\n' "$path" "(program)"
        elif [[ "$path" == *.exe ]]; then
            printf '  %-28s %s\n' "$path" "(handover)"
        else
            printf '  %-28s %s\n' "$path" "$(head -c 40 "$path" | tr '\n' ' ')"
        fi
    done)
}

install="$scratch/install"
cp -R "$here/sample-install" "$install"
cp "$bin/handover$exe" "$install/handover.exe"
cp "$bin/client-probe$exe" "$install/updates/2.0/client.exe"
if [[ $platform == windows ]]; then
    # Client 1.0 as a Windows program, in place of the shell script.
    cp "$bin/sample-client.exe" "$install/client.exe"
fi

echo "== Installation tree before the update ($install)"
show_tree "$install"
echo
echo "== Starting the sample client 1.0"
(cd "$install" && "${run[@]}" ./client.exe --user alice --table 7)
for _ in $(seq 100); do
    [[ -f "$install/client-probe.txt" ]] && break
    sleep 0.1
done
[[ -f "$install/client-probe.txt" ]] || { echo "client 2.0 did not start" >&2; exit 1; }
sleep 0.2
echo "client $(cat "$install/version.txt") recorded its start:" \
    "$(grep '^arg=' "$install/client-probe.txt" | sed 's/^arg=/[/; s/$/]/' | tr '\n' ' ')"
echo
echo "== Installation tree after the update"
show_tree "$install"
[[ -e "$install/poker.jex" ]] && { echo "unexpected failure report" >&2; exit 1; }
echo "   (no poker.jex: the update went through)"

echo
echo "== A failing run: the tree has no client.exe to start"
broken="$scratch/broken"
mkdir -p "$broken"
echo "new" > "$broken/_tmp_settings.ini"
(cd "$broken" && "${run[@]}" "$bin/handover$exe" --user alice; echo "handover exit status: $?")
echo
echo "== Its report, decoded by handover-report$exe"
"${run[@]}" "$bin/handover-report$exe" "$broken/poker.jex"
