#!/usr/bin/env bash
# Failover benchmark: latency of new names when the first upstream server of the list is silent,
# quillforthd against dnsmasq (default and --all-servers) and unbound (a forward-zone holding both
# addresses in the same order).
#
# Usage (as root): bench/failover_bench.sh [--quick] [--reps N] [--rate Q] [--seconds S]
#                  [--timeout T] [--servers LIST] [--together] [--out FILE] [--keep]
#                  bench/failover_bench.sh --cleanup
#
# Two network namespaces made here and joined only to each other by a veth pair (198.18.0.0/29,
# no route out): qfbf-srv holds the server under test on 127.0.0.1:53 and the client; qfbf-up holds
# the silent server on 198.18.0.6 (first in every list) and nsd on 198.18.0.2 (second),
# authoritative for the bench names. Each run asks names never asked before, one query each at a
# fixed rate. SERVERS: quillforthd, dnsmasq, dnsmasq-all, unbound (all four by default), and
# direct: nsd asked itself, the reference without a forwarder. With --together, the servers of a
# repetition run side by side, each on a port of its own, and the client asks them turn by turn,
# each at the rate: what the shared machine does to latency meanwhile falls on all of them alike.
# See bench/README.md.
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
FLAG_OPTIONS=([--together]=TOGETHER)
TOGETHER=0
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

write_unbound_conf() { # FILE REP PORT
	cat >"$1" <<EOF
server:
    interface: 127.0.0.1
    port: $3
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

# The port a server listens on: 53, or one of its own when the servers run together.
port_of() {
	((TOGETHER)) || {
		echo 53
		return
	}
	case $1 in
	quillforthd) echo 5301 ;;
	dnsmasq) echo 5302 ;;
	dnsmasq-all) echo 5303 ;;
	unbound) echo 5304 ;;
	esac
}

start_server() { # NAME REP: sets SERVER_PID
	local name=$1 rep=$2 out="$WORK/$1-r$2.out" port
	port=$(port_of "$1")
	local dnsmasq_args=(--keep-in-foreground --conf-file=/dev/null --no-resolv --no-poll --no-hosts
		--server="$SILENT_ADDR#53" --server="$UP_ADDR#53" --listen-address=127.0.0.1
		--bind-interfaces --port="$port" --cache-size=20000 --user=root --group=root --pid-file=
		--log-facility="$WORK/$name-r$rep.log")
	case $name in
	dnsmasq) spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsmasq "${dnsmasq_args[@]}" ;;
	dnsmasq-all) spawn "$SRV_NS" "$SERVER_CPU" "$out" dnsmasq "${dnsmasq_args[@]}" --all-servers ;;
	unbound)
		write_unbound_conf "$WORK/unbound.conf" "$rep" "$port"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" unbound -d -c "$WORK/unbound.conf"
		;;
	quillforthd)
		rm -f "$WORK/quillforthd-r$rep.csv"
		spawn "$SRV_NS" "$SERVER_CPU" "$out" "$QUILLFORTHD" --listen "$port" \
			--upstream "$SILENT_ADDR" --upstream "$UP_ADDR" --cache "$WORK/quillforthd-r$rep.csv"
		;;
	esac
	SERVER_PID=$SPAWNED_PID
	wait_until 20 udp_bound "$port" || die "$name does not listen on 127.0.0.1:$port (see $out)"
	proc_alive "$SERVER_PID" || die "$name exited at start (see $out)"
}

# run_client TARGETS TAG: the paced client over this run's names (set SET), asking TARGETS
# (ADDR:PORT,...); its figures go to $WORK/TAG-client.tsv.
run_client() {
	timeout -k 5 $((RUN_SECS + TIMEOUT + 20)) ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		"$PY" "$TOOL" client "$1" "$WORK/names-s$SET.txt" "$RATE" "$RUN_SECS" "$TIMEOUT" \
		"$WORK/$2-queries" >"$WORK/$2-client.tsv" 2>"$WORK/$2-client.err" &
	# In the background so that a signal to this script ends the run at once (the cleanup kills
	# what runs in the namespaces).
	wait $! || log "$2: the client failed (see $WORK/$2-client.err)"
}

log_figures() { # NAME REP
	log "$1 r$2: answered $(recorded "$1" "$2" all.answered_pct) %," \
		"after the first second median $(recorded "$1" "$2" after.median_ms) ms," \
		"p99 $(recorded "$1" "$2" after.p99_ms) ms"
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
	run_client "$target:53" "$name-r$rep"
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
	log_figures "$name" "$rep"
	[[ $name == direct ]] && return 0
	proc_alive "$SERVER_PID" || log "$name exited during the run (see $WORK/$name-r$rep.out)"
	stop_server "$name" "$rep"
}

# run_together REP: every server fresh and side by side, asked turn by turn from one set of names
# never asked before (in turns whose order rotates, each server at RATE).
run_together() {
	local rep=$1 name j targets="" start end key value
	local -a names pids
	read -ra names <<<"$(rotated "$rep")"
	SET=$((SET + 1))
	log "=== repetition $rep, together: ${names[*]}, $((RATE * RUN_SECS)) new names each at $RATE q/s"
	proc_alive "$SILENT_PID" || die "the silent server has ended (see $WORK/silent.out)"
	for name in "${names[@]}"; do
		if [[ $name == direct ]]; then
			targets+=",$UP_ADDR:53"
			pids+=("")
		else
			start_server "$name" "$rep"
			targets+=",127.0.0.1:$(port_of "$name")"
			pids+=("$SERVER_PID")
		fi
	done
	sleep 0.5
	run_client "${targets#,}" "together-r$rep"
	end=$(date +%s.%N)
	while IFS=$'\t' read -r j key value; do
		record "${names[j]}" "$rep" "$key" "$value"
	done <"$WORK/together-r$rep-client.tsv"
	start=$(recorded "${names[0]}" "$rep" wall_start)
	for j in "${!names[@]}"; do
		name=${names[j]}
		if [[ -n $start ]]; then
			while IFS=$'\t' read -r key value; do
				record "$name" "$rep" "$key" "$value"
			done < <("$PY" "$TOOL" silentcount "$WORK/silent.log" "$start" "$end" "${#names[@]}" "$j")
		fi
		log_figures "$name" "$rep"
		[[ -n ${pids[j]} ]] || continue
		SERVER_PID=${pids[j]}
		proc_alive "$SERVER_PID" || log "$name exited during the run (see $WORK/$name-r$rep.out)"
		stop_server "$name" "$rep" "$(port_of "$name")"
	done
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
	if ((TOGETHER)); then
		printf 'params\t%s repetition(s), servers side by side, asked turn by turn; per server and ' "$REPS"
		printf 'run %s new names at %s queries/s ' "$((RATE * RUN_SECS))" "$RATE"
	else
		printf 'params\t%s repetition(s), servers alternating; per run %s new names at %s queries/s ' \
			"$REPS" "$((RATE * RUN_SECS))" "$RATE"
	fi
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
	local count=$(($(wc -w <<<"$SERVERS"))) runs=$REPS per_set=$((RATE * RUN_SECS))
	if ((TOGETHER)); then
		per_set=$((per_set * count))
		((per_set <= 65536)) || die "--rate × --seconds × servers must stay within 65,536 queries"
	else
		runs=$((count * REPS))
	fi
	"$PY" "$TOOL" gen "$WORK" "$runs" "$per_set" "$UP_ADDR"
	log "servers: $SERVERS; $REPS repetition(s) of $RUN_SECS s at $RATE q/s; work dir $WORK"
	create_namespaces
	start_upstreams
	if ((TOGETHER)); then
		local rep
		for ((rep = 1; rep <= REPS; rep++)); do run_together "$rep"; done
		report
		FAILED=0
	else
		run_all
	fi
}

main "$@"
