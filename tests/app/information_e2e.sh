#!/usr/bin/env bash
# End to end: the statistics window and the about box of the real Quillforth.exe under Wine, in
# the namespaces of tests/support/e2e_env.sh. The window counts the queries sent through the
# running proxy, opens once however often "&Detail" is pressed, keeps its "Always on top" state
# and position, and reopens at the next start when it was open at the end. "&Nslookup" finds no
# nslookup.exe under Wine and says so. The web and mail links are not clicked: under Wine they
# would start the host's browser.
#     information_e2e.sh QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT
# QF_E2E_SHOTS=DIR keeps screenshots of the window under load and of the about box.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
# The probe's host answers too, so that the upstream counts as up.
e2e_setup "$4" "$3" "$2" www.example.test=198.19.0.1 www.example.com=198.19.0.9
e2e_install_exe "$1"

info="Quillforth Information"
# The value of a line of the statistics window.
line() {
    window lines "$info" 1000 | awk -F'\t' -v label="$1" '$1 == label {print $2}'
}
ini_value() {
    tr -d '\r' <"$work/bin/Quillforth.ini" | awk -F= -v key="$1" '$1 == key {print $2}'
}
# Until a window with this caption exists (5 s at most): how many do.
wait_window() {
    for _ in $(seq 50); do
        [ "$(window count "$1")" != 0 ] && break
        sleep 0.1
    done
    window count "$1"
}
# Moves a window to a screen position, keeping its size.
move_to() {
    local left top right bottom
    read -r left top right bottom <<<"$(window rect "$1")"
    window move "$1" "$2" "$3" $(($2 + right - left)) $(($3 + bottom - top))
}
# Waits for the next refresh of the statistics window (every 2 s).
wait_refresh() {
    sleep 2.3
}

e2e_start
window command "$caption" 1019
window command "$caption" 1019
check "Detail twice opens one statistics window" 1 "$(wait_window "$info")"
check "the window names the upstream in use" "$upstream_address" "$(line "Current DNS server")"
check "no scheduled refresh has run yet" "00:00:00" "$(line "Cache last update")"
check "the next refresh is an hour away" 1 \
    "$(line "Cache next update" | grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2}$')"
check "the window is on top" 0 "$(window topmost "$info"; echo $?)"
move_to "$info" 480 60

# One miss and two hits through the proxy.
total=$(line "Total Requests")
cached=$(line "Cached Requests")
forwarded=$(line "Forward Requests")
items=$(line "Cached DNS item")
query www.example.test >/dev/null
query www.example.test >/dev/null
query www.example.test >/dev/null
wait_refresh
check "three queries are three more requests" $((total + 3)) "$(line "Total Requests")"
check "two of them came from the cache" $((cached + 2)) "$(line "Cached Requests")"
check "one was forwarded" $((forwarded + 1)) "$(line "Forward Requests")"
check "its answer is one more cached item" $((items + 1)) "$(line "Cached DNS item")"
check "nothing was discarded" 0 "$(line "Discard Requests")"
check "nothing failed" 0 "$(line "Internal Error Requests")"
check "the saved time has two decimals" 1 "$(line "Saved Time(s)" | grep -cE '^[0-9]+\.[0-9]{2}$')"
check "the averages have four decimals" 4 \
    "$(window lines "$info" 1000 | grep '^Avg' | cut -f2 | grep -cE '^[0-9]+\.[0-9]{4}$')"

# Under load: a bounded burst of hits and misses while the window refreshes.
total=$(line "Total Requests")
deadline=$((SECONDS + 20))
for i in $(seq 120); do
    [ "$SECONDS" -lt "$deadline" ] || break
    ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 www.example.test >/dev/null 2>&1
    ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 "load$i.test" >/dev/null 2>&1
done &
load=$!
sleep 2.5
screenshot statistics-under-load
window_shot "$info" statistics-window
wait "$load"
wait_refresh
check "the burst is counted" $((total + 240)) "$(line "Total Requests")"

# Unticking "Always on top" is saved at once. (Under Wine an owned window stays in the topmost
# band; the next start shows it off.)
window click "$info" 1001
sleep 0.5
check "unticking Always on top writes 0" 0 "$(ini_value DlgInformationAlwaysOnTop)"

# Moved, then left open at the end: it comes back there at the next start.
read -r left top right bottom <<<"$(window rect "$info")"
width=$((right - left))
height=$((bottom - top))
window move "$info" 310 220 $((310 + width)) $((220 + height + 30))
sleep 0.3
moved=$(window rect "$info")
check "the window moved" "310 220 $((310 + width)) $((250 + height))" "$moved"

window command "$caption" 32772
check "Exit ends the program" "ended" "$(wait_ended "$program")"
check "Exit with the window open leaves it marked open" 1 "$(ini_value DlgInformationUp)"
check "the window's place is stored" 1 \
    "$(reg_value 'HKCU\Software\Veltmark\Quillforth\Settings' DLG_INFORMATION_POS | grep -c .)"

e2e_start
check "the next start opens the window again" 1 "$(wait_window "$info")"
check "at its last position" "$moved" "$(window rect "$info")"
check "no longer on top" 1 "$(window topmost "$info"; echo $?)"

# The about box, modal over the main dialog; "&Nslookup" finds no nslookup.exe under Wine.
window command "$caption" 1018
check "About opens the about box" 1 "$(wait_window "About Quillforth")"
check "the about box shows the web address" "https://veltmark.example/quillforth" \
    "$(window text "About Quillforth" 1018)"
check "the about box shows the support address" "support@veltmark.example" \
    "$(window text "About Quillforth" 1019)"
sleep 0.3
window_shot "About Quillforth" about-box
window command "About Quillforth" 1
sleep 0.3
check "OK closes the about box" 0 "$(window count "About Quillforth")"
window command "$caption" 1016
check "a missing nslookup.exe is reported" "nslookup.exe : File not found or Bad file!" \
    "$(wait_for_box Quillforth nslookup-missing)"

# Escape closes the window; the program then ends with it marked closed.
window key "$info" 27 1
sleep 0.5
check "Escape closes the statistics window" 0 "$(window count "$info")"
window command "$caption" 32772
check "Exit ends the program" "ended" "$(wait_ended "$program")"
check "Escape then Exit leaves it marked closed" 0 "$(ini_value DlgInformationUp)"

e2e_finish
