#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): Quillforth.exe with DNS-over-HTTPS servers,
# dnsdist's DoH front end before nsd (tests/support/dns_servers.sh) in the upstream's namespace,
# over WinHTTP, which trusts the test CA through a bundle bind-mounted in this script's own mount
# namespace and finds the server's host through the namespace's resolver: the proxy first, then
# the fake upstream, which the adapter reports as its server before the takeover. Answers as nsd
# gives them, cached ones without the server, nothing in clear text but the server's own name
# asked of that bootstrap server, the status box and the tray saying so; a host learned at a false
# address asked again; a server of Windows' own encrypted list offered in its HTTPS form; failover
# from a dead HTTPS server to a plain one, and none from a slow one for a burst of new names; a
# redirect and a cookie not followed, a reply that trickles in given up; three refused certificates,
# each without an answer and named.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../support/dns_servers.sh"
e2e_require
for tool in dnsdist nsd openssl tcpdump unshare; do
    command -v "$tool" >/dev/null || { echo "skipped: needs $tool" && exit 77; }
done
[ -n "${QF_E2E_MOUNTS:-}" ] || QF_E2E_MOUNTS=1 exec unshare -m --propagation private "$0" "$@"
exe=$1
e2e_setup "$4" "$3" "$2" www.example.com=198.19.0.9 dns.test=198.18.12.2
doh_address=198.18.12.2
ip -n "$up" addr add "$doh_address/32" dev veth1
ip -n "$srv" route add "$doh_address/32" via "$upstream_address"
start_doh_servers "$up" "$doh_address"
wait_until 10 ip netns exec "$up" dig +tries=1 +time=1 -p 5399 @127.0.0.1 ns.test >/dev/null
mount --bind "$work/bundle.crt" /etc/ssl/certs/ca-certificates.crt
mkdir -p "/etc/netns/$srv"
printf 'nameserver %s\n' 127.0.0.1 "$upstream_address" >"/etc/netns/$srv/resolv.conf"
# The proxy answers the server's own name itself, whether the server serves or not.
ready_name=dns.test

# The program started afresh with the "Dns" setting $1, the adapter's static servers $2 and an
# empty cache, or one that holds the entry $3.
run() {
    dns_setting=$1 e2e_install_exe "$exe"
    rm -f "$work/bin/DnsItem.csv"
    [ -z "${3:-}" ] ||
        printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n%s\r\n' "$3" >"$work/bin/DnsItem.csv"
    in_srv "$wine" reg add "$interface_key" /v NameServer /t REG_SZ /d "$2" /f >/dev/null 2>&1
    e2e_start
}
# The answer section through the proxy, and from nsd itself, one line without the TTLs.
answer() {
    query "$@" | grep -v '^;;' | awk '{$2=""; print}' | tr -s ' ' | paste -sd,
}
direct() {
    ip netns exec "$up" dig +tries=1 +time=2 +noall +answer "@$doh_address" "$@" |
        awk '{$2=""; print}' | tr -s ' ' | paste -sd,
}

# Only the HTTPS server, without its address: the proxy finds its host through the adapter's
# server from before the takeover, and everything else goes encrypted.
ip netns exec "$up" tcpdump -l -nn -i veth1 'port 53' >"$work/clear.txt" 2>/dev/null &
capture=$!
sleep 0.5
run https://dns.test/dns-query ""
for type in A AAAA MX; do
    check "$type over HTTPS as nsd gives it" "$(direct www.test "$type")" \
        "$(answer www.test "$type")"
done
check "a long answer whole over TCP, after the TC of a cut one over UDP" \
    "$(direct +tcp long.test TXT)" "$(answer +noedns long.test TXT)"
check "a client without EDNS gets the long answer cut, with TC" "tc 0" "$(
    ip netns exec "$srv" dig +tries=1 +time=2 +noedns +ignore @127.0.0.1 long.test TXT |
        sed -n 's/.*flags:.* \(tc\).*ANSWER: \([0-9]*\),.*/\1 \2/p')"
queries=$(grep -c 'www.test' "$work/doh.log")
answer www.test A >/dev/null
check "a cached name is answered without asking the server" "$queries" \
    "$(grep -c 'www.test' "$work/doh.log")"
check_soon 15 "the status box says that the server in use is encrypted" \
    "Encrypted DNS server: https://dns.test/dns-query|DNS server status:  Up, 1 of 1 answer" \
    eval "status_text | sed 1d | paste -sd'|'"
screenshot encrypted
check "the tray says so too" "Quillforth is running (encrypted)" "$(tray_text)"
check_exit
kill "$capture"
wait "$capture" 2>/dev/null
check "in clear text only the server's own name, asked of the adapter's former server" \
    "$upstream_address dns.test" "$(sed -n 's/.* > \(.*\)\.53: .*? \([a-z.]*\)\. .*/\1 \2/p' \
        "$work/clear.txt" | sort -u | paste -sd,)"

# An earlier run learned a false address for the server's host (a café's sign-in page's): the
# server falls silent there, the proxy asks its host again, and WinHTTP goes to the one found.
run https://dns.test/dns-query "" "dns.test,127.0.0.1,86400,1,1700000000"
for name in a b c; do query "$name.moved.test" >/dev/null; done
check_soon 40 "a server whose host was learned at a false address finds it again, and serves" \
    "$(direct www.test A)" answer www.test A
check_exit

# The adapter's server is one that Windows' DNS Client reaches encrypted: the list holds its
# HTTPS form in its place. Behind a dead HTTPS server, a plain one answers.
well_known='HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters\DohWellKnownServers'
in_srv "$wine" reg add "$well_known\\$doh_address" /v Template /t REG_SZ \
    /d 'https://dns.test/dns-query{?dns}' /f >/dev/null 2>&1
run "https://dns.test:447/dns-query ($doh_address)|$upstream_address" "$doh_address"
check "the adapter's server is listed in its HTTPS form" \
    "https://dns.test:447/dns-query ($doh_address)|$upstream_address|https://dns.test/dns-query ($doh_address)" \
    "$(ini_value Dns)"
check "a dead HTTPS server fails over to the plain one" "www.example.com. 300 IN A 198.19.0.9" \
    "$(query www.example.com)"
check_exit

# A server of HTTP/1.1 only that takes 60 ms a query, behind which a plain one is listed: the
# program carries a few queries at once (a thread each), so most of a burst of new names waits its
# turn, and none of them goes to the plain server in clear text meanwhile. Its round trips are
# measured first, so that the program waits only twice the slowest of them before it asks the next
# server.
ip netns exec "$up" python3 "$(dirname "${BASH_SOURCE[0]}")/../support/bad_https.py" \
    "$doh_address" 8443 "$work/good.crt" "$work/good.key" &
run "https://dns.test:8443/slow ($doh_address)|$upstream_address" ""
for i in 1 2 3 4 5 6 7 8; do query "warm$i.slow.test" >/dev/null; done
check "a burst of 100 new names at a server that carries a few at once: all answered by it" \
    100 "$(burst "$srv" 53 100 slow 198.19.7.7)"
check "... and none asked of the plain server" 0 "$(grep -c slow "$upstream_log")"
check_exit

# A server that sets a cookie and redirects elsewhere: neither is followed (a query that went on, or
# brought the cookie back, would be answered).
run "https://dns.test:8443/redirect ($doh_address)" ""
check "a server that redirects and sets a cookie: no answer" "" \
    "$(answer first.slow.test A)$(answer second.slow.test A)"
check_exit

# A server that trickles its replies holds none of the program's few threads past a query's wait:
# once a burst of such queries has given up, the next query is answered.
run "https://dns.test:8443/trickle ($doh_address)" ""
burst "$srv" 53 8 trickle >/dev/null
check "after a burst of trickled replies, a query is answered" 198.19.7.7 \
    "$(answer after.slow.test A | cut -d' ' -f4)"
check_exit

# A server far away, whose handshakes take 300 ms, closes a connection idle for a second: after an
# idle spell a query waits for a new connection's handshake as well as for its answer, longer than
# the 250 ms the program waits on an open one, and is still the server's alone.
ip netns exec "$up" python3 "$(dirname "${BASH_SOURCE[0]}")/../support/bad_https.py" \
    "$doh_address" 8444 "$work/good.crt" "$work/good.key" 300 &
run "https://dns.test:8444/slow ($doh_address)|$upstream_address" ""
for i in 1 2 3 4 5 6 7 8 9; do query "near$i.slow.test" >/dev/null; done
sleep 1.5
check "after an idle spell a far server's new connection is waited for, not failed over" \
    198.19.7.7 "$(answer far.slow.test A | cut -d' ' -f4)"
check "... and it is not asked of the plain server" 0 "$(grep -c far "$upstream_log")"
check_exit

# Certificates for another name, expired, and from an unknown CA: no answer, and the status box
# and the tray name the refused one.
for port in 444 445 446; do
    run "https://dns.test:$port/dns-query ($doh_address)" ""
    check "no answer over a refused certificate ($port)" "" "$(answer www.test A)"
    check_soon 5 "the status box names the refused certificate ($port)" \
        "Certificate of dns.test not trusted" eval "status_text | head -1"
    screenshot "refused-$port"
    [ "$port" != 444 ] ||
        check_soon 15 "the tray warns of it" "Certificate of dns.test not trusted" tray_text
    check_exit
done

e2e_finish
