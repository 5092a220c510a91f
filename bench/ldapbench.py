#!/usr/bin/env python3
"""A whole usermail run next to one hand-written ldapsearch of the same three
attributes of the same user, from the same server, through a proxy that adds
a round-trip time and a rate limit (delayproxy.py): wall time, bytes
received, request turns and peak memory, cold and warm schema cache, the two
programs alternating in one loop. It prints a table with the ratios.

Rows: slapd on a local socket (0, 20, 60 ms), slapd with a subschema 10 and
100 times larger, slapd with an entry of 500 more attributes; and, as root
where a Samba AD DC can run (tests/samba/dc.sh), Samba with Kerberos at 0, 20
and 60 ms, at 20 ms with 10 Mbit/s, and with 3,000 more users at 0 ms.

Where nothing delays the link, the row also gives the server's CPU time per
warm run (user and system time of the server's processes, from /proc, over
back-to-back runs), and logon storms (runs started at once, straight to the
server: 50 and 200 against slapd and the 3,000-user DC, 200, 400 and 800
against the plain DC) give each program's failed runs, p50 and p99 wall times
and how long the storm took. A run that fails is counted in its row, or ends
its row with the failure printed; it never ends the benchmark.

Usage: bench/ldapbench.py USERMAIL [RUNS] [--no-samba] [--only=TEXT]   (from the source tree)
  --only=TEXT   only the rows whose setting contains TEXT
"""
import json
import statistics
import threading
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from delayproxy import DelayProxy  # noqa: E402

tests = os.path.join(here, "..", "tests")
# Daily logons: enough days for the schema cache's trust window (365 days
# elsewhere than on Active Directory) to end once, so that the row includes
# a confirmation of its stamp.
dailydays = 400
attributes = ["mail", "msRTCSIP-PrimaryUserAddress", "userPrincipalName"]


def wanted(name):
    only = [arg[len("--only="):] for arg in sys.argv if arg.startswith("--only=")]
    return not only or any(text in name for text in only)


class RunFailed(Exception):
    """A run that exited with a failure: the row it belongs to reports it."""


def attempt(command, env):
    """Wall time in seconds, and the failure's text ("" for none), of one run."""
    start = time.perf_counter()
    result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    failure = ""
    if result.returncode != 0:
        failure = (result.stdout if command[0].endswith("usermail") else result.stderr).strip()[:200] or \
            f"exit {result.returncode}"
    return wall, failure


def run(command, env):
    """Wall time in seconds and CPU seconds of one run; RunFailed when it fails."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        raise RunFailed(f"{os.path.basename(command[0])} failed: {result.stderr.strip()[:200]}")
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def peak(command, env):
    """Peak resident memory in KiB (GNU time, so that Python's own doesn't count)."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1])


def servertime(pid):
    """CPU seconds the server process and its descendants have used: each
    thread's time on the CPU in nanoseconds (schedstat; utime and stime count
    whole clock ticks, too coarse for a fraction of a millisecond a run),
    and the children they have reaped. Threads that ended meanwhile are not
    counted; slapd's pool and a single-process Samba keep theirs."""
    tick = os.sysconf("SC_CLK_TCK")
    parents, reaped = {}, {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        # After the name: state, ppid, ..., cutime, cstime (fields 16 and 17).
        parents[int(entry)] = int(fields[1])
        reaped[int(entry)] = (int(fields[13]) + int(fields[14])) / tick
    tree = {pid}
    for _ in range(8):  # a few generations, without sorting by ancestry
        tree |= {child for child, parent in parents.items() if parent in tree}
    total = 0.0
    for member in tree:
        total += reaped.get(member, 0.0)
        try:
            for task in os.listdir(f"/proc/{member}/task"):
                with open(f"/proc/{member}/task/{task}/schedstat") as file:
                    total += int(file.read().split()[0]) / 1e9
        except OSError:
            continue
    return total


def serverload(server, kinds, env, runs):
    """Server CPU milliseconds per run of each kind, over back-to-back runs
    (the clock ticks are too coarse for one)."""
    load = {}
    for kind, command in kinds.items():
        before = servertime(server())
        for _ in range(runs):
            run(command, env)
        load[kind] = (servertime(server()) - before) * 1000 / runs
    return load


def storm(name, ours, peer, env, sizes=(50, 200), once=(), server=None):
    """Rows of runs started at once, as at eight o'clock: for each program
    the runs that failed and the p50 and p99 wall times of all of them, and
    how long a storm took until its last run ended (the median of its waves). Each program's storms go in the order
    ours, peer, peer, ours (twice) so that neither gains from the server the
    other warmed; the sizes in `once` (large ones) run once each. A failed
    run is counted, never the end of the benchmark. Given `server`, the
    server's CPU per run of each program too."""
    def wave(command, size):
        outcomes, gate = [], threading.Barrier(size)

        def one():
            gate.wait()
            outcomes.append(attempt(command, env))
        threads = [threading.Thread(target=one) for _ in range(size)]
        began = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return outcomes, time.perf_counter() - began
    rows = []
    for size in list(sizes) + list(once):
        outcomes = {"warm": [], "peer": []}
        spans = {"warm": [], "peer": []}
        load = {"warm": 0.0, "peer": 0.0}
        for kind in ("warm", "peer") if size in once else ("warm", "peer", "peer", "warm") * 2:
            before = servertime(server()) if server else 0.0
            results, took = wave(ours if kind == "warm" else peer, size)
            if server:
                load[kind] += (servertime(server()) - before) * 1000
            outcomes[kind] += results
            spans[kind].append(took)
        result = {}
        for kind, results in outcomes.items():
            times = [wall for wall, _ in results]
            failures = [failure for _, failure in results if failure]
            result[kind] = {"p50": statistics.median(times), "p99": statistics.quantiles(times, n=100)[98],
                            "failed": len(failures), "runs": len(results), "span": statistics.median(spans[kind]),
                            "server": load[kind] / len(results) if server else None}
            for text in sorted(set(failures)):
                print(f"  {name}, storm of {size}: {failures.count(text)} x {text}", file=sys.stderr)
        rows.append({"name": f"{name}, storm of {size}", "storm": result})
    return rows


def daily(name, ours, peer, env, cache, server, days):
    """A row of logons a day apart, as a fleet's users log on: the server's
    CPU per run over `days` days, each day one run of each program, ours
    after its cache files were made a day older (as if a day had passed).
    The runs alternate, so that what the server does meanwhile falls on
    both alike."""
    def aday():
        folder = os.path.join(cache, "usermail")
        for file in os.listdir(folder) if os.path.isdir(folder) else []:
            path = os.path.join(folder, file)
            stat = os.stat(path)
            os.utime(path, (stat.st_atime - 86400, stat.st_mtime - 86400))
    shutil.rmtree(cache, ignore_errors=True)
    run(ours, env)  # the layout read, and confirmed now
    load = {"warm": 0.0, "peer": 0.0}
    for _ in range(days):
        aday()
        for kind, command in (("warm", ours), ("peer", peer)):
            before = servertime(server())
            run(command, env)
            load[kind] += (servertime(server()) - before) * 1000 / days
    return {"name": f"{name}, daily logon ({days} days)", "daily": load}


def guarded(name, row):
    """One row, or a row that says why it failed: a failed run ends its own
    row, never the benchmark."""
    try:
        return row()
    except RunFailed as failure:
        print(f"  {name}: {failure}", file=sys.stderr)
        return {"name": name, "error": str(failure)}


def measure(name, ours, peer, env, proxy, cache, runs, server=None, verbose=None):
    """One row: the three kinds of run alternating (four with `verbose`, a
    warm run that logs everything), medians and counts."""
    def cold():
        shutil.rmtree(cache, ignore_errors=True)
    kinds = {"warm": ours, "cold": ours, "peer": peer}
    if verbose:
        kinds["verbose"] = verbose
    times = {kind: [] for kind in kinds}
    cpu = {kind: [] for kind in kinds}
    counts = {}
    run(ours, env)  # warms the cache and the page cache
    for round_ in range(runs + 1):
        for kind, command in kinds.items():
            if kind == "cold":
                cold()
            proxy.take()
            wall, seconds = run(command, env)
            if round_ == 0:
                counts[kind] = proxy.take()  # the first round only counts
                continue
            times[kind].append(wall)
            cpu[kind].append(seconds)
    run(ours, env)
    memory = {"warm": peak(ours, env), "peer": peak(peer, env)}
    cold()
    memory["cold"] = peak(ours, env)
    run(ours, env)
    load = serverload(server, {"warm": ours, "peer": peer}, env, max(10 * runs, 200)) if server else None
    # Medians, and ratios as the median of each round's own: a round's runs
    # follow one another, so a server that is busy for a while skews one
    # round, not the ratio.
    median = {kind: statistics.median(values) for kind, values in times.items()}
    ratio = {kind: statistics.median(ours / peer for ours, peer in zip(times[kind], times["peer"]))
             for kind in ("warm", "cold")}
    if verbose:
        # What logging adds to a warm run: the median of each round's own.
        median["logging"] = statistics.median(v - w for v, w in zip(times["verbose"], times["warm"]))
    return {"name": name, "median": median, "ratio": ratio, "cpu": {k: sum(v) / len(v) for k, v in cpu.items()}, "counts": counts,
            "memory": memory, "server": load}


def slapdrows(usermail, runs, work):
    rows = []
    alice = "cn=Alice Liddell,ou=people,dc=example,dc=test"
    settings = [("slapd, local socket, 0 ms", 0, 0, None), ("slapd, 20 ms", 20, 0, None),
                ("slapd, 60 ms", 60, 0, None), ("slapd, subschema 10x", 0, 0, ("schema", 10000)),
                ("slapd, subschema 100x", 0, 0, ("schema", 100000)), ("slapd, entry +500 attributes", 0, 0,
                                                                      ("wide", 500))]
    for name, rtt, rate, growth in filter(lambda row: wanted(row[0]), settings):
        directory = os.path.join(work, "slapd")
        env = dict(os.environ)
        if growth:
            schema, ldif = grow(work, growth, alice)
            env.update(SLAPD_SCHEMA=schema, SLAPD_LDIF=ldif)
        started = subprocess.run([os.path.join(tests, "ldap", "slapd.sh"), "start", directory], env=env,
                                 capture_output=True, text=True)
        if started.returncode != 0:
            sys.exit(f"slapd did not start for {name}: {started.stderr[-2000:]}")
        socket = os.path.join(work, "proxy.sock")
        proxy = DelayProxy(socket, os.path.join(directory, "ldapi"), rtt, rate)
        proxy.start()
        try:
            proxied = "ldapi://" + socket.replace("/", "%2F")
            cache = os.path.join(work, "cache")
            env = dict(os.environ, LDAPURI=proxied, LDAPCONF="/dev/null", LDAPRC=".no-ldaprc", TMPDIR=work,
                       XDG_CACHE_HOME=cache)
            peer = ["ldapsearch", "-LLL", "-Q", "-Y", "EXTERNAL", "-H", proxied, "-s", "base", "-b", alice] + attributes
            server = (lambda: int(open(os.path.join(directory, "slapd.pid")).read())) if rtt == 0 else None
            # A log file named relative to here: "-l /..." would read as an option.
            log = os.path.relpath(os.path.join(work, "bench.log"))
            verbose = [usermail, "-v", "-l", log] if growth and growth[0] == "wide" else None
            rows.append(guarded(name, lambda: measure(name, [usermail], peer, env, proxy, cache, runs, server,
                                                      verbose)))
            if rtt == 0 and (not growth or growth == ("schema", 10000)):
                rows.append(guarded(name, lambda: daily(name, [usermail], peer, env, cache, server, dailydays)))
            if rtt == 0 and not growth:
                direct = "ldapi://" + os.path.join(directory, "ldapi").replace("/", "%2F")
                rows += storm(name.split(",")[0], [usermail], [direct if arg == proxied else arg for arg in peer],
                              dict(env, LDAPURI=direct))
        finally:
            proxy.stop()
            subprocess.run([os.path.join(tests, "ldap", "slapd.sh"), "stop", directory], check=False)
        print(f"  measured: {name}", file=sys.stderr)
    return rows


def grow(work, growth, alice):
    """A schema file and a directory with more definitions or a wider entry."""
    kind, count = growth
    schema = os.path.join(work, f"bench-{kind}.schema")
    with open(schema, "w") as file:
        for i in range(count):
            file.write(f"attributetype ( 1.3.6.1.4.1.99999.1.{i} NAME 'benchAttribute{i}' "
                       "DESC 'an attribute the benchmark adds' EQUALITY caseIgnoreMatch "
                       "SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n")
        # slapd's configuration lines are continued by leading white space.
        may = "\n  $ ".join(f"benchAttribute{i}" for i in range(min(count, 500)))
        file.write(f"objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'benchWide' SUP top AUXILIARY MAY ( {may} ) )\n")
    ldif = os.path.join(work, f"bench-{kind}.ldif")
    with open(os.path.join(tests, "ldap", "directory.ldif")) as source:
        records = source.read().split("\n\n")
    with open(ldif, "w") as file:
        for record in records:
            if kind == "wide" and ("\n" + record.lower()).find("\ndn: " + alice.lower() + "\n") >= 0:
                # slapadd wants an attribute's values together.
                lines = record.rstrip("\n").split("\n")
                last = max(i for i, line in enumerate(lines) if line.lower().startswith("objectclass:"))
                lines.insert(last + 1, "objectClass: benchWide")
                record = "\n".join(lines) + "\n" + "".join(
                    f"benchAttribute{i}: a value of attribute {i}\n" for i in range(count))
            file.write(record.rstrip("\n") + "\n\n")
    return schema, ldif


sambasettings = [("Samba AD DC, Kerberos, 0 ms", 0, 0), ("Samba, 20 ms", 20, 0), ("Samba, 60 ms", 60, 0),
                 ("Samba, 20 ms and 10 Mbit/s", 20, 10_000_000), ("Samba with 3,000 users, 0 ms", 0, 0),
                 ("Samba with 3,000 more schema attributes, 0 ms", 0, 0)]


def sambainside(usermail, runs, dc, work):
    """The Samba rows, run inside the DC's network namespace."""
    env = dict(os.environ, KRB5_CONFIG=os.path.join(dc, "krb5.conf"), KRB5CCNAME="FILE:" + os.path.join(work, "cc"))
    subprocess.run(["kinit", "-k", "-t", os.path.join(dc, "alice.keytab"), "alice"], env=env, check=True)
    alice = "CN=Alice Liddell,CN=Users,DC=example,DC=test"
    uri = "ldap://dc1.example.test:3389"
    cache = os.path.join(work, "cache")
    env.update(LDAPURI=uri, LDAPBASE="DC=example,DC=test", LDAPSASL_MECH="GSSAPI", LDAPCONF="/dev/null",
               LDAPRC=".no-ldaprc", TMPDIR=work, XDG_CACHE_HOME=cache)
    conf = os.path.join(work, "ldaprc")
    with open(conf, "w") as file:
        file.write("SASL_NOCANON on\n")
    env["LDAPCONF"] = conf
    peer = ["ldapsearch", "-LLL", "-Q", "-N", "-Y", "GSSAPI", "-H", uri, "-s", "base", "-b", alice] + attributes
    rows = []
    server = lambda: int(open(os.path.join(dc, "samba.pid")).read())  # noqa: E731
    for name, rtt, rate in filter(lambda row: wanted(row[0]), sambasettings):
        try:
            if "3,000 users" in name:
                adduser(dc, work, 3000)
            if "schema attributes" in name:
                addschema(dc, work, 3000)
        except subprocess.CalledProcessError as failure:
            print(f"  {name}: {failure}", file=sys.stderr)
            rows.append({"name": name, "error": str(failure)})
            continue
        proxy = DelayProxy(("127.0.0.1", 3389), ("127.0.0.1", 389), rtt, rate)
        proxy.start()
        try:
            rows.append(guarded(name, lambda: measure(name, [usermail], peer, env, proxy, cache, runs,
                                                      server if rtt == 0 else None)))
        finally:
            proxy.stop()
        if name.startswith("Samba AD DC"):
            # A logon storm against one DC, straight to it: its listen queue
            # overflows, and a run must wait for it rather than give up.
            direct = "ldap://dc1.example.test"
            rows += storm("Samba AD DC", [usermail], [direct if arg == uri else arg for arg in peer],
                          dict(env, LDAPURI=direct), sizes=(200, 400), once=(800,))
            # A schema change makes every machine cold at once: runs without
            # a cache (none can be made under /dev/null), and the DC's CPU.
            rows += storm("Samba AD DC, cold", [usermail], [direct if arg == uri else arg for arg in peer],
                          dict(env, LDAPURI=direct, XDG_CACHE_HOME="/dev/null/none"), sizes=(200,), server=server)
        if "3,000 users" in name:
            direct = "ldap://dc1.example.test"
            rows += storm("Samba with 3,000 users", [usermail], [direct if arg == uri else arg for arg in peer],
                          dict(env, LDAPURI=direct))
        print(f"  measured: {name}", file=sys.stderr)
    return rows


def adduser(dc, work, count):
    """Users enough for a site: the account search and the server's indexes
    then work as in a real domain."""
    ldif = os.path.join(work, "users.ldif")
    with open(ldif, "w") as file:
        for i in range(count):
            file.write(f"dn: CN=Bench User {i},CN=Users,DC=example,DC=test\nobjectClass: user\n"
                       f"sAMAccountName: bench{i}\nuserPrincipalName: bench{i}@example.test\n"
                       f"mail: bench{i}@example.test\n\n")
    subprocess.run(["ldbadd", "-H", os.path.join(dc, "private", "sam.ldb"), ldif], check=True,
                   stdout=subprocess.DEVNULL)


def addschema(dc, work, count):
    """Attributes an application adds to the schema, on a structural class
    of its own that the user doesn't have: a cold run needs none of them."""
    base = "CN=Schema,CN=Configuration,DC=example,DC=test"
    reload = "dn:\nchangetype: modify\nreplace: schemaUpdateNow\nschemaUpdateNow: 1\n-\n\n"
    attributes = "".join(f"dn: CN=bench-Attribute-{i},{base}\nchangetype: add\nobjectClass: attributeSchema\n"
                         f"cn: bench-Attribute-{i}\nlDAPDisplayName: benchAttribute{i}\n"
                         f"attributeID: 1.3.6.1.4.1.32473.2.1.{i}\n"
                         "attributeSyntax: 2.5.5.12\noMSyntax: 64\nisSingleValued: TRUE\n\n" for i in range(count))
    extension = (reload + f"dn: CN=bench-Extension,{base}\nchangetype: add\nobjectClass: classSchema\n"
                 "cn: bench-Extension\nlDAPDisplayName: benchExtension\ngovernsID: 1.3.6.1.4.1.32473.2.2.1\n"
                 "subClassOf: top\nobjectClassCategory: 1\n"
                 + "".join(f"mayContain: benchAttribute{i}\n" for i in range(count)) + "\n" + reload)
    # The class can name them only once another process loads the schema
    # that holds them.
    for part, text in (("attributes", attributes + reload), ("class", extension)):
        ldif = os.path.join(work, f"schema-{part}.ldif")
        with open(ldif, "w") as file:
            file.write(text)
        subprocess.run(["ldbmodify", "-H", os.path.join(dc, "private", "sam.ldb"),
                        "--option=dsdb:schema update allowed=true", ldif], check=True, stdout=subprocess.DEVNULL)


def sambarows(usermail, runs, work):
    dc = os.path.join(work, "samba")
    started = subprocess.run([os.path.join(tests, "samba", "dc.sh"), "start", dc], capture_output=True, text=True)
    if started.returncode != 0:
        print(f"  Samba rows skipped: {started.stdout.strip() or started.stderr.strip()}", file=sys.stderr)
        return []
    try:
        only = "\n".join(arg for arg in sys.argv if arg.startswith("--only="))
        inside = subprocess.run([os.path.join(tests, "samba", "dc.sh"), "exec", dc, "env", "LDAPBENCH_ONLY=" + only,
                                 sys.executable, os.path.abspath(__file__), "--samba-inside", usermail, str(runs), dc,
                                 work], check=False, capture_output=True, text=True)
        sys.stderr.write(inside.stderr)
        if inside.returncode != 0:
            print(f"  Samba rows failed: exit {inside.returncode}", file=sys.stderr)
            return []
        return json.loads(inside.stdout)
    finally:
        subprocess.run([os.path.join(tests, "samba", "dc.sh"), "stop", dc], check=False, capture_output=True)


def table(rows):
    print("| setting | usermail warm | cold | ldapsearch | ratio warm | ratio cold | turns u/peer | "
          "KiB received warm/cold/peer | peak RSS MiB warm/cold/peer | CPU ms cold | server CPU ms warm/peer |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        if "daily" in row:
            load = row["daily"]
            print(f"| {row['name']} | | | | | | | | | | server CPU ms per run {load['warm']:.2f}/{load['peer']:.2f}"
                  f" (ratio {load['warm'] / load['peer']:.2f}) |")
            continue
        if "error" in row:
            print(f"| {row['name']} | failed: {row['error']} | | | | | | | | | |")
            continue
        if "storm" in row:
            u, p = row["storm"]["warm"], row["storm"]["peer"]
            print(f"| {row['name']} | failed {u['failed']}/{u['runs']}, p50 {u['p50'] * 1000:.0f} / "
                  f"p99 {u['p99'] * 1000:.0f} ms, storm {u['span']:.1f} s | | "
                  f"failed {p['failed']}/{p['runs']}, p50 {p['p50'] * 1000:.0f} / p99 {p['p99'] * 1000:.0f} ms, "
                  f"storm {p['span']:.1f} s | p50 {u['p50'] / p['p50']:.2f} / p99 {u['p99'] / p['p99']:.2f} "
                  "| | | | | | "
                  + (f"server CPU ms per run {u['server']:.2f}/{p['server']:.2f} |" if u.get("server") is not None
                     else "|"))
            continue
        m, r, c, mem, load = row["median"], row["ratio"], row["counts"], row["memory"], row["server"]
        if "logging" in m:
            print(f"| {row['name']}, -v | {m['verbose'] * 1000:.1f} ms: logging adds {m['logging'] * 1000:.1f} ms "
                  "| | | | | | | | | |")
        print(f"| {row['name']} | {m['warm'] * 1000:.1f} ms | {m['cold'] * 1000:.1f} ms | {m['peer'] * 1000:.1f} ms | "
              f"{r['warm']:.2f} | {r['cold']:.2f} | "
              f"{c['warm']['turns']}/{c['peer']['turns']} | "
              f"{c['warm']['down'] / 1024:.1f}/{c['cold']['down'] / 1024:.1f}/{c['peer']['down'] / 1024:.1f} | "
              f"{mem['warm'] / 1024:.1f}/{mem['cold'] / 1024:.1f}/{mem['peer'] / 1024:.1f} | "
              f"{row['cpu']['cold'] * 1000:.0f} | "
              + (f"{load['warm']:.2f}/{load['peer']:.2f} |" if load else "|"))


def main():
    if sys.argv[1] == "--samba-inside":
        usermail, runs, dc, work = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
        sys.argv += [arg for arg in os.environ.get("LDAPBENCH_ONLY", "").split("\n") if arg]
        print(json.dumps(sambainside(usermail, runs, dc, work)))
        return
    usermail = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2].isdigit() else 20
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        rows = slapdrows(usermail, runs, work)
        if "--no-samba" not in sys.argv and any(wanted(row[0]) for row in sambasettings):
            rows += sambarows(usermail, runs, work)
    table(rows)


main()
