#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the tool need, when missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest ccache     # native build and tests; the compiler cache
    libudev-dev pkg-config                      # finding the cards on Linux
    umockdev libumockdev-dev                    # its tests, on a mocked device tree
    libcli11-dev nlohmann-json3-dev             # vostrel-cli: options and JSON (header-only, both builds)
    clang libclang-rt-14-dev llvm               # fuzz targets: libFuzzer, sanitizer runtimes, llvm-symbolizer
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # the Windows program
    wine64 wine                                 # running it
    fonts-wine                                  # Marlett and Tahoma, copied into each prefix (wine-prefix.sh)
    xvfb x11-utils imagemagick procps psmisc    # a display for its window, screenshots, process control
    tmux                                        # a terminal for the live bench table's test
    python3
    dpkg-dev                                    # dpkg-shlibdeps: the Debian package's dependencies
    wixl msitools                               # the Windows installer (.msi): building, amending, reading it
    osslsigncode openssl                        # Authenticode signatures; the test's throwaway certificate
    lintian                                     # checking the Debian package
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
