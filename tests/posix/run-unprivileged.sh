#!/usr/bin/env bash
# Runs a test program as an ordinary user: root ignores file modes, so tests of read-only and
# unreadable files skip under root. As root this drops to nobody (the program is copied where that
# user can reach it); as any other user it runs as it is. No test may skip: the run exists for them.
# usage: run-unprivileged.sh PROGRAM [ARGS...]
set -uo pipefail
program=$1
shift

if [ "$(id -u)" -ne 0 ]; then
    runner=("$program")
else
    if ! command -v setpriv >/dev/null; then
        echo "setpriv is missing: cannot drop root's rights" >&2
        exit 1
    fi
    home=$(mktemp -d /tmp/vostrel-unprivileged.XXXXXX)
    trap 'rm -rf "$home"' EXIT
    cp "$program" "$home/"
    chmod 755 "$home" "$home/$(basename "$program")"
    runner=(setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$home/$(basename "$program")")
    cd /tmp || exit 1
fi

log=$(mktemp /tmp/vostrel-unprivileged-log.XXXXXX)
HOME=/tmp TMPDIR=/tmp "${runner[@]}" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if [ "$status" -eq 0 ] && grep -q '^\[  SKIPPED \]' "$log"; then
    echo "tests were skipped although they run as an ordinary user" >&2
    status=1
fi
rm -f "$log"
exit "$status"
