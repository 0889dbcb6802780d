#!/usr/bin/env bash
# End to end: batch resolving, the scheduled refresh and Delete Outdated of the real
# Quillforth.exe under Wine, in the namespaces of tests/support/e2e_env.sh. A cache file of three
# entries, one of which the fake upstream does not know; the refresh timer's tick is posted to
# the dialog; a silent upstream keeps a run going while it is cancelled.
#     resolve_e2e.sh QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT
# QF_E2E_SHOTS=DIR keeps screenshots of the progress window during a run and of the Delete
# Outdated dialog.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
# The probe's host answers too, so that the upstream counts as up.
names=(old.resolve.test=198.19.3.1 'fresh.resolve.test=198.19.3.2|198.19.3.3'
    www.example.com=198.19.0.9)
e2e_setup "$4" "$3" "$2" "${names[@]}"
e2e_install_exe "$1"

progress=Quillforth
outdated="Outdated DNS Items"
list=1000
wm_timer=0x113
timer_refresh=105
now=$(date +%s)
# old: last hit 200 hours ago, 7 hits; gone: unknown upstream; fresh: no address yet.
{
    printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
    printf 'old.resolve.test,10.9.0.1,60,7,%d\r\n' $((now - 200 * 3600))
    printf 'gone.resolve.test,10.9.0.2,60,2,%d\r\n' $((now - 3600))
    printf 'fresh.resolve.test,,60,0,%d\r\n' $((now - 3600))
} >"$work/bin/DnsItem.csv"

ini_value() {
    tr -d '\r' <"$work/bin/Quillforth.ini" | awk -F= -v key="$1" '$1 == key {print $2}'
}
next_update() {
    window text "$caption" 1011 | sed -n 1p | sed 's/ *$//'
}
# Rows as "DOMAIN,IP,HITS", sorted.
rows() {
    window rows "$caption" "$list" | cut -d, -f2-4 | sort
}
cache_file() {
    grep -av '^#' "$work/bin/DnsItem.csv" | tr -d '\r' | cut -d, -f1-4 | sort
}
# 1 when a clock time "%H:%M:%S" lies within 2 seconds of now + OFFSET seconds.
near_clock() {
    local shown=$1 offset=$2 h m s expected delta
    IFS=: read -r h m s <<<"$shown"
    expected=$(((now_seconds_of_day + offset) % 86400))
    delta=$(((10#$h * 3600 + 10#$m * 60 + 10#$s - expected + 86400 + 43200) % 86400 - 43200))
    echo $((delta >= -2 && delta <= 2))
}
mark_now() {
    now_seconds_of_day=$((10#$(date +%H) * 3600 + 10#$(date +%M) * 60 + 10#$(date +%S)))
}
wait_count() {
    for _ in $(seq 100); do
        [ "$(window count "$1")" == "$2" ] && break
        sleep 0.05
    done
    window count "$1"
}

e2e_start

window combo "$caption" 1013 0
sleep 0.3
check "0 hours in the combo box stops the schedule" "Cache next update:  Disabled" \
    "$(next_update)"
mark_now
window combo "$caption" 1013 2
sleep 0.3
check "2 hours in the combo box shows the time two hours ahead" 1 \
    "$(near_clock "$(next_update | awk '{print $4}')" 7200)"

window command "$caption" 32776
check "Resolve All over three rows with one unknown ends with its summary" \
    "All domain's DNS resolving finished. Results as following:Finished 3, Success 2, Total 3." \
    "$(wait_for_box Quillforth resolve-summary)"
sleep 0.3
expected_rows="fresh.resolve.test,198.19.3.2|198.19.3.3,0
gone.resolve.test,10.9.0.2,2
old.resolve.test,198.19.3.1,7"
check "the rows show the answers, an unknown domain keeps its address, hits stay" \
    "$expected_rows" "$(rows)"
check "the cache file is saved after the run" \
    "fresh.resolve.test,198.19.3.2|198.19.3.3,300,0
gone.resolve.test,10.9.0.2,60,2
old.resolve.test,198.19.3.1,300,7" "$(cache_file)"
check "a user's Resolve All leaves LastUpdateTime alone" 00:00:00 "$(ini_value LastUpdateTime)"

# The refresh timer's tick: a finished run records its time and the next one is due in 2 hours.
mark_now
window post "$caption" "$wm_timer" "$timer_refresh" 0
for _ in $(seq 100); do
    [ "$(ini_value LastUpdateTime)" != 00:00:00 ] && break
    sleep 0.05
done
check "a finished run of the timer records its time as LastUpdateTime" 1 \
    "$(near_clock "$(ini_value LastUpdateTime)" 0)"
check "a run of the timer shows no summary" 0 "$(window count "$progress")"
check "after the run the next one is due two hours later" 1 \
    "$(near_clock "$(next_update | awk '{print $4}')" 7200)"

# A silent upstream keeps a run of the timer at its first row until it is cancelled.
last_update=$(ini_value LastUpdateTime)
stop_upstream
ip netns exec "$up" python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("'"$upstream_address"'", 53))
time.sleep(30)' &
silent=$!
sleep 0.3
window post "$caption" "$wm_timer" "$timer_refresh" 0
check "the timer's run opens its progress window" 1 "$(wait_count "$progress" 1)"
sleep 0.5
check "the progress window names the run" "Resolving all domains by Timer" \
    "$(window text "$progress" 1011)"
check "the progress window shows the run's first progress" "Finished 0, Success 0, Total 3." \
    "$(window text "$progress" 1010)"
check "the tray says the program is updating" "Quillforth is updating" "$(tray_text)"
dialog_shot "$progress" resolve-progress
saved_before=$(stat -c %.9Y "$work/bin/DnsItem.csv")
window command "$progress" 1017
question=
for _ in $(seq 50); do
    question=$(window answer Quillforth 6) && break
    sleep 0.05
done
cancelled_at=$(date +%s%N)
check "Cancel asks before it stops the run" "Are you sure to stop this progress ?" "$question"
for _ in $(seq 100); do
    [ "$(stat -c %.9Y "$work/bin/DnsItem.csv")" != "$saved_before" ] && break
    sleep 0.05
done
stopped_ms=$((($(date +%s%N) - cancelled_at) / 1000000))
check "a cancelled run is over within one upstream wait (3 s)" 1 "$((stopped_ms < 3600))"
check "the cancelled run's window is gone" 0 "$(wait_count "$progress" 0)"
check "a cancelled run of the timer leaves LastUpdateTime unchanged" "$last_update" \
    "$(ini_value LastUpdateTime)"
kill "$silent" 2>/dev/null
wait "$silent" 2>/dev/null
start_upstream "${names[@]}"

window command "$caption" 32785
check "Delete Outdated opens its dialog" 1 "$(wait_count "$outdated" 1)"
sleep 0.3
dialog_shot "$outdated" delete-outdated
check "the dialog offers the last hours, 1 at first" 1 "$(window text "$outdated" 1010)"
window settext "$outdated" 1010 100
window command "$outdated" 1
check "100 hours closes the dialog" 0 "$(wait_count "$outdated" 0)"
sleep 0.3
check "100 hours removes only the entry not hit for 200 hours" \
    "fresh.resolve.test,198.19.3.2|198.19.3.3,0
gone.resolve.test,10.9.0.2,2" "$(rows)"
check "the cache file no longer holds it" "fresh.resolve.test,198.19.3.2|198.19.3.3,300,0
gone.resolve.test,10.9.0.2,60,2" "$(cache_file)"
check "the hours are kept as OutdatedHours" 100 "$(ini_value OutdatedHours)"

window command "$caption" 32772
check "Exit ends the program" "ended" "$(wait_ended "$program")"

e2e_finish
