# Sourced by quillforthd's end-to-end scripts: namespaces joined by veth pairs in 198.18.0.0/15
# with no route out, removed at exit with all in them; $work; checks; `require TOOL...` (77); the
# real DNS servers of tests/support/dns_servers.sh (`start_nsd`, `start_doh_servers`).
# shellcheck source=../support/dns_servers.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/dns_servers.sh"
work=$(mktemp -d)
failures=0
namespaces=()
links=0
cleanup() {
    local namespace
    for namespace in "${namespaces[@]}"; do
        ip netns pids "$namespace" 2>/dev/null | xargs -r kill -9 2>/dev/null
        ip netns del "$namespace" 2>/dev/null
        rm -rf "/etc/netns/$namespace"
    done
    rm -rf "$work"
}
trap cleanup EXIT

require() {
    local tool
    for tool in ip dig "$@"; do
        if [ "$(id -u)" -ne 0 ] || ! command -v "$tool" >/dev/null; then
            echo "skipped: needs root and ip dig $*"
            exit 77
        fi
    done
}
check() {
    [ "$2" == "$3" ] && echo "ok: $1" && return
    echo "FAILED: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
}
# Namespaces NAME... with loopback up.
add_namespaces() {
    local namespace
    for namespace; do
        namespaces+=("$namespace")
        ip netns add "$namespace"
        ip -n "$namespace" link set lo up
    done
}
# link NAMESPACE ADDRESS OTHER_NAMESPACE OTHER_ADDRESS: a veth pair, a /30 at each end.
link() {
    links=$((links + 1))
    ip -n "$1" link add "qv$links" type veth peer name "qw$links" netns "$3"
    ip -n "$1" addr add "$2/30" dev "qv$links"
    ip -n "$3" addr add "$4/30" dev "qw$links"
    ip -n "$1" link set "qv$links" up
    ip -n "$3" link set "qw$links" up
}
# wait_for NAMESPACE SERVER NAME: until SERVER answers NAME asked from NAMESPACE (5 s at most).
wait_for() {
    for _ in $(seq 50); do
        ip netns exec "$1" dig +tries=1 +time=1 "@$2" "$3" >/dev/null 2>&1 && return
        sleep 0.1
    done
}
