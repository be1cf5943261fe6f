#!/usr/bin/env bash
# Checks the packages that scripts/package.sh made in dist/ against the version of this checkout:
#   contents  the archive holds exactly its four files; the .deb only vostrel-cli's files, under /usr,
#             and declares its libraries' packages
#   imports   both Windows programs import only DLLs that Windows has
#   versions  one version everywhere: file names, the .deb's Version field, the manual page,
#             vostrel-cli --version (the .deb's program natively, the archive's .exe under Wine),
#             both programs' version resources, Vostrel.exe's About box
#   install   the .deb installs with apt-get, its program runs, its manual page is found, and
#             removing it leaves none of its files (needs root; skipped otherwise)
# Prints PASS, FAIL or SKIP per group. Usage: check-packages.sh [DIST_DIR]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd) || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0 failed=0 skipped=0
group_failures=0
problem() { echo "    $*"; group_failures=$((group_failures + 1)); }
end_group() {   # NAME
    if [ "$group_failures" -eq 0 ]; then
        echo "PASS: $1"; passed=$((passed + 1))
    else
        echo "FAIL: $1"; failed=$((failed + 1))
    fi
    group_failures=0
}

# The version from its one place (project() in CMakeLists.txt) and the checkout, as configuring
# derives it.
base=$(sed -nE 's/^project\(Vostrel VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$root/CMakeLists.txt")
version=$base
if command -v git >/dev/null && [ -e "$root/.git" ] && commit=$(git -C "$root" rev-parse --short=7 HEAD 2>/dev/null); then
    [ "$(git -C "$root" describe --tags --exact-match HEAD 2>/dev/null)" = "v$base" ] || version="$base+g$commit"
fi
echo "version: $version"

zip=$dist/Vostrel-$version-win64.zip
deb=$dist/vostrel-cli_${version}_$(dpkg --print-architecture).deb
for f in "$zip" "$deb"; do
    [ -f "$f" ] || { echo "FAIL: no $f (run scripts/package.sh)"; echo "package checks: 0 passed, 1 failed"; exit 1; }
done
mkdir -p "$work/zip" "$work/deb"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/zip"
dpkg-deb -x "$deb" "$work/deb"

# --- contents
others=$(cd "$dist" && ls -d Vostrel-*-win64.zip vostrel-cli_*.deb 2>/dev/null | grep -vxF -e "${zip##*/}" -e "${deb##*/}")
[ -z "$others" ] || problem "dist/ holds other packages too: $others"
listing=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
[ "$listing" = "LICENSE README-Windows.txt Vostrel.exe vostrel-cli.exe" ] ||
    problem "the archive holds: $listing"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/vostrel-cli ./usr/share/doc/vostrel-cli/copyright ./usr/share/man/man1/vostrel-cli.1.gz " ] ||
    problem "the .deb holds the files: $files"
outside=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -vE '^\./(usr/.*)?$')
[ -z "$outside" ] || problem "the .deb installs outside /usr: $outside"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libudev1; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || problem "the .deb does not depend on $lib: $depends"
done
grep -q "MIT License" "$work/zip/LICENSE" || problem "the archive's LICENSE is not the MIT licence"
grep -q "Permission is hereby granted" "$work/deb/usr/share/doc/vostrel-cli/copyright" ||
    problem "the .deb's copyright file lacks the licence"
end_group contents

# --- imports: Windows' own DLLs only (no libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll)
windows_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll msvcrt.dll shell32.dll ole32.dll
 oleaut32.dll comdlg32.dll shlwapi.dll version.dll setupapi.dll cfgmgr32.dll ws2_32.dll winmm.dll imm32.dll
 uxtheme.dll bcrypt.dll "
for exe in Vostrel.exe vostrel-cli.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$work/zip/$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$dlls" ] || problem "$exe: no imports read"
    for dll in $dlls; do
        [[ $windows_dlls == *" $dll "* ]] || problem "$exe imports $dll, which Windows does not have"
    done
done
end_group imports

# --- versions
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || problem "the .deb's Version: $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Package)" = vostrel-cli ] || problem "the .deb's Package: $(dpkg-deb -f "$deb" Package)"
out=$("$work/deb/usr/bin/vostrel-cli" --version 2>&1) || problem "vostrel-cli --version (the .deb's) failed: $out"
[ "$out" = "vostrel-cli $version" ] || problem "vostrel-cli --version (the .deb's) says: $out"
zcat "$work/deb/usr/share/man/man1/vostrel-cli.1.gz" | grep -qF "\"vostrel\\-cli $version\"" ||
    problem "the manual page does not name version $version"
numbers=$(echo "$base" | sed 's/$/.0/')
for exe in Vostrel.exe vostrel-cli.exe; do
    pe=$(python3 "$root/tests/support/pe-version.py" "$work/zip/$exe" 2>&1) || problem "$exe: $pe"
    for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" "FileVersion=$version" "ProductVersion=$version" \
                "OriginalFilename=$exe"; do
        grep -qxF "$line" <<<"$pe" || problem "$exe's version resource lacks \"$line\": $(echo $pe)"
    done
done
texts=$(strings -el "$work/zip/Vostrel.exe")
for line in "About VostrelV$version" "Vostrel Version $version"; do
    grep -qxF "$line" <<<"$texts" || problem "Vostrel.exe's About box lacks \"$line\""
done
# The archive's vostrel-cli.exe under Wine, in the Windows build's prefix (made when missing).
# Wine's services start first with their output going nowhere, so that they hold no pipe of ours.
export WINEPREFIX=${VOSTREL_WINEPREFIX:-$root/build/windows/wineprefix} WINEDEBUG=-all
if ! command -v wine >/dev/null; then
    problem "wine is missing"
else
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    fi
    wineboot >/dev/null 2>&1
    wine "$work/zip/vostrel-cli.exe" --version >"$work/wine.out" 2>"$work/wine.err" </dev/null ||
        problem "vostrel-cli.exe --version failed under Wine: $(cat "$work/wine.err")"
    out=$(tr -d '\r' <"$work/wine.out")
    [ "$out" = "vostrel-cli $version" ] || problem "vostrel-cli.exe --version says: $out"
fi
end_group versions

# --- install and remove
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: install (installing the .deb needs root)"; skipped=$((skipped + 1))
elif dpkg-query -W -f='${Status}' vostrel-cli 2>/dev/null | grep -q "ok installed"; then
    echo "SKIP: install (vostrel-cli is installed on this machine already; left as it is)"; skipped=$((skipped + 1))
else
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -q --no-install-recommends "$deb" >"$work/apt.log" 2>&1; then
        problem "apt-get install failed: $(tail -n 5 "$work/apt.log")"
    else
        dpkg -L vostrel-cli >"$work/owned" 2>&1 || problem "dpkg -L vostrel-cli failed"
        [ "$(command -v vostrel-cli)" = /usr/bin/vostrel-cli ] || problem "vostrel-cli is not /usr/bin/vostrel-cli"
        out=$(vostrel-cli --version 2>&1)
        [ "$out" = "vostrel-cli $version" ] || problem "installed vostrel-cli --version says: $out"
        vostrel-cli list >"$work/list.out" 2>&1 </dev/null
        status=$?
        [ $status -eq 0 ] || [ $status -eq 3 ] ||
            problem "installed vostrel-cli list exited $status (0 or 3 expected): $(cat "$work/list.out")"
        if command -v man >/dev/null; then
            [ "$(man -w vostrel-cli 2>&1)" = /usr/share/man/man1/vostrel-cli.1.gz ] ||
                problem "man -w vostrel-cli: $(man -w vostrel-cli 2>&1)"
        else
            [ -f /usr/share/man/man1/vostrel-cli.1.gz ] || problem "the manual page is not installed"
        fi
        apt-get remove -y -q vostrel-cli >>"$work/apt.log" 2>&1 || problem "apt-get remove failed"
        ! dpkg-query -W -f='${Status}' vostrel-cli 2>/dev/null | grep -q "ok installed" ||
            problem "vostrel-cli is still installed after its removal"
        # Its files must be gone; its directories may stay only when another package has them too.
        while IFS= read -r path; do
            [ "$path" = "/." ] && continue
            if [ -d "$path" ]; then
                dpkg -S "$path" >/dev/null 2>&1 || problem "left behind: $path/"
            elif [ -e "$path" ] || [ -L "$path" ]; then
                problem "left behind: $path"
            fi
        done <"$work/owned"
    fi
    end_group install
fi

echo "package checks: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
