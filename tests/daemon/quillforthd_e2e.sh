#!/usr/bin/env bash
# End to end: quillforthd on UDP and TCP port 53 of a network namespace of its own, forwarding to
# a fake upstream in a second namespace (joined by a veth pair in 198.18.0.0/15, no route out),
# queried with dig. Needs root; exits 77 (skipped) without it.
#     quillforthd_e2e.sh QUILLFORTHD FAKE_UPSTREAM_PY
set -uo pipefail
daemon=$1
upstream=$2
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null || ! command -v dig >/dev/null; then
    echo "skipped: needs root, ip and dig"
    exit 77
fi

srv=qft-srv-$$
up=qft-up-$$
work=$(mktemp -d)
failures=0
cleanup() {
    for namespace in "$srv" "$up"; do
        ip netns pids "$namespace" 2>/dev/null | xargs -r kill -9 2>/dev/null
        ip netns del "$namespace" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

check() {
    if [ "$2" == "$3" ]; then
        echo "ok: $1"
    else
        echo "FAILED: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}

ip netns add "$srv"
ip netns add "$up"
ip -n "$srv" link set lo up
ip -n "$up" link set lo up
ip -n "$srv" link add veth0 type veth peer name veth1 netns "$up"
ip -n "$srv" addr add 198.18.7.1/30 dev veth0
ip -n "$up" addr add 198.18.7.2/30 dev veth1
ip -n "$srv" link set veth0 up
ip -n "$up" link set veth1 up

# big.test has too many addresses for UDP: there the fake sets TC and sends only the first.
big_addresses=$(seq -s '|' -f '198.19.1.%g' 1 16)
FAKE_UPSTREAM_LOG=$work/upstream.log ip netns exec "$up" python3 "$upstream" 198.18.7.2 53 \
    www.example.test='198.19.0.1|198.19.0.2' "+big.test=$big_addresses" &
disown
printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\ncached.test,10.0.0.1|10.0.0.2,300,5,1700000000\r\n' \
    >"$work/DnsItem.csv"
(cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.7.2 \
    >"$work/stdout" 2>"$work/stderr") &
daemon_pid=$!

# The answer lines, one line each joined by commas.
query() {
    ip netns exec "$srv" dig +tries=1 +time=2 +noall +answer @127.0.0.1 "$@" |
        tr -s '\t ' ' ' | paste -sd,
}
# Until the server answers (both need a moment to start).
wait_for() {
    for _ in $(seq 50); do
        ip netns exec "$srv" dig +tries=1 +time=1 "@$1" "$2" >/dev/null 2>&1 && return
        sleep 0.1
    done
}
wait_for 198.18.7.2 ready.test
wait_for 127.0.0.1 cached.test
: >"$work/upstream.log"

check "a cached domain is answered with its first address for a day" \
    "cached.test. 86400 IN A 10.0.0.1" "$(query cached.test)"
check "an uncached domain is relayed from the upstream" \
    "www.example.test. 300 IN A 198.19.0.1,www.example.test. 300 IN A 198.19.0.2" \
    "$(query www.example.test)"
check "the learned domain is answered from the cache" \
    "www.example.test. 86400 IN A 198.19.0.1" "$(query www.example.test)"

# dig gets the truncated reply over UDP and asks again over TCP by itself.
check "a client that falls back to TCP gets every address" \
    "$(tr '|' '\n' <<<"$big_addresses" | sed 's/^/big.test. 300 IN A /' | paste -sd,)" \
    "$(query big.test)"
check "one TCP connection carries several queries, answered from the cache" \
    "cached.test. 86400 IN A 10.0.0.1,big.test. 86400 IN A 198.19.1.1" \
    "$(query +tcp +keepopen cached.test big.test)"
check "only the misses reached the upstream, the truncated one again over TCP" \
    "udp www.example.test,udp big.test,tcp big.test" "$(paste -sd, "$work/upstream.log")"

kill -TERM "$daemon_pid"
wait "$daemon_pid"
check "quillforthd exits with 0 on SIGTERM" 0 $?
check "the saved cache holds the learned answers, never the truncated one, and counts the hits" \
    "www.example.test,198.19.0.1|198.19.0.2,300,1 big.test,$big_addresses,300,1 cached.test,10.0.0.1|10.0.0.2,300,8" \
    "$(for name in www big cached; do grep -a "^$name" "$work/DnsItem.csv" | cut -d, -f1-4; done | paste -sd' ')"
check "the statistics are printed" "Cached Requests 5,Forward Requests 3" \
    "$(grep -E '^(Cached|Forward) Requests' "$work/stdout" | tr -s ' ' | paste -sd,)"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

[ "$failures" -eq 0 ]
