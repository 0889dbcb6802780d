#!/usr/bin/env python3
"""A fake upstream DNS server for end-to-end tests: answers A queries from a fixed table, over UDP
and TCP on the same address and port.

    fake_upstream.py ADDRESS PORT [+]NAME=IP[|IP...] ...

Names in the table get their addresses with TTL 300; every other name gets a name error. A name
written with a leading "+" is too big for UDP: there its reply has the TC bit set and only the
first address, and over TCP it is whole. Each query is appended to the file given by
$FAKE_UPSTREAM_LOG as a line "udp NAME" or "tcp NAME", so a test can tell which queries reached
the upstream and how. Runs until it is killed.
"""
import os
import socket
import struct
import sys
import threading

log_lock = threading.Lock()


def question_name(packet):
    labels, position = [], 12
    while position < len(packet) and packet[position] != 0:
        length = packet[position]
        labels.append(packet[position + 1:position + 1 + length].decode("latin-1"))
        position += 1 + length
    return ".".join(labels), position + 1 + 4


def answer(packet, table, truncated_names, over_udp):
    name, question_end = question_name(packet)
    addresses = table.get(name.lower(), [])
    flags = 0x8180 if addresses else 0x8183
    if over_udp and name.lower() in truncated_names:
        flags |= 0x0200
        addresses = addresses[:1]
    header = packet[:2] + struct.pack(">HHHHH", flags, 1, len(addresses), 0, 0)
    records = b"".join(
        struct.pack(">HHHIH", 0xC00C, 1, 1, 300, 4) + socket.inet_aton(address)
        for address in addresses)
    return name, header + packet[12:question_end] + records


def record(transport, name):
    log = os.environ.get("FAKE_UPSTREAM_LOG")
    if log:
        with log_lock, open(log, "a", encoding="latin-1") as names:
            names.write(f"{transport} {name}\n")


def receive_exactly(connection, length):
    data = b""
    while len(data) < length:
        part = connection.recv(length - len(data))
        if not part:
            return None
        data += part
    return data


def serve_connection(connection, table, truncated_names):
    with connection:
        while True:
            prefix = receive_exactly(connection, 2)
            if prefix is None:
                return
            packet = receive_exactly(connection, struct.unpack(">H", prefix)[0])
            if packet is None or len(packet) < 17:
                return
            name, reply = answer(packet, table, truncated_names, over_udp=False)
            record("tcp", name)
            connection.sendall(struct.pack(">H", len(reply)) + reply)


def serve_tcp(address, port, table, truncated_names):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen()
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve_connection, args=(connection, table, truncated_names),
                         daemon=True).start()


def main():
    address, port = sys.argv[1], int(sys.argv[2])
    table, truncated_names = {}, set()
    for entry in sys.argv[3:]:
        name, joined = entry.split("=", 1)
        if name.startswith("+"):
            name = name[1:]
            truncated_names.add(name.lower())
        table[name.lower()] = joined.split("|")
    threading.Thread(target=serve_tcp, args=(address, port, table, truncated_names),
                     daemon=True).start()
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((address, port))
    while True:
        packet, client = server.recvfrom(4096)
        if len(packet) < 17:
            continue
        name, reply = answer(packet, table, truncated_names, over_udp=True)
        record("udp", name)
        server.sendto(reply, client)


if __name__ == "__main__":
    main()
