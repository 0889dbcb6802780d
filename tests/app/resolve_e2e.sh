#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): batch resolving, the scheduled refresh (its
# timer's tick posted to the dialog), a cancelled run over a silent upstream and Delete Outdated of
# the real Quillforth.exe. QF_E2E_SHOTS=DIR keeps shots of the progress and Outdated dialogs.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
names=(www.example.com=198.19.0.9 old.resolve.test=198.19.3.1
    'fresh.resolve.test=198.19.3.2|198.19.3.3')
e2e_exe_setup "$@" "${names[@]}"

progress=Quillforth
outdated="Outdated DNS Items"
timer_tick=(post "$caption" 0x113 105 0) # WM_TIMER of the refresh timer
now=$(date +%s)
# old: last hit 200 hours ago, 7 hits; gone: unknown upstream; fresh: no address yet.
{
    printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
    printf 'old.resolve.test,10.9.0.1,60,7,%d\r\n' $((now - 200 * 3600))
    printf 'gone.resolve.test,10.9.0.2,60,2,%d\r\n' $((now - 3600))
    printf 'fresh.resolve.test,,60,0,%d\r\n' $((now - 3600))
} >"$work/bin/DnsItem.csv"

next_update() {
    status_text | sed -n 1p
}
# Rows as "DOMAIN,IP,HITS", sorted.
rows() {
    window rows "$caption" 1000 | cut -d, -f2-4 | sort
}
# Entries as "DOMAIN,IP,TTL,HITS", sorted.
cache_file() {
    grep -av '^#' "$work/bin/DnsItem.csv" | tr -d '\r' | cut -d, -f1-4 | sort
}
# 1 when a clock time "%H:%M:%S" lies within 2 seconds of the time marked + OFFSET seconds.
near_clock() {
    local delta=$((($(date -d "$1" +%s) - marked - $2 + 86400 * 2 + 43200) % 86400 - 43200))
    echo $((delta >= -2 && delta <= 2))
}
last_update_changed() {
    [ "$(ini_value LastUpdateTime)" != "$1" ]
}

e2e_start
window combo "$caption" 1013 0
sleep 0.3
check "0 hours in the combo box stops the schedule" "Cache next update:  Disabled" "$(next_update)"
marked=$(date +%s)
window combo "$caption" 1013 2
sleep 0.3
check "2 hours in the combo box shows the time two hours ahead" 1 \
    "$(near_clock "$(next_update | awk '{print $4}')" 7200)"

window command "$caption" 32776
check "Resolve All over three rows with one unknown ends with its summary" \
    "All domain's DNS resolving finished. Results as following:Finished 3, Success 2, Total 3." \
    "$(wait_for_box Quillforth resolve-summary)"
sleep 0.3
check "the rows show the answers, an unknown domain keeps its address, hits stay" \
    "fresh.resolve.test,198.19.3.2|198.19.3.3,0
gone.resolve.test,10.9.0.2,2
old.resolve.test,198.19.3.1,7" "$(rows)"
check "the cache file is saved after the run" \
    "fresh.resolve.test,198.19.3.2|198.19.3.3,300,0
gone.resolve.test,10.9.0.2,60,2
old.resolve.test,198.19.3.1,300,7" "$(cache_file)"
check "a user's Resolve All leaves LastUpdateTime alone" 00:00:00 "$(ini_value LastUpdateTime)"

# The refresh timer's tick: a finished run records its time and the next one is due in 2 hours.
marked=$(date +%s)
window "${timer_tick[@]}"
wait_until 5 last_update_changed 00:00:00
check "a finished run of the timer records its time as LastUpdateTime" 1 \
    "$(near_clock "$(ini_value LastUpdateTime)" 0)"
check "a run of the timer shows no summary" 0 "$(window count "$progress")"
check "after the run the next one is due two hours later" 1 \
    "$(near_clock "$(next_update | awk '{print $4}')" 7200)"

# A silent upstream keeps a run of the timer at its first row until it is cancelled.
last_update=$(ini_value LastUpdateTime)
stop_upstream
hold_port53 "$up" "$upstream_address"
window "${timer_tick[@]}"
check_soon 5 "the timer's run opens its progress window" 1 window count "$progress"
sleep 0.5
check "the progress window names the run and shows its first progress" \
    "Resolving all domains by Timer,Finished 0, Success 0, Total 3." \
    "$(window text "$progress" 1011),$(window text "$progress" 1010)"
# The tray follows at its next tick, once a second.
check_soon 3 "the tray says the program is updating" "Quillforth is updating" tray_text
dialog_shot "$progress" resolve-progress
saved_before=$(stat -c %.9Y "$work/bin/DnsItem.csv")
window command "$progress" 1017
question=
for _ in $(seq 50); do
    question=$(window box Quillforth 6) && break
    sleep 0.05
done
cancelled_at=$(date +%s%N)
check "Cancel asks before it stops the run" "Are you sure to stop this progress ?" "$question"
saved() {
    [ "$(stat -c %.9Y "$work/bin/DnsItem.csv")" != "$saved_before" ]
}
wait_until 5 saved
stopped_ms=$((($(date +%s%N) - cancelled_at) / 1000000))
check "a cancelled run is over within one upstream wait (3 s)" 1 "$((stopped_ms < 3600))"
check_soon 3 "the cancelled run's window is gone" 0 window count "$progress"
check "a cancelled run of the timer leaves LastUpdateTime unchanged" "$last_update" \
    "$(ini_value LastUpdateTime)"
kill "$holder"
wait "$holder" 2>/dev/null
start_upstream "${names[@]}"

window command "$caption" 32785
check_soon 5 "Delete Outdated opens its dialog" 1 window count "$outdated"
sleep 0.3
dialog_shot "$outdated" delete-outdated
check "the dialog offers the last hours, 1 at first" 1 "$(window text "$outdated" 1010)"
window settext "$outdated" 1010 100
window command "$outdated" 1
check_soon 5 "100 hours closes the dialog" 0 window count "$outdated"
sleep 0.3
check "100 hours removes only the entry not hit for 200 hours" \
    "fresh.resolve.test,198.19.3.2|198.19.3.3,0
gone.resolve.test,10.9.0.2,2" "$(rows)"
check "the cache file no longer holds it" "fresh.resolve.test,198.19.3.2|198.19.3.3,300,0
gone.resolve.test,10.9.0.2,60,2" "$(cache_file)"
check "the hours are kept as OutdatedHours" 100 "$(ini_value OutdatedHours)"

# The installer asks the program to exit (the tray's "Exit") while a run of 1,000 names waits on a
# silent upstream and its stop question is open: the adapter's servers come back and the program
# ends within 5 s.
check_exit
seq 1000 | awk '{printf "host%04d.resolve.test,10.9.1.1,60,0,0\r\n", $1}' >"$work/bin/DnsItem.csv"
e2e_start
stop_upstream
hold_port53 "$up" "$upstream_address"
window command "$caption" 32776
check_soon 5 "a run of 1,000 names opens its progress window" 1 window count "$progress"
window command "$progress" 1017
wait_until 5 box_shows Quillforth
exit_asked=$(date +%s%N)
window command "$caption" 32772
check "Exit during the run ends the program within 5 s" 1 \
    "$(wait_until 5 ended "$program" && echo $((($(date +%s%N) - exit_asked) / 1000000 < 5000)))"
check "with the adapter's servers back" "$adapter_servers" "$(name_server)"
kill "$holder" && wait "$holder" 2>/dev/null

e2e_finish
