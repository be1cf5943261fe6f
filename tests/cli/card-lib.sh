# What the command line's scripted tests share: simulated cards on ptys under $work, the program
# run with its output kept, and the failures counted. The caller sets cli_exe, cardsim, work, pids
# (the cards' processes, which it stops) and failures.

fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# Stops the processes in pids and waits for them, for the caller's cleanup.
stop_pids() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}

# Starts a card whose port is $work/NAME. start_card NAME [CARDSIM OPTIONS...]
start_card() {
    local name=$1 deadline=$((SECONDS + 10))
    shift
    "$cardsim" --link "$work/$name" --transcript "$work/$name.transcript" "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    until grep -q '^cardsim: listening on ' "$work/$name.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { fail "card $name did not start"; return 1; }
        sleep 0.02
    done
}

# Runs the program; STATUS and OUT hold what it did.
cli() {
    "$cli_exe" "$@" >"$work/out" 2>"$work/err" </dev/null
    STATUS=$?
    OUT=$(cat "$work/out" "$work/err")
}

expect() {   # expect STATUS REGEX WHAT
    [ "$STATUS" = "$1" ] || fail "$3: exit status $STATUS, wanted $1: $OUT"
    printf '%s\n' "$OUT" | grep -qE "$2" || fail "$3: no line matches /$2/: $OUT"
}
