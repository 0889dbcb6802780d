#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh), whose code page 1252 holds no Chinese: the
# program in C:\测试 Zoë with its INI file, an internationalized name in the cache list and its
# search, export and import through such paths, saves that fail and are told at once. Then the
# portable zip unpacked there, its folder a read-only bind mount of the test's own: a user who
# cannot write it keeps settings and cache in the local application data folder.
#     any_folder_e2e.sh QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT \
#                       PORTABLE_ZIP
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
e2e_setup "$4" "$3" "$2" www.example.com=198.19.0.9 www.example.test=198.19.0.1 \
    xn--bcher-kva.example=198.19.0.7 mail.example.test=198.19.0.3
bin="$prefix/drive_c/测试 Zoë"
mkdir -p "$bin" "$prefix/drive_c/Données"
e2e_install_exe "$1"
list=1000

domains() {
    window rows "$caption" $list | cut -d, -f2 | sort | paste -sd' '
}
# Go with a keyword: the domain of the row it selects.
search() {
    window settext "$caption" 1010 "$1"
    window command "$caption" 1015
    sleep 0.3
    window rows "$caption" $list selected | cut -d, -f2
}
# A cache command that opens a file dialog, the file typed into it, then its OK.
choose_file() {
    window command "$caption" "$1"
    wait_until 10 window visible "$2"
    window settext "$2" 1148 "$3"
    window click "$2" 1
}
first_status_line() {
    status_text | sed -n 1p | sed -E 's/[0-9]{2}:[0-9]{2}:[0-9]{2}$/HH:MM:SS/'
}
answered_then_asked() {
    echo "$(query "$1" | awk '{print $1, $3, $4, $5}'),$(grep -c "$1" "$upstream_log")"
}

e2e_start
check "the INI file beside it names the upstream: a new name is forwarded there" \
    "xn--bcher-kva.example. 300 IN A 198.19.0.7" "$(query xn--bcher-kva.example)"
query www.example.test >/dev/null
check_soon 5 "the cache list shows the internationalized name in Unicode" \
    "bücher.example www.example.test" domains
check "the search finds it by its Unicode form" bücher.example "$(search bücher)"
check "the search goes on to the next match" www.example.test "$(search .example)"
check "and finds it by the form DNS carries" bücher.example "$(search xn--bcher)"

choose_file 32779 "Save As" 'C:\Données\导出.csv'
check_soon 5 "Export writes a file named in Unicode" "xn--bcher-kva.example,198.19.0.7" \
    eval "grep -a '^xn--' '$prefix/drive_c/Données/导出.csv' | cut -d, -f1-2"
window command "$caption" 32777
wait_until 10 box_shows Quillforth
window box Quillforth 6 >/dev/null
check_soon 5 "Clear empties the list" "" domains
choose_file 32778 Open 'C:\Données\导出.csv'
check_soon 5 "Import reads it back" "bücher.example www.example.test" domains

# A folder in the way of the cache's temporary file, then of the INI file: each save fails and
# says so at once; the next change saves again.
mkdir "$bin/DnsItem.csv.tmp"
window command "$caption" 32786
check_soon 3 "a cache save that fails is told in the status box" \
    "Cache not saved: Access denied." first_status_line
rmdir "$bin/DnsItem.csv.tmp"
window command "$caption" 32786
check_soon 3 "the next change saves the cache" "Cache next update:  HH:MM:SS" first_status_line
mv "$bin/Quillforth.ini" "$work/Quillforth.ini"
mkdir "$bin/Quillforth.ini"
window click "$caption" 1002
check_soon 3 "a settings save that fails is told in the status box" \
    "Settings not saved: Access denied." first_status_line
rmdir "$bin/Quillforth.ini"
mv "$work/Quillforth.ini" "$bin/Quillforth.ini"
window click "$caption" 1002
check_soon 3 "the next change saves the settings" "Cache next update:  HH:MM:SS" first_status_line

check_exit
check "the cache is saved in the folder" "xn--bcher-kva.example,198.19.0.7" \
    "$(grep -a '^xn--' "$bin/DnsItem.csv" | cut -d, -f1-2)"
check "so are the settings" "$upstream_address 0" \
    "$(ini_value Dns | cut -d'|' -f1) $(ini_value HideThisDialog)"
: >"$upstream_log"
e2e_start
check "the next start answers from the saved cache" \
    "xn--bcher-kva.example. IN A 198.19.0.7,0" "$(answered_then_asked xn--bcher-kva.example)"
check_exit

# The zip's copy in a folder that is read-only in the wineserver's mount namespace (it opens the
# files), beside it an administrator's settings that name the upstream.
python3 -m zipfile -e "$5" "$bin"
bin="$bin/Quillforth"
printf '[Settings]\r\nDns=%s\r\nStartAtLogin=0\r\n' "$upstream_address" >"$bin/Quillforth.ini"
local_folder=$(echo "$prefix"/drive_c/users/*/AppData/Local)/Quillforth
start_read_only() {
    WINEPREFIX=$prefix "$wineserver" -k
    WINEPREFIX=$prefix "$wineserver" -w
    in_srv sh -c 'mount --bind -o ro "$1" "$1" && "$2" -p && exec "$3" "$1/Quillforth.exe"' sh \
        "$bin" "$wineserver" "$wine" >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    program=$!
    wait_serving
}
local_value() {
    tr -d '\r' <"$local_folder/Quillforth.ini" | sed -n "s/^$1=//p" | cut -d'|' -f1
}
start_read_only
check "a copy that cannot write its folder reads the settings beside it" \
    "mail.example.test. 300 IN A 198.19.0.3" "$(query mail.example.test)"
check_soon 3 "its status box says where its files are" 'Files in %LOCALAPPDATA%\Quillforth' \
    first_status_line
window combo "$caption" 1013 5
check_exit
check "it keeps its cache in the local application data folder" mail.example.test \
    "$(grep -ao '^mail.example.test' "$local_folder/DnsItem.csv")"
check "and its settings" "$upstream_address 5" "$(local_value Dns) $(local_value UpdateHours)"
check "and writes nothing beside itself" "" "$(ls "$bin" | grep -v '^Quillforth.exe$\|^Readme.txt$\|^Quillforth.ini$')"
: >"$upstream_log"
start_read_only
check "its next start answers from the cache it kept there" \
    "mail.example.test. IN A 198.19.0.3,0" "$(answered_then_asked mail.example.test)"
check_exit
check "and keeps the settings it changed" 5 "$(local_value UpdateHours)"

e2e_finish
