#!/usr/bin/env bash
# Runs every test: the native build (plain, under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer), the libFuzzer targets for a bounded time each (FUZZ_SECONDS, default 15,
# at most 60), the Windows build under Wine, with its end-to-end scenarios, and the packages
# (scripts/package.sh, then tests/package/check-packages.sh).
# Installs what it needs first, and ends with each stage's time.
# Usage: scripts/test.sh [--build-only] [native|asan|tsan|fuzz|windows|package ...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh || { echo "could not install the build dependencies" >&2; exit 1; }

build_only=0
if [ "${1:-}" = --build-only ]; then
    build_only=1
    shift
fi
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(native asan tsan fuzz windows package)

passed=0
failed=0
failures=()
stage_times=()
script_start=$SECONDS

# Runs one stage and notes its time: timed LABEL COMMAND...
timed() {
    local label=$1 start=$SECONDS
    shift
    "$@"
    local status=$?
    stage_times+=("$(printf '%-16s %4d s' "$label" $((SECONDS - start)))")
    return $status
}

run_ctest() {   # build-dir label
    local dir=$1 label=$2 log
    log=$(mktemp)
    # Native test programs spend most of their time waiting (on cards, timeouts, a settling bench):
    # two at once keep both cores busy. The Windows ones share a Wine display and run one by one.
    local jobs=2
    [ "$label" = windows ] && jobs=1
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs" 2>&1) | tee "$log"
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
        fuzz) echo fuzz ;;
        windows) echo windows ;;
    esac
}

# Each fuzz target counts as one test. It runs on an empty output corpus in a temporary directory
# with the committed seeds as a second, read-only corpus, so the run never writes into the tree; a
# failing target's directory is kept and its crash input named.
run_fuzzers() {   # build-dir
    local dir=$1 seconds=${FUZZ_SECONDS:-15} p=0 f=0 target work crash
    [[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -ge 1 ] || seconds=15
    [ "$seconds" -gt 60 ] && seconds=60
    for target in ExtractAnswerFuzz PortNameFuzz DiscoveryFuzz; do
        work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-fuzz-$target.XXXXXX")
        mkdir "$work/corpus" "$work/artifacts"
        if (cd "$work" && timeout $((seconds + 120)) "$root/$dir/fuzz/$target" -max_total_time="$seconds" \
                -timeout=10 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
                corpus "$root/fuzz/corpus/$target" >"$work/log" 2>&1); then
            p=$((p + 1))
            echo "=== fuzz: $target passed ($(grep -oE 'number_of_executed_units: *[0-9]+' "$work/log" |
                grep -oE '[0-9]+$') runs in ${seconds} s, $(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -n 1))"
            rm -rf "$work"
        else
            f=$((f + 1))
            tail -n 40 "$work/log"
            crash=$(find "$work/artifacts" -type f | head -n 1)
            echo "=== fuzz: $target FAILED; crash input: ${crash:-none written}; log: $work/log"
        fi
    done
    passed=$((passed + p))
    failed=$((failed + f))
    [ "$f" -gt 0 ] && failures+=("fuzz")
    echo "=== fuzz: $p fuzz targets passed, $f failed"
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

# Makes the packages and checks them; each group of checks counts as one test.
run_package_checks() {
    local log p f
    echo "=== package: build (scripts/package.sh)"
    if ! scripts/package.sh; then
        echo "=== package: BUILD FAILED"
        failed=$((failed + 1))
        failures+=("package build")
        return 1
    fi
    log=$(mktemp)
    tests/package/check-packages.sh 2>&1 | tee "$log"
    p=$(grep -c '^PASS: ' "$log")
    f=$(grep -c '^FAIL: ' "$log")
    passed=$((passed + p))
    failed=$((failed + f))
    [ "$f" -gt 0 ] && failures+=("package")
    rm -f "$log"
    echo "=== package: $p check groups passed, $f failed"
}

# Builds a tree, then (unless --build-only) runs its tests: stage PRESET LABEL TEST-COMMAND [ARGS...]
# (cmake_extra holds more arguments for the tree's configuration.)
cmake_extra=()
stage() {
    local preset=$1 label=$2
    shift 2
    timed "$label build" configure_and_build "$preset" "$label" "${cmake_extra[@]}" || return 1
    [ "$build_only" -eq 1 ] || timed "$label tests" "$@"
}

for b in "${builds[@]}"; do
    case $b in
        native)
            stage native native run_ctest build/native native ;;
        asan)
            export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
            stage native-asan asan run_ctest build/asan asan ;;
        tsan)
            export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
            stage native-tsan tsan run_ctest build/tsan tsan ;;
        fuzz)
            stage fuzz fuzz run_fuzzers build/fuzz ;;
        windows)
            # The Windows tests talk to the simulated card, which is a native program.
            if [ ! -x build/native/cardsim ]; then
                timed "native build" configure_and_build native native || continue
            fi
            cmake_extra=(-DVOSTREL_CARDSIM="$root/build/native/cardsim")
            stage windows windows run_ctest build/windows windows
            cmake_extra=() ;;
        package)
            [ "$build_only" -eq 1 ] || timed package run_package_checks ;;
        *)
            echo "unknown build: $b" >&2
            exit 2 ;;
    esac
done

echo
echo "stage times:"
printf '  %s\n' "${stage_times[@]}"
printf '  %-16s %4d s\n' total $((SECONDS - script_start))
[ ${#failures[@]} -gt 0 ] && echo "failing: ${failures[*]}"
[ "$build_only" -eq 1 ] && { [ "$failed" -eq 0 ]; exit; }
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
