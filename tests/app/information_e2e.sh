#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): the statistics window of the real
# Quillforth.exe counts the proxy's queries, opens once however often "&Detail" is pressed, charts
# two minutes of hits and forwards through an upstream that answers after 20 ms and times them,
# keeps "Always on top" and its place and reopens at the next start; the about box, whose link the
# desktop's shell opens, and nslookup.exe started from the system folder alone.
# QF_E2E_SHOTS=DIR keeps shots of the window under load, its chart and the about box.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
export FAKE_UPSTREAM_DELAY_MS=20
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

# The chart's text: a line per minute with queries, "N minutes ago: cache C (...), upstream U
# (...), failed F, discarded D". Prints the sums "C U F" and how many minutes had queries.
chart_sums() {
    window text "$info" 1002 | awk '/(ago|minute): cache/ {
        for (i = 1; i < NF; i++) {
            if ($i == "cache") c += $(i + 1)
            if ($i == "upstream") u += $(i + 1)
            if ($i == "failed") f += $(i + 1)
        }
        n++
    } END {print c + 0, u + 0, f + 0, n + 0}'
}
# Two minutes of hits and forwards, one after the other: the chart holds each of them in the
# minute it came, and the times of forwards through the upstream's 20 ms read 0.02 seconds and
# some (below 0.1 s: a loaded machine adds its own delays to a few of them, which the averages
# carry).
read -r cached0 upstream0 _ <<<"$(chart_sums)"
hits=0 forwards=0 end=$((SECONDS + 120))
while [ "$SECONDS" -lt "$end" ] && [ "$forwards" -lt 3000 ]; do
    ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 www.example.test >/dev/null 2>&1 &&
        hits=$((hits + 1))
    ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 "chart$forwards.test" >/dev/null 2>&1 &&
        forwards=$((forwards + 1))
done
wait_refresh
read -r cached upstream failed minutes <<<"$(chart_sums)"
check "the chart's columns hold the hits and forwards sent, none failed" \
    "$hits $forwards 0" "$((cached - cached0)) $((upstream - upstream0)) $failed"
check "two minutes of queries span at least three columns" yes \
    "$([ "$minutes" -ge 3 ] && echo yes || echo no)"
check "the chart holds what the counters hold" "$(values "Cached Requests" "Forward Requests")" \
    "$cached $upstream"
check "forwards and the upstream take 20 ms and some" "0.02xx 0.02xx" \
    "$(values "Avg Respond time for forward requests(s)" "Avg Respond time of remote DNS server(s)" |
        sed -E 's/0\.0[2-9][0-9]{2}/0.02xx/g')"
check "the upstream server's line counts its queries" yes \
    "$(values "$upstream_address" | grep -qE ' [0-9]+ answers, 0 time-outs, .* [2-9][0-9]\.[0-9] ms round trip' &&
        echo yes || echo no)"
dialog_shot "$info" statistics-chart

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
