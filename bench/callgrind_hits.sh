#!/usr/bin/env bash
# The instructions that quillforthd spends per cached answer, counted by callgrind, so that two
# builds compare exactly however busy the machine is:
#     sudo bench/callgrind_hits.sh [--reps N] [--misses] QUILLFORTHD [QUILLFORTHD...] [-- DAEMON ARGS...]
# Each daemon answers 100 cached names, once 100 queries and once 20,100 (dnsperf at 1,000 q/s, one
# query outstanding, so that every receive takes one datagram however the timing falls), in a
# namespace of loopback alone; the difference over 20,000 is one answer's count, printed per run
# with the builds alternating (--reps times, 2 unless told). With --misses, every name is new
# (100 and 2,100 of them, at 500 q/s): each is forwarded to a dnsmasq on 127.0.0.1:5300 that
# answers the bench names itself, and the difference over 2,000 is one forward's count.
set -euo pipefail
reps=2
misses=0
daemons=()
while [ $# -gt 0 ]; do
    case $1 in
        --reps) reps=$2; shift 2 ;;
        --misses) misses=1; shift ;;
        --) shift; break ;;
        *) daemons+=("$(realpath "$1")"); shift ;;
    esac
done
[ ${#daemons[@]} -gt 0 ] || { echo "usage: $0 [--reps N] QUILLFORTHD... [-- ARGS...]" >&2; exit 64; }
for tool in valgrind dnsperf dig unshare dnsmasq; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in $(seq 0 99); do printf 'host%05d.bench.test A\n' "$i"; done >"$work/queries"
for i in $(seq 0 2099); do printf 'new%05d.bench.test A\n' "$i"; done >"$work/new-names"

# total DAEMON PASSES: callgrind's instruction count of one run answering PASSES × 100 queries
# (PASSES × 100 new names with --misses).
total() {
    { printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
      for i in $(seq 0 99); do printf 'host%05d.bench.test,198.19.0.%d,86400,0,0\r\n' "$i" "$i"; done
    } >"$work/DnsItem.csv"
    rm -f "$work/cg.out"
    local names=$work/queries repeat=$2 rate=1000
    if ((misses)); then
        head -n "$(($2 * 100))" "$work/new-names" >"$work/new-queries"
        names=$work/new-queries repeat=1 rate=500
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -n bash -c '
        ip link set lo up
        if (($6)); then
            dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
                --listen-address=127.0.0.1 --bind-interfaces --port=5300 --user=root --group=root \
                --pid-file= --address=/bench.test/198.19.0.1 2>/dev/null &
        fi
        valgrind --tool=callgrind --callgrind-out-file="$1/cg.out" "$2" --listen 53 \
            --upstream 127.0.0.1:5300 --cache "$1/DnsItem.csv" "${@:7}" >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 100); do
            dig +tries=1 +time=1 @127.0.0.1 host00000.bench.test >/dev/null 2>&1 && break
            sleep 0.2
        done
        dnsperf -s 127.0.0.1 -d "$4" -n "$3" -Q "$5" -c 1 -q 1 >"$1/dnsperf.out" 2>&1
        kill -INT $pid
        wait $pid
        jobs -p | xargs -r kill' sh "$work" "$1" "$repeat" "$names" "$rate" "$misses" "${@:3}"
    grep -q "Queries completed: *$(($2 * 100)) " "$work/dnsperf.out" ||
        { echo "some queries went unanswered" >&2; exit 1; }
    awk '/^summary:/ {print $2}' "$work/cg.out"
}

for rep in $(seq "$reps"); do
    for daemon in "${daemons[@]}"; do
        short=$(total "$daemon" 1 "$@")
        long=$(total "$daemon" $((misses ? 21 : 201)) "$@")
        if ((misses)); then
            echo "run $rep: $(( (long - short) / 2000 )) instructions per forward: $daemon"
        else
            echo "run $rep: $(( (long - short) / 20000 )) instructions per answer: $daemon"
        fi
    done
done
