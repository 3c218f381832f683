#!/usr/bin/env bash
# A release signed with a throw-away certificate: scripts/release.sh signs
# brisvel.exe before it goes into the zip and the package, and the package
# too; each verifies; the signed exe keeps its resources, and without its
# signature it is the unsigned build byte for byte. A wrong password stops
# the release.
#
# usage: signing.sh BRISVEL_EXE OBJDUMP
set -uo pipefail
exe=$(realpath "$1")
objdump=$2
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

# The certificate: self-signed, for code signing; a password with a space
# and a quote.
password="throw away's"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/CN=Brisvel test signer" -addext extendedKeyUsage=codeSigning >openssl.out 2>&1 &&
    openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout "pass:$password" \
        >>openssl.out 2>&1 || { cat openssl.out >&2 && echo "ABORT: no certificate" >&2 && exit 2; }

version=$(package_version "$(dirname "$exe")") || exit 2
msi=brisvel-$version.msi
zip=brisvel-$version-win32.zip
tree=$WORK/signed
checkout "$tree"
dist=$tree/dist

# verified FILE: osslsigncode verifies FILE's signature against the
# certificate.
verified() {
    osslsigncode verify -CAfile cert.pem -in "$1" >verify.out 2>&1 ||
        { cat verify.out >&2 && fail "$(basename "$1"): signature not verified"; }
}

release "$tree" 0 env BRISVEL_SIGN_PFX="$WORK/signer.pfx" BRISVEL_SIGN_PASSWORD="$password"
verified "$dist/brisvel.exe"
verified "$dist/$msi"
bash "$ROOT/tests/wine/resources.sh" "$dist/brisvel.exe" "$objdump" || fail "the signed exe's resources"
osslsigncode remove-signature -in "$dist/brisvel.exe" -out unsigned.exe >remove.out 2>&1 ||
    { cat remove.out >&2 && fail "remove-signature failed"; }
same "the signed exe without its signature" unsigned.exe "$exe"
unzip -q "$dist/$zip" brisvel.exe -d zip && same "the zip's exe" zip/brisvel.exe "$dist/brisvel.exe"
msiextract -C msi "$dist/$msi" >/dev/null && same "the package's exe" \
    "msi/Program Files/Brisvel/brisvel.exe" "$dist/brisvel.exe"
check "sha256sum -c SHA256SUMS" "$(cd "$dist" && sha256sum -c SHA256SUMS 2>&1 | paste -sd ' ')" \
    "brisvel.exe: OK $msi: OK $zip: OK"

release "$tree" 1 env BRISVEL_SIGN_PFX="$WORK/signer.pfx" BRISVEL_SIGN_PASSWORD=wrong
finish
