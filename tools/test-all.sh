#!/usr/bin/env bash
# Installs what is missing, builds every tree and runs every test: the format check, the check
# that includes point only downwards, the native suite plain and under ASan+UBSan and TSan, the
# fuzz target for a bounded time, and the Windows suite under Wine. Ends with one summary line;
# exits non-zero when anything failed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
fuzz_seconds=${QF_FUZZ_SECONDS:-60}
export WINEDEBUG=-all

"$root/tools/install-deps.sh" || exit 1

passed=0
failed=0
failures=()
logs="$root/build/test-logs"
mkdir -p "$logs"

# record NAME STATUS: counts a check that is not a CTest run.
record() {
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$1")
    fi
}

# run_ctest TREE [ctest args...]: runs a tree's tests and adds its counts to the totals.
run_ctest() {
    local tree=$1
    shift
    echo "== test $tree"
    local log="$logs/$tree.log"
    ctest --test-dir "$root/build/$tree" --output-on-failure --timeout 300 "$@" 2>&1 | tee "$log" |
        grep -E '^(.*\*\*\*|[0-9]+% tests passed|The following tests FAILED|\s+[0-9]+ - )' || true
    local summary
    summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$summary" ]; then
        record "$tree (no CTest summary)" 1
        return
    fi
    local total fails
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    fails=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - fails))
    failed=$((failed + fails))
    [ "$fails" -eq 0 ] || failures+=("$tree: $fails failed")
}

build() {
    if ! "$root/tools/build.sh" "$1" >"$logs/build-$1.log" 2>&1; then
        tail -40 "$logs/build-$1.log"
        record "build $1" 1
        return 1
    fi
    echo "== built $1"
}

echo "== format check"
mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.h' '*.cpp')
if clang-format --dry-run --Werror "${sources[@]}" 2>"$logs/format.log"; then
    record format 0
else
    head -40 "$logs/format.log"
    record format 1
fi

echo "== include check"
if "$root/tools/check-includes.sh" >"$logs/includes.log" 2>&1; then
    record includes 0
else
    head -40 "$logs/includes.log"
    record includes 1
fi

build native && run_ctest native -j2
build asan && run_ctest asan -j2
build tsan && run_ctest tsan -j2
# Windows tests open real windows: without a display of our own, give them a virtual one.
start_virtual_display() {
    [ -z "${DISPLAY:-}" ] || return 0
    local display=:${QF_XVFB_DISPLAY:-97}
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
    xvfb_pid=$!
    trap 'kill $xvfb_pid 2>/dev/null' EXIT
    export DISPLAY=$display
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "Xvfb did not start on $display" >&2
}

build mingw-x86_64 && start_virtual_display && "$root/tools/wine-template" >/dev/null &&
    run_ctest mingw-x86_64 -j2
build mingw-i686

# fuzz TARGET SECONDS: fuzzes a target from its committed corpus; what the fuzzer adds stays in a
# temporary folder. Prints the fuzzer's summary and returns its status: a crash, a hang or a
# sanitizer report fails the check.
fuzz() {
    local target=$1 seconds=$2
    echo "== fuzz $target for ${seconds}s"
    local work
    work=$(mktemp -d)
    cp "$root/fuzz/corpus/$target"/* "$work/"
    "$root/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -artifact_prefix="$logs/$target-" -print_final_stats=1 "$work" >"$logs/fuzz-$target.log" 2>&1
    local status=$?
    grep -E '^(Done|stat::number_of_executed_units)|ERROR|SUMMARY' "$logs/fuzz-$target.log" | head -20
    rm -rf "$work"
    return "$status"
}

# Each fuzzer keeps one core busy: the codec fuzzes on one core while the cache file and then the
# TCP framing fuzz on the other, so the two cores finish together.
if build fuzz; then
    fuzz dns_codec "$fuzz_seconds" >"$logs/fuzz-dns_codec.summary" 2>&1 &
    codec_fuzzer=$!
    fuzz cache_file $((fuzz_seconds / 2))
    record "fuzz cache_file" $?
    fuzz tcp_framing $((fuzz_seconds / 2))
    record "fuzz tcp_framing" $?
    wait "$codec_fuzzer"
    codec_status=$?
    cat "$logs/fuzz-dns_codec.summary"
    record "fuzz dns_codec" "$codec_status"
fi

echo
if [ ${#failures[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
