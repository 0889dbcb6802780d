#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): the real Quillforth.exe as a Windows desktop
# treats it: DNS client services that refuse a stop, the logon task, the tray icon after Explorer
# starts again, an adapter that comes while the proxy serves, the cache saved by itself (whole
# after a kill during a save), the session's end.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
e2e_exe_setup "${@:1:4}" www.example.test=198.19.0.1 mail.example.test=198.19.0.3
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
cache=$work/bin/DnsItem.csv
entries=50000

# ---- A DNS client that takes no stop control, as since Windows 10 ----
e2e_install_exe "$1" CacheSaveSeconds=1
in_srv "$wine" reg add "$run_key" /v Quillforth /t REG_SZ /d 'C:\Old\Quillforth.exe' /f \
    >/dev/null 2>&1
dns_client_service "$5" --no-stop
# In a folder that standard users may write (as Wine makes every folder of its own user's), with no
# "StartAtLogin" in the settings, after an earlier copy registered this user's task, and an older
# version the task that all users shared.
chmod 777 "$work/bin"
sed -i '/^StartAtLogin=/d' "$work/bin/Quillforth.ini"
own=$(own_task)
register_task Quillforth
register_task "$own"
check "the tasks of earlier copies are there" "yes yes" "$(tasks_exist Quillforth "$own")"
e2e_start
sleep 1
check "a DNS client that takes no stop control brings no message box" 0 "$(window count Quillforth)"
check "and keeps running while the proxy serves" RUNNING "$(service_state)"
check "an older copy's Run value is gone" "" "$(reg_value "$run_key" Quillforth)"
check_soon 5 "a copy in a writable folder deletes the user's logon task and the shared one" \
    "no no" tasks_exist Quillforth "$own"
check "its Start at login is off by default" 0 "$(ini_value StartAtLogin)"
window click "$caption" 1001
check "ticking Start at login says why it cannot be" \
    "This copy of Quillforth cannot start at login: it is a portable copy in a folder that standard users can write to. Started at login it would run with administrator rights, and so would any program put in its place or beside it.

Install Quillforth (into Program Files) to start it at login." \
    "$(wait_for_box Quillforth start-at-login-refused)"
check "and leaves the box unticked and no task registered" "0 no" \
    "$(window checked "$caption" 1001) $(tasks_exist "$own")"

check "the tray holds the icon" shown "$(window tray "$caption")"
check "an Explorer that starts again has lost it" none "$(window tray "$caption" remove)"
window taskbarcreated
check_soon 5 "its broadcast \"TaskbarCreated\" brings the icon back" shown window tray "$caption"

# An adapter that comes while the proxy serves (a VPN, a phone) keeps its own DNS servers until
# the next Start, and the status box names it. Wine names it after its interface index, 99.
vpn_key="${interface_key%\\*}\\{00000063-0000-0000-0000-4E6574446576}"
in_srv "$wine" reg add "$vpn_key" /v NameServer /d 198.18.9.5 /f >/dev/null 2>&1
ip -n "$srv" link add qfvpn index 99 type veth peer name qfvpn-peer netns "$up"
ip -n "$up" link set qfvpn-peer up
ip -n "$srv" link set qfvpn up
check_soon 5 "the status box names an adapter that came while the proxy serves" \
    "Not pointed at proxy: qfvpn" eval 'status_text | sed -n 1p'
check "which keeps its own DNS servers" 198.18.9.5 "$(reg_value "$vpn_key" NameServer)"
window command "$caption" 32784
window command "$caption" 32783
check_soon 5 "until the next Start" 127.0.0.1 reg_value "$vpn_key" NameServer

check "a name is learned" "mail.example.test. 300 IN A 198.19.0.3" "$(query mail.example.test)"
sleep 3
kill_program
check "killed after the save period, the program has saved the name" 1 \
    "$(grep -ac '^mail\.example\.test,198\.19\.0\.3,' "$cache")"

# ---- A DNS client whose stop is refused otherwise; killed in the middle of a save ----
rm -f "$cache.tmp"
{
    printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
    seq 0 $((entries - 1)) | awk '{printf "host%06d.scale.test,198.19.%d.%d,3600,0,1750000000\r\n",
        $1, int($1 / 256) % 256, $1 % 256}'
} >"$cache"
# The stand-in takes the first stop and goes on running; Wine refuses the next one (1061).
dns_client_service "$5" --ignore-stop
e2e_start
window command "$caption" 32784
window command "$caption" 32783
check "a stop refused otherwise is told" \
    "Can't stop DNS Client service, you must stop it by hand, otherwise Quillforth will not work." \
    "$(wait_for_box Quillforth stop-refused)"
# Every hit changes the cache, so the program saves it every second; the kill comes as soon as a
# save has begun to write its temporary file.
query host000001.scale.test >/dev/null
# shellcheck disable=SC2046
check "a save is caught under way and the program killed" killed "$(python3 - "$cache.tmp" \
    $(windows_pids 'quillforth[.]exe') <<'PYTHON'
import os, signal, sys, time
deadline = time.monotonic() + 15
while time.monotonic() < deadline:
    if os.path.exists(sys.argv[1]):
        for pid in sys.argv[2:]:
            os.kill(int(pid), signal.SIGKILL)
        print("killed")
        break
    time.sleep(0.0005)
PYTHON
)"
kill_program
check "the cache file is whole after a kill during a save" "$((entries + 1)) lines, all whole" \
    "$(python3 -c 'import sys
lines = open(sys.argv[1], "rb").read().split(b"\r\n")
print("%d lines, %s" % (len(lines) - 1, "all whole" if lines[0] == b"#Domain,IP,TTL,HITS,LASTHITDATE"
      and lines[-1] == b"" and all(line.count(b",") == 4 for line in lines[1:-1]) else "torn"))' "$cache")"

# ---- Windows ends the session while the proxy serves; the Task Scheduler does not answer the ----
# ---- logon task's thread, and Explorer stops while the tray icon is removed                 ----
rm -f "$cache" "$cache.tmp"
e2e_install_exe "$1" StartAtLogin=1
dns_client_service "$5"
in_srv "$wine" sc start Schedule >/dev/null 2>&1
wait_until 5 windows_pids 'svchost[.]exe -k netsvcs' | grep -q .
scheduler=$(windows_pids 'svchost[.]exe -k netsvcs')
kill -STOP "$scheduler"
e2e_start
check_soon 6 "the DNS client service is stopped while the proxy serves" STOPPED service_state
check "a name is learned just before the end" "www.example.test. 300 IN A 198.19.0.1" \
    "$(query www.example.test)"
# The start's runs (the restore after the kill, then the takeover) are over once the log rests.
log_rests() {
    local before
    before=$(cat "$ipconfig_log")
    sleep 1
    grep -q flushdns <<<"$before" && [ "$before" == "$(cat "$ipconfig_log")" ]
}
wait_until 10 log_rests
: >"$ipconfig_log"
in_srv "$wine" wineboot --end-session --force >/dev/null 2>&1 &
# Explorer stops as soon as the program has told Windows of the restore.
wait_until 10 grep -q registerdns "$ipconfig_log"
explorer=$(windows_pids 'explorer[.]exe')
kill -STOP "$explorer"
sleep 2
check "while the tray icon waits for Explorer the program runs" 0 "$(kill -0 "$program"; echo $?)"
check "with the adapter's servers back already" "$adapter_servers" "$(name_server)"
check "and Windows told: ipconfig /registerdns, then /flushdns" /registerdns,/flushdns \
    "$(ipconfig_calls)"
check_soon 6 "the DNS client service runs again" RUNNING service_state
kill -CONT "$explorer"
check "with Explorer back the program ends, the Task Scheduler still silent" ended \
    "$(wait_ended "$program")"
kill -CONT "$scheduler"
check "the cache file holds the name learned just before" 1 \
    "$(grep -ac '^www\.example\.test,198\.19\.0\.1,' "$cache")"

e2e_finish
