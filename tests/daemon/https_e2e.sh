#!/usr/bin/env bash
# End to end: quillforthd with DNS-over-HTTPS servers (dnsdist's DoH front end, in front of an
# authoritative nsd) in a second namespace, trusting a test CA made here through a CA bundle
# bind-mounted in a mount namespace of its own. Answers as the upstream gives them, a long one
# cut for a small UDP client and whole over TCP, nothing in clear text but the lookup of the
# server's own name, bad certificates refused and named, failover from a dead HTTPS server to a
# plain one and none from a slow one for a burst, a host learned at a false address asked again,
# a connection that died silently replaced.
# Needs root; exits 77 (skipped) without it.
#     https_e2e.sh QUILLFORTHD BAD_HTTPS_PY
set -uo pipefail
daemon=$1
bad_https=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
require nsd dnsdist openssl tcpdump unshare tc

srv=qfh-srv-$$
up=qfh-up-$$
add_namespaces "$srv" "$up"
link "$srv" 198.18.12.1 "$up" 198.18.12.2
server=198.18.12.2

start_doh_servers "$up" "$server"
wait_for "$srv" "$server" ns.test
# Every query in clear text that leaves the proxy's namespace from now on.
ip netns exec "$up" tcpdump -l -nn -i qw1 'port 53' >"$work/clear.txt" 2>/dev/null &
sleep 0.5

ip netns exec "$up" python3 "$bad_https" "$server" 8443 "$work/good.crt" "$work/good.key" &
ip netns exec "$up" python3 "$bad_https" "$server" 8444 "$work/good.crt" "$work/good.key" 300 &
# Served from ports 5311 on, in this order.
paths="status html other stall cut"

# An earlier run, on a network whose resolver gave its sign-in page's address for every name,
# learned that one for the server's host.
printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\ndns.test,127.0.0.1,86400,1,1700000000\r\n' \
    >"$work/5306.csv"

# The daemons, each on a port of its own, in one mount namespace that trusts the test CA.
cat >"$work/daemons.sh" <<DAEMONS
mount --bind "$work/bundle.crt" /etc/ssl/certs/ca-certificates.crt
cd "$work"
serve() { local port=\$1; shift; ip netns exec "$srv" "$daemon" --listen "\$port" \
    --cache "\$port.csv" "\$@" >"\$port.out" 2>>stderr & }
serve 53 --upstream "https://dns.test/dns-query ($server)"
serve 5301 --upstream https://dns.test/dns-query --upstream $server
serve 5302 --upstream "https://dns.test:444/dns-query ($server)"
serve 5303 --upstream "https://dns.test:445/dns-query ($server)"
serve 5304 --upstream "https://dns.test:446/dns-query ($server)"
serve 5305 --upstream "https://dns.test:447/dns-query ($server)" --upstream $server
serve 5306 --upstream https://dns.test/dns-query --upstream $server
port=5311
for path in $paths; do
    serve \$port --upstream "https://dns.test:8443/\$path ($server)" --upstream $server
    port=\$((port + 1))
done
serve 5316 --upstream "https://dns.test:8443/slow ($server)" --upstream $server
serve 5317 --upstream "https://dns.test:8444/slow ($server)" --upstream $server
serve 5318 --upstream "https://dns.test/dns-query ($server)"
wait
DAEMONS
unshare -m bash "$work/daemons.sh" &
wait_for "$srv" 127.0.0.1 ns.test

# The answer section of NAME TYPE, one line, from the proxy on PORT; `direct` asks nsd in its own
# namespace, where no capture sees it.
answer() {
    local port=$1
    shift
    ip netns exec "$srv" dig +tries=1 +time=4 -p "$port" @127.0.0.1 +noall +answer "$@" |
        grep -v '^;;' | awk '{$2=""; print}' | tr -s ' ' | paste -sd,
}
direct() {
    ip netns exec "$up" dig +tries=1 +time=4 "@$server" +noall +answer "$@" |
        awk '{$2=""; print}' | tr -s ' ' | paste -sd,
}
for type in A AAAA MX TXT; do
    check "$type over HTTPS as the upstream gives it" "$(direct www.test "$type")" \
        "$(answer 53 www.test "$type")"
done
# The server refuses a query that is not padded; the EDNS record added for the padding goes.
edns() {
    ip netns exec "$srv" dig +tries=1 +time=4 @127.0.0.1 "$@" | grep -c 'OPT PSEUDOSECTION'
}
check "padded queries: EDNS back for a client with it, none for one without" "1 0" \
    "$(edns edns1.test A) $(edns +noedns edns2.test A)"
check "a long answer whole over TCP, after the TC of a cut one over UDP" \
    "$(direct +tcp long.test TXT)" "$(answer 53 +noedns long.test TXT)"
check "a client without EDNS gets the long answer cut, with TC" "tc 0" "$(
    ip netns exec "$srv" dig +tries=1 +time=4 +noedns +ignore @127.0.0.1 long.test TXT |
        sed -n 's/.*flags: \([a-z ]*\);.*ANSWER: \([0-9]*\),.*/\1 \2/p' | grep -o 'tc.* [0-9]*$' |
        sed 's/tc.* /tc /')"
queries=$(grep -c 'www.test' "$work/doh.log")
answer 53 www.test A >/dev/null
check "a cached name is answered without asking the server" "$queries" \
    "$(grep -c 'www.test' "$work/doh.log")"
check "the server's name is found through the plain server" "198.19.3.1" \
    "$(answer 5301 www.test A | cut -d' ' -f4)"
check "the proxy answers the server's own name itself" "dns.test. IN A $server" \
    "$(answer 5301 dns.test A)"
# A burst of new names, more than a connection's streams: every one answered, over the one
# connection that HTTP/2 needs (queries given to more would wait for their handshakes, late).
check "a burst of 200 new names: all answered" 200 "$(burst "$srv" 53 200 burst)"
pid53=$(ip netns exec "$srv" ss -Hulnp 'sport = :53' | grep -o 'pid=[0-9]*' | head -1)
check "... over one connection to the server" 1 \
    "$(ip netns exec "$srv" ss -Htnp state established '( dport = :443 )' | grep -c "$pid53,")"
pids=()
for port in 5302 5303 5304; do
    answer "$port" www.test A >"$work/$port.answer" &
    pids+=($!)
done
wait "${pids[@]}"
check "a certificate for another name, an expired one and one of an unknown CA: no answer" \
    "" "$(cat "$work"/530[234].answer)"
check "in clear text only the lookups of the server's own name" "dns.test" \
    "$(grep -o '? [a-z.]*' "$work/clear.txt" | sed 's/? //; s/\.$//' | sort -u | paste -sd,)"
check "a dead HTTPS server fails over to the plain one" "198.19.3.1" \
    "$(answer 5305 www.test A | cut -d' ' -f4)"

# A server of HTTP/1.1 only, which carries one query at a time on each of the few connections the
# client opens to it: the queries of a burst that wait their turn there are not the server's
# misses, and none goes to the next server while this one answers. Its round trips are measured
# first, on open connections, so that the proxy waits only twice the slowest of them (250 ms at
# least) before it asks the next server.
for i in 1 2 3 4 5 6 7 8; do answer 5316 "warm$i.slow.test" A >/dev/null; done
check "a burst of 100 new names at a server that carries a few at once: all answered by it" \
    100 "$(burst "$srv" 5316 100 slow 198.19.7.7)"

# A server far away, whose handshakes take 300 ms, closes a connection idle for a second: after an
# idle spell a query waits for a new connection's handshake as well as for its answer, longer than
# the 250 ms the proxy waits on an open one, and is still the server's alone.
for i in 1 2 3 4 5 6 7 8 9; do answer 5317 "near$i.slow.test" A >/dev/null; done
sleep 1.5
check "after an idle spell a far server's new connection is waited for, not failed over" \
    198.19.7.7 "$(answer 5317 far.slow.test A | cut -d' ' -f4)"

# Silent at the false address, the server has its host asked again, and serves once more.
for name in a b c; do answer 5306 "$name.moved.test" A >/dev/null; done
served=0
for i in $(seq 60); do
    answer 5306 "again$i.moved.test" A >/dev/null
    grep -q "again$i\.moved\.test" "$work/doh.log" && served=1 && break
    sleep 0.5
done
check "a server whose host was learned at a false address finds it again, and serves" \
    "dns.test. 60 IN A $server 1" "$(ip netns exec "$srv" dig +tries=1 +time=4 -p 5306 \
        @127.0.0.1 +noall +answer dns.test A | tr -s '\t ' ' ') $served"

# The one server's connection dies silently (a NAT mapping lost): nothing of it reaches the proxy
# now (dropped on the server's side: a drop on the proxy's own host is a failure TCP soon gives up
# on). Given up within seconds, not kept until TCP gives up some 15 minutes later.
answer 5318 www.test A >/dev/null
pid=$(ip netns exec "$srv" ss -Hulnp 'sport = :5318' | grep -o 'pid=[0-9]*' | head -1)
connection() {
    ip netns exec "$srv" ss -Htnp state established '( dport = :443 )' | grep "$pid," |
        awk '{print $3}' | grep -o '[0-9]*$'
}
gone=$(connection)
tc -n "$up" qdisc add dev qw1 root handle 1: htb
tc -n "$up" class add dev qw1 parent 1: classid 1:1 htb rate 1mbit
tc -n "$up" qdisc add dev qw1 parent 1:1 pfifo limit 0
tc -n "$up" filter add dev qw1 parent 1: protocol ip u32 match ip dport "$gone" 0xffff flowid 1:1
start=$SECONDS
for i in 1 2 3 4 5; do
    status=$(ip netns exec "$srv" dig +tries=1 +time=4 -p 5318 @127.0.0.1 "gone$i.test" |
        sed -n 's/.*status: \([A-Z]*\),.*/\1/p')
    [ "$status" == NXDOMAIN ] && break
done
check "a connection gone silent is replaced: answered within 10 s, over a new connection" \
    "NXDOMAIN yes" "$status $([ $((SECONDS - start)) -le 10 ] && [ "$(connection)" != "$gone" ] &&
        echo yes)"

# Servers that misbehave: each query fails over to the plain server, nothing is left open.
port=5311
for path in $paths; do
    for name in a b c d; do
        ip netns exec "$srv" dig +tries=1 +time=4 -p "$port" @127.0.0.1 "$name.$path.test" |
            sed -n 's/.*status: \([A-Z]*\),.*/\1/p' >>"$work/$path.status"
    done
    check "a server whose /$path misbehaves: every query answered by the next one" \
        "NXDOMAIN NXDOMAIN NXDOMAIN NXDOMAIN" "$(paste -sd' ' "$work/$path.status")"
    port=$((port + 1))
done
for pid in $(ip netns pids "$srv"); do
    [ "$(ls "/proc/$pid/fd" | wc -l)" -lt 40 ] || echo "FAILED: $pid holds $(ls "/proc/$pid/fd" | wc -l) descriptors"
done
# A reply taken on the HTTPS client's thread leaves no ring behind for nobody to read.
check "no socket of the daemons holds datagrams left unread" 0 \
    "$(ip netns exec "$srv" ss -Huan | awk '{q += $2} END {print q + 0}')"

ip netns pids "$srv" | xargs -r kill -TERM
sleep 1
for port in 5302 5303 5304; do
    check "the daemon on $port names the untrusted certificate" 1 \
        "$(grep -c 'certificate of dns.test not trusted' "$work/$port.out")"
done
check "why each misbehaving server failed" \
    "HTTP status 503|the reply is no DNS message|the reply answers another question" \
    "$(for port in 5311 5312 5313; do
        grep -o 'HTTP status 503\|the reply is no DNS message\|the reply answers another question' \
            "$work/$port.out"
    done | paste -sd'|')"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

[ "$failures" -eq 0 ]
