#!/usr/bin/env bash
# Makes SQLite's amalgamation (sqlite3.c, sqlite3.h) for the Windows build from Debian's own sqlite3
# source package, once: the result is kept in a cache outside the tree (a second clone, or CI's
# next run, finds it there). The source package comes through a private apt configuration with a
# deb-src line of the system's suite, leaving the system's own sources as they are; its sources
# need tclsh to make the amalgamation.
# usage: sqlite-amalgamation.sh [CACHE]   (default ${XDG_CACHE_HOME:-~/.cache}/vostrel/sqlite)
# Prints the folder that holds sqlite3.c and sqlite3.h.
set -euo pipefail
cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/vostrel/sqlite}
version=$(dpkg-query -W -f='${Version}' libsqlite3-0 2>/dev/null || true)
[ -n "$version" ] || { echo "sqlite-amalgamation: libsqlite3-0 is not installed: its version is the one built" >&2; exit 1; }
out=$cache/$version
if [ -s "$out/sqlite3.c" ] && [ -s "$out/sqlite3.h" ]; then
    echo "$out"
    exit 0
fi
command -v tclsh >/dev/null || { echo "sqlite-amalgamation: tclsh is missing (scripts/install-deps.sh windows)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/sqlite-amalgamation.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The suite of the system's own lists, for the deb-src lines.
. /etc/os-release
suite=${VERSION_CODENAME:?}
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources.list.d" "$work/src"
cat >"$work/apt/sources.list" <<LIST
deb-src http://deb.debian.org/debian $suite main
deb-src http://deb.debian.org/debian $suite-updates main
deb-src http://deb.debian.org/debian-security $suite-security main
LIST
cat >"$work/apt/apt.conf" <<CONF
Dir::Etc::SourceList "$work/apt/sources.list";
Dir::Etc::SourceParts "$work/apt/sources.list.d";
Dir::State::Lists "$work/apt/lists";
Dir::Cache "$work/apt/cache";
APT::Sandbox::User "root";
CONF
export APT_CONFIG=$work/apt/apt.conf
apt-get update -qq
(cd "$work/src" && apt-get source --download-only -qq "sqlite3=$version")

# The upstream sources with Debian's patches, less the one that makes lemon use the packaged
# template (not installed here).
tar -xf "$work"/src/sqlite3_*.orig.tar.xz -C "$work/src"
tree=$(find "$work/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -1)
tar -xf "$work"/src/sqlite3_*.debian.tar.xz -C "$tree"
while read -r patch; do
    case "$patch" in ''|'#'*|02-use-packaged-lempar.c.patch) continue ;; esac
    patch -d "$tree" -p1 -s <"$tree/debian/patches/$patch"
done <"$tree/debian/patches/series"

(cd "$tree" && ./configure --quiet >/dev/null && make -s sqlite3.c >/dev/null)
mkdir -p "$out.tmp"
cp "$tree/sqlite3.c" "$tree/sqlite3.h" "$out.tmp/"
rm -rf "$out" && mv "$out.tmp" "$out"
echo "$out"
