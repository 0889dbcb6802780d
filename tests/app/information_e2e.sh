#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): the statistics window of the real
# Quillforth.exe counts the proxy's queries, opens once however often "&Detail" is pressed, keeps
# "Always on top" and its place and reopens at the next start; the about box, whose link the
# desktop's shell opens, and nslookup.exe started from the system folder alone.
# QF_E2E_SHOTS=DIR keeps shots of the window under load and the about box.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
e2e_exe_setup "$@" www.example.test=198.19.0.1

info="Quillforth Information"
about="About Quillforth"
# The values of lines of the statistics window, by their labels, joined by blanks.
values() {
    local lines label
    lines=$(window lines "$info" 1000)
    for label in "$@"; do
        awk -F'\t' -v label="$label" '$1 == label {print $2}' <<<"$lines"
    done | paste -sd' '
}
counters=("Total Requests" "Cached Requests" "Forward Requests" "Cached DNS item"
    "Discard Requests" "Internal Error Requests")
# Waits for the next refresh of the statistics window (every 2 s).
wait_refresh() {
    sleep 2.3
}

e2e_start
window command "$caption" 1019
window command "$caption" 1019
check_soon 5 "Detail twice opens one statistics window" 1 window count "$info"
check "the window names the upstream in use; no scheduled refresh has run, the next is due" \
    "$upstream_address 00:00:00 HH:MM:SS" \
    "$(values "Current DNS server" "Cache last update" "Cache next update" |
        sed -E 's/[0-9]{2}:[0-9]{2}:[0-9]{2}$/HH:MM:SS/')"
check "the window is on top" 0 "$(window visible "$info" topmost; echo $?)"
window rect "$info" 480 60 >/dev/null

# One miss and two hits through the proxy.
read -r total cached forwarded items _ <<<"$(values "${counters[@]}")"
for _ in 1 2 3; do
    query www.example.test >/dev/null
done
wait_refresh
check "three requests, two from the cache, one forwarded and cached, none discarded or failed" \
    "$((total + 3)) $((cached + 2)) $((forwarded + 1)) $((items + 1)) 0 0" \
    "$(values "${counters[@]}")"

# Under load: hits and misses for 4 s while the window refreshes.
total=$(values "Total Requests")
(
    sent=0 end=$((SECONDS + 4))
    while [ "$SECONDS" -lt "$end" ]; do
        sent=$((sent + 2))
        ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 www.example.test "load$sent.test" \
            >/dev/null 2>&1
    done
    echo "$sent" >"$work/sent"
) &
load=$!
sleep 2.5
dialog_shot "$info" statistics-under-load
wait "$load"
wait_refresh
check "the load is counted" $((total + $(cat "$work/sent"))) "$(values "Total Requests")"

# Unticking "Always on top" is saved at once. (Under Wine an owned window stays in the topmost
# band; the next start shows it off.)
window click "$info" 1001
sleep 0.5
check "unticking Always on top writes 0" 0 "$(ini_value DlgInformationAlwaysOnTop)"

# Moved and made taller, then left open at the end: it comes back there at the next start.
read -r left top right bottom <<<"$(window rect "$info")"
moved="310 220 $((310 + right - left)) $((250 + bottom - top))"
# shellcheck disable=SC2086
check "the window moved" "$moved" "$(window rect "$info" $moved)"
check_exit
check "Exit with the window open leaves it marked open" 1 "$(ini_value DlgInformationUp)"
check "the window's place is stored" 1 \
    "$(reg_value 'HKCU\Software\Veltmark\Quillforth\Settings' DLG_INFORMATION_POS | grep -c .)"

e2e_start
check_soon 5 "the next start opens the window again" 1 window count "$info"
check "at its last position" "$moved" "$(window rect "$info")"
check "no longer on top" 1 "$(window visible "$info" topmost; echo $?)"

# A link's handler is a stand-in that writes who started it, and Wine's own browser is off: no
# click reaches the host's browser.
handler=$work/handler
mkdir -p "$handler"
cp "$window_tool" "$handler/handler.exe"
in_srv "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v winebrowser.exe /t REG_SZ /d '' /f \
    >/dev/null 2>&1
in_srv "$wine" reg add 'HKCR\https\shell\open\command' /ve /t REG_SZ \
    /d "\"Z:${handler//\//\\}\\handler.exe\" launched \"%1\"" /f >/dev/null 2>&1

# The about box, modal over the main dialog.
window command "$caption" 1018
check_soon 5 "About opens the about box" 1 window count "$about"
check "the about box shows the web and support addresses" \
    "https://veltmark.example/quillforth support@veltmark.example" \
    "$(window text "$about" 1018) $(window text "$about" 1019)"
sleep 0.3
dialog_shot "$about" about-box
if in_srv "$wine" reg query 'HKCR\https\shell\open\command' /ve | grep -q 'handler.exe'; then
    window click "$about" 1018
    check_soon 5 "the web link opens through the desktop's shell, not as the program's process" \
        "explorer.exe https://veltmark.example/quillforth" cat "$handler/launched.txt"
else
    check "the link's handler is the stand-in" yes no
fi
window command "$about" 1
check_soon 3 "OK closes the about box" 0 window count "$about"

# "&Nslookup": Wine has no nslookup.exe, and one beside the program must not be run instead.
system32=$prefix/drive_c/windows/system32
cp "$window_tool" "$work/bin/nslookup.exe"
window command "$caption" 1016
check "a missing nslookup.exe is reported" "nslookup.exe : File not found or Bad file!" \
    "$(wait_for_box Quillforth nslookup-missing)"
cp "$window_tool" "$system32/nslookup.exe"
window command "$caption" 1016
check_soon 5 "the system folder's nslookup.exe is started by the program" quillforth.exe \
    cat "$system32/launched.txt"
check "the one beside the program never ran" no \
    "$([ -e "$work/bin/launched.txt" ] && echo yes || echo no)"

# Escape closes the window; the program then ends with it marked closed.
window key "$info" 27 1
check_soon 3 "Escape closes the statistics window" 0 window count "$info"
check_exit
check "Escape then Exit leaves it marked closed" 0 "$(ini_value DlgInformationUp)"

e2e_finish
