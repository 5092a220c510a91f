#!/usr/bin/env python3
"""A host that never answers, for the locator's tests: on each ADDRESS it
takes DNS queries and connectionless LDAP pings (UDP 53 and 389) without a
word, and lets no TCP connection to port 389 complete (the listen queue is
kept full, so the kernel drops every new SYN). Prints "ready" once set up,
then runs until killed.

  silent.py [--srv NAME=TARGET] ADDRESS...

With --srv its DNS answers the SRV query for NAME with TARGET:389 and stays
silent on every other query, the target's addresses included."""
import socket
import struct
import sys
import threading
import time

srv = None
addresses = sys.argv[1:]
if addresses and addresses[0] == "--srv":
    srv = addresses[1].lower().split("=", 1)
    addresses = addresses[2:]


def labels(name):
    return b"".join(bytes([len(part)]) + part.encode() for part in name.split(".") if part) + b"\0"


def answersrv(udp):
    while True:
        query, sender = udp.recvfrom(512)
        at, parts = 12, []
        while query[at]:
            parts.append(query[at + 1:at + 1 + query[at]].decode().lower())
            at += 1 + query[at]
        qtype = struct.unpack("!H", query[at + 1:at + 3])[0]
        if qtype != 33 or ".".join(parts) != srv[0]:
            continue
        rdata = struct.pack("!HHH", 0, 100, 389) + labels(srv[1])
        answer = b"\xc0\x0c" + struct.pack("!HHIH", 33, 1, 60, len(rdata)) + rdata
        udp.sendto(query[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + query[12:at + 5] + answer, sender)


held = []
for address in addresses:
    for port in (53, 389):
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((address, port))
        held.append(udp)
        if srv and port == 53:
            threading.Thread(target=answersrv, args=(udp,), daemon=True).start()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, 389))
    listener.listen(0)
    held.append(listener)
    # One connection fills a queue of length 0; a second to be sure.
    for _ in range(2):
        filler = socket.socket()
        filler.setblocking(False)
        try:
            filler.connect((address, 389))
        except BlockingIOError:
            pass
        held.append(filler)
time.sleep(0.2)
print("ready", flush=True)
while True:
    time.sleep(3600)
