#!/usr/bin/env bash
# The ceiling of cache hits under Wine. In one run, in the network namespaces of
# tests/support/e2e_env.sh, dnsperf asks the same cache hits with the same parameters of
#   (a) a Winsock program that answers every query with a fixed A record, one datagram at a time
#       (bench/winsock_responder.cpp, built here with MinGW): what any Windows program under Wine
#       can answer, and
#   (b) the real Quillforth.exe with its cache list open on a "DnsItem.csv" of 100,000 entries;
#       halfway through its run the window tool clicks the Hits and then the Domain header and
#       times each sort,
# alternately over the repetitions. Prints a markdown table with the ratio exe/responder.
#     sudo bench/wine_hits_bench.sh [--reps N] [--seconds S]
# QF_EXE and QF_WINDOW_TOOL name the programs (default: the build/mingw-x86_64 tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${QF_EXE:-$root/build/mingw-x86_64/app/Quillforth.exe}
tool=${QF_WINDOW_TOOL:-$root/build/mingw-x86_64/tests/app/qf_window_tool.exe}
mingw=x86_64-w64-mingw32-g++-posix
reps=3
seconds=10
entries=100000
names=10000
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        *) echo "usage: $0 [--reps N] [--seconds S]" >&2; exit 64 ;;
    esac
done
source "$root/tests/support/e2e_env.sh"
e2e_require
for need in dnsperf "$mingw"; do
    command -v "$need" >/dev/null || { echo "skipped: needs $need"; exit 77; }
done
if [ ! -f "$exe" ] || [ ! -f "$tool" ]; then
    echo "build the mingw-x86_64 tree first: $exe, $tool" >&2
    exit 1
fi
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
# The upstream answers only the probe's host: every query of the load is a cache hit.
e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" "$tool" \
    www.example.com=198.19.0.9
e2e_install_exe "$exe"
list=1000
responder=$work/responder/winsock_responder.exe
mkdir -p "$work/responder"
"$mingw" -std=c++20 -O2 -Wall -Wextra -Werror -static -o "$responder" \
    "$root/bench/winsock_responder.cpp" -lws2_32 || exit 1

# N entries host000000.scale.test ... with two addresses each (the first is 198.19.N/256.N%256),
# hits i % 1000 and a last hit time in 2025.
write_cache() {
    python3 - "$1" "$work/bin/DnsItem.csv" <<'EOF'
import sys
count, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w", newline="") as out:
    out.write("#Domain,IP,TTL,HITS,LASTHITDATE\r\n")
    for i in range(count):
        out.write("host%06d.scale.test,198.19.%d.%d|198.18.%d.%d,3600,%d,%d\r\n" % (
            i, i // 256 % 256, i % 256, i // 256 % 256, i % 256, i % 1000, 1750000000 + i * 60))
EOF
}
for i in $(seq 0 $((names - 1))); do printf 'host%06d.scale.test A\n' "$i"; done >"$work/queries.txt"

# dnsperf in the program's namespace with the parameters of both measurements, on a core of its
# own; its statistics go to the file.
load() {
    timeout -k 5 $((seconds + 30)) ip netns exec "$srv" taskset -c 1 dnsperf -s 127.0.0.1 -p 53 \
        -d "$work/queries.txt" -l "$seconds" -c 4 -q 100 -t 2 >"$1" 2>&1
}
# "QPS LOST_PCT" of a dnsperf log.
load_result() {
    python3 "$root/bench/benchtool.py" dnsperf "$1" |
        awk -F'\t' '{v[$1] = $2} END {printf "%s %s", v["qps"], v["lost_pct"]}'
}
# "yes" when NAME is answered with ADDRESS alone.
answers() {
    [ "$(query "$1" A | awk '{print $NF}')" == "$2" ] && echo yes || echo no
}
# Every process of the namespace (the Windows program or the responder, wineserver, Xvfb) on
# core 0, away from dnsperf: three busy processes left to the scheduler on two cores gave
# results that varied fivefold between runs of the same program.
pin_namespace() {
    ip netns pids "$srv" | xargs -r -n1 taskset -a -p -c 0 >/dev/null 2>&1
}
port53_free() {
    ! ip netns exec "$srv" ss -Hlun 'sport = :53' | grep -q .
}
# Every Windows process of the namespace whose command line names PATTERN is killed.
kill_windows_process() {
    ip netns pids "$srv" | xargs -r ps -o pid=,args= -p | grep -i "$1" | awk '{print $1}' |
        xargs -r kill -9 2>/dev/null
}

# One run of the responder: "responder QPS LOST_PCT ANSWERS_RIGHT - -".
measure_responder() {
    in_srv "$wine" "$responder" $((seconds + 90)) >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    local started=$!
    wait_serving || echo "responder does not answer" >&2
    pin_namespace
    local right
    right=$(answers host000042.scale.test 198.19.0.9)
    load "$work/responder.dnsperf"
    kill_windows_process 'winsock_responder\.exe'
    wait "$started" 2>/dev/null
    wait_until 10 port53_free || echo "port 53 still taken after the responder" >&2
    echo "responder $(load_result "$work/responder.dnsperf") $right - -"
}

# One run of Quillforth.exe on a fresh cache file of $entries entries, its list filled before the
# load: "exe QPS LOST_PCT ANSWERS_RIGHT SORT_HITS_MS SORT_DOMAIN_MS".
measure_exe() {
    write_cache "$entries"
    window waitrows "$caption" "$list" "$entries" 120 >/dev/null &
    local waiter=$!
    sleep 1
    window pointer 1020 760
    in_srv "$wine" "$work/bin/Quillforth.exe" >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    program=$!
    wait "$waiter"
    wait_serving || echo "Quillforth.exe does not answer" >&2
    pin_namespace
    local right sort_hits sort_domain
    right=$(answers host000042.scale.test 198.19.0.42)
    load "$work/exe.dnsperf" &
    local loader=$!
    sleep "$(awk -v s="$seconds" 'BEGIN {print s / 2}')"
    sort_hits=$(window header "$caption" "$list" 3)
    sort_domain=$(window header "$caption" "$list" 1)
    wait "$loader"
    window command "$caption" 32772
    [ "$(wait_ended "$program")" == ended ] || kill_program
    wait_until 10 port53_free || echo "port 53 still taken after Quillforth.exe" >&2
    echo "exe $(load_result "$work/exe.dnsperf") $right ${sort_hits:--} ${sort_domain:--}"
}

results=()
for rep in $(seq "$reps"); do
    # The order alternates, so that neither side always runs first.
    order="measure_responder measure_exe"
    [ $((rep % 2)) -eq 0 ] && order="measure_exe measure_responder"
    for step in $order; do
        line=$($step)
        echo "rep $rep: $line" >&2
        results+=("$rep $line")
    done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

echo "- Load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
echo "- dnsperf -c 4 -q 100 -t 2 for $seconds s over $names cached names, in the program's" \
    "namespace, on CPU 1; the program or the responder, wineserver and Xvfb on CPU 0;" \
    "$reps repetition(s), the order alternating"
echo
printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
runs = {}
for line in sys.stdin:
    rep, kind, *values = line.split()
    runs.setdefault(kind, {})[int(rep)] = values
def numbers(kind, column):
    out = []
    for _, run in sorted(runs.get(kind, {}).items()):
        try:
            out.append(float(run[column]))
        except (IndexError, ValueError):
            pass
    return out
def cell(kind, column, digits):
    values = numbers(kind, column)
    if not values:
        return "–"
    every = ", ".join("%.*f" % (digits, v) for v in values)
    return "%.*f [%s]" % (digits, statistics.median(values), every)
def words(kind, column):
    return ", ".join(run[column] for _, run in sorted(runs.get(kind, {}).items())) or "–"
print("| Cache hits under Wine (median, all runs in brackets) | Winsock responder "
      "| Quillforth.exe, list open, %s entries |" % "{:,}".format(int(sys.argv[1])))
print("|---|---:|---:|")
print("| cache hits per second (dnsperf) | %s | %s |" % (cell("responder", 0, 0), cell("exe", 0, 0)))
print("| lost %% | %s | %s |" % (cell("responder", 1, 2), cell("exe", 1, 2)))
print("| answer right (dig) | %s | %s |" % (words("responder", 2), words("exe", 2)))
print("| header click during the hits, sort by Hits (ms) | – | %s |" % cell("exe", 3, 0))
print("| header click during the hits, sort by Domain (ms) | – | %s |" % cell("exe", 4, 0))
exe, responder = runs.get("exe", {}), runs.get("responder", {})
ratios = []
for rep in sorted(exe):
    try:
        ratios.append(float(exe[rep][0]) / float(responder[rep][0]))
    except (KeyError, ValueError, ZeroDivisionError):
        pass
print()
if ratios:
    print("Ratio exe/responder, cache hits per second: %.2f (per repetition: %s)"
          % (statistics.median(ratios), ", ".join("%.2f" % r for r in ratios)))
else:
    print("Ratio exe/responder: none (a side gave no figure)")
' "$entries"
e2e_finish >/dev/null
