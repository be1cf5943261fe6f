# The driver entries that a plugged-in composite USB data card leaves in the registry, written the
# way Windows writes them: every serial interface is a device of its own under the card's USB ids
# with "&MI_<interface>", and the instances of one card share a parent prefix ("7&C0&0"), which is
# how the programs group ports into cards. Sourced by scripts/run.sh, scripts/cli-demo.sh and
# tests/e2e/lib.sh, so that every prefix the project fills shows the same card the same way.

# pid.codes' test ids: a vendor id and product id reserved for testing, carried by no product, so a
# real card is never taken for the simulated one (nor the other way round).
VOSTREL_CARD_USB='USB\VID_1209&PID_0001'
VOSTREL_CARD_USB_ID='1209:0001'

# The interface a driver serves on the card: the modem on 2, the diagnostic port on 0, the AT port
# (the NMEA driver's) on 3.
vostrel_card_interface() {
    case $1 in
        *mdm*) echo 02 ;;
        *ser*|*diag*) echo 00 ;;
        *) echo 03 ;;
    esac
}

# The instance path of a driver's port on card CARD (a small number): vostrel_card_instance CARD SERVICE
vostrel_card_instance() {
    local mi
    mi=$(vostrel_card_interface "$2")
    printf '%s&MI_%s\\7&C%s&0&00%s' "$VOSTREL_CARD_USB" "$mi" "$1" "$mi"
}

# Where card CARD is plugged in, as Windows writes an interface's LocationInformation: the nine-field
# topology address (PCI bus.device.function of the controller 0:14.0, root port 1, then the hub
# port CARD+1): vostrel_card_location 0 prints 0000.0014.0000.001.001.000.000.000.000
vostrel_card_location() {
    printf '0000.0014.0000.001.%03d.000.000.000.000\n' $(( $1 + 1 ))
}

# The card's USB device key below Enum: the key name is its serial number, its ParentIdPrefix the
# prefix its interfaces share, its LocationInformation the hub port.
vostrel_card_device() {
    printf '%s\\VOSTREL%04d' "$VOSTREL_CARD_USB" "$1"
}

# Prints a regedit script that lists the given ports, each "CARD SERVICE COM" as three arguments:
# vostrel_card_reg 0 YARLOusbmdm6k 5 0 YARLOusbser6k 6. Each service named lists exactly these
# instances afterwards (its earlier list is replaced).
vostrel_card_reg() {
    local -A count=()
    local -a services=() lines=()
    local card svc com inst
    echo REGEDIT4
    while [ $# -ge 3 ]; do
        card=$1 svc=$2 com=$3
        shift 3
        inst=$(vostrel_card_instance "$card" "$svc")
        if [ -z "${count[$svc]+set}" ]; then
            count[$svc]=0
            services+=("$svc")
        fi
        lines+=("$svc" "\"${count[$svc]}\"=\"${inst//\\/\\\\}\"")
        count[$svc]=$(( count[$svc] + 1 ))
        echo
        echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$inst]"
        echo "\"LocationInformation\"=\"$(vostrel_card_location "$card")\""
        echo
        echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$inst\\Device Parameters]"
        echo "\"PortName\"=\"COM$com\""
        echo
        echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$(vostrel_card_device "$card")]"
        echo "\"ParentIdPrefix\"=\"7&C$card&0\""
        printf '"LocationInformation"="Port_#%04d.Hub_#0001"\n' $(( card + 1 ))
    done
    local i
    for svc in "${services[@]}"; do
        echo
        echo "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Enum]"
        echo "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\$svc\\Enum]"
        printf '"Count"=dword:%08x\n' "${count[$svc]}"
        for ((i = 0; i < ${#lines[@]}; i += 2)); do
            [ "${lines[i]}" = "$svc" ] && echo "${lines[i + 1]}"
        done
    done
}

# Prints a regedit script that removes the services named and every instance and device of the card's ids.
vostrel_card_unreg() {
    local svc mi
    echo REGEDIT4
    for svc in "$@"; do
        echo
        echo "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\$svc]"
    done
    for mi in 00 02 03; do
        echo
        echo "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$VOSTREL_CARD_USB&MI_$mi]"
    done
    echo
    echo "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$VOSTREL_CARD_USB]"
}
