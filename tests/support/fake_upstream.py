#!/usr/bin/env python3
"""A fake upstream DNS server over UDP and TCP for end-to-end tests, until it is killed.

    fake_upstream.py ADDRESS PORT [+]NAME=IP[|IP...][@TTL] ...

Names in the table get the addresses of the question's type (A or AAAA) with TTL 300 (or the one
given), other types none; other names a name error. Over UDP a "+" name's reply has the TC bit and
only the first address. Each query is logged to $FAKE_UPSTREAM_LOG as "udp|tcp NAME [TYPE unless
A]". With $FAKE_UPSTREAM_RCODE every reply carries that response code and no record; with
$FAKE_UPSTREAM_SILENT=1 no query gets a reply. $FAKE_UPSTREAM_TABLE names a file read again at
every query, one entry a line as on the command line, that changes the answers while the fake
runs; a line "silent" there stops every reply. $FAKE_UPSTREAM_DELAY_MS holds each reply back that
many milliseconds. ADDRESS may be IPv6.
"""
import os
import socket
import socketserver
import struct
import sys
import threading
import time

table, truncated_names = {}, set()
log_lock = threading.Lock()


def add_entry(entry):
    name, joined = entry.split("=", 1)
    if name.startswith("+"):
        name = name[1:]
        truncated_names.add(name.lower())
    addresses, _, ttl = joined.partition("@")
    table[name.lower()] = (addresses.split("|"), int(ttl or 300))


def silenced():
    """Reads the changing table, if any; true when it says that nothing is to be answered."""
    path = os.environ.get("FAKE_UPSTREAM_TABLE")
    if not path or not os.path.exists(path):
        return bool(os.environ.get("FAKE_UPSTREAM_SILENT"))
    with open(path, encoding="latin-1") as lines:
        entries = lines.read().split()
    for entry in entries:
        if "=" in entry:
            add_entry(entry)
    return "silent" in entries


def answer(packet, transport):
    labels, position = [], 12
    while position < len(packet) and packet[position] != 0:
        length = packet[position]
        labels.append(packet[position + 1:position + 1 + length].decode("latin-1"))
        position += 1 + length
    name = ".".join(labels)
    qtype = struct.unpack(">H", packet[position + 1:position + 3])[0]
    if os.environ.get("FAKE_UPSTREAM_LOG"):
        with log_lock, open(os.environ["FAKE_UPSTREAM_LOG"], "a", encoding="latin-1") as log:
            log.write(f"{transport} {name}" + ("" if qtype == 1 else f" {qtype}") + "\n")
    family = {1: socket.AF_INET, 28: socket.AF_INET6}.get(qtype)
    known, ttl = table.get(name.lower(), ([], 300))
    addresses = [address for address in known
                 if family == (socket.AF_INET6 if ":" in address else socket.AF_INET)]
    flags = 0x8180 if name.lower() in table else 0x8183
    if os.environ.get("FAKE_UPSTREAM_RCODE"):
        flags, addresses = 0x8180 | int(os.environ["FAKE_UPSTREAM_RCODE"]), []
    if transport == "udp" and name.lower() in truncated_names:
        flags |= 0x0200
        addresses = addresses[:1]
    header = packet[:2] + struct.pack(">HHHHH", flags, 1, len(addresses), 0, 0)
    records = b"".join(struct.pack(">HHHIH", 0xC00C, qtype, 1, ttl, 16 if qtype == 28 else 4) +
                       socket.inet_pton(family, address) for address in addresses)
    time.sleep(int(os.environ.get("FAKE_UPSTREAM_DELAY_MS", "0")) / 1000)
    return header + packet[12:position + 1 + 4] + records


class Udp(socketserver.BaseRequestHandler):
    def handle(self):
        packet, server = self.request
        if len(packet) >= 17:
            silent = silenced()
            reply = answer(packet, "udp")
            if not silent:
                server.sendto(reply, self.client_address)


class Tcp(socketserver.StreamRequestHandler):
    """Several queries may come over one connection, each with its two length bytes."""
    def handle(self):
        while len(prefix := self.rfile.read(2)) == 2:
            packet = self.rfile.read(struct.unpack(">H", prefix)[0])
            if len(packet) < 17:
                return
            silent = silenced()
            reply = answer(packet, "tcp")
            if not silent:
                self.wfile.write(struct.pack(">H", len(reply)) + reply)


class TcpServer(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


class UdpServer(socketserver.UDPServer):
    pass


if __name__ == "__main__":
    address, port = sys.argv[1], int(sys.argv[2])
    for argument in sys.argv[3:]:
        add_entry(argument)
    if ":" in address:
        TcpServer.address_family = UdpServer.address_family = socket.AF_INET6
    threading.Thread(target=TcpServer((address, port), Tcp).serve_forever, daemon=True).start()
    UdpServer((address, port), Udp).serve_forever()
