#!/usr/bin/env python3
"""A host that never answers, for the locator's tests: on each ADDRESS it
takes DNS queries and connectionless LDAP pings (UDP 53 and 389) without a
word, and lets no TCP connection to port 389 complete (the listen queue is
kept full, so the kernel drops every new SYN). Prints "ready" once set up,
then runs until killed.

  silent.py [--srv NAME=TARGET | --truncate] ADDRESS...

With --srv its DNS answers the SRV query for NAME with TARGET:389 and stays
silent on every other query, the target's addresses included. With
--truncate it answers every query over UDP as too long for it (TC) and
accepts the TCP connection the resolver then opens, never answering there."""
import socket
import struct
import sys
import threading
import time

srv = None
truncate = False
addresses = sys.argv[1:]
if addresses and addresses[0] == "--srv":
    srv = addresses[1].lower().split("=", 1)
    addresses = addresses[2:]
elif addresses and addresses[0] == "--truncate":
    truncate = True
    addresses = addresses[1:]


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


def answertruncated(udp):
    while True:
        query, sender = udp.recvfrom(512)
        # The question echoed, no records, and TC: "ask again over TCP".
        udp.sendto(query[:2] + b"\x83\x80" + query[4:6] + b"\0\0\0\0\0\0" + query[12:], sender)


def holdtcp(listener):
    while True:
        held.append(listener.accept()[0])


held = []
for address in addresses:
    if truncate:
        tcp = socket.socket()
        tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        tcp.bind((address, 53))
        tcp.listen(16)
        held.append(tcp)
        threading.Thread(target=holdtcp, args=(tcp,), daemon=True).start()
    for port in (53, 389):
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((address, port))
        held.append(udp)
        if srv and port == 53:
            threading.Thread(target=answersrv, args=(udp,), daemon=True).start()
        if truncate and port == 53:
            threading.Thread(target=answertruncated, args=(udp,), daemon=True).start()
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
