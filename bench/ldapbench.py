#!/usr/bin/env python3
"""A whole usermail run against the private slapd, next to ldapsearch reading
the same user entry from the same server: wall time and peak memory, the two
alternating in one loop, and the requests one usermail run makes.

Usage: bench/ldapbench.py USERMAIL [RUNS]   (run from the source tree)
"""
import os
import re
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
slapd = os.path.join(here, "..", "tests", "ldap", "slapd.sh")
usermail = os.path.abspath(sys.argv[1])
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 200


def measure(command, env):
    """Wall time in seconds of one run."""
    start = time.perf_counter()
    if subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"failed: {command}")
    return time.perf_counter() - start


def peakmemory(command, env):
    """Peak resident memory in KiB of one run. A process started straight
    from Python would carry Python's own peak, so GNU time starts it."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1])


with tempfile.TemporaryDirectory() as work:
    directory = os.path.join(work, "slapd")
    env = dict(os.environ, SLAPD_DEBUG="stats")
    uri = subprocess.run([slapd, "start", directory], env=env, check=True, capture_output=True,
                         text=True).stdout.strip()
    try:
        env = dict(os.environ, LDAPURI=uri, LDAPCONF="/dev/null", LDAPRC=".no-ldaprc", TMPDIR=work)
        ours = [usermail]
        peer = ["ldapsearch", "-LLL", "-Q", "-Y", "EXTERNAL", "-H", uri, "-s", "base",
                "-b", "cn=Alice Liddell,ou=people,dc=example,dc=test"]

        # Requests of one run, read off the server's log for its connection.
        with open(os.path.join(directory, "slapd.log")) as log:
            log.seek(0, os.SEEK_END)
            measure(ours, env)
            time.sleep(0.2)
            lines = log.read()
        operations = {}
        for op, kind in re.findall(r"conn=\d+ (op=\d+) (BIND|SRCH|EXT|UNBIND|MOD|ADD|DEL|CMP)", lines):
            operations.setdefault(op, kind)
        connections = set(re.findall(r"conn=(\d+) fd=\d+ ACCEPT", lines))
        requests = [kind for kind in operations.values() if kind != "UNBIND"]

        for _ in range(10):  # warm up both
            measure(ours, env)
            measure(peer, env)
        times = {"usermail": [], "ldapsearch": []}
        memory = {"usermail": 0, "ldapsearch": 0}
        for _ in range(runs):
            for name, command in (("usermail", ours), ("ldapsearch", peer)):
                times[name].append(measure(command, env))
        for _ in range(5):
            for name, command in (("usermail", ours), ("ldapsearch", peer)):
                memory[name] = max(memory[name], peakmemory(command, env))
    finally:
        subprocess.run([slapd, "stop", directory], check=False)

mean = {name: sum(values) / len(values) for name, values in times.items()}
print(f"connections per usermail run: {len(connections)}")
print(f"requests per usermail run:    {len(requests)} ({' '.join(requests)})")
for name in ("usermail", "ldapsearch"):
    print(f"{name:11} mean {mean[name] * 1000:7.2f} ms   peak RSS {memory[name] / 1024:6.2f} MiB   ({runs} runs)")
print(f"time ratio usermail/ldapsearch: {mean['usermail'] / mean['ldapsearch']:.2f} (target <= 1.5)")
print(f"memory above ldapsearch: {(memory['usermail'] - memory['ldapsearch']) / 1024:+.2f} MiB (target <= 2)")
