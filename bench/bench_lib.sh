# shellcheck shell=bash
# Sourced by run-bench.sh, failover_bench.sh and doh_bench.sh, after they set BENCH_DIR: what they
# do alike. Logging, the options they share, two network namespaces joined only to each other by
# a veth pair (no route out), the processes started in them, nsd as the authoritative upstream,
# the results file, the lock, the cleanup at exit or on a signal, and the report.
#
# Read from the script: SRV_NS, UP_NS (the namespaces), SRV_IF, UP_IF (the veth ends), SRV_ADDR,
# UP_ADDR (their addresses), NET_PREFIX (the subnet's prefix length), UP_ADDRS (every address of
# the upstream end, UP_ADDR unless set), TOOL (the script's Python helper), SERVER_CPU, LOAD_CPU,
# REPS, ALL_SERVERS, OUT_FILE, COMMAND_LINE, VALUE_OPTIONS (its own options), SPAWN_WRAPPER (a
# command spawn runs its own through, none unless set), STATS_SERVER (the run whose output the
# report shows, quillforthd unless set); and its functions check_args, run_server and meta_lines
# (its own lines of meta.tsv).

# shellcheck disable=SC2154,SC2034 # the variables above are the script's, and it reads some set here

REPO_DIR=$(dirname "$BENCH_DIR")
PY=/usr/bin/python3
[[ -x $PY ]] || PY=python3
# One lock for every benchmark here: two at once would spoil each other's figures.
LOCK_FILE=/run/qfb-bench.lock
QUILLFORTHD_SET=${QUILLFORTHD:+1}
QUILLFORTHD=${QUILLFORTHD:-$REPO_DIR/build/native/daemon/quillforthd}

declare -A VALUE_OPTIONS=()
declare -A FLAG_OPTIONS=()
SERVERS=""
KEEP=0
QUICK=0
WORK=""
RESULTS=""
STARTED_PIDS=()
SPAWN_WRAPPER=()
SPAWNED_PID=""
SERVER_PID=""
LOAD_START=""
NS_CREATED=0
FAILED=1

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
die() {
	log "error: $*"
	exit 1
}

usage() { # the comment block at the top of the script
	awk 'NR == 1 {next} !/^#/ {exit} {print}' "$0" | sed 's/^# \{0,1\}//'
	exit "${1:-0}"
}

# parse_args ARGS...: --quick, --reps N, --servers LIST, --out FILE, --keep, --cleanup, --help and
# the script's own options, each with a value: VALUE_OPTIONS[OPTION]=VARIABLE, or without one:
# FLAG_OPTIONS[OPTION]=VARIABLE (set to 1); then the script's check_args (what --quick changes, the
# bounds).
parse_args() {
	while (($#)); do
		case $1 in
		--quick) QUICK=1 ;;
		--reps) REPS=${2:-} && shift ;;
		--servers) SERVERS=${2:-} && shift ;;
		--out) OUT_FILE=${2:-} && shift ;;
		--keep) KEEP=1 ;;
		--cleanup) cleanup_leftovers && exit 0 ;;
		-h | --help) usage 0 ;;
		*)
			if [[ -n $1 && -n ${FLAG_OPTIONS[$1]:-} ]]; then
				printf -v "${FLAG_OPTIONS[$1]}" '%s' 1 && shift && continue
			fi
			[[ -n $1 && -n ${VALUE_OPTIONS[$1]:-} ]] || usage 2
			printf -v "${VALUE_OPTIONS[$1]}" '%s' "${2:-}" && shift
			;;
		esac
		shift
	done
	SERVERS=${SERVERS//,/ }
	check_args
	[[ -n $SERVERS ]] || SERVERS=$ALL_SERVERS
	[[ $QUILLFORTHD == /* ]] || QUILLFORTHD="$PWD/$QUILLFORTHD"
}

positive() { # OPTION VALUE MAX
	if ! [[ $2 =~ ^[0-9]+$ ]] || (($2 < 1 || $2 > $3)); then
		die "$1 must be a whole number from 1 to $3"
	fi
}

# ------------------------------------------------------------------ setup

ensure_packages() { # COMMAND=PACKAGE...: installs the packages of the commands not found
	local pair cmd missing=()
	for pair in "$@"; do
		cmd=${pair%%=*}
		command -v "$cmd" >/dev/null || PATH="$PATH:/usr/sbin:/sbin" command -v "$cmd" >/dev/null ||
			missing+=("${pair#*=}")
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

check_host() { # WHY WHO: root for WHY; on one CPU, WHO share it with the server
	((EUID == 0)) || die "run as root ($1)"
	if (($(nproc) < 2)); then
		log "only one CPU: server and $2 share CPU 0"
		SERVER_CPU=0 LOAD_CPU=0
	fi
}

# begin_run PREFIX: the lock, the traps that clean up, and the work directory /tmp/PREFIX-bench.*
begin_run() {
	exec 9>"$LOCK_FILE"
	flock -n 9 || die "another benchmark run holds $LOCK_FILE"
	trap cleanup EXIT
	trap 'exit 130' INT TERM
	trap 'log "failed at line $LINENO: $BASH_COMMAND"' ERR
	LOAD_START=$(load_average)
	WORK=$(mktemp -d "/tmp/$1-bench.XXXXXX")
	RESULTS="$WORK/results.tsv"
	: >"$RESULTS"
}

in_srv() { ip netns exec "$SRV_NS" "$@"; }
in_up() { ip netns exec "$UP_NS" "$@"; }

# The exact name: other scripts make namespaces whose names begin like these.
netns_exists() { ip netns list | awk '{print $1}' | grep -qxF "$1"; }

create_namespaces() {
	if netns_exists "$SRV_NS" || netns_exists "$UP_NS"; then
		die "namespaces $SRV_NS/$UP_NS exist (a crashed run: bench/$(basename "$0") --cleanup)"
	fi
	NS_CREATED=1
	ip netns add "$SRV_NS"
	ip netns add "$UP_NS"
	ip link add "$SRV_IF" netns "$SRV_NS" type veth peer name "$UP_IF" netns "$UP_NS"
	in_srv ip link set lo up
	in_up ip link set lo up
	in_srv ip addr add "$SRV_ADDR/$NET_PREFIX" dev "$SRV_IF"
	local addr
	for addr in ${UP_ADDRS:-$UP_ADDR}; do in_up ip addr add "$addr/$NET_PREFIX" dev "$UP_IF"; done
	in_srv ip link set "$SRV_IF" up
	in_up ip link set "$UP_IF" up
	# Only the connected subnet and loopback: nothing can leave these namespaces.
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

# A pid is signalled only while it is this script's child: once one has ended and been reaped,
# its number may be another process's.
own_child() { [[ $(awk '/^PPid:/{print $2}' "/proc/$1/status" 2>/dev/null) == "$$" ]]; }

stop_pid() { # PID: SIGTERM, then SIGKILL after 5 s
	local pid=$1 i
	if [[ -z $pid ]] || ! own_child "$pid"; then return 0; fi
	kill -TERM "$pid" 2>/dev/null || return 0
	for ((i = 0; i < 50; i++)); do
		proc_alive "$pid" || break
		sleep 0.1
	done
	if proc_alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
	wait "$pid" 2>/dev/null || true
}

cleanup() {
	local rc=$?
	trap - EXIT INT TERM ERR
	local i
	for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${STARTED_PIDS[i]}"; done
	((NS_CREATED)) && delete_namespaces
	# What ran in the namespaces is gone: the clients' wrappers outside them end at once.
	wait 2>/dev/null || true
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
# from the work directory (through SPAWN_WRAPPER when the script sets one); sets SPAWNED_PID to
# the pid of COMMAND itself (every step execs).
spawn() {
	local ns=$1 cpu=$2 out=$3 name
	shift 3
	(cd "$WORK" && exec "${SPAWN_WRAPPER[@]}" ip netns exec "$ns" taskset -c "$cpu" "$@") >"$out" 2>&1 &
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

udp53_bound() { udp_bound 53; }
udp_bound() { in_srv ss -Hlun "sport = :$1" | grep -q .; }

# Asked with a name outside the bench sets, so that no bench name is asked before its run.
answers_ns() { # NS ADDRESS
	[[ $(ip netns exec "$1" dig +short +time=1 +tries=1 @"$2" ns.bench.test A) == "$UP_ADDR" ]]
}

# nsd on UP_ADDR:53 in UP_NS, authoritative for bench.test from $WORK/bench.test.zone; sets NSD_PID.
start_nsd_upstream() {
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
	# A large zone takes a while to load on a busy machine.
	wait_until 60 answers_ns "$SRV_NS" "$UP_ADDR" || die "nsd does not answer (see $WORK/nsd.out, $WORK/nsd.log)"
	log "nsd answers on $UP_ADDR"
}

# stop_server NAME REP [PORT]: SIGTERM to SERVER_PID, which listens on PORT (53), its exit status
# recorded; the output of the run of STATS_SERVER (quillforthd's statistics at exit) kept for the
# report.
stop_server() {
	local name=$1 rep=$2 port=${3:-53} rc=0
	kill -TERM "$SERVER_PID" 2>/dev/null || true
	# Bounded wait: a server that ignores SIGTERM for 15 s is killed.
	timeout 15 tail --pid="$SERVER_PID" -f /dev/null || kill -KILL "$SERVER_PID" 2>/dev/null || true
	wait "$SERVER_PID" || rc=$?
	SERVER_PID=""
	record "$name" "$rep" exit_status "$rc"
	record "$name" "$rep" exit_ok "$((rc == 0))"
	if [[ $name == "${STATS_SERVER:-quillforthd}" ]]; then
		cp "$WORK/$name-r$rep.out" "$WORK/quillforthd-last.out"
	fi
	wait_until 10 bash -c "! ip netns exec $SRV_NS ss -Hlun 'sport = :$port' | grep -q ." ||
		die "port $port still bound after $name stopped"
	log "$name stopped, exit status $rc"
}

# ------------------------------------------------------------------ measurements

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$RESULTS"; }

recorded() { # NAME REP KEY: the value last recorded, empty when none
	awk -F'\t' -v n="$1" -v r="$2" -v k="$3" '$1 == n && $2 == r && $3 == k {v = $4} END {print v}' \
		"$RESULTS"
}

# CPU time of a process (all its threads, user + system) in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

# ------------------------------------------------------------------ report

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

write_meta() { # meta.tsv: the machine and the command, then the script's meta_lines
	local cpu mem rev
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
		meta_lines "$rev"
		printf 'load\t%s at the start, %s at the end\n' "$LOAD_START" "$(load_average)"
		if [[ -f $WORK/quillforthd-last.out ]]; then
			printf 'quillforthd_stats_file\t%s\n' "$WORK/quillforthd-last.out"
		fi
	} >"$WORK/meta.tsv"
}

report() {
	write_meta
	"$PY" "$TOOL" report "$RESULTS" "$WORK/meta.tsv" >"$WORK/report.md"
	cp "$WORK/report.md" "$OUT_FILE"
	cat "$WORK/report.md"
	log "table written to $OUT_FILE"
}

# ------------------------------------------------------------------ main

# have_quillforthd NAME: whether the daemon is built; when not, NAME is noted as skipped.
have_quillforthd() {
	[[ -x $QUILLFORTHD ]] && return 0
	log "NOTE: $QUILLFORTHD not found: $1 is skipped (set QUILLFORTHD=path)"
	record - 0 note "$1 skipped: $QUILLFORTHD not found"
	return 1
}

rotated() { # REP: the server list rotated by REP-1, so the order alternates
	local -a list
	read -ra list <<<"$SERVERS"
	local n=${#list[@]} i
	for ((i = 0; i < n; i++)); do printf '%s ' "${list[(i + $1 - 1) % n]}"; done
}

# run_all: every server of SERVERS once per repetition, then the report.
run_all() {
	local rep name
	for ((rep = 1; rep <= REPS; rep++)); do
		for name in $(rotated "$rep"); do run_server "$name" "$rep"; done
	done
	report
	FAILED=0
}
