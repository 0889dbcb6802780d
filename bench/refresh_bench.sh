#!/usr/bin/env bash
# A refresh of 1,000 cache entries while the proxy serves: the real Quillforth.exe under Wine,
# started on a "DnsItem.csv" of 1,000 entries, in the network namespaces of
# tests/support/e2e_env.sh, with the fake upstream answering all of them. Per run: cache hits
# are timed for 3 s (the baseline); then "Resolve &All" runs while the same hits go on, 200 a
# second, and the window tool notes every progress text of the progress window and the moment
# the summary shows; after the summary the cache file must be saved with every entry refreshed.
# Prints a markdown table.
#     sudo bench/refresh_bench.sh [--reps N]
# QF_EXE and QF_WINDOW_TOOL name the programs (default: the build/mingw-x86_64 tree);
# QF_E2E_SHOTS=DIR keeps a screenshot of the progress window during the first run.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=${QF_EXE:-$root/build/mingw-x86_64/app/Quillforth.exe}
tool=${QF_WINDOW_TOOL:-$root/build/mingw-x86_64/tests/app/qf_window_tool.exe}
reps=3
while [ $# -gt 0 ]; do
    case "$1" in
        --reps) reps=$2; shift 2 ;;
        *) echo "usage: $0 [--reps N]" >&2; exit 64 ;;
    esac
done
source "$root/tests/support/e2e_env.sh"
e2e_require
entries=1000
names=(www.example.com=198.19.0.9)
for i in $(seq 0 $((entries - 1))); do
    names+=("$(printf 'r%04d.refresh.test=198.19.%d.%d' "$i" $((i / 256)) $((i % 256)))")
done
e2e_setup "$root/tools/wine-template" "$root/tests/support/fake_upstream.py" "$tool" "${names[@]}"
e2e_install_exe "$exe"
progress=Quillforth

# Every entry with an old address and TTL 60, last hit an hour ago: the refresh gives each the
# upstream's address and TTL 300.
write_cache() {
    local now i
    now=$(date +%s)
    {
        printf '#Domain,IP,TTL,HITS,LASTHITDATE\r\n'
        for i in $(seq 0 $((entries - 1))); do
            printf 'r%04d.refresh.test,10.0.%d.%d,60,0,%d\r\n' "$i" $((i / 256)) $((i % 256)) \
                $((now - 3600))
        done
    } >"$work/bin/DnsItem.csv"
}

# Cache hits on 127.0.0.1:53, one at a time, at most RATE a second, for SECONDS or until FILE
# exists: "count lost p50 p99 max over5ms" (milliseconds).
hits() {
    ip netns exec "$srv" python3 - "$entries" "$@" <<'EOF'
import os, socket, struct, sys, time
entries, seconds, rate, stop = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
def query(ident, name):
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    header = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    return header + labels + b"\0" + struct.pack(">HH", 1, 1)
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.settimeout(1.0)
times, lost, sent = [], 0, 0
end, step, due = time.monotonic() + seconds, 1.0 / rate, time.monotonic()
while time.monotonic() < end and not os.path.exists(stop) and sent < seconds * rate:
    ident = sent & 0xFFFF
    start = time.perf_counter()
    client.sendto(query(ident, "r%04d.refresh.test" % (sent * 7 % entries)), ("127.0.0.1", 53))
    try:
        while True:
            reply = client.recv(1514)
            if struct.unpack(">H", reply[:2])[0] == ident:
                break
        times.append((time.perf_counter() - start) * 1000)
    except socket.timeout:
        lost += 1
    sent += 1
    due += step
    time.sleep(max(0.0, due - time.monotonic()))
times.sort()
pick = lambda share: times[min(len(times) - 1, int(share * len(times)))] if times else float("nan")
print(len(times) + lost, lost, "%.2f" % pick(0.5), "%.2f" % pick(0.99), "%.2f" % pick(1.0),
      sum(1 for t in times if t > 5))
EOF
}

# One run: "command_to_summary_ms first_progress_to_summary_ms progress_texts summary_ok
# saved_ms refreshed | baseline hits | hits during the run".
measure() {
    local rep=$1 stop=$work/stop watch=$work/watch saved_before commanded box_line
    write_cache
    e2e_start
    local baseline
    rm -f "$stop"
    baseline=$(hits 3 200 "$stop")
    hits 120 200 "$stop" >"$work/during" &
    local load=$!
    window watch "$progress" 1010 120 >"$watch" &
    local watcher=$!
    sleep 0.5
    saved_before=$(stat -c %.9Y "$work/bin/DnsItem.csv")
    commanded=$(date +%s%3N)
    window command "$caption" 32776
    if [ "$rep" == 1 ]; then
        sleep 2
        dialog_shot "$progress" refresh-progress
    fi
    wait "$watcher"
    touch "$stop"
    wait "$load"
    box_line=$(grep -a ' box ' "$watch" | tail -1 | tr -d '\r')
    local first_ms box_ms texts summary_ok=no
    first_ms=$(head -1 "$watch" | cut -d' ' -f1)
    box_ms=$(cut -d' ' -f1 <<<"$box_line")
    texts=$(grep -vc ' box ' "$watch")
    local expected="All domain's DNS resolving finished. Results as following:"
    expected+="Finished $entries, Success $entries, Total $entries."
    [ "$(cut -d' ' -f3- <<<"$box_line")" == "$expected" ] && summary_ok=yes
    window box Quillforth >/dev/null
    local saved_ms=timeout
    for _ in $(seq 200); do
        if [ "$(stat -c %.9Y "$work/bin/DnsItem.csv")" != "$saved_before" ]; then
            saved_ms=$(($(date +%s%3N) - box_ms))
            break
        fi
        sleep 0.05
    done
    local refreshed
    refreshed=$(grep -ac '^r[0-9]*\.refresh\.test,198\.19\.[0-9.]*,300,' "$work/bin/DnsItem.csv")
    window command "$caption" 32772
    [ "$(wait_ended "$program")" == ended ] || kill_program
    echo "$((box_ms - commanded)) $((box_ms - first_ms)) $texts $summary_ok $saved_ms" \
        "$refreshed | $baseline | $(cat "$work/during")"
}

# "count lost p50 p99 max over5ms" as a table cell.
hit_cell() {
    echo "$1 / $2 / $3 / $4 / $5 / $6"
}

results=()
for rep in $(seq "$reps"); do
    line=$(measure "$rep")
    echo "rep $rep: $line" >&2
    results+=("$line")
done

echo "| Run | command to summary (ms) | first progress to summary (ms) | progress texts seen |" \
    "summary right | saved after summary (ms) | entries refreshed in the file |" \
    "cache hits before the run | cache hits during the run |"
echo "|---:|---:|---:|---:|---|---:|---:|---|---|"
run=0
for line in "${results[@]}"; do
    run=$((run + 1))
    IFS='|' read -r main before during <<<"$line"
    read -r to_summary from_first texts ok saved refreshed <<<"$main"
    echo "| $run | $to_summary | $from_first | $texts | $ok | $saved | $refreshed / $entries |" \
        "$(hit_cell $before) | $(hit_cell $during) |"
done
echo
echo "Cache hits: count / lost / p50 / p99 / max (ms) / answers slower than 5 ms."
echo "Load average at the end (the machine's $(nproc) cores): $(cut -d' ' -f1-3 /proc/loadavg)."
e2e_finish >/dev/null
