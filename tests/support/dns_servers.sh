# Sourced by the end-to-end scripts (and benchmarks) that need real DNS servers in namespaces of
# their own, and hold $work: an authoritative nsd, and dnsdist's DNS-over-HTTPS front end before
# it with certificates of a test CA made here. A process trusts that CA through
# $work/bundle.crt (the system's roots and the test CA), bind-mounted over the system's bundle in
# a mount namespace of its own: libcurl and Wine's certificate store both read that file.
# `burst` asks a proxy many new names at once.

# start_nsd NAMESPACE ADDRESS ZONE: nsd on ADDRESS:53 in NAMESPACE, authoritative for ZONE from
# $work/ZONE.zone, in the background; its pid file is $work/nsd.pid.
start_nsd() {
    cat >"$work/nsd.conf" <<CONF
server:
    ip-address: $2
    port: 53
    username: ""
    chroot: ""
    zonesdir: "$work"
    database: ""
    zonelistfile: "$work/zone.list"
    xfrdfile: "$work/xfrd.state"
    xfrdir: "$work"
    pidfile: "$work/nsd.pid"
    logfile: "$work/nsd.log"
zone:
    name: $3
    zonefile: $3.zone
CONF
    ip netns exec "$1" nsd -d -c "$work/nsd.conf" >"$work/nsd.out" 2>&1 &
}

# certificate NAME CA SUBJECT_NAME [openssl x509 options...]: $work/NAME.crt and .key for
# SUBJECT_NAME, signed by $work/CA; valid for two days unless the options say otherwise.
certificate() {
    local name=$1 ca=$2 subject=$3
    shift 3
    [ $# -gt 0 ] || set -- -days 2
    openssl req -newkey rsa:2048 -nodes -keyout "$work/$name.key" -out "$work/$name.csr" \
        -subj "/CN=$subject" 2>/dev/null
    printf 'subjectAltName=DNS:%s\n' "$subject" >"$work/$name.ext"
    openssl x509 -req -in "$work/$name.csr" -CA "$work/$ca.crt" -CAkey "$work/$ca.key" \
        -CAcreateserial -extfile "$work/$name.ext" -out "$work/$name.crt" "$@" 2>/dev/null
}

# start_doh_servers NAMESPACE ADDRESS: in NAMESPACE, nsd on ADDRESS:53 for the zone "test." (www
# with A, AAAA and MX, long with a TXT over 512 bytes, dns: the DoH server's own name, at
# ADDRESS), and dnsdist forwarding to it with DoH on ADDRESS, path /dns-query: on port 443 with a
# certificate for dns.test, 444 one for other.test, 445 an expired one for dns.test, 446 one for
# dns.test from a CA nobody trusts. Every query dnsdist takes is logged in $work/doh.log; it
# answers the probes' name, www.example.com, itself (198.19.0.9), and refuses a query to port 443
# that is not padded.
start_doh_servers() {
    local ca
    for ca in ca rogue; do
        openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$ca.key" -out "$work/$ca.crt" \
            -days 2 -subj "/CN=Quillforth $ca" 2>/dev/null
    done
    certificate good ca dns.test
    certificate other ca other.test
    certificate untrusted rogue dns.test
    # Expired as soon as it is made: valid until the second it was signed.
    certificate expired ca dns.test -days 0
    cat /etc/ssl/certs/ca-certificates.crt "$work/ca.crt" >"$work/bundle.crt"

    local long_text
    long_text=$(printf '"%s" ' $(seq -f 'part%03g-of-a-long-text-record' 1 20))
    cat >"$work/test.zone" <<ZONE
\$ORIGIN test.
\$TTL 300
@       SOA   ns admin 1 3600 600 86400 300
@       NS    ns
ns      A     $2
dns     A     $2
www     A     198.19.3.1
www     AAAA  2001:db8::3
www     MX    10 mail.test.
long    TXT   $long_text
ZONE
    start_nsd "$1" "$2" test
    cat >"$work/dnsdist.conf" <<CONF
setSecurityPollSuffix("")
setLocal("127.0.0.1:5399")
addACL("0.0.0.0/0")
newServer({address="$2:53"})
addAction(AllRule(), LogAction("$work/doh.log", false, true, false))
addAction(QNameRule("www.example.com"), SpoofAction("198.19.0.9"))
addAction(AndRule{DSTPortRule(443), NotRule(EDNSOptionRule(12))}, RCodeAction(DNSRCode.REFUSED))
addDOHLocal("$2:443", "$work/good.crt", "$work/good.key", "/dns-query")
addDOHLocal("$2:444", "$work/other.crt", "$work/other.key", "/dns-query")
addDOHLocal("$2:445", "$work/expired.crt", "$work/expired.key", "/dns-query")
addDOHLocal("$2:446", "$work/untrusted.crt", "$work/untrusted.key", "/dns-query")
CONF
    ip netns exec "$1" dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" \
        >"$work/dnsdist.out" 2>&1 &
}

# burst NAMESPACE PORT COUNT LABEL [ADDRESS]: asks COUNT new names LABEL0.test, LABEL1.test... of
# 127.0.0.1:PORT in NAMESPACE all at once, over UDP; prints how many are answered (with ADDRESS
# as the last record, when it is given) within 2 s of the last answer.
burst() {
    ip netns exec "$1" python3 - "${@:2}" <<'PY'
import socket, struct, sys
port, count, label = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode()
address = socket.inet_aton(sys.argv[4]) if len(sys.argv) > 4 else b""
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
for i in range(count):
    name = bytes([len(label)]) + label + bytes([len(b"%d" % i)]) + b"%d" % i + b"\x04test\x00"
    s.sendto(struct.pack(">6H", i, 0x100, 1, 0, 0, 0) + name + b"\0\1\0\1", ("127.0.0.1", port))
ids = set()
try:
    while len(ids) < count:
        reply = s.recv(512)
        if reply.endswith(address):
            ids.add(struct.unpack(">H", reply[:2])[0])
except socket.timeout:
    pass
print(len(ids))
PY
}
