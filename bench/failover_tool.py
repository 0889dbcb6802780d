#!/usr/bin/env python3
"""Helpers for failover_bench.sh (standard library only; the table code comes from benchtool.py).

  failover_tool.py gen DIR SETS COUNT UPSTREAM       zone file and one names file per set
  failover_tool.py silent ADDR PORT LOG SECONDS      a server that takes queries and never answers
  failover_tool.py client TARGETS NAMES RATE SECONDS TIMEOUT OUTPREFIX
                                                     paced queries, one per name, to one or more
                                                     ADDR:PORT turn by turn; prints key/value
  failover_tool.py silentcount LOG START END [K J]   queries the silent server got in a window
                                                     (of target J's names only, of K together)
  failover_tool.py report RESULTS META               markdown results table
"""

import math
import os
import re
import select
import signal
import socket
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchtool  # noqa: E402  (its Results class, number formatting and report frame)

ZONE = "bench.test"
# Queries sent before this many seconds into a run fall in the "first second", where a server
# finds out that the first upstream is silent.
FIRST_SECOND = 1.0
MAX_QUERIES = 65536  # one query id each
SILENT_LOG_LINES = 200000
SLOW_MS = 100.0  # well above a forward's round trip here, well below the failover delay


def set_name(index):
    return "s%d" % index


def query_name(set_index, i):
    return "q%05d.%s.%s" % (i, set_name(set_index), ZONE)


def address_of(i):
    return "198.19.%d.%d" % (i // 256 % 256, i % 256)


# ---------------------------------------------------------------- gen


def cmd_gen(directory, sets, count, upstream):
    """bench.test with COUNT names in each of SETS sets, so that each run asks names of its own."""
    sets, count = int(sets), int(count)
    with open(os.path.join(directory, ZONE + ".zone"), "w") as zone:
        zone.write("$ORIGIN %s.\n$TTL 86400\n" % ZONE)
        zone.write("@ IN SOA ns.%s. admin.%s. 1 3600 600 86400 86400\n" % (ZONE, ZONE))
        zone.write("@ IN NS ns.%s.\n" % ZONE)
        zone.write("ns IN A %s\n" % upstream)
        for s in range(1, sets + 1):
            for i in range(count):
                zone.write("q%05d.%s IN A %s\n" % (i, set_name(s), address_of(i)))
    for s in range(1, sets + 1):
        with open(os.path.join(directory, "names-%s.txt" % set_name(s)), "w") as out:
            out.writelines("%s\n" % query_name(s, i) for i in range(count))


# ---------------------------------------------------------------- wire format


def build_query(query_id, name):
    header = struct.pack("!HHHHHH", query_id, 0x0100, 1, 0, 0, 0)  # RD, one question
    labels = b"".join(bytes([len(part)]) + part.encode() for part in name.split("."))
    return header + labels + b"\0" + struct.pack("!HH", 1, 1)  # A, IN


def read_name(data, pos):
    """(name in lower case, position after it); follows compression pointers."""
    labels, end, jumps = [], None, 0
    while True:
        if pos >= len(data):
            raise ValueError("name runs past the message")
        length = data[pos]
        if length & 0xC0 == 0xC0:
            if end is None:
                end = pos + 2
            jumps += 1
            if jumps > 32 or pos + 1 >= len(data):
                raise ValueError("bad compression pointer")
            pos = ((length & 0x3F) << 8) | data[pos + 1]
            continue
        pos += 1
        if length == 0:
            break
        labels.append(data[pos:pos + length].decode("ascii", "replace").lower())
        pos += length
    return ".".join(labels), end if end is not None else pos


def parse_reply(data):
    """(id, rcode, question name, A addresses of that name), or None when unreadable."""
    try:
        query_id, flags, qdcount, ancount = struct.unpack("!HHHH", data[:8])
        if not flags & 0x8000 or qdcount != 1:
            return None
        qname, pos = read_name(data, 12)
        pos += 4
        addresses = []
        for _ in range(ancount):
            owner, pos = read_name(data, pos)
            rtype, _rclass, _ttl, length = struct.unpack("!HHIH", data[pos:pos + 10])
            pos += 10
            if rtype == 1 and length == 4 and owner == qname:
                addresses.append(socket.inet_ntoa(data[pos:pos + 4]))
            pos += length
        return query_id, flags & 0xF, qname, addresses
    except (ValueError, struct.error):
        return None


# ---------------------------------------------------------------- silent


def cmd_silent(addr, port, log, seconds):
    """Takes UDP queries on ADDR:PORT and never answers (no ICMP error either, since a socket is
    bound); logs each one (time, source, name) for the counts. TCP: a listener that never
    accepts, so a connection gets no reply, and once its backlog is full not even a handshake.
    Ends on SIGTERM or after SECONDS."""
    port, seconds = int(port), float(seconds)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((addr, port))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((addr, port))
    tcp.listen(1)
    deadline = time.monotonic() + seconds
    lines = 0
    with open(log, "w") as out:
        while not stop and time.monotonic() < deadline:
            try:
                ready, _, _ = select.select([udp], [], [], 0.5)
            except InterruptedError:
                continue
            if not ready:
                continue
            data, source = udp.recvfrom(65535)
            if lines < SILENT_LOG_LINES:
                try:
                    name = read_name(data, 12)[0] if len(data) > 12 else "?"
                except ValueError:
                    name = "?"
                out.write("%.6f\t%s:%d\t%s\n" % (time.time(), source[0], source[1], name))
                out.flush()
                lines += 1


def cmd_silentcount(log, start, end, k=None, j=None):
    """Queries the silent server got from START to END (epoch seconds): bench names in the
    first second and after it, and other names (probes). With K and J, only the bench names that
    went to target J of K asked together (target_of); probes are then nobody's."""
    start, end = float(start), float(end)
    first = after = other = 0
    with open(log) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 3:
                continue
            when, name = float(parts[0]), parts[2]
            if not start <= when <= end:
                continue
            bench = re.match(r"q(\d{5})\.", name.lower())
            if not name.lower().endswith("." + ZONE) or not bench:
                other += 1
            elif k is not None and target_of(int(bench.group(1)), int(k)) != int(j):
                continue
            elif when < start + FIRST_SECOND:
                first += 1
            else:
                after += 1
    counts = [("silent_first", first), ("silent_after", after)]
    if k is None:
        counts.append(("silent_other", other))
    for key, value in counts:
        print("%s\t%d" % (key, value))


# ---------------------------------------------------------------- client


def percentile(values, p):
    """Nearest rank: the smallest value with at least p % of the values at or below it."""
    if not values:
        return None
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100.0 * len(ordered)) - 1)]


def window_figures(prefix, rows):
    """Figures of the queries in ROWS (send offset, latency in ms or inf, outcome)."""
    out = {prefix + ".sent": len(rows)}
    if not rows:
        return out
    latencies = [row[1] for row in rows]
    out[prefix + ".answered_pct"] = 100.0 * sum(1 for row in rows if row[2] == "ok") / len(rows)
    out[prefix + ".wrong_pct"] = 100.0 * sum(1 for row in rows if row[2] not in ("ok", "lost")) / len(rows)
    out[prefix + ".lost_pct"] = 100.0 * sum(1 for row in rows if row[2] == "lost") / len(rows)
    out[prefix + ".median_ms"] = percentile(latencies, 50)
    out[prefix + ".p99_ms"] = percentile(latencies, 99)
    out[prefix + ".max_ms"] = max(latencies)
    out[prefix + ".slow"] = sum(1 for latency in latencies if latency > SLOW_MS)
    return out


def target_of(i, k):
    """The target of K asked together that name i goes to: turn by turn, the order rotating by one
    each round, so that every target is asked first, second... equally often."""
    return (i + i // k) % k


def paced_queries(targets, names, rate, seconds, timeout):
    """Sends one A query per name at RATE a second per target for SECONDS, from one socket per
    target, each name once: name i goes to target_of(i, K), so that K targets asked together are
    asked turn by turn, each at RATE. Waits up to TIMEOUT seconds for each answer; no retries.
    Gives the send offsets (s), the latencies (s, None when lost), the outcomes and the figures
    of the run as a whole. An answer is "ok" when it is NOERROR with the name's own address; a
    query with no reply within TIMEOUT is "lost"."""
    k = len(targets)
    count = min(len(names), int(rate * seconds) * k, MAX_QUERIES)
    socks = []
    for addr, port in targets:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        sock.connect((addr, port))
        sock.setblocking(False)
        socks.append(sock)
    sent_at = [0.0] * count
    answered_at = [None] * count
    outcome = ["lost"] * count
    expected = [(name.lower(), address_of(int(name[1:6]))) for name in names[:count]]
    start = time.monotonic() + 0.01
    wall_start = time.time() + 0.01
    hard_stop = start + seconds + timeout + 5  # bound, whatever happens
    interval = 1.0 / (rate * k)
    worst_lag = 0.0
    sent = waiting = 0

    def receive(sock, j):
        nonlocal waiting
        while True:
            try:
                data = sock.recv(65535)
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionRefusedError:
                continue  # an ICMP error for an earlier query; that query stays unanswered
            now = time.monotonic()
            reply = parse_reply(data)
            if reply is None:
                continue
            i = reply[0]
            if i >= sent or target_of(i, k) != j or answered_at[i] is not None or reply[2] != expected[i][0]:
                continue
            if now - sent_at[i] > timeout:
                continue  # too late: stays lost
            answered_at[i] = now
            waiting -= 1
            rcode, addresses = reply[1], reply[3]
            if rcode == 0 and addresses == [expected[i][1]]:
                outcome[i] = "ok"
            elif rcode == 0:
                outcome[i] = "wrong-address"
            else:
                outcome[i] = "rcode-%d" % rcode

    while True:
        now = time.monotonic()
        if now >= hard_stop:
            break
        while sent < count and now >= start + sent * interval:
            worst_lag = max(worst_lag, now - (start + sent * interval))
            sent_at[sent] = time.monotonic()
            try:
                socks[target_of(sent, k)].send(build_query(sent, names[sent]))
            except OSError:
                pass  # stays lost
            sent += 1
            waiting += 1
            now = time.monotonic()
        if sent == count:
            if waiting == 0:
                break
            # every query still waiting has had its time: the last one sent was the youngest
            wait_until = sent_at[count - 1] + timeout if count else now
            if now >= wait_until:
                break
        else:
            wait_until = start + sent * interval
        try:
            ready, _, _ = select.select(socks, [], [], max(0.0, wait_until - now))
        except InterruptedError:
            continue
        for sock in ready:
            receive(sock, socks.index(sock))
    run_time = (sent_at[count - 1] - start) if count else 0.0
    offsets = [at - start for at in sent_at]
    latencies = [None if answered_at[i] is None else answered_at[i] - sent_at[i] for i in range(count)]
    run = {"wall_start": "%.6f" % wall_start, "worst_send_lag_ms": worst_lag * 1000.0,
           "send_qps": count / k / run_time if run_time > 0 else 0.0}
    return offsets, latencies, outcome, run


def target_figures(offsets, latencies, outcome, indexes, out_path):
    """Writes one line per query of INDEXES to OUT (send offset in s, latency in ms or "-",
    outcome) and gives their figures; in the percentiles a query without a right answer counts
    as infinitely slow."""
    rows = []
    with open(out_path, "w") as out:
        out.write("# offset_s\tlatency_ms\toutcome\n")
        for i in indexes:
            took = None if latencies[i] is None else latencies[i] * 1000.0
            out.write("%.6f\t%s\t%s\n" % (offsets[i], "-" if took is None else "%.3f" % took, outcome[i]))
            # only a right answer ends the wait: an error reply or a wrong one counts as lost time
            rows.append((offsets[i], took if outcome[i] == "ok" else math.inf, outcome[i]))
    figures = {"queries": len(rows)}
    figures.update(window_figures("all", rows))
    figures.update(window_figures("first", [row for row in rows if row[0] < FIRST_SECOND]))
    figures.update(window_figures("after", [row for row in rows if row[0] >= FIRST_SECOND]))
    return figures


def print_figures(figures, prefix=""):
    for key, value in figures.items():
        if isinstance(value, float):
            value = "inf" if math.isinf(value) else "%.6g" % value
        print("%s%s\t%s" % (prefix, key, value))


def cmd_client(targets, names_file, rate, seconds, timeout, out_prefix):
    """TARGETS: ADDR:PORT[,ADDR:PORT...], asked turn by turn (paced_queries). Writes the queries
    to OUT_PREFIX.tsv, those of target J to OUT_PREFIX-J.tsv when there are several, and prints the figures as key/value lines, each key after
    "J<TAB>" when there are several targets."""
    rate, seconds, timeout = float(rate), float(seconds), float(timeout)
    targets = [(t.rsplit(":", 1)[0], int(t.rsplit(":", 1)[1])) for t in targets.split(",")]
    with open(names_file) as f:
        names = [line.strip() for line in f if line.strip()]
    offsets, latencies, outcome, run = paced_queries(targets, names, rate, seconds, timeout)
    k = len(targets)
    for j in range(k):
        figures = dict(run)
        mine = [i for i in range(len(outcome)) if target_of(i, k) == j]
        figures.update(target_figures(offsets, latencies, outcome, mine,
                                      "%s-%d.tsv" % (out_prefix, j) if k > 1 else out_prefix + ".tsv"))
        print_figures(figures, "%d\t" % j if k > 1 else "")


# ---------------------------------------------------------------- report

LABELS = {"quillforthd": "quillforthd", "dnsmasq": "dnsmasq (default)",
          "dnsmasq-all": "dnsmasq --all-servers", "unbound": "unbound",
          "direct": "nsd asked directly (reference)"}
PEERS = ("dnsmasq", "dnsmasq-all", "unbound")


def fmt_ms(value, digits=3):
    return "lost" if math.isinf(value) else benchtool.fmt(value, digits)


def summary(values, digits, how="median"):
    """median [min–max] over the repetitions; an infinite latency (a lost query) reads "lost"."""
    if not values:
        return "–"
    if how == "min":
        return fmt_ms(min(values), digits)
    if how == "max":
        return fmt_ms(max(values), digits)
    text = fmt_ms(statistics.median(values), digits)
    low, high = fmt_ms(min(values), digits), fmt_ms(max(values), digits)
    if len(values) > 1 and low != high:
        text += " [%s–%s]" % (low, high)
    return text


ROWS = [
    ("**After the first second** (queries sent from 1 s on)", None, 0, None),
    ("answered with the right address, % of sent", "after.answered_pct", 2, "min"),
    ("median latency (ms)", "after.median_ms", 3, "median"),
    ("99th percentile latency (ms)", "after.p99_ms", 3, "median"),
    ("maximum latency (ms)", "after.max_ms", 1, "median"),
    ("queries slower than 100 ms or without a right answer", "after.slow", 0, "max"),
    ("**Whole run**", None, 0, None),
    ("answered with the right address, % of sent", "all.answered_pct", 2, "min"),
    ("other replies (error codes, wrong address), % of sent", "all.wrong_pct", 2, "max"),
    ("median latency (ms)", "all.median_ms", 3, "median"),
    ("99th percentile latency (ms)", "all.p99_ms", 1, "median"),
    ("**First second** (the silent server is found out)", None, 0, None),
    ("answered with the right address, % of sent", "first.answered_pct", 2, "min"),
    ("median latency (ms)", "first.median_ms", 1, "median"),
    ("maximum latency (ms)", "first.max_ms", 1, "median"),
    ("queries slower than 100 ms or without a right answer", "first.slow", 0, "max"),
    ("**Queries that reached the silent server**", None, 0, None),
    ("bench names sent in the first second", "silent_first", 0, "median"),
    ("bench names sent after the first second", "silent_after", 0, "median"),
    ("other names (probes)", "silent_other", 0, "median"),
    ("**Client**", None, 0, None),
    ("queries sent", "queries", 0, "min"),
    ("send rate achieved (queries/s)", "send_qps", 1, "median"),
    ("worst send lag behind the schedule (ms)", "worst_send_lag_ms", 1, "max"),
]


def main_table(res, rows=ROWS, labels=LABELS):
    """ROWS of (label, key, digits, how) as a table of the servers' summaries, and the exit check."""
    servers = res.servers
    lines = ["| Measurement | " + " | ".join(labels.get(s, s) for s in servers) + " |",
             "|---|" + "---:|" * len(servers)]
    for label, key, digits, how in rows:
        if key is None:
            lines.append("| %s |" % label + " |" * len(servers))
            continue
        cells = [summary(res.numbers(s, key), digits, how) for s in servers]
        lines.append("| %s | %s |" % (label, " | ".join(cells)))
    cells = [benchtool.yes_no(list(res.reps(s, "exit_ok").values()), "1") for s in servers]
    lines.append("| exit status 0 on SIGTERM | %s |" % " | ".join(cells))
    return lines


def best_peer(res, key, rep, highest=False):
    """(peer, value) of the best peer in repetition REP, or None."""
    found = []
    for peer in PEERS:
        value = res.reps(peer, key).get(rep)
        if value is not None:
            found.append((float(value), peer))
    if not found:
        return None
    value, peer = max(found) if highest else min(found)
    return peer, value


def targets(res, tolerance):
    ours = "quillforthd"
    if ours not in res.servers:
        return ["- quillforthd was not measured in this run (%s)." % res.reps("-", "note").get(0, "skipped")]
    lines = []
    for what, key in (("median latency", "after.median_ms"), ("99th percentile latency", "after.p99_ms")):
        per_rep = []
        for rep, value in sorted(res.reps(ours, key).items()):
            best = best_peer(res, key, rep)
            if best is None:
                continue
            ratio = float(value) / best[1] if best[1] > 0 else math.inf
            per_rep.append((rep, ratio, best[0], float(value), best[1]))
        if not per_rep:
            lines.append("- After the first second, %s ≤ the best peer's: no peer measured." % what)
            continue
        ratios = [r[1] for r in per_rep]
        med = statistics.median(ratios)
        lines.append("- After the first second, %s ≤ the best peer's: ratio quillforthd/best %s "
                     "(per repetition: %s) — %s" % (
                         what, "%.2f" % med if not math.isinf(med) else "∞",
                         ", ".join("r%d %s/%s = %s ms / %s ms" % (
                             rep, "%.2f" % ratio if not math.isinf(ratio) else "∞", LABELS[peer],
                             fmt_ms(ours_value), fmt_ms(peer_value))
                             for rep, ratio, peer, ours_value, peer_value in per_rep),
                         "met" if med <= 1.0 else
                         "met within the noise (≤ %.2f)" % tolerance if med <= tolerance else "**not met**"))
    per_rep = []
    for rep, value in sorted(res.reps(ours, "after.answered_pct").items()):
        best = best_peer(res, "after.answered_pct", rep, highest=True)
        if best is not None:
            per_rep.append((rep, float(value), best[0], best[1]))
    if per_rep:
        met = all(ours_value >= peer_value for _, ours_value, _, peer_value in per_rep)
        lines.append("- After the first second, answered share ≥ the best peer's: %s — %s" % (
            ", ".join("r%d %.2f %% against %.2f %% (%s)" % (rep, ov, pv, LABELS[peer])
                      for rep, ov, peer, pv in per_rep), "met" if met else "**not met**"))
    slow = []
    for server in [ours] + [p for p in PEERS if p in res.servers]:
        counts = res.numbers(server, "after.slow")
        if counts:
            slow.append("%s %s" % (LABELS[server], "/".join("%d" % c for c in counts)))
    if slow:
        lines.append("- For reading the above: queries after the first second slower than 100 ms or without a right "
                     "answer, per repetition: %s." % "; ".join(slow))
    return lines


def per_rep_table(res):
    lines = ["| Server | Repetition | answered % (after 1 s / all) | median after 1 s (ms) "
             "| p99 after 1 s (ms) | max after 1 s (ms) | > 100 ms after 1 s | median / p99 all (ms) | first second median / max (ms) "
             "| to the silent server: first s / after / probes |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in res.servers:
        for rep in sorted(res.reps(s, "queries")):
            def get(key, digits):
                value = res.reps(s, key).get(rep)
                try:
                    return fmt_ms(float(value), digits)
                except (TypeError, ValueError):
                    return "–"
            lines.append("| %s | %d | %s / %s | %s | %s | %s | %s | %s / %s | %s / %s | %s / %s / %s |" % (
                LABELS.get(s, s), rep, get("after.answered_pct", 2), get("all.answered_pct", 2),
                get("after.median_ms", 3), get("after.p99_ms", 3), get("after.max_ms", 1), get("after.slow", 0),
                get("all.median_ms", 3), get("all.p99_ms", 1), get("first.median_ms", 1),
                get("first.max_ms", 1), get("silent_first", 0), get("silent_after", 0),
                get("silent_other", 0)))
    return lines


def cmd_report(results_path, meta_path):
    meta, res, notes = benchtool.read_run(results_path, meta_path)
    tolerance = float(meta.get("tolerance", "1.10"))
    out = ["# Failover benchmark: new names with the first upstream server silent", ""]
    out += benchtool.meta_lines(meta, [("Upstreams", "upstreams")])
    out += ["", "Median over the repetitions, [min–max] when they differ; \"min\" and \"max\" rows give the "
            "smallest or largest value of any repetition. Percentiles are nearest-rank over every query "
            "sent in the window, a query with no right answer within the client's time-out counting as "
            "infinitely slow (\"lost\")."]
    out += [""] + main_table(res)
    out += ["", "## Target (quillforthd): after the first second, no worse than the best peer", ""]
    out += targets(res, tolerance)
    out += ["", "## Per repetition", ""] + per_rep_table(res)
    out += benchtool.report_end(notes, meta)
    print("\n".join(out))


COMMANDS = {"gen": cmd_gen, "silent": cmd_silent, "client": cmd_client, "silentcount": cmd_silentcount,
            "report": cmd_report}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    COMMANDS[sys.argv[1]](*sys.argv[2:])
