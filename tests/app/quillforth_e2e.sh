#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): the real Quillforth.exe with a stand-in DNS
# client service, queried with dig, driven with the window tool, ended through "&Exit" and Escape.
# QF_E2E_SHOTS=DIR keeps shots of the main dialog, the tray menu and the message boxes.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
# The first server of the list never answers: lookups go on through the second.
dns_setting="$silent_address|$upstream_address" \
    e2e_exe_setup "${@:1:4}" www.example.test='198.19.0.1|198.19.0.2|2001:db8::5'
# The answer lines without their TTLs, joined by commas: what the cache gives for the name.
answers() {
    query "$@" | awk '{print $1, $3, $4, $5}' | paste -sd,
}
cached="www.example.test. IN A 198.19.0.1,www.example.test. IN A 198.19.0.2"
stop=32784
start=32783

dns_client_service "$5"
shown() {
    window visible "$caption"
    echo $?
}
# A right click on the tray icon (WM_TRAYNOTIFY with WM_RBUTTONUP) opens its menu. Wine keeps a
# menu's items private to its process, so which are grayed shows only on the screenshots.
check_tray_menu() {
    window post "$caption" 0x8005 132 0x205
    sleep 0.4
    menu_shot "tray-menu-$1"
    check_soon 5 "a right click on the tray icon opens its menu while $1" open window menu
}
# Adapter, port 53 and DNS client service after the program let go of them, and Windows told.
check_restored() {
    check "$1: port 53 is closed" 0 "$(query www.example.test | grep -c ' IN A ')"
    check "$1: the adapter's servers are back" "$adapter_servers" "$(name_server)"
    check_soon 6 "$1: the DNS client service runs" RUNNING service_state
    check_soon 5 "$1: ipconfig /registerdns, then /flushdns" /registerdns,/flushdns ipconfig_calls 2
}

e2e_start
: >"$upstream_log"
sleep 0.3
screenshot main-dialog
check "the main dialog is shown" 0 "$(shown)"
check "a miss is forwarded and its reply relayed" \
    "www.example.test. 300 IN A 198.19.0.1,www.example.test. 300 IN A 198.19.0.2" \
    "$(query www.example.test | paste -sd,)"
check "the second query is answered from the cache, every address for what is left of 300 s" \
    "$cached 1" \
    "$(answers www.example.test) $(query www.example.test | awk 'NR == 1 {print ($2 > 290 && $2 <= 300)}')"
check "only the miss reached the upstream" "udp www.example.test" \
    "$(grep www.example.test "$upstream_log")"
check "an AAAA question gets its own answer, learned then answered from the cache" \
    "www.example.test. 300 IN AAAA 2001:db8::5,www.example.test. IN AAAA 2001:db8::5" \
    "$(query www.example.test AAAA),$(answers www.example.test AAAA)"
check "[::1] is answered from the cache" "$cached" "$(server=::1 answers www.example.test)"
check "an MX question always reaches the upstream" "udp www.example.test 28,udp www.example.test 15" \
    "$(query www.example.test MX >/dev/null; grep ' 28$\| 15$' "$upstream_log" | paste -sd,)"
status_box() {
    status_text | sed -E '1s/[0-9]{2}:[0-9]{2}:[0-9]{2}$/HH:MM:SS/' | paste -sd,
}
# The list is the "Dns" setting's servers, then the adapter's.
servers=$(ini_value Dns | tr '|' '\n' | grep -c .)
check_soon 15 "the status box: the next refresh, the server that serves and how many answer" \
    "Cache next update:  HH:MM:SS,Current DNS server: $upstream_address,DNS server status:  Up, 1 of $servers answer" \
    status_box
check "the silent server is passed over: a new name is answered within a second" \
    "www.example.com. 300 IN A 198.19.0.9" "$(query +time=1 www.example.com)"
check_soon 6 "the DNS client service is stopped while the proxy serves" STOPPED service_state
check "the tray text says that the proxy runs: no warning while one server answers" \
    "Quillforth is running" "$(tray_text)"
check "and the share of the day's queries answered from the cache" \
    "% of today's queries answered from the cache" "$(tray_text 2 | sed 's/^[0-9]*//')"
check "the adapter points at the proxy while it runs" 127.0.0.1 "$(name_server)"
check "the machine's record holds the adapter's servers" "$adapter_servers" \
    "$(reg_value "$record_key" NameServer)"
check_soon 5 "Windows was told of the takeover" /registerdns,/flushdns ipconfig_calls
: >"$ipconfig_log"
check "the INI file holds all nine keys" \
    "AnswerLocalNetwork,DlgInformationAlwaysOnTop,DlgInformationUp,Dns,HideThisDialog,LastUpdateTime,OutdatedHours,StartAtLogin,UpdateHours" \
    "$(tr -d '\r' <"$work/bin/Quillforth.ini" | grep = | cut -d= -f1 | sort | paste -sd,)"

# The machines of the attached network are answered only once "Answer the local network" is
# ticked; the setting is kept.
# The setting, then the answer to a machine of the attached network.
local_network() {
    echo "$(ini_value AnswerLocalNetwork) $(ip netns exec "$up" dig +tries=1 +time=1 +noall \
        +answer @198.18.9.1 www.example.test | grep -v '^;;' | tr -s '\t ' ' ' |
        awk '{print $1, $3, $4, $5}' | paste -sd,)"
}
check "a machine of the attached network gets no answer by default" "0 " "$(local_network)"
window click "$caption" 1003
check_soon 3 "ticked, the box is kept and the machine answered" "1 $cached" local_network
window click "$caption" 1003
check_soon 3 "unticked, it is off again" "0 " local_network

# The close button (WM_CLOSE) only hides the dialog; the proxy keeps serving.
window post "$caption" 0x10 0 0
sleep 0.5
check "closing hides the dialog" 1 "$(shown)"
check "the hidden program still answers" "$cached" "$(answers www.example.test)"
check_tray_menu running

# Stop and Start, the tray menu's commands.
window command "$caption" $stop
sleep 0.4
check "within a second of Stop the tray text says so" "Quillforth was stopped" "$(tray_text)"
check_restored "after Stop"
check "the machine's record is gone" "" "$(reg_value "$record_key" NameServer)"
check_tray_menu stopped
# The user gives the adapter other servers: from the next takeover on, they are what comes back.
set_adapter 198.18.9.4
window command "$caption" $start
sleep 0.3
check "after Start the cache answers again" "$cached" "$(answers www.example.test)"
check "after Start the adapter points at the proxy again" 127.0.0.1 "$(name_server)"
check_soon 6 "after Start the DNS client service is stopped again" STOPPED service_state

# A second copy says so and ends; the first one goes on serving, hidden.
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
second=$!
check "a second copy shows its message" "Quillforth is already running!" \
    "$(wait_for_box Quillforth already-running)"
check "the second copy ends" "ended" "$(wait_ended "$second")"
check "the first copy still answers" "$cached" "$(answers www.example.test)"
check "the first copy stays hidden" 1 "$(shown)"

# The tray menu's "&Exit" ends the program and saves the cache.
check_exit
check_restored "after Exit"
check "the cache file holds the learned entry" "www.example.test,198.19.0.1|198.19.0.2,300" \
    "$(grep -a '^www.example.test' "$work/bin/DnsItem.csv" | cut -d, -f1-3)"

# A copy in another session holds the machine's mutex alone: a copy started here says so and ends
# without touching the adapter or the DNS client service.
in_srv "$wine" "$window_tool" mutex 'Global\{4F1E2A90-7C3B-4D52-M7PA-0B9D6E3A1C74}_QUILLFORTH' 30 \
    >"$work/mutex" 2>&1 &
wait_until 10 grep -q '^held' "$work/mutex"
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
second=$!
check "a copy started while another session's runs says so" \
    "Quillforth is already running in another session" "$(wait_for_box Quillforth other-session)"
check "and ends, leaving the adapter and the DNS client service as they were" \
    "ended $adapter_servers RUNNING" "$(wait_ended "$second") $(name_server) $(service_state)"
# shellcheck disable=SC2046
kill -9 $(windows_pids 'window_tool.* mutex ')
wait_until 5 eval '[ -z "$(windows_pids "window_tool.* mutex ")" ]'

# Started again, the program answers the saved entry from its cache at once.
: >"$upstream_log"
e2e_start
check "after a restart the saved entry is answered from the cache, without the upstream" \
    "$cached," "$(answers www.example.test),$(grep www.example.test "$upstream_log")"

# The last server that answered goes silent: the next probe finds none answering; cached answers
# still come at once. The list has grown by the adapter's new server since.
servers=$(ini_value Dns | tr '|' '\n' | grep -c .)
stop_upstream
upstream_state() {
    status_text | sed -n 3p
}
check_soon 30 "with every server silent the status box says so" \
    "DNS server status:  Down, 0 of $servers answer" upstream_state
check_soon 4 "the tray text says that the upstream is down" "Current DNS server is down" tray_text
check "a cached domain is still answered within a second" "$cached" \
    "$(answers +time=1 www.example.test)"
screenshot upstream-down

window key "$caption" 27 1010
check "Escape ends the program" "ended" "$(wait_ended "$program")"
check_restored "after Escape"
# The fake answers again, so that each start below is found serving at its first answer.
start_upstream

# Killed without warning, the program leaves the takeover behind. The next start puts back the
# servers of the last takeover and tells Windows, even when another program holds port 53, which
# it reports with 10048 before it ends: then no adapter is taken over.
e2e_start
kill_program
check "a killed program leaves the adapter at the proxy" 127.0.0.1 "$(name_server)"
: >"$ipconfig_log"
hold_port53 "$srv" 0.0.0.0
in_srv "$wine" "$work/bin/Quillforth.exe" >/dev/null 2>&1 </dev/null &
program=$!
check "a taken port 53 is reported with its error number" "CDnsSocket::RunDnsServer - Error:10048" \
    "$(wait_for_box Quillforth port-taken | head -1 | cut -d' ' -f1-3)"
check "the program ends after the message" "ended" "$(wait_ended "$program")"
check "the next start put back the servers of the last takeover" "$adapter_servers" "$(name_server)"
check "and told Windows once, taking no adapter over" /registerdns,/flushdns "$(ipconfig_calls)"

kill "$holder" 2>/dev/null && wait "$holder"

# TCP port 53 held by another program: the program serves over UDP and says so.
hold_port53 "$srv" 0.0.0.0 tcp
e2e_start
check "with TCP port 53 taken the program still answers over UDP" "$cached" \
    "$(answers www.example.test)"
check "its status box says that TCP is unavailable" "TCP on port 53 is unavailable" \
    "$(status_text | sed -n 1p)"
kill "$holder" 2>/dev/null && wait "$holder"
check_exit "and it ends as usual"

# Without IPv6 the program serves over IPv4 alone and says nothing about it. An ipconfig that
# fails changes nothing but the status box; one that hangs does not hold up the exit, which the
# next start tells.
echo fail >"$ipconfig_mode"
ip netns exec "$srv" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
e2e_start
check "without IPv6 the cache answers over IPv4" "$cached" "$(answers www.example.test)"
check "without IPv6 no message box shows" 1 "$(box_shows Quillforth; echo $?)"
check_soon 5 "a failing ipconfig is told in the status box" "ipconfig /registerdns: exit code 1" \
    eval 'status_text | sed -n 1p'
echo hang >"$ipconfig_mode"
exit_started=$SECONDS
check_exit "with ipconfig hanging, Exit ends the program"
check "within its usual time" 1 "$((SECONDS - exit_started <= 6))"
check "its adapter is back" "$adapter_servers" "$(name_server)"
rm "$ipconfig_mode"
e2e_start
check "the next start tells that ipconfig was cut short at the exit" 1 \
    "$(wait_for_box Quillforth exit-notice | grep -c 'ipconfig /registerdns cut short')"
check_exit "and Exit ends it as usual"

e2e_finish
