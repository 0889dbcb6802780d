#!/usr/bin/env bash
# Cached answers while the cache saves itself: the real Quillforth.exe under Wine, in the network
# namespaces of tests/support/e2e_env.sh, started on a "DnsItem.csv" of N entries (100,000 unless
# told) with its save period cut to 1 s (the INI key "CacheSaveSeconds"; --period S for another,
# such as 3600 for a run without saves to compare with). A client asks cached
# names one at a time, one every 2 ms, for S seconds; every answer is a hit, which changes the
# cache, so the program saves all N entries again and again throughout. Per run: the saves seen
# (the file replaced), the answers and the ones lost (none within 1 s), the round trips' median,
# 99th percentile and maximum, the same for the answers asked while a save was writing its file,
# and how many took 10 ms or more. Prints a markdown table.
#     sudo bench/cache_save_bench.sh [--reps N] [--entries N] [--seconds S] [--period S]
# QF_EXE and QF_WINDOW_TOOL name the programs (default: the build/mingw-x86_64 tree).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${QF_EXE:-$root/build/mingw-x86_64/app/Quillforth.exe}
tool=${QF_WINDOW_TOOL:-$root/build/mingw-x86_64/tests/app/qf_window_tool.exe}
reps=3
entries=100000
seconds=20
period=1
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        --entries) entries=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --period) period=$2; shift 2 ;;
        *) echo "usage: $0 [--reps N] [--entries N] [--seconds S] [--period S]" >&2; exit 64 ;;
    esac
done
source "$root/tests/support/e2e_env.sh"
e2e_require
e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" "$tool" \
    www.example.com=198.19.0.9
cache=$work/bin/DnsItem.csv

write_cache() {
    python3 - "$entries" "$cache" <<'PYTHON'
import sys
count, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w", newline="") as out:
    out.write("#Domain,IP,TTL,HITS,LASTHITDATE\r\n")
    for i in range(count):
        out.write("host%06d.scale.test,198.19.%d.%d|198.18.%d.%d,3600,%d,%d\r\n" % (
            i, i // 256 % 256, i % 256, i // 256 % 256, i % 256, i % 1000, 1750000000 + i * 60))
PYTHON
}

# The client: "saves answers lost p50 p99 max writing_answers writing_p99 writing_max over_10ms",
# times in milliseconds.
ask_cached_names() {
    ip netns exec "$srv" python3 - "$seconds" "$cache" <<'PYTHON'
import os, socket, statistics, struct, sys, time
seconds, path = float(sys.argv[1]), sys.argv[2]
def query(ident, name):
    labels = b"".join(bytes([len(l)]) + l.encode() for l in name.split("."))
    return struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0\0\1\0\1"
def inode():
    try:
        return os.stat(path).st_ino
    except FileNotFoundError:
        return None
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1)
times, writing, lost, saves, last = [], [], 0, 0, inode()
end = time.monotonic() + seconds
ident = 0
while time.monotonic() < end:
    ident = (ident + 1) & 0xFFFF
    during = os.path.exists(path + ".tmp")
    sent = time.perf_counter()
    s.sendto(query(ident, "host%06d.scale.test" % (ident % 100)), ("127.0.0.1", 53))
    try:
        while struct.unpack(">H", s.recv(1514)[:2])[0] != ident:
            pass
        took = (time.perf_counter() - sent) * 1000
        times.append(took)
        if during or os.path.exists(path + ".tmp"):
            writing.append(took)
    except socket.timeout:
        lost += 1
    now = inode()
    if now != last:
        saves, last = saves + 1, now
    time.sleep(0.002)
def p99(values):
    return sorted(values)[int(len(values) * 0.99)] if values else float("nan")
print(saves, len(times), lost, "%.2f" % statistics.median(times), "%.2f" % p99(times),
      "%.2f" % max(times), len(writing), "%.2f" % p99(writing),
      "%.2f" % (max(writing) if writing else float("nan")), sum(t >= 10 for t in times))
PYTHON
}

measure() {
    e2e_install_exe "$exe" "CacheSaveSeconds=$period"
    write_cache
    e2e_start
    window waitrows "$caption" 1000 "$entries" 120 >/dev/null
    ask_cached_names
    window command "$caption" 32772
    [ "$(wait_ended "$program")" == ended ] || kill_program >&2
}

results=()
for rep in $(seq "$reps"); do
    line=$(measure)
    echo "rep $rep: $line" >&2
    results+=("$line")
done

printf '%s\n' "${results[@]}" | python3 -c '
import sys
runs = [line.split() for line in sys.stdin if line.strip()]
titles = ["saves of the whole cache seen", "cached answers", "lost (no answer within 1 s)",
          "round trip, median (ms)", "round trip, 99th percentile (ms)", "round trip, maximum (ms)",
          "answers asked while a save wrote its file", "those: 99th percentile (ms)",
          "those: maximum (ms)", "answers that took 10 ms or more"]
print("| '"$entries"' entries, save period '"$period"' s, '"$seconds"' s per run | " +
      " | ".join("run %d" % (i + 1) for i in range(len(runs))) + " |")
print("|---|" + "---:|" * len(runs))
for column, title in enumerate(titles):
    print("| %s | %s |" % (title, " | ".join(run[column] for run in runs)))
'
e2e_finish >/dev/null
