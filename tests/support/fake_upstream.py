#!/usr/bin/env python3
"""A fake upstream DNS server for end-to-end tests: answers A queries from a fixed table.

    fake_upstream.py ADDRESS PORT NAME=IP[|IP...] ...

Names in the table get their addresses with TTL 300; every other name gets a name error. Each
query's name is appended to the file given by $FAKE_UPSTREAM_LOG, one per line, so a test can tell
which queries reached the upstream. Runs until it is killed.
"""
import os
import socket
import struct
import sys


def question_name(packet):
    labels, position = [], 12
    while position < len(packet) and packet[position] != 0:
        length = packet[position]
        labels.append(packet[position + 1:position + 1 + length].decode("latin-1"))
        position += 1 + length
    return ".".join(labels), position + 1 + 4


def answer(packet, table):
    name, question_end = question_name(packet)
    addresses = table.get(name.lower(), [])
    flags = 0x8180 if addresses else 0x8183
    header = packet[:2] + struct.pack(">HHHHH", flags, 1, len(addresses), 0, 0)
    records = b"".join(
        struct.pack(">HHHIH", 0xC00C, 1, 1, 300, 4) + socket.inet_aton(address)
        for address in addresses)
    return name, header + packet[12:question_end] + records


def main():
    address, port = sys.argv[1], int(sys.argv[2])
    table = {}
    for entry in sys.argv[3:]:
        name, joined = entry.split("=", 1)
        table[name.lower()] = joined.split("|")
    log = os.environ.get("FAKE_UPSTREAM_LOG")
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((address, port))
    while True:
        packet, client = server.recvfrom(4096)
        if len(packet) < 17:
            continue
        name, reply = answer(packet, table)
        if log:
            with open(log, "a", encoding="latin-1") as names:
                names.write(name + "\n")
        server.sendto(reply, client)


if __name__ == "__main__":
    main()
