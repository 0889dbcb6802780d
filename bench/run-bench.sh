#!/usr/bin/env bash
# Benchmark of quillforthd against dnsmasq and unbound as caching DNS forwarders, and against
# the floor: a responder that answers the benchmark's names by arithmetic, without a cache.
#
# Usage (as root): bench/run-bench.sh [--quick] [--reps N] [--servers LIST] [--out FILE] [--keep]
#                  bench/run-bench.sh --cleanup
#
# Everything runs in two network namespaces made here and joined only to each other by a veth
# pair (198.18.0.0/30): qfb-srv holds the server under test on 127.0.0.1:53 and the dnsperf
# client, qfb-up holds nsd, authoritative for 10,000 names host00000.bench.test … host09999.
# Neither namespace has a route out. SERVERS: dnsmasq, unbound, quillforthd, floor (all by
# default). See bench/README.md for what is measured.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$BENCH_DIR/bench_lib.sh"
TOOL="$BENCH_DIR/benchtool.py"

SRV_NS=qfb-srv
UP_NS=qfb-up
SRV_IF=qfb-s0
UP_IF=qfb-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2
NET_PREFIX=30
NAMES=10000
FLOOD_NAMES=200000

# Measurement parameters (full run; --quick shortens them).
REPS=3
HIT_SECS=10        # maximum cache-hit throughput run
FIXED_SECS=10      # fixed-rate latency run
FIXED_QPS=2000
CPU_SECS=10        # fixed-rate run that measures the server's CPU time per answer
CPU_QPS=${QFB_CPU_QPS:-50000}
CPU_OUTSTANDING=500
COLD_QPS=2000      # rate of the cold pass (each name once)
WARM_QPS=5000      # rate of the second pass that checks the cache is warm
FLOOD_SECS=10
SETTLE_SECS=4      # wait after the flood before the second hit check (upstream wait is 3 s)
HIT_CLIENTS=${QFB_HIT_CLIENTS:-4}
HIT_OUTSTANDING=${QFB_HIT_OUTSTANDING:-100}
FLOOD_CLIENTS=${QFB_FLOOD_CLIENTS:-16}
FLOOD_OUTSTANDING=${QFB_FLOOD_OUTSTANDING:-60000}
THREAD_LIMIT=${QFB_THREAD_LIMIT:-520} # the 512-worker cap plus a few service threads
SERVER_CPU=${QFB_SERVER_CPU:-0}
LOAD_CPU=${QFB_LOAD_CPU:-1}
ALL_SERVERS="dnsmasq unbound quillforthd floor"
OUT_FILE="$BENCH_DIR/results-latest.md"
COMMAND_LINE="bench/run-bench.sh${*:+ $*}"
SAMPLER_PID=""

check_args() {
	if ((QUICK)); then
		[[ $COMMAND_LINE == *--reps* ]] || REPS=1
		HIT_SECS=3 FIXED_SECS=3 CPU_SECS=3 FLOOD_SECS=4 WARM_QPS=10000
	fi
	positive --reps "$REPS" 20
}

# ------------------------------------------------------------------ processes

# Drop every DNS query that reaches the upstream: it stays silent, no ICMP error comes back.
silence_upstream() {
	in_up nft -f - <<EOF
table inet qfbsilent {
    chain input {
        type filter hook input priority 0; policy accept;
        udp dport 53 drop
        tcp dport 53 drop
    }
}
EOF
}

unsilence_upstream() { in_up nft delete table inet qfbsilent 2>/dev/null || true; }

write_unbound_conf() { # FILE REP
	cat >"$1" <<EOF
server:
    interface: 127.0.0.1
    port: 53
    do-ip6: no
    num-threads: 1
    username: ""
    chroot: ""
    directory: "$WORK"
    pidfile: "$WORK/unbound.pid"
    use-syslog: no
    logfile: "$WORK/unbound-r$2.log"
    verbosity: 0
    module-config: "iterator"
    msg-cache-size: 64m
    rrset-cache-size: 128m
    access-control: 127.0.0.0/8 allow
    local-zone: "test." nodefault
    do-not-query-localhost: no
    outgoing-interface: $SRV_ADDR
    prefetch: no
forward-zone:
    name: "."
    forward-addr: $UP_ADDR@53
    forward-first: no
remote-control:
    control-enable: no
EOF
}

start_server() { # NAME REP: sets SERVER_PID
	local name=$1 rep=$2 out="$WORK/$1-r$2.out"
	case $name in
	dnsmasq)
		spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsmasq --keep-in-foreground --conf-file=/dev/null \
			--no-resolv --no-poll --no-hosts --server="$UP_ADDR#53" --listen-address=127.0.0.1 \
			--bind-interfaces --port=53 --cache-size=20000 --user=root --group=root --pid-file= \
			--log-facility="$WORK/dnsmasq-r$rep.log"
		;;
	unbound)
		write_unbound_conf "$WORK/unbound.conf" "$rep"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" unbound -d -c "$WORK/unbound.conf"
		;;
	quillforthd)
		rm -f "$WORK/quillforthd-r$rep.csv"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" "$QUILLFORTHD" \
			--listen 53 --upstream "$UP_ADDR:53" --cache "$WORK/quillforthd-r$rep.csv"
		;;
	floor) spawn "$SRV_NS" "$SERVER_CPU" "$out" "$WORK/floor_responder" 127.0.0.1 53 ;;
	esac
	SERVER_PID=$SPAWNED_PID
	wait_until 20 udp53_bound || die "$name does not listen on 127.0.0.1:53 (see $out)"
	proc_alive "$SERVER_PID" || die "$name exited at start (see $out)"
}

start_sampler() { # OUTFILE: peak threads / RSS of the server until stop_sampler
	taskset -c "$LOAD_CPU" "$PY" "$TOOL" sample "$SERVER_PID" "$1" 900 &
	SAMPLER_PID=$!
	started "$SAMPLER_PID"
}

stop_sampler() {
	kill -TERM "$SAMPLER_PID" 2>/dev/null || true
	wait "$SAMPLER_PID" || true
}

# ------------------------------------------------------------------ measurements

vm_rss_kib() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }

# run_dnsperf TAG NAME REP SECONDS_BOUND DNSPERF_ARGS...: runs dnsperf in qfb-srv on the load CPU
# and records its statistics as TAG.key. In the background so that a signal to this script ends
# the run at once (the cleanup kills what runs in the namespaces).
run_dnsperf() {
	local tag=$1 name=$2 rep=$3 bound=$4 log="$WORK/$2-r$3-$1.dnsperf"
	shift 4
	timeout -k 5 "$bound" ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		dnsperf -s 127.0.0.1 -p 53 -O suppress=timeouts,congestion,sendfailed,sockready,unexpected \
		"$@" >"$log" 2>&1 &
	wait $! || true
	local key value
	while IFS=$'\t' read -r key value; do
		record "$name" "$rep" "$tag.$key" "$value"
	done < <("$PY" "$TOOL" dnsperf "$log" || true)
}

spot_check() { # NAME REP: three cached names answer their own address
	local name=$1 rep=$2 i got ok=1
	for i in 0 4242 9999; do
		got=$(in_srv dig +short +time=2 +tries=1 @127.0.0.1 "$(printf 'host%05d.bench.test' "$i")" A || true)
		[[ $got == "198.19.$((i / 256)).$((i % 256))" ]] || {
			ok=0
			log "$name: host$i answered '${got//$'\n'/ }'"
		}
	done
	record "$name" "$rep" spot_ok "$ok"
}

phase() { log "$1 r$2: $3"; }

# timed_dnsperf TAG NAME REP SECONDS_BOUND DNSPERF_ARGS...: run_dnsperf, and the server's CPU time
# over the run (utime + stime of all its threads) as TAG.server_cpu_pct of its core and as
# TAG.server_cpu_us, microseconds per answer dnsperf received.
timed_dnsperf() {
	local tag=$1 name=$2 rep=$3 ticks0 t0 ticks1 t1 answers
	ticks0=$(cpu_ticks "$SERVER_PID") t0=$(date +%s.%N)
	run_dnsperf "$@"
	ticks1=$(cpu_ticks "$SERVER_PID") t1=$(date +%s.%N)
	answers=$(recorded "$name" "$rep" "$tag.completed")
	record "$name" "$rep" "$tag.server_cpu_pct" \
		"$(awk -v a="$ticks0" -v b="$ticks1" -v s="$t0" -v e="$t1" -v hz="$(getconf CLK_TCK)" \
			'BEGIN{printf "%.1f", 100 * (b - a) / hz / (e - s)}')"
	if ((${answers:-0} > 0)); then
		record "$name" "$rep" "$tag.server_cpu_us" \
			"$(awk -v a="$ticks0" -v b="$ticks1" -v n="$answers" -v hz="$(getconf CLK_TCK)" \
				'BEGIN{printf "%.3f", 1e6 * (b - a) / hz / n}')"
	fi
}

# The cold pass fills the cache, the second pass shows that it is warm. Not for the floor, which
# has no cache.
fill_cache() { # NAME REP
	local name=$1 rep=$2 n=$WORK/names.txt
	phase "$name" "$rep" "cold pass, $NAMES names once at $COLD_QPS q/s"
	run_dnsperf cold "$name" "$rep" 120 -d "$n" -n 1 -l 60 -Q "$COLD_QPS" -c 4 -q 200 -t 3
	phase "$name" "$rep" "second pass (should all be cache hits)"
	run_dnsperf warm "$name" "$rep" 60 -d "$n" -n 1 -l 30 -Q "$WARM_QPS" -c 4 -q 200 -t 3
	record "$name" "$rep" rss_warm_kib "$(vm_rss_kib "$SERVER_PID")"
}

measure_cache_hits() { # NAME REP
	local name=$1 rep=$2 n=$WORK/names.txt
	spot_check "$name" "$rep"
	phase "$name" "$rep" "server CPU per cache hit at $CPU_QPS q/s, $CPU_SECS s"
	timed_dnsperf cpu "$name" "$rep" $((CPU_SECS + 30)) -d "$n" -l "$CPU_SECS" -Q "$CPU_QPS" \
		-c 4 -q "$CPU_OUTSTANDING" -t 2
	phase "$name" "$rep" "maximum cache-hit throughput, $HIT_SECS s"
	timed_dnsperf max "$name" "$rep" $((HIT_SECS + 30)) -d "$n" -l "$HIT_SECS" \
		-c "$HIT_CLIENTS" -q "$HIT_OUTSTANDING" -t 2
	phase "$name" "$rep" "cache hits at $FIXED_QPS q/s, $FIXED_SECS s"
	run_dnsperf fixed "$name" "$rep" $((FIXED_SECS + 30)) -d "$n" -l "$FIXED_SECS" \
		-Q "$FIXED_QPS" -c 4 -q 200 -t 2
}

measure_flood() { # NAME REP
	local name=$1 rep=$2 flood_pid during=$((FLOOD_SECS - 2))
	phase "$name" "$rep" "flood: upstream silent, uncached names at maximum rate, $FLOOD_SECS s"
	silence_upstream
	start_sampler "$WORK/$name-r$rep-flood.json"
	run_dnsperf flood "$name" "$rep" $((FLOOD_SECS + 30)) -d "$WORK/flood.txt" -l "$FLOOD_SECS" \
		-c "$FLOOD_CLIENTS" -q "$FLOOD_OUTSTANDING" -t 1 &
	flood_pid=$!
	started "$flood_pid"
	sleep 1
	run_dnsperf during "$name" "$rep" $((during + 30)) -d "$WORK/names.txt" -l "$during" -Q 200 -c 1 -t 1
	wait "$flood_pid" || true
	phase "$name" "$rep" "cache hits right after the flood, and $SETTLE_SECS s later"
	run_dnsperf after "$name" "$rep" 40 -d "$WORK/names-1000.txt" -n 1 -l 10 -Q 1000 -c 1 -t 2
	sleep "$SETTLE_SECS"
	run_dnsperf settled "$name" "$rep" 40 -d "$WORK/names-1000.txt" -n 1 -l 10 -Q 1000 -c 1 -t 2
	stop_sampler
	unsilence_upstream
	local peak alive
	peak=$("$PY" "$TOOL" get "$WORK/$name-r$rep-flood.json" peak_threads)
	alive=$(proc_alive "$SERVER_PID" && echo 1 || echo 0)
	record "$name" "$rep" threads_flood_peak "$peak"
	record "$name" "$rep" flood_alive "$alive"
	record "$name" "$rep" threads_within_cap "$((peak <= THREAD_LIMIT))"
}

run_server() { # NAME REP: one complete set of measurements on a fresh server
	local name=$1 rep=$2
	log "=== $name, repetition $rep"
	start_server "$name" "$rep"
	sleep 0.5
	record "$name" "$rep" rss_empty_kib "$(vm_rss_kib "$SERVER_PID")"
	start_sampler "$WORK/$name-r$rep-normal.json"
	[[ $name == floor ]] || fill_cache "$name" "$rep"
	measure_cache_hits "$name" "$rep"
	stop_sampler
	record "$name" "$rep" threads_normal_peak \
		"$("$PY" "$TOOL" get "$WORK/$name-r$rep-normal.json" peak_threads)"
	[[ $name == floor ]] || measure_flood "$name" "$rep"
	stop_server "$name" "$rep"
	if [[ $name == quillforthd ]]; then
		local csv="$WORK/quillforthd-r$rep.csv" lines=0
		[[ -f $csv ]] && lines=$(grep -c . "$csv" || true)
		record "$name" "$rep" cache_file_lines "$lines"
	fi
}

# ------------------------------------------------------------------ report

version_of() {
	case $1 in
	dnsmasq) dnsmasq --version | head -1 | awk '{print $3}' ;;
	unbound) unbound -V | awk '/^Version/{print $2}' ;;
	nsd) nsd -v 2>&1 | awk '/version/{print $3; exit}' ;;
	dnsperf) dnsperf -h 2>&1 | awk '/^Version/{print $2}' ;;
	g++) g++ -dumpfullversion ;;
	esac
}

meta_lines() { # REV
	printf 'versions\tdnsmasq %s, unbound %s, nsd %s (upstream), dnsperf %s, quillforthd and ' \
		"$(version_of dnsmasq)" "$(version_of unbound)" "$(version_of nsd)" "$(version_of dnsperf)"
	printf 'bench/floor_responder.cpp (g++ %s -O2) at commit %s\n' "$(version_of g++)" "$1"
	printf 'pinning\tserver on CPU %s; dnsperf, nsd and the sampler on CPU %s (taskset)\n' \
		"$SERVER_CPU" "$LOAD_CPU"
	printf 'params\t%s names (TTL 86400); %s repetition(s), servers alternating; cold pass at %s q/s; ' \
		"$NAMES" "$REPS" "$COLD_QPS"
	printf 'server CPU at %s q/s for %s s (-c 4 -q %s); ' "$CPU_QPS" "$CPU_SECS" "$CPU_OUTSTANDING"
	printf 'hit throughput %s s (dnsperf -c %s -q %s); fixed rate %s q/s for %s s; ' \
		"$HIT_SECS" "$HIT_CLIENTS" "$HIT_OUTSTANDING" "$FIXED_QPS" "$FIXED_SECS"
	printf 'flood %s s (-c %s -q %s -t 1, %s distinct names) with cache hits at 200 q/s beside it\n' \
		"$FLOOD_SECS" "$FLOOD_CLIENTS" "$FLOOD_OUTSTANDING" "$FLOOD_NAMES"
	printf 'cpu_qps\t%s\n' "$CPU_QPS"
	printf 'thread_limit\t%s\n' "$THREAD_LIMIT"
}

# ------------------------------------------------------------------ main

select_servers() { # drops quillforthd with a note when it is not built
	local s kept=""
	for s in $SERVERS; do
		case $s in
		dnsmasq | unbound | floor) kept+=" $s" ;;
		quillforthd) if have_quillforthd "$s"; then kept+=" $s"; fi ;;
		*) die "unknown server '$s' (dnsmasq, unbound, quillforthd, floor)" ;;
		esac
	done
	SERVERS=${kept# }
	[[ -n $SERVERS ]] || die "no server to measure"
}

build_floor() { # into the work directory, not part of the product's build
	[[ " $SERVERS " == *" floor "* ]] || return 0
	g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/floor_responder" \
		"$BENCH_DIR/floor_responder.cpp" || die "the floor responder does not build"
}

main() {
	parse_args "$@"
	check_host "namespaces, port 53" "load"
	ensure_packages dnsperf=dnsperf dnsmasq=dnsmasq-base unbound=unbound nsd=nsd nft=nftables \
		dig=bind9-dnsutils taskset=util-linux ip=iproute2 ss=iproute2 flock=util-linux \
		timeout=coreutils g++=g++
	begin_run qfb
	"$PY" "$TOOL" gen "$WORK" "$NAMES" "$FLOOD_NAMES"
	select_servers
	build_floor
	log "servers: $SERVERS; $REPS repetition(s); work dir $WORK"
	create_namespaces
	start_nsd_upstream
	run_all
}

main "$@"
