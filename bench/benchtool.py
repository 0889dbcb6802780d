#!/usr/bin/env python3
"""Helpers for run-bench.sh (standard library only).

  benchtool.py gen DIR NAMES FLOOD_NAMES   zone file and query files for the fake upstream
  benchtool.py sample PID OUT [SECONDS]    sample /proc/PID/status until SIGTERM or exit
  benchtool.py get FILE KEY                one value of a sampler's output
  benchtool.py dnsperf LOG                 dnsperf statistics as "key<TAB>value" lines
  benchtool.py report RESULTS META         markdown results table
"""

import json
import re
import signal
import statistics
import sys
import time

ZONE = "bench.test"
UPSTREAM = "198.18.0.2"


def host_name(i):
    return "host%05d.%s" % (i, ZONE)


def host_address(i):
    """Address of host i: 198.19.0.0/16, inside the benchmark range 198.18.0.0/15."""
    return "198.19.%d.%d" % (i // 256, i % 256)


def flood_name(i):
    return "f%06d.flood.%s" % (i, ZONE)


# ---------------------------------------------------------------- gen


def cmd_gen(directory, names, flood_names):
    names, flood_names = int(names), int(flood_names)
    with open("%s/%s.zone" % (directory, ZONE), "w") as zone:
        zone.write("$ORIGIN %s.\n$TTL 86400\n" % ZONE)
        zone.write("@ IN SOA ns.%s. admin.%s. 1 3600 600 86400 86400\n" % (ZONE, ZONE))
        zone.write("@ IN NS ns.%s.\n" % ZONE)
        zone.write("ns IN A %s\n" % UPSTREAM)
        for i in range(names):
            zone.write("host%05d IN A %s\n" % (i, host_address(i)))
    with open("%s/names.txt" % directory, "w") as out:
        out.writelines("%s A\n" % host_name(i) for i in range(names))
    with open("%s/names-1000.txt" % directory, "w") as out:
        out.writelines("%s A\n" % host_name(i) for i in range(min(names, 1000)))
    # dnsperf paces itself (1 ms pause every second query) until its first answer arrives, so
    # the flood starts with a cached name; one line in 1000 stays cached to keep it going.
    with open("%s/flood.txt" % directory, "w") as out:
        out.writelines("%s A\n" % (host_name(i % names) if i % 1000 == 0 else flood_name(i))
                       for i in range(flood_names))


# ---------------------------------------------------------------- sample


def read_status(pid):
    """(state, threads, rss_kib) of a process, or None when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            text = f.read()
    except OSError:
        return None
    fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
    state = fields.get("State", "?").split()[0]
    threads = int(fields.get("Threads", "0"))
    rss = int(fields.get("VmRSS", "0 kB").split()[0]) if "VmRSS" in fields else 0
    return state, threads, rss


def cmd_sample(pid, out, seconds="900", interval="0.01"):
    """Peak threads and resident memory of PID, written as JSON when stopped.

    Stops on SIGTERM/SIGINT, when the process is gone or a zombie, or after SECONDS."""
    pid, seconds, interval = int(pid), float(seconds), float(interval)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    peak_threads = peak_rss = samples = 0
    alive = True
    deadline = time.monotonic() + seconds
    while not stop and time.monotonic() < deadline:
        status = read_status(pid)
        if status is None or status[0] in ("Z", "X"):
            alive = False
            break
        peak_threads = max(peak_threads, status[1])
        peak_rss = max(peak_rss, status[2])
        samples += 1
        time.sleep(interval)
    with open(out, "w") as f:
        json.dump({"peak_threads": peak_threads, "peak_rss_kib": peak_rss,
                   "samples": samples, "alive": alive}, f)


def cmd_get(path, key):
    """One value of a sampler's JSON file."""
    with open(path) as f:
        value = json.load(f)[key]
    print(int(value) if isinstance(value, bool) else value)


# ---------------------------------------------------------------- dnsperf


def parse_dnsperf(text):
    """The statistics block of a dnsperf run as a dict (empty when there is none)."""
    result = {}
    m = re.search(r"Queries sent:\s+(\d+)", text)
    if not m:
        return result
    result["sent"] = int(m.group(1))
    m = re.search(r"Queries completed:\s+(\d+)", text)
    result["completed"] = int(m.group(1)) if m else 0
    m = re.search(r"Queries lost:\s+(\d+)", text)
    result["lost"] = int(m.group(1)) if m else 0
    result["lost_pct"] = 100.0 * result["lost"] / result["sent"] if result["sent"] else 0.0
    m = re.search(r"Run time \(s\):\s+([\d.]+)", text)
    result["runtime_s"] = float(m.group(1)) if m else 0.0
    m = re.search(r"Queries per second:\s+([\d.]+)", text)
    result["qps"] = float(m.group(1)) if m else 0.0
    m = re.search(r"Average Latency \(s\):\s+([\d.]+) \(min ([\d.]+), max ([\d.]+)\)", text)
    if m and result["completed"]:
        result["lat_avg_ms"] = 1000.0 * float(m.group(1))
        result["lat_min_ms"] = 1000.0 * float(m.group(2))
        result["lat_max_ms"] = 1000.0 * float(m.group(3))
    m = re.search(r"Response codes:[ \t]*([^\n]*)", text)
    codes = dict((c, int(n)) for c, n in re.findall(r"([A-Z]+) (\d+) \(", m.group(1) if m else ""))
    result["rcodes"] = " ".join("%s=%d" % kv for kv in sorted(codes.items())) or "none"
    completed = result["completed"]
    result["noerror_pct"] = 100.0 * codes.get("NOERROR", 0) / completed if completed else 0.0
    # share of all sent queries that got a NOERROR answer
    result["answered_pct"] = 100.0 * codes.get("NOERROR", 0) / result["sent"] if result["sent"] else 0.0
    # share of all sent queries that got any answer, and the rate at which they were sent
    result["answered_any_pct"] = 100.0 * completed / result["sent"] if result["sent"] else 0.0
    result["sent_qps"] = result["sent"] / result["runtime_s"] if result["runtime_s"] else 0.0
    return result


def cmd_dnsperf(log):
    with open(log, errors="replace") as f:
        result = parse_dnsperf(f.read())
    if not result:
        print("no dnsperf statistics in %s" % log, file=sys.stderr)
        sys.exit(1)
    for key, value in result.items():
        print("%s\t%s" % (key, "%.6g" % value if isinstance(value, float) else value))


# ---------------------------------------------------------------- report


def read_tsv(path, fields):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == fields:
                rows.append(parts)
    return rows


class Results:
    """results.tsv: server, repetition, key, value."""

    def __init__(self, path):
        self.values = {}
        self.servers = []
        for server, rep, key, value in read_tsv(path, 4):
            if server not in self.servers:
                self.servers.append(server)
            self.values.setdefault((server, key), {})[int(rep)] = value

    def reps(self, server, key):
        return self.values.get((server, key), {})

    def numbers(self, server, key):
        out = []
        for _, value in sorted(self.reps(server, key).items()):
            try:
                out.append(float(value))
            except ValueError:
                pass
        return out


def fmt(value, digits):
    if digits == 0:
        return "{:,.0f}".format(value)
    return "%.*f" % (digits, value)


def summary(values, digits, how="median"):
    """median [min–max] of the repetitions (or the max/min of them)."""
    if not values:
        return "–"
    if how == "max":
        return fmt(max(values), digits)
    if how == "min":
        return fmt(min(values), digits)
    text = fmt(statistics.median(values), digits)
    if len(values) > 1 and fmt(min(values), digits) != fmt(max(values), digits):
        text += " [%s–%s]" % (fmt(min(values), digits), fmt(max(values), digits))
    return text


# (label, key, digits, how, scale); {cpu_qps} in a label is the rate of the CPU run
ROWS = [
    ("**Cache hits at a fixed {cpu_qps} queries/s**", None, 0, None, 1),
    ("server CPU per answer (µs)", "cpu.server_cpu_us", 2, "median", 1),
    ("queries/s achieved", "cpu.qps", 0, "median", 1),
    ("lost %", "cpu.lost_pct", 2, "median", 1),
    ("average latency (ms)", "cpu.lat_avg_ms", 3, "median", 1),
    ("server CPU use (% of its core)", "cpu.server_cpu_pct", 0, "median", 1),
    ("**Cache hits, maximum throughput**", None, 0, None, 1),
    ("queries/s", "max.qps", 0, "median", 1),
    ("lost %", "max.lost_pct", 2, "median", 1),
    ("average latency (ms)", "max.lat_avg_ms", 3, "median", 1),
    ("server CPU use (% of its core)", "max.server_cpu_pct", 0, "median", 1),
    ("server CPU per answer (µs)", "max.server_cpu_us", 2, "median", 1),
    ("**Cache hits at a fixed 2,000 queries/s**", None, 0, None, 1),
    ("average latency (ms)", "fixed.lat_avg_ms", 3, "median", 1),
    ("maximum latency (ms)", "fixed.lat_max_ms", 3, "median", 1),
    ("lost %", "fixed.lost_pct", 2, "median", 1),
    ("**Cold forward path (fresh server, each name once)**", None, 0, None, 1),
    ("queries/s achieved", "cold.qps", 0, "median", 1),
    ("average latency (ms)", "cold.lat_avg_ms", 3, "median", 1),
    ("maximum latency (ms)", "cold.lat_max_ms", 3, "median", 1),
    ("lost %", "cold.lost_pct", 2, "median", 1),
    ("second pass answered from cache, NOERROR % of sent", "warm.answered_pct", 2, "min", 1),
    ("**Memory and threads**", None, 0, None, 1),
    ("VmRSS at start, empty cache (MiB)", "rss_empty_kib", 1, "median", 1 / 1024),
    ("VmRSS with the names cached (MiB)", "rss_warm_kib", 1, "median", 1 / 1024),
    ("peak threads, normal runs (max)", "threads_normal_peak", 0, "max", 1),
    ("**Flood: silent upstream, uncached names, maximum rate**", None, 0, None, 1),
    ("flood queries/s sent", "flood.sent_qps", 0, "median", 1),
    ("flood queries answered (any rcode) %", "flood.answered_any_pct", 2, "median", 1),
    ("peak threads during flood (max)", "threads_flood_peak", 0, "max", 1),
    ("cache hits during flood: answered %", "during.answered_pct", 2, "min", 1),
    ("cache hits during flood: average latency (ms)", "during.lat_avg_ms", 3, "median", 1),
    ("cache hits during flood: maximum latency (ms)", "during.lat_max_ms", 3, "median", 1),
    ("cache hits right after flood: answered %", "after.answered_pct", 2, "min", 1),
    ("cache hits 4 s after flood: answered %", "settled.answered_pct", 2, "min", 1),
]


def yes_no(values, ok):
    if not values:
        return "–"
    bad = [v for v in values if v != ok]
    return "yes" if not bad else "**no** (%d of %d runs)" % (len(bad), len(values))


def main_table(res, meta):
    servers = res.servers
    lines = ["| Measurement | " + " | ".join(servers) + " |",
             "|---|" + "---:|" * len(servers)]
    cpu_qps = "{:,}".format(int(meta.get("cpu_qps", "50000")))
    for label, key, digits, how, scale in ROWS:
        label = label.format(cpu_qps=cpu_qps)
        if key is None:
            lines.append("| %s |" % label + " |" * len(servers))
            continue
        cells = [summary([v * scale for v in res.numbers(s, key)], digits, how) for s in servers]
        lines.append("| %s | %s |" % (label, " | ".join(cells)))
    cap = meta.get("thread_limit", "?")
    checks = [
        ("answers correct (spot check of 3 names)", "spot_ok", "1"),
        ("alive after flood", "flood_alive", "1"),
        ("peak threads ≤ %s" % cap, "threads_within_cap", "1"),
        ("exit status 0 on SIGTERM", "exit_ok", "1"),
    ]
    for label, key, ok in checks:
        cells = [yes_no(list(res.reps(s, key).values()), ok) for s in servers]
        lines.append("| %s | %s |" % (label, " | ".join(cells)))
    if any(res.reps(s, "cache_file_lines") for s in servers):
        cells = [summary(res.numbers(s, "cache_file_lines"), 0, "min") for s in servers]
        lines.append("| cache file lines saved at SIGTERM (min) | %s |" % " | ".join(cells))
    return lines


def ratios(res, key, ours, other):
    """ours/other for every repetition that measured both."""
    a, b = res.reps(ours, key), res.reps(other, key)
    out = []
    for rep in sorted(a):
        try:
            if rep in b and float(b[rep]) > 0:
                out.append(float(a[rep]) / float(b[rep]))
        except ValueError:
            pass
    return out


def ratio_target(res, what, key, other, limit, at_least=False):
    """A target "quillforthd's KEY compared with OTHER's, as a ratio, at most (least) LIMIT"."""
    found = ratios(res, key, "quillforthd", other)
    if not found:
        return "- %s: no ratio, %s was not measured in this run." % (what, other)
    med = statistics.median(found)
    met = med >= limit if at_least else med <= limit
    return "- %s: ratio quillforthd/%s %.2f (per repetition: %s) — %s" % (
        what, other, med, ", ".join("%.2f" % r for r in found), "met" if met else "**not met**")


def targets(res, meta):
    ours = "quillforthd"
    if ours not in res.servers:
        return ["- quillforthd was not measured in this run (%s)." % res.reps("-", "note").get(0, "skipped")]
    rate = "{:,}".format(int(meta.get("cpu_qps", "50000")))
    cpu = "Server CPU per cached answer at %s queries/s" % rate
    lines = [
        ratio_target(res, cpu + " ≤ unbound's", "cpu.server_cpu_us", "unbound", 1.0),
        ratio_target(res, cpu + " ≤ 0.8 × dnsmasq's", "cpu.server_cpu_us", "dnsmasq", 0.8),
        ratio_target(res, cpu + " ≤ 1.3 × the floor's", "cpu.server_cpu_us", "floor", 1.3),
        ratio_target(res, "Maximum cache-hit throughput ≥ 0.95 × unbound's", "max.qps", "unbound", 0.95,
                     at_least=True),
    ]
    for peer in ("dnsmasq", "unbound"):
        lines.append(ratio_target(res, "Average cache-hit latency at 2,000 queries/s ≤ %s's" % peer,
                                  "fixed.lat_avg_ms", peer, 1.0))
    lost = res.numbers(ours, "fixed.lost_pct")
    if lost:
        lines.append("- No loss at 2,000 queries/s: worst %.2f %% — %s"
                     % (max(lost), "met" if max(lost) == 0 else "**not met**"))
    lines.append(ratio_target(res, "VmRSS with the 10,000 names cached ≤ dnsmasq's", "rss_warm_kib",
                              "dnsmasq", 1.0))
    # CPU per answer depends on the rate (a busy server takes more datagrams per wake-up): a run
    # that fell short of the rate is not comparable.
    slowest = dict((s, min(res.numbers(s, "cpu.qps"))) for s in res.servers if res.numbers(s, "cpu.qps"))
    wanted = int(meta.get("cpu_qps", "50000"))
    short = ["%s %s" % (s, fmt(q, 0)) for s, q in slowest.items() if q < 0.95 * wanted]
    if short:
        lines.append("- **The fixed-rate run fell short of %s queries/s** (slowest repetition: %s): its CPU "
                     "figures are not at that rate." % (rate, ", ".join(short)))
    return lines


def per_rep_table(res):
    lines = ["| Server | Repetition | CPU µs/answer at fixed rate | hit q/s | hit lost % | 2k avg / max (ms) "
             "| cold avg (ms) | RSS warm (MiB) | threads normal / flood |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in res.servers:
        for rep in sorted(res.reps(s, "max.qps")):
            def get(key, digits, scale=1.0):
                value = res.reps(s, key).get(rep)
                try:
                    return fmt(float(value) * scale, digits)
                except (TypeError, ValueError):
                    return "–"
            lines.append("| %s | %d | %s | %s | %s | %s / %s | %s | %s | %s / %s |" % (
                s, rep, get("cpu.server_cpu_us", 2), get("max.qps", 0), get("max.lost_pct", 2),
                get("fixed.lat_avg_ms", 3),
                get("fixed.lat_max_ms", 3), get("cold.lat_avg_ms", 3), get("rss_warm_kib", 1, 1 / 1024),
                get("threads_normal_peak", 0), get("threads_flood_peak", 0)))
    return lines


def read_run(results_path, meta_path):
    """(meta, results, notes) of a run: meta.tsv as a dict, results.tsv without the notes' rows."""
    meta = dict((k, v) for k, v in read_tsv(meta_path, 2))
    res = Results(results_path)
    notes = [v for _, v in sorted(res.reps("-", "note").items())]
    res.servers = [s for s in res.servers if s != "-"]
    return meta, res, notes


def meta_lines(meta, more=()):
    """The run's facts from meta.tsv as a list; MORE, (label, key) pairs, come before the pinning."""
    out = []
    for label, key in [("Date", "date"), ("Machine", "machine"), ("Load average (1, 5, 15 min)", "load"),
                       ("Kernel", "kernel"), ("Command", "command"), ("Versions", "versions")] + list(more) + [
                       ("Pinning", "pinning"), ("Parameters", "params")]:
        if key in meta:
            value = "`%s`" % meta[key] if key == "command" else meta[key]
            out.append("- %s: %s" % (label, value))
    return out


def report_end(notes, meta, heading="quillforthd output at exit (last run)"):
    """The notes, and the end of quillforthd's output at exit when meta.tsv names its file."""
    out = []
    if notes:
        out += ["", "## Notes", ""] + ["- " + n for n in notes]
    stats = meta.get("quillforthd_stats_file")
    if stats:
        try:
            with open(stats, errors="replace") as f:
                text = f.read().strip()
            out += ["", "## " + heading, "", "```", text[-4000:], "```"]
        except OSError:
            pass
    return out


def cmd_report(results_path, meta_path):
    meta, res, notes = read_run(results_path, meta_path)
    out = ["# Benchmark: quillforthd, dnsmasq and unbound as caching forwarders, and the floor", ""]
    out += meta_lines(meta)
    out += ["", "Median over the repetitions, [min–max] when they differ; \"max\" rows give the largest "
            "value of any repetition, \"min\" rows the smallest."]
    if "floor" in res.servers:
        out += ["The floor answers the names by arithmetic, one datagram at a time (recvfrom, patch, "
                "sendto; no cache, no lock): the cost of the system calls alone. It has no cold pass, "
                "cache or flood (\"–\")."]
    out += [""] + main_table(res, meta)
    out += ["", "## Targets (quillforthd)", ""] + targets(res, meta)
    out += ["", "## Per repetition", ""] + per_rep_table(res)
    out += report_end(notes, meta)
    print("\n".join(out))


COMMANDS = {"gen": cmd_gen, "sample": cmd_sample, "get": cmd_get, "dnsperf": cmd_dnsperf, "report": cmd_report}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
