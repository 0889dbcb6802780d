#!/usr/bin/env bash
# How long glibc's getaddrinfo (AF_UNSPEC, the call behind browsers, mail clients and ping) takes
# when quillforthd is the machine's only resolver, against an authoritative upstream (nsd) in a
# second network namespace: for names asked the first time (A and AAAA forwarded together) and
# asked again (both from the cache), and, as the peer, with the upstream itself as the resolver.
# Prints a markdown table of the median and the maximum in ms.
#     sudo bench/getaddrinfo_bench.sh [--names N]
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
daemon=${QUILLFORTHD:-$root/build/native/daemon/quillforthd}
names=200
[ "${1:-}" == "--names" ] && names=$2
source "$root/tests/daemon/netns_env.sh"
require nsd python3

srv=qfg-srv-$$
up=qfg-up-$$
add_namespaces "$srv" "$up"
link "$srv" 198.18.11.1 "$up" 198.18.11.2
{
    printf '$ORIGIN bench.test.\n$TTL 300\n@ SOA ns admin 1 3600 600 86400 300\n@ NS ns\n'
    printf 'ns A 198.18.11.2\n'
    for i in $(seq 0 $((names - 1))); do
        printf 'h%d A 198.19.%d.%d\nh%d AAAA 2001:db8::%x\n' "$i" $((i / 256)) $((i % 256)) "$i" "$i"
    done
} >"$work/bench.test.zone"
start_nsd "$up" 198.18.11.2 bench.test
disown
(cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.11.2 >/dev/null 2>&1) &
disown
wait_for "$srv" 198.18.11.2 ns.bench.test
wait_for "$srv" 127.0.0.1 ns.bench.test

# The milliseconds of getaddrinfo for each of the names from FIRST on, through RESOLVER; fails
# when a lookup does not return both kinds of address.
lookups() {
    mkdir -p "/etc/netns/$srv"
    echo "nameserver $1" >"/etc/netns/$srv/resolv.conf"
    ip netns exec "$srv" python3 - "$2" "$names" <<'PY'
import socket, sys, time
first, count = int(sys.argv[1]), int(sys.argv[2])
for i in range(first, first + count // 2):
    start = time.monotonic()
    found = socket.getaddrinfo(f"h{i}.bench.test", 80, socket.AF_UNSPEC, socket.SOCK_STREAM)
    took = (time.monotonic() - start) * 1000
    families = {info[0] for info in found}
    if families != {socket.AF_INET, socket.AF_INET6}:
        sys.exit(f"h{i}.bench.test: not both kinds of address")
    print(f"{took:.3f}")
PY
}
summary() {
    sort -n | awk '{v[NR]=$1} END {printf "%.2f | %.2f", v[int((NR+1)/2)], v[NR]}'
}
direct=$(lookups 198.18.11.2 0 | summary)
first=$(lookups 127.0.0.1 "$((names / 2))" | summary)
again=$(lookups 127.0.0.1 "$((names / 2))" | summary)
echo "| getaddrinfo, $((names / 2)) names each | median (ms) | maximum (ms) |"
echo "|---|---:|---:|"
echo "| the upstream (nsd) as the resolver | $direct |"
echo "| through quillforthd, first time (forwarded) | $first |"
echo "| through quillforthd, again (from the cache) | $again |"
