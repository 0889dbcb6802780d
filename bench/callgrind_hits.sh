#!/usr/bin/env bash
# The instructions that quillforthd spends per cached answer, counted by callgrind, so that two
# builds compare exactly however busy the machine is:
#     sudo bench/callgrind_hits.sh [--reps N] QUILLFORTHD [QUILLFORTHD...] [-- DAEMON ARGS...]
# Each daemon answers 100 cached names, once 100 queries and once 20,100 (dnsperf at 1,000 q/s, one
# query outstanding, so that every receive takes one datagram however the timing falls), in a
# namespace of loopback alone; the difference over 20,000 is one answer's count, printed per run
# with the builds alternating (--reps times, 2 unless told).
set -euo pipefail
reps=2
daemons=()
while [ $# -gt 0 ]; do
    case $1 in
        --reps) reps=$2; shift 2 ;;
        --) shift; break ;;
        *) daemons+=("$(realpath "$1")"); shift ;;
    esac
done
[ ${#daemons[@]} -gt 0 ] || { echo "usage: $0 [--reps N] QUILLFORTHD... [-- ARGS...]" >&2; exit 64; }
for tool in valgrind dnsperf dig unshare; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in $(seq 0 99); do printf 'host%05d.bench.test A\n' "$i"; done >"$work/queries"

# total DAEMON PASSES: callgrind's instruction count of one run answering PASSES × 100 queries.
total() {
    { printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
      for i in $(seq 0 99); do printf 'host%05d.bench.test,198.19.0.%d,86400,0,0\r\n' "$i" "$i"; done
    } >"$work/DnsItem.csv"
    rm -f "$work/cg.out"
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -n bash -c '
        ip link set lo up
        valgrind --tool=callgrind --callgrind-out-file="$1/cg.out" "$2" --listen 53 \
            --upstream 127.0.0.1:5300 --cache "$1/DnsItem.csv" "${@:4}" >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 100); do
            dig +tries=1 +time=1 @127.0.0.1 host00000.bench.test >/dev/null 2>&1 && break
            sleep 0.2
        done
        dnsperf -s 127.0.0.1 -d "$1/queries" -n "$3" -Q 1000 -c 1 -q 1 >"$1/dnsperf.out" 2>&1
        kill -INT $pid
        wait $pid' sh "$work" "$1" "$2" "${@:3}"
    grep -q "Queries completed: *$(($2 * 100)) " "$work/dnsperf.out" ||
        { echo "some queries went unanswered" >&2; exit 1; }
    awk '/^summary:/ {print $2}' "$work/cg.out"
}

for rep in $(seq "$reps"); do
    for daemon in "${daemons[@]}"; do
        short=$(total "$daemon" 1 "$@")
        long=$(total "$daemon" 201 "$@")
        echo "run $rep: $(( (long - short) / 20000 )) instructions per answer: $daemon"
    done
done
