#!/usr/bin/env bash
# Runs every test program of the given build trees N times, as CI runs them (two at once; the
# Windows ones one on each of the tree's two Wine prefixes), and prints a table: program, runs, failures, and the first
# failure's last lines. A test that fails now and then shows here; the goal is no failure at all.
# Not part of CI: a run with N = 20 over the four trees takes hours.
#
# usage: scripts/flake-hunt.sh [N] [-R REGEX] [native|asan|tsan|windows ...]   (default: 20, all four)
# -R runs only the test programs whose names match (as ctest -R), so that the programs whose outcome
# depends on timing can be run more often than the rest.
# The trees are those scripts/test.sh builds (build/<tree>); a tree not built yet is built first.
# Each round's JUnit report and output stay in build/flake-hunt/<tree>/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

rounds=20
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
    rounds=$1
    shift
fi
[ "$rounds" -ge 1 ] || { echo "flake-hunt: N must be at least 1" >&2; exit 2; }
select=()
if [ "${1:-}" = -R ]; then
    [ $# -ge 2 ] || { echo "flake-hunt: -R needs a regular expression" >&2; exit 2; }
    select=(-R "$2")
    shift 2
fi
trees=("$@")
[ ${#trees[@]} -eq 0 ] && trees=(native asan tsan windows)

# The sanitizers' settings, as scripts/test.sh sets them.
sanitizer_env() {
    case $1 in
        asan) echo "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1" ;;
        tsan) echo "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1" ;;
    esac
}

status=0
summary=$(mktemp)
for tree in "${trees[@]}"; do
    case $tree in native|asan|tsan|windows) ;; *) echo "flake-hunt: unknown tree: $tree" >&2; exit 2 ;; esac
    dir=build/$tree
    if [ ! -f "$dir/CTestTestfile.cmake" ]; then
        scripts/test.sh --build-only "$tree" || { echo "flake-hunt: could not build $tree" >&2; exit 1; }
    fi
    jobs=2
    out=build/flake-hunt/$tree
    rm -rf "$out"
    mkdir -p "$out"
    for ((i = 1; i <= rounds; i++)); do
        echo "=== flake-hunt: $tree round $i of $rounds"
        (cd "$dir" && env $(sanitizer_env "$tree") ctest -j "$jobs" "${select[@]}" --timeout 600 --output-on-failure \
            --output-junit "$root/$out/round-$i.xml" >"$root/$out/round-$i.log" 2>&1)
        grep -E '^\s*[0-9]+/[0-9]+ Test' "$out/round-$i.log" | grep -vE ' Passed ' || true
    done
    python3 - "$tree" "$out" "$rounds" >>"$summary" <<'EOF' || status=1
import glob, sys, xml.etree.ElementTree as ET
tree, out, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
runs, fails, first = {}, {}, {}
for i in range(1, rounds + 1):
    try:
        cases = ET.parse(f"{out}/round-{i}.xml").getroot().iter("testcase")
    except (OSError, ET.ParseError):
        continue
    for case in cases:
        name = case.get("name")
        runs[name] = runs.get(name, 0) + 1
        failure = case.find("failure")
        if case.get("status") == "fail" or failure is not None:
            fails[name] = fails.get(name, 0) + 1
            if name not in first:
                text = (case.findtext("system-out") or (failure.get("message") if failure is not None else "") or "")
                lines = [l for l in text.strip().splitlines() if l.strip()]
                first[name] = f"round {i}: " + " | ".join(lines[-3:])[:200]
bad = 0
for name in sorted(runs):
    print(f"{tree}\t{name}\t{runs[name]}\t{fails.get(name, 0)}\t{first.get(name, '')}")
    bad += fails.get(name, 0)
sys.exit(1 if bad else 0)
EOF
done

echo
printf '%-8s %-28s %5s %8s  %s\n' tree program runs failures "first failure"
while IFS=$'\t' read -r tree name runs fails first; do
    printf '%-8s %-28s %5s %8s  %s\n' "$tree" "$name" "$runs" "$fails" "$first"
done <"$summary"
rm -f "$summary"
exit $status
