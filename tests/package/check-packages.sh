#!/usr/bin/env bash
# Checks the packages that scripts/package.sh made in dist/ against the version of this checkout:
#   contents      the archive holds one folder, Vostrel-<version>/, with its four files; the .msi
#                 the same programs; the .deb only vostrel-cli's files, under /usr, and declares
#                 its libraries' packages
#   imports       both Windows programs import only DLLs that Windows has
#   versions      one version everywhere: file names, the .deb's Version field and changelog, the
#                 manual page, the .msi's product, vostrel-cli --version (the .deb's natively, the
#                 archive's under Wine), both programs' version resources, Vostrel.exe's About box
#   lintian       lintian finds no error or warning in the .deb
#   checksums     dist/SHA256SUMS lists exactly the three packages, with their sums
#   reproducible  packing the same programs again gives the same bytes
#   signing       with a throwaway self-signed certificate both programs (in the archive and the
#                 .msi) and the .msi carry signatures that osslsigncode verifies
#   msi           under Wine, in a new prefix: installs; the programs run from the install folder,
#                 the window through its shortcut, keeping Vostrel.cfg there; both shortcuts and the
#                 Programs and Features entry are there; a newer version replaces it, an older one
#                 is refused; uninstalling leaves no file, shortcut or registry entry of ours
#   install       the .deb installs with apt-get, its program runs, its manual page is found, and
#                 removing it leaves none of its files (needs root; skipped otherwise)
# Prints PASS, FAIL or SKIP per group, with its time. Usage: check-packages.sh [DIST_DIR]
# KEEP_WORK=1 keeps the work folder (msiexec's logs, the Wine prefix) for a look after a failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd) || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-packages.XXXXXX")
xvfb_pid=
cleanup() {
    # The prefix's processes (the window started through its shortcut) and the display go first.
    [ -f "$work/prefix/system.reg" ] && WINEPREFIX=$work/prefix wineserver -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

msi_property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }   # FILE.msi NAME

passed=0 failed=0 skipped=0
group_failures=0
problem() { echo "    $*"; group_failures=$((group_failures + 1)); }
group_start=$SECONDS
end_group() {   # NAME
    if [ "$group_failures" -eq 0 ]; then
        echo "PASS: $1 ($((SECONDS - group_start)) s)"; passed=$((passed + 1))
    else
        echo "FAIL: $1 ($((SECONDS - group_start)) s)"; failed=$((failed + 1))
    fi
    group_failures=0
    group_start=$SECONDS
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
msi=$dist/Vostrel-$version-win64.msi
deb=$dist/vostrel-cli_${version}-1_$(dpkg --print-architecture).deb
for f in "$zip" "$msi" "$deb"; do
    [ -f "$f" ] || { echo "FAIL: no $f (run scripts/package.sh)"; echo "package checks: 0 passed, 1 failed"; exit 1; }
done
mkdir -p "$work/zip" "$work/deb" "$work/msi"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/zip"
programs=$work/zip/Vostrel-$version
dpkg-deb -x "$deb" "$work/deb"
msiextract -C "$work/msi" "$msi" >/dev/null

# --- contents
others=$(cd "$dist" && ls -d Vostrel-*-win64.zip Vostrel-*-win64.msi vostrel-cli_*.deb 2>/dev/null |
    grep -vxF -e "${zip##*/}" -e "${msi##*/}" -e "${deb##*/}")
[ -z "$others" ] || problem "dist/ holds other packages too: $others"
listing=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
top=Vostrel-$version/
[ "$listing" = "$top ${top}LICENSE.txt ${top}README-Windows.txt ${top}Vostrel.exe ${top}vostrel-cli.exe" ] ||
    problem "the archive holds: $listing"
listing=$(cd "$work/msi" && find . -type f | sort | tr '\n' ' ')
[ "$listing" = "./Vostrel/LICENSE.txt ./Vostrel/README-Windows.txt ./Vostrel/Vostrel.exe ./Vostrel/vostrel-cli.exe " ] ||
    problem "the .msi holds: $listing"
for f in LICENSE.txt README-Windows.txt Vostrel.exe vostrel-cli.exe; do
    cmp -s "$programs/$f" "$work/msi/Vostrel/$f" || problem "the .msi's $f is not the archive's"
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/vostrel-cli ./usr/share/doc/vostrel-cli/changelog.Debian.gz ./usr/share/doc/vostrel-cli/copyright ./usr/share/lintian/overrides/vostrel-cli ./usr/share/man/man1/vostrel-cli.1.gz " ] ||
    problem "the .deb holds the files: $files"
outside=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -vE '^\./(usr/.*)?$')
[ -z "$outside" ] || problem "the .deb installs outside /usr: $outside"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libudev1 libsqlite3-0 libpq5; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || problem "the .deb does not depend on $lib: $depends"
done
grep -q "MIT License" "$programs/LICENSE.txt" || problem "the archive's LICENSE.txt is not the MIT licence"
grep -q "Permission is hereby granted" "$work/deb/usr/share/doc/vostrel-cli/copyright" ||
    problem "the .deb's copyright file lacks the licence"
end_group contents

# --- imports: Windows' own DLLs only (no libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll)
windows_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll msvcrt.dll shell32.dll ole32.dll
 oleaut32.dll comdlg32.dll shlwapi.dll version.dll setupapi.dll cfgmgr32.dll ws2_32.dll winmm.dll imm32.dll
 uxtheme.dll bcrypt.dll "
for exe in Vostrel.exe vostrel-cli.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$programs/$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$dlls" ] || problem "$exe: no imports read"
    for dll in $dlls; do
        [[ $windows_dlls == *" $dll "* ]] || problem "$exe imports $dll, which Windows does not have"
    done
done
end_group imports

# --- versions
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || problem "the .deb's Version: $(dpkg-deb -f "$deb" Version)"
zcat "$work/deb/usr/share/doc/vostrel-cli/changelog.Debian.gz" | head -n 1 | grep -qF "vostrel-cli ($version-1) " ||
    problem "the .deb's changelog starts: $(zcat "$work/deb/usr/share/doc/vostrel-cli/changelog.Debian.gz" | head -n 1)"
[ "$(msi_property "$msi" ProductVersion)" = "$base" ] ||
    problem "the .msi's ProductVersion: $(msi_property "$msi" ProductVersion)"
[[ $(msi_property "$msi" ARPCOMMENTS) == "Vostrel $version. "*"MIT licence"* ]] ||
    problem "the .msi's comment lacks the version or the licence: $(msi_property "$msi" ARPCOMMENTS)"
[ "$(dpkg-deb -f "$deb" Package)" = vostrel-cli ] || problem "the .deb's Package: $(dpkg-deb -f "$deb" Package)"
out=$("$work/deb/usr/bin/vostrel-cli" --version 2>&1) || problem "vostrel-cli --version (the .deb's) failed: $out"
[ "$out" = "vostrel-cli $version" ] || problem "vostrel-cli --version (the .deb's) says: $out"
zcat "$work/deb/usr/share/man/man1/vostrel-cli.1.gz" | grep -qF "\"vostrel\\-cli $version\"" ||
    problem "the manual page does not name version $version"
numbers=$(echo "$base" | sed 's/$/.0/')
for exe in Vostrel.exe vostrel-cli.exe; do
    pe=$(python3 "$root/tests/support/pe-version.py" "$programs/$exe" 2>&1) || problem "$exe: $pe"
    for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" "FileVersion=$version" "ProductVersion=$version" \
                "OriginalFilename=$exe"; do
        grep -qxF "$line" <<<"$pe" || problem "$exe's version resource lacks \"$line\": $(echo $pe)"
    done
done
texts=$(strings -el "$programs/Vostrel.exe")
for line in "About VostrelV$version" "Vostrel Version $version"; do
    grep -qxF "$line" <<<"$texts" || problem "Vostrel.exe's About box lacks \"$line\""
done
# The archive's vostrel-cli.exe under Wine, in a new prefix of this run's own (the installer's
# checks below need one that holds nothing of ours). Wine's services start first with their output
# going nowhere, so that they hold no pipe of ours; winemenubuilder stays off, or the installer's
# shortcuts would land in this machine's own menus. The display (for the window, below) comes
# first: Wine's desktop process starts with the prefix's first program and keeps the display it
# found, or that there was none.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
source "$root/tests/e2e/lib.sh"
wine_ready=0
if ! command -v wine >/dev/null; then
    problem "wine is missing"
elif ! e2e_start_xvfb 2>"$work/xvfb.log"; then
    problem "no display for Wine: $(cat "$work/xvfb.log")"
elif ! xvfb_pid=$E2E_XVFB_PID || ! mkdir -p "$WINEPREFIX" || ! wineboot -i >/dev/null 2>&1; then
    problem "could not make a Wine prefix in $WINEPREFIX"
else
    wine_ready=1
    wine "$programs/vostrel-cli.exe" --version >"$work/wine.out" 2>"$work/wine.err" </dev/null ||
        problem "vostrel-cli.exe --version failed under Wine: $(cat "$work/wine.err")"
    out=$(tr -d '\r' <"$work/wine.out")
    [ "$out" = "vostrel-cli $version" ] || problem "vostrel-cli.exe --version says: $out"
fi
end_group versions

# --- lintian
if ! lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        grep -qE '^[EW]: ' "$work/lintian.log"; then
    problem "lintian: $(grep -vF 'running with root privileges' "$work/lintian.log")"
fi
end_group lintian

# --- checksums
(cd "$dist" && sha256sum --quiet --strict -c SHA256SUMS) >"$work/sums.log" 2>&1 ||
    problem "SHA256SUMS does not match: $(cat "$work/sums.log")"
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" | sort | tr '\n' ' ')
expected=$(printf '%s\n' "${zip##*/}" "${msi##*/}" "${deb##*/}" | sort | tr '\n' ' ')
[ "$listed" = "$expected" ] || problem "SHA256SUMS lists: $listed"
end_group checksums

# --- reproducible: the same programs packed again, later and elsewhere
if ! "$root/scripts/package.sh" --pack-only --out "$work/repack" >"$work/repack.log" 2>&1; then
    problem "packing again failed: $(tail -n 5 "$work/repack.log")"
else
    for f in "$zip" "$msi" "$deb" "$dist/SHA256SUMS"; do
        cmp -s "$f" "$work/repack/${f##*/}" || problem "${f##*/} differs when packed again"
    done
fi
end_group reproducible

# --- signing, with a certificate made for this run and trusted for its verification only
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vostrel throwaway test signer" \
    -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
    -keyout "$work/sign.key" -out "$work/sign.crt" >"$work/openssl.log" 2>&1 ||
    problem "openssl could not make a certificate: $(cat "$work/openssl.log")"
"$root/scripts/package.sh" --pack-only --out "$work/half" --cert "$work/sign.crt" >/dev/null 2>&1
[ $? -eq 2 ] && [ ! -e "$work/half" ] || problem "package.sh packed, or did not say so, with --cert but no --key"
if ! "$root/scripts/package.sh" --pack-only --out "$work/signed" --cert "$work/sign.crt" --key "$work/sign.key" \
        >"$work/signed.log" 2>&1; then
    problem "signed packing failed: $(tail -n 5 "$work/signed.log")"
else
    grep -q '^signed: ' "$work/signed.log" || problem "package.sh does not say that it signed"
    mkdir -p "$work/signed/zip" "$work/signed/msi"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$work/signed/${zip##*/}" "$work/signed/zip"
    msiextract -C "$work/signed/msi" "$work/signed/${msi##*/}" >/dev/null
    for f in "$work/signed/zip/Vostrel-$version/"*.exe "$work/signed/msi/Vostrel/"*.exe "$work/signed/${msi##*/}"; do
        osslsigncode verify -CAfile "$work/sign.crt" -in "$f" >"$work/verify.log" 2>&1 ||
            problem "osslsigncode verify ${f#$work/signed/}: $(grep -iE 'fail|error' "$work/verify.log" | head -n 3)"
    done
    # The unsigned packages of dist/ carry no signature.
    ! osslsigncode verify -CAfile "$work/sign.crt" -in "$programs/Vostrel.exe" >/dev/null 2>&1 ||
        problem "dist/'s Vostrel.exe verifies as signed"
fi
end_group signing

# --- msi: install, run, upgrade, refuse a downgrade, uninstall, under Wine
packed_guid() {   # {GUID}: the form the installer's registry keys use
    python3 -c 'import sys; h = sys.argv[1].strip("{}").replace("-", "").upper()
print(h[7::-1] + h[11:7:-1] + h[15:11:-1] + "".join(h[i + 1] + h[i] for i in range(16, 32, 2)))' "$1"
}
msiexec_quiet() {   # ACTION FILE.msi: msiexec's status; its log is $work/msiexec.log, each kept in msiexec-N.log
    msiexec_runs=$((${msiexec_runs:-0} + 1))
    wine msiexec "$1" "$(winepath -w "$2")" /qn "/l*v" "$(winepath -w "$work/msiexec-$msiexec_runs.log")" \
        </dev/null >/dev/null 2>&1
    local status=$?
    cp "$work/msiexec-$msiexec_runs.log" "$work/msiexec.log" 2>/dev/null
    return $status
}
# The Programs and Features entry of a product code; fails when there is none. (Wine's reg may
# print its "Unable to find" on standard output: its status tells.)
arp_entry() {
    local out
    out=$(wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" 2>&1 </dev/null) &&
        tr -d '\r' <<<"$out"
}
if [ "$wine_ready" -eq 1 ]; then
    drive=$WINEPREFIX/drive_c
    installed="$drive/Program Files/Vostrel"
    product=$(msi_property "$msi" ProductCode)
    if ! msiexec_quiet /i "$msi"; then
        problem "msiexec /i failed: $(grep -a -m 3 -i 'error\|fail' "$work/msiexec.log")"
    else
        listing=$(ls "$installed" 2>&1 | tr '\n' ' ')
        [ "$listing" = "LICENSE.txt README-Windows.txt Vostrel.exe vostrel-cli.exe " ] ||
            problem "Program Files\\Vostrel holds: $listing"
        out=$(wine 'C:\Program Files\Vostrel\vostrel-cli.exe' --version 2>&1 </dev/null | tr -d '\r')
        [ "$out" = "vostrel-cli $version" ] || problem "the installed vostrel-cli.exe --version says: $out"
        # Wine's installer puts per-machine shortcuts in the user's Start menu; Windows in ProgramData's.
        menu=$(find "$drive" -type d -path '*/Start Menu/Programs/Vostrel' | head -n 1)
        listing=$(ls "$menu" 2>&1 | tr '\n' ' ')
        [ "$listing" = "Vostrel command prompt.lnk Vostrel.lnk " ] || problem "the Start menu's Vostrel folder holds: $listing"
        # The command prompt's shortcut: cmd.exe /k with a command that, run from elsewhere, finds
        # the installed vostrel-cli.exe (given to cmd on its input here, as /k would keep it open).
        console=$(strings -a "$menu/Vostrel command prompt.lnk"; strings -a -el "$menu/Vostrel command prompt.lnk")
        grep -qiF 'cmd.exe' <<<"$console" || problem "the command prompt shortcut does not start cmd.exe"
        command=$(grep -o -m 1 '/k .*' <<<"$console")
        if [ -z "$command" ]; then
            problem "the command prompt shortcut has no /k command: $console"
        else
            (cd "$work" && printf '%s\r\nexit\r\n' "${command#/k }" | wine cmd >"$work/console.out" 2>&1)
            grep -q 'Usage: .*SUBCOMMAND' "$work/console.out" ||
                problem "the command prompt shortcut's command \"${command#/k }\" shows no help: $(head -c 300 "$work/console.out")"
        fi
        entry=$(arp_entry "$product")
        for line in 'DisplayName    REG_SZ    Vostrel' "DisplayVersion    REG_SZ    $base" \
                    "Comments    REG_SZ    Vostrel $version. Free software under the MIT licence: LICENSE.txt in the install folder." \
                    "Publisher    REG_SZ    $(cat "$root/build/windows/packaging/contact.txt")"; do
            grep -qxF "    $line" <<<"$entry" || problem "Programs and Features lacks \"$line\": $entry"
        done
        # The window through its shortcut: it starts in the install folder and keeps its settings
        # file there.
        wine start "$(winepath -w "$menu/Vostrel.lnk")" </dev/null >/dev/null 2>&1 ||
            problem "starting the window's shortcut failed"
        e2e_poll 60000 test -s "$installed/Vostrel.cfg" ||
            problem "the window started through its shortcut wrote no Vostrel.cfg into Program Files\\Vostrel in 60 s"
        wineserver -k

        # A newer version (the same programs) replaces it; then the older one is refused.
        newer="${base%.*}.$((${base##*.} + 1))+upgrade.test"
        python3 "$root/packaging/make-msi.py" --source "$programs" --icon "$root/res/Vostrel.ico" \
            --version "$newer" --manufacturer "The Vostrel developers <test@vostrel.example>" --out "$work/newer.msi" ||
            problem "could not make the newer .msi"
        newer_product=$(msi_property "$work/newer.msi" ProductCode)
        if ! msiexec_quiet /i "$work/newer.msi"; then
            problem "installing the newer .msi over it failed: $(grep -a -m 3 -i 'error\|fail' "$work/msiexec.log")"
        else
            ! arp_entry "$product" >/dev/null || problem "the older version is still in Programs and Features after the upgrade"
            arp_entry "$newer_product" | grep -qE "DisplayVersion +REG_SZ +${newer%%+*}\$" ||
                problem "the newer version is not in Programs and Features"
            [ -f "$installed/Vostrel.exe" ] && [ -f "$menu/Vostrel.lnk" ] ||
                problem "the upgrade left no Vostrel.exe or no shortcut"
            # Removing the older version took the settings file the window wrote (README-Windows.txt).
            [ ! -e "$installed/Vostrel.cfg" ] || problem "uninstalling the older version left Vostrel.cfg behind"
            ! msiexec_quiet /i "$msi" || problem "installing the older version over the newer one succeeded"
            arp_entry "$newer_product" >/dev/null && ! arp_entry "$product" >/dev/null ||
                problem "the refused older version changed what is installed"
        fi
        msiexec_quiet /x "$work/newer.msi" || problem "msiexec /x failed: $(grep -a -m 3 -i 'error\|fail' "$work/msiexec.log")"

        # Nothing of ours is left: no file or folder named so, no cached package, no registry entry
        # naming the product or holding its codes.
        left=$(find "$drive" -iname '*vostrel*' 2>/dev/null; find "$drive/windows/Installer" -type f 2>/dev/null)
        [ -z "$left" ] || problem "left behind after uninstalling: $left"
        wine regedit /E "$(winepath -w "$work/registry.reg")" </dev/null >/dev/null 2>&1 || problem "regedit /E failed"
        iconv -f UTF-16 -t UTF-8 "$work/registry.reg" >"$work/registry.txt" 2>/dev/null
        [ -s "$work/registry.txt" ] || problem "the registry export is empty"
        codes=(-e vostrel)
        for code in "$product" "$newer_product" "$(msi_property "$msi" UpgradeCode)"; do
            codes+=(-e "$(packed_guid "$code")" -e "${code//[\{\}]/}")
        done
        left=$(grep -iF "${codes[@]}" "$work/registry.txt" | head -n 5)
        [ -z "$left" ] || problem "left in the registry after uninstalling: $left"
    fi
else
    problem "no Wine prefix (see versions)"
fi
end_group msi

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
