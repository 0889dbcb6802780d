#!/usr/bin/env bash
# End to end: the real Quillforth.exe under Wine on a virtual display of its own, in a network
# namespace of its own, forwarding to a fake upstream in a second namespace (see
# tests/support/e2e_env.sh), with a stand-in for the system's DNS client service registered in
# its prefix. Queried with dig, driven and read back with the window tool, ended through the
# tray's "&Exit" and Escape.
# Needs root; exits 77 (skipped) without it or without Wine, Xvfb or dig.
#     quillforth_e2e.sh QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT
#                       FAKE_SERVICE_EXE
# QF_E2E_SHOTS=DIR keeps screenshots of the main dialog, the tray menu and the message boxes there.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
# The probe's host answers too, so that the upstream counts as up.
e2e_setup "$4" "$3" "$2" www.example.test='198.19.0.1|198.19.0.2' www.example.com=198.19.0.9
e2e_install_exe "$1"

# The DNS client service runs before the program starts; the program stops it while it serves
# and starts it again when it stops.
cp "$5" "$work/bin/dnscache.exe"
in_srv "$wine" sc create Dnscache binpath= "$(in_srv "$wine" winepath -w "$work/bin/dnscache.exe" 2>/dev/null | tr -d '\r')" >/dev/null 2>&1
in_srv "$wine" sc start Dnscache >/dev/null 2>&1
service_state() {
    for _ in $(seq 30); do
        state=$(in_srv "$wine" sc query Dnscache 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}')
        [ "$state" == "$1" ] && break
        sleep 0.2
    done
    echo "$state"
}
check "the DNS client service runs before the program starts" RUNNING "$(service_state RUNNING)"
# The tray text once it reads EXPECTED, or what it reads after a few seconds: the icon's timer
# takes up to a second to follow a change.
tray_text_becomes() {
    local text
    for _ in 1 2 3 4; do
        text=$(tray_text)
        [ "$text" == "$1" ] && break
    done
    echo "$text"
}

e2e_start
: >"$upstream_log"
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
    "$(grep -c 'www.example.test' "$upstream_log" | sed 's/^1$/udp www.example.test/')"
check "the DNS client service is stopped while the proxy serves" STOPPED "$(service_state STOPPED)"
check "the tray text says that the proxy runs" "Quillforth is running" "$(tray_text)"
screenshot tray-text-running
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
sleep 0.4
stopped_text=$(tray_text)
check "after Stop nothing answers on port 53" 0 "$(query www.example.test | grep -c ' IN A ')"
check "after Stop the adapter's servers are back" "$adapter_servers" "$(name_server)"
check "after Stop the DNS client service runs again" RUNNING "$(service_state RUNNING)"
check "within a second of Stop the tray text says so" "Quillforth was stopped" "$stopped_text"
check "the tray menu opens while the proxy is stopped" open "$(tray_menu stopped)"
window command "$caption" 32783
sleep 0.3
check "after Start the cache answers again" "www.example.test. 86400 IN A 198.19.0.1" \
    "$(query www.example.test)"
check "after Start the adapter points at the proxy again" 127.0.0.1 "$(name_server)"
check "after Start the DNS client service is stopped again" STOPPED "$(service_state STOPPED)"

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
check "after Exit the DNS client service runs" RUNNING "$(service_state RUNNING)"
check "the cache file holds the learned entry" "www.example.test,198.19.0.1|198.19.0.2,300" \
    "$(grep -a '^www.example.test' "$work/bin/DnsItem.csv" | cut -d, -f1-3)"

# Started again, the program answers the saved entry from its cache at once; Escape ends it.
: >"$upstream_log"
e2e_start
check "the saved entry is answered from the cache after a restart" \
    "www.example.test. 86400 IN A 198.19.0.1" "$(query www.example.test)"
check "the restarted program asked the upstream nothing about it" 0 \
    "$(grep -c 'www.example.test' "$upstream_log")"

# Killed without warning, the program leaves the takeover behind; the next start and stop bring
# the recorded servers back.
# The Windows process is not always the one that the shell started: kill it by its name.
kill_program
check "a killed program leaves the adapter at the proxy" 127.0.0.1 "$(name_server)"
e2e_start
window command "$caption" 32784
sleep 0.3
check "the next stop restores the recorded servers" "$adapter_servers" "$(name_server)"
window command "$caption" 32783
wait_serving

# The upstream goes silent: the next probe finds it down; cached answers still come at once.
stop_upstream
for _ in $(seq 150); do
    window text "$caption" 1011 | grep -q 'status: *Down' && break
    sleep 0.1
done
check "a silent upstream shows as down" "DNS server status:  Down" \
    "$(window text "$caption" 1011 | sed -n 3p | sed 's/ *$//')"
check "the tray text says that the upstream is down" "Current DNS server is down" \
    "$(tray_text_becomes "Current DNS server is down")"
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

e2e_finish
