#!/usr/bin/env python3
"""A host that never answers, for the locator's tests: on each ADDRESS it
takes DNS queries and connectionless LDAP pings (UDP 53 and 389) without a
word, and lets no TCP connection to port 389 complete (the listen queue is
kept full, so the kernel drops every new SYN). Prints "ready" once set up,
then runs until killed."""
import socket
import sys
import time

held = []
for address in sys.argv[1:]:
    for port in (53, 389):
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((address, port))
        held.append(udp)
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
