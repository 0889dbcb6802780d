#!/usr/bin/env bash
# End to end under Wine (tests/support/e2e_env.sh): the cache list of the real Quillforth.exe over
# a few hundred entries: rows updated by hits and learned names, header sorts, the saved layout,
# and addresses given in the item dialog answered as given until their TTL has passed.
# QF_E2E_SHOTS=DIR keeps shots of the list sorted by Hits, its header menu and the item dialog.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/e2e_env.sh"
e2e_require
e2e_exe_setup "$@" learned.example.test=198.19.1.1 typed.test=198.19.1.8

entries=300
list=1000
# Entries host000.cache.test ... with hits (i * 7) % 50 and a last hit time in 2025.
{
    printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
    for i in $(seq 0 $((entries - 1))); do
        printf 'host%03d.cache.test,198.19.0.%d|198.19.2.%d,3600,%d,%d\r\n' \
            "$i" $((i % 250)) $((i % 250)) $(((i * 7) % 50)) $((1750000000 + i * 600))
    done
} >"$work/bin/DnsItem.csv"
# The rows as "ID,DOMAIN,IP,HITS,LASTHIT", the first N or all.
rows() {
    window rows "$caption" "$list" "$@"
}

e2e_start
check "every entry has a row" "$entries" "$(rows | wc -l)"
check "without a saved layout the rows go by ID" "0,1,2" "$(rows 3 | cut -d, -f1 | paste -sd,)"
check "a row shows the entry's addresses and hits" \
    "7,host007.cache.test,198.19.0.7|198.19.2.7,49" "$(rows 8 | tail -1 | cut -d, -f1-4)"

# Three hits on one entry while the list is on screen: its row, in its place, shows them at once.
for _ in 1 2 3; do
    answer=$(query host021.cache.test)
done
# Its line has no expiry: it is expired, answered with every address for 30 s (and renewed).
check "a cached entry is answered by the proxy" \
    "host021.cache.test. 30 IN A 198.19.0.21,host021.cache.test. 30 IN A 198.19.2.21" \
    "$(paste -sd, <<<"$answer")"
sleep 0.3
hit_row=$(rows 22 | tail -1)
check "the row in its place shows the three hits" "21,host021.cache.test,198.19.0.21|198.19.2.21,50" \
    "$(cut -d, -f1-4 <<<"$hit_row")"
check "the last hit time is now" 1 "$({
    date '+%m/%d %H:%M'
    date -d '+1 minute' '+%m/%d %H:%M'
} | grep -cxF "$(cut -d, -f5 <<<"$hit_row")")"

# A miss is learned: its row comes at the end.
query learned.example.test >/dev/null
sleep 0.3
check "a learned entry gets a row at the end" "$entries,learned.example.test,198.19.1.1,0" \
    "$(rows | tail -1 | cut -d, -f1-4)"

# Two clicks on "Hits": descending, with the three hits on top.
click_ms=$(window header "$caption" "$list" 3)
window header "$caption" "$list" 3 >/dev/null
check "a header click sorts within a second" 1 "$((click_ms < 1000))"
sorted=$(rows | cut -d, -f2,4)
check "two clicks on Hits sort by hits descending" "host021.cache.test,50" "$(head -1 <<<"$sorted")"
check "every row is in descending order of hits" "$(cut -d, -f2 <<<"$sorted" | sort -rn)" \
    "$(cut -d, -f2 <<<"$sorted")"
sleep 0.3
dialog_shot "$caption" cache-list-by-hits

# The header's menu opens at the pointer. Wine keeps its items private to the program, so they
# show on the screenshot only; Wine draws a menu a while after it opens.
window pointer 300 160
window header "$caption" "$list" 2 right
sleep 1
menu_shot cache-list-header-menu
check "a right click on the header opens its menu" open "$(window menu)"

# "&New" opens the item dialog over the list.
window command "$caption" 32773
check_soon 5 "New opens the item dialog" 1 window count "Dns Item"
check "the item dialog is shown" 0 "$(window visible "Dns Item"; echo $?)"
sleep 0.3
dialog_shot "Dns Item" item-dialog
# A new entry with the address the dialog's Resolve brings and a TTL of 4 s (its hidden edit);
# meanwhile the upstream moves the name.
window settext "Dns Item" 1010 typed.test
window settext "Dns Item" 1011 4
window click "Dns Item" 3
check "the dialog's Resolve fills the address" "Dns resolving finished successfully." \
    "$(wait_for_box Quillforth item-resolved)"
echo 'typed.test=198.19.1.9@4' >"$work/table"
window command "Dns Item" 1
check_soon 5 "OK closes the item dialog" 0 window count "Dns Item"
# "TTL ADDRESS" of the answer for typed.test; how often it reached the upstream.
typed() {
    query typed.test | awk '{print $2, $5}'
}
asked() {
    grep -c '^udp typed.test$' "$upstream_log"
}
read -r ttl address <<<"$(typed)"
check "the address given is answered as given, within its TTL" "198.19.1.8 1 1" \
    "$address $((ttl >= 1 && ttl <= 4)) $(asked)"
sleep 4.2
check "once its TTL has passed, it is answered at once for 30 s" "30 198.19.1.8" "$(typed)"
sleep 0.5
check "and renewed once: the next answer is the upstream's" "2 198.19.1.9" \
    "$(asked) $(typed | cut -d' ' -f2)"

check_exit
check "the hits reached the cache file" "host021.cache.test,198.19.0.21|198.19.2.21,3600,50" \
    "$(grep -a '^host021.cache.test,' "$work/bin/DnsItem.csv" | cut -d, -f1-4)"
check "the list's layout is saved in 53 bytes" 106 \
    "$(reg_value 'HKCU\Software\Veltmark\Quillforth\Settings' Overview | tr -d '\n' | wc -c)"

e2e_start
check "the saved layout sorts by hits descending at the next start" "host021.cache.test,50" \
    "$(rows 1 | cut -d, -f2,4)"

e2e_finish
