#!/usr/bin/env bash
# Runs one Windows program under Wine on a private Xvfb display: with-display.sh PROGRAM.exe [ARGS]
# Exits with the program's status; the display is stopped however the script ends.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
trap e2e_cleanup EXIT
trap 'exit 130' INT TERM
e2e_start_xvfb || exit 1
wine "$@"
