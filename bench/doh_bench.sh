#!/usr/bin/env bash
# DNS-over-HTTPS benchmark: new names forwarded by quillforthd over DoH to dnsdist's DoH front end
# (before an authoritative nsd), by quillforthd over plain UDP to that nsd and to the front end's
# own plain port, and by dnsdist itself over DoH to the same front end.
#
# Usage (as root): bench/doh_bench.sh [--quick] [--reps N] [--rate Q] [--names N] [--seconds S]
#                  [--servers LIST] [--out FILE] [--keep]
#                  bench/doh_bench.sh --cleanup
#
# Two network namespaces made here and joined only to each other by a veth pair (198.18.0.0/30,
# no route out): qfbd-srv holds the server under test on 127.0.0.1:53 and the clients; qfbd-up
# holds nsd on 198.18.0.2:53, authoritative for the bench names, and dnsdist's DoH front end on
# 198.18.0.2:443 (https://doh.bench.test/dns-query, plain DNS on 198.18.0.2:5300, a certificate
# of a test CA made here, trusted through a CA bundle bind-mounted in a mount namespace of the
# run's own). SERVERS: quillforthd-doh, quillforthd-udp, quillforthd-clear, dnsdist, and the
# floors without a forwarder: nsd-direct (nsd asked over UDP by the paced client), front-direct
# (the front end asked by curl over one connection, paced alike) and front-clear-direct (the
# front end asked in clear by the paced client); all seven by default. See bench/README.md.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$BENCH_DIR/bench_lib.sh"
TOOL="$BENCH_DIR/doh_tool.py"
CLIENT="$BENCH_DIR/failover_tool.py"

SRV_NS=qfbd-srv
UP_NS=qfbd-up
SRV_IF=qfbd-s0
UP_IF=qfbd-u0
SRV_ADDR=198.18.0.1
UP_ADDR=198.18.0.2 # nsd on port 53, the DoH front end on 443 and in clear on 5300
FRONT_PLAIN_PORT=5300
NET_PREFIX=30
DOH_HOST=doh.bench.test
DOH_URL="https://$DOH_HOST/dns-query"

REPS=3
RATE=50       # paced queries per second, each a new name
WARMUP=100    # names asked before the timed ones: the connection is open and warm
NAMES=1500    # timed names per run
TPUT_SECS=10  # sustained misses: dnsperf's sending time
TPUT_RATE=80000 # throughput names per second of TPUT_SECS: more than any server here answers
TIMEOUT=5     # the paced client's wait for each answer (no retries)
SERVER_CPU=${QFD_SERVER_CPU:-0}
LOAD_CPU=${QFD_LOAD_CPU:-1}
ALL_SERVERS="quillforthd-doh quillforthd-udp quillforthd-clear dnsdist"
ALL_SERVERS+=" nsd-direct front-direct front-clear-direct"
OUT_FILE="$BENCH_DIR/doh-latest.md"
COMMAND_LINE="bench/doh_bench.sh${*:+ $*}"
STATS_SERVER=quillforthd-doh
FRONT_PID=""

VALUE_OPTIONS=([--rate]=RATE [--names]=NAMES [--seconds]=TPUT_SECS)
check_args() {
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
}

# ------------------------------------------------------------------ setup

# The test CA and the front end's certificate for doh.bench.test, made as the HTTPS end-to-end
# test makes its own; $WORK/bundle.crt is the system's roots and the test CA. Every process
# spawned from then on runs in a mount namespace of its own where that bundle is the system's.
make_certificates() {
	local work=$WORK
	# shellcheck source-path=SCRIPTDIR source=../tests/support/dns_servers.sh
	source "$REPO_DIR/tests/support/dns_servers.sh"
	openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.crt" \
		-days 2 -subj "/CN=Quillforth bench CA" 2>/dev/null
	certificate doh ca "$DOH_HOST"
	[[ -s $work/doh.crt ]] || die "the test certificate was not made"
	cat /etc/ssl/certs/ca-certificates.crt "$work/ca.crt" >"$work/bundle.crt"
	# shellcheck disable=SC2016 # expanded by the inner shell
	SPAWN_WRAPPER=(unshare -m bash -c 'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec "$@"'
		"$work/bundle.crt")
}

# ------------------------------------------------------------------ processes

front_bound() { in_up ss -Htln "src $UP_ADDR" | grep -q ':443 '; }
https_conns() { in_srv ss -Htn state established '( dport = :443 )' | wc -l; }

# The front end's HTTP/1 and HTTP/2 query counts so far, as "key<TAB>value" lines.
front_counts() {
	timeout 10 ip netns exec "$UP_NS" dnsdist -C "$WORK/front.conf" -c -e 'showDOHFrontends()' \
		>"$WORK/front-console.txt" 2>&1 || true
	"$PY" "$TOOL" frontend "$WORK/front-console.txt"
}

start_upstreams() {
	start_nsd_upstream
	# The DoH front end: no packet cache, so that every name a server forwards reaches nsd.
	cat >"$WORK/front.conf" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:5300")
controlSocket("127.0.0.1:5199")
setKey("$(head -c 32 /dev/urandom | base64)")
addACL("0.0.0.0/0")
newServer({address="$UP_ADDR:53", checkName="ns.bench.test."})
addDOHLocal("$UP_ADDR:443", "$WORK/doh.crt", "$WORK/doh.key", "/dns-query")
addLocal("$UP_ADDR:$FRONT_PLAIN_PORT")
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
	quillforthd-*)
		local upstream=$UP_ADDR
		[[ $name == quillforthd-doh ]] && upstream="$DOH_URL ($UP_ADDR)"
		[[ $name == quillforthd-clear ]] && upstream="$UP_ADDR:$FRONT_PLAIN_PORT"
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

paced() { # TAG NAME REP SET COUNT [ADDR:PORT]: the paced client over names-SET, figures as TAG.*
	local tag=$1 name=$2 rep=$3 out="$WORK/$2-r$3-$1" secs key value
	secs=$(awk -v n="$5" -v r="$RATE" 'BEGIN{printf "%.3f", n / r}')
	timeout -k 5 $((${secs%.*} + TIMEOUT + 20)) ip netns exec "$SRV_NS" taskset -c "$LOAD_CPU" \
		"$PY" "$CLIENT" client "${6:-127.0.0.1:53}" "$WORK/names-$4.txt" "$RATE" "$secs" "$TIMEOUT" \
		"$out-queries" >"$out.tsv" 2>"$out.err" &
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

# The floor over DoH: curl posts the timed names to the front end over one connection, paced as
# the client paces its queries; each one's time counts from its request (the handshake left out).
paced_curl() { # NAME REP
	local out="$WORK/$1-r$2-lat" key value
	rm -rf "$out" && mkdir "$out"
	"$PY" "$TOOL" curlconfig "$out" "$WORK/names-s2.txt" "$NAMES" "$DOH_URL"
	timeout -k 5 $((NAMES / RATE + TIMEOUT + 20)) "${SPAWN_WRAPPER[@]}" ip netns exec "$SRV_NS" \
		taskset -c "$LOAD_CPU" curl -sS --rate "$RATE/s" --max-time "$TIMEOUT" \
		--resolve "$DOH_HOST:443:$UP_ADDR" -K "$out/curl.conf" >"$out.lines" 2>"$out.err" &
	wait $! || log "$1 r$2: curl failed (see $out.err)"
	while IFS=$'\t' read -r key value; do
		record "$1" "$2" "lat.$key" "$value"
	done < <("$PY" "$TOOL" curlstats "$out" "$WORK/names-s2.txt" "$NAMES" <"$out.lines")
}

run_floor() { # NAME REP: the paced names without a forwarder, and no load
	log "=== $1, repetition $2: $NAMES timed names at $RATE q/s, no forwarder"
	record "$1" "$2" order "$ORDER"
	case $1 in
	nsd-direct) paced lat "$1" "$2" s2 "$NAMES" "$UP_ADDR:53" ;;
	front-clear-direct) paced lat "$1" "$2" s2 "$NAMES" "$UP_ADDR:$FRONT_PLAIN_PORT" ;;
	*) paced_curl "$1" "$2" ;;
	esac
	log "$1 r$2: median $(recorded "$1" "$2" lat.all.median_ms) ms," \
		"p99 $(recorded "$1" "$2" lat.all.p99_ms) ms"
}

ORDER=0
run_server() { # NAME REP: a fresh server, its connection warmed, then timed names and the load
	local name=$1 rep=$2 key value
	ORDER=$((ORDER + 1))
	if [[ $name == *-direct ]]; then
		run_floor "$name" "$rep"
		return
	fi
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

meta_lines() { # REV
	printf 'versions\t%s, nsd %s, %s, libcurl %s, quillforthd at commit %s\n' \
		"$(dnsdist --version | head -1 | cut -d' ' -f1-2)" "$(nsd -v 2>&1 | awk '/version/{print $3; exit}')" \
		"$(dnsperf -h 2>&1 | awk '/^Version/{print "dnsperf " $2}')" \
		"$(dpkg-query -W -f '${Version}' libcurl4 2>/dev/null || echo '?')" "$1"
	printf 'upstream\tnsd on %s:53; dnsdist'"'"'s DoH front end (no cache) on %s:443 as %s ' \
		"$UP_ADDR" "$UP_ADDR" "$DOH_URL"
	printf '(and in clear on port %s), ' "$FRONT_PLAIN_PORT"
	printf 'a certificate of a test CA made by the run\n'
	printf 'pinning\tserver on CPU %s; clients, nsd and the DoH front end on CPU %s (taskset)\n' \
		"$SERVER_CPU" "$LOAD_CPU"
	printf 'params\t%s repetition(s), servers alternating; per run %s warm-up names, then %s timed ' \
		"$REPS" "$WARMUP" "$NAMES"
	printf 'names at %s queries/s (one A query each, no retries, %s s time-out), then dnsperf for ' \
		"$RATE" "$TIMEOUT"
	printf 'at most %s s over %s new names (-c 4 -q 200 -t 5)\n' "$TPUT_SECS" "$((TPUT_RATE * TPUT_SECS))"
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
		quillforthd-doh | quillforthd-udp | quillforthd-clear)
			if have_quillforthd "$s"; then kept+=" $s"; fi
			;;
		nsd-direct | front-direct | front-clear-direct) kept+=" $s" ;;
		*) die "unknown server '$s' (${ALL_SERVERS// /, })" ;;
		esac
	done
	SERVERS=${kept# }
	[[ -n $SERVERS ]] || die "no server to measure"
}

main() {
	parse_args "$@"
	check_host "namespaces, mounts, port 53" "clients"
	ensure_packages dnsdist=dnsdist nsd=nsd dnsperf=dnsperf dig=bind9-dnsutils openssl=openssl curl=curl \
		unshare=util-linux taskset=util-linux ip=iproute2 ss=iproute2 flock=util-linux timeout=coreutils
	begin_run qfbd
	select_servers
	"$PY" "$TOOL" gen "$WORK" "$WARMUP" "$NAMES" "$((TPUT_RATE * TPUT_SECS))" "$UP_ADDR"
	make_certificates
	log "servers: $SERVERS; $REPS repetition(s); work dir $WORK"
	create_namespaces
	start_upstreams
	run_all
}

main "$@"
