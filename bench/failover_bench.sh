#!/usr/bin/env bash
# Failover benchmark: latency of new names when the first upstream server of the list is silent,
# quillforthd against dnsmasq (default and --all-servers) and unbound (a forward-zone holding both
# addresses in the same order).
#
# Usage (as root): bench/failover_bench.sh [--quick] [--reps N] [--rate Q] [--seconds S]
#                  [--timeout T] [--servers LIST] [--out FILE] [--keep]
#                  bench/failover_bench.sh --cleanup
#
# Two network namespaces made here and joined only to each other by a veth pair (198.18.0.0/29,
# no route out): qfbf-srv holds the server under test on 127.0.0.1:53 and the client; qfbf-up holds
# the silent server on 198.18.0.6 (first in every list) and nsd on 198.18.0.2 (second),
# authoritative for the bench names. Each run asks names never asked before, one query each at a
# fixed rate. SERVERS: quillforthd, dnsmasq, dnsmasq-all, unbound (all four by default), and
# direct: nsd asked itself, the reference without a forwarder. See bench/README.md.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$BENCH_DIR")
TOOL="$BENCH_DIR/failover_tool.py"
PY=/usr/bin/python3
[[ -x $PY ]] || PY=python3

SRV_NS=qfbf-srv
UP_NS=qfbf-up
SRV_IF=qfbf-s0
UP_IF=qfbf-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2     # nsd: the server that answers, second in every list
SILENT_ADDR=198.18.0.6 # takes queries, never answers: first in every list
PREFIX=29
# The same lock as run-bench.sh: two benchmarks at once would spoil each other's figures.
LOCK_FILE=/run/qfb-bench.lock

REPS=3
RATE=50       # queries per second, each a new name
RUN_SECS=30   # sending time of one run
TIMEOUT=5     # the client's wait for each answer (no retries), as glibc's resolver per try
TOLERANCE=1.10 # a latency ratio up to this reads "met within the noise"
SERVER_CPU=${QFF_SERVER_CPU:-0}
LOAD_CPU=${QFF_LOAD_CPU:-1}
QUILLFORTHD_SET=${QUILLFORTHD:+1}
QUILLFORTHD=${QUILLFORTHD:-$REPO_DIR/build/native/daemon/quillforthd}

ALL_SERVERS="quillforthd dnsmasq dnsmasq-all unbound"
SERVERS=""
OUT_FILE="$BENCH_DIR/failover-latest.md"
KEEP=0
QUICK=0
COMMAND_LINE="bench/failover_bench.sh${*:+ $*}"

WORK=""
RESULTS=""
SPAWNED_PID=""
SERVER_PID=""
NSD_PID=""
SILENT_PID=""
LOAD_START=""
NS_CREATED=0
FAILED=1

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
die() {
	log "error: $*"
	exit 1
}

usage() {
	sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
	exit "${1:-0}"
}

positive() { # OPTION VALUE MAX
	if ! [[ $2 =~ ^[0-9]+$ ]] || (($2 < 1 || $2 > $3)); then
		die "$1 must be a whole number from 1 to $3"
	fi
}

parse_args() {
	while (($#)); do
		case $1 in
		--quick) QUICK=1 ;;
		--reps) REPS=${2:-} && shift ;;
		--rate) RATE=${2:-} && shift ;;
		--seconds) RUN_SECS=${2:-} && shift ;;
		--timeout) TIMEOUT=${2:-} && shift ;;
		--servers) SERVERS=${2//,/ } && shift ;;
		--out) OUT_FILE=${2:-} && shift ;;
		--keep) KEEP=1 ;;
		--cleanup) cleanup_leftovers && exit 0 ;;
		-h | --help) usage 0 ;;
		*) usage 2 ;;
		esac
		shift
	done
	if ((QUICK)); then
		[[ $COMMAND_LINE == *--reps* ]] || REPS=1
		[[ $COMMAND_LINE == *--seconds* ]] || RUN_SECS=10
	fi
	# Bounds: every run is bounded in count and time.
	positive --reps "$REPS" 20
	positive --rate "$RATE" 1000
	positive --seconds "$RUN_SECS" 300
	positive --timeout "$TIMEOUT" 30
	((RATE * RUN_SECS <= 65536)) || die "--rate × --seconds must stay within 65,536 queries"
	[[ -n $SERVERS ]] || SERVERS=$ALL_SERVERS
	[[ $QUILLFORTHD == /* ]] || QUILLFORTHD="$PWD/$QUILLFORTHD"
}

# ------------------------------------------------------------------ setup

ensure_packages() {
	local -A need=([dnsmasq]=dnsmasq-base [unbound]=unbound [nsd]=nsd [dig]=bind9-dnsutils
		[taskset]=util-linux [ip]=iproute2 [ss]=iproute2 [flock]=util-linux [timeout]=coreutils)
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
	if (($(nproc) < 2)); then
		log "only one CPU: server and client share CPU 0"
		SERVER_CPU=0 LOAD_CPU=0
	fi
}

in_srv() { ip netns exec "$SRV_NS" "$@"; }
in_up() { ip netns exec "$UP_NS" "$@"; }

# The exact name: other scripts make namespaces whose names begin like these.
netns_exists() { ip netns list | awk '{print $1}' | grep -qxF "$1"; }

create_namespaces() {
	if netns_exists "$SRV_NS" || netns_exists "$UP_NS"; then
		die "namespaces $SRV_NS/$UP_NS exist (a crashed run: bench/failover_bench.sh --cleanup)"
	fi
	NS_CREATED=1
	ip netns add "$SRV_NS"
	ip netns add "$UP_NS"
	ip link add "$SRV_IF" netns "$SRV_NS" type veth peer name "$UP_IF" netns "$UP_NS"
	in_srv ip link set lo up
	in_up ip link set lo up
	in_srv ip addr add "$SRV_ADDR/$PREFIX" dev "$SRV_IF"
	in_up ip addr add "$UP_ADDR/$PREFIX" dev "$UP_IF"
	in_up ip addr add "$SILENT_ADDR/$PREFIX" dev "$UP_IF"
	in_srv ip link set "$SRV_IF" up
	in_up ip link set "$UP_IF" up
	# Only the connected /29 and loopback: nothing can leave these namespaces.
	if in_srv ip route show | grep -q default || in_up ip route show | grep -q default; then
		die "a namespace has a default route"
	fi
}

delete_namespaces() {
	local ns pid
	for ns in "$SRV_NS" "$UP_NS"; do
		netns_exists "$ns" || continue
		# Whatever still runs in a namespace this script made was started by it.
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
	[[ -n $pid ]] || return 0
	kill -TERM "$pid" 2>/dev/null || return 0
	for ((i = 0; i < 50; i++)); do
		proc_alive "$pid" || break
		sleep 0.1
	done
	kill -KILL "$pid" 2>/dev/null || true
	wait "$pid" 2>/dev/null || true
}

cleanup() {
	local rc=$?
	trap - EXIT INT TERM ERR
	stop_pid "$SERVER_PID"
	stop_pid "$SILENT_PID"
	stop_pid "$NSD_PID"
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

# spawn NS CPU OUTFILE COMMAND...: runs COMMAND in namespace NS pinned to CPU, in the background,
# from the work directory; sets SPAWNED_PID to the pid of COMMAND itself (every step execs).
spawn() {
	local ns=$1 cpu=$2 out=$3 name
	shift 3
	(cd "$WORK" && exec ip netns exec "$ns" taskset -c "$cpu" "$@") >"$out" 2>&1 &
	SPAWNED_PID=$!
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

# Asked with a name outside the bench sets, so that no bench name is cached by it.
upstream_answers() {
	[[ $(in_srv dig +short +time=1 +tries=1 @"$UP_ADDR" ns.bench.test A) == "$UP_ADDR" ]]
}

silent_bound() { in_up ss -Hlun "src $SILENT_ADDR" | grep -q ':53 '; }

# The silent server stays silent: a query to it gets nothing, not even an ICMP error.
silent_is_silent() {
	local got rc=0
	got=$(in_srv dig +time=1 +tries=1 @"$SILENT_ADDR" ns.bench.test A 2>&1) || rc=$?
	[[ $rc == 9 && $got == *"timed out"* ]]
}

start_upstreams() {
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
	NSD_PID=$SPAWNED_PID
	wait_until 30 upstream_answers || die "nsd does not answer (see $WORK/nsd.out, $WORK/nsd.log)"
	log "nsd answers on $UP_ADDR"
	# It ends by itself after the longest the whole benchmark can take.
	local bound=$((REPS * 4 * (RUN_SECS + TIMEOUT + 40) + 120))
	spawn "$UP_NS" "$LOAD_CPU" "$WORK/silent.out" "$PY" "$TOOL" silent "$SILENT_ADDR" 53 \
		"$WORK/silent.log" "$bound"
	SILENT_PID=$SPAWNED_PID
	wait_until 10 silent_bound || die "the silent server is not bound (see $WORK/silent.out)"
	silent_is_silent || die "$SILENT_ADDR answers or refuses: it should be silent"
	log "silent server bound on $SILENT_ADDR:53 (UDP and TCP), answers nothing"
}

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
    access-control: 127.0.0.0/8 allow
    local-zone: "test." nodefault
    outgoing-interface: $SRV_ADDR
    prefetch: no
forward-zone:
    name: "."
    forward-addr: $SILENT_ADDR@53
    forward-addr: $UP_ADDR@53
    forward-first: no
remote-control:
    control-enable: no
EOF
}

start_server() { # NAME REP: sets SERVER_PID
	local name=$1 rep=$2 out="$WORK/$1-r$2.out"
	local dnsmasq_args=(--keep-in-foreground --conf-file=/dev/null --no-resolv --no-poll --no-hosts
		--server="$SILENT_ADDR#53" --server="$UP_ADDR#53" --listen-address=127.0.0.1
		--bind-interfaces --port=53 --cache-size=20000 --user=root --group=root --pid-file=
		--log-facility="$WORK/$name-r$rep.log")
	case $name in
	dnsmasq) spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsmasq "${dnsmasq_args[@]}" ;;
	dnsmasq-all) spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsmasq "${dnsmasq_args[@]}" --all-servers ;;
	unbound)
		write_unbound_conf "$WORK/unbound.conf" "$rep"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" unbound -d -c "$WORK/unbound.conf"
		;;
	quillforthd)
		rm -f "$WORK/quillforthd-r$rep.csv"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" "$QUILLFORTHD" --listen 53 \
			--upstream "$SILENT_ADDR" --upstream "$UP_ADDR" --cache "$WORK/quillforthd-r$rep.csv"
		;;
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
	SERVER_PID=""
	record "$name" "$rep" exit_status "$rc"
	record "$name" "$rep" exit_ok "$((rc == 0))"
	[[ $name == quillforthd ]] && cp "$WORK/$name-r$rep.out" "$WORK/quillforthd-last.out"
	wait_until 10 bash -c "! ip netns exec $SRV_NS ss -Hlun 'sport = :53' | grep -q ." ||
		die "port 53 still bound after $name stopped"
	log "$name stopped, exit status $rc"
}

# ------------------------------------------------------------------ measurement

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$RESULTS"; }

recorded() { # NAME REP KEY: the value last recorded, empty when none
	awk -F'\t' -v n="$1" -v r="$2" -v k="$3" '$1 == n && $2 == r && $3 == k {v = $4} END {print v}' \
		"$RESULTS"
}

SET=0
run_server() { # NAME REP: a fresh server, asked a set of names never asked before
	local name=$1 rep=$2 start end key value
	SET=$((SET + 1))
	log "=== $name, repetition $rep: $((RATE * RUN_SECS)) new names at $RATE q/s (set s$SET)"
	proc_alive "$SILENT_PID" || die "the silent server has ended (see $WORK/silent.out)"
	local target=127.0.0.1
	if [[ $name == direct ]]; then
		target=$UP_ADDR # the reference: nsd itself, one round trip and no forwarder
	else
		start_server "$name" "$rep"
		sleep 0.5
	fi
	timeout -k 5 $((RUN_SECS + TIMEOUT + 20)) ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		"$PY" "$TOOL" client "$target" 53 "$WORK/names-s$SET.txt" "$RATE" "$RUN_SECS" "$TIMEOUT" \
		"$WORK/$name-r$rep-queries.tsv" >"$WORK/$name-r$rep-client.tsv" 2>"$WORK/$name-r$rep-client.err" &
	# In the background so that a signal to this script ends the run at once (the cleanup kills
	# what runs in the namespaces).
	wait $! || log "$name r$rep: the client failed (see $WORK/$name-r$rep-client.err)"
	end=$(date +%s.%N)
	while IFS=$'\t' read -r key value; do
		record "$name" "$rep" "$key" "$value"
	done <"$WORK/$name-r$rep-client.tsv"
	start=$(recorded "$name" "$rep" wall_start)
	if [[ -n $start ]]; then
		while IFS=$'\t' read -r key value; do
			record "$name" "$rep" "$key" "$value"
		done < <("$PY" "$TOOL" silentcount "$WORK/silent.log" "$start" "$end")
	fi
	log "$name r$rep: answered $(recorded "$name" "$rep" all.answered_pct) %," \
		"after the first second median $(recorded "$name" "$rep" after.median_ms) ms," \
		"p99 $(recorded "$name" "$rep" after.p99_ms) ms"
	[[ $name == direct ]] && return 0
	proc_alive "$SERVER_PID" || log "$name exited during the run (see $WORK/$name-r$rep.out)"
	stop_server "$name" "$rep"
}

# ------------------------------------------------------------------ report

version_of() {
	case $1 in
	dnsmasq) dnsmasq --version | head -1 | awk '{print $3}' ;;
	unbound) unbound -V | awk '/^Version/{print $2}' ;;
	nsd) nsd -v 2>&1 | awk '/version/{print $3; exit}' ;;
	python3) "$PY" -c 'import platform; print(platform.python_version())' ;;
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
		printf 'versions\tdnsmasq %s, unbound %s, nsd %s (upstream), client bench/failover_tool.py ' \
			"$(version_of dnsmasq)" "$(version_of unbound)" "$(version_of nsd)"
		printf '(python %s), quillforthd at commit %s\n' "$(version_of python3)" "$rev"
		printf 'upstreams\t%s:53 silent (a bound UDP socket that never answers, a TCP listener that never ' \
			"$SILENT_ADDR"
		printf 'accepts) first, %s:53 nsd second, in every server'"'"'s list\n' "$UP_ADDR"
		printf 'pinning\tserver on CPU %s; client, nsd and the silent server on CPU %s (taskset)\n' \
			"$SERVER_CPU" "$LOAD_CPU"
		printf 'params\t%s repetition(s), servers alternating; per run %s new names at %s queries/s ' \
			"$REPS" "$((RATE * RUN_SECS))" "$RATE"
		printf '(%s s), one A query each, no retries, %s s time-out\n' "$RUN_SECS" "$TIMEOUT"
		printf 'load\t%s at the start, %s at the end\n' "$LOAD_START" "$(load_average)"
		printf 'tolerance\t%s\n' "$TOLERANCE"
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
		dnsmasq | dnsmasq-all | unbound | direct) kept+=" $s" ;;
		quillforthd)
			if [[ -x $QUILLFORTHD ]]; then
				kept+=" $s"
			else
				log "NOTE: $QUILLFORTHD not found: quillforthd is skipped (set QUILLFORTHD=path)"
				record - 0 note "quillforthd skipped: $QUILLFORTHD not found"
			fi
			;;
		*) die "unknown server '$s' (quillforthd, dnsmasq, dnsmasq-all, unbound, direct)" ;;
		esac
	done
	SERVERS=${kept# }
	[[ -n $SERVERS ]] || die "no server to measure"
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
	WORK=$(mktemp -d /tmp/qfbf-bench.XXXXXX)
	RESULTS="$WORK/results.tsv"
	: >"$RESULTS"
	select_servers
	local runs
	runs=$(($(wc -w <<<"$SERVERS") * REPS))
	"$PY" "$TOOL" gen "$WORK" "$runs" "$((RATE * RUN_SECS))" "$UP_ADDR"
	log "servers: $SERVERS; $REPS repetition(s) of $RUN_SECS s at $RATE q/s; work dir $WORK"
	create_namespaces
	start_upstreams
	local rep name
	for ((rep = 1; rep <= REPS; rep++)); do
		for name in $(rotated "$rep"); do run_server "$name" "$rep"; done
	done
	report
	FAILED=0
}

main "$@"
