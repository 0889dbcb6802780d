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
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$BENCH_DIR/bench_lib.sh"
TOOL="$BENCH_DIR/failover_tool.py"

SRV_NS=qfbf-srv
UP_NS=qfbf-up
SRV_IF=qfbf-s0
UP_IF=qfbf-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2     # nsd: the server that answers, second in every list
SILENT_ADDR=198.18.0.6 # takes queries, never answers: first in every list
UP_ADDRS="$UP_ADDR $SILENT_ADDR"
NET_PREFIX=29

REPS=3
RATE=50       # queries per second, each a new name
RUN_SECS=30   # sending time of one run
TIMEOUT=5     # the client's wait for each answer (no retries), as glibc's resolver per try
TOLERANCE=1.10 # a latency ratio up to this reads "met within the noise"
SERVER_CPU=${QFF_SERVER_CPU:-0}
LOAD_CPU=${QFF_LOAD_CPU:-1}
ALL_SERVERS="quillforthd dnsmasq dnsmasq-all unbound"
OUT_FILE="$BENCH_DIR/failover-latest.md"
COMMAND_LINE="bench/failover_bench.sh${*:+ $*}"
SILENT_PID=""

VALUE_OPTIONS=([--rate]=RATE [--seconds]=RUN_SECS [--timeout]=TIMEOUT)
check_args() {
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
}

# ------------------------------------------------------------------ processes

silent_bound() { in_up ss -Hlun "src $SILENT_ADDR" | grep -q ':53 '; }

# The silent server stays silent: a query to it gets nothing, not even an ICMP error.
silent_is_silent() {
	local got rc=0
	got=$(in_srv dig +time=1 +tries=1 @"$SILENT_ADDR" ns.bench.test A 2>&1) || rc=$?
	[[ $rc == 9 && $got == *"timed out"* ]]
}

start_upstreams() {
	start_nsd_upstream
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

meta_lines() { # REV
	printf 'versions\tdnsmasq %s, unbound %s, nsd %s (upstream), client bench/failover_tool.py ' \
		"$(version_of dnsmasq)" "$(version_of unbound)" "$(version_of nsd)"
	printf '(python %s), quillforthd at commit %s\n' "$(version_of python3)" "$1"
	printf 'upstreams\t%s:53 silent (a bound UDP socket that never answers, a TCP listener that never ' \
		"$SILENT_ADDR"
	printf 'accepts) first, %s:53 nsd second, in every server'"'"'s list\n' "$UP_ADDR"
	printf 'pinning\tserver on CPU %s; client, nsd and the silent server on CPU %s (taskset)\n' \
		"$SERVER_CPU" "$LOAD_CPU"
	printf 'params\t%s repetition(s), servers alternating; per run %s new names at %s queries/s ' \
		"$REPS" "$((RATE * RUN_SECS))" "$RATE"
	printf '(%s s), one A query each, no retries, %s s time-out\n' "$RUN_SECS" "$TIMEOUT"
	printf 'tolerance\t%s\n' "$TOLERANCE"
}

# ------------------------------------------------------------------ main

select_servers() { # drops quillforthd with a note when it is not built
	local s kept=""
	for s in $SERVERS; do
		case $s in
		dnsmasq | dnsmasq-all | unbound | direct) kept+=" $s" ;;
		quillforthd) if have_quillforthd "$s"; then kept+=" $s"; fi ;;
		*) die "unknown server '$s' (quillforthd, dnsmasq, dnsmasq-all, unbound, direct)" ;;
		esac
	done
	SERVERS=${kept# }
	[[ -n $SERVERS ]] || die "no server to measure"
}

main() {
	parse_args "$@"
	check_host "namespaces, port 53" "client"
	ensure_packages dnsmasq=dnsmasq-base unbound=unbound nsd=nsd dig=bind9-dnsutils \
		taskset=util-linux ip=iproute2 ss=iproute2 flock=util-linux timeout=coreutils
	begin_run qfbf
	select_servers
	local runs
	runs=$(($(wc -w <<<"$SERVERS") * REPS))
	"$PY" "$TOOL" gen "$WORK" "$runs" "$((RATE * RUN_SECS))" "$UP_ADDR"
	log "servers: $SERVERS; $REPS repetition(s) of $RUN_SECS s at $RATE q/s; work dir $WORK"
	create_namespaces
	start_upstreams
	run_all
}

main "$@"
