#!/usr/bin/env bash
# A release signed with a throw-away certificate: scripts/release.sh signs
# each architecture's brisvel.exe before it goes into the zip and the
# package, and each package too; each verifies; each signed exe keeps its
# resources, and without its signature it is the unsigned release's byte for
# byte. A wrong password stops the release.
#
# usage: signing.sh BRISVEL_EXE OBJDUMP [TREE]   (the tests' own x64 build,
#        an objdump that reads both, and a copy of the tree that release.sh
#        has built already: reproducible.sh's, which spares a second build)
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
tree=${3:-$WORK/signed}
[ $# -ge 3 ] || checkout "$tree"
dist=$tree/dist

# verified FILE: osslsigncode verifies FILE's signature against the
# certificate.
verified() {
    osslsigncode verify -CAfile cert.pem -in "$1" >verify.out 2>&1 ||
        { cat verify.out >&2 && fail "$(basename "$1"): signature not verified"; }
}

# The unsigned release of the same tree first, to compare with.
release "$tree" 0
mv "$dist" unsigned
release "$tree" 0 env BRISVEL_SIGN_PFX="$WORK/signer.pfx" BRISVEL_SIGN_PASSWORD="$password"
#        ARCH  WHERE msiextract PUTS THE PACKAGE'S FILE (it names no 64-bit folder)
for row in "x86 Program Files/Brisvel" "x64 Brisvel"; do
    arch=${row%% *}
    msi=brisvel-$version-$arch.msi
    zip=brisvel-$version-$arch.zip
    verified "$dist/$arch/brisvel.exe"
    verified "$dist/$msi"
    bash "$ROOT/tests/wine/resources.sh" "$dist/$arch/brisvel.exe" "$objdump" "$arch" ||
        fail "the signed $arch exe's resources"
    osslsigncode remove-signature -in "$dist/$arch/brisvel.exe" -out "$arch.exe" >remove.out 2>&1 ||
        { cat remove.out >&2 && fail "remove-signature of the $arch exe failed"; }
    same "the signed $arch exe without its signature" "$arch.exe" "unsigned/$arch/brisvel.exe"
    unzip -q "$dist/$zip" brisvel.exe -d "zip-$arch" &&
        same "the $arch zip's exe" "zip-$arch/brisvel.exe" "$dist/$arch/brisvel.exe"
    msiextract -C "msi-$arch" "$dist/$msi" >/dev/null &&
        same "the $arch package's exe" "msi-$arch/${row#* }/brisvel.exe" "$dist/$arch/brisvel.exe"
done
check "sha256sum -c SHA256SUMS" "$(cd "$dist" && sha256sum -c SHA256SUMS 2>&1 | grep -vc ': OK$')" 0
check "files in SHA256SUMS" "$(wc -l <"$dist/SHA256SUMS")" 6

release "$tree" 1 env BRISVEL_SIGN_PFX="$WORK/signer.pfx" BRISVEL_SIGN_PASSWORD=wrong
finish
