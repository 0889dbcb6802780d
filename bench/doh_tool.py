#!/usr/bin/env python3
"""Helpers for doh_bench.sh (standard library only; the paced client and the summary table are
failover_tool.py's, the report's frame benchtool.py's).

  doh_tool.py gen DIR WARMUP LATENCY THROUGHPUT UPSTREAM   zone file and the names files
  doh_tool.py dnsperf LOG                  dnsperf figures and NOERROR answers per second
  doh_tool.py frontend CONSOLE_OUTPUT      HTTP/1 and HTTP/2 query counts of the DoH front end
  doh_tool.py curlconfig DIR NAMES COUNT URL
                                           a curl config asking one query per name (the floor)
  doh_tool.py curlstats DIR NAMES COUNT    the paced client's figures of those queries
  doh_tool.py report RESULTS META          markdown results table
"""

import base64
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchtool  # noqa: E402  (Results, number formatting, dnsperf parsing)
import failover_tool  # noqa: E402  (names, addresses, the summary table)

ZONE = failover_tool.ZONE
# The paced client's sets: s1 warms the server up, s2 is timed.
WARMUP_SET, LATENCY_SET = 1, 2


def throughput_name(i):
    return "t%07d.tp.%s" % (i, ZONE)


# ---------------------------------------------------------------- gen


def cmd_gen(directory, warmup, latency, throughput, upstream):
    """bench.test with the warm-up names, the timed names and the throughput names. Every run
    asks them of a server started afresh, with an empty cache and no cache between it and nsd,
    so that each name is new to it."""
    counts = {WARMUP_SET: int(warmup), LATENCY_SET: int(latency)}
    throughput = int(throughput)
    with open(os.path.join(directory, ZONE + ".zone"), "w") as zone:
        zone.write("$ORIGIN %s.\n$TTL 86400\n" % ZONE)
        zone.write("@ IN SOA ns.%s. admin.%s. 1 3600 600 86400 86400\n" % (ZONE, ZONE))
        zone.write("@ IN NS ns.%s.\n" % ZONE)
        zone.write("ns IN A %s\n" % upstream)
        for s, count in counts.items():
            for i in range(count):
                zone.write("q%05d.%s IN A %s\n" % (i, failover_tool.set_name(s), failover_tool.address_of(i)))
        for i in range(throughput):
            zone.write("t%07d.tp IN A %s\n" % (i, failover_tool.address_of(i)))
    for s, count in counts.items():
        with open(os.path.join(directory, "names-%s.txt" % failover_tool.set_name(s)), "w") as out:
            out.writelines("%s\n" % failover_tool.query_name(s, i) for i in range(count))
    with open(os.path.join(directory, "throughput.txt"), "w") as out:
        out.writelines("%s A\n" % throughput_name(i) for i in range(throughput))


# ---------------------------------------------------------------- dnsperf


def cmd_dnsperf(log):
    """benchtool's dnsperf figures, and the NOERROR answers per second of the run."""
    with open(log, errors="replace") as f:
        result = benchtool.parse_dnsperf(f.read())
    if not result:
        print("no dnsperf statistics in %s" % log, file=sys.stderr)
        sys.exit(1)
    if result["runtime_s"] > 0:
        result["noerror_qps"] = result["answered_pct"] / 100.0 * result["sent"] / result["runtime_s"]
    for key, value in result.items():
        print("%s\t%s" % (key, "%.6g" % value if isinstance(value, float) else value))


# ---------------------------------------------------------------- frontend


def cmd_frontend(path):
    """The counts of the first DoH front end in showDOHFrontends(): HTTP connections accepted,
    queries over HTTP/1 and over HTTP/2. The columns before these hold one word each, so a
    row's fields line up with the header's words up to them."""
    with open(path, errors="replace") as f:
        lines = [line.split() for line in f if line.strip()]
    header = next((line for line in lines if "HTTP/1" in line and "HTTP/2" in line), None)
    if header is None:
        return
    columns = [(name, header.index(name)) for name in ("HTTP", "HTTP/1", "HTTP/2")]
    for line in lines:
        if line is not header and line[0].isdigit() and all(line[i].isdigit() for _, i in columns):
            for (_, i), key in zip(columns, ("front_conns", "http1", "http2")):
                print("%s\t%s" % (key, line[i]))
            break


# ---------------------------------------------------------------- the DoH floor


def cmd_curlconfig(directory, names_file, count, url):
    """DIR/curl.conf: for each of the first COUNT names of NAMES, a GET of its A query from URL
    (RFC 8484's "dns" parameter, as quillforthd asks), its response kept in DIR/rNNNNN, the status
    and times written out; curl reuses one connection for them all."""
    with open(names_file) as f:
        names = [line.strip() for line in f if line.strip()][:int(count)]
    with open(os.path.join(directory, "curl.conf"), "w") as conf:
        for i, name in enumerate(names):
            query = base64.urlsafe_b64encode(failover_tool.build_query(i, name)).rstrip(b"=")
            if i:
                conf.write("next\n")
            conf.write('url = "%s?dns=%s"\nhttp2\noutput = "%s"\n' % (
                url, query.decode(), os.path.join(directory, "r%05d" % i)))
            conf.write('header = "Accept: application/dns-message"\n')
            conf.write('write-out = "%{http_code} %{time_total} %{time_pretransfer}\\n"\n')


def cmd_curlstats(directory, names_file, count):
    """The figures of the posts cmd_curlconfig made, from curl's written-out lines on standard
    input: each one's time from the request on (its connection's set-up left out), "ok" when the
    response is NOERROR with the name's own address."""
    with open(names_file) as f:
        names = [line.strip() for line in f if line.strip()][:int(count)]
    lines = sys.stdin.read().split("\n")
    rows = []
    for i, name in enumerate(names):
        fields = lines[i].split() if i < len(lines) else []
        latency, outcome = float("inf"), "lost"
        if len(fields) == 3 and fields[0] == "200":
            latency = (float(fields[1]) - float(fields[2])) * 1000.0
            try:
                with open(os.path.join(directory, "r%05d" % i), "rb") as response:
                    reply = failover_tool.parse_reply(response.read())
            except OSError:
                reply = None
            expected = [failover_tool.address_of(int(name[1:6]))]
            outcome = "ok" if reply and reply[1] == 0 and reply[3] == expected else "wrong"
        rows.append((0.0, latency if outcome == "ok" else float("inf"), outcome))
    figures = {"queries": len(rows)}
    figures.update(failover_tool.window_figures("all", rows))
    for key, value in figures.items():
        print("%s\t%s" % (key, "%.6g" % value if isinstance(value, float) else value))


# ---------------------------------------------------------------- report

LABELS = {"quillforthd-doh": "quillforthd over DoH", "quillforthd-udp": "quillforthd over UDP",
          "quillforthd-clear": "quillforthd over UDP to the front end",
          "dnsdist": "dnsdist over DoH",
          "dnsdist-udp": "dnsdist over plain UDP (this build has no outgoing DoH)",
          "nsd-direct": "nsd asked directly (floor)",
          "front-direct": "DoH front end asked directly, curl (floor)",
          "front-clear-direct": "DoH front end asked directly in clear (floor)"}

# (label, key, digits, how); how: median [min–max], or the worst ("min"/"max") of the repetitions
ROWS = [
    ("**New names at a fixed rate, connection warm**", None, 0, None),
    ("answered with the right address, % of sent", "lat.all.answered_pct", 2, "min"),
    ("median latency (ms)", "lat.all.median_ms", 3, "median"),
    ("99th percentile latency (ms)", "lat.all.p99_ms", 3, "median"),
    ("maximum latency (ms)", "lat.all.max_ms", 1, "median"),
    ("warm-up set answered, % of sent", "warm.all.answered_pct", 2, "min"),
    ("connections to port 443 open after the timed set", "lat.conns", 0, "max"),
    ("**Sustained misses** (new names, dnsperf, many outstanding)", None, 0, None),
    ("answered NOERROR per second", "tput.noerror_qps", 0, "median"),
    ("lost % (no answer within the time-out)", "tput.lost_pct", 2, "max"),
    ("average latency (ms)", "tput.lat_avg_ms", 2, "median"),
    ("run time (s)", "tput.runtime_s", 1, "min"),
    ("server CPU use (% of its core)", "tput.server_cpu_pct", 0, "median"),
    ("server CPU per answer (µs)", "tput.server_cpu_us", 1, "median"),
    ("DoH front end CPU use (% of its core)", "tput.frontend_cpu_pct", 0, "median"),
    ("nsd CPU use (% of its core)", "tput.nsd_cpu_pct", 0, "median"),
    ("connections to port 443 open after the run", "tput.conns", 0, "max"),
    ("**The DoH front end in this server's run**", None, 0, None),
    ("HTTP connections accepted", "front_conns", 0, "max"),
    ("queries over HTTP/1.1", "http1", 0, "max"),
    ("queries over HTTP/2", "http2", 0, "median"),
]


def ratio_line(res, what, key, ours, other, limit=None, at_least=False):
    """"what": ours/other of KEY per repetition, its median against LIMIT."""
    found = benchtool.ratios(res, key, ours, other)
    if not found:
        return "- %s: no ratio, %s or %s was not measured in this run." % (
            what, LABELS.get(ours, ours), LABELS.get(other, other))
    med = statistics.median(found)
    verdict = ""
    if limit is not None:
        met = med >= limit if at_least else med <= limit
        verdict = " — %s" % ("met" if met else "**not met**")
    return "- %s: %.2f (per repetition: %s)%s" % (what, med, ", ".join("%.2f" % r for r in found), verdict)


def targets(res):
    ours = "quillforthd-doh"
    if ours not in res.servers:
        return ["- quillforthd over DoH was not measured in this run (%s)." % res.reps("-", "note").get(0, "skipped")]
    peer = "dnsdist" if "dnsdist" in res.servers else "dnsdist-udp"
    name = LABELS[peer]
    return [
        ratio_line(res, "Median latency of new names over a warm connection ≤ 1.5 × plain UDP's: ratio "
                   "quillforthd over DoH / quillforthd over UDP", "lat.all.median_ms", ours, "quillforthd-udp",
                   1.5),
        ratio_line(res, "Sustained misses per second ≥ dnsdist's: ratio quillforthd over DoH / " + name,
                   "tput.noerror_qps", ours, peer, 1.0, True),
        "",
        "Beside the targets, from the same run:",
        "",
        ratio_line(res, "median latency, quillforthd over DoH / " + name, "lat.all.median_ms", ours, peer),
        ratio_line(res, "median latency, quillforthd over DoH / quillforthd over UDP to the front end (the same "
                   "server, one hop, in clear)", "lat.all.median_ms", ours, "quillforthd-clear"),
        ratio_line(res, "99th percentile latency, quillforthd over DoH / quillforthd over UDP", "lat.all.p99_ms",
                   ours, "quillforthd-udp"),
        ratio_line(res, "99th percentile latency, quillforthd over DoH / " + name, "lat.all.p99_ms", ours, peer),
        ratio_line(res, "sustained misses per second, quillforthd over DoH / quillforthd over UDP",
                   "tput.noerror_qps", ours, "quillforthd-udp"),
        ratio_line(res, "server CPU per answer under load, quillforthd over DoH / " + name,
                   "tput.server_cpu_us", ours, peer),
        ratio_line(res, "median latency without a forwarder, the DoH front end asked directly / nsd asked "
                   "directly (the floors)", "lat.all.median_ms", "front-direct", "nsd-direct"),
        ratio_line(res, "median latency without a forwarder, the DoH front end asked directly over DoH / in clear "
                   "(the floors of the same server)", "lat.all.median_ms", "front-direct", "front-clear-direct"),
    ]


def per_rep_table(res):
    lines = ["| Server | Repetition | order | answered % | median / p99 / max (ms) | misses/s | lost % "
             "| server CPU % / µs per answer | front end CPU % | conns 443 (timed / load) | HTTP/1 / HTTP/2 |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in res.servers:
        for rep in sorted(res.reps(s, "order")):
            def get(key, digits):
                value = res.reps(s, key).get(rep)
                try:
                    return failover_tool.fmt_ms(float(value), digits)
                except (TypeError, ValueError):
                    return "–"
            lines.append("| %s | %d | %s | %s | %s / %s / %s | %s | %s | %s / %s | %s | %s / %s | %s / %s |" % (
                LABELS.get(s, s), rep, get("order", 0), get("lat.all.answered_pct", 2),
                get("lat.all.median_ms", 3), get("lat.all.p99_ms", 3), get("lat.all.max_ms", 1),
                get("tput.noerror_qps", 0), get("tput.lost_pct", 2), get("tput.server_cpu_pct", 0),
                get("tput.server_cpu_us", 1), get("tput.frontend_cpu_pct", 0), get("lat.conns", 0),
                get("tput.conns", 0), get("http1", 0), get("http2", 0)))
    return lines


def cmd_report(results_path, meta_path):
    meta, res, notes = benchtool.read_run(results_path, meta_path)
    out = ["# DNS-over-HTTPS benchmark: new names over DoH, over plain UDP and through dnsdist", ""]
    out += benchtool.meta_lines(meta, [("Upstream", "upstream")])
    out += ["", "Median over the repetitions, [min–max] when they differ; \"min\" and \"max\" rows give the "
            "smallest or largest value of any repetition. Latency percentiles are nearest-rank over every "
            "timed query, a query with no right answer within the client's time-out counting as infinitely "
            "slow (\"lost\")."]
    out += [""] + failover_tool.main_table(res, ROWS, LABELS)
    out += ["", "## Targets (quillforthd over DoH), ratios of the same repetition, median over the repetitions",
            ""] + targets(res)
    out += ["", "## Per repetition", ""] + per_rep_table(res)
    out += benchtool.report_end(notes, meta, "quillforthd over DoH: output at exit (last run)")
    print("\n".join(out))


COMMANDS = {"gen": cmd_gen, "dnsperf": cmd_dnsperf, "frontend": cmd_frontend,
            "curlconfig": cmd_curlconfig, "curlstats": cmd_curlstats, "report": cmd_report}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
