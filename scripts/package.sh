#!/usr/bin/env bash
# Builds the packages into dist/: the Windows archive Vostrel-<version>-win64.zip (Vostrel.exe,
# vostrel-cli.exe, README-Windows.txt, LICENSE) from the windows preset, and the Debian package
# vostrel-cli_<version>_<arch>.deb from the native preset. Configures both builds, builds only the
# targets that go into the packages, then runs CPack for each. Installs what it needs first.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh || { echo "could not install the build dependencies" >&2; exit 1; }

step() { echo "=== package: $*"; }

# Configuring brings the version (the commit) up to date. (Configuring the windows preset also
# builds the native simulated card when it is missing: that build's tests need it.)
step "native build"
cmake --preset native >/dev/null
cmake --build build/native --target vostrel-cli vostrel-cli-manpage
step "windows build"
cmake --preset windows >/dev/null
cmake --build build/windows --target Vostrel vostrel-cli

# dist/ holds the packages of one version: those of earlier builds go.
mkdir -p dist
rm -f dist/Vostrel-*-win64.zip dist/vostrel-cli_*.deb
for build in native windows; do
    step "cpack ($build)"
    version=$(sed -n 's/^#define VOSTREL_VERSION "\(.*\)"$/\1/p' "build/$build/generated/Version.h")
    (cd "build/$build" && cpack >cpack.log 2>&1) || { cat "build/$build/cpack.log" >&2; exit 1; }
    grep -E '^CPack: - package: .* generated\.$' "build/$build/cpack.log" | sed 's/^CPack: - package: /    /'
done

step "done"
ls -l dist/*"$version"*
