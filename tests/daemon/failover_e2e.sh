#!/usr/bin/env bash
# End to end: quillforthd with two upstream servers in a second namespace. The first is silent,
# then refuses, then comes back; the second always answers. Also an IPv6 upstream and one on
# port 5353. Needs root; exits 77 (skipped) without it.
#     failover_e2e.sh QUILLFORTHD FAKE_UPSTREAM_PY
set -uo pipefail
daemon=$1
upstream=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
require python3

srv=qff-srv-$$
up=qff-up-$$
add_namespaces "$srv" "$up"
link "$srv" 198.18.10.1 "$up" 198.18.10.2
link "$srv" 198.18.10.5 "$up" 198.18.10.6
ip -n "$srv" addr add 2001:db8:10::1/64 dev qv1 nodad
ip -n "$up" addr add 2001:db8:10::2/64 dev qw1 nodad

# fake NAME ADDRESS PORT [ENV...]: a fake upstream logging to $work/NAME.log.
fake() {
    local name=$1 address=$2 port=$3
    shift 3
    env FAKE_UPSTREAM_LOG="$work/$name.log" "$@" ip netns exec "$up" python3 "$upstream" \
        "$address" "$port" www.example.test=198.19.0.1 >/dev/null 2>&1 &
    echo $! >"$work/$name.pid"
}
fake second 198.18.10.2 53
fake first 198.18.10.6 53 FAKE_UPSTREAM_SILENT=1
fake refusing 198.18.10.6 5300 FAKE_UPSTREAM_RCODE=5
fake six 2001:db8:10::2 53
fake other-port 198.18.10.2 5353
# serve PORT SERVER...: quillforthd on PORT of the proxy's namespace with these upstreams.
serve() {
    local port=$1 arguments=()
    shift
    for server; do arguments+=(--upstream "$server"); done
    (cd "$work" && exec ip netns exec "$srv" "$daemon" --listen "$port" --cache "$port.csv" \
        "${arguments[@]}" >/dev/null 2>>"$work/stderr") &
}
serve 53 198.18.10.6 198.18.10.2
serve 5301 198.18.10.6:5300 198.18.10.2
serve 5302 '[2001:db8:10::2]'
serve 5303 198.18.10.2:5353
wait_for "$srv" 198.18.10.2 ready.test
wait_for "$srv" 127.0.0.1 www.example.test

# ask PORT NAMES...: one line per name, "answered MILLISECONDS" or "silent", asked in turn.
ask() {
    ip netns exec "$srv" python3 - "$@" <<'PY'
import socket, struct, sys, time
port, names = int(sys.argv[1]), sys.argv[2:]
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.settimeout(5)
for number, name in enumerate(names):
    query = struct.pack(">HHHHHH", number, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(label)]) + label.encode() for label in name.split("."))
    client.sendto(query + b"\0\0\x01\0\x01", ("127.0.0.1", port))
    start = time.monotonic()
    try:
        while client.recv(4096)[:2] != query[:2]:
            pass
        print("answered", int((time.monotonic() - start) * 1000))
    except socket.timeout:
        print("silent")
PY
}
names=$(seq -f 'new%g.test' 1 200)
# shellcheck disable=SC2086 # one name per word
ask 53 $names >"$work/failover"
check "with the first server silent, every new name is answered" 200 \
    "$(grep -c answered "$work/failover")"
check "after the first few, within the second server's own latency" 0 \
    "$(tail -n +11 "$work/failover" | awk '$2 >= 100' | wc -l)"
check "the silent server was passed over after the first few" 1 \
    "$(($(grep -c 'new' "$work/first.log") <= 10))"
check "a refusal sends the question to the second server at once" 1 \
    "$(ask 5301 refused.test | awk '{ print ($1 == "answered" && $2 < 200) }')"
check "an IPv6 upstream serves" answered "$(ask 5302 www.example.test | cut -d' ' -f1)"
check "an upstream on port 5353 serves" answered "$(ask 5303 www.example.test | cut -d' ' -f1)"

# The first server comes back: within 15 s new questions go to it again.
kill "$(cat "$work/first.pid")"
wait "$(cat "$work/first.pid")" 2>/dev/null
fake first 198.18.10.6 53
back=$SECONDS
for attempt in $(seq 40); do
    ask 53 "back$attempt.test" >/dev/null
    grep -q "back$attempt.test" "$work/first.log" && break
    sleep 0.5
done
check "the first server is asked first again within 15 s" "1 1" \
    "$(grep -c "back$attempt.test" "$work/first.log") $((SECONDS - back <= 15))"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

[ "$failures" -eq 0 ]
