#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the tool need, when missing.
# usage: install-deps.sh [GROUP...]   groups: native windows fuzz package (default: all of them)
# The native group is what the plain and sanitizer builds and their tests need; scripts/test.sh
# installs it first and the others beside the native build, each before the stage that needs it.
set -euo pipefail

declare -A groups
groups[native]="
    cmake ninja-build g++ googletest ccache       # native build and tests; the compiler cache
    libudev-dev pkg-config                        # finding the cards on Linux
    umockdev libumockdev-dev                      # its tests, on a mocked device tree
    libcli11-dev nlohmann-json3-dev               # vostrel-cli: options and JSON (header-only, both builds)
    libsqlite3-dev libpq-dev postgresql           # the run history: SQLite, PostgreSQL's client, a server for its tests
    tmux                                          # a terminal for the live bench table's test
    procps psmisc                                 # process control
    libsystemd-dev                                # sd-bus: asking ModemManager to let go of a card
    dbus-daemon python3-dbusmock modemmanager     # its tests: private buses, a mock ModemManager and polkit
    python3
"
groups[fuzz]="
    clang libclang-rt-14-dev llvm                 # fuzz targets: libFuzzer, sanitizer runtimes, llvm-symbolizer
"
groups[windows]="
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # the Windows program
    wine64 wine                                   # running it
    fonts-wine                                    # Marlett and Tahoma, copied into each prefix (wine-prefix.sh)
    xvfb x11-utils imagemagick                    # a display for its window, screenshots
    tcl patch xz-utils                            # SQLite's amalgamation, made from Debian's sources (scripts/sqlite-amalgamation.sh)
"
groups[package]="
    dpkg-dev                                      # dpkg-shlibdeps: the Debian package's dependencies
    wixl msitools                                 # the Windows installer (.msi): building, amending, reading it
    osslsigncode openssl                          # Authenticode signatures; the test's throwaway certificate
    lintian                                       # checking the Debian package
"

wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=(native windows fuzz package)
packages=()
for g in "${wanted[@]}"; do
    [ -n "${groups[$g]+set}" ] || { echo "install-deps: unknown group: $g" >&2; exit 2; }
    # shellcheck disable=SC2207
    packages+=($(sed 's/#.*//' <<<"${groups[$g]}"))
done

# SQLite's amalgamation for the Windows build, made once into a cache outside the tree: here, beside
# the native build, rather than when the Windows tree is configured.
make_sqlite() {
    [[ " ${wanted[*]} " == *" windows "* ]] || return 0
    "$(dirname "${BASH_SOURCE[0]}")/sqlite-amalgamation.sh" >/dev/null
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    make_sqlite
    exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# One install at a time: a lane that installs beside another waits for the package database's lock.
apt_opts=(-o DPkg::Lock::Timeout=600)
# The package lists are read once a run: CI's entry reads them first (VOSTREL_APT_UPDATED), and
# scripts/test.sh's lanes share a stamp (VOSTREL_APT_STAMP).
if [ -z "${VOSTREL_APT_UPDATED:-}" ] && ! [ -e "${VOSTREL_APT_STAMP:-/nonexistent}" ]; then
    $sudo apt-get "${apt_opts[@]}" update -qq
    [ -z "${VOSTREL_APT_STAMP:-}" ] || touch "$VOSTREL_APT_STAMP"
fi
$sudo apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
make_sqlite
