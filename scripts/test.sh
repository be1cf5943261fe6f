#!/usr/bin/env bash
# Runs every test: the native build (plain, under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer) and the Windows build under Wine, with its end-to-end scenarios.
# Installs what it needs first. Usage: scripts/test.sh [native|asan|tsan|windows ...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh || { echo "could not install the build dependencies" >&2; exit 1; }

builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(native asan tsan windows)

passed=0
failed=0
failures=()

run_ctest() {   # build-dir label
    local dir=$1 label=$2 log
    log=$(mktemp)
    (cd "$dir" && ctest --output-on-failure --timeout 600 2>&1) | tee "$log"
    local p f
    p=$(grep -cE '^\s*[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed' "$log")
    f=$(grep -cE '^\s*[0-9]+/[0-9]+ Test +#[0-9]+: .*(\*\*\*|Failed|Not Run|Timeout)' "$log")
    passed=$((passed + p))
    failed=$((failed + f))
    [ "$f" -gt 0 ] && failures+=("$label")
    rm -f "$log"
    # Each ctest entry is a whole test program; say how many test cases they ran.
    local cases
    cases=$(grep -hoE '^\[  PASSED  \] [0-9]+ test' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null |
        awk '{ n += $4 } END { print n + 0 }')
    echo "=== $label: $p test programs passed, $f failed ($cases test cases passed)"
}

dir_of() {
    case $1 in
        native) echo native ;;
        native-asan) echo asan ;;
        native-tsan) echo tsan ;;
        windows) echo windows ;;
    esac
}

configure_and_build() {   # preset label [extra cmake args...]
    local preset=$1 label=$2
    shift 2
    local dir="build/$(dir_of "$preset")"
    echo "=== $label: build ($dir)"
    if ! cmake --preset "$preset" "$@" >/dev/null || ! cmake --build "$dir"; then
        echo "=== $label: BUILD FAILED"
        failed=$((failed + 1))
        failures+=("$label build")
        return 1
    fi
}

for b in "${builds[@]}"; do
    case $b in
        native)
            configure_and_build native native && run_ctest build/native native ;;
        asan)
            export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
            configure_and_build native-asan asan && run_ctest build/asan asan ;;
        tsan)
            export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
            configure_and_build native-tsan tsan && run_ctest build/tsan tsan ;;
        windows)
            # The Windows tests talk to the simulated card, which is a native program.
            if [ ! -x build/native/cardsim ]; then
                configure_and_build native native || continue
            fi
            configure_and_build windows windows -DVOSTREL_CARDSIM="$root/build/native/cardsim" &&
                run_ctest build/windows windows ;;
        *)
            echo "unknown build: $b" >&2
            exit 2 ;;
    esac
done

echo
[ ${#failures[@]} -gt 0 ] && echo "failing: ${failures[*]}"
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
