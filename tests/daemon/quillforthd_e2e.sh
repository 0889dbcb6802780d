#!/usr/bin/env bash
# End to end: quillforthd on port 53 of a namespace, forwarding to a fake upstream in a second,
# queried with dig over UDP, TCP, IPv4 and IPv6 from its own namespace, the attached network
# (answered only with --allow-local-network) and a third namespace routed through the second.
# Needs root; exits 77 (skipped) without it.
#     quillforthd_e2e.sh QUILLFORTHD FAKE_UPSTREAM_PY
set -uo pipefail
daemon=$1
upstream=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
require

srv=qft-srv-$$
up=qft-up-$$
far=qft-far-$$
no6=qft-no6-$$
add_namespaces "$srv" "$up" "$far"
link "$srv" 198.18.7.1 "$up" 198.18.7.2
# A stranger: a network that the upstream's namespace routes to, not one attached to the proxy's.
link "$far" 198.18.8.1 "$up" 198.18.8.2
ip -n "$far" route add default via 198.18.8.2
ip -n "$srv" route add 198.18.8.0/30 via 198.18.7.2
ip netns exec "$up" sysctl -qw net.ipv4.ip_forward=1

# big.test has too many addresses for UDP: there the fake sets TC and sends only the first.
big_addresses=$(seq -s '|' -f '198.19.1.%g' 1 16)
FAKE_UPSTREAM_LOG=$work/upstream.log ip netns exec "$up" python3 "$upstream" 198.18.7.2 53 \
    www.example.test='198.19.0.1|198.19.0.2' mail.example.test=198.19.0.9 \
    "+big.test=$big_addresses" &
disown
printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\ncached.test,10.0.0.1|10.0.0.2,300,5,1700000000\r\n' \
    >"$work/DnsItem.csv"
(cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.7.2 \
    >"$work/stdout" 2>"$work/stderr") &
daemon_pid=$!

# The answer lines, one line each joined by commas, asked from NAMESPACE of SERVER.
query_from() {
    local namespace=$1 server=$2
    shift 2
    ip netns exec "$namespace" dig +tries=1 +time=2 +noall +answer "@$server" "$@" |
        grep -v '^;;' | tr -s '\t ' ' ' | paste -sd,
}
query() { query_from "$srv" 127.0.0.1 "$@"; }
wait_for "$srv" 198.18.7.2 ready.test
: >"$work/upstream.log"
wait_for "$srv" 127.0.0.1 cached.test

# An older file's entry has no known expiry: it is answered at once, short-lived, and renewed.
stale="cached.test. 30 IN A 10.0.0.1,cached.test. 30 IN A 10.0.0.2"
check "an entry of an older file is answered at once with every address, for 30 s" "$stale" \
    "$(query cached.test)"
check "an uncached domain is relayed from the upstream" \
    "www.example.test. 300 IN A 198.19.0.1,www.example.test. 300 IN A 198.19.0.2" \
    "$(query www.example.test)"
check "the learned domain is answered from the cache, every address for what is left of 300 s" \
    "198.19.0.1 1,198.19.0.2 1" \
    "$(query www.example.test | tr , '\n' | awk '{print $5, ($2 > 290 && $2 <= 300)}' | paste -sd,)"

# dig gets the truncated reply over UDP and asks again over TCP by itself.
check "a client that falls back to TCP gets every address" \
    "$(tr '|' '\n' <<<"$big_addresses" | sed 's/^/big.test. 300 IN A /' | paste -sd,)" \
    "$(query big.test)"
check "one TCP connection carries several queries, answered from the cache" "2 16" \
    "$(query +tcp +keepopen cached.test big.test | tr , '\n' | awk '{n[$1]++} END {print n["cached.test."], n["big.test."]}')"
check "only the misses and the old entry's renewal reached the upstream, the truncated one again over TCP" \
    "tcp big.test,udp big.test,udp cached.test,udp www.example.test" \
    "$(sort "$work/upstream.log" | paste -sd,)"

# dig takes no reply from another address than the one it asked.
check "127.0.0.2 is answered from 127.0.0.2" "$stale" "$(query_from "$srv" 127.0.0.2 cached.test)"
check "[::1] is answered from the cache" "$stale" "$(query_from "$srv" ::1 cached.test)"
check "[::1] is forwarded too" "mail.example.test. 300 IN A 198.19.0.9" \
    "$(query_from "$srv" ::1 mail.example.test)"
check "[::1] over TCP" "$stale" "$(query_from "$srv" ::1 +tcp cached.test)"
# Asked from NAMESPACE over UDP, then TCP: the answers, or nothing for each.
both_ways() {
    echo "$(query_from "$1" "$2" cached.test),$(query_from "$1" "$2" +tcp cached.test)"
}
check "by default a client on the attached network gets nothing, over UDP or TCP" "," \
    "$(both_ways "$up" 198.18.7.1)"
check "a client routed from elsewhere gets nothing, over UDP or TCP" "," \
    "$(both_ways "$far" 198.18.7.1)"

kill -TERM "$daemon_pid"
wait "$daemon_pid"
check "quillforthd exits with 0 on SIGTERM" 0 $?
check "the saved cache holds the learned answers, never the truncated one, and counts the hits" \
    "www.example.test,198.19.0.1|198.19.0.2,300,1 big.test,$big_addresses,300,1 cached.test,10.0.0.1|10.0.0.2,300,11" \
    "$(for name in www big cached; do grep -a "^$name" "$work/DnsItem.csv" | cut -d, -f1-4; done | paste -sd' ')"
check "the statistics are printed, the four queries from elsewhere discarded" \
    "Discard Requests 4,Cached Requests 8,Forward Requests 4" \
    "$(grep -E '^(Discard|Cached|Forward) Requests' "$work/stdout" | tr -s ' ' | paste -sd,)"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

# Told to answer the local network: the attached network is answered, also at a second address of
# the server whose route the client takes over the same link (the reply must come from the address
# asked, or dig ignores it); the stranger still gets nothing.
ip -n "$srv" addr add 198.18.17.1/32 dev qv1
ip -n "$up" route add 198.18.17.1/32 dev qw1
(cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.7.2 --allow-local-network \
    >"$work/local.out" 2>"$work/local.err") &
local_pid=$!
wait_for "$srv" 127.0.0.1 cached.test
answer="$stale"
check "with --allow-local-network the attached network is answered, over UDP and TCP" \
    "$answer,$answer" "$(both_ways "$up" 198.18.7.1)"
check "and at the server's second address, from that address" "$answer,$answer" \
    "$(both_ways "$up" 198.18.17.1)"
check "a client routed from elsewhere still gets nothing" "," "$(both_ways "$far" 198.18.7.1)"
kill -TERM "$local_pid"
wait "$local_pid"
check "the stranger's two queries are discarded" "Discard Requests 2" \
    "$(grep -E '^Discard Requests' "$work/local.out" | tr -s ' ')"

# Without IPv6 the proxy serves over IPv4 alone and says nothing about it.
add_namespaces "$no6"
ip netns exec "$no6" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1
cp "$work/DnsItem.csv" "$work/no6.csv"
(cd "$work" && exec ip netns exec "$no6" "$daemon" --upstream 198.18.7.2 --cache no6.csv \
    >"$work/no6.out" 2>"$work/no6.err") &
no6_pid=$!
wait_for "$no6" 127.0.0.1 cached.test
check "without IPv6 the cache still answers over IPv4" "$stale" \
    "$(query_from "$no6" 127.0.0.1 cached.test)"
kill -TERM "$no6_pid"
wait "$no6_pid"
check "without IPv6 nothing went to stderr" "" "$(cat "$work/no6.err")"

[ "$failures" -eq 0 ]
