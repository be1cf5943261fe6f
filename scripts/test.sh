#!/usr/bin/env bash
# Runs every test: the native build (plain, under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer), the libFuzzer targets for a bounded time each (FUZZ_SECONDS, default 15,
# at most 60), the Windows build under Wine, with its end-to-end scenarios, and the packages
# (scripts/package.sh, then tests/package/check-packages.sh).
# Installs what it needs first, and ends with each stage's time.
# Usage: scripts/test.sh [--build-only] [native|asan|tsan|fuzz|windows|package ...]
#
# The tests spend most of their time waiting (on Wine, on simulated cards, on timeouts) and the builds
# keep both cores busy, so tests run beside builds: the plain tests as soon as the plain tree is
# built, each sanitizer tree's tests beside the next build, the package checks once the plain and
# Windows trees are built, and once every tree is built, the Windows tests, beside the sanitizer
# trees' tests. Lines of the tests
# that run beside are shown as they come, each behind its stage's name ("[windows] ...").
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_only=0
if [ "${1:-}" = --build-only ]; then
    build_only=1
    shift
fi
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(native asan tsan fuzz windows package)
for b in "${builds[@]}"; do
    case $b in native|asan|tsan|fuzz|windows|package) ;; *) echo "unknown build: $b" >&2; exit 2 ;; esac
done
want() { [[ " ${builds[*]} " == *" $1 "* ]]; }

# The tallies live in files, so that every lane adds to them: "LABEL PASSED FAILED" lines, and
# "LABEL SECONDS" lines for the stage times.
tally=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-test.XXXXXX")
trap 'rm -rf "$tally"' EXIT
script_start=$SECONDS
export VOSTREL_APT_STAMP=$tally/apt-updated

count() { echo "$1 $2 $3" >>"$tally/counts"; }   # LABEL PASSED FAILED

# Runs one stage and notes its time: timed LABEL COMMAND...
timed() {
    local label=$1 start=$SECONDS status
    shift
    "$@"
    status=$?
    printf '%-16s %4d s\n' "$label" $((SECONDS - start)) >>"$tally/times"
    return $status
}

run_ctest() {   # build-dir label
    local dir=$1 label=$2 log
    log=$(mktemp)
    # Test programs spend most of their time waiting (on cards, timeouts, a settling bench, Wine):
    # two at once keep both cores busy. The Windows ones take turns on the build's two Wine prefixes.
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j 2 2>&1) | tee "$log"
    local p f
    p=$(grep -cE '^\s*[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed' "$log")
    f=$(grep -cE '^\s*[0-9]+/[0-9]+ Test +#[0-9]+: .*(\*\*\*|Failed|Not Run|Timeout)' "$log")
    count "$label" "$p" "$f"
    rm -f "$log"
    # Each ctest entry is a whole test program; say how many test cases they ran.
    local cases
    cases=$(grep -hoE '^\[  PASSED  \] [0-9]+ test' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null |
        awk '{ n += $4 } END { print n + 0 }')
    echo "=== $label: $p test programs passed, $f failed ($cases test cases passed)"
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
    count fuzz "$p" "$f"
    echo "=== fuzz: $p fuzz targets passed, $f failed"
}

configure_and_build() {   # preset label [extra cmake args...]
    local preset=$1 label=$2
    shift 2
    local dir
    case $preset in native-asan) dir=build/asan ;; native-tsan) dir=build/tsan ;; *) dir=build/$preset ;; esac
    echo "=== $label: build ($dir)"
    if ! cmake --preset "$preset" "$@" >/dev/null || ! cmake --build "$dir"; then
        echo "=== $label: BUILD FAILED"
        count "$label build" 0 1
        return 1
    fi
}

# Makes the packages and checks them; each group of checks counts as one test.
run_package_checks() {
    local log p f
    echo "=== package: build (scripts/package.sh)"
    if ! scripts/package.sh; then
        echo "=== package: BUILD FAILED"
        count "package build" 0 1
        return 1
    fi
    log=$(mktemp)
    tests/package/check-packages.sh 2>&1 | tee "$log"
    p=$(grep -c '^PASS: ' "$log")
    f=$(grep -c '^FAIL: ' "$log")
    count package "$p" "$f"
    rm -f "$log"
    echo "=== package: $p check groups passed, $f failed"
}

# What the native builds need is installed first; the rest (mingw-w64, Wine, clang, the package
# tools) beside the native build, and waited for by the stage that needs it.
timed install scripts/install-deps.sh native || { echo "could not install the build dependencies" >&2; exit 1; }
rest=()
{ want windows || want package; } && rest+=(windows)
want package && rest+=(package)
want fuzz && rest+=(fuzz)
rest_pid=
if [ ${#rest[@]} -gt 0 ]; then
    timed "install, beside" scripts/install-deps.sh "${rest[@]}" >"$tally/install-rest.log" 2>&1 &
    rest_pid=$!
fi
rest_installed() {
    [ -z "$rest_pid" ] && return 0
    wait "$rest_pid" 2>/dev/null
    local status=$?
    rest_pid=
    [ "$status" -eq 0 ] && return 0
    cat "$tally/install-rest.log"
    echo "could not install the build dependencies (${rest[*]})" >&2
    count "install" 0 1
    return 1
}

# The plain tree first: the Windows tests talk to its simulated card, and the packages hold its
# command line. Then the Windows tree, so that its tests can start.
native_built=0
if want native || want windows || want package; then
    timed "native build" configure_and_build native native && native_built=1
fi
native_pid=
if [ "$build_only" -eq 0 ] && want native && [ "$native_built" -eq 1 ]; then
    timed "native tests" run_ctest build/native native 2>&1 | sed -u 's/^/[native] /' &
    native_pid=$!
fi
windows_built=0
rest_ok=1
rest_installed || rest_ok=0
if [ "$native_built" -eq 1 ] && [ "$rest_ok" -eq 1 ] && { want windows || want package; }; then
    timed "windows build" configure_and_build windows windows -DVOSTREL_CARDSIM="$root/build/native/cardsim" &&
        windows_built=1
fi

# The packages are made and checked as soon as both trees they hold are built: the checks keep no
# deadline and run Wine in a prefix and on a display of their own, so they go beside the builds.
package_pid=
if [ "$build_only" -eq 0 ] && want package && [ "$native_built" -eq 1 ] && [ "$windows_built" -eq 1 ]; then
    timed package run_package_checks 2>&1 | sed -u 's/^/[package] /' &
    package_pid=$!
fi
# The fuzz tree, then the sanitizer trees, one after the other, each one's tests beside the next
# one's build: the tests mostly wait (the fuzzers keep one core busy), the builds keep both busy.
sanitizer_pids=()
beside() {   # LABEL: the tests of a built tree, in the background, their lines behind the label
    local label=$1
    shift
    [ "$build_only" -eq 1 ] && return
    timed "$label tests" "$@" 2>&1 | sed -u "s/^/[$label] /" &
    sanitizer_pids+=($!)
}
if want fuzz && [ "$rest_ok" -eq 1 ]; then
    timed "fuzz build" configure_and_build fuzz fuzz && beside fuzz run_fuzzers build/fuzz
fi
if want asan; then
    timed "asan build" configure_and_build native-asan asan &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        beside asan run_ctest build/asan asan
fi
if want tsan; then
    timed "tsan build" configure_and_build native-tsan tsan &&
        TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 beside tsan run_ctest build/tsan tsan
fi
# The Windows scenarios drive Wine's windows with deadlines of seconds: beside a sanitizer build (a
# load of ten and more) two of them failed now and then, and passed on a quiet machine. So they
# start once every tree is built, beside the sanitizer trees' tests only.
windows_pid=
if [ "$build_only" -eq 0 ] && want windows && [ "$windows_built" -eq 1 ]; then
    timed "windows tests" run_ctest build/windows windows 2>&1 | sed -u 's/^/[windows] /' &
    windows_pid=$!
fi
for pid in "${sanitizer_pids[@]}" $native_pid $package_pid $windows_pid; do wait "$pid"; done

echo
echo "stage times (the installs and tests beside overlap the builds):"
sed 's/^/  /' "$tally/times" 2>/dev/null
printf '  %-16s %4d s\n' total $((SECONDS - script_start))
read -r passed failed < <(awk '{ p += $(NF - 1); f += $NF } END { print p + 0, f + 0 }' "$tally/counts" 2>/dev/null || echo 0 0)
failing=$(awk '$NF > 0 { $NF = ""; $(NF - 1) = ""; print }' "$tally/counts" 2>/dev/null | xargs)
[ -n "$failing" ] && echo "failing: $failing"
if [ "$build_only" -eq 1 ]; then
    [ "$failed" -eq 0 ]
    exit
fi
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
