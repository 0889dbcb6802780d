#!/usr/bin/env bash
# quillforthd.exe under Wine at the end of the Windows session: it saves its cache and ends as
# on Ctrl+C. It runs in a namespace with loopback alone and serves a name of its cache file.
# Needs root, wine64 and a display; exits 77 (skipped) without them.
#     session_end_e2e.sh QUILLFORTHD_EXE WINE_TEMPLATE
set -uo pipefail
daemon=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns_env.sh
source "$here/netns_env.sh"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
require "$wine"
[ -n "${DISPLAY:-}" ] || { echo "skipped: needs a display" && exit 77; }

prefix=$work/prefix
template=$("$2") || exit 77
cp -al "$template/." "$prefix/" && cp --remove-destination "$template"/{system,user,userdef}.reg "$prefix/"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
trap '"$wineserver" -k >/dev/null 2>&1; cleanup' EXIT
srv=qfs-srv-$$
add_namespaces "$srv"
# Wine's sockets are made by its server: it runs in the namespace too.
ip netns exec "$srv" "$wineserver" -p >/dev/null 2>&1 </dev/null
printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\ncached.test,10.0.0.1,300,5,1700000000\r\n' >"$work/c.csv"
ip netns exec "$srv" "$wine" "$daemon" --upstream 127.0.0.1:5300 --cache "Z:$work/c.csv" \
    >"$work/stdout" 2>"$work/stderr" &
daemon_pid=$!
# Wine's first start in a fresh prefix takes a while.
for _ in $(seq 60); do
    ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 cached.test >/dev/null 2>&1 && break
    sleep 0.5
done
check "a name of the cache is answered" 10.0.0.1 \
    "$(ip netns exec "$srv" dig +short +tries=1 @127.0.0.1 cached.test)"

"$wine" wineboot --end-session --force >/dev/null 2>&1
for _ in $(seq 100); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
check "the session's end ends it" ended "$(kill -0 "$daemon_pid" 2>/dev/null || echo ended)"
wait "$daemon_pid"
check "with exit code 0" 0 $?
hits=$(awk -F, '$1 == "cached.test" { print $4 }' "$work/c.csv")
check "its last save holds the hits since the start" yes "$( ((${hits:-0} > 5)) && echo yes)"
check "its statistics printed" 1 "$(grep -c '^Cached DNS item  *1.$' "$work/stdout")"
exit $((failures > 0))
