#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz into build-fuzz/ (clang 14,
# AddressSanitizer, UndefinedBehaviorSanitizer, leak detection) and runs each
# over a fresh copy of its seed corpus (tests/fuzz/corpus/<target>/, which is
# never written to): every seed once, whole, then inputs of up to 4096 bytes
# until --seconds have passed or --runs inputs have run, whichever comes
# first. A finding (crash, leak, timeout or out-of-memory) is
# printed, and its input saved under build-fuzz/findings/<target>/. The last
# lines are one per target: executions, seconds, executions per second and
# findings. Exits non-zero when any target found something or failed to run.
#
# usage: scripts/fuzz.sh [--seconds N] [--runs N] [--parallel N] [target...]
#   --seconds N   time per target (default 60)
#   --runs N      at most N executions per target (default: no limit)
#   --parallel N  targets fuzzed at the same time (default 1)
#   target        fuzz_<what> names (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
runs=""
parallel=1
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --runs) runs="$2"; shift 2 ;;
        --parallel) parallel="$2"; shift 2 ;;
        -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done
for n in "$seconds" "${runs:-1}" "$parallel"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: not a positive number: $n" >&2; exit 2; }
done

# The tree also builds the unit tests under the same sanitizers when asked
# for (ninja -C build-fuzz kelvo_unit_tests; CI runs them from here).
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DKELVO_FUZZ=ON -DKELVO_TESTS=ON >/dev/null
if [ ${#targets[@]} -eq 0 ]; then
    for source in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
for t in "${targets[@]}"; do
    [ -f "tests/fuzz/$t.cpp" ] || { echo "fuzz.sh: no such target: $t" >&2; exit 2; }
done
ninja -C "$build" "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/logs"
results=$(mktemp -d "$build/fuzz-results.XXXXXX")
trap 'rm -rf "$results"' EXIT

# Runs one target; its summary line goes to $results/<target>.
fuzz_one() {
    local t="$1"
    local corpus="$build/corpus/$t" findings="$build/findings/$t" log="$build/logs/$t.log"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$findings"
    if [ -d "tests/fuzz/corpus/$t" ]; then cp -R "tests/fuzz/corpus/$t/." "$corpus/"; fi
    local before
    before=$(ls -A "$findings")
    local common=(-timeout=10 -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1
                  -artifact_prefix="$findings/")
    local start end status=0
    start=$(date +%s.%N)
    # Every seed once, whole: a regression input may be longer than the
    # fuzzing limit below.
    "$build/tests/fuzz/$t" "${common[@]}" -runs=0 "$corpus" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        # Left to itself libFuzzer would mutate inputs as long as the longest
        # seed, which makes every execution slow.
        local options=("${common[@]}" -max_len=4096 -max_total_time="$seconds")
        [ -n "$runs" ] && options+=(-runs="$runs")
        "$build/tests/fuzz/$t" "${options[@]}" "$corpus" >>"$log" 2>&1 || status=$?
    fi
    end=$(date +%s.%N)

    local execs new crashes=0 leaks=0 timeouts=0 ooms=0 f
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    new=$(comm -13 <(printf '%s\n' "$before" | sort) <(ls -A "$findings" | sort) | sed '/^$/d')
    for f in $new; do
        case "$f" in
            leak-*) leaks=$((leaks + 1)) ;;
            timeout-*|slow-unit-*) timeouts=$((timeouts + 1)) ;;
            oom-*) ooms=$((ooms + 1)) ;;
            *) crashes=$((crashes + 1)) ;;
        esac
    done
    if [ -n "$new" ]; then
        echo "=== $t: finding(s) in $findings/: $(echo $new)"
        # The report: from the first sanitizer or libFuzzer error line on.
        sed -n '/^==[0-9]*==\|^[^ ]*: check failed\|runtime error:\|^ALARM\|ERROR: libFuzzer/,$p' "$log" |
            grep -v '^#[0-9]*\s*\(NEW\|REDUCE\|pulse\)' | head -n 80
        echo "=== (whole log: $log)"
    elif [ "$status" -ne 0 ] || [ -z "$execs" ]; then
        echo "=== $t: the fuzzer failed (exit $status) without a finding; log: $log"
        tail -n 20 "$log"
        crashes=$((crashes + 1))
    fi
    awk -v t="$t" -v x="${execs:-0}" -v s="$start" -v e="$end" \
        -v c="$crashes" -v l="$leaks" -v o="$timeouts" -v m="$ooms" 'BEGIN {
            d = e - s; if (d <= 0) d = 0.001
            printf "%-22s %12d %8.1f %10d %7d %7d %9d %6d\n", t, x, d, x / d, c, l, o, m
        }' >"$results/$t"
}

running=0
for t in "${targets[@]}"; do
    echo "fuzz.sh: $t for ${seconds} s${runs:+ or $runs runs}"
    fuzz_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$parallel" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

printf "%-22s %12s %8s %10s %7s %7s %9s %6s\n" \
    target executions seconds "exec/s" crashes leaks timeouts ooms
found=0
for t in "${targets[@]}"; do
    if [ -f "$results/$t" ]; then
        cat "$results/$t"
        read -r _ _ _ _ c l o m <"$results/$t"
        [ $((c + l + o + m)) -eq 0 ] || found=1
    else
        echo "$t: no result"
        found=1
    fi
done
if [ "$found" -ne 0 ]; then
    echo "fuzz.sh: findings above (inputs under $build/findings/)"
    exit 1
fi
echo "fuzz.sh: no findings"
