"""What every section shares: lanflash's constants, /proc probes of a process
and its tree, machine-sim's event lines, starting and stopping processes,
rows run side by side, and the rendering of the results."""
import ctypes
import json
import os
import platform
import re
import resource
import select
import signal
import subprocess
import sys
import threading
import time

from constants import Constants

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
IN_NETNS = os.path.join(REPO, "tests", "e2e", "in-netns")
LF = Constants(REPO)

UDP_PORT = LF["PORT"]                       # announcements
SIM_PORT = LF["kMachinePort"]               # reset and YMODEM
BLOCK_BYTES = LF["PACKET_1K_SIZE"]
SIM_ADDRESS = "127.0.0.7"
RUN_DEADLINE_S = 240         # a hung run is killed, not waited for
BIND_WAIT_S = 10.0
TREE_SAMPLE_S = 0.1
CLK_TCK = os.sysconf("SC_CLK_TCK")
RESULT_LINE = re.compile(r"^result: (\S+) (updated|failed|unconfirmed)$")
# lanflash starts its threads in this order: console handler, listener, link.
THREAD_NAMES = ["main (sequencer)", "console", "udpThread", "tcpThread"]


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def lanflash(ctx):
    return os.path.join(ctx.build, "lanflash")


def machine_sim(ctx):
    return os.path.join(ctx.build, "machine-sim")


def write_image(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path


# ------------------------------------------------------------ /proc probes

def cpu_sample(pid):
    """CPU time of the whole process: (utime+stime in ticks, schedstat ns summed over threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime: fields 14 and 15
    ns = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return ticks, ns


def thread_switches(pid):
    """Voluntary context switches per thread, in creation order (main thread first)."""
    out = []
    for tid in sorted(int(t) for t in os.listdir(f"/proc/{pid}/task")):
        with open(f"/proc/{pid}/task/{tid}/status") as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches:"):
                    out.append(int(line.split()[1]))
    return out


def snapshot(pid):
    ticks, ns = cpu_sample(pid)
    return {"t": time.monotonic(), "ticks": ticks, "ns": ns, "switches": thread_switches(pid)}


def usage_between(a, b):
    wall = b["t"] - a["t"]
    cpu_ms = (b["ticks"] - a["ticks"]) * 1000.0 / CLK_TCK
    sched_ms = (b["ns"] - a["ns"]) / 1e6
    wakeups = {}
    for i, (x, y) in enumerate(zip(a["switches"], b["switches"])):
        name = THREAD_NAMES[i] if i < len(THREAD_NAMES) else f"thread{i}"
        wakeups[name] = round((y - x) / wall, 1)
    return {
        "wall_s": round(wall, 2),
        "cpu_ms": round(cpu_ms, 1),
        "cpu_percent_of_core": round(100.0 * cpu_ms / 1000.0 / wall, 3),
        "schedstat_cpu_ms": round(sched_ms, 1),
        "schedstat_percent_of_core": round(100.0 * sched_ms / 1000.0 / wall, 3),
        "wakeups_per_s": wakeups,
    }


def after_wakeup(pid, deadline_s):
    """Returns just after PID's main thread wakes from a sleep (its voluntary context switches grow),
    True; False if that did not happen within DEADLINE_S."""
    path = f"/proc/{pid}/task/{pid}/status"

    def switches():
        with open(path) as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches:"):
                    return int(line.split()[1])
        return None

    before = switches()
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        time.sleep(0.001)
        if switches() != before:
            return True
    return False


def memory_report(pid):
    """VmHWM and what makes up the resident set, grouped by mapping."""
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "VmStk", "Threads"):
                status[key] = int(value.split()[0])
    rollup = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                rollup[parts[0].rstrip(":")] = int(parts[1])
    groups = {}
    exe = os.path.realpath(f"/proc/{pid}/exe")
    prev_path = None
    prev_end = None
    name = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split()
            if "-" in head[0] and len(head) >= 5 and ":" not in head[0]:
                start, end = (int(x, 16) for x in head[0].split("-"))
                path = head[5] if len(head) > 5 else ""
                size_kib = (end - start) // 1024
                if path == exe:
                    name = "lanflash binary"
                elif not path and prev_path == exe and prev_end == start:
                    name = "lanflash .bss (fw_buf and link buffers)"
                elif not path and size_kib == 8192:
                    name = "thread stacks"
                elif not path:
                    name = "other anonymous (malloc arenas, TLS)"
                else:
                    name = os.path.basename(path)
                prev_path, prev_end = path, end
            elif head[0] == "Rss:" and name is not None:
                groups[name] = groups.get(name, 0) + int(head[1])
    top = sorted(((k, v) for k, v in groups.items() if v > 0), key=lambda kv: -kv[1])
    return {"status_kib": status, "smaps_rollup_kib": rollup, "rss_by_mapping_kib": dict(top)}


def tree_pids(pid):
    """PID and its descendants, parents first: workers live only while running, so they are found by sampling."""
    out = [pid]
    for p in out:
        try:
            tids = os.listdir(f"/proc/{p}/task")
        except OSError:
            continue
        for tid in tids:
            try:
                with open(f"/proc/{p}/task/{tid}/children") as f:
                    out.extend(int(c) for c in f.read().split())
            except OSError:
                pass
    return out


def proc_status(pid):
    """The KiB figures of /proc/PID/status, or None once the process is gone (or a zombie without memory)."""
    out = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    out[key] = int(value.split()[0])
    except OSError:
        return None
    return out if "VmRSS" in out else None


def proc_pss(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def is_worker(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"\0--worker\0" in f.read()
    except OSError:
        return False


def own_cpu_s(pid):
    """utime+stime of PID alone (not its reaped children)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def watch_tree(proc, deadline_s, first_seen=None, sample_s=TREE_SAMPLE_S):
    """Samples the process tree of PROC until it ends, then reaps it with wait4.

    A process's VmHWM is gone once it exits, so the sum of the tree's RSS and
    each worker's peak are taken from samples every SAMPLE_S. wait4's
    rusage counts PROC and every child it reaped, which is how the workers'
    CPU time is still seen after they are gone. FIRST_SEEN, a dict, gets
    each worker's pid and when a sample first found it (monotonic s)."""
    out = {"peak_rss_kib": 0, "pss_at_peak_kib": 0, "largest_worker_hwm_kib": 0, "peak_workers": 0,
           "lanflash_hwm_kib": 0, "samples": 0}
    workers = {} if first_seen is None else first_seen
    end = time.monotonic() + deadline_s
    while True:
        # Ended but not yet reaped: the zombie still tells lanflash's own CPU time, without its workers'.
        if os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
            try:
                out["lanflash_own_cpu_s"] = own_cpu_s(proc.pid)
            except OSError:
                pass
            pid, status, ru = os.wait4(proc.pid, 0)
            break
        if time.monotonic() > end:
            out["error"] = f"lanflash still running after {deadline_s} s"
            proc.kill()
            pid, status, ru = os.wait4(proc.pid, 0)
            break
        total, running = 0, []
        for p in tree_pids(proc.pid):
            st = proc_status(p)
            if st is None:
                continue
            total += st["VmRSS"]
            running.append(p)
            if p == proc.pid:
                out["lanflash_hwm_kib"] = max(out["lanflash_hwm_kib"], st.get("VmHWM", 0))
                try:
                    out["lanflash_own_cpu_s"] = own_cpu_s(p)
                except OSError:
                    pass
            elif p in workers or is_worker(p):
                workers.setdefault(p, time.monotonic())
                out["largest_worker_hwm_kib"] = max(out["largest_worker_hwm_kib"], st.get("VmHWM", 0))
        out["samples"] += 1
        out["peak_workers"] = max(out["peak_workers"], len([p for p in running if p in workers]))
        if total > out["peak_rss_kib"]:
            out["peak_rss_kib"] = total
            out["processes_at_peak"] = len(running)
            out["pss_at_peak_kib"] = sum(proc_pss(p) for p in running)  # only at a new peak: it walks page tables
        time.sleep(sample_s)
    proc.returncode = os.waitstatus_to_exitcode(status)
    out["lanflash_status"] = proc.returncode
    out["cpu_s"] = round(ru.ru_utime + ru.ru_stime, 3)
    out["workers_seen"] = len(workers)
    # A worker lanflash left behind would hold its machine and hide its CPU time.
    out["workers_left"] = sorted(p for p in workers if proc_status(p) is not None and is_worker(p))
    return out


def take_tree(tree, result):
    """Moves what watch_tree measured into RESULT (status, error, the tree) and kills any
    worker lanflash left behind, which counts as an error of the run."""
    result["lanflash_status"] = tree.pop("lanflash_status")
    if "error" in tree:
        result["error"] = tree.pop("error")
    result["tree"] = tree
    if tree["workers_left"] and "error" not in result:
        result["error"] = f"{len(tree['workers_left'])} worker(s) still running after lanflash ended"
    for pid in tree["workers_left"]:
        os.kill(pid, signal.SIGKILL)


def udp_bound(pid, port):
    """Whether PID holds a UDP socket bound to PORT: only then does it hear the first announcement."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[1].rpartition(":")[2], 16) == port and fields[9] in inodes:
                return True
    return False


def wait_bound(proc):
    """Waits until PROC (lanflash) has bound the announcement port, so that it hears a machine's first
    announcement: no fixed pause before a machine starts. False if it ended or never bound."""
    give_up = time.monotonic() + BIND_WAIT_S
    while proc.poll() is None and time.monotonic() < give_up:
        if udp_bound(proc.pid, UDP_PORT):
            return True
        time.sleep(0.005)
    return False


# ------------------------------------------------------------ machine-sim's events

class SimLog:
    """machine-sim's wire events, read live from its --verbose output."""

    def __init__(self):
        self.events = []  # (host monotonic s, sim ms, text)

    def first(self, prefix):
        for ev in self.events:
            if ev[2].startswith(prefix):
                return ev
        return None

    def last(self, prefix):
        for ev in reversed(self.events):
            if ev[2].startswith(prefix):
                return ev
        return None

    def all(self, prefix):
        return [ev for ev in self.events if ev[2].startswith(prefix)]


def read_sim(proc, log, hooks):
    """Reads events until the sim ends; hooks maps a prefix to a callback run on its first sighting."""
    fired = set()
    for line in proc.stdout:
        now = time.monotonic()
        line = line.rstrip("\n")
        if not line.startswith("t="):
            continue
        t_text, _, text = line.partition(" ")
        log.events.append((now, int(t_text[2:]), text))
        for prefix, hook in hooks.items():
            if prefix not in fired and text.startswith(prefix):
                fired.add(prefix)
                hook()


def sim_clock_offset(log):
    """Host monotonic s at the sim's t=0: the line read quickest sets it (reading only adds delay)."""
    return min(host - sim_ms / 1000.0 for host, sim_ms, _ in log.events)


def read_lines(proc, lines, stream="stdout"):
    """Collects (host monotonic s, line) from a process's stdout (or STREAM) until it ends."""
    for line in getattr(proc, stream):
        lines.append((time.monotonic(), line.rstrip("\n")))


def with_deadline(proc):
    timer = threading.Timer(RUN_DEADLINE_S, proc.kill)
    timer.daemon = True
    timer.start()
    return timer


def stop(proc, sig=signal.SIGTERM):
    """Asks a process to end with SIG, kills it after 10 s; its exit status."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


def filecmp(a, b):
    try:
        with open(a, "rb") as fa, open(b, "rb") as fb:
            return fa.read() == fb.read()
    except OSError:
        return False


def raise_nofile(wanted):
    """Lifts the soft limit on open files to WANTED (at most the hard limit); children inherit it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    new = soft
    if soft != resource.RLIM_INFINITY and soft < wanted:
        new = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))
    return {"soft_before": soft, "soft": new, "hard": hard}


# ------------------------------------------------------------ network namespaces

def enter_netns(argv):
    """Runs the bench again inside a private network namespace with only loopback, unless it is in one."""
    if os.environ.get("LANFLASH_IN_NETNS") != "1":
        os.execv(IN_NETNS, [IN_NETNS, sys.executable] + argv)


CLONE_NEWNET = 0x40000000


def _own_netns():
    """Moves this process into a new network namespace of its own with loopback up (root in the bench's
    user namespace may)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNET)")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


class Step:
    """One row or a few rows of a section. QUIET: it spends its time in lanflash's fixed waits and uses
    a few percent of a core, so it may run beside another quiet step, each in its own network namespace;
    the others run alone."""

    def __init__(self, name, fn, quiet=False):
        self.name, self.fn, self.quiet = name, fn, quiet


def run_steps(steps, lanes):
    """Runs the quiet steps first, at most LANES at once, each in a child process in a network
    namespace of its own (so that the machines of one never meet lanflash of another), and then the
    others one at a time in this process. Returns {name: result} and when each step ran."""
    results, timing = {}, {}
    t0 = time.monotonic()
    pending = [s for s in steps if s.quiet]
    running = {}  # pid -> (step, read end, started)
    chunks = {}
    failed = []
    while pending or running:
        while pending and len(running) < lanes:
            step = pending.pop(0)
            say(f"{step.name} (beside others, own network namespace) ...")
            r, w = os.pipe()
            sys.stdout.flush()
            sys.stderr.flush()
            pid = os.fork()
            if pid == 0:
                code = 0
                try:
                    os.close(r)
                    _own_netns()
                    data = json.dumps({"result": step.fn()}).encode()
                except BaseException as e:  # the parent reports it; nothing may unwind past the fork
                    data = json.dumps({"error": f"{type(e).__name__}: {e}"}).encode()
                    code = 1
                with os.fdopen(w, "wb") as f:
                    f.write(data)
                os._exit(code)
            os.close(w)
            running[pid] = (step, r, time.monotonic())
            chunks[pid] = []
        # Drain every child's pipe so that none blocks on a full one, then reap those that ended.
        for pid, (step, r, started) in list(running.items()):
            data = os.read(r, 1 << 20) if _readable(r) else None
            if data:
                chunks[pid].append(data)
                continue
            if data == b"":
                os.close(r)
                os.waitpid(pid, 0)
                got = json.loads(b"".join(chunks.pop(pid)) or b'{"error": "no result"}')
                if "error" in got:  # the others run on to their end: their machines and lanflash end with them
                    failed.append(f"{step.name}: {got['error']}")
                else:
                    results[step.name] = got["result"]
                timing[step.name] = {"start_s": round(started - t0, 1), "end_s": round(time.monotonic() - t0, 1),
                                     "beside": True}
                del running[pid]
        if running:
            _wait_any([r for _, r, _ in running.values()])
    if failed:
        raise SystemExit("bench: " + "; ".join(failed))
    for step in steps:
        if not step.quiet:
            say(f"{step.name} ...")
            started = time.monotonic()
            results[step.name] = step.fn()
            timing[step.name] = {"start_s": round(started - t0, 1), "end_s": round(time.monotonic() - t0, 1),
                                 "beside": False}
    for name, t in timing.items():  # which quiet steps shared the machine's time
        if t["beside"]:
            t["beside"] = [n for n, u in timing.items()
                           if n != name and u["beside"] and u["start_s"] < t["end_s"] and t["start_s"] < u["end_s"]]
        else:
            del t["beside"]
    return results, timing


def _readable(fd):
    return bool(select.select([fd], [], [], 0)[0])


def _wait_any(fds):
    select.select(fds, [], [], 1.0)


# ------------------------------------------------------------ report

def machine_info():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return {"nproc": os.cpu_count(), "cpu_model": model, "kernel": platform.release()}


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def fmt(value, form="{:.0f}"):
    return "-" if value is None else form.format(value)


def ratio(a, b):
    return round(a / b, 3) if a is not None and b else None


def median(values):
    values = sorted(values)
    n = len(values)
    return None if not n else values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def sum_or_none(values):
    values = list(values)
    return None if None in values else sum(values)


def goal(text, met, measured):
    return {"goal": text, "met": bool(met), "measured": measured}


def render(res, sections):
    """The table: each section's rows, then every goal, then the machine."""
    lines = []
    for section in sections:
        section.render(res, lines)
    while lines and not lines[0]:  # a run of only the later sections starts with their blank line
        lines.pop(0)
    if lines:
        lines.append("")
    lines.append("Goals:")
    for g in res["goals"]:
        lines.append(f"  [{'met' if g['met'] else 'MISSED'}] {g['goal']}: {g['measured']}")
    m = res["machine"]
    lines.append("")
    lines.append(f"Machine: {m['nproc']} CPUs, {m['cpu_model']}, Linux {m['kernel']}; "
                 f"load average {res['load_before'][0]:.2f} before, {res['load_after'][0]:.2f} after; "
                 f"the bench took {res['elapsed_s']:.0f} s")
    beside = [(n, t) for n, t in res.get("steps", {}).items() if "beside" in t]
    if beside:
        lines.append(f"Rows that wait, mostly, ran {res['side_by_side']} at a time, each in its own network "
                     "namespace (s after the start):")
        for n, t in beside:
            lines.append(f"  {n:20} {t['start_s']:5.0f} to {t['end_s']:3.0f}, beside {', '.join(t['beside']) or '-'}")
    return "\n".join(lines)


def write_json(path, res):
    with open(path, "w") as f:
        json.dump(res, f, indent=2)
