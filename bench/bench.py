#!/usr/bin/env python3
"""The benchmark: orvane side by side with the servers a user would pick instead.

Builds a release orvane and orvane-probe, starts every server under test on free loopback
ports pinned to one CPU, runs the same orvane-probe workloads against each of them pinned to
the other CPU, interleaved workload by workload, and prints one markdown report: throughput,
ratios, the servers' CPU time and peak memory, the idle cost, and how busy the machine was
with other work while it ran. Run `bench/run --help` for the options.
"""

import argparse
import ctypes
import datetime
import json
import os
import random
import re
import resource
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")
DOC = os.path.join(ROOT, "docs", "benchmarks.md")
DOC_BEGIN = "<!-- bench/run report: begin (generated, do not edit by hand) -->"
DOC_END = "<!-- bench/run report: end -->"
SETTLE = 0.3  # pause between runs: the last run's connections and forked children go away
HOST = "127.0.0.1"

# ----------------------------------------------------------------------------- workloads

WORKLOADS = [
    # id, label, unit, probe mode, probe arguments
    ("udp-w1-s64", "UDP echo, 1 in flight, 64 B", "replies/s", "udp", ["-w", "1", "-s", "64"]),
    ("udp-w32-s64", "UDP echo, 32 in flight, 64 B", "replies/s", "udp", ["-w", "32", "-s", "64"]),
    ("udp-w1-s1400", "UDP echo, 1 in flight, 1400 B", "replies/s", "udp",
     ["-w", "1", "-s", "1400"]),
    ("udp-w32-s1400", "UDP echo, 32 in flight, 1400 B", "replies/s", "udp",
     ["-w", "32", "-s", "1400"]),
    ("echo-c1", "TCP echo, 1 connection", "MB/s", "echo", ["-c", "1"]),
    ("echo-c16", "TCP echo, 16 connections", "MB/s", "echo", ["-c", "16"]),
    ("echo-c60", "TCP echo, 60 connections", "MB/s", "echo", ["-c", "60"]),
    ("chargen-c1", "chargen, 1 reader, verified", "MB/s", "chargen", ["-c", "1"]),
    ("chargen-c16", "chargen, 16 readers, verified", "MB/s", "chargen", ["-c", "16"]),
    ("chargen-c60", "chargen, 60 readers, verified", "MB/s", "chargen", ["-c", "60"]),
    ("connect", "connections/s, 8-byte echo each", "conn/s", "connect", ["-s", "8", "-c", "1"]),
]
WORKLOAD_BY_ID = {w[0]: w for w in WORKLOADS}


def figure_of(mode, summary):
    """The figure a workload is judged by, from the probe's JSON summary."""
    key = {"udp": "per_second", "echo": "mb_per_s", "chargen": "mb_per_s", "connect": "per_second"}
    value = summary.get(key[mode])
    return float(value) if isinstance(value, (int, float)) else None


def faults_of(mode, summary):
    """What came back damaged or not at all. Datagram loss is a measurement, not a fault."""
    faults = []
    counters = {
        "udp": ["corrupted", "duplicated"],
        "echo": ["mismatches", "failed"],
        "chargen": ["corrupted", "failed"],
        "connect": ["mismatches", "failed"],
    }[mode]
    for name in counters:
        if summary.get(name):
            faults.append(f"{name}={summary[name]}")
    return faults


# ----------------------------------------------------------------------------- /proc


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def stat_fields(pid):
    """Fields of /proc/PID/stat after the command name (index 0 is the state)."""
    text = read(f"/proc/{pid}/stat")
    if text is None:
        return None
    return text[text.rindex(")") + 2:].split()


def ppids():
    table = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(name)
            if fields:
                table[int(name)] = int(fields[1])
    return table


def descendants(pid):
    table = ppids()
    found, frontier = [], [pid]
    while frontier:
        parent = frontier.pop()
        kids = [p for p, pp in table.items() if pp == parent]
        found += kids
        frontier += kids
    return found


def cpu_ticks(pid, with_children):
    """utime+stime, plus cutime+cstime of the children it has reaped when asked."""
    fields = stat_fields(pid)
    if fields is None:
        return 0
    ticks = int(fields[11]) + int(fields[12])
    if with_children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks


def tree_cpu_seconds(pid, forking):
    """CPU time of a server: the process itself and, for one that forks a process per client,
    every process it forked, whether reaped already (cutime/cstime) or still running."""
    ticks = cpu_ticks(pid, forking)
    if forking:
        ticks += sum(cpu_ticks(kid, True) for kid in descendants(pid))
    return ticks / TICK


def status_field(pid, field):
    text = read(f"/proc/{pid}/status") or ""
    for line in text.splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return None


def pss_kib(pid):
    for line in (read(f"/proc/{pid}/smaps_rollup") or "").splitlines():
        if line.startswith("Pss:"):
            return int(line.split()[1])
    return 0


def tree_pss_kib(pid):
    """Memory of a process and all it forked, shared pages counted once (proportional set
    size): summing their RSS would count the shared libraries once per process."""
    return sum(pss_kib(p) for p in [pid] + descendants(pid))


def open_sockets(pid):
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return 0
    count = 0
    for name in names:
        try:
            if os.readlink(f"/proc/{pid}/fd/{name}").startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def cpu_times():
    """Per CPU: (busy ticks, steal ticks) from /proc/stat."""
    result = {}
    for line in (read("/proc/stat") or "").splitlines():
        if line.startswith("cpu") and line[3:4].isdigit():
            parts = line.split()
            v = [int(x) for x in parts[1:]]
            # user nice system idle iowait irq softirq steal
            busy = v[0] + v[1] + v[2] + v[5] + v[6]
            result[int(parts[0][3:])] = (busy, v[7] if len(v) > 7 else 0)
    return result


def listening(port, proto):
    """Whether something has the port: a TCP listener, or a bound UDP socket."""
    states = {"tcp": "0A", "udp": "07"}
    for table in (f"/proc/net/{proto}", f"/proc/net/{proto}6"):
        for line in (read(table) or "").splitlines()[1:]:
            parts = line.split()
            if int(parts[1].rsplit(":", 1)[1], 16) == port and parts[3] == states[proto]:
                return True
    return False


# ----------------------------------------------------------------------------- processes

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def die_with_us():
    """Runs in each child before exec: it gets SIGTERM if the benchmark itself dies."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def log(text):
    print(text, file=sys.stderr, flush=True)


def run_checked(argv, **kw):
    log("+ " + shlex.join(argv))
    subprocess.run(argv, check=True, **kw)


def port_free(port, protos):
    for proto in protos:
        kind = socket.SOCK_STREAM if proto == "tcp" else socket.SOCK_DGRAM
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.bind(("0.0.0.0", port))  # orvane listens on every local address
        except OSError:
            return False
        finally:
            s.close()
    return True


_taken = set()


def free_port(protos):
    """A free high port below the ephemeral range, so the probes' own ports never collide."""
    for _ in range(1000):
        port = random.randint(20000, 32000)
        if port not in _taken and port_free(port, protos):
            _taken.add(port)
            return port
    raise SystemExit("bench: no free port found")


class Server:
    """A server under test: its processes, its ports and what it offers."""

    def __init__(self, name, label, chargen_check, forking):
        self.name = name
        self.label = label
        # The probe option that verifies its chargen stream, "" to read it unverified, None
        # when it has no chargen.
        self.chargen_check = chargen_check
        self.forking = forking  # one process per client: count the whole process tree
        self.echo_port = free_port(["tcp", "udp"])
        self.chargen_port = free_port(["tcp"]) if chargen_check else None
        self.procs = {}  # role ("main", or "tcp"/"udp" for socat) -> Popen
        self.form = ""  # the command line, for the report
        self.peak_tree_pss_kib = 0

    def start(self, role, argv, tmp, cpu):
        logfile = open(os.path.join(tmp, f"{self.name}-{role}.log"), "wb")
        full = ["taskset", "-c", str(cpu)] + argv
        self.procs[role] = subprocess.Popen(full, stdin=subprocess.DEVNULL, stdout=logfile,
                                            stderr=subprocess.STDOUT, cwd=tmp,
                                            preexec_fn=die_with_us)
        logfile.close()

    def pid_for(self, mode):
        if "main" in self.procs:
            return self.procs["main"].pid
        return self.procs["udp" if mode == "udp" else "tcp"].pid

    def pids(self):
        return [p.pid for p in self.procs.values()]

    def serves(self, mode):
        if mode == "chargen":
            return self.chargen_check is not None
        return True

    def wait_until_up(self, tmp):
        wanted = [(self.echo_port, "tcp"), (self.echo_port, "udp")]
        if self.chargen_port:
            wanted.append((self.chargen_port, "tcp"))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for role, proc in self.procs.items():
                if proc.poll() is not None:
                    text = read(os.path.join(tmp, f"{self.name}-{role}.log")) or ""
                    raise SystemExit(f"bench: {self.name} ended at start: {text[-400:]}")
            if all(listening(port, proto) for port, proto in wanted):
                return
            time.sleep(0.05)
        raise SystemExit(f"bench: {self.name} did not open its ports")

    def cpu_seconds(self):
        return sum(tree_cpu_seconds(pid, self.forking) for pid in self.pids())

    def wait_for_children_to_go(self, limit):
        """Forked per-client processes end after their client; their CPU time is counted once
        the server has reaped them."""
        if not self.forking:
            return
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and any(descendants(pid) for pid in self.pids()):
            time.sleep(0.05)

    def sample_memory(self):
        self.peak_tree_pss_kib = max(self.peak_tree_pss_kib,
                                     sum(tree_pss_kib(pid) for pid in self.pids()))

    def stop(self):
        for proc in self.procs.values():
            kids = descendants(proc.pid)  # only processes this server forked
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            for kid in kids:
                try:
                    os.kill(kid, signal.SIGTERM)
                except ProcessLookupError:
                    pass


XINETD_CONF = """\
# xinetd's internal echo and chargen services on loopback high ports, for the benchmark.
# UNLISTED lets an internal service use a port other than its services-file port; NOLIBWRAP
# skips the hosts.allow/deny lookup per connection and per datagram; cps, instances and
# per_source are raised so that the limits of a default install do not throttle the load.
defaults
{{
	flags		= NOLIBWRAP
	instances	= UNLIMITED
	per_source	= UNLIMITED
	cps		= 1000000 1
	log_type	= FILE /dev/null
	log_on_success	=
	log_on_failure	=
}}

service echo
{{
	id		= echo-stream
	type		= INTERNAL UNLISTED
	socket_type	= stream
	protocol	= tcp
	port		= {echo}
	bind		= 127.0.0.1
	wait		= no
	disable		= no
}}

service echo
{{
	id		= echo-dgram
	type		= INTERNAL UNLISTED
	socket_type	= dgram
	protocol	= udp
	port		= {echo}
	bind		= 127.0.0.1
	wait		= yes
	disable		= no
}}

service chargen
{{
	id		= chargen-stream
	type		= INTERNAL UNLISTED
	socket_type	= stream
	protocol	= tcp
	port		= {chargen}
	bind		= 127.0.0.1
	wait		= no
	disable		= no
}}
"""


def start_servers(names, opts, tmp, limit_binary, lifetime):
    servers = []
    for name in names:
        if name == "orvane":
            s = Server("orvane", "orvane", "--verify", False)
            argv = [opts.orvane, "-e", str(s.echo_port), "-c", str(s.chargen_port)]
            s.start("main", argv, tmp, opts.server_cpu)
        elif name == "limit":
            s = Server("limit", "limit (design)", "--verify", False)
            argv = [limit_binary, "-m", "design", "-e", str(s.echo_port), "-c",
                    str(s.chargen_port), "-T", str(lifetime)]
            s.start("main", argv, tmp, opts.server_cpu)
        elif name == "xinetd":
            s = Server("xinetd", "xinetd", "--lines", True)
            conf = os.path.join(tmp, "xinetd.conf")
            with open(conf, "w", encoding="utf-8") as f:
                f.write(XINETD_CONF.format(echo=s.echo_port, chargen=s.chargen_port))
            argv = ["xinetd", "-dontfork", "-pidfile", os.path.join(tmp, "xinetd.pid"), "-f", conf]
            s.start("main", argv, tmp, opts.server_cpu)
        elif name == "socat":
            s = Server("socat", "socat", None, True)
            tcp = ["socat", f"TCP-LISTEN:{s.echo_port},bind={HOST},fork,reuseaddr", "PIPE"]
            # PIPE would merge datagrams that queue up (32 in flight come back as 16 of twice
            # the size); a datagram socket pair to cat keeps every datagram whole.
            udp = ["socat", "-T", "1", f"UDP-LISTEN:{s.echo_port},bind={HOST},fork,reuseaddr",
                   "EXEC:cat,socktype=2"]
            s.start("tcp", tcp, tmp, opts.server_cpu)
            s.start("udp", udp, tmp, opts.server_cpu)
            argv = tcp + ["/"] + udp
        else:
            raise SystemExit(f"bench: unknown server {name}")
        s.form = shlex.join(argv).replace(" / ", "` and `")
        servers.append(s)
    for s in servers:
        s.wait_until_up(tmp)
        log(f"started {s.name}: pids {s.pids()}, echo port {s.echo_port}, "
            f"chargen port {s.chargen_port}")
    return servers


# ----------------------------------------------------------------------------- measuring


def probe_argv(opts, mode, args, port, extra, seconds):
    return (["taskset", "-c", str(opts.probe_cpu), opts.probe, mode, "--json", "-4", "-t",
             f"{seconds:g}", "-p", str(port)] + args + extra + [HOST])


def run_probe(argv, timeout, on_tick=None):
    """Runs one probe; returns (exit status, parsed summary or None, stderr tail)."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, preexec_fn=die_with_us)
    deadline = time.monotonic() + timeout
    while proc.poll() is None:
        if time.monotonic() > deadline:
            proc.terminate()
            try:
                proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                proc.kill()
            break
        if on_tick:
            on_tick()
        time.sleep(0.5)
    out, err = proc.communicate()
    summary = None
    try:
        summary = json.loads(out.decode().strip().splitlines()[-1])
    except (ValueError, IndexError):
        pass
    return proc.returncode, summary, err.decode(errors="replace")[-300:]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def self_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(opts, server, workload, rep):
    wid, _, _, mode, args = workload
    port = server.chargen_port if mode == "chargen" else server.echo_port
    extra = [server.chargen_check] if mode == "chargen" and server.chargen_check else []
    if mode == "udp":
        extra = ["--wait", "0.5"]
    argv = probe_argv(opts, mode, args, port, extra, opts.time)
    pid = server.pid_for(mode)

    t0 = time.monotonic()
    cpu0 = tree_cpu_seconds(pid, server.forking)
    sys0, probe0, self0 = cpu_times(), children_cpu(), self_cpu()
    rc, summary, err = run_probe(argv, opts.time + 20, server.sample_memory if server.forking else None)
    wall = time.monotonic() - t0
    probe_cpu = children_cpu() - probe0
    server.wait_for_children_to_go(2.0)
    cpu = tree_cpu_seconds(pid, server.forking) - cpu0
    window = time.monotonic() - t0
    sys1, harness = cpu_times(), self_cpu() - self0

    def busy(c):
        return (sys1[c][0] - sys0[c][0]) / TICK if c in sys0 and c in sys1 else 0.0

    def steal(c):
        return (sys1[c][1] - sys0[c][1]) / TICK if c in sys0 and c in sys1 else 0.0

    record = {
        "rep": rep, "server": server.name, "workload": wid, "rc": rc, "summary": summary,
        "value": figure_of(mode, summary) if summary else None,
        "server_cpu_pct": 100 * cpu / wall,
        "probe_cpu_pct": 100 * probe_cpu / wall,
        "other_cpu0_pct": max(0.0, 100 * (busy(opts.server_cpu) - cpu) / window),
        "other_cpu1_pct": max(0.0, 100 * (busy(opts.probe_cpu) - probe_cpu - harness) / window),
        "steal_pct": 100 * (steal(opts.server_cpu) + steal(opts.probe_cpu)) / window / 2,
        "server_cpu_s": cpu, "wall_s": wall,
        "check": summary.get("check") if summary and mode == "chargen" else None,
        "loss_pct": (100 * summary["lost"] / summary["sent"]
                     if summary and mode == "udp" and summary.get("sent") else None),
        "faults": ([] if summary else ["no summary: " + err.strip()]) +
                  (faults_of(mode, summary) if summary else []) +
                  ([f"exit status {rc}"] if rc != 0 else []),
    }
    return record


def settle_chargen_checks(opts, servers, notes):
    """Reads a moment of each chargen stream with its check. A stream the probe's check does
    not accept is read unverified in the runs, and the report says so, rather than giving a
    figure for a run that stopped at the first unexpected byte."""
    for s in servers:
        if not s.chargen_check:
            continue
        argv = probe_argv(opts, "chargen", ["-c", "1"], s.chargen_port, [s.chargen_check], 0.5)
        rc, summary, err = run_probe(argv, 15)
        if summary and summary.get("corrupted"):
            notes.append(f"{s.label}'s chargen stream is not accepted by `orvane-probe "
                         f"{s.chargen_check}` (first unexpected byte at offset "
                         f"{summary.get('first_corrupt_offset')}); its chargen runs are "
                         "therefore unverified")
            s.chargen_check = ""
        elif rc != 0:
            notes.append(f"{s.label}: chargen check run ended with status {rc}: {err.strip()}")


def measure_idle(servers, seconds):
    log(f"idle: {seconds:g} s with no clients")
    time.sleep(1)
    before = {s.name: (s.cpu_seconds(), [status_field(p, "voluntary_ctxt_switches") or 0
                                         for p in s.pids()]) for s in servers}
    t0 = time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - t0
    result = {}
    for s in servers:
        cpu0, switches0 = before[s.name]
        switches = sum((status_field(p, "voluntary_ctxt_switches") or 0) - b
                       for p, b in zip(s.pids(), switches0))
        result[s.name] = {"seconds": wall, "cpu_pct": 100 * (s.cpu_seconds() - cpu0) / wall,
                          "wakeups_per_s": switches / wall}
    return result


def measure_held_clients(opts, server, count):
    """RSS of a server while `count` chargen and `count` echo clients are connected."""
    # A burst of connections overflows a short listen queue; the dropped ones come back with
    # the SYN retransmissions 1, 3, 7 and 15 s later.
    seconds = max(16.0, opts.time)
    pid = server.pid_for("echo")
    chargen = subprocess.Popen(
        probe_argv(opts, "chargen", ["-c", str(count)], server.chargen_port, [], seconds),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=die_with_us)
    echo = subprocess.Popen(
        probe_argv(opts, "echo", ["-c", str(count)], server.echo_port, [], seconds),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=die_with_us)
    peak_rss, peak_sockets = 0, 0
    deadline = time.monotonic() + seconds + 20
    while (chargen.poll() is None or echo.poll() is None) and time.monotonic() < deadline:
        peak_rss = max(peak_rss, status_field(pid, "VmRSS") or 0)
        peak_sockets = max(peak_sockets, open_sockets(pid))
        time.sleep(0.1)
    for proc in (chargen, echo):
        if proc.poll() is None:
            proc.kill()
    outputs = [proc.communicate()[0].decode() for proc in (chargen, echo)]
    return {"clients_each": count, "peak_rss_kib": peak_rss, "sockets": peak_sockets,
            "hwm_kib": status_field(pid, "VmHWM"), "probe_outputs": outputs}


# ----------------------------------------------------------------------------- setup


def installed(command):
    return shutil.which(command) is not None


def ensure_packages(names, opts, notes):
    wanted = {"xinetd": "xinetd", "socat": "socat"}
    missing = [wanted[n] for n in names if n in wanted and not installed(n)]
    if not missing:
        return
    if opts.no_install or os.geteuid() != 0:
        for p in missing:
            notes.append(f"{p} is not installed and was not installed: left out")
        return
    before = set(system_xinetd())
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    run_checked(["apt-get", "update", "-qq"], env=env)
    run_checked(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing, env=env)
    started = [p for p in system_xinetd() if p not in before]
    if started:
        notes.append(f"installing xinetd started a system instance (pid {started}); "
                     "it was left alone")


def system_xinetd():
    """xinetd processes that are not ours, the system's or anyone else's (looked at, never
    touched). Called before ours start."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit() and (read(f"/proc/{name}/comm") or "").strip() == "xinetd":
            found.append(int(name))
    return found


def build(opts):
    if opts.no_build:
        return
    targets = ["orvane"] + ([] if opts.probe else ["orvane-probe"])
    run_checked(["cmake", "--preset", "release"], cwd=ROOT, stdout=subprocess.DEVNULL)
    run_checked(["cmake", "--build", "--preset", "release", "-j2", "--target"] + targets,
                cwd=ROOT, stdout=subprocess.DEVNULL)


def build_limit(opts, tmp):
    source = os.path.join(opts.yardstick, "limit_server.c")
    if not os.path.isfile(source):
        raise SystemExit(f"bench: no {source}; give the yardstick folder with --yardstick")
    copy = os.path.join(tmp, "yardstick")
    shutil.copytree(opts.yardstick, copy)
    binary = os.path.join(copy, "limit_server")
    run_checked(["cc", "-O2", "-o", binary, os.path.join(copy, "limit_server.c")])
    return binary


def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=5)
        text = (out.stdout + out.stderr).strip().splitlines()
        return text[0] if text else ""
    except (OSError, subprocess.TimeoutExpired):
        return ""


def version_line(argv, prefix):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=5).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return next((l.strip() for l in out.splitlines() if l.startswith(prefix)), "")


def machine_facts():
    cpuinfo = read("/proc/cpuinfo") or ""
    model = next((l.split(":", 1)[1].strip() for l in cpuinfo.splitlines()
                  if l.startswith("model name")), "?")
    mem = next((l.split()[1] for l in (read("/proc/meminfo") or "").splitlines()
                if l.startswith("MemTotal")), "0")
    virtual = " hypervisor" in cpuinfo
    return {"cpu": model, "cores": os.cpu_count(), "kernel": os.uname().release,
            "mem_gib": round(int(mem) / 1024 / 1024, 1), "virtual": virtual}


def load_average():
    return " ".join((read("/proc/loadavg") or "? ? ?").split()[:3])


def other_load(seconds, cpus):
    """How busy the given CPUs are with other work over a short look, in % of one CPU."""
    a = cpu_times()
    time.sleep(seconds)
    b = cpu_times()
    return {c: round(100 * (b[c][0] - a[c][0]) / TICK / seconds, 1) for c in cpus if c in a}


def git_revision():
    rev = first_line(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"])
    dirty = subprocess.run(["git", "-C", ROOT, "diff", "--quiet", "HEAD"]).returncode != 0
    return rev + (" (with uncommitted changes)" if dirty else "")


# ----------------------------------------------------------------------------- report


def fmt(value, unit=None):
    if value is None:
        return "-"
    if unit == "MB/s" or abs(value) < 100:
        return f"{value:,.1f}"
    return f"{value:,.0f}"


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread_pct(values):
    values = [v for v in values if v is not None]
    if len(values) < 2 or not statistics.median(values):
        return None
    return 100 * (max(values) - min(values)) / 2 / statistics.median(values)


def efficiency(record):
    """A run's figure per CPU-second of the server."""
    if record["value"] is None or record["server_cpu_pct"] <= 0:
        return None
    return record["value"] / (record["server_cpu_pct"] / 100)


def report(meta, records, final):
    servers = meta["servers"]
    names = [s["name"] for s in servers]
    label = {s["name"]: s["label"] for s in servers}
    by = {}
    for r in records:
        by.setdefault((r["workload"], r["server"]), []).append(r)
    out = []
    w = out.append

    started = meta["started"]
    reps = meta["reps"]
    w(f"Run of {started} on `{meta['revision']}`: {reps} repetition{'s' if reps > 1 else ''} of "
      f"{meta['time']:g} s per workload and server, interleaved (each workload runs against "
      "every server in turn, the order rotating between repetitions), servers pinned to "
      f"CPU {meta['server_cpu']}, orvane-probe to CPU {meta['probe_cpu']}. Figures are medians; "
      "\u00b1 is half the range over the repetitions, as % of the median.")
    w("")
    w("```")
    w(meta["command"])
    w("```")
    w("")
    m = meta["machine"]
    w(f"Machine: {m['cores']} cores ({m['cpu']}{', virtual machine' if m['virtual'] else ''}), "
      f"{m['mem_gib']} GiB, Linux {m['kernel']}. Load average {meta['load_start']} at the start, "
      f"{final.get('load_end', '?')} at the end.")
    w("")

    # Throughput.
    others = [n for n in names if n != "orvane"]
    head = ["workload", "unit"] + [label[n] for n in names] + [f"orvane/{n}" for n in others]
    per_cpu = "orvane" in names and "limit" in names
    if per_cpu:
        head.append("orvane/limit per CPU-second")
    w("| " + " | ".join(head) + " |")
    w("|" + "---|" * 2 + "---:|" * (len(head) - 2))
    missed = []
    flagged = []
    lossy = []
    unverified = False
    for wid, wlabel, unit, mode, _ in WORKLOADS:
        if not any((wid, n) in by for n in names):
            continue
        medians = {}
        row = [wlabel, unit]
        for n in names:
            runs = by.get((wid, n), [])
            if not runs:
                row.append("n/a")
                continue
            values = [r["value"] for r in runs]
            medians[n] = med(values)
            cell = fmt(medians[n], unit)
            sp = spread_pct(values)
            if sp is not None:
                cell += f" \u00b1{sp:.0f}%"
            if mode == "chargen" and any(r.get("check") == "none" for r in runs):
                cell += " (u)"
                unverified = True
            loss = med([r.get("loss_pct") for r in runs])
            if loss is not None and loss >= 0.1:
                lossy.append(f"{label[n]}, {wlabel}: {loss:.1f}%")
            bad = [f for r in runs for f in r["faults"]]
            if bad:
                cell += " (!)"
                flagged.append(f"{label[n]}, {wlabel}: " + "; ".join(sorted(set(bad))))
            row.append(cell)
        for n in others:
            if medians.get("orvane") and medians.get(n):
                ratio = medians["orvane"] / medians[n]
                cell = f"{ratio:.2f}"
                if n == "limit" and ratio < 0.9:
                    cell = f"**{cell}**"
                    missed.append(f"{wlabel} ({ratio:.2f})")
                row.append(cell)
            else:
                row.append("-")
        if per_cpu:
            a, b = (med([efficiency(r) for r in by.get((wid, n), [])]) for n in ("orvane", "limit"))
            row.append(f"{a / b:.2f}" if a and b else "-")
        w("| " + " | ".join(row) + " |")
    w("")
    if per_cpu:
        w("The last column divides each run's figure by the share of a core the server used in "
          "it: what each does per CPU-second. Where other work took CPU time from the server "
          "in some runs and not in others, it says more than the plain ratio.")
        w("")
    if "limit" in names and "orvane" in names:
        if missed:
            w("Below 0.9 of the yardstick (bold): " + ", ".join(missed) + ".")
        else:
            w("orvane reaches at least 0.9 of the yardstick on every workload.")
        w("")
    if flagged:
        w("(!) Runs that did not come back intact or complete:")
        for f in flagged:
            w(f"- {f}")
        w("")
    if unverified:
        w("(u) chargen read without a check of the bytes (see the notes below).")
        w("")
    if lossy:
        w("UDP datagrams lost (median over the repetitions; loss is a measurement, not a fault): "
          + "; ".join(lossy) + ".")
        w("")

    # CPU and memory.
    w("Server CPU time over each run, in % of one core (the probe's own, on the other CPU, "
      "after the slash):")
    w("")
    head = ["workload"] + [label[n] for n in names]
    w("| " + " | ".join(head) + " |")
    w("|---|" + "---:|" * len(names))
    for wid, wlabel, unit, mode, _ in WORKLOADS:
        if not any((wid, n) in by for n in names):
            continue
        row = [wlabel]
        for n in names:
            runs = by.get((wid, n), [])
            if not runs:
                row.append("n/a")
                continue
            row.append(f"{med([r['server_cpu_pct'] for r in runs]):.0f} / "
                       f"{med([r['probe_cpu_pct'] for r in runs]):.0f}")
        w("| " + " | ".join(row) + " |")
    totals = ["CPU time over all runs (s)"]
    rss = ["peak RSS (MiB)"]
    for n in names:
        totals.append(f"{sum(r['server_cpu_s'] for r in records if r['server'] == n):.1f}")
        info = final.get("memory", {}).get(n, {})
        rss.append(f"{info['kib'] / 1024:.1f}{info.get('note', '')}" if info else "-")
    idle = final.get("idle")
    if idle:
        secs = next(iter(idle.values()))["seconds"]
        w("| " + " | ".join([f"idle, no clients ({secs:.0f} s)"] +
                            [f"{idle[n]['cpu_pct']:.2f}" if n in idle else "-" for n in names]) +
          " |")
        w("| " + " | ".join(["idle wake-ups per second"] +
                            [f"{idle[n]['wakeups_per_s']:.0f}" if n in idle else "-"
                             for n in names]) + " |")
    w("| " + " | ".join(totals) + " |")
    w("| " + " | ".join(rss) + " |")
    w("")
    if any(info.get("note") for info in final.get("memory", {}).values()):
        w("\\* forks a process per client: the peak of the summed proportional set size (PSS: "
          "shared pages counted once) of all its processes, sampled during the runs.")
        w("")

    held = final.get("held")
    if held:
        for n, h in held.items():
            w(f"{label.get(n, n)} with {h['clients_each']} chargen and {h['clients_each']} echo "
              f"clients connected ({h['sockets']} sockets open): RSS {h['peak_rss_kib']} KiB "
              f"({h['peak_rss_kib'] / 1024:.2f} MiB); VmHWM over the whole run "
              f"{h['hwm_kib']} KiB.")
        w("")

    # Noise.
    o0 = [r["other_cpu0_pct"] for r in records]
    o1 = [r["other_cpu1_pct"] for r in records]
    st = [r["steal_pct"] for r in records]
    if records:
        w(f"Other work on the machine during the runs (busy time of the CPU not spent by the "
          f"server or the probe, % of that CPU): CPU {meta['server_cpu']} median "
          f"{med(o0):.0f}%, max {max(o0):.0f}%; CPU {meta['probe_cpu']} median {med(o1):.0f}%, "
          f"max {max(o1):.0f}%; steal median {med(st):.1f}%. Just before the run, over 2 s: "
          + ", ".join(f"CPU {c} {v:.0f}%" for c, v in meta["other_load_start"].items()) + ".")
        noisy = med(o0) > 5 or med(o1) > 5
        w("")
        w("**The machine was busy with other work: take the ratios, which come from "
          "interleaved runs, rather than the absolute figures.**" if noisy else
          "The machine was quiet apart from the benchmark.")
        w("")
    for note in meta.get("notes", []):
        w(f"- {note}")
    w("")
    w("Servers as started:")
    for s in servers:
        # Paths of this checkout and of the run's temporary folder say nothing to a reader.
        form = re.sub(r"/\S*/orvane-bench-[^/ ]+", "TMP", s["form"].replace(ROOT + "/", ""))
        w(f"- {s['label']}: `{form}`" + (f" ({s['version']})" if s.get("version") else ""))
    return "\n".join(out).rstrip() + "\n"


def update_doc(text):
    if not os.path.exists(DOC):
        raise SystemExit(f"bench: {DOC} is missing")
    with open(DOC, encoding="utf-8") as f:
        doc = f.read()
    if DOC_BEGIN not in doc or DOC_END not in doc:
        raise SystemExit(f"bench: {DOC} lacks the markers of the generated section")
    head, rest = doc.split(DOC_BEGIN, 1)
    _, tail = rest.split(DOC_END, 1)
    with open(DOC, "w", encoding="utf-8") as f:
        f.write(head + DOC_BEGIN + "\n\n" + text + "\n" + DOC_END + tail)
    log(f"updated {DOC}")


def load_raw(path):
    meta, records, final = None, [], {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            item = json.loads(line)
            if "meta" in item:
                meta = item["meta"]
            elif "final" in item:
                final = item["final"]
            else:
                records.append(item)
    return meta, records, final


# ----------------------------------------------------------------------------- main


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="bench/run",
        description="Builds a release orvane and orvane-probe, runs the probe's workloads "
        "against orvane, the yardstick server, xinetd and socat, interleaved, and prints a "
        "markdown report. Everything runs on loopback and stops by itself.")
    p.add_argument("-t", "--time", type=float, default=3, help="seconds per run (default 3)")
    p.add_argument("-r", "--reps", type=int, default=3, help="repetitions (default 3)")
    p.add_argument("--servers", default="orvane,limit,xinetd,socat",
                   help="servers to compare, comma-separated (default all four)")
    p.add_argument("--workloads", default="",
                   help="only these workloads, comma-separated ids or id prefixes "
                   "(" + ", ".join(w[0] for w in WORKLOADS) + "), or none")
    p.add_argument("--idle", type=float, default=60,
                   help="seconds of the idle measurement with no clients (default 60; 0 skips)")
    p.add_argument("--held", type=int, default=64,
                   help="chargen and echo clients each held while orvane's RSS is measured "
                   "(default 64; 0 skips)")
    p.add_argument("--probe", help="orvane-probe to use instead of building it")
    p.add_argument("--no-build", action="store_true", help="use the release build as it is")
    p.add_argument("--no-install", action="store_true",
                   help="do not install missing xinetd or socat")
    p.add_argument("--yardstick", default=os.path.join(os.path.dirname(ROOT), "shared", "bench"),
                   help="folder with limit_server.c (default: shared/bench beside the repository)")
    p.add_argument("--server-cpu", type=int, default=0, help="CPU of the servers (default 0)")
    p.add_argument("--probe-cpu", type=int, default=1, help="CPU of the probe (default 1)")
    p.add_argument("--out", default=os.path.join(ROOT, "build", "bench"),
                   help="folder for raw.jsonl and report.md (default build/bench)")
    p.add_argument("--update-doc", action="store_true",
                   help="also write the report into the generated section of docs/benchmarks.md")
    p.add_argument("--report", metavar="RAW",
                   help="run nothing: print the report of an earlier run's raw.jsonl")
    opts = p.parse_args(argv)
    if opts.time <= 0 or opts.reps < 1 or opts.idle < 0 or not 0 <= opts.held <= 64:
        p.error("--time and --reps must be positive, --idle not negative, --held 0 to 64")
    return opts


def main(argv):
    opts = parse_args(argv)
    if opts.report:
        meta, records, final = load_raw(opts.report)
        text = report(meta, records, final)
        print(text)
        if opts.update_doc:
            update_doc(text)
        return 0

    names = [n for n in opts.servers.split(",") if n]
    wanted = [x for x in opts.workloads.split(",") if x]
    # An exact id means that workload alone (chargen-c1 is not chargen-c16); else a prefix.
    workloads = [w for w in WORKLOADS if not wanted or
                 any(w[0] == x or (x not in WORKLOAD_BY_ID and w[0].startswith(x))
                     for x in wanted)]
    if opts.workloads == "none":
        workloads = []  # only the idle and held-clients measurements
    elif not workloads:
        raise SystemExit("bench: no workload matches --workloads")
    notes = []
    ensure_packages(names, opts, notes)
    names = [n for n in names if n not in ("xinetd", "socat") or installed(n)]

    build(opts)
    opts.orvane = os.path.join(ROOT, "build", "release", "orvane")
    opts.probe = os.path.abspath(opts.probe) if opts.probe else \
        os.path.join(ROOT, "build", "release", "orvane-probe")
    for path in (opts.orvane, opts.probe):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"bench: {path} is missing")
    try:
        os.sched_setaffinity(0, {opts.probe_cpu})  # the harness stays off the servers' CPU
    except OSError:
        pass

    os.makedirs(opts.out, exist_ok=True)
    raw_path = os.path.join(opts.out, "raw.jsonl")
    tmp = tempfile.mkdtemp(prefix="orvane-bench-")
    runs = sum(1 for w in workloads for n in names if n != "socat" or w[3] != "chargen")
    lifetime = int(opts.idle + opts.reps * runs * (opts.time + 6) + 300)
    servers = []

    def stop_all(*_):
        for s in servers:
            s.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    def on_signal(signum, _frame):
        stop_all()
        sys.exit(128 + signum)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        limit_binary = build_limit(opts, tmp) if "limit" in names else None
        meta = {
            "started": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "command": "bench/run" + ("" if not argv else " " + shlex.join(argv)),
            "revision": git_revision(), "machine": machine_facts(),
            "time": opts.time, "reps": opts.reps,
            "server_cpu": opts.server_cpu, "probe_cpu": opts.probe_cpu,
            "load_start": load_average(),
            "other_load_start": other_load(2, [opts.server_cpu, opts.probe_cpu]),
            "notes": notes,
        }
        if system_xinetd():
            notes.append("xinetd processes that this benchmark did not start are running "
                         f"(pid {', '.join(map(str, system_xinetd()))}); left alone")
        servers.extend(start_servers(names, opts, tmp, limit_binary, lifetime))
        versions = {"xinetd": first_line(["xinetd", "-version"]),
                    "socat": version_line(["socat", "-V"], "socat version")}
        meta["servers"] = [{"name": s.name, "label": s.label, "form": s.form,
                            "version": versions.get(s.name, "")} for s in servers]
        if any(w[3] == "chargen" for w in workloads):
            settle_chargen_checks(opts, servers, notes)
        raw = open(raw_path, "w", encoding="utf-8")
        raw.write(json.dumps({"meta": meta}) + "\n")
        final = {}

        if opts.idle > 0:
            final["idle"] = measure_idle(servers, opts.idle)
            for n, v in final["idle"].items():
                log(f"  {n}: {v['cpu_pct']:.2f}% of a core, {v['wakeups_per_s']:.0f} wake-ups/s")

        records = []
        t_start = time.monotonic()
        for rep in range(opts.reps if workloads else 0):
            log(f"repetition {rep + 1} of {opts.reps} "
                f"({time.monotonic() - t_start:.0f} s so far, load {load_average()})")
            for wi, workload in enumerate(workloads):
                turn = (rep + wi) % len(servers)
                for s in servers[turn:] + servers[:turn]:
                    if not s.serves(workload[3]):
                        continue
                    r = measure(opts, s, workload, rep)
                    records.append(r)
                    raw.write(json.dumps(r) + "\n")
                    raw.flush()
                    log(f"  {workload[0]:14} {s.name:7} {fmt(r['value']):>10} "
                        f"cpu {r['server_cpu_pct']:3.0f}% probe {r['probe_cpu_pct']:3.0f}% "
                        f"other {r['other_cpu0_pct']:3.0f}%/{r['other_cpu1_pct']:3.0f}%"
                        + (f"  FAULT {r['faults']}" if r["faults"] else ""))
                    time.sleep(SETTLE)

        if opts.held:
            final["held"] = {}
            for s in servers:
                if s.name in ("orvane", "limit"):
                    final["held"][s.name] = measure_held_clients(opts, s, opts.held)
                    h = final["held"][s.name]
                    log(f"  {s.name} with {opts.held}+{opts.held} clients: RSS "
                        f"{h['peak_rss_kib']} KiB, {h['sockets']} sockets")
        final["memory"] = {}
        for s in servers:
            if s.forking:
                final["memory"][s.name] = {"kib": s.peak_tree_pss_kib, "note": "\\*"}
            else:
                final["memory"][s.name] = {"kib": status_field(s.pids()[0], "VmHWM") or 0}
        final["load_end"] = load_average()
        raw.write(json.dumps({"final": final}) + "\n")
        raw.close()
    finally:
        stop_all()

    text = report(meta, records, final)
    with open(os.path.join(opts.out, "report.md"), "w", encoding="utf-8") as f:
        f.write(text)
    print(text)
    log(f"raw results in {raw_path}; report in {os.path.join(opts.out, 'report.md')}")
    if opts.update_doc:
        update_doc(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
