#!/usr/bin/env bash
# Delete Outdated on a big cache: the real Quillforth.exe under Wine, in the network namespaces of
# tests/support/e2e_env.sh, started on a "DnsItem.csv" of N entries (100,000 unless told) of
# which every other one was last hit long ago. Per run: the time from the user's OK in the
# "Outdated DNS Items" dialog until the cache file has been saved without the outdated half (the
# rows are removed before the save), and the rows left in the list. With QF_PEER_EXE, another
# build of the program is measured alternately in the same run. Prints a markdown table.
#     sudo bench/delete_outdated_bench.sh [--reps N] [--entries N]
# QF_EXE and QF_WINDOW_TOOL name the programs (default: the build/mingw-x86_64 tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${QF_EXE:-$root/build/mingw-x86_64/app/Quillforth.exe}
peer=${QF_PEER_EXE:-}
tool=${QF_WINDOW_TOOL:-$root/build/mingw-x86_64/tests/app/qf_window_tool.exe}
reps=3
entries=100000
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        --entries) entries=$2; shift 2 ;;
        *) echo "usage: $0 [--reps N] [--entries N]" >&2; exit 64 ;;
    esac
done
source "$root/tests/support/e2e_env.sh"
e2e_require
e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" "$tool" \
    www.example.com=198.19.0.9
list=1000
outdated="Outdated DNS Items"
kept=$((entries / 2))

# host000000.scale.test ...: the odd ones hit now, the even ones in 2025.
write_cache() {
    python3 - "$entries" "$work/bin/DnsItem.csv" <<'EOF'
import sys, time
count, path = int(sys.argv[1]), sys.argv[2]
now = int(time.time())
with open(path, "w", newline="") as out:
    out.write("#Domain,IP,TTL,HITS,LASTHITDATE\r\n")
    for i in range(count):
        out.write("host%06d.scale.test,198.19.%d.%d,3600,%d,%d\r\n" % (
            i, i // 256 % 256, i % 256, i % 1000, now if i % 2 else 1750000000))
EOF
}

# Milliseconds since 1970 when the file at $1 is next replaced (5 minutes at most, else it fails);
# the file $2 appears once the file's present state has been taken.
wait_saved() {
    python3 - "$1" "$2" <<'EOF'
import os, sys, time
path = sys.argv[1]
def state():
    status = os.stat(path)
    return status.st_ino, status.st_size, status.st_mtime_ns
before = state()
open(sys.argv[2], "w").close()
end = time.time() + 300
while time.time() < end:
    try:
        if state() != before:
            print(int(time.time() * 1000))
            sys.exit(0)
    except FileNotFoundError:
        pass
    time.sleep(0.005)
sys.exit(1)
EOF
}

# One run of the exe at $2, called $1: "NAME OK_TO_SAVED_MS ROWS_LEFT LINES_SAVED", or
# "NAME timeout - -" when the save did not come within 5 minutes.
measure() {
    local name=$1
    e2e_install_exe "$2"
    write_cache
    e2e_start
    window waitrows "$caption" "$list" "$entries" 120 >/dev/null
    window command "$caption" 32785
    wait_until 10 window visible "$outdated"
    window settext "$outdated" 1010 1
    rm -f "$work/watching"
    wait_saved "$work/bin/DnsItem.csv" "$work/watching" >"$work/saved" &
    local saver=$! pressed
    wait_until 10 test -e "$work/watching"
    pressed=$(date +%s%3N)
    window command "$outdated" 1
    if ! wait "$saver"; then
        echo "$name timeout - -"
        kill_program >&2
        return
    fi
    local rows
    rows=$(window rows "$caption" "$list" | wc -l)
    echo "$name $(($(cat "$work/saved") - pressed)) $rows $(($(wc -l <"$work/bin/DnsItem.csv") - 1))"
    window command "$caption" 32772
    [ "$(wait_ended "$program")" == ended ] || kill_program >&2
}

results=()
for rep in $(seq "$reps"); do
    line=$(measure this "$exe")
    echo "rep $rep: $line" >&2
    results+=("$line")
    if [ -n "$peer" ]; then
        line=$(measure peer "$peer")
        echo "rep $rep: $line" >&2
        results+=("$line")
    fi
done

printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
runs = {}
for line in sys.stdin:
    name, *values = line.split()
    runs.setdefault(name, []).append(values)
names = [name for name in ("this", "peer") if name in runs]
print("| Delete Outdated, %d entries, %d kept | " % ('"$entries"', '"$kept"') +
      " | ".join(names) + " |")
print("|---|" + "---:|" * len(names))
for title, column in (("OK to the cache file saved (ms)", 0), ("rows left in the list", 1),
                      ("entries in the saved file", 2)):
    cells = []
    for name in names:
        values = [run[column] for run in runs[name]]
        done = [int(value) for value in values if value.isdigit()]
        middle = "%d" % statistics.median(done) if len(done) == len(values) else "-"
        cells.append("%s [%s]" % (middle, ", ".join(values)))
    print("| %s | %s |" % (title, " | ".join(cells)))
if len(names) == 2 and all(run[0].isdigit() for name in names for run in runs[name]):
    print()
    print("time ratio, peer against this: %.1f" % (
        statistics.median(int(run[0]) for run in runs["peer"]) /
        statistics.median(int(run[0]) for run in runs["this"])))
'
e2e_finish >/dev/null
