#!/usr/bin/env bash
# End to end: the real Quillforth.exe under Wine on a virtual display of its own, in a network
# namespace of its own (its wineserver too, as the sockets live there), forwarding to a fake
# upstream in a second namespace joined by a veth pair in 198.18.0.0/15, with no route out.
# Queried with dig, driven and read back with the window tool, ended through the tray's "&Exit"
# and Escape.
# Needs root; exits 77 (skipped) without it or without Wine, Xvfb or dig.
#     quillforth_e2e.sh QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT
# QF_E2E_SHOTS=DIR keeps screenshots of the main dialog, the tray menu and the message boxes there.
set -uo pipefail
exe=$1
tool=$2
upstream=$3
template_script=$4
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [ "$(id -u)" -ne 0 ] || [ ! -x "$wine" ] || ! command -v Xvfb >/dev/null ||
    ! command -v dig >/dev/null || ! command -v ip >/dev/null; then
    echo "skipped: needs root, wine64, Xvfb, ip and dig"
    exit 77
fi
template=$("$template_script") || exit 1

suffix=$$
srv=qfe-srv-$suffix
up=qfe-up-$suffix
work=$(mktemp -d)
prefix=$work/prefix
display=
failures=0
caption="Quillforth v1.80"
cleanup() {
    WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
    ip netns pids "$srv" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns pids "$up" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns del "$srv" 2>/dev/null
    ip netns del "$up" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() {
    local what=$1 expected=$2 actual=$3
    if [ "$expected" == "$actual" ]; then
        echo "ok: $what"
    else
        echo "FAILED: $what: expected [$expected], got [$actual]"
        failures=$((failures + 1))
    fi
}
# Runs a command in the program's namespace, with its prefix and display.
in_srv() {
    ip netns exec "$srv" env WINEPREFIX="$prefix" WINEDEBUG=-all \
        WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY="$display" "$@"
}
window() {
    in_srv "$wine" "$tool" "$@" 2>/dev/null | tr -d '\r'
}
query() {
    ip netns exec "$srv" dig +tries=1 +time=2 +noall +answer @127.0.0.1 "$@" | tr -s '\t ' ' '
}
screenshot() {
    [ -n "${QF_E2E_SHOTS:-}" ] && command -v xwd >/dev/null && command -v convert >/dev/null ||
        return 0
    mkdir -p "$QF_E2E_SHOTS"
    in_srv xwd -root -silent | convert xwd:- "$QF_E2E_SHOTS/$1.png"
}

# Until a message box with this caption shows: its text; the box is photographed as SHOT, then
# answered with OK.
wait_for_box() {
    local caption=$1 shot=$2
    for _ in $(seq 100); do
        [ -n "$(window text "$caption" 65535)" ] && break
        sleep 0.1
    done
    sleep 0.2
    screenshot "$shot"
    window box "$caption"
}
# Until the process ends (10 s at most): "ended" or "running".
wait_ended() {
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$1" 2>/dev/null && echo running || echo ended
}
# Until the program answers on port 53 (it needs a few seconds to start under Wine).
wait_serving() {
    for _ in $(seq 100); do
        ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 ready.test >/dev/null 2>&1 && break
        sleep 0.2
    done
}

ip netns add "$srv"
ip netns add "$up"
ip -n "$srv" link set lo up
ip -n "$up" link set lo up
ip -n "$srv" link add veth0 type veth peer name veth1 netns "$up"
ip -n "$srv" addr add 198.18.9.1/30 dev veth0
ip -n "$up" addr add 198.18.9.2/30 dev veth1
ip -n "$srv" link set veth0 up
ip -n "$up" link set veth1 up

# The probe's host answers too, so that the upstream counts as up.
FAKE_UPSTREAM_LOG=$work/upstream.log ip netns exec "$up" python3 "$upstream" 198.18.9.2 53 \
    www.example.test='198.19.0.1|198.19.0.2' www.example.com=198.19.0.9 &
upstream_pid=$!
disown

mkdir -p "$prefix" "$work/bin"
cp -al "$template/." "$prefix/"
cp --remove-destination "$template"/{system,user,userdef}.reg "$prefix/"
cp "$exe" "$work/bin/Quillforth.exe"
# The upstream is configured before the first start; autostart stays off.
printf '[Settings]\r\nDns=198.18.9.2\r\nStartAtLogin=0\r\n' >"$work/bin/Quillforth.ini"

# Xvfb picks a free display number and writes it to the file.
in_srv Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
disown
for _ in $(seq 50); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
display=:$(head -1 "$work/display")
# The wineserver must live in the namespace: the program's sockets are its sockets.
in_srv "$wineserver" -p >/dev/null 2>&1 </dev/null
# The adapter of the namespace gets its interface key, which a fresh prefix lacks, holding the
# servers that the system reports for it (under Wine: the host's resolver, which the namespace
# cannot reach): the takeover must point it at the proxy and the restore bring them back.
read -r adapter adapter_servers <<<"$(window adapters | head -1)"
adapter_servers=${adapter_servers:-198.18.9.3}
interface_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\$adapter"
record_key='HKCU\Software\Veltmark\Quillforth\DnsServers'
in_srv "$wine" reg add "$interface_key" /v NameServer /t REG_SZ /d "$adapter_servers" /f >/dev/null 2>&1
reg_value() {
    in_srv "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n {print $3}'
}
name_server() {
    reg_value "$interface_key" NameServer
}

in_srv "$wine" "$work/bin/Quillforth.exe" >"$work/stdout" 2>"$work/stderr" </dev/null &
program=$!

wait_serving
: >"$work/upstream.log"
sleep 0.3
screenshot main-dialog

check "the main dialog is shown" 0 "$(window visible "$caption"; echo $?)"
status=$(window text "$caption" 1011)
check "the status box shows when the cache is refreshed next" 1 \
    "$(sed -n 1p <<<"$status" | grep -cE '^Cache next update:  [0-9]{2}:[0-9]{2}:[0-9]{2} *$')"
check "the status box shows the configured upstream in use" \
    "Current DNS server: 198.18.9.2" "$(sed -n 2p <<<"$status" | sed 's/ *$//')"
check "the status box shows the upstream up" \
    "DNS server status:  Up" "$(sed -n 3p <<<"$status" | sed 's/ *$//')"
check "a miss is forwarded and its reply relayed" \
    "www.example.test. 300 IN A 198.19.0.1,www.example.test. 300 IN A 198.19.0.2" \
    "$(query www.example.test | paste -sd,)"
check "the second query is answered from the cache" \
    "www.example.test. 86400 IN A 198.19.0.1" "$(query www.example.test)"
check "only the miss reached the upstream" "udp www.example.test" \
    "$(grep -c 'www.example.test' "$work/upstream.log" | sed 's/^1$/udp www.example.test/')"
check "the namespace has an adapter" 1 "$(grep -c . <<<"$adapter")"
check "the adapter points at the proxy while it runs" 127.0.0.1 "$(name_server)"
check "the first run recorded the adapter's servers" "$adapter_servers" "$(reg_value "$record_key" "$adapter")"
check "the first-run record is marked as taken" 0 "$(reg_value "$record_key" FirstRun)"
check "the INI file holds all eight keys" \
    "DlgInformationAlwaysOnTop,DlgInformationUp,Dns,HideThisDialog,LastUpdateTime,OutdatedHours,StartAtLogin,UpdateHours" \
    "$(tr -d '\r' <"$work/bin/Quillforth.ini" | grep = | cut -d= -f1 | sort | paste -sd,)"

# The close button only hides the dialog; the proxy keeps serving.
window close "$caption"
sleep 0.5
check "closing hides the dialog" 1 "$(window visible "$caption"; echo $?)"
check "the hidden program still answers" "www.example.test. 86400 IN A 198.19.0.1" \
    "$(query www.example.test)"

# A right click on the tray icon (WM_TRAYNOTIFY with WM_RBUTTONUP) opens its menu. Wine keeps a
# menu's items private to its process, so which are grayed shows only on the screenshots.
tray_menu() {
    window post "$caption" 0x405 132 0x205
    sleep 0.4
    screenshot "tray-menu-$1"
    for _ in $(seq 50); do
        menu=$(window menu) && break
        sleep 0.1
    done
    head -1 <<<"$menu"
}
check "a right click on the tray icon opens its menu" open "$(tray_menu running)"

# Stop closes port 53, Start opens it again (the tray menu's commands).
window command "$caption" 32784
sleep 0.3
check "after Stop nothing answers on port 53" 0 "$(query www.example.test | grep -c ' IN A ')"
check "after Stop the adapter's servers are back" "$adapter_servers" "$(name_server)"
check "the tray menu opens while the proxy is stopped" open "$(tray_menu stopped)"
window command "$caption" 32783
sleep 0.3
check "after Start the cache answers again" "www.example.test. 86400 IN A 198.19.0.1" \
    "$(query www.example.test)"
check "after Start the adapter points at the proxy again" 127.0.0.1 "$(name_server)"

# A second copy says so and ends; the first one goes on serving, hidden.
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
second=$!
box=$(wait_for_box Quillforth already-running)
check "a second copy shows its message" "Quillforth is already running!" "$box"
check "the second copy ends" "ended" "$(wait_ended "$second")"
check "the first copy still answers" "www.example.test. 86400 IN A 198.19.0.1" \
    "$(query www.example.test)"
check "the first copy stays hidden" 1 "$(window visible "$caption"; echo $?)"

# The tray menu's "&Exit" ends the program and saves the cache.
window command "$caption" 32772
check "Exit ends the program" "ended" "$(wait_ended "$program")"
check "port 53 is closed after Exit" 0 "$(query www.example.test | grep -c ' IN A ')"
check "after Exit the adapter's servers are back" "$adapter_servers" "$(name_server)"
check "the cache file holds the learned entry" "www.example.test,198.19.0.1|198.19.0.2,300" \
    "$(grep -a '^www.example.test' "$work/bin/DnsItem.csv" | cut -d, -f1-3)"

# Started again, the program answers the saved entry from its cache at once; Escape ends it.
: >"$work/upstream.log"
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
program=$!
wait_serving
check "the saved entry is answered from the cache after a restart" \
    "www.example.test. 86400 IN A 198.19.0.1" "$(query www.example.test)"
check "the restarted program asked the upstream nothing about it" 0 \
    "$(grep -c 'www.example.test' "$work/upstream.log")"

# Killed without warning, the program leaves the takeover behind; the next start and stop bring
# the recorded servers back.
# The Windows process is not always the one that the shell started: kill it by its name.
victims=$(ip netns pids "$srv" | xargs -r ps -o pid=,args= -p | grep -i 'Quillforth\.exe' |
    awk '{print $1}')
kill -9 $victims "$program" 2>/dev/null
wait "$program" 2>/dev/null
for victim in $victims; do
    check "a killed program ends" "ended" "$(wait_ended "$victim")"
done
check "a killed program leaves the adapter at the proxy" 127.0.0.1 "$(name_server)"
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
program=$!
wait_serving
window command "$caption" 32784
sleep 0.3
check "the next stop restores the recorded servers" "$adapter_servers" "$(name_server)"
window command "$caption" 32783
wait_serving

# The upstream goes silent: the next probe finds it down; cached answers still come at once.
kill "$upstream_pid"
for _ in $(seq 150); do
    window text "$caption" 1011 | grep -q 'status: *Down' && break
    sleep 0.1
done
check "a silent upstream shows as down" "DNS server status:  Down" \
    "$(window text "$caption" 1011 | sed -n 3p | sed 's/ *$//')"
check "a cached domain is still answered" "www.example.test. 86400 IN A 198.19.0.1" \
    "$(ip netns exec "$srv" dig +tries=1 +time=1 +noall +answer @127.0.0.1 www.example.test |
        tr -s '\t ' ' ')"
screenshot upstream-down

window key "$caption" 27 1010
check "Escape ends the program" "ended" "$(wait_ended "$program")"
check "after Escape the adapter's servers are back" "$adapter_servers" "$(name_server)"

# Port 53 held by another program: the server's message with 10048, then the program ends.
ip netns exec "$srv" python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 53))
time.sleep(60)' &
holder=$!
sleep 0.3
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
program=$!
box=$(wait_for_box Quillforth port-taken)
check "a taken port 53 is reported with its error number" "CDnsSocket::RunDnsServer - Error:10048" \
    "$(head -1 <<<"$box" | cut -d' ' -f1-3)"
check "the program ends after the message" "ended" "$(wait_ended "$program")"
check "after the failed start the adapter's servers are back" "$adapter_servers" "$(name_server)"
kill "$holder" 2>/dev/null

[ "$failures" -eq 0 ]
