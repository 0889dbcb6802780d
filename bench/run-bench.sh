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
REPO_DIR=$(dirname "$BENCH_DIR")
TOOL="$BENCH_DIR/benchtool.py"
PY=/usr/bin/python3
[[ -x $PY ]] || PY=python3

SRV_NS=qfb-srv
UP_NS=qfb-up
SRV_IF=qfb-s0
UP_IF=qfb-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2
NAMES=10000
FLOOD_NAMES=200000
LOCK_FILE=/run/qfb-bench.lock

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
QUILLFORTHD_SET=${QUILLFORTHD:+1}
QUILLFORTHD=${QUILLFORTHD:-$REPO_DIR/build/native/daemon/quillforthd}

ALL_SERVERS="dnsmasq unbound quillforthd floor"
SERVERS=""
OUT_FILE="$BENCH_DIR/results-latest.md"
KEEP=0
QUICK=0
COMMAND_LINE="bench/run-bench.sh${*:+ $*}"

WORK=""
RESULTS=""
STARTED_PIDS=()
SPAWNED_PID=""
SERVER_PID=""
SAMPLER_PID=""
LOAD_START=""
NS_CREATED=0
FAILED=1

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
die() {
	log "error: $*"
	exit 1
}

usage() {
	sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
	exit "${1:-0}"
}

parse_args() {
	while (($#)); do
		case $1 in
		--quick) QUICK=1 ;;
		--reps) REPS=$2 && shift ;;
		--servers) SERVERS=${2//,/ } && shift ;;
		--out) OUT_FILE=$2 && shift ;;
		--keep) KEEP=1 ;;
		--cleanup) cleanup_leftovers && exit 0 ;;
		-h | --help) usage 0 ;;
		*) usage 2 ;;
		esac
		shift
	done
	if ((QUICK)); then
		[[ $COMMAND_LINE == *--reps* ]] || REPS=1
		HIT_SECS=3 FIXED_SECS=3 CPU_SECS=3 FLOOD_SECS=4 WARM_QPS=10000
	fi
	[[ -n $SERVERS ]] || SERVERS=$ALL_SERVERS
	[[ $QUILLFORTHD == /* ]] || QUILLFORTHD="$PWD/$QUILLFORTHD"
}

# ------------------------------------------------------------------ setup

ensure_packages() {
	local -A need=([dnsperf]=dnsperf [dnsmasq]=dnsmasq-base [unbound]=unbound [nsd]=nsd
		[nft]=nftables [dig]=bind9-dnsutils [taskset]=util-linux [ip]=iproute2 [ss]=iproute2
		[flock]=util-linux [timeout]=coreutils [g++]=g++)
	local cmd missing=()
	for cmd in "${!need[@]}"; do
		command -v "$cmd" >/dev/null || PATH="$PATH:/usr/sbin:/sbin" command -v "$cmd" >/dev/null ||
			missing+=("${need[$cmd]}")
	done
	command -v "$PY" >/dev/null || missing+=(python3)
	((${#missing[@]})) || return 0
	log "installing: ${missing[*]}"
	# Keep the packages' services from starting in the host namespace while installing.
	local policy=/usr/sbin/policy-rc.d made_policy=0
	if [[ ! -e $policy ]]; then
		printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && made_policy=1
	fi
	local ok=1 packages
	mapfile -t packages < <(printf '%s\n' "${missing[@]}" | sort -u)
	if ! apt-get update -qq || ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
		--no-install-recommends "${packages[@]}" >&2; then
		ok=0
	fi
	if ((made_policy)); then rm -f "$policy"; fi
	((ok)) || die "package installation failed"
}

check_host() {
	((EUID == 0)) || die "run as root (namespaces, port 53)"
	local cpus
	cpus=$(nproc)
	if ((cpus < 2)); then
		log "only $cpus CPU: server and load share CPU 0"
		SERVER_CPU=0 LOAD_CPU=0
	fi
}

make_workdir() {
	WORK=$(mktemp -d /tmp/qfb-bench.XXXXXX)
	RESULTS="$WORK/results.tsv"
	: >"$RESULTS"
	"$PY" "$TOOL" gen "$WORK" "$NAMES" "$FLOOD_NAMES"
}

in_srv() { ip netns exec "$SRV_NS" "$@"; }
in_up() { ip netns exec "$UP_NS" "$@"; }

# The exact name: other scripts make namespaces whose names begin like these.
netns_exists() { ip netns list | awk '{print $1}' | grep -qxF "$1"; }

create_namespaces() {
	if netns_exists "$SRV_NS" || netns_exists "$UP_NS"; then
		die "namespaces $SRV_NS/$UP_NS exist (another run, or a crashed one: bench/run-bench.sh --cleanup)"
	fi
	NS_CREATED=1
	ip netns add "$SRV_NS"
	ip netns add "$UP_NS"
	ip link add "$SRV_IF" netns "$SRV_NS" type veth peer name "$UP_IF" netns "$UP_NS"
	in_srv ip link set lo up
	in_up ip link set lo up
	in_srv ip addr add "$SRV_ADDR/30" dev "$SRV_IF"
	in_up ip addr add "$UP_ADDR/30" dev "$UP_IF"
	in_srv ip link set "$SRV_IF" up
	in_up ip link set "$UP_IF" up
	# Only the connected /30 and loopback: nothing can leave these namespaces.
	if in_srv ip route show | grep -q default || in_up ip route show | grep -q default; then
		die "a namespace has a default route"
	fi
}

delete_namespaces() {
	local ns pid
	for ns in "$SRV_NS" "$UP_NS"; do
		netns_exists "$ns" || continue
		# Whatever still runs in a namespace this run made was started by this run.
		for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
		ip netns del "$ns" 2>/dev/null || true
	done
}

cleanup_leftovers() {
	((EUID == 0)) || die "run as root"
	log "removing namespaces $SRV_NS and $UP_NS and what runs in them"
	delete_namespaces
}

stop_pid() { # PID: SIGTERM, then SIGKILL after 5 s
	local pid=$1 i
	kill -TERM "$pid" 2>/dev/null || return 0
	for ((i = 0; i < 50; i++)); do
		kill -0 "$pid" 2>/dev/null || return 0
		[[ $(awk '/^State:/{print $2}' "/proc/$pid/status" 2>/dev/null) == Z ]] && return 0
		sleep 0.1
	done
	kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
	local rc=$?
	trap - EXIT INT TERM
	local pid
	for pid in "${STARTED_PIDS[@]}"; do stop_pid "$pid"; done
	wait 2>/dev/null || true
	((NS_CREATED)) && delete_namespaces
	if [[ -n $WORK && -d $WORK ]]; then
		if ((KEEP || FAILED)); then
			log "raw logs kept in $WORK"
		else
			rm -rf "$WORK"
		fi
	fi
	exit "$rc"
}

# ------------------------------------------------------------------ processes

started() { STARTED_PIDS+=("$1"); }

# spawn NS CPU OUTFILE COMMAND...: runs COMMAND in namespace NS pinned to CPU, in the background,
# from the work directory; sets SPAWNED_PID to the pid of COMMAND itself (every step execs).
spawn() {
	local ns=$1 cpu=$2 out=$3 name
	shift 3
	(cd "$WORK" && exec ip netns exec "$ns" taskset -c "$cpu" "$@") >"$out" 2>&1 &
	SPAWNED_PID=$!
	started "$SPAWNED_PID"
	name=$(basename "$1")
	wait_until 5 comm_starts "$SPAWNED_PID" "${name:0:3}" || die "$name did not start (see $out)"
}

comm_starts() { [[ $(cat "/proc/$1/comm" 2>/dev/null) == "$2"* ]]; }

proc_alive() {
	local state
	state=$(awk '/^State:/{print $2}' "/proc/$1/status" 2>/dev/null) || return 1
	[[ -n $state && $state != Z && $state != X ]]
}

wait_until() { # SECONDS COMMAND...: poll every 0.1 s
	local deadline=$((SECONDS + $1))
	shift
	until "$@" >/dev/null 2>&1; do
		((SECONDS < deadline)) || return 1
		sleep 0.1
	done
}

udp53_bound() { in_srv ss -Hlun 'sport = :53' | grep -q .; }

upstream_answers() {
	[[ $(in_srv dig +short +time=1 +tries=1 @"$UP_ADDR" host00000.bench.test A) == 198.19.0.0 ]]
}

start_upstream() {
	cat >"$WORK/nsd.conf" <<EOF
server:
    ip-address: $UP_ADDR
    port: 53
    do-ip6: no
    server-count: 1
    username: ""
    chroot: ""
    zonesdir: "$WORK"
    database: ""
    zonelistfile: "$WORK/zone.list"
    xfrdfile: "$WORK/xfrd.state"
    xfrdir: "$WORK"
    pidfile: "$WORK/nsd.pid"
    logfile: "$WORK/nsd.log"
    verbosity: 0
    hide-version: yes
remote-control:
    control-enable: no
zone:
    name: bench.test
    zonefile: bench.test.zone
EOF
	spawn "$UP_NS" "$LOAD_CPU" "$WORK/nsd.out" nsd -d -c "$WORK/nsd.conf"
	wait_until 20 upstream_answers || die "nsd does not answer (see $WORK/nsd.out, $WORK/nsd.log)"
	log "upstream nsd answers on $UP_ADDR"
}

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

stop_server() { # NAME REP
	local name=$1 rep=$2 rc=0
	kill -TERM "$SERVER_PID" 2>/dev/null || true
	# Bounded wait: a server that ignores SIGTERM for 15 s is killed.
	timeout 15 tail --pid="$SERVER_PID" -f /dev/null || kill -KILL "$SERVER_PID" 2>/dev/null || true
	wait "$SERVER_PID" || rc=$?
	record "$name" "$rep" exit_status "$rc"
	record "$name" "$rep" exit_ok "$((rc == 0))"
	if [[ $name == quillforthd ]]; then
		local csv="$WORK/quillforthd-r$rep.csv" lines=0
		[[ -f $csv ]] && lines=$(grep -c . "$csv" || true)
		record "$name" "$rep" cache_file_lines "$lines"
		cp "$WORK/$name-r$rep.out" "$WORK/quillforthd-last.out"
	fi
	wait_until 10 bash -c "! ip netns exec $SRV_NS ss -Hlun 'sport = :53' | grep -q ." ||
		die "port 53 still bound after $name stopped"
	log "$name stopped, exit status $rc"
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

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$RESULTS"; }

vm_rss_kib() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }

# CPU time of a process (all its threads, user + system) in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

# run_dnsperf TAG NAME REP SECONDS_BOUND DNSPERF_ARGS...: runs dnsperf in qfb-srv on the load CPU
# and records its statistics as TAG.key.
run_dnsperf() {
	local tag=$1 name=$2 rep=$3 bound=$4 log="$WORK/$2-r$3-$1.dnsperf"
	shift 4
	timeout -k 5 "$bound" ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		dnsperf -s 127.0.0.1 -p 53 -O suppress=timeouts,congestion,sendfailed,sockready,unexpected \
		"$@" >"$log" 2>&1 || true
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

recorded() { # NAME REP KEY: the value last recorded, empty when none
	awk -F'\t' -v n="$1" -v r="$2" -v k="$3" '$1 == n && $2 == r && $3 == k {v = $4} END {print v}' \
		"$RESULTS"
}

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

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

write_meta() {
	local cpu mem rev meta="$WORK/meta.tsv"
	cpu=$(awk -F': ' '/^model name/{print $2; exit}' /proc/cpuinfo)
	mem=$(awk '/^MemTotal/{printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
	rev=$(git -C "$REPO_DIR" rev-parse --short HEAD 2>/dev/null || echo unknown)
	git -C "$REPO_DIR" diff --quiet HEAD 2>/dev/null || rev="$rev+changes"
	local cmd=$COMMAND_LINE
	[[ -n $QUILLFORTHD_SET ]] && cmd="QUILLFORTHD=$QUILLFORTHD $cmd"
	{
		printf 'date\t%s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
		printf 'machine\t%s CPUs (nproc), %s, %s\n' "$(nproc)" "$cpu" "$mem"
		printf 'kernel\t%s\n' "$(uname -r)"
		printf 'command\t%s\n' "$cmd"
		printf 'versions\tdnsmasq %s, unbound %s, nsd %s (upstream), dnsperf %s, quillforthd and ' \
			"$(version_of dnsmasq)" "$(version_of unbound)" "$(version_of nsd)" "$(version_of dnsperf)"
		printf 'bench/floor_responder.cpp (g++ %s -O2) at commit %s\n' "$(version_of g++)" "$rev"
		printf 'pinning\tserver on CPU %s; dnsperf, nsd and the sampler on CPU %s (taskset)\n' \
			"$SERVER_CPU" "$LOAD_CPU"
		printf 'params\t%s names (TTL 86400); %s repetition(s), servers alternating; cold pass at %s q/s; ' \
			"$NAMES" "$REPS" "$COLD_QPS"
		printf 'server CPU at %s q/s for %s s (-c 4 -q %s); ' "$CPU_QPS" "$CPU_SECS" "$CPU_OUTSTANDING"
		printf 'hit throughput %s s (dnsperf -c %s -q %s); fixed rate %s q/s for %s s; ' \
			"$HIT_SECS" "$HIT_CLIENTS" "$HIT_OUTSTANDING" "$FIXED_QPS" "$FIXED_SECS"
		printf 'flood %s s (-c %s -q %s -t 1, %s distinct names) with cache hits at 200 q/s beside it\n' \
			"$FLOOD_SECS" "$FLOOD_CLIENTS" "$FLOOD_OUTSTANDING" "$FLOOD_NAMES"
		printf 'load\t%s at the start, %s at the end\n' "$LOAD_START" "$(load_average)"
		printf 'cpu_qps\t%s\n' "$CPU_QPS"
		printf 'thread_limit\t%s\n' "$THREAD_LIMIT"
		if [[ -f $WORK/quillforthd-last.out ]]; then
			printf 'quillforthd_stats_file\t%s\n' "$WORK/quillforthd-last.out"
		fi
	} >"$meta"
}

report() {
	write_meta
	"$PY" "$TOOL" report "$RESULTS" "$WORK/meta.tsv" >"$WORK/report.md"
	cp "$WORK/report.md" "$OUT_FILE"
	cat "$WORK/report.md"
	log "table written to $OUT_FILE"
}

# ------------------------------------------------------------------ main

select_servers() { # drops quillforthd with a note when it is not built
	local s kept=""
	for s in $SERVERS; do
		case $s in
		dnsmasq | unbound | floor) kept+=" $s" ;;
		quillforthd)
			if [[ -x $QUILLFORTHD ]]; then
				kept+=" $s"
			else
				log "NOTE: $QUILLFORTHD not found: quillforthd is skipped (set QUILLFORTHD=path)"
				record - 0 note "quillforthd skipped: $QUILLFORTHD not found"
			fi
			;;
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

rotated() { # REP: the server list rotated by REP-1, so the order alternates
	local -a list
	read -ra list <<<"$SERVERS"
	local n=${#list[@]} i
	for ((i = 0; i < n; i++)); do printf '%s ' "${list[(i + $1 - 1) % n]}"; done
}

main() {
	parse_args "$@"
	check_host
	ensure_packages
	exec 9>"$LOCK_FILE"
	flock -n 9 || die "another benchmark run holds $LOCK_FILE"
	trap cleanup EXIT
	trap 'exit 130' INT TERM
	trap 'log "failed at line $LINENO: $BASH_COMMAND"' ERR
	LOAD_START=$(load_average)
	make_workdir
	select_servers
	build_floor
	log "servers: $SERVERS; $REPS repetition(s); work dir $WORK"
	create_namespaces
	start_upstream
	local rep name
	for ((rep = 1; rep <= REPS; rep++)); do
		for name in $(rotated "$rep"); do run_server "$name" "$rep"; done
	done
	report
	FAILED=0
}

main "$@"
