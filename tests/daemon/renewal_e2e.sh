#!/usr/bin/env bash
# End to end: quillforthd keeps the upstream's TTL, against a fake upstream whose answers change
# while the test runs. A cached answer carries every address and the seconds left; once they have
# passed, the next query is answered at once with 30 s and renewed upstream once, and the one after
# gets the new addresses; a silent upstream leaves the expired entry answered at once and asked
# again only once. glibc's getaddrinfo gets every address. A daemon killed a save period after it
# learned finds its names at the next start; one ended with SIGHUP saves as on SIGTERM; a cache file
# it cannot read stops it before it serves. Needs root; exits 77 (skipped) without it.
#     renewal_e2e.sh QUILLFORTHD FAKE_UPSTREAM_PY
set -uo pipefail
daemon=$1
upstream=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
require python3

srv=qfr-srv-$$
up=qfr-up-$$
add_namespaces "$srv" "$up"
link "$srv" 198.18.11.1 "$up" 198.18.11.2
# glibc in the proxy's namespace asks the proxy alone.
mkdir -p "/etc/netns/$srv"
echo "nameserver 127.0.0.1" >"/etc/netns/$srv/resolv.conf"

table=$work/table
echo 'moving.test=198.19.3.1|198.19.3.2|198.19.3.3@4' >"$table"
FAKE_UPSTREAM_TABLE=$table FAKE_UPSTREAM_LOG=$work/upstream.log \
    ip netns exec "$up" python3 "$upstream" 198.18.11.2 53 quiet.test=198.19.5.1@2 \
    multi.test='198.19.4.1|198.19.4.2' saved.test=198.19.4.9 &
disown
# The daemon on port 53 of its namespace, saving its cache 2 s after a change.
start() {
    (cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.11.2 --save-seconds 2 \
        >>"$work/stdout" 2>>"$work/stderr") &
    daemon_pid=$!
    wait_for "$srv" 127.0.0.1 ready.test
}
# "TTL ADDRESS|ADDRESS..." of the answer to NAME, the TTL of its first record.
ask() {
    ip netns exec "$srv" dig +tries=1 +time=2 +noall +answer @127.0.0.1 "$1" |
        awk '{ if (!ttl) ttl = $2; addresses = addresses sep $5; sep = "|" }
             END { print ttl, addresses }'
}
# How often NAME reached the upstream.
asked() {
    grep -c "^udp $1\$" "$work/upstream.log"
}
milliseconds() {
    echo $(($(date +%s%N) / 1000000))
}
start

ask quiet.test >/dev/null
ask moving.test >/dev/null
read -r ttl addresses <<<"$(ask moving.test)"
check "a cached answer carries every address and the seconds left of the upstream's 4" \
    "198.19.3.1|198.19.3.2|198.19.3.3 1 1" "$addresses $((ttl >= 1 && ttl <= 4)) $(asked moving.test)"

echo 'moving.test=198.19.3.7@4' >"$table"
sleep 4.2
check "once they have passed, the old addresses come at once with 30 s" \
    "30 198.19.3.1|198.19.3.2|198.19.3.3" "$(ask moving.test)"
sleep 0.5
check "the upstream saw one renewal" 2 "$(asked moving.test)"
read -r ttl addresses <<<"$(ask moving.test)"
check "the next query gets the renewed address" "198.19.3.7 1" "$addresses $((ttl <= 4))"

# quiet.test expired long ago and was never renewed.
echo silent >>"$table"
slowest=0
for _ in 1 2 3 4 5 6; do
    started=$(milliseconds)
    answer=$(ask quiet.test)
    took=$(($(milliseconds) - started))
    [ "$took" -gt "$slowest" ] && slowest=$took
    check "with the upstream silent the expired entry is still answered" "30 198.19.5.1" "$answer"
    sleep 0.5
done
check "each time at once" 1 "$((slowest < 500))"
check "and the upstream was asked once again, no more" 2 "$(asked quiet.test)"

sed -i '/silent/d' "$table"
# glibc's getaddrinfo (AF_INET): the addresses it returns, forwarded and then from the cache.
getaddrinfo() {
    ip netns exec "$srv" python3 -c 'import socket, sys
found = socket.getaddrinfo(sys.argv[1], 80, socket.AF_INET, socket.SOCK_STREAM)
print("|".join(sorted({info[4][0] for info in found})))' "$1"
}
getaddrinfo multi.test >/dev/null
check "getaddrinfo through the cache returns every address of the name" \
    "198.19.4.1|198.19.4.2 1" "$(getaddrinfo multi.test) $(asked multi.test)"

# Learned and saved within its period, a name survives a kill without warning.
sleep 3
kill -KILL "$daemon_pid"
wait "$daemon_pid" 2>/dev/null
check "killed a save period after it learned, the daemon left the name in its file" 1 \
    "$(grep -ac '^multi.test,198.19.4.1|198.19.4.2,300,' "$work/DnsItem.csv")"
start
check "the next start answers it from the file, without the upstream" "198.19.4.1|198.19.4.2 1" \
    "$(ask multi.test | cut -d' ' -f2) $(asked multi.test)"

ask saved.test >/dev/null
kill -HUP "$daemon_pid"
wait "$daemon_pid"
check "SIGHUP ends the daemon with 0" 0 $?
check "and the cache is saved as on SIGTERM" 1 "$(grep -ac '^saved.test,' "$work/DnsItem.csv")"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

# A cache file it cannot read (UTF-16, as PowerShell's ">" writes) is left alone: no start.
printf '\xff\xfe#\0D\0' >"$work/utf16.csv"
ip netns exec "$srv" timeout 5 "$daemon" --upstream 198.18.11.2 --cache "$work/utf16.csv" \
    >/dev/null 2>"$work/utf16.err"
check "a cache file it cannot read ends it with 2 and a message, the file as it was" "2 1 6" \
    "$? $(grep -c 'cannot read the cache file' "$work/utf16.err") $(wc -c <"$work/utf16.csv")"

[ "$failures" -eq 0 ]
