# Shared harness of the end-to-end scenarios: a private X display, the Wine prefix, starting and
# stopping Vostrel.exe, and the UI driver. Source it from a scenario script, then call e2e_setup.
#
# Environment (all optional):
#   E2E_BUILD_DIR     the Windows build tree (default: build/windows beside the sources)
#   E2E_VOSTREL_EXE   Vostrel.exe                  (default: $E2E_BUILD_DIR/Vostrel.exe)
#   E2E_UIDRIVER_EXE  uidriver.exe                 (default: $E2E_BUILD_DIR/tests/e2e/uidriver.exe or $E2E_BUILD_DIR/uidriver.exe)
#   WINEPREFIX        the prefix (default: $E2E_BUILD_DIR/wineprefix, made when missing)
#   E2E_DISPLAY       first X display number to try (default 91; the next free one is taken when busy)
#   E2E_ARTIFACTS     where screenshots go (default: $E2E_BUILD_DIR/e2e-artifacts)
#
# Every wait polls for its condition with a deadline; cleanup runs on any exit of the script.

set -u

E2E_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
E2E_BUILD_DIR=${E2E_BUILD_DIR:-$E2E_SOURCE_DIR/build/windows}
E2E_VOSTREL_EXE=${E2E_VOSTREL_EXE:-$E2E_BUILD_DIR/Vostrel.exe}
if [ -z "${E2E_UIDRIVER_EXE:-}" ]; then
    E2E_UIDRIVER_EXE=$E2E_BUILD_DIR/uidriver.exe
    [ -f "$E2E_BUILD_DIR/tests/e2e/uidriver.exe" ] && E2E_UIDRIVER_EXE=$E2E_BUILD_DIR/tests/e2e/uidriver.exe
fi
E2E_ARTIFACTS=${E2E_ARTIFACTS:-$E2E_BUILD_DIR/e2e-artifacts}
export WINEPREFIX=${WINEPREFIX:-$E2E_BUILD_DIR/wineprefix}
export WINEDEBUG=-all
# Keep Wine from offering to install Mono or Gecko in a prefix made here.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

E2E_XVFB_PID=
E2E_PIDS=()
E2E_FAILURES=0
E2E_WORK=

e2e_log() { printf '[e2e %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

e2e_fail() {
    e2e_log "FAIL: $*"
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

# Polls a command until it succeeds or TIMEOUT_MS has passed. e2e_poll TIMEOUT_MS CMD ARGS...
e2e_poll() {
    local deadline=$(( $(date +%s%3N) + $1 ))
    shift
    until "$@"; do
        [ "$(date +%s%3N)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# A display is free when no live X server holds its lock (an X server replaces a stale lock).
e2e_display_free() {
    local holder
    [ -e "/tmp/.X$1-lock" ] || return 0
    holder=$(tr -dc '0-9' < "/tmp/.X$1-lock" 2>/dev/null)
    [ -n "$holder" ] && ! kill -0 "$holder" 2>/dev/null
}

# Our X server holds the display's lock and accepts connections (a stale socket file refuses them).
e2e_x_ready() {
    [ -r "/tmp/.X$1-lock" ] || return 1
    [ "$(tr -dc '0-9' < "/tmp/.X$1-lock" 2>/dev/null)" = "$E2E_XVFB_PID" ] || return 1
    python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' \
        "/tmp/.X11-unix/X$1" 2>/dev/null
}

# Our Xvfb has ended (it lost display $1 to another server started at the same moment, say).
e2e_xvfb_gone() { ! kill -0 "$E2E_XVFB_PID" 2>/dev/null; }

e2e_start_xvfb() {
    local n=${E2E_DISPLAY:-91}
    local last=$((n + 40))
    for ((; n <= last; n++)); do
        e2e_display_free "$n" || continue
        # 24-bit colour, so the 16-colour pictures reach the screen unchanged.
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        E2E_XVFB_PID=$!
        # Ready, or gone because another test's server took the display first: then the next one.
        e2e_poll 10000 eval "e2e_x_ready $n || e2e_xvfb_gone" || { e2e_log "Xvfb :$n did not come up"; return 1; }
        if ! e2e_xvfb_gone; then
            export DISPLAY=":$n"
            e2e_log "display $DISPLAY (Xvfb pid $E2E_XVFB_PID)"
            # Windows of this run must not land on a desktop that an earlier program without a
            # display started (a bench's regedit, say): they would never be created.
            "$E2E_SOURCE_DIR/scripts/wine-prefix.sh" --wait-headless-desktop "$WINEPREFIX"
            return
        fi
        wait "$E2E_XVFB_PID" 2>/dev/null
        E2E_XVFB_PID=
    done
    e2e_log "no free X display"
    return 1
}

e2e_cleanup() {
    local i pid
    # Last started first: the program ends before the cards it talks to.
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
        pid=${E2E_PIDS[i]}
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    E2E_PIDS=()
    # Cards and driver entries go before the display: regedit wants the prefix as it was.
    e2e_forget_cards
    if [ -n "$E2E_XVFB_PID" ]; then
        kill "$E2E_XVFB_PID" 2>/dev/null && wait "$E2E_XVFB_PID" 2>/dev/null
        E2E_XVFB_PID=
    fi
}

# Xvfb runs no window manager; unmanaged, Wine draws the caption and frame itself, so the
# screenshots show the whole window.
e2e_unmanaged_windows() {
    grep -qs '^"Managed"="N"' "$WINEPREFIX/user.reg" && return 0
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
}

# Starts the display and the prefix; every started process is stopped when the script exits.
e2e_setup() {
    trap e2e_cleanup EXIT
    trap 'exit 130' INT TERM
    local f
    for f in "$E2E_VOSTREL_EXE" "$E2E_UIDRIVER_EXE"; do
        if [ ! -f "$f" ]; then
            e2e_log "missing $f (build the Vostrel and uidriver targets)"
            exit 1
        fi
    done
    # The display first, so that the prefix's programs below start their desktop on it.
    e2e_start_xvfb || exit 1
    "$E2E_SOURCE_DIR/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null || exit 1
    e2e_unmanaged_windows
    mkdir -p "$E2E_ARTIFACTS"
    E2E_WORK=$(mktemp -d "$E2E_BUILD_DIR/e2e-work.XXXXXX")
    trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT
}

# Starts Vostrel.exe in the work directory (where it keeps its settings file); sets E2E_PID.
e2e_start_program() {
    (cd "$E2E_WORK" && exec wine "$E2E_VOSTREL_EXE" >/dev/null 2>&1) &
    E2E_PID=$!
    E2E_PIDS+=("$E2E_PID")
    e2e_log "started Vostrel.exe (pid $E2E_PID)"
}

e2e_running() { kill -0 "$1" 2>/dev/null; }

# Waits for a started program to end; sets E2E_STATUS to its exit status. e2e_wait_exit PID TIMEOUT_MS
e2e_wait_exit() {
    local pid=$1
    E2E_STATUS=
    if ! e2e_poll "$2" eval '! e2e_running '"$pid"; then
        return 1
    fi
    wait "$pid" 2>/dev/null
    E2E_STATUS=$?
    local kept=() p
    for p in "${E2E_PIDS[@]}"; do [ "$p" != "$pid" ] && kept+=("$p"); done
    E2E_PIDS=("${kept[@]+"${kept[@]}"}")
    return 0
}

# Runs the UI driver; its key=value output goes to E2E_OUT (and stderr on failure).
e2e_drive() {
    local status err
    err=$(mktemp)
    # Wine's own errors are kept for the driver (on stderr, shown only when it fails): a run that
    # ends with no output at all has been seen under load, and only Wine can say why.
    E2E_OUT=$(set -o pipefail; WINEDEBUG=err+all,fixme-all wine "$E2E_UIDRIVER_EXE" "$@" 2>"$err" | tr -d '\r')
    status=$?
    if [ "$status" -ne 0 ]; then
        # Wine's own last words (a crash, a failed start) go with the driver's output.
        printf '%s\n' "uidriver $*: exit status $status" "$E2E_OUT" "stderr:" "$(tail -n 20 "$err")" |
            sed 's/^/    /' >&2
    fi
    rm -f "$err"
    return "$status"
}

# The value of KEY in the last driver output.
e2e_value() {
    printf '%s\n' "$E2E_OUT" | sed -n "s/^$1=//p" | head -n 1
}

# Checks that the last driver output has KEY=VALUE. e2e_expect KEY VALUE WHAT
e2e_expect() {
    local actual
    actual=$(e2e_value "$1")
    if [ "$actual" != "$2" ]; then
        e2e_fail "$3: $1 is '$actual', wanted '$2'"
        return 1
    fi
}

# Saves a screenshot of the main window as ARTIFACTS/NAME.png (and .bmp when convert is missing);
# with BOX, of the window and the box of that title. e2e_screenshot NAME [BOX]
e2e_screenshot() {
    local bmp="$E2E_ARTIFACTS/$1.bmp"
    e2e_drive screenshot "$(winepath -w "$bmp" 2>/dev/null)" ${2:+"$2"} || return 1
    if command -v convert >/dev/null && convert "$bmp" "$E2E_ARTIFACTS/$1.png"; then
        rm -f "$bmp"
        e2e_log "screenshot $E2E_ARTIFACTS/$1.png"
    else
        e2e_log "screenshot $bmp"
    fi
}

# Ends the scenario: 0 when every check passed.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        e2e_log "$E2E_FAILURES check(s) failed"
        exit 1
    fi
    e2e_log "all checks passed"
    exit 0
}

# ---- simulated cards and their driver entries ------------------------------------------------------
#   VOSTREL_CARDSIM   the native cardsim (default: build/native/cardsim beside the sources)
# A card NAME keeps its files in the work directory: NAME.transcript ("<ms> <command line>" per
# command received), NAME.state ("autorun=A download=D") and NAME.ctl (control FIFO, see cardsim --help).

E2E_CARDSIM=${VOSTREL_CARDSIM:-$E2E_SOURCE_DIR/build/native/cardsim}
E2E_LINKS=()          # dosdevices links made by the scenario itself
E2E_REG_SERVICES=()   # driver services given entries, removed again at the end
# The card's USB ids and how its instance paths are written.
source "$E2E_SOURCE_DIR/scripts/card-entries.sh"

# Starts a card reached by the program as COM<N>. e2e_start_card NAME N [CARDSIM OPTIONS...]
e2e_start_card() {
    local name=$1 com=$2
    shift 2
    local out="$E2E_WORK/$name.out"
    if [ ! -x "$E2E_CARDSIM" ]; then
        e2e_log "missing $E2E_CARDSIM (build the native cardsim target or set VOSTREL_CARDSIM)"
        return 1
    fi
    mkdir -p "$WINEPREFIX/dosdevices"
    # Wine's own com links (to /dev/ttyS*) would otherwise be taken over and not given back.
    rm -f "$WINEPREFIX/dosdevices/com$com"
    "$E2E_CARDSIM" --link "$WINEPREFIX/dosdevices/com$com" --transcript "$E2E_WORK/$name.transcript" \
        --state "$E2E_WORK/$name.state" --control "$E2E_WORK/$name.ctl" "$@" >"$out" 2>&1 &
    local pid=$!
    E2E_PIDS+=("$pid")
    printf -v "E2E_CARD_PID_$name" '%s' "$pid"
    if ! e2e_poll 10000 grep -q '^cardsim: listening on ' "$out"; then
        e2e_log "card $name did not start:"
        cat "$out" >&2
        return 1
    fi
    e2e_log "card $name on COM$com ($(sed -n 's/^cardsim: listening on //p' "$out" | tail -n 1)) $*"
}

# The pseudo-terminal a card listens on now.
e2e_card_device() { sed -n 's/^cardsim: listening on //p' "$E2E_WORK/$1.out" | tail -n 1; }

# Sends one control line to a running card. e2e_card NAME "fault silent"
e2e_card() { printf '%s\n' "$2" >"$E2E_WORK/$1.ctl"; }

# Moves a card's COM link to another number, as a card that comes back under a new one. The card
# itself moves its link, so that pulling the card removes it: a link of our own would lead, once the
# card is gone, to whatever pty gets its number next (another test's card). e2e_relink NAME N
e2e_relink() {
    local link="$WINEPREFIX/dosdevices/com$2" device
    device=$(e2e_card_device "$1")
    rm -f "$link"
    e2e_card "$1" "link $link"
    e2e_poll 5000 eval '[ "$(readlink "$link")" = "$device" ]' || { e2e_fail "card $1 did not move to COM$2"; return 1; }
}

# How many times the card received exactly LINE. e2e_sent NAME LINE
e2e_sent() {
    awk -v line="$2" '{ sub(/^[0-9]+ /, ""); sub(/\r$/, "") } $0 == line { n++ } END { print n + 0 }' \
        "$E2E_WORK/$1.transcript" 2>/dev/null || echo 0
}

# The card's command lines in order, one per line, without their times.
e2e_transcript() { sed 's/^[0-9]* //' "$E2E_WORK/$1.transcript" 2>/dev/null; }

e2e_card_state() { cat "$E2E_WORK/$1.state" 2>/dev/null; }

# Checks how often the card received LINE. e2e_expect_sent NAME LINE COUNT WHAT
e2e_expect_sent() {
    local n
    n=$(e2e_sent "$1" "$2")
    [ "$n" = "$3" ] || e2e_fail "$4: '$2' sent $n time(s), wanted $3"
}

# Writes driver entries as a card's USB drivers leave them: each SERVICE lists the one instance of
# its interface on card 0, whose port is COM<N>. One regedit call for all pairs.
# e2e_register_card SERVICE N [SERVICE N]...
e2e_register_card() {
    local reg="$E2E_WORK/entries.reg" ports=()
    while [ $# -ge 2 ]; do
        ports+=(0 "$1" "$2")
        E2E_REG_SERVICES+=("$1")
        shift 2
    done
    vostrel_card_reg "${ports[@]}" >"$reg"
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
}

# Removes the driver entries written by e2e_register_card (the services did not exist before).
e2e_unregister_cards() {
    [ ${#E2E_REG_SERVICES[@]} -eq 0 ] && return 0
    local reg="$E2E_WORK/remove.reg"
    vostrel_card_unreg "${E2E_REG_SERVICES[@]}" >"$reg"
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    E2E_REG_SERVICES=()
}

e2e_forget_cards() {
    local link
    for link in "${E2E_LINKS[@]}"; do rm -f "$link"; done
    E2E_LINKS=()
    [ -n "$E2E_WORK" ] && [ -d "$E2E_WORK" ] && e2e_unregister_cards
}

# Milliseconds since the epoch, for the figures.
e2e_now_ms() { date +%s%3N; }

# How many processes run the program of this build (Wine shows a Windows path in the command line).
e2e_exe_processes() {
    local win n=0 f
    win=$(winepath -w "$E2E_VOSTREL_EXE" 2>/dev/null)
    for f in /proc/[0-9]*/cmdline; do
        { tr '\0' ' ' <"$f"; } 2>/dev/null | grep -qiF -e "$E2E_VOSTREL_EXE" -e "${win:-$E2E_VOSTREL_EXE}" || continue
        # Only this prefix's: a scenario on the build's other prefix runs its own copy meanwhile.
        tr '\0' '\n' <"${f%/cmdline}/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && n=$((n + 1))
    done
    echo "$n"
}
