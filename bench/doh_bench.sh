#!/usr/bin/env bash
# DNS-over-HTTPS benchmark: new names forwarded by quillforthd over DoH to dnsdist's DoH front end
# (before an authoritative nsd), by quillforthd over plain UDP to that nsd, and by dnsdist itself
# over DoH to the same front end.
#
# Usage (as root): bench/doh_bench.sh [--quick] [--reps N] [--rate Q] [--names N] [--seconds S]
#                  [--servers LIST] [--out FILE] [--keep]
#                  bench/doh_bench.sh --cleanup
#
# Two network namespaces made here and joined only to each other by a veth pair (198.18.0.0/30,
# no route out): qfbd-srv holds the server under test on 127.0.0.1:53 and the clients; qfbd-up
# holds nsd on 198.18.0.2:53, authoritative for the bench names, and dnsdist's DoH front end on
# 198.18.0.2:443 (https://doh.bench.test/dns-query, a certificate of a test CA made here, trusted
# through a CA bundle bind-mounted in a mount namespace of the run's own). SERVERS:
# quillforthd-doh, quillforthd-udp, dnsdist (all three by default). See bench/README.md.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$BENCH_DIR")
TOOL="$BENCH_DIR/doh_tool.py"
CLIENT="$BENCH_DIR/failover_tool.py"
PY=/usr/bin/python3
[[ -x $PY ]] || PY=python3

SRV_NS=qfbd-srv
UP_NS=qfbd-up
SRV_IF=qfbd-s0
UP_IF=qfbd-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2 # nsd on port 53, the DoH front end on 443
DOH_HOST=doh.bench.test
DOH_URL="https://$DOH_HOST/dns-query"
# The same lock as run-bench.sh: two benchmarks at once would spoil each other's figures.
LOCK_FILE=/run/qfb-bench.lock

REPS=3
RATE=50       # paced queries per second, each a new name
WARMUP=100    # names asked before the timed ones: the connection is open and warm
NAMES=1500    # timed names per run
TPUT_SECS=10  # sustained misses: dnsperf's sending time
TPUT_RATE=80000 # throughput names per second of TPUT_SECS: more than any server here answers
TIMEOUT=5     # the paced client's wait for each answer (no retries)
SERVER_CPU=${QFD_SERVER_CPU:-0}
LOAD_CPU=${QFD_LOAD_CPU:-1}
QUILLFORTHD_SET=${QUILLFORTHD:+1}
QUILLFORTHD=${QUILLFORTHD:-$REPO_DIR/build/native/daemon/quillforthd}

ALL_SERVERS="quillforthd-doh quillforthd-udp dnsdist"
SERVERS=""
OUT_FILE="$BENCH_DIR/doh-latest.md"
KEEP=0
QUICK=0
COMMAND_LINE="bench/doh_bench.sh${*:+ $*}"

WORK=""
RESULTS=""
SPAWNED_PID=""
SERVER_PID=""
NSD_PID=""
FRONT_PID=""
LOAD_START=""
NS_CREATED=0
FAILED=1

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
die() {
	log "error: $*"
	exit 1
}

usage() {
	sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
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
		--names) NAMES=${2:-} && shift ;;
		--seconds) TPUT_SECS=${2:-} && shift ;;
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
		[[ $COMMAND_LINE == *--names* ]] || NAMES=500
		[[ $COMMAND_LINE == *--seconds* ]] || TPUT_SECS=5
	fi
	# Bounds: every run is bounded in count and time.
	positive --reps "$REPS" 20
	positive --rate "$RATE" 1000
	positive --names "$NAMES" 60000
	positive --seconds "$TPUT_SECS" 60
	((NAMES / RATE <= 300)) || die "--names / --rate must stay within 300 s"
	[[ -n $SERVERS ]] || SERVERS=$ALL_SERVERS
	[[ $QUILLFORTHD == /* ]] || QUILLFORTHD="$PWD/$QUILLFORTHD"
}

# ------------------------------------------------------------------ setup

ensure_packages() {
	local -A need=([dnsdist]=dnsdist [nsd]=nsd [dnsperf]=dnsperf [dig]=bind9-dnsutils
		[openssl]=openssl [unshare]=util-linux [taskset]=util-linux [ip]=iproute2 [ss]=iproute2
		[flock]=util-linux [timeout]=coreutils)
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
	((EUID == 0)) || die "run as root (namespaces, mounts, port 53)"
	if (($(nproc) < 2)); then
		log "only one CPU: server and clients share CPU 0"
		SERVER_CPU=0 LOAD_CPU=0
	fi
}

in_srv() { ip netns exec "$SRV_NS" "$@"; }
in_up() { ip netns exec "$UP_NS" "$@"; }

# The exact name: other scripts make namespaces whose names begin like these.
netns_exists() { ip netns list | awk '{print $1}' | grep -qxF "$1"; }

create_namespaces() {
	if netns_exists "$SRV_NS" || netns_exists "$UP_NS"; then
		die "namespaces $SRV_NS/$UP_NS exist (a crashed run: bench/doh_bench.sh --cleanup)"
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
	stop_pid "$FRONT_PID"
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

# The test CA and the front end's certificate for doh.bench.test, made as the HTTPS end-to-end
# test makes its own; $WORK/bundle.crt is the system's roots and the test CA.
make_certificates() {
	local work=$WORK
	# shellcheck source-path=SCRIPTDIR source=../tests/support/dns_servers.sh
	source "$REPO_DIR/tests/support/dns_servers.sh"
	openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" \
		-days 2 -subj "/CN=Quillforth bench CA" 2>/dev/null
	certificate doh ca "$DOH_HOST"
	[[ -s $work/doh.crt ]] || die "the test certificate was not made"
	cat /etc/ssl/certs/ca-certificates.crt "$work/ca.crt" >"$work/bundle.crt"
}

# ------------------------------------------------------------------ processes

# spawn NS CPU OUTFILE COMMAND...: runs COMMAND in namespace NS pinned to CPU, in the background,
# from the work directory, in a mount namespace of its own where the system's CA bundle is
# $WORK/bundle.crt; sets SPAWNED_PID to the pid of COMMAND itself (every step execs).
spawn() {
	local ns=$1 cpu=$2 out=$3 name
	shift 3
	# shellcheck disable=SC2016 # expanded by the inner shell
	(cd "$WORK" && exec unshare -m bash -c \
		'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec ip netns exec "$@"' \
		"$WORK/bundle.crt" "$ns" taskset -c "$cpu" "$@") >"$out" 2>&1 &
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
front_bound() { in_up ss -Htln "src $UP_ADDR" | grep -q ':443 '; }
https_conns() { in_srv ss -Htn state established '( dport = :443 )' | wc -l; }

# Asked with a name outside the bench sets, so that no bench name is asked before its run.
answers_ns() { # NS ADDRESS
	[[ $(ip netns exec "$1" dig +short +time=1 +tries=1 @"$2" ns.bench.test A) == "$UP_ADDR" ]]
}

# The front end's HTTP/1 and HTTP/2 query counts so far, as "key<TAB>value" lines.
front_counts() {
	timeout 10 ip netns exec "$UP_NS" dnsdist -C "$WORK/front.conf" -c -e 'showDOHFrontends()' \
		>"$WORK/front-console.txt" 2>&1 || true
	"$PY" "$TOOL" frontend "$WORK/front-console.txt"
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
	wait_until 60 answers_ns "$SRV_NS" "$UP_ADDR" || die "nsd does not answer (see $WORK/nsd.out, $WORK/nsd.log)"
	log "nsd answers on $UP_ADDR"
	# The DoH front end: no packet cache, so that every name a server forwards reaches nsd.
	cat >"$WORK/front.conf" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:5300")
controlSocket("127.0.0.1:5199")
setKey("$(head -c 32 /dev/urandom | base64)")
addACL("0.0.0.0/0")
newServer({address="$UP_ADDR:53", checkName="ns.bench.test."})
addDOHLocal("$UP_ADDR:443", "$WORK/doh.crt", "$WORK/doh.key", "/dns-query")
EOF
	spawn "$UP_NS" "$LOAD_CPU" "$WORK/front.out" dnsdist --supervised --disable-syslog -C "$WORK/front.conf"
	FRONT_PID=$SPAWNED_PID
	wait_until 20 front_bound || die "the DoH front end does not listen (see $WORK/front.out)"
	log "DoH front end listens on $UP_ADDR:443 ($DOH_URL)"
}

# dnsdist as the server under test: 127.0.0.1:53, one backend, no packet cache. Over DoH to the
# front end when this build has outgoing DoH, else over plain UDP to nsd (named dnsdist-udp).
write_dnsdist_conf() { # FILE NAME
	local backend="address=\"$UP_ADDR:53\""
	if [[ $2 == dnsdist ]]; then
		backend="address=\"$UP_ADDR:443\", tls=\"openssl\", subjectName=\"$DOH_HOST\", dohPath=\"/dns-query\""
		backend+=", validateCertificates=true, caStore=\"$WORK/ca.crt\""
	fi
	cat >"$1" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:53")
addACL("127.0.0.0/8")
newServer({$backend, checkName="ns.bench.test."})
EOF
}

start_server() { # NAME REP: sets SERVER_PID
	local name=$1 rep=$2 out="$WORK/$1-r$2.out"
	case $name in
	quillforthd-doh | quillforthd-udp)
		local upstream=$UP_ADDR
		[[ $name == quillforthd-doh ]] && upstream="$DOH_URL ($UP_ADDR)"
		rm -f "$WORK/$name-r$rep.csv"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" "$QUILLFORTHD" --listen 53 --upstream "$upstream" \
			--cache "$WORK/$name-r$rep.csv"
		;;
	dnsdist | dnsdist-udp)
		write_dnsdist_conf "$WORK/$name.conf" "$name"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsdist --supervised --disable-syslog -C "$WORK/$name.conf"
		;;
	esac
	SERVER_PID=$SPAWNED_PID
	wait_until 20 udp53_bound || die "$name does not listen on 127.0.0.1:53 (see $out)"
	wait_until 20 answers_ns "$SRV_NS" 127.0.0.1 || die "$name does not answer (see $out)"
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
	[[ $name == quillforthd-doh ]] && cp "$WORK/$name-r$rep.out" "$WORK/quillforthd-last.out"
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

# CPU time of a process (all its threads, user + system) in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

paced() { # TAG NAME REP SET COUNT: the paced client over names-SET, figures recorded as TAG.*
	local tag=$1 name=$2 rep=$3 out="$WORK/$2-r$3-$1" secs key value
	secs=$(awk -v n="$5" -v r="$RATE" 'BEGIN{printf "%.3f", n / r}')
	timeout -k 5 $((${secs%.*} + TIMEOUT + 20)) ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		"$PY" "$CLIENT" client 127.0.0.1 53 "$WORK/names-$4.txt" "$RATE" "$secs" "$TIMEOUT" \
		"$out-queries.tsv" >"$out.tsv" 2>"$out.err" &
	# In the background so that a signal to this script ends the run at once.
	wait $! || log "$name r$rep: the client failed (see $out.err)"
	while IFS=$'\t' read -r key value; do
		record "$name" "$rep" "$tag.$key" "$value"
	done <"$out.tsv"
}

# Sustained misses: dnsperf through the throughput names once, for TPUT_SECS at most, with the
# CPU time of the server, the front end and nsd over the run.
throughput() { # NAME REP
	local name=$1 rep=$2 log="$WORK/$1-r$2-tput.dnsperf" t0 t1 s0 s1 f0 f1 n0 n1 key value answers
	s0=$(cpu_ticks "$SERVER_PID") f0=$(cpu_ticks "$FRONT_PID") n0=$(cpu_ticks "$NSD_PID")
	t0=$(date +%s.%N)
	timeout -k 5 $((TPUT_SECS + 30)) ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		dnsperf -s 127.0.0.1 -p 53 -d "$WORK/throughput.txt" -n 1 -l "$TPUT_SECS" -c 4 -q 200 -t 5 \
		-O suppress=timeouts,congestion,sendfailed,sockready,unexpected >"$log" 2>&1 &
	wait $! || true
	s1=$(cpu_ticks "$SERVER_PID") f1=$(cpu_ticks "$FRONT_PID") n1=$(cpu_ticks "$NSD_PID")
	t1=$(date +%s.%N)
	while IFS=$'\t' read -r key value; do
		record "$name" "$rep" "tput.$key" "$value"
	done < <("$PY" "$TOOL" dnsperf "$log" || true)
	local hz
	hz=$(getconf CLK_TCK)
	for key in server:$s0:$s1 frontend:$f0:$f1 nsd:$n0:$n1; do
		IFS=: read -r key a b <<<"$key"
		record "$name" "$rep" "tput.${key}_cpu_pct" \
			"$(awk -v a="$a" -v b="$b" -v s="$t0" -v e="$t1" -v hz="$hz" 'BEGIN{printf "%.1f", 100 * (b - a) / hz / (e - s)}')"
	done
	answers=$(recorded "$name" "$rep" tput.completed)
	if ((${answers:-0} > 0)); then
		record "$name" "$rep" tput.server_cpu_us \
			"$(awk -v a="$s0" -v b="$s1" -v n="$answers" -v hz="$hz" 'BEGIN{printf "%.3f", 1e6 * (b - a) / hz / n}')"
	fi
	record "$name" "$rep" tput.conns "$(https_conns)"
}

ORDER=0
run_server() { # NAME REP: a fresh server, its connection warmed, then timed names and the load
	local name=$1 rep=$2 key value
	ORDER=$((ORDER + 1))
	log "=== $name, repetition $rep"
	proc_alive "$FRONT_PID" || die "the DoH front end has ended (see $WORK/front.out)"
	declare -A before=()
	while IFS=$'\t' read -r key value; do before[$key]=$value; done < <(front_counts)
	start_server "$name" "$rep"
	record "$name" "$rep" order "$ORDER"
	log "$name r$rep: $WARMUP warm-up names, then $NAMES timed names at $RATE q/s"
	paced warm "$name" "$rep" s1 "$WARMUP"
	paced lat "$name" "$rep" s2 "$NAMES"
	record "$name" "$rep" lat.conns "$(https_conns)"
	log "$name r$rep: median $(recorded "$name" "$rep" lat.all.median_ms) ms," \
		"p99 $(recorded "$name" "$rep" lat.all.p99_ms) ms; sustained misses for $TPUT_SECS s"
	throughput "$name" "$rep"
	log "$name r$rep: $(recorded "$name" "$rep" tput.noerror_qps) NOERROR answers/s," \
		"lost $(recorded "$name" "$rep" tput.lost_pct) %"
	while IFS=$'\t' read -r key value; do
		record "$name" "$rep" "$key" "$((value - ${before[$key]:-0}))"
	done < <(front_counts)
	proc_alive "$SERVER_PID" || log "$name exited during the run (see $WORK/$name-r$rep.out)"
	stop_server "$name" "$rep"
}

# ------------------------------------------------------------------ report

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
		printf 'versions\t%s, nsd %s, %s, libcurl %s, quillforthd at commit %s\n' \
			"$(dnsdist --version | head -1 | cut -d' ' -f1-2)" "$(nsd -v 2>&1 | awk '/version/{print $3; exit}')" \
			"$(dnsperf -h 2>&1 | awk '/^Version/{print "dnsperf " $2}')" \
			"$(dpkg-query -W -f '${Version}' libcurl4 2>/dev/null || echo '?')" "$rev"
		printf 'upstream\tnsd on %s:53; dnsdist'"'"'s DoH front end (no cache) on %s:443 as %s, ' \
			"$UP_ADDR" "$UP_ADDR" "$DOH_URL"
		printf 'a certificate of a test CA made by the run\n'
		printf 'pinning\tserver on CPU %s; clients, nsd and the DoH front end on CPU %s (taskset)\n' \
			"$SERVER_CPU" "$LOAD_CPU"
		printf 'params\t%s repetition(s), servers alternating; per run %s warm-up names, then %s timed ' \
			"$REPS" "$WARMUP" "$NAMES"
		printf 'names at %s queries/s (one A query each, no retries, %s s time-out), then dnsperf for ' \
			"$RATE" "$TIMEOUT"
		printf 'at most %s s over %s new names (-c 4 -q 200 -t 5)\n' "$TPUT_SECS" "$((TPUT_RATE * TPUT_SECS))"
		printf 'load\t%s at the start, %s at the end\n' "$LOAD_START" "$(load_average)"
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
		dnsdist)
			if dnsdist --version | grep -q 'outgoing-dns-over-https'; then
				kept+=" dnsdist"
			else
				log "NOTE: this dnsdist has no outgoing DoH: it forwards over plain UDP (dnsdist-udp)"
				record - 0 note "dnsdist has no outgoing DoH in this build: measured forwarding over plain UDP"
				kept+=" dnsdist-udp"
			fi
			;;
		quillforthd-doh | quillforthd-udp)
			if [[ -x $QUILLFORTHD ]]; then
				kept+=" $s"
			else
				log "NOTE: $QUILLFORTHD not found: $s is skipped (set QUILLFORTHD=path)"
				record - 0 note "$s skipped: $QUILLFORTHD not found"
			fi
			;;
		*) die "unknown server '$s' (quillforthd-doh, quillforthd-udp, dnsdist)" ;;
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
	WORK=$(mktemp -d /tmp/qfbd-bench.XXXXXX)
	RESULTS="$WORK/results.tsv"
	: >"$RESULTS"
	select_servers
	"$PY" "$TOOL" gen "$WORK" "$WARMUP" "$NAMES" "$((TPUT_RATE * TPUT_SECS))" "$UP_ADDR"
	make_certificates
	log "servers: $SERVERS; $REPS repetition(s); work dir $WORK"
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
