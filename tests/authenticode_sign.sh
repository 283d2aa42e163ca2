#!/usr/bin/env bash
# A vendor signs handover.exe with Authenticode before shipping it. This signs a copy with a
# throw-away certificate, verifies the signature, and runs the signed program under Wine, so
# that the exe is known to take a signature and still work:
#   authenticode_sign.sh WINE_RUN EXE
set -euo pipefail
wine_run=$1 exe=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/handover-sign.XXXXXX")
trap 'rm -rf -- "$dir"' EXIT
openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 2 -subj "/CN=handover test signer" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>"$dir/openssl.log" ||
    { cat "$dir/openssl.log" >&2; exit 1; }
osslsigncode sign -certs "$dir/cert.pem" -key "$dir/key.pem" -h sha256 \
    -n "handover" -in "$exe" -out "$dir/signed.exe" >"$dir/sign.log" 2>&1 ||
    { cat "$dir/sign.log" >&2; exit 1; }
osslsigncode verify -CAfile "$dir/cert.pem" -in "$dir/signed.exe" >"$dir/verify.log" 2>&1 ||
    { cat "$dir/verify.log" >&2; exit 1; }
grep -q "Signature verification: ok" "$dir/verify.log" ||
    { cat "$dir/verify.log" >&2; exit 1; }
# Signed, it still runs: in an empty tree with no client it fails at the launch and reports it.
mkdir "$dir/tree"
(cd "$dir/tree" && "$wine_run" "$dir/signed.exe")
[[ -s $dir/tree/poker.jex ]] || { echo "the signed program wrote no report" >&2; exit 1; }
echo "signed and verified: $(grep -m1 'Subject:' "$dir/verify.log" | sed 's/^[[:space:]]*//')"
