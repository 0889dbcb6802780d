#!/usr/bin/env bash
# The cache list at scale: the real Quillforth.exe under Wine, started on a "DnsItem.csv" of
# 100 entries and of 100,000, alternately, in the network namespaces of tests/support/e2e_env.sh.
# Per run: the time from the launch to a filled, sorted list; two header clicks (Hits, then
# Domain) timed by the window tool; cache-hit throughput with dnsperf on the same 100 cached names
# (each hit refreshes its entry's row); the program's VmRSS. Prints a markdown table.
#     sudo bench/cache_list_bench.sh [--reps N] [--seconds S]
# QF_EXE and QF_WINDOW_TOOL name the programs (default: the build/mingw-x86_64 tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${QF_EXE:-$root/build/mingw-x86_64/app/Quillforth.exe}
tool=${QF_WINDOW_TOOL:-$root/build/mingw-x86_64/tests/app/qf_window_tool.exe}
reps=3
seconds=10
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        *) echo "usage: $0 [--reps N] [--seconds S]" >&2; exit 64 ;;
    esac
done
source "$root/tests/support/e2e_env.sh"
e2e_require
command -v dnsperf >/dev/null || { echo "skipped: needs dnsperf"; exit 77; }
# The upstream answers only the probe's host: every query of the load is a cache hit.
e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" "$tool" \
    www.example.com=198.19.0.9
e2e_install_exe "$exe"
list=1000

# N entries host000000.scale.test ... with two addresses each, hits i % 1000 and a last hit time
# in 2025.
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
for i in $(seq 0 99); do printf 'host%06d.scale.test A\n' "$i"; done >"$work/queries.txt"

# A line of /proc/PID/status of the program in MiB: VmRSS (all resident memory, Wine's own DLLs
# included) or RssAnon (the private part: the program's heap and stacks).
memory_mib() {
    local pid
    pid=$(ip netns pids "$srv" | xargs -r ps -o pid=,args= -p | grep -i 'Quillforth\.exe' |
        awk 'NR == 1 {print $1}')
    awk -v key="$1:" '$1 == key {printf "%.1f", $2 / 1024}' "/proc/$pid/status" 2>/dev/null
}

# One run: "entries startup_ms first_row_ok sort_hits_ms sort_domain_ms qps rss_start
# private_start rss_end private_end".
measure() {
    local entries=$1 launched ready qps
    write_cache "$entries"
    window waitrows "$caption" "$list" "$entries" 120 >"$work/ready" &
    local waiter=$!
    sleep 1
    launched=$(date +%s%3N)
    in_srv "$wine" "$work/bin/Quillforth.exe" >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    program=$!
    wait "$waiter"
    ready=$(head -1 "$work/ready")
    wait_serving
    local first sorted=no
    first=$(window rows "$caption" "$list" 1 | cut -d, -f1,2)
    [ "$first" == "0,host000000.scale.test" ] && sorted=yes
    local rss_start private_start sort_hits sort_domain
    rss_start=$(memory_mib VmRSS)
    private_start=$(memory_mib RssAnon)
    sort_hits=$(window header "$caption" "$list" 3)
    sort_domain=$(window header "$caption" "$list" 1)
    qps=$(ip netns exec "$srv" dnsperf -s 127.0.0.1 -d "$work/queries.txt" -l "$seconds" -c 4 \
        -q 100 2>&1 | awk '/Queries per second:/ {print $4}')
    local rss_end private_end
    rss_end=$(memory_mib VmRSS)
    private_end=$(memory_mib RssAnon)
    window command "$caption" 32772
    [ "$(wait_ended "$program")" == ended ] || kill_program
    echo "$entries $((ready - launched)) $sorted $sort_hits $sort_domain $qps $rss_start" \
        "$private_start $rss_end $private_end"
}

results=()
for rep in $(seq "$reps"); do
    for entries in 100 100000; do
        line=$(measure "$entries")
        echo "rep $rep: $line" >&2
        results+=("$line")
    done
done

printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
runs = {}
for line in sys.stdin:
    entries, *values = line.split()
    runs.setdefault(int(entries), []).append(values)
def median(entries, column):
    numbers = [float(run[column]) for run in runs[entries] if run[column] not in ("", "no", "yes")]
    return statistics.median(numbers) if numbers else float("nan")
def every(entries, column):
    return ", ".join(run[column] for run in runs[entries])
small, large = 100, 100000
print("| Measurement (median of %d runs, all runs in brackets) | 100 entries | 100,000 entries |"
      % len(runs[small]))
print("|---|---:|---:|")
rows = [("launch to a filled, sorted list (ms)", 0), ("header click, sort by Hits (ms)", 2),
        ("header click, sort by Domain (ms)", 3), ("cache hits per second (dnsperf)", 4),
        ("VmRSS after start (MiB)", 5), ("private memory (RssAnon) after start (MiB)", 6),
        ("VmRSS after the hits (MiB)", 7), ("private memory (RssAnon) after the hits (MiB)", 8)]
for title, column in rows:
    print("| %s | %.0f [%s] | %.0f [%s] |" % (title, median(small, column), every(small, column),
                                            median(large, column), every(large, column)))
print("| first row after start is ID 0 | %s | %s |" % (every(small, 1), every(large, 1)))
print()
print("cache-hit throughput ratio, 100,000 rows against 100: %.2f"
      % (median(large, 4) / median(small, 4)))
'
e2e_finish >/dev/null
