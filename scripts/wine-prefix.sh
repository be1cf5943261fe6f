#!/usr/bin/env bash
# Makes (once) a Wine prefix for the tool, gives it the fonts its window is drawn in, and starts the
# prefix's wineserver for the run. Every prefix the project uses (run.sh, the tests, the benchmark,
# the soak, cli-demo.sh) comes through here.
#
# A Wine desktop (explorer.exe /desktop) started by a process without a display, such as this
# script's own wineboot or a regedit run, has no display driver for as long as it lives: a window
# created on it fails ("no driver could be loaded"). It ends by itself a few seconds after its last
# program; ended by force, its desktop window stays behind with the same fault. So this script waits
# for such a desktop of the prefix to end before it returns, and a program that shows windows runs
# `wine-prefix.sh --wait-headless-desktop PREFIX` once its display is up: its first window then
# starts a desktop on that display.
set -euo pipefail

# Whether prefix $1 has a desktop whose process has no DISPLAY.
has_headless_desktop() {
    local pid env
    for pid in $(pgrep -f 'explorer\.exe /desktop'); do
        env=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null) || continue
        grep -qxF "WINEPREFIX=$1" <<<"$env" && ! grep -q '^DISPLAY=' <<<"$env" && return 0
    done
    return 1
}

wait_headless_desktop() {
    local deadline=$(( $(date +%s%3N) + 20000 ))
    while has_headless_desktop "$1"; do
        if [ "$(date +%s%3N)" -ge "$deadline" ]; then
            echo "wine-prefix: a desktop without a display still runs in $1 after 20 s" >&2
            return 1
        fi
        sleep 0.05
    done
}

if [ "${1:-}" = --wait-headless-desktop ]; then
    wait_headless_desktop "${2:?usage: wine-prefix.sh --wait-headless-desktop PREFIX}"
    exit
fi

prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # No display is needed to make a prefix; keep wineboot from asking for Mono or Gecko. Its
    # output is kept, and shown only when it fails.
    log=$(mktemp "${TMPDIR:-/tmp}/wine-prefix.XXXXXX")
    status=0
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "wine-prefix: wineboot -i failed (exit status $status) in $prefix:" >&2
        tail -n 30 "$log" >&2
        echo "wine-prefix: wineservers running now:" >&2
        pgrep -a wineserver >&2 || echo "  (none)" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
fi

# Wine draws the caption buttons with the Marlett font, and maps the dialog's "MS Shell Dlg" to
# Tahoma. Without them it falls back to whatever fontconfig offers: buttons drawn as the letters
# "0 1 r", a wider dialog, clipped button texts. Debian's fonts-wine ships Wine's own versions in
# Wine's data directory, but Debian's Wine 8 does not load fonts from there (nor does fontconfig
# list that directory), so they go where Windows keeps its fonts: C:\windows\Fonts, which Wine reads
# at every program start. Done on every call, so that a prefix made before this step gets them too.
wine_fonts=/usr/share/wine/fonts
fonts_dir=$prefix/drive_c/windows/Fonts
mkdir -p "$fonts_dir"
for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
    if [ ! -f "$wine_fonts/$font" ]; then
        echo "wine-prefix: $wine_fonts/$font is missing: install Debian's fonts-wine (scripts/install-deps.sh)" >&2
        exit 1
    fi
    cmp -s "$wine_fonts/$font" "$fonts_dir/$font" || cp "$wine_fonts/$font" "$fonts_dir/$font"
done

wineserver -p >/dev/null 2>&1 || true
# The first Wine program to meet the server starts Wine's own services (services.exe, plugplay,
# ...), which live as long as the persistent server and keep that program's output open. Started
# from a test, they would hold the test runner's output pipe, and it would wait for them for ever.
# Started here, their output goes nowhere.
wineboot >/dev/null 2>&1 || true
[ -n "${DISPLAY:-}" ] || wait_headless_desktop "$prefix"
echo "wine prefix ready: $prefix"
