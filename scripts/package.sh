#!/usr/bin/env bash
# Builds the packages into dist/ and lists them with their SHA-256 sums in dist/SHA256SUMS:
#   Vostrel-<version>-win64.zip      the Windows programs and texts in one folder, Vostrel-<version>/
#   Vostrel-<version>-win64.msi      the same as a per-machine Windows installer
#   vostrel-cli_<version>-1_<arch>.deb   the command line for Debian and Ubuntu
# Configures both builds, builds only the programs that go into the packages, then packs them.
# Installs what it needs first. Packing the same programs again gives the same bytes: every time
# in the packages is SOURCE_DATE_EPOCH, the commit's time unless it is set.
#
# Signing (Authenticode: Vostrel.exe and vostrel-cli.exe before they are packed, then the .msi)
# happens when a certificate is given, by option or environment:
#   --cert FILE    (VOSTREL_SIGN_CERT)       the certificate (and its chain), PEM or DER
#   --key FILE     (VOSTREL_SIGN_KEY)        its private key
#   --pkcs12 FILE  (VOSTREL_SIGN_PKCS12)     or both in one .pfx/.p12 file instead
#   --pass-file F  (VOSTREL_SIGN_PASS_FILE)  the key's password, read from a file (never an argument)
#   --timestamp URL (VOSTREL_TIMESTAMP_URL)  an RFC 3161 timestamp server, so that the signatures
#                                            stay valid after the certificate expires
# Without a certificate the packages are unsigned, and the script says so.
#
# Usage: scripts/package.sh [--pack-only] [--out DIR] [signing options]
#   --pack-only  pack the programs as they are built now, building nothing (the package checks
#                use it to pack again and compare)
#   --out DIR    write the packages there instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=$root/dist
pack_only=0
cert=${VOSTREL_SIGN_CERT:-} key=${VOSTREL_SIGN_KEY:-} pkcs12=${VOSTREL_SIGN_PKCS12:-}
pass_file=${VOSTREL_SIGN_PASS_FILE:-} timestamp=${VOSTREL_TIMESTAMP_URL:-}
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
    case $1 in
        --pack-only) pack_only=1 ;;
        --out) out=${2:?--out needs a folder}; shift ;;
        --cert) cert=${2:?--cert needs a file}; shift ;;
        --key) key=${2:?--key needs a file}; shift ;;
        --pkcs12) pkcs12=${2:?--pkcs12 needs a file}; shift ;;
        --pass-file) pass_file=${2:?--pass-file needs a file}; shift ;;
        --timestamp) timestamp=${2:?--timestamp needs a URL}; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "package.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
sign=()
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || { echo "package.sh: give --pkcs12, or --cert with --key, not both" >&2; exit 2; }
    sign=(-pkcs12 "$pkcs12")
elif [ -n "$cert$key" ]; then
    [ -n "$cert" ] && [ -n "$key" ] || { echo "package.sh: --cert and --key go together" >&2; exit 2; }
    sign=(-certs "$cert" -key "$key")
fi
for f in "$cert" "$key" "$pkcs12" "$pass_file"; do
    [ -z "$f" ] || [ -r "$f" ] || { echo "package.sh: cannot read $f" >&2; exit 2; }
done
if [ ${#sign[@]} -gt 0 ]; then
    [ -n "$pass_file" ] && sign+=(-readpass "$pass_file")
    [ -n "$timestamp" ] && sign+=(-ts "$timestamp")
    sign+=(-h sha256 -n Vostrel)
fi

scripts/install-deps.sh || { echo "could not install the build dependencies" >&2; exit 1; }

step() { echo "=== package: $*"; }

# Every time in the packages: the commit's (the last file change's without git).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt)
fi
export SOURCE_DATE_EPOCH

if [ "$pack_only" -eq 0 ]; then
    # Configuring brings the version (the commit) up to date. (Configuring the windows preset also
    # builds the native simulated card when it is missing: that build's tests need it.)
    step "native build"
    cmake --preset native >/dev/null
    cmake --build build/native --target vostrel-cli vostrel-cli-manpage
    step "windows build"
    cmake --preset windows >/dev/null
    cmake --build build/windows --target Vostrel vostrel-cli
fi

version_of() { sed -n 's/^#define VOSTREL_VERSION "\(.*\)"$/\1/p' "build/$1/generated/Version.h"; }
version=$(version_of windows)
[ -n "$version" ] && [ "$version" = "$(version_of native)" ] ||
    { echo "package.sh: the two builds have different versions (build both, or run without --pack-only)" >&2; exit 1; }
contact=$(cat build/windows/packaging/contact.txt)

# The folder holds the packages of one version: those of earlier builds go.
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/Vostrel-*-win64.zip "$out"/Vostrel-*-win64.msi "$out"/vostrel-cli_*.deb "$out/SHA256SUMS"
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

sign_file() {   # FILE
    osslsigncode sign "${sign[@]}" -in "$1" -out "$1.signed" >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; echo "package.sh: signing $1 failed" >&2; exit 1; }
    mv "$1.signed" "$1"
}

step "windows packages"
stage=$work/windows
cmake --install build/windows --component windows --prefix "$stage" --strip >/dev/null
if [ ${#sign[@]} -gt 0 ]; then
    for exe in Vostrel.exe vostrel-cli.exe; do sign_file "$stage/$exe"; done
fi
python3 packaging/make-zip.py "$stage" "Vostrel-$version" "$out/Vostrel-$version-win64.zip"
python3 packaging/make-msi.py --source "$stage" --icon res/Vostrel.ico --version "$version" \
    --manufacturer "$contact" --out "$out/Vostrel-$version-win64.msi"
[ ${#sign[@]} -gt 0 ] && sign_file "$out/Vostrel-$version-win64.msi"

step "debian package"
(cd build/native && cpack -D CPACK_OUTPUT_FILE_PREFIX="$out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }

(cd "$out" && sha256sum "Vostrel-$version-win64.zip" "Vostrel-$version-win64.msi" vostrel-cli_"$version"-*.deb >SHA256SUMS)
step "done"
ls -l "$out"
if [ ${#sign[@]} -gt 0 ]; then
    echo "signed: Vostrel.exe, vostrel-cli.exe and the .msi${timestamp:+, timestamped by $timestamp}"
else
    echo "UNSIGNED: Vostrel.exe, vostrel-cli.exe and the .msi carry no signature (no certificate given; see README.md, Packages)"
fi
