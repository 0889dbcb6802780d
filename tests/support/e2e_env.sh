# Sourced by the end-to-end scripts that run the real Quillforth.exe under Wine: the program (with
# its wineserver and Xvfb) in a network namespace, a fake upstream in a second one joined by a veth
# pair in 198.18.0.0/15 with no route out, a fresh Wine prefix, and helpers to drive the windows and
# query with dig. A script calls e2e_require (77: skipped), e2e_exe_setup (or e2e_setup and
# e2e_install_exe), e2e_start ($program), its checks, then e2e_finish. $upstream_log has a line
# "udp|tcp NAME [TYPE unless A]" per query that reached the upstream; $adapter_servers is the
# adapter's "NameServer" before any takeover. The prefix's ipconfig.exe is a stand-in (Wine's own
# knows neither /registerdns nor /flushdns) that logs its arguments, a line per call, to
# $ipconfig_log and fails ("fail") or hangs ("hang") when $ipconfig_mode says so. QF_E2E_SHOTS=DIR
# keeps the scripts' screenshots.

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
caption="Quillforth v1.80"
upstream_address=198.18.9.2
# A server that never answers: the fake's namespace takes what is sent to it and drops it.
silent_address=198.18.10.1
failures=0
work='' prefix='' display='' srv='' up='' program='' bin=''

e2e_require() {
    if [ "$(id -u)" -ne 0 ] || [ ! -x "$wine" ] || ! command -v Xvfb >/dev/null ||
        ! command -v dig >/dev/null || ! command -v ip >/dev/null; then
        echo "skipped: needs root, wine64, Xvfb, ip and dig"
        exit 77
    fi
}

e2e_cleanup() {
    [ -n "$prefix" ] && WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1
    local namespace
    for namespace in $srv $up; do
        ip netns pids "$namespace" 2>/dev/null | xargs -r kill -9 2>/dev/null
        ip netns del "$namespace" 2>/dev/null
        rm -rf "/etc/netns/$namespace"
    done
    [ -n "$work" ] && rm -rf "$work"
}

check() {
    local what=$1 expected=$2 actual=$3
    if [ "$expected" == "$actual" ]; then
        echo "ok: $what"
    else
        echo "FAILED: $what: expected [$expected], got [$actual]"
        failures=$((failures + 1))
    fi
}
# check_soon SECONDS WHAT EXPECTED COMMAND...: COMMAND every 0.1 s until it prints EXPECTED.
check_soon() {
    local deadline=$((SECONDS + $1)) what=$2 expected=$3 actual
    shift 3
    until actual=$("$@") && [ "$actual" == "$expected" ] || [ "$SECONDS" -gt "$deadline" ]; do
        sleep 0.1
    done
    check "$what" "$expected" "$actual"
}
# Runs COMMAND every 0.1 s until it succeeds, for SECONDS at most; fails when it never did.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -le "$deadline" ] || return 1
        sleep 0.1
    done
}

e2e_finish() {
    echo "$failures failed"
    [ "$failures" -eq 0 ]
}

# Runs a command in the program's namespace, with its prefix and display.
in_srv() {
    ip netns exec "$srv" env WINEPREFIX="$prefix" WINEDEBUG=-all \
        WINEDLLOVERRIDES='mscoree,mshtml=;ipconfig.exe=n' DISPLAY="$display" "$@"
}
window() {
    in_srv "$wine" "$window_tool" "$@" 2>/dev/null | tr -d '\r'
}
# dig against the proxy (at $server, 127.0.0.1 unless set): the answer lines, blanks squeezed.
query() {
    ip netns exec "$srv" dig +tries=1 +time=2 +noall +answer "@${server:-127.0.0.1}" "$@" |
        tr -s '\t ' ' '
}

# The screen as SHOT with the X windows XID... drawn in: without a window manager a window opening
# over another may show black on the screen's shot for a while; read on its own it is right.
screenshot() {
    [ -n "${QF_E2E_SHOTS:-}" ] && command -v xwd >/dev/null && command -v convert >/dev/null ||
        return 0
    local shot=$QF_E2E_SHOTS/$1.png id info
    mkdir -p "$QF_E2E_SHOTS"
    in_srv xwd -root -silent | convert xwd:- "$shot"
    for id in "${@:2}"; do
        info=$(in_srv xwininfo -id "$id")
        grep -q IsViewable <<<"$info" || continue
        in_srv xwd -id "$id" -silent | convert "$shot" xwd:- -geometry "$(awk '
            /Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4}
            END {print "+" x "+" y}' <<<"$info")" -composite "$shot"
    done
}
# A screenshot with the window named CAPTION drawn in, as SHOT.
dialog_shot() {
    screenshot "$2" "$(in_srv xwininfo -name "$1" | awk '/Window id:/ {print $4}')"
}
# A screenshot with the program's open popup menus drawn in, as SHOT.
menu_shot() {
    # shellcheck disable=SC2046
    screenshot "$1" $(in_srv xwininfo -root -tree |
        awk '/\(has no name\): \("quillforth.exe"/ && !/ 1x1\+/ {print $1}')
}

box_shows() {
    [ -n "$(window text "$1" 65535)" ]
}
# Until a box CAPTION shows (10 s at most): its text; photographed as SHOT, then answered OK.
wait_for_box() {
    wait_until 10 box_shows "$1"
    sleep 0.2
    screenshot "$2"
    window box "$1"
}
ended() {
    ! kill -0 "$1" 2>/dev/null
}
# Until the process ends (10 s at most): "ended" or "running".
wait_ended() {
    wait_until 10 ended "$1" && echo ended || echo running
}
# Until the program answers on port 53 (it needs a few seconds to start under Wine) the name
# $ready_name, ready.test unless set.
# Waits until the program answers; one that does not within 60 s (Wine is slow to start on a busy
# machine) ends the script, saying whether it still runs and with the end of its error output,
# rather than failing every check after.
wait_serving() {
    wait_until 60 ip netns exec "$srv" dig +tries=1 +time=1 @127.0.0.1 "${ready_name:-ready.test}" \
        >/dev/null 2>&1 && return
    echo "FAILED: the program serves within 60 s of its start"
    kill -0 "$program" 2>/dev/null || echo "    it has ended"
    tail -n 20 "$work/stderr" 2>/dev/null | sed 's/^/    stderr: /'
    failures=$((failures + 1))
    e2e_finish
    exit 1
}
# The tray menu's "&Exit", checked to end the program.
check_exit() {
    window command "$caption" 32772
    check "${1:-Exit ends the program}" ended "$(wait_ended "$program")"
}

# Line LINE (the first: the program's state) of the tray icon's status text, as its balloon shows
# it when the pointer rests on the icon.
tray_text() {
    window post "$caption" 0x8005 132 0x200
    sleep 0.8
    window balloon | sed -n "${1:-1}p"
}
# The main dialog's status box, without trailing blanks.
status_text() {
    window text "$caption" 1011 | sed 's/ *$//'
}
# The stand-in ipconfig's last calls (all without a count), comma-separated:
# "/registerdns,/flushdns" after a change.
ipconfig_calls() {
    tr -d '\r' <"$ipconfig_log" 2>/dev/null | tail -n "${1:-+1}" | paste -sd,
}
reg_value() {
    in_srv "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v n="$2" '$1 == n {print $3}'
}
name_server() {
    reg_value "$interface_key" NameServer
}
# The user gives the adapter other DNS servers, which become $adapter_servers.
set_adapter() {
    adapter_servers=$1
    in_srv "$wine" reg add "$interface_key" /v NameServer /d "$1" /f >/dev/null 2>&1
}
ini_value() {
    tr -d '\r' <"$bin/Quillforth.ini" | awk -F= -v key="$1" '$1 == key {print $2}'
}

# register_task NAME: a logon task of that name, as an earlier copy registered it.
register_task() {
    printf '%s\r\n' '<?xml version="1.0" encoding="UTF-16"?>' \
        '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">' \
        '<Actions><Exec><Command>C:\Quillforth.exe</Command></Exec></Actions></Task>' |
        iconv -t UTF-16 >"$work/task.xml"
    in_srv "$wine" schtasks /create /tn "$1" /xml "Z:${work//\//\\}\\task.xml" >/dev/null 2>&1
}
# "yes" or "no" for each logon task NAME..., as Wine keeps them: a file of each name.
tasks_exist() {
    local name
    for name; do
        [ -e "$prefix/drive_c/windows/system32/tasks/$name" ] && echo yes || echo no
    done | paste -sd' '
}
# The logon task of the user who runs the programs ("Quillforth (root on VM)").
own_task() {
    local user
    user=$(window user)
    echo "Quillforth (${user#*\\} on ${user%%\\*})"
}

# dns_client_service FAKE_SERVICE_EXE OPTIONS...: the stand-in registered afresh and started.
dns_client_service() {
    local options=${*:2}
    cp "$1" "$work/bin/dnscache.exe"
    # shellcheck disable=SC2046
    kill -9 $(windows_pids 'dnscache[.]exe') 2>/dev/null
    in_srv "$wine" sc delete Dnscache >/dev/null 2>&1
    in_srv "$wine" sc create Dnscache binpath= "Z:${work//\//\\}\\bin\\dnscache.exe $options" \
        >/dev/null 2>&1
    in_srv "$wine" sc start Dnscache >/dev/null 2>&1
    check_soon 6 "the DNS client service runs before the program starts (${options:-plain})" \
        RUNNING service_state
}
service_state() {
    in_srv "$wine" sc query Dnscache 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}

# The fake upstream answers the given names; it runs until stop_upstream or the end.
start_upstream() {
    FAKE_UPSTREAM_LOG=$upstream_log FAKE_UPSTREAM_TABLE=$work/table \
        ip netns exec "$up" python3 "$fake_upstream" \
        "$upstream_address" 53 "$@" &
    upstream_pid=$!
    disown
}
stop_upstream() {
    kill "$upstream_pid" 2>/dev/null
    wait_until 5 ended "$upstream_pid"
}
# hold_port53 NAMESPACE ADDRESS [tcp]: $holder holds port 53 there and answers nothing.
hold_port53() {
    ip netns exec "$1" python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if sys.argv[2] == "tcp" else socket.SOCK_DGRAM)
s.bind((sys.argv[1], 53))
if sys.argv[2] == "tcp":
    s.listen()
time.sleep(60)' "$2" "${3:-udp}" &
    holder=$!
    wait_until 5 eval "ip netns exec $1 ss -Hlnp -A ${3:-udp} 'sport = :53' | grep -q pid=$holder,"
}

# e2e_setup WINE_TEMPLATE_SCRIPT FAKE_UPSTREAM_PY WINDOW_TOOL_EXE [NAME=IP[|IP...] ...]
e2e_setup() {
    local template namespace
    template=$("$1") || exit 1
    fake_upstream=$2
    window_tool=$3
    shift 3
    srv=qfe-srv-$$
    up=qfe-up-$$
    work=$(mktemp -d)
    prefix=$work/prefix
    upstream_log=$work/upstream.log
    trap e2e_cleanup EXIT

    for namespace in "$srv" "$up"; do
        ip netns add "$namespace"
        ip -n "$namespace" link set lo up
    done
    ip -n "$srv" link add veth0 type veth peer name veth1 netns "$up"
    ip -n "$srv" addr add 198.18.9.1/30 dev veth0
    ip -n "$up" addr add "$upstream_address/30" dev veth1
    ip -n "$srv" link set veth0 up
    ip -n "$up" link set veth1 up
    ip -n "$srv" route add "$silent_address/32" via "$upstream_address"
    start_upstream "$@"

    # The program's folder; a script may choose another before it installs the program.
    bin=$work/bin
    mkdir -p "$prefix" "$bin"
    cp -al "$template/." "$prefix/"
    cp --remove-destination "$template"/{system,user,userdef}.reg "$prefix/"
    # Not through the hard link, which the template shares.
    cp --remove-destination "$(dirname "$window_tool")/fake_ipconfig.exe" \
        "$prefix/drive_c/windows/system32/ipconfig.exe"
    ipconfig_log=$prefix/drive_c/ipconfig.log
    ipconfig_mode=$prefix/drive_c/ipconfig.mode

    # Xvfb picks a free display, or QF_E2E_DISPLAY names one on a local socket (the namespace
    # reaches no other).
    if [ -n "${QF_E2E_DISPLAY:-}" ]; then
        display=$QF_E2E_DISPLAY
    else
        in_srv Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
            >"$work/xvfb.log" 2>&1 &
        disown
        wait_until 5 test -s "$work/display"
        display=:$(head -1 "$work/display")
    fi
    # The wineserver must live in the namespace: the program's sockets are its sockets.
    in_srv "$wineserver" -p >/dev/null 2>&1 </dev/null

    # The adapter gets its interface key, which a fresh prefix lacks, holding the servers that the
    # system reports for it (under Wine the host's, out of the namespace's reach): a takeover must
    # point it at the proxy and a restore bring them back.
    # Both are tried until they succeed: an adapter left without its key is never taken over.
    wait_until 10 eval 'read -r adapter adapter_servers <<<"$(window adapters)"
        [ -n "$adapter" ]'
    adapter_servers=${adapter_servers:-198.18.9.3}
    interface_key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\$adapter"
    record_key="HKLM\\SOFTWARE\\Veltmark\\Quillforth\\DnsServers\\$adapter\\Tcpip"
    wait_until 10 in_srv "$wine" reg add "$interface_key" /v NameServer /t REG_SZ \
        /d "$adapter_servers" /f >/dev/null 2>&1
}

# The program in $bin, its INI naming the fake upstream (or the servers of $dns_setting),
# autostart off, then KEY=VALUE...
e2e_install_exe() {
    cp "$1" "$bin/Quillforth.exe"
    printf '%s\r\n' '[Settings]' "Dns=${dns_setting:-$upstream_address}" StartAtLogin=0 "${@:2}" \
        >"$bin/Quillforth.ini"
}

# e2e_exe_setup QUILLFORTH_EXE WINDOW_TOOL_EXE FAKE_UPSTREAM_PY WINE_TEMPLATE_SCRIPT NAME=IP...;
# the probe's host answers too, so that the upstream counts as up.
e2e_exe_setup() {
    e2e_setup "$4" "$3" "$2" www.example.com=198.19.0.9 "${@:5}"
    e2e_install_exe "$1"
}

# Starts the installed program in the background ($program) and waits until it serves. The mouse
# pointer rests in the screen's corner, where it opens no help balloon of the dialog.
e2e_start() {
    window pointer 1020 760
    in_srv "$wine" "$bin/Quillforth.exe" >>"$work/stdout" 2>>"$work/stderr" </dev/null &
    program=$!
    wait_serving
}

# The pids of the namespace's processes whose command line matches the pattern (lower case): the
# Windows process is not always the one that the shell started.
windows_pids() {
    ip netns pids "$srv" | xargs -r ps -o pid=,args= -p | awk -v p="$1" 'tolower($0) ~ p {print $1}'
}
# Kills every Quillforth.exe of the namespace without warning.
kill_program() {
    local victims victim
    victims=$(windows_pids 'quillforth[.]exe')
    # shellcheck disable=SC2086
    kill -9 $victims "$program" 2>/dev/null
    wait "$program" 2>/dev/null
    for victim in $victims; do
        check "a killed program ends" "ended" "$(wait_ended "$victim")"
    done
}
