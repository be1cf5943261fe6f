#!/usr/bin/env bash
# Makes (once) a Wine prefix for the tool, gives it the fonts its window is drawn in, and starts the
# prefix's wineserver for the run. Every prefix the project uses (run.sh, the tests, the benchmark,
# the soak, cli-demo.sh) comes through here.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # No display is needed to make a prefix; keep wineboot from asking for Mono or Gecko.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
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
echo "wine prefix ready: $prefix"
