#!/usr/bin/env bash
# A bench of simulated data cards for Windows programs under Wine: each card is two COM ports (the
# modem and the diagnostic port, leading to one cardsim) and the driver entries Windows keeps for a
# plugged-in card, with its slot. A switched card leaves (its entries go, its ports vanish) and comes
# back at its slot, as bench-testbed's re-enumeration rule says; bench-testbed runs the cards and the
# command and calls this script back with every change (--apply).
#
# usage: bench-wine.sh [--cards N] [--return-ms MS] [--quiet-ms MS] [--fault CARD:KIND]...
#                      [--cardsim PATH] [--out DIR] -- COMMAND [ARGS...]
#
# Needs WINEPREFIX (made here by scripts/wine-prefix.sh when missing). VOSTREL_BENCH_TESTBED names
# bench-testbed (default: build/native/bench-testbed); card 0's modem is COM$VOSTREL_FIRST_COM
# (default 40), its diagnostic port the next; card n's 2n further. A COMMAND ending in .exe runs under
# wine. The exit status is the command's; the event log is <out>/bench-events.log.
set -euo pipefail

self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEPREFIX WINEDEBUG=-all
# shellcheck source=scripts/card-entries.sh
. "$root/scripts/card-entries.sh"

mdm=YARLOusbmdm6k
ser=YARLOusbser6k
enum='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum'
services_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services'

# The nine-field address of slot $1 (slot 0 is the first), as Windows keeps it in an interface's
# LocationInformation.
location() {
    if declare -F vostrel_card_location >/dev/null; then
        vostrel_card_location "$1"
    else
        printf '0000.0014.0000.001.%03d.000.000.000.000' $(( $1 + 1 ))
    fi
}

# The instance paths of a card at slot $1 in shape $2, each "SERVICE PATH COM-FIELD" (4 = the modem's
# COM, 5 = the diagnostic's in the change's fields).
instances() {
    case $2 in
        card) echo "$mdm $(vostrel_card_instance "$1" "$mdm") 4"
              echo "$ser $(vostrel_card_instance "$1" "$ser") 5" ;;
        download) printf '%s USB\\VID_1209&PID_0002&MI_00\\7&C%s&0&0000 5\n' "$ser" "$1" ;;
    esac
}

parent_key() {
    local pid=0001
    [ "$2" = download ] && pid=0002
    printf 'USB\\VID_1209&PID_%s\\VOSTREL%04d' "$pid" "$1"
}

# Writes a regedit script that takes the prefix from the cards of the last run ($1, a file of
# changes as bench-testbed passes them) to these ($2 ...). Only the cards that changed are touched,
# and the drivers' lists are rewritten in place, so a reader never sees an unchanged card go.
regedit_script() {
    local last=$1 change old card slot shape mcom dcom svc inst field
    shift
    local -A before=() list=()
    [ -f "$last" ] && while read -r change; do before[${change%%:*}]=$change; done <"$last"
    echo REGEDIT4
    for change in "$@"; do
        IFS=: read -r card slot shape mcom dcom <<<"$change"
        old=${before[$card]:-}
        if [ "$old" != "$change" ] && [ -n "$old" ]; then
            IFS=: read -r _ oslot oshape _ _ <<<"$old"
            while read -r svc inst field; do
                printf '\n[-%s\\%s]\n' "$enum" "$inst"
            done < <(instances "$oslot" "$oshape")
            [ "$oshape" = none ] || printf '\n[-%s\\%s]\n' "$enum" "$(parent_key "$card" "$oshape")"
        fi
        [ "$shape" = none ] && continue
        while read -r svc inst field; do
            list[$svc]+="$inst"$'\n'
            [ "$old" = "$change" ] && continue
            local com=$mcom
            [ "$field" = 5 ] && com=$dcom
            printf '\n[%s\\%s]\n"LocationInformation"="%s"\n' "$enum" "${inst//\\/\\}" "$(location "$slot")"
            printf '\n[%s\\%s\\Device Parameters]\n"PortName"="COM%s"\n' "$enum" "$inst" "$com"
        done < <(instances "$slot" "$shape")
        [ "$old" = "$change" ] && continue
        printf '\n[%s\\%s]\n"ParentIdPrefix"="7&C%s&0"\n"LocationInformation"="Port_#%04d.Hub_#0001"\n' \
            "$enum" "$(parent_key "$card" "$shape")" "$slot" $(( slot + 1 ))
    done
    for svc in "$mdm" "$ser"; do
        local n=0
        printf '\n[%s\\%s\\Enum]\n' "$services_key" "$svc"
        while read -r inst; do
            [ -n "$inst" ] || continue
            printf '"%d"="%s"\n' "$n" "${inst//\\/\\\\}"
            n=$((n + 1))
        done <<<"${list[$svc]:-}"
        printf '"Count"=dword:%08x\n' "$n"
        # The entries past the new end, once listed by a card that has gone.
        for ((; n < $#; n++)); do printf '"%d"=-\n' "$n"; done
    done
}

apply() {
    local out=${VOSTREL_BENCH_OUT:?} script
    script=$out/bench-registry.reg
    regedit_script "$out/bench-registry.last" "$@" >"$script"
    # Wine's Z: is the root of the Unix file system (asking winepath would start one more process).
    wine regedit /s "Z:${script//\//\\}" >>"$out/wine.log" 2>&1 </dev/null || return 1
    printf '%s\n' "$@" >"$out/bench-registry.last"
}

if [ "${1:-}" = --apply ]; then
    shift
    apply "$@"
    exit
fi

out=out
opts=()
while [ $# -gt 0 ]; do
    case $1 in
        --cards|--return-ms|--quiet-ms|--fault|--cardsim)
            [ $# -ge 2 ] || { echo "bench-wine: $1 needs a value" >&2; exit 2; }
            opts+=("$1" "$2"); shift 2 ;;
        --out) [ $# -ge 2 ] || { echo "bench-wine: --out needs a value" >&2; exit 2; }
            out=$2; shift 2 ;;
        --) shift; break ;;
        -h|--help) sed -n '2,15p' "$self" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench-wine: unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "bench-wine: no command given (see --help)" >&2; exit 2; }
testbed=${VOSTREL_BENCH_TESTBED:-$root/build/native/bench-testbed}
[ -x "$testbed" ] || { echo "bench-wine: not built: $testbed" >&2; exit 2; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/bench-registry.last"
"$root/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null
mkdir -p "$WINEPREFIX/dosdevices"
command=("$@")
case $1 in *.exe) command=(wine "$@") ;; esac

# The cards are gone with the bench: so is every key it wrote, the drivers' own keys and both
# shapes' device keys included, however the command ended. A prefix is then as it was before, and a
# later run (or a test that guards a real installation's entries) finds nothing of this one.
forget_bench() {
    local script=$out/bench-forget.reg
    {
        echo REGEDIT4
        printf '\n[-%s\\%s]\n' "$services_key" "$mdm" "$services_key" "$ser"
        printf '\n[-%s\\USB\\VID_1209&PID_%s]\n' "$enum" 0001 "$enum" 0002
        printf '\n[-%s\\USB\\VID_1209&PID_0001&MI_%s]\n' "$enum" 00 "$enum" 02
        printf '\n[-%s\\USB\\VID_1209&PID_0002&MI_00]\n' "$enum"
    } >"$script"
    wine regedit /s "Z:${script//\//\\}" >>"$out/wine.log" 2>&1 </dev/null || true
}
trap forget_bench EXIT
trap 'exit 130' INT TERM

status=0
"$testbed" --hook "$self" --com-dir "$WINEPREFIX/dosdevices" --first-com "${VOSTREL_FIRST_COM:-40}" \
    --out "$out" "${opts[@]}" -- "${command[@]}" || status=$?
exit $status
