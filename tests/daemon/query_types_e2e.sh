#!/usr/bin/env bash
# End to end: quillforthd in front of a real authoritative server (nsd), each in a namespace. A and
# AAAA come from the cache once learned (no answer for a name without IPv6), other types from the
# upstream, the question in the client's letter case; getaddrinfo gets both kinds without the
# 5-second retry of an unanswered AAAA question. Needs root; exits 77 (skipped) without it.
#     query_types_e2e.sh QUILLFORTHD
set -uo pipefail
daemon=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
require nsd

srv=qft-types-srv-$$
up=qft-types-up-$$
add_namespaces "$srv" "$up"
link "$srv" 198.18.10.1 "$up" 198.18.10.2
# glibc in the proxy's namespace asks the proxy alone.
mkdir -p "/etc/netns/$srv"
echo "nameserver 127.0.0.1" >"/etc/netns/$srv/resolv.conf"

cat >"$work/example.test.zone" <<'ZONE'
$ORIGIN example.test.
$TTL 300
@       SOA   ns admin 1 3600 600 86400 300
@       NS    ns
ns      A     198.18.10.2
www     A     198.19.2.1
www     AAAA  2001:db8::1
www     MX    10 mail.example.test.
www     TXT   "hello"
www     TYPE65 \# 3 000100
v4only  A     198.19.2.2
slow    A     198.19.2.3
slow    AAAA  2001:db8::3
ZONE
start_nsd "$up" 198.18.10.2 example.test
(cd "$work" && exec ip netns exec "$srv" "$daemon" --upstream 198.18.10.2 \
    >"$work/stdout" 2>"$work/stderr") &
daemon_pid=$!

# dig's answer for NAME TYPE through the proxy: its status, the question as it came back and the
# answer records, one line; "mismatch" when dig saw a reply to another question.
ask() {
    local out status question answers
    out=$(ip netns exec "$srv" dig +tries=1 +time=2 @127.0.0.1 "$@" 2>&1)
    grep -q 'mismatch' <<<"$out" && echo mismatch && return
    status=$(sed -n 's/.*status: \([A-Z]*\),.*/\1/p' <<<"$out")
    question=$(sed -n '/QUESTION SECTION/{n;p}' <<<"$out" | tr -s '\t ' ' ' | sed 's/^;//')
    answers=$(sed -n '/ANSWER SECTION/,/^$/p' <<<"$out" | grep -v -e SECTION -e '^$' |
        awk '{$2=""; print}' | tr -s ' ' | paste -sd,)
    echo "$status|$question|$answers"
}
wait_for "$srv" 198.18.10.2 ns.example.test
wait_for "$srv" 127.0.0.1 ns.example.test

# Each name asked once, A and AAAA.
for name in www.example.test v4only.example.test; do
    ask "$name" A >/dev/null
    ask "$name" AAAA >/dev/null
done

check "HTTPS reaches the upstream" \
    "NOERROR|www.example.test. IN HTTPS|www.example.test. IN HTTPS 1 ." \
    "$(ask www.example.test HTTPS)"
check "a question in mixed letter case is forwarded and echoed in its own case" \
    "NOERROR|WwW.ExAmPlE.TeSt. IN A|WwW.ExAmPlE.TeSt. IN A 198.19.2.1" \
    "$(ask WwW.ExAmPlE.TeSt A)"

# glibc's getaddrinfo (AF_UNSPEC) through the proxy: the addresses, and whether it took over 2 s
# (the retry that an unanswered AAAA question costs).
getaddrinfo() {
    ip netns exec "$srv" python3 - "$1" <<'PY'
import socket, sys, time
start = time.monotonic()
try:
    found = socket.getaddrinfo(sys.argv[1], 80, socket.AF_UNSPEC, socket.SOCK_STREAM)
except socket.gaierror:
    found = []
took = time.monotonic() - start
print(",".join(sorted({info[4][0] for info in found})), "slow" if took > 2 else "quick")
PY
}
check "getaddrinfo of an uncached name gets both kinds without a retry" \
    "198.19.2.3,2001:db8::3 quick" "$(getaddrinfo slow.example.test)"

# From here on the upstream is gone: what is answered comes from the cache.
kill "$(cat "$work/nsd.pid")" 2>/dev/null
sleep 0.3
check "A from the cache" "NOERROR|www.example.test. IN A|www.example.test. IN A 198.19.2.1" \
    "$(ask www.example.test A)"
check "AAAA from the cache" \
    "NOERROR|www.example.test. IN AAAA|www.example.test. IN AAAA 2001:db8::1" \
    "$(ask www.example.test AAAA)"
check "AAAA of a name without IPv6: no answer, from the cache" \
    "NOERROR|v4only.example.test. IN AAAA|" "$(ask v4only.example.test AAAA)"
check "the mixed-case question, learned under its own case, echoed from the cache" \
    "NOERROR|WwW.ExAmPlE.TeSt. IN A|WwW.ExAmPlE.TeSt. IN A 198.19.2.1" \
    "$(ask WwW.ExAmPlE.TeSt A)"
for type in MX TXT HTTPS; do
    check "$type never comes from the cache" "||" "$(ask www.example.test "$type")"
done

check "getaddrinfo of a cached name gets both kinds at once" "198.19.2.1,2001:db8::1 quick" \
    "$(getaddrinfo www.example.test)"

kill -TERM "$daemon_pid"
wait "$daemon_pid"
check "the saved cache keeps the IPv6 addresses and the mark for none in a sixth field" \
    "www.example.test,198.19.2.1,2001:db8::1 v4only.example.test,198.19.2.2,-" \
    "$(grep -a -e '^www' -e '^v4only' "$work/DnsItem.csv" | tr -d '\r' | cut -d, -f1,2,6 | sort -r | paste -sd' ')"
check "nothing went to stderr" "" "$(cat "$work/stderr")"

[ "$failures" -eq 0 ]
