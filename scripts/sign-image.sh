#!/usr/bin/env bash
# Signs a Windows image with a code-signing certificate and accepts the result only when the
# signature verifies against that certificate and the image's checksum matches its bytes (the
# loader checks both for a driver). The signed image appears under OUT only then.
#
# usage: sign-image.sh --osslsigncode PROG --pe-check PROG --cert CERT.pem --key KEY.pem
#                      --description TEXT IN OUT

set -u -o pipefail

osslsigncode=osslsigncode
pecheck=pe-check
cert= key= description=
while [[ $# -gt 0 ]]; do
  case "$1" in
    --osslsigncode) osslsigncode=$2; shift 2 ;;
    --pe-check) pecheck=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --description) description=$2; shift 2 ;;
    -*) echo "sign-image: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [[ $# -ne 2 || -z $cert || -z $key ]]; then
  echo "usage: sign-image.sh --osslsigncode PROG --pe-check PROG --cert CERT --key KEY" \
    "--description TEXT IN OUT" >&2
  exit 2
fi
in=$1
out=$2
unchecked=$out.unchecked
rm -f "$out" "$unchecked"

if ! log=$("$osslsigncode" sign -certs "$cert" -key "$key" -n "$description" -h sha256 \
  -in "$in" -out "$unchecked" 2>&1); then
  echo "sign-image: $in: osslsigncode could not sign it:" >&2
  echo "$log" >&2
  rm -f "$unchecked"
  exit 1
fi
failures=0
if ! log=$("$osslsigncode" verify -CAfile "$cert" -in "$unchecked" 2>&1) ||
  ! grep -q '^Signature verification: ok' <<<"$log"; then
  echo "sign-image: $out: the signature does not verify against $cert:" >&2
  echo "$log" | tail -n 5 >&2
  failures=$((failures + 1))
fi
"$pecheck" --signed "$unchecked" >/dev/null || failures=$((failures + 1))
if ((failures > 0)); then
  echo "sign-image: $out: REJECTED" >&2
  rm -f "$unchecked"
  exit 1
fi
mv "$unchecked" "$out"
echo "sign-image: $out: signed (SHA-256) by $(openssl x509 -in "$cert" -noout -subject 2>/dev/null |
  sed 's/^subject=//'), signature and checksum verified"
