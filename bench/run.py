#!/usr/bin/env python3
"""What an update costs: lanflash against its own fixed waits and against lrzsz.

Usage: bench/run.py BUILD_DIR [--json PATH] [--image-kib N] [--wait-s S]
                    [--only updates,fleet,parallel,fast,crowd] [--parallel-counts 1,5,20,50|none]
                    [--list-machines 300]

First lanflash waits with no machine around, then updates a machine-sim that
starts in its boot loader, three times (as shipped, with a flash delay per
block, without TCP_NODELAY), and lrzsz's sz --ymodem sends the same image.
Then lanflash --all --jobs 1 updates five machines in one run, timed against
five times one update. Then lanflash --all --jobs 50 updates 1, 5, 20 and 50
machines at once, timed against one update, with the memory and CPU time of
lanflash and its workers together. The parallel section ends with 300
machines chosen by --machines FILE, a file that also holds 100 000 /32
blocks no machine is in: --all --jobs 256 takes them in two waves, timed
against one update by the same command with a one-line FILE, with every
machine updated exactly once, lanflash's own peak RSS and CPU time beside its
largest worker's and the tree's, and the time lanflash takes to read FILE
(FILE, then a bad entry, so it ends with status 2 before binding anything,
against an empty FILE). The 300 machine-sims are all started before the
clock runs and let go at once; the bench raises its soft limit on open files
to 4096 if it is lower (lanflash inherits it). --parallel-counts none runs
that row alone.

Last (section fast), lanflash with and without --fast updates a machine-sim
with its defaults and --strict, from the machine's first announcement to
lanflash's end with --exit: a 64 KiB image, a 1 MiB image, and 1 MiB at 5 ms
per block, each against the floor the machine's own pauses set, with where
the time goes; then 50 machines with --all --fast against one; lanflash's
CPU time for the fast 1 MiB update and while it waits; and the bytes the
strict machine saw before it asked for them.

Section crowd: the same --fast update of one machine-sim, chosen with
--machine, among 1000 and 2000 other machines that announce once a second
each (machine-sim --crowd, UDP only, spread evenly), against the same update
with no crowd; lanflash --all --timeout 3 exploring among 1000 of them,
every one listed once and the end within 4 s of the last new one; and
lanflash's CPU time per 1000 datagrams judged, from a 10 s wait for a
machine that never comes, with and without 2000 announcers.

BUILD_DIR holds lanflash, machine-sim and no_nodelay.so (make bench builds
all three). Everything runs in a private network namespace with loopback
only. Prints a table and writes the same figures as JSON (default:
BUILD_DIR/bench-results.json).
"""
import argparse
import json
import os
import platform
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
IN_NETNS = os.path.join(REPO, "tests", "e2e", "in-netns")

BLOCK_BYTES = 1024
REPLY_POLL_MS = 10           # one pass of the reply wait
FLOOR_MS_PER_BLOCK = 2 * REPLY_POLL_MS
FLASH_DELAY_MS = 4
ONE_PASS_LIMIT_MS = 15       # a block interval below this took a single pass
RUN_DEADLINE_S = 240         # a hung run is killed, not waited for
SIM_ADDRESS = "127.0.0.7"
SIM_PORT = 888
CLK_TCK = os.sysconf("SC_CLK_TCK")

# Nominal waits of the download path, between the wire events the sim logs.
DESIGN_WAITS_MS = {
    "connect_to_unlock": 2000,   # connect poll 1000 + move to M_UNLOCK_MEMORY 1000
    "unlock_to_request": 1000,
    "request_to_block0": 4000,
    "transfer_to_run": 2000,
}
GOAL_RATIO = 1.1
GOAL_WAIT_CPU_PERCENT = 1.0
GOAL_RSS_KIB = 4096

# The fleet: machine-sims in their application, each its own address and serial.
FLEET_ADDRESSES = [f"127.0.0.{11 + i}" for i in range(5)]
FLEET_SERIALS = [str(1001 + i) for i in range(5)]
FLEET_IMAGE_BYTES = 64 * 1024
GOAL_FLEET_RATIO = 1.0
# The parallel run: every machine at once, each in a lanflash worker.
PARALLEL_COUNTS = [1, 5, 20, 50]
PARALLEL_JOBS = 50
PARALLEL_ADDRESSES = [f"127.0.1.{1 + i}" for i in range(max(PARALLEL_COUNTS))]
PARALLEL_SERIALS = [str(2001 + i) for i in range(max(PARALLEL_COUNTS))]
GOAL_PARALLEL_RATIO = {20: 1.5, 50: 2.0}
GOAL_WORKER_RSS_KIB = 4096
TREE_SAMPLE_S = 0.1
# The parallel row named by a list: more machines than --jobs, so two waves,
# chosen by --machines FILE that also holds many blocks no machine is in.
LIST_MACHINES = 300
LIST_JOBS = 256
LIST_BLOCKS = 100000
LIST_SERIAL_BASE = 3001
LIST_READ_REPEATS = 7
GOAL_LIST_RATIO = 2.2
GOAL_LIST_PARENT_RSS_KIB = 4096
GATE_WAIT_S = 30.0
# The bench holds a pipe per machine-sim, lanflash one per worker; a soft
# limit of 1024 (a common default) is too close for 300 machines.
NOFILE_WANTED = 4096
# --fast against the design, on machine-sim with its defaults (given explicitly,
# since the floors are made of them) and --strict.
FAST_RESTART_MS = 500
FAST_INTERVAL_MS = 1000
FAST_C_INTERVAL_MS = 1000
FAST_SERIAL = "12345"
FAST_CASES = [  # key, column title, image KiB, --block-delay-ms
    ("64k", "64 KiB", 64, 0),
    ("1m", "1 MiB", 1024, 0),
    ("1m_5ms", "1 MiB, 5 ms", 1024, 5),
]
FAST_FLEET_COUNT = 50
FAST_IDLE_S = 5.0
UDP_PORT = 11000
BIND_WAIT_S = 10.0
GOAL_FAST_FLOOR_RATIO = 1.25
GOAL_FAST_DELAY_FLOOR_RATIO = 1.15   # the case with a flash delay
# One second more than before lanflash listened to a new address for an
# announcement interval before its first connection (LISTEN_FIRST_MS).
GOAL_FAST_MS = {"64k": 3500, "1m": 4000}
LISTEN_FIRST_MS = 1000
GOAL_FAST_FLEET_RATIO = 1.3
GOAL_FAST_CPU_S = 0.2
GOAL_FAST_IDLE_CPU_PERCENT = 1.0
# The crowd: other machines that only announce, once a second each, spread
# evenly (machine-sim --crowd), from the addresses after CROWD_BASE.
CROWD_COUNTS = [1000, 2000]
CROWD_BASE = "127.1.0.0"
CROWD_EXPLORE = 1000
CROWD_EXPLORE_TIMEOUT_S = 3
CROWD_CPU_WAIT_S = 10
GOAL_CROWD_RATIO = 1.2
GOAL_CROWD_EXPLORE_END_S = 4.0
SECTIONS = ["updates", "fleet", "parallel", "fast", "crowd"]
RESULT_LINE = re.compile(r"^result: (\S+) (updated|failed|unconfirmed)$")


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


# lanflash starts its threads in this order: console handler, listener, link.
THREAD_NAMES = ["main (sequencer)", "console", "udpThread", "tcpThread"]


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


def watch_tree(proc, deadline_s):
    """Samples the process tree of PROC until it ends, then reaps it with wait4.

    A process's VmHWM is gone once it exits, so the sum of the tree's RSS and
    each worker's peak are taken from samples every TREE_SAMPLE_S. wait4's
    rusage counts PROC and every child it reaped, which is how the workers'
    CPU time is still seen after they are gone."""
    out = {"peak_rss_kib": 0, "pss_at_peak_kib": 0, "largest_worker_hwm_kib": 0, "peak_workers": 0,
           "lanflash_hwm_kib": 0, "samples": 0}
    workers = set()
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
                workers.add(p)
                out["largest_worker_hwm_kib"] = max(out["largest_worker_hwm_kib"], st.get("VmHWM", 0))
        out["samples"] += 1
        out["peak_workers"] = max(out["peak_workers"], len([p for p in running if p in workers]))
        if total > out["peak_rss_kib"]:
            out["peak_rss_kib"] = total
            out["processes_at_peak"] = len(running)
            out["pss_at_peak_kib"] = sum(proc_pss(p) for p in running)  # only at a new peak: it walks page tables
        time.sleep(TREE_SAMPLE_S)
    proc.returncode = os.waitstatus_to_exitcode(status)
    out["lanflash_status"] = proc.returncode
    out["cpu_s"] = round(ru.ru_utime + ru.ru_stime, 3)
    out["workers_seen"] = len(workers)
    # A worker lanflash left behind would hold its machine and hide its CPU time.
    out["workers_left"] = sorted(p for p in workers if proc_status(p) is not None and is_worker(p))
    return out


# ------------------------------------------------------------ runs

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


def with_deadline(proc):
    timer = threading.Timer(RUN_DEADLINE_S, proc.kill)
    timer.daemon = True
    timer.start()
    return timer


def block_figures(log, data_blocks):
    oks = log.all("block ")
    oks = [ev for ev in oks if " ok len=" in ev[2]]
    b0 = log.first("block 0 name=")
    eob = log.first("end-of-batch")
    out = {"data_blocks_acknowledged": len(oks)}
    if b0 and eob:
        out["transfer_ms"] = eob[1] - b0[1]
    if len(oks) >= 2:
        gaps = [b[1] - a[1] for a, b in zip(oks, oks[1:])]
        per_block = (oks[-1][1] - oks[0][1]) / (len(oks) - 1)
        out["ms_per_data_block"] = round(per_block, 2)
        out["ratio_to_floor"] = round(per_block / FLOOR_MS_PER_BLOCK, 3)
        out["blocks_in_one_pass_percent"] = round(
            100.0 * sum(1 for g in gaps if g < ONE_PASS_LIMIT_MS) / len(gaps), 1)
        out["slowest_block_ms"] = max(gaps)
    out["complete"] = len(oks) == data_blocks and eob is not None
    return out


def run_update(build, work, image, data_blocks, label, block_delay_ms=0, preload=None, wait_s=0.0):
    """One whole update: lanflash waits, then machine-sim appears in its boot loader."""
    received = os.path.join(work, f"rx-{label}.bin")
    env = dict(os.environ)
    if preload:
        env["LD_PRELOAD"] = preload
    lf_out = open(os.path.join(work, f"lanflash-{label}.out"), "w")
    lf_err_path = os.path.join(work, f"lanflash-{label}.err")
    lf_err = open(lf_err_path, "w")
    lf = subprocess.Popen([os.path.join(build, "lanflash"), os.path.basename(image)], cwd=work,
                          env=env, stdout=lf_out, stderr=lf_err)
    result = {"label": label, "block_delay_ms": block_delay_ms, "tcp_nodelay": preload is None}
    try:
        time.sleep(1.0)  # start-up and first polls are not part of the wait
        if lf.poll() is not None:
            raise RuntimeError(f"lanflash ended at start with status {lf.returncode}")
        if wait_s > 0:
            a = snapshot(lf.pid)
            time.sleep(wait_s)
            result["waiting"] = usage_between(a, snapshot(lf.pid))

        cmd = [os.path.join(build, "machine-sim"), "--state", "boot", "--exit-after-run",
               "--out", received, "--verbose"]
        if block_delay_ms:
            cmd += ["--block-delay-ms", str(block_delay_ms)]
        sim = subprocess.Popen(cmd, cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)
        timer = with_deadline(sim)
        log = SimLog()
        marks = {}
        read_sim(sim, log, {
            "block 0 name=": lambda: marks.__setitem__("b0", snapshot(lf.pid)),
            "end-of-batch": lambda: marks.__setitem__("eob", snapshot(lf.pid)),
        })
        sim_status = sim.wait()
        timer.cancel()
        if "b0" in marks and "eob" in marks:
            result["transfer_usage"] = usage_between(marks["b0"], marks["eob"])
        if lf.poll() is None:
            result["memory"] = memory_report(lf.pid)
    finally:
        stop(lf, signal.SIGINT)
        lf_out.close()
        lf_err.close()

    with open(lf_err_path) as f:
        result["preload_took_effect"] = "TCP_NODELAY ignored" in f.read()
    ev = {k: log.first(p) for k, p in {
        "announce": "announce", "connect": "connect", "unlock": "rx-cmd 0x34",
        "request": "rx-cmd 0x31", "block0": "block 0 name=", "eob": "end-of-batch",
        "run": "rx-cmd 0x33"}.items()}
    missing = [k for k, v in ev.items() if v is None]
    result["sim_status"] = sim_status
    result["intact"] = sim_status == 0 and filecmp(image, received)
    if missing:
        result["error"] = "no " + ", ".join(missing) + " in machine-sim's log"
        return result
    waits = {
        "connect_to_unlock": ev["unlock"][1] - ev["connect"][1],
        "unlock_to_request": ev["request"][1] - ev["unlock"][1],
        "request_to_block0": ev["block0"][1] - ev["request"][1],
        "transfer_to_run": ev["run"][1] - ev["eob"][1],
    }
    result["total_ms"] = ev["run"][1] - ev["announce"][1]
    result["discovery_ms"] = ev["connect"][1] - ev["announce"][1]
    result["fixed_waits_ms"] = waits
    result["fixed_waits_total_ms"] = sum(waits.values())
    result.update(block_figures(log, data_blocks))
    return result


def read_lines(proc, lines, stream="stdout"):
    """Collects (host monotonic s, line) from a process's stdout (or STREAM) until it ends."""
    for line in getattr(proc, stream):
        lines.append((time.monotonic(), line.rstrip("\n")))


def stop(proc, sig=signal.SIGTERM):
    """Asks a process to end with SIG, kills it after 10 s; its exit status."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


def run_fleet(build, work, image, label, addresses, serials, options=(), select=None, gated=False):
    """lanflash OPTIONS --exit --machine ADDRESS... against machine-sims in their application.

    SELECT, when given, stands for the --machine options. Timed from the
    first announcement any sim sends to the last result line lanflash
    prints, both as read here, on one clock. The process tree of lanflash is
    sampled meanwhile for memory and CPU.

    GATED: for many machines, whose start alone takes seconds. Each sim is
    started once lanflash's UDP port is bound, held in a shell at a pipe's
    read, and all are let go at once by closing the pipe; the first
    announcement is then taken from each sim's own clock (moved onto the
    host's), which a busy reader thread cannot delay."""
    count = len(addresses)
    args = list(options) + ["--exit"]
    if select is None:
        for address in addresses:
            args += ["--machine", address]
    else:
        args += list(select)
    lf = subprocess.Popen([os.path.join(build, "lanflash")] + args + [os.path.basename(image)], cwd=work,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE if gated else subprocess.DEVNULL,
                          text=True, bufsize=1)
    lf_lines = []
    lf_reader = threading.Thread(target=read_lines, args=(lf, lf_lines), daemon=True)
    lf_reader.start()
    lf_err = []
    if gated:
        err_reader = threading.Thread(target=read_lines, args=(lf, lf_err, "stderr"), daemon=True)
        err_reader.start()
    result = {"label": label, "machines_count": count,
              "command": "lanflash " + " ".join(args) + " IMAGE"}
    sims = []
    gate_r = gate_w = None
    try:
        if gated:
            give_up = time.monotonic() + BIND_WAIT_S
            while lf.poll() is None and not udp_bound(lf.pid, UDP_PORT) and time.monotonic() < give_up:
                time.sleep(0.005)
            if lf.poll() is not None or not udp_bound(lf.pid, UDP_PORT):
                raise RuntimeError(f"lanflash did not bind UDP port {UDP_PORT} (status {lf.poll()})")
            gate_r, gate_w = os.pipe()
            os.set_inheritable(gate_r, True)
        else:
            time.sleep(1.0)  # as in the other runs: lanflash is up before any machine
            if lf.poll() is not None:
                raise RuntimeError(f"lanflash ended at start with status {lf.returncode}")
        for address, serial in zip(addresses, serials):
            received = os.path.join(work, f"rx-{label}-{address}.bin")
            cmd = [os.path.join(build, "machine-sim"), "--address", address, "--serial", serial,
                   "--out", received, "--verbose"]
            if gated:
                # read ends at the gate's end of file; only the bench holds its write end.
                cmd = ["sh", "-c", 'read _ || :; exec "$0" "$@"'] + cmd
            sim = subprocess.Popen(cmd, cwd=work, stdin=gate_r, stdout=subprocess.PIPE, text=True, bufsize=1)
            log = SimLog()
            reader = threading.Thread(target=read_sim, args=(sim, log, {}), daemon=True)
            reader.start()
            sims.append({"address": address, "proc": sim, "log": log, "reader": reader, "received": received})
        if gated:
            os.close(gate_r)
            gate_r = None
            result["sims_held_at_gate"] = wait_at_gate([s["proc"].pid for s in sims], GATE_WAIT_S)
            result["gate_opened_s"] = time.monotonic()
            os.close(gate_w)
            gate_w = None
        tree = watch_tree(lf, RUN_DEADLINE_S)
        result["lanflash_status"] = tree.pop("lanflash_status")
        if "error" in tree:
            result["error"] = tree.pop("error")
        result["tree"] = tree
        if tree["workers_left"] and "error" not in result:
            result["error"] = f"{len(tree['workers_left'])} worker(s) still running after lanflash ended"
        for pid in tree["workers_left"]:
            os.kill(pid, signal.SIGKILL)
    finally:
        for fd in (gate_r, gate_w):
            if fd is not None:
                os.close(fd)
        if lf.returncode is None and lf.poll() is None:
            lf.kill()
            lf.wait()
        for sim in sims:  # all asked at once: fifty one-by-one stops add up
            if sim["proc"].poll() is None:
                sim["proc"].terminate()
        for sim in sims:
            stop(sim["proc"])
            sim["reader"].join(timeout=10)
    lf_reader.join(timeout=10)
    if gated:
        err_reader.join(timeout=10)
        result["lanflash_stderr"] = [line for _, line in lf_err]
        result["lanflash_lines"] = len(lf_lines)

    results = {}
    result_lines = {}
    last_result_t = None
    for t, line in lf_lines:
        m = RESULT_LINE.match(line)
        if m:
            results[m.group(1)] = m.group(2)
            result_lines[m.group(1)] = result_lines.get(m.group(1), 0) + 1
            last_result_t = t
    if gated:
        firsts = []
        for s in sims:
            ev = s["log"].first("announce")
            if ev is not None:
                firsts.append(sim_clock_offset(s["log"]) + ev[1] / 1000.0)
        start_t = min(firsts, default=None)
        if firsts:
            result["announce_spread_ms"] = round((max(firsts) - start_t) * 1000.0)
            result["gate_to_first_announce_ms"] = round((start_t - result["gate_opened_s"]) * 1000.0)
        result.pop("gate_opened_s", None)
        result["machines_announced"] = len(firsts)
        result["result_lines_for_others"] = sorted(set(results) - set(addresses))
    else:
        announces = [s["log"].first("announce") for s in sims]
        start_t = min((ev[0] for ev in announces if ev), default=None)
    if start_t is not None and last_result_t is not None:
        result["total_ms"] = round((last_result_t - start_t) * 1000.0)
    elif "error" not in result:
        result["error"] = "no announcement" if start_t is None else "no result line from lanflash"

    def after_start(ev):
        if ev is None or start_t is None:
            return None
        t = offset + ev[1] / 1000.0 if gated else ev[0]
        return round((t - start_t) * 1000.0)

    machines = []
    for sim in sims:
        log = sim["log"]
        offset = sim_clock_offset(log) if gated and log.events else None
        run = log.first("run ")
        confirmed = None
        if run:
            confirmed = next((ev for ev in log.events if ev[0] >= run[0] and ev[2].startswith("announce Tavix")), None)
        machines.append({
            "address": sim["address"], "result": results.get(sim["address"], "none"),
            "intact": run is not None and run[2].endswith(" intact") and filecmp(image, sim["received"]),
            # When each step happened, in ms after the first announcement.
            "reset_ms": after_start(log.first("reset")), "block0_ms": after_start(log.first("block 0 name=")),
            "run_ms": after_start(run), "confirming_announce_ms": after_start(confirmed),
            # Updated once: one reset, one run command, one result line.
            "resets": len(log.all("reset")), "runs": len(log.all("run ")),
            "result_lines": result_lines.get(sim["address"], 0), "sim_status": sim["proc"].returncode,
        })
    result["machines"] = machines
    if gated:
        # What lanflash said about each machine that was not updated exactly once, for whoever fixes it.
        missed = sorted(m["address"] for m in machines if not updated_once(m))
        result["lanflash_lines_of_missed"] = {
            a: [line for _, line in lf_lines if line.startswith(a + ":") or line.startswith(f"result: {a} ")]
            for a in missed[:20]}
        result["lanflash_tail"] = [line for _, line in lf_lines[-20:]]
    result["all_updated"] = (result.get("lanflash_status") == 0 and len(results) == count
                             and all(m["result"] == "updated" for m in machines))
    result["intact"] = all(m["intact"] for m in machines)
    return result


def updated_once(m):
    return (m["result"] == "updated" and m["intact"] and m["resets"] == 1 and m["runs"] == 1
            and m["result_lines"] == 1)


def wait_at_gate(pids, deadline_s):
    """How many of PIDS sleep in their shell, i.e. at the gate's read, waiting up to DEADLINE_S for all."""
    end = time.monotonic() + deadline_s
    while True:
        held = 0
        for pid in pids:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    text = f.read()
            except OSError:
                continue
            comm = text[text.index("(") + 1:text.rindex(")")]
            if comm == "sh" and text.rpartition(")")[2].split()[0] == "S":
                held += 1
        if held == len(pids) or time.monotonic() > end:
            return held
        time.sleep(0.05)


def fleet_figures(one, fleet, count):
    out = {"machines": count, "image_bytes": FLEET_IMAGE_BYTES,
           "one_update_ms": one.get("total_ms"), "fleet_ms": fleet.get("total_ms"),
           "ratio_to_one_by_one": None,
           "all_updated": bool(one.get("all_updated") and fleet.get("all_updated")),
           "images_intact": bool(one.get("intact") and fleet.get("intact")),
           "one_update": one, "fleet": fleet}
    if out["one_update_ms"] and out["fleet_ms"]:
        out["ratio_to_one_by_one"] = round(out["fleet_ms"] / (count * out["one_update_ms"]), 3)
    return out


def parallel_figures(one, run):
    """One machine count of the parallel run against the one update measured by the fleet."""
    n = run["machines_count"]
    tree = run.get("tree", {})
    machines = run.get("machines", [])
    out = {"machines": n, "jobs": PARALLEL_JOBS, "image_bytes": FLEET_IMAGE_BYTES,
           "total_ms": run.get("total_ms"), "one_update_ms": one.get("total_ms"), "ratio_to_one_update": None,
           "all_updated": bool(run.get("all_updated")), "images_intact": bool(run.get("intact")),
           "peak_workers_at_once": tree.get("peak_workers"),
           "peak_rss_together_kib": tree.get("peak_rss_kib"), "peak_rss_per_machine_kib": None,
           "pss_at_peak_kib": tree.get("pss_at_peak_kib"),
           "largest_worker_peak_rss_kib": tree.get("largest_worker_hwm_kib"),
           "lanflash_peak_rss_kib": tree.get("lanflash_hwm_kib"),
           "cpu_s": tree.get("cpu_s"), "cpu_s_per_machine": None,
           "lanflash_own_cpu_s": tree.get("lanflash_own_cpu_s"),
           "workers_left_running": len(tree.get("workers_left", [])),
           "run": run}
    if out["total_ms"] and out["one_update_ms"]:
        out["ratio_to_one_update"] = round(out["total_ms"] / out["one_update_ms"], 3)
    if out["peak_rss_together_kib"]:
        out["peak_rss_per_machine_kib"] = round(out["peak_rss_together_kib"] / n)
    if out["cpu_s"] is not None:
        out["cpu_s_per_machine"] = round(out["cpu_s"] / n, 3)
    # The latest machine at each step: a slow start shows as a late first reset.
    for key in ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms"):
        seen = [m[key] for m in machines if m.get(key) is not None]
        out["last_" + key] = max(seen) if len(seen) == n else None
    return out


def list_address(i):
    """The I-th machine of the list row: 127.0.2.1, 127.0.2.2, ... (every 127/8 address is loopback)."""
    return "127.%d.%d.%d" % ((0x000201 + i) >> 16 & 255, (0x000201 + i) >> 8 & 255, (0x000201 + i) & 255)


def write_machines_file(path, addresses, blocks):
    """BLOCKS /32 blocks in 10/8 that no machine announces, then the addresses: a lookup that walks
    the list in order meets every block before any machine."""
    with open(path, "w") as f:
        f.write(f"# {blocks} blocks no machine is in, then {len(addresses)} machines\n")
        for i in range(blocks):
            f.write(f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}/32\n")
        for address in addresses:
            f.write(address + "\n")


def time_read(build, work, image, machines_file, bad_file, label):
    """lanflash --all --machines FILE --machines BAD IMAGE: it reads FILE whole, then stops at BAD's
    entry with status 2, before it binds anything. Wall time from the start to the reaping."""
    out_path = os.path.join(work, f"read-{label}.out")
    with open(out_path, "w") as out:
        t0 = time.monotonic()
        p = subprocess.Popen([os.path.join(build, "lanflash"), "--all", "--model", "Tavix7", "--machines",
                              os.path.basename(machines_file),
                              "--machines", os.path.basename(bad_file), os.path.basename(image)],
                             cwd=work, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        _, status, ru = os.wait4(p.pid, 0)
        t1 = time.monotonic()
    p.returncode = os.waitstatus_to_exitcode(status)
    with open(out_path, errors="replace") as f:
        said = f.read()
    # ru_maxrss is left out: it keeps the forking bench's own peak across exec.
    return {"ms": round((t1 - t0) * 1000.0, 2), "status": p.returncode,
            "cpu_ms": round((ru.ru_utime + ru.ru_stime) * 1000.0, 1),
            "names_bad": f"--machines {os.path.basename(bad_file)}:" in said, "said": said.strip()[:300]}


def median(values):
    values = sorted(values)
    n = len(values)
    return None if not n else values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def measure_read(build, work, image, machines_file, empty_file, bad_file, repeats):
    """The time lanflash takes to read FILE: FILE against an empty file, the runs taken in turn so a
    passing load falls on both."""
    runs = {"file": [], "empty": []}
    for _ in range(repeats):
        runs["file"].append(time_read(build, work, image, machines_file, bad_file, "file"))
        runs["empty"].append(time_read(build, work, image, empty_file, bad_file, "empty"))
    out = {"command": "lanflash --all --machines FILE --machines BAD IMAGE", "repeats": repeats,
           "bad_entry": open(bad_file).read().strip(), "runs": runs}
    for key in ("file", "empty"):
        out[key] = {k: median([r[k] for r in runs[key]]) for k in ("ms", "cpu_ms")}
    every = runs["file"] + runs["empty"]
    out["all_status_2_naming_bad"] = all(r["status"] == 2 and r["names_bad"] for r in every)
    if not out["all_status_2_naming_bad"]:
        odd = next(r for r in every if not (r["status"] == 2 and r["names_bad"]))
        out["error"] = f"a read run ended with status {odd['status']}: {odd['said']!r}"
    out["read_ms"] = round(out["file"]["ms"] - out["empty"]["ms"], 2)
    out["read_cpu_ms"] = round(out["file"]["cpu_ms"] - out["empty"]["cpu_ms"], 1)
    return out


def run_list_row(build, work, image, n):
    """N machine-sims chosen by --machines FILE among LIST_BLOCKS blocks, with --jobs LIST_JOBS,
    against one update by the same command with a one-line FILE; and the time to read FILE."""
    addresses = [list_address(i) for i in range(n)]
    serials = [str(LIST_SERIAL_BASE + i) for i in range(n)]
    machines_file = os.path.join(work, "machines.list")
    write_machines_file(machines_file, addresses, LIST_BLOCKS)
    one_file = os.path.join(work, "one.list")
    write_machines_file(one_file, addresses[:1], 0)
    empty_file = os.path.join(work, "empty.list")
    open(empty_file, "w").close()
    bad_file = os.path.join(work, "bad.list")
    with open(bad_file, "w") as f:
        f.write("10.0.0.256/32\n")
    with open(machines_file) as f:
        lines = sum(1 for _ in f)
    options = ["--all", "--model", "Tavix7", "--jobs", str(LIST_JOBS)]

    print(f"bench: parallel, reading a {lines}-line machines file ...", file=sys.stderr, flush=True)
    read = measure_read(build, work, image, machines_file, empty_file, bad_file, LIST_READ_REPEATS)
    print("bench: parallel, one machine named by a one-line file ...", file=sys.stderr, flush=True)
    one = run_fleet(build, work, image, "list1", addresses[:1], serials[:1], options,
                    select=["--machines", os.path.basename(one_file)], gated=True)
    print(f"bench: parallel, {n} machines named by the file ...", file=sys.stderr, flush=True)
    run = run_fleet(build, work, image, f"list{n}", addresses, serials, options,
                    select=["--machines", os.path.basename(machines_file)], gated=True)

    out = parallel_figures(one, run)
    machines = run.get("machines", [])
    resets = sorted(m["reset_ms"] for m in machines if m["reset_ms"] is not None)
    not_once = [m for m in machines if not updated_once(m)]
    out.update({
        "jobs": LIST_JOBS, "selection": "--machines FILE",
        "file": {"lines": lines, "bytes": os.path.getsize(machines_file), "addresses": n, "blocks": LIST_BLOCKS,
                 "order": "a comment line, the blocks (10.0.0.0/32 on), then the addresses"},
        "first_address": addresses[0], "last_address": addresses[-1],
        "one_update_against": "the same command with a one-line FILE naming " + addresses[0],
        "one_update_run": one,
        "updated_once": bool(machines) and not not_once and run.get("lanflash_status") == 0,
        "not_updated_once": [{k: m[k] for k in ("address", "result", "intact", "resets", "runs", "result_lines")}
                             for m in not_once],
        "machines_announced": run.get("machines_announced"), "announce_spread_ms": run.get("announce_spread_ms"),
        "sims_held_at_gate": run.get("sims_held_at_gate"),
        "second_wave_first_reset_ms": resets[LIST_JOBS] if len(resets) > LIST_JOBS else None,
        "lanflash_status": run.get("lanflash_status"), "lanflash_stderr": run.get("lanflash_stderr"),
        "lanflash_peak_rss_one_kib": one.get("tree", {}).get("lanflash_hwm_kib"),
        "lanflash_own_cpu_one_s": one.get("tree", {}).get("lanflash_own_cpu_s"),
        "error": run.get("error") or one.get("error"),
        "read": read,
    })
    # The one update must itself be sound, or the ratio means nothing.
    out["all_updated"] = bool(out["all_updated"] and one.get("all_updated"))
    out["images_intact"] = bool(out["images_intact"] and one.get("intact"))
    return out, [one, run]


def run_sz(build, work, image, data_blocks):
    """The same image through lrzsz's YMODEM sender into the sim's receiver."""
    received = os.path.join(work, "rx-sz.bin")
    sim = subprocess.Popen([os.path.join(build, "machine-sim"), "--receive-only", "--exit-after-run",
                            "--count", "0", "--out", received, "--verbose"],
                           cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)
    timer = with_deadline(sim)
    log = SimLog()
    started = {}

    def start_sender():
        started["t"] = time.monotonic()
        started["proc"] = subprocess.Popen(
            ["socat", f"TCP:{SIM_ADDRESS}:{SIM_PORT}",
             "EXEC:sz --ymodem -k -q " + os.path.basename(image)],
            cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    read_sim(sim, log, {"listen": start_sender})
    sim_status = sim.wait()
    timer.cancel()
    sender_status = None
    if "proc" in started:
        try:
            sender_status = started["proc"].wait(timeout=10)
        except subprocess.TimeoutExpired:
            started["proc"].kill()
            sender_status = started["proc"].wait()
    eob = log.first("end-of-batch")
    result = {"label": "sz", "command": "socat TCP:%s:%d EXEC:'sz --ymodem -k -q FILE'" % (SIM_ADDRESS, SIM_PORT),
              "sim_status": sim_status, "sender_status": sender_status,
              "intact": sim_status == 0 and sender_status == 0 and filecmp(image, received)}
    if eob and "t" in started:
        result["total_ms"] = round((eob[0] - started["t"]) * 1000.0)
    result.update(block_figures(log, data_blocks))
    return result


def filecmp(a, b):
    try:
        with open(a, "rb") as fa, open(b, "rb") as fb:
            return fa.read() == fb.read()
    except OSError:
        return False


# ------------------------------------------------------------ --fast

# One update's wire events, each looked for after the one before it.
FAST_STEPS = [
    ("announce", "announce Tavix7"),  # the machine's first announcement: the clock starts
    ("reset_cmd", "rx-cmd 0x52"),
    ("boot", "state boot"),
    ("boot_announce", "announce BootTavix7"),
    ("unlock", "rx-cmd 0x34"),
    ("request", "rx-cmd 0x31"),
    ("first_c", "tx-c"),
    ("block0", "block 0 name="),
    ("eob", "end-of-batch"),
    ("run_cmd", "rx-cmd 0x33"),
    ("run", "run "),
    ("app", "state app"),
    ("confirm", "announce Tavix7"),  # the application again: the update is confirmed
]
# Where the time goes, (row, from, to); "end" is lanflash's end. The rows
# without indent add up to the total; the indented ones are parts of the row
# above them that the machine takes.
FAST_SPLIT = [
    ("first announcement -> 'R'", "announce", "reset_cmd"),
    ("'R' -> boot announcement", "reset_cmd", "boot_announce"),
    ("  machine restarting", "reset_cmd", "boot"),
    ("boot announcement -> '4'", "boot_announce", "unlock"),
    ("'4' -> '1'", "unlock", "request"),
    ("'1' -> block 0", "request", "block0"),
    ("  machine's first 'C'", "request", "first_c"),
    ("transfer, block 0 -> end-of-batch", "block0", "eob"),
    ("end-of-batch -> '3'", "eob", "run_cmd"),
    ("'3' -> application announces", "run_cmd", "confirm"),
    ("  machine restarting", "run", "app"),
    ("application announces -> lanflash ends", "confirm", "end"),
]


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


def sim_clock_offset(log):
    """Host monotonic s at the sim's t=0: the line read quickest sets it (reading only adds delay)."""
    return min(host - sim_ms / 1000.0 for host, sim_ms, _ in log.events)


def update_steps(log):
    """FAST_STEPS in sim ms, each the first after the step before it (None when missing)."""
    out = {}
    i = 0
    for key, prefix in FAST_STEPS:
        out[key] = None
        for j in range(i, len(log.events)):
            if log.events[j][2].startswith(prefix):
                out[key] = log.events[j][1]
                i = j + 1
                break
    return out


def count_early(path):
    """Lines of a strict machine's wire log about a byte that came before it was asked for."""
    try:
        with open(path) as f:
            return sum(1 for line in f if line.partition(" ")[2].startswith("early"))
    except OSError:
        return None


def run_timed(build, work, image, label, options, machines, block_delay_ms=0):
    """lanflash OPTIONS --exit --machine ADDRESS... IMAGE against strict machine-sims in their application.

    machines: (address, serial) pairs. lanflash starts first; each sim starts
    once lanflash's UDP port is bound, so it hears the first announcement.
    Timed from the first announcement of the earliest machine (its wire log's
    clock moved onto the host's) to lanflash's end, which with --exit comes
    once every machine announced its application after '3'. CPU time: wait4's
    rusage of lanflash and the workers it reaped."""
    args = list(options) + ["--exit"]
    for address, _ in machines:
        args += ["--machine", address]
    lf_out_path = os.path.join(work, f"lanflash-{label}.out")
    result = {"label": label, "machines_count": len(machines), "block_delay_ms": block_delay_ms,
              "command": "lanflash " + " ".join(args) + " IMAGE"}
    sims = []
    with open(lf_out_path, "w") as lf_out:
        lf = subprocess.Popen([os.path.join(build, "lanflash")] + args + [os.path.basename(image)], cwd=work,
                              stdout=lf_out, stderr=subprocess.STDOUT)
    end_t = None
    try:
        give_up = time.monotonic() + BIND_WAIT_S
        while lf.poll() is None and not udp_bound(lf.pid, UDP_PORT) and time.monotonic() < give_up:
            time.sleep(0.005)
        if lf.returncode is not None or not udp_bound(lf.pid, UDP_PORT):
            result["error"] = f"lanflash did not bind UDP port {UDP_PORT} (status {lf.returncode})"
            return result
        for address, serial in machines:
            received = os.path.join(work, f"rx-{label}-{address}.bin")
            wire_log = os.path.join(work, f"sim-{label}-{address}.log")
            cmd = [os.path.join(build, "machine-sim"), "--address", address, "--serial", serial, "--strict",
                   "--restart-ms", str(FAST_RESTART_MS), "--interval-ms", str(FAST_INTERVAL_MS),
                   "--c-interval-ms", str(FAST_C_INTERVAL_MS), "--out", received, "--log", wire_log, "--verbose"]
            if block_delay_ms:
                cmd += ["--block-delay-ms", str(block_delay_ms)]
            sim = subprocess.Popen(cmd, cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)
            log = SimLog()
            reader = threading.Thread(target=read_sim, args=(sim, log, {}), daemon=True)
            reader.start()
            sims.append({"address": address, "proc": sim, "log": log, "reader": reader,
                         "received": received, "wire_log": wire_log})
        timer = threading.Timer(RUN_DEADLINE_S, lf.kill)
        timer.daemon = True
        timer.start()
        _, status, ru = os.wait4(lf.pid, 0)
        end_t = time.monotonic()
        timer.cancel()
        lf.returncode = os.waitstatus_to_exitcode(status)
        result["lanflash_status"] = lf.returncode
        result["cpu_s"] = round(ru.ru_utime + ru.ru_stime, 3)
        result["cpu_user_s"] = round(ru.ru_utime, 3)
        result["cpu_sys_s"] = round(ru.ru_stime, 3)
    finally:
        if lf.returncode is None and lf.poll() is None:
            lf.kill()
            lf.wait()
        for sim in sims:
            if sim["proc"].poll() is None:
                sim["proc"].terminate()
        for sim in sims:
            stop(sim["proc"])
            sim["reader"].join(timeout=10)

    results = {}
    with open(lf_out_path, errors="replace") as f:
        for line in f:
            m = RESULT_LINE.match(line.rstrip("\n"))
            if m:
                results[m.group(1)] = m.group(2)
    machines_out = []
    for sim in sims:
        log = sim["log"]
        steps = update_steps(log)
        offset = sim_clock_offset(log) if log.events else None
        if offset is not None and end_t is not None:
            steps["end"] = round((end_t - offset) * 1000.0)
        run = log.last("run ")
        machines_out.append({
            "address": sim["address"], "result": results.get(sim["address"], "none"),
            "intact": run is not None and run[2].endswith(" intact") and filecmp(image, sim["received"]),
            "early": count_early(sim["wire_log"]),
            "first_announce_host_s": None if offset is None or steps["announce"] is None
            else offset + steps["announce"] / 1000.0,
            "steps_ms": steps,
            "split_ms": {f"{a}->{b}": (None if steps.get(a) is None or steps.get(b) is None
                                        else steps[b] - steps[a]) for _, a, b in FAST_SPLIT},
        })
    starts = [m["first_announce_host_s"] for m in machines_out if m["first_announce_host_s"] is not None]
    start_t = min(starts) if starts else None
    if start_t is not None and end_t is not None:
        result["total_ms"] = round((end_t - start_t) * 1000.0)
        result["announce_spread_ms"] = round((max(starts) - start_t) * 1000.0)
    elif "error" not in result:
        result["error"] = "no announcement" if start_t is None else "lanflash did not end"
    for m in machines_out:  # each machine's steps, in ms after the earliest first announcement
        m["after_start_ms"] = {k: (None if v is None or start_t is None or m["first_announce_host_s"] is None
                                   else round((m["first_announce_host_s"] - start_t) * 1000.0
                                              + v - m["steps_ms"]["announce"]))
                               for k, v in m["steps_ms"].items()}
        del m["first_announce_host_s"]
    result["machines"] = machines_out
    early = [m["early"] for m in machines_out]
    result["early"] = None if None in early or not early else sum(early)
    result["all_updated"] = (result.get("lanflash_status") == 0 and len(machines_out) == len(machines)
                             and all(m["result"] == "updated" for m in machines_out))
    result["intact"] = bool(machines_out) and all(m["intact"] for m in machines_out)
    if len(machines_out) == 1:
        result["split_ms"] = machines_out[0]["split_ms"]
        result["transfer_ms"] = result["split_ms"]["block0->eob"]
    return result


def run_idle(build, work, image):
    """lanflash --fast waiting for a machine that never comes: its CPU time over FAST_IDLE_S."""
    args = ["--fast", "--exit", "--machine", SIM_ADDRESS]
    lf = subprocess.Popen([os.path.join(build, "lanflash")] + args + [os.path.basename(image)], cwd=work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = {"command": "lanflash " + " ".join(args) + " IMAGE"}
    try:
        give_up = time.monotonic() + BIND_WAIT_S
        while lf.poll() is None and not udp_bound(lf.pid, UDP_PORT) and time.monotonic() < give_up:
            time.sleep(0.005)
        if lf.poll() is not None:
            out["error"] = f"lanflash ended at start with status {lf.returncode}"
            return out
        time.sleep(1.0)  # start-up is not part of the wait
        a = snapshot(lf.pid)
        time.sleep(FAST_IDLE_S)
        out["usage"] = usage_between(a, snapshot(lf.pid))
    finally:
        stop(lf, signal.SIGINT)
    return out


def fast_floor(data_blocks, block_delay_ms):
    """What the update must take: two restarts, the machine's first 'C' and its flash writes, and
    lanflash listening to the new address for one announcement interval (its next announcement)
    before the first connection, so that a second board there would show.

    It announces at once at each start, so its announcement interval adds
    nothing more, as long as no announcement is missed (each one missed costs
    an interval)."""
    parts = {"listen_first_ms": LISTEN_FIRST_MS, "restarts_ms": 2 * FAST_RESTART_MS,
             "first_c_ms": FAST_C_INTERVAL_MS // 2, "block_delays_ms": data_blocks * block_delay_ms,
             "announcements_ms": 0}
    parts["total_ms"] = sum(parts.values())
    return parts


def ratio(a, b):
    return round(a / b, 3) if a is not None and b else None


def run_fast_section(build, work):
    fast = {"sim": {"restart_ms": FAST_RESTART_MS, "interval_ms": FAST_INTERVAL_MS,
                    "c_interval_ms": FAST_C_INTERVAL_MS, "strict": True, "state": "app"},
            "timed": "from the machine's first announcement (its wire log) to lanflash's end with --exit",
            "cases": {}}
    images = {}
    for kib in sorted({c[2] for c in FAST_CASES}):
        images[kib] = os.path.join(work, f"fast-{kib}k.bin")
        with open(images[kib], "wb") as f:
            f.write(os.urandom(kib * 1024))
    print("bench: fast, lanflash --fast waiting ...", file=sys.stderr, flush=True)
    fast["idle"] = run_idle(build, work, images[64])
    one = [(SIM_ADDRESS, FAST_SERIAL)]
    for key, title, kib, delay in FAST_CASES:
        blocks = (kib * 1024 + BLOCK_BYTES - 1) // BLOCK_BYTES
        case = {"title": title, "image_bytes": kib * 1024, "data_blocks": blocks, "block_delay_ms": delay,
                "floor": fast_floor(blocks, delay)}
        for mode, options in (("design", []), ("fast", ["--fast"])):
            print(f"bench: fast, {title} as {mode} ...", file=sys.stderr, flush=True)
            case[mode] = run_timed(build, work, images[kib], f"{key}-{mode}", options, one, delay)
            if case[mode].get("transfer_ms") is not None:
                case[mode]["ms_per_data_block"] = round(case[mode]["transfer_ms"] / blocks, 3)
        floor = case["floor"]["total_ms"]
        case["design_ms"] = case["design"].get("total_ms")
        case["fast_ms"] = case["fast"].get("total_ms")
        case["design_over_fast"] = ratio(case["design_ms"], case["fast_ms"])
        case["fast_over_floor"] = ratio(case["fast_ms"], floor)
        case["design_over_floor"] = ratio(case["design_ms"], floor)
        fast["cases"][key] = case

    n = FAST_FLEET_COUNT
    fleet_opts = ["--all", "--model", "Tavix7", "--fast", "--jobs", str(PARALLEL_JOBS)]
    machines = list(zip(PARALLEL_ADDRESSES[:n], PARALLEL_SERIALS[:n]))
    print("bench: fast, one machine with --all --fast ...", file=sys.stderr, flush=True)
    one_run = run_timed(build, work, images[64], "fast-all1", fleet_opts, machines[:1])
    print(f"bench: fast, {n} machines with --all --fast ...", file=sys.stderr, flush=True)
    many = run_timed(build, work, images[64], f"fast-all{n}", fleet_opts, machines)
    latest = {}
    for k in ("announce", "reset_cmd", "block0", "run_cmd", "confirm"):
        seen = [m["after_start_ms"][k] for m in many.get("machines", []) if m["after_start_ms"].get(k) is not None]
        latest[k] = max(seen) if len(seen) == n else None
    # Per step, over the machines: the median and the slowest, where one late machine shows.
    split_stats = {}
    for _, a, b in FAST_SPLIT:
        k = f"{a}->{b}"
        vals = sorted(m["split_ms"][k] for m in many.get("machines", []) if m["split_ms"][k] is not None)
        split_stats[k] = ({"median": vals[len(vals) // 2], "max": vals[-1],
                           "slowest": [m["address"] for m in many["machines"] if m["split_ms"][k] == vals[-1]]}
                          if len(vals) == n else None)
    own = sorted(m["steps_ms"]["confirm"] - m["steps_ms"]["announce"] for m in many.get("machines", [])
                 if m["steps_ms"]["confirm"] is not None and m["steps_ms"]["announce"] is not None)
    split_stats["own_update"] = {"median": own[len(own) // 2], "max": own[-1]} if len(own) == n else None
    fast["fleet"] = {"machines": n, "jobs": PARALLEL_JOBS, "image_bytes": 64 * 1024,
                     "against": "one machine, the same command (--all --fast --jobs "
                                f"{PARALLEL_JOBS} --exit --machine {machines[0][0]})",
                     "one_ms": one_run.get("total_ms"), "total_ms": many.get("total_ms"),
                     "ratio_to_one": ratio(many.get("total_ms"), one_run.get("total_ms")),
                     "announce_spread_ms": many.get("announce_spread_ms"),
                     "latest_after_start_ms": latest, "split_ms": split_stats, "cpu_s": many.get("cpu_s"),
                     "all_updated": bool(one_run.get("all_updated") and many.get("all_updated")),
                     "intact": bool(one_run.get("intact") and many.get("intact")),
                     "one_run": one_run, "run": many}

    one_mib = fast["cases"]["1m"]
    fast["cpu_s"] = {"fast_1m": one_mib["fast"].get("cpu_s"), "design_1m": one_mib["design"].get("cpu_s")}
    fast_runs = [c["fast"] for c in fast["cases"].values()] + [one_run, many]
    design_runs = [c["design"] for c in fast["cases"].values()]
    fast["early"] = {"fast": sum_or_none(r.get("early") for r in fast_runs),
                     "design": sum_or_none(r.get("early") for r in design_runs),
                     "fast_runs": len(fast_runs),
                     "fast_runs_complete": all(r.get("all_updated") and r.get("intact") for r in fast_runs)}
    fast["goals"] = fast_goals(fast)
    return fast, fast_runs + design_runs


def start_crowd(build, count):
    """machine-sim playing `count` machines that only announce, none of them chosen."""
    crowd = subprocess.Popen([os.path.join(build, "machine-sim"), "--address", CROWD_BASE, "--announce-only",
                              "--count", "0", "--crowd", str(count), "--serial", "100000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)  # every one of them has announced before the clock runs
    return crowd


def run_crowd_explore(build, work, count):
    """lanflash --all --timeout T among `count` announcers: each listed once, and the end after the last new one."""
    crowd = start_crowd(build, count)
    args = ["--all", "--timeout", str(CROWD_EXPLORE_TIMEOUT_S)]
    out = {"command": "lanflash " + " ".join(args), "machines": count}
    try:
        start = time.monotonic()
        lf = subprocess.Popen([os.path.join(build, "lanflash")] + args, cwd=work, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        listed, last_new = {}, None
        timer = threading.Timer(RUN_DEADLINE_S, lf.kill)
        timer.daemon = True
        timer.start()
        # The trace puts each line's newline before it: a machine counts as
        # listed when its line begins, stamped as the bytes come.
        text, seen = b"", 0
        while True:
            chunk = os.read(lf.stdout.fileno(), 65536)
            if not chunk:
                break
            text += chunk
            now = time.monotonic()
            while True:
                at = text.find(b"\nmachine: ", seen)
                end_of_address = text.find(b" ", at + 10) if at >= 0 else -1
                if at < 0 or end_of_address < 0:
                    break
                address = text[at + 10:end_of_address].decode(errors="replace")
                listed[address] = listed.get(address, 0) + 1
                last_new = now
                seen = end_of_address
        lf.wait()
        end = time.monotonic()
        timer.cancel()
    finally:
        stop(crowd)
    out["lanflash_status"] = lf.returncode
    out["listed"] = len(listed)
    out["listed_twice"] = sum(1 for n in listed.values() if n > 1)
    out["last_new_s"] = None if last_new is None else round(last_new - start, 3)
    out["end_s"] = round(end - start, 3)
    out["end_after_last_new_s"] = None if last_new is None else round(end - last_new, 3)
    return out


def run_crowd_cpu(build, work, image, count):
    """lanflash waiting CROWD_CPU_WAIT_S for a machine that never comes, with and without `count` announcers."""
    out = {}
    for key, n in (("quiet", 0), ("crowd", count)):
        crowd = start_crowd(build, n) if n else None
        args = ["--exit", "--timeout", str(CROWD_CPU_WAIT_S), "--machine", SIM_ADDRESS]
        try:
            lf = subprocess.Popen([os.path.join(build, "lanflash")] + args + [os.path.basename(image)], cwd=work,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _, status, ru = os.wait4(lf.pid, 0)
            lf.returncode = os.waitstatus_to_exitcode(status)
        finally:
            if crowd:
                stop(crowd)
        out[key] = {"cpu_s": round(ru.ru_utime + ru.ru_stime, 3), "lanflash_status": lf.returncode}
    datagrams = count * CROWD_CPU_WAIT_S
    extra = out["crowd"]["cpu_s"] - out["quiet"]["cpu_s"]
    out["datagrams"] = datagrams
    out["command"] = "lanflash " + " ".join(["--exit", "--timeout", str(CROWD_CPU_WAIT_S), "--machine", SIM_ADDRESS,
                                             "IMAGE"])
    out["cpu_ms_per_1000_datagrams"] = round(1000.0 * extra / (datagrams / 1000), 2)
    return out


def run_crowd_section(build, work):
    image = os.path.join(work, "crowd.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(64 * 1024))
    one = [(SIM_ADDRESS, FAST_SERIAL)]
    crowd = {"options": ["--fast"], "image_bytes": 64 * 1024, "updates": {}}
    print("bench: crowd, one update with no crowd ...", file=sys.stderr, flush=True)
    quiet = run_timed(build, work, image, "crowd-quiet", ["--fast"], one)
    crowd["updates"]["0"] = quiet
    runs = [quiet]
    for n in CROWD_COUNTS:
        print(f"bench: crowd, one update among {n} announcers ...", file=sys.stderr, flush=True)
        announcers = start_crowd(build, n)
        try:
            run = run_timed(build, work, image, f"crowd-{n}", ["--fast"], one)
        finally:
            stop(announcers)
        run["ratio_to_quiet"] = ratio(run.get("total_ms"), quiet.get("total_ms"))
        crowd["updates"][str(n)] = run
        runs.append(run)
    print(f"bench: crowd, exploring among {CROWD_EXPLORE} announcers ...", file=sys.stderr, flush=True)
    crowd["explore"] = run_crowd_explore(build, work, CROWD_EXPLORE)
    print(f"bench: crowd, CPU among {CROWD_COUNTS[-1]} announcers ...", file=sys.stderr, flush=True)
    crowd["cpu"] = run_crowd_cpu(build, work, image, CROWD_COUNTS[-1])
    return crowd, runs


def crowd_goals(c, out):
    for n in CROWD_COUNTS:
        run = c["updates"][str(n)]
        r = run.get("ratio_to_quiet")
        out.append({"goal": f"one --fast update among {n} announcers in at most {GOAL_CROWD_RATIO:g} x the quiet "
                            "one, updated, image intact",
                    "met": r is not None and r <= GOAL_CROWD_RATIO and run.get("all_updated") and run.get("intact"),
                    "measured": f"{fmt(run.get('total_ms'))} ms / {fmt(c['updates']['0'].get('total_ms'))} ms = "
                                f"{fmt(r, '{:.3f}')}"})
    e = c["explore"]
    out.append({"goal": f"exploring among {e['machines']} announcers: each listed once, the end within "
                        f"{GOAL_CROWD_EXPLORE_END_S:g} s of the last new one",
                "met": e["listed"] == e["machines"] and e["listed_twice"] == 0 and e["lanflash_status"] == 0
                and e["end_after_last_new_s"] is not None and e["end_after_last_new_s"] <= GOAL_CROWD_EXPLORE_END_S,
                "measured": f"{e['listed']} listed, {e['listed_twice']} twice, ended "
                            f"{fmt(e['end_after_last_new_s'], '{:.2f}')} s after the last new one"})


def render_crowd(c, lines):
    if not c:
        return
    lines.append("")
    lines.append(f"Crowd: machine-sims announcing once a second each, spread evenly, UDP only, none chosen; "
                 f"lanflash --fast --exit --machine {SIM_ADDRESS}")
    lines.append(f"IMAGE ({c['image_bytes'] // 1024} KiB) on machine-sim as in the fast section, timed from its "
                 "first announcement to lanflash's end.")
    w = 44
    lines.append(f"{'other machines announcing':{w}}" + "".join(f"{k:>10}" for k in c["updates"]))
    lines.append(f"{'first announcement -> lanflash ends (ms)':{w}}"
                 + "".join(f"{fmt(r.get('total_ms')):>10}" for r in c["updates"].values()))
    lines.append(f"{'  / no crowd':{w}}"
                 + "".join(f"{fmt(r.get('ratio_to_quiet'), '{:.3f}'):>10}" for r in c["updates"].values()))
    lines.append(f"{'lanflash CPU, user+sys (s)':{w}}"
                 + "".join(f"{fmt(r.get('cpu_s'), '{:.3f}'):>10}" for r in c["updates"].values()))
    lines.append(f"{'updated, image intact':{w}}"
                 + "".join(f"{('yes' if r.get('all_updated') and r.get('intact') else 'NO'):>10}"
                           for r in c["updates"].values()))
    e = c["explore"]
    lines.append(f"{e['command']} among {e['machines']}: {e['listed']} listed ({e['listed_twice']} twice), the last "
                 f"new one {fmt(e['last_new_s'], '{:.2f}')} s after the start, the end {fmt(e['end_s'], '{:.2f}')} s "
                 f"(status {e['lanflash_status']})")
    cpu = c["cpu"]
    lines.append(f"{cpu['command']} ({CROWD_CPU_WAIT_S} s, no machine): CPU {cpu['quiet']['cpu_s']:.3f} s alone, "
                 f"{cpu['crowd']['cpu_s']:.3f} s among {cpu['datagrams'] // CROWD_CPU_WAIT_S} announcers: "
                 f"{cpu['cpu_ms_per_1000_datagrams']:.2f} ms per 1000 datagrams")


def sum_or_none(values):
    values = list(values)
    return None if None in values else sum(values)


def fast_goals(fast):
    out = []
    cases = fast["cases"]
    for key, case in cases.items():
        limits = [GOAL_FAST_FLOOR_RATIO] + ([GOAL_FAST_DELAY_FLOOR_RATIO] if case["block_delay_ms"] else [])
        for limit in limits:
            r = case["fast_over_floor"]
            out.append({"goal": f"--fast, {case['title']}: at most {limit:g} x the floor",
                        "met": r is not None and r <= limit and case["fast"].get("all_updated", False),
                        "measured": f"{fmt(case['fast_ms'])} ms / {case['floor']['total_ms']} ms = {fmt(r, '{:.3f}')}"})
    for key, limit in GOAL_FAST_MS.items():
        case = cases[key]
        ms = case["fast_ms"]
        out.append({"goal": f"--fast, {case['title']}: at most {limit / 1000:g} s",
                    "met": ms is not None and ms <= limit and case["fast"].get("all_updated", False),
                    "measured": f"{fmt(ms)} ms"})
    fl = fast["fleet"]
    out.append({"goal": f"{fl['machines']} machines with --all --fast in at most {GOAL_FAST_FLEET_RATIO:g} x "
                        "one fast update, all updated",
                "met": fl["ratio_to_one"] is not None and fl["ratio_to_one"] <= GOAL_FAST_FLEET_RATIO
                and fl["all_updated"] and fl["intact"],
                "measured": f"{fmt(fl['total_ms'])} ms / {fmt(fl['one_ms'])} ms = {fmt(fl['ratio_to_one'], '{:.3f}')}"})
    early = fast["early"]
    # Runs that did not finish would prove nothing by a count of 0.
    out.append({"goal": f"no byte early at the strict machine, over {early['fast_runs']} --fast runs, "
                        "each updated and intact",
                "met": early["fast"] == 0 and early["fast_runs_complete"],
                "measured": f"{fmt(early['fast'])} early"
                            + ("" if early["fast_runs_complete"] else ", not every run complete")})
    cpu = fast["cpu_s"]["fast_1m"]
    out.append({"goal": f"lanflash --fast CPU for the 1 MiB update at most {GOAL_FAST_CPU_S:g} s",
                "met": cpu is not None and cpu <= GOAL_FAST_CPU_S and cases["1m"]["fast"].get("all_updated", False),
                "measured": f"{fmt(cpu, '{:.3f}')} s"})
    idle = fast["idle"].get("usage")
    out.append({"goal": f"lanflash --fast waiting under {GOAL_FAST_IDLE_CPU_PERCENT:g}% of one core",
                "met": bool(idle) and idle["cpu_percent_of_core"] < GOAL_FAST_IDLE_CPU_PERCENT,
                "measured": f"{idle['cpu_percent_of_core']:.3f}%" if idle else "-"})
    return out


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


def render_updates(res, lines):
    runs = res["runs"]
    cols = [("no delay", runs["no_delay"]), (f"{FLASH_DELAY_MS} ms/block", runs["flash_delay"]),
            ("no NODELAY", runs["no_nodelay"]), ("sz --ymodem", runs["sz"])]
    kib = res["image_bytes"] // 1024
    lines.append(f"lanflash bench: {kib} KiB image ({res['data_blocks']} data blocks of {BLOCK_BYTES}), "
                 "machine-sim started in its boot loader")
    lines.append("")
    w = 34
    lines.append(f"{'':{w}}" + "".join(f"{c:>14}" for c, _ in cols))

    def row(name, key, form="{:.0f}", only=None):
        cells = []
        for c, r in cols:
            v = r
            for k in key.split("."):
                v = v.get(k) if isinstance(v, dict) else None
            cells.append(fmt(v, form) if (only is None or c in only) else "-")
        lines.append(f"{name:{w}}" + "".join(f"{x:>14}" for x in cells))

    lf_cols = [c for c, _ in cols[:3]]
    row("total, announce -> '3' (ms)", "total_ms", only=lf_cols)
    row("  discovery, announce -> connect", "discovery_ms", only=lf_cols)
    row("  connect -> '4' (design 2000)", "fixed_waits_ms.connect_to_unlock", only=lf_cols)
    row("  '4' -> '1' (design 1000)", "fixed_waits_ms.unlock_to_request", only=lf_cols)
    row("  '1' -> block 0 (design 4000)", "fixed_waits_ms.request_to_block0", only=lf_cols)
    row("  end-of-batch -> '3' (design 2000)", "fixed_waits_ms.transfer_to_run", only=lf_cols)
    row("  fixed waits (design 9000)", "fixed_waits_total_ms", only=lf_cols)
    row("transfer, block 0 -> end (ms)", "transfer_ms")
    row("sender start -> end-of-batch (ms)", "total_ms", only=["sz --ymodem"])
    row("ms per data block", "ms_per_data_block", "{:.2f}")
    row(f"  / {FLOOR_MS_PER_BLOCK} ms floor", "ratio_to_floor", "{:.3f}")
    row("  blocks taken in one pass (%)", "blocks_in_one_pass_percent", "{:.1f}", only=lf_cols)
    row("  slowest block (ms)", "slowest_block_ms")
    lines.append(f"{'image received intact':{w}}" +
                 "".join(f"{('yes' if r.get('intact') else 'NO'):>14}" for _, r in cols))

    lines.append("")
    wait = runs["no_delay"].get("waiting", {})
    xfer = runs["no_delay"].get("transfer_usage", {})
    mem = runs["no_delay"].get("memory", {})
    for name, u in ((f"CPU, waiting {wait.get('wall_s', 0):.0f} s for announcements", wait),
                    (f"CPU, transfer ({xfer.get('wall_s', 0):.1f} s)", xfer)):
        if u:
            lines.append(f"{name}: {u['cpu_ms']:.0f} ms = {u['cpu_percent_of_core']:.2f}% of one core "
                         f"(schedstat {u['schedstat_cpu_ms']:.1f} ms = {u['schedstat_percent_of_core']:.3f}%)")
            lines.append("  wakeups/s: " + ", ".join(f"{k} {v:g}" for k, v in u["wakeups_per_s"].items()))
    if mem:
        st = mem["status_kib"]
        lines.append(f"Peak resident memory (VmHWM): {st.get('VmHWM', 0)} KiB "
                     f"(RssAnon {st.get('RssAnon', 0)}, RssFile {st.get('RssFile', 0)}, "
                     f"Pss {mem['smaps_rollup_kib'].get('Pss', 0)} KiB)")
        top = list(mem["rss_by_mapping_kib"].items())[:6]
        lines.append("  largest: " + ", ".join(f"{k} {v}" for k, v in top) + " KiB")


def render_fleet(fleet, lines):
    if not fleet:
        return
    n = fleet["machines"]
    lines.append("")
    lines.append(f"Fleet: {fleet['image_bytes'] // 1024} KiB image, machine-sims started in their application "
                 f"at {FLEET_ADDRESSES[0]} ... {FLEET_ADDRESSES[n - 1]}, "
                 "lanflash --all --jobs 1 --exit --machine ADDRESS...")
    fw = 50
    lines.append(f"{'  one machine, announce -> result (ms)':{fw}}{fmt(fleet['one_update_ms']):>14}")
    lines.append(f"{f'  {n} machines, first announce -> last result (ms)':{fw}}{fmt(fleet['fleet_ms']):>14}")
    lines.append(f"{f'    / ({n} x one machine)':{fw}}{fmt(fleet['ratio_to_one_by_one'], '{:.3f}'):>14}")
    lines.append(f"{'  all updated, images intact':{fw}}"
                 f"{('yes' if fleet['all_updated'] and fleet['images_intact'] else 'NO'):>14}")
    lines.append("  each machine, ms after the first announcement: reset, block 0, '3', application announces")
    for m in fleet["fleet"].get("machines", []):
        steps = ", ".join(fmt(m[k]) for k in ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms"))
        lines.append(f"    {m['address']:<12} {steps}  {m['result']}{'' if m['intact'] else ', image NOT intact'}")


def render_parallel(entries, lines):
    entries = entries or []
    render_parallel_counts([e for e in entries if "selection" not in e], lines)
    for e in entries:
        if "selection" in e:
            render_list(e, lines)


def render_parallel_counts(entries, lines):
    if not entries:
        return
    n_max = max(e["machines"] for e in entries)
    lines.append("")
    lines.append(f"Parallel: {FLEET_IMAGE_BYTES // 1024} KiB image, machine-sims started in their application "
                 f"at {PARALLEL_ADDRESSES[0]} ... {PARALLEL_ADDRESSES[n_max - 1]}, "
                 f"lanflash --all --jobs {PARALLEL_JOBS} --exit --machine ADDRESS...")
    lines.append(f"  against one update (the fleet's one machine): {fmt(entries[0]['one_update_ms'])} ms")
    cols = [("", "machines", "machines", "{:.0f}", 8),
            ("total", "(ms)", "total_ms", "{:.0f}", 8),
            ("/ one", "update", "ratio_to_one_update", "{:.3f}", 8),
            ("updated,", "intact", None, None, 9),
            ("workers", "at once", "peak_workers_at_once", "{:.0f}", 8),
            ("peak RSS", "together", "peak_rss_together_kib", "{:.0f}", 10),
            ("(KiB)", "/machine", "peak_rss_per_machine_kib", "{:.0f}", 9),
            ("Pss at", "peak", "pss_at_peak_kib", "{:.0f}", 8),
            ("largest", "worker", "largest_worker_peak_rss_kib", "{:.0f}", 8),
            ("CPU", "(s)", "cpu_s", "{:.2f}", 7),
            ("CPU s", "/machine", "cpu_s_per_machine", "{:.3f}", 9)]
    lines.append("  " + "".join(f"{h:>{w}}" for h, _, _, _, w in cols))
    lines.append("  " + "".join(f"{h:>{w}}" for _, h, _, _, w in cols))
    for e in entries:
        cells = []
        for _, _, key, form, w in cols:
            if key is None:
                cells.append(f"{('yes' if e['all_updated'] and e['images_intact'] else 'NO'):>{w}}")
            else:
                cells.append(f"{fmt(e.get(key), form):>{w}}")
        lines.append("  " + "".join(cells))
    lines.append("  the latest machine, ms after the first announcement: reset, block 0, '3', application announces")
    for e in entries:
        steps = ", ".join(fmt(e.get("last_" + k)) for k in
                          ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms"))
        lines.append(f"    {e['machines']:>2} machines  {steps}")
    lines.append("  RSS together sums every process of the tree, so the C library's shared pages count once per")
    lines.append("  process; Pss shares them out. CPU: lanflash and its reaped workers (wait4).")


def render_list(e, lines):
    n, f, rd = e["machines"], e["file"], e["read"]
    lines.append("")
    lines.append(f"Parallel, named by a list: {n} machine-sims in their application at {e['first_address']} ... "
                 f"{e['last_address']}, {e['image_bytes'] // 1024} KiB image,")
    lines.append(f"lanflash --all --jobs {e['jobs']} --exit --machines FILE IMAGE; FILE: {f['blocks']} /32 blocks no "
                 f"machine is in, then the {n} addresses ({f['lines']} lines, {f['bytes'] // 1024} KiB)")
    w = 62

    def row(name, value):
        lines.append(f"  {name:{w}}{value:>12}")

    row("one update, the same command, FILE naming one machine (ms)", fmt(e["one_update_ms"]))
    row(f"{n} machines, first announcement -> last result (ms)", fmt(e["total_ms"]))
    row("  / one update", fmt(e["ratio_to_one_update"], "{:.3f}"))
    row("first announcements spread over (ms)", fmt(e["announce_spread_ms"]))
    row("updated once (one reset, one '3', one result), intact",
        "yes" if e["updated_once"] and e["all_updated"] and e["images_intact"]
        else f"NO, {len(e['not_updated_once'])}")
    row("workers at once, most", fmt(e["peak_workers_at_once"]))
    row("first reset of the second wave (ms after first announcement)", fmt(e["second_wave_first_reset_ms"]))
    row("the latest machine: reset, block 0, '3', application (ms)",
        ", ".join(fmt(e.get("last_" + k)) for k in ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms")))
    row("peak RSS (KiB): lanflash itself", fmt(e["lanflash_peak_rss_kib"]))
    row("  lanflash itself, one update with a one-line FILE", fmt(e["lanflash_peak_rss_one_kib"]))
    row("  largest worker", fmt(e["largest_worker_peak_rss_kib"]))
    row("  the whole tree, summed per process (Pss at that peak)",
        f"{fmt(e['peak_rss_together_kib'])} ({fmt(e['pss_at_peak_kib'])})")
    row("CPU (s): lanflash itself", fmt(e["lanflash_own_cpu_s"], "{:.2f}"))
    row("  lanflash itself, one update with a one-line FILE", fmt(e["lanflash_own_cpu_one_s"], "{:.2f}"))
    row("  lanflash and its workers", fmt(e["cpu_s"], "{:.2f}"))
    lines.append(f"  reading FILE: {rd['command']}, BAD: '{rd['bad_entry']}';")
    lines.append(f"  {rd['repeats']} runs each, medians; every run ended with status 2 naming BAD: "
                 f"{'yes' if rd['all_status_2_naming_bad'] else 'NO'}")
    row("  wall (ms): FILE, empty FILE", f"{rd['file']['ms']:.1f}, {rd['empty']['ms']:.1f}")
    row(f"  reading the {f['lines']} lines (ms, the difference)", f"{rd['read_ms']:.1f}")
    row("  CPU (ms): FILE, empty FILE", f"{rd['file']['cpu_ms']:.0f}, {rd['empty']['cpu_ms']:.0f}")
    if e.get("error") or e["lanflash_stderr"]:
        lines.append(f"  lanflash status {e['lanflash_status']}, {e.get('error') or ''}; stderr: "
                     + " | ".join(e["lanflash_stderr"][:5]))


def render_fast(fast, lines):
    if not fast:
        return
    cases = list(fast["cases"].values())
    lines.append("")
    lines.append(f"Fast: machine-sim in its application, its defaults and --strict: restart {FAST_RESTART_MS} ms, "
                 "an announcement")
    lines.append(f"at each start and every {FAST_INTERVAL_MS} ms, first 'C' {FAST_C_INTERVAL_MS // 2} ms after '1'. "
                 f"lanflash [--fast] --exit --machine {SIM_ADDRESS}")
    lines.append("IMAGE, timed from the machine's first announcement to lanflash's end.")
    lines.append("")
    w, cw = 40, 10
    lines.append(f"{'':{w}}" + "".join(f"{c['title']:>{2 * cw}}" for c in cases))
    lines.append(f"{'':{w}}" + "".join(f"{'design':>{cw}}{'--fast':>{cw}}" for _ in cases))

    def row(name, get, form="{:.0f}"):
        cells = []
        for c in cases:
            for mode in ("design", "fast"):
                v = get(c, mode)
                cells.append(v if isinstance(v, str) else fmt(v, form))
        lines.append(f"{name:{w}}" + "".join(f"{x:>{cw}}" for x in cells))

    row("first announcement -> lanflash ends (ms)", lambda c, m: c[m].get("total_ms"))
    row("  design / --fast", lambda c, m: c["design_over_fast"] if m == "fast" else "", "{:.2f}")
    row("floor: the machine, listening first (ms)", lambda c, m: c["floor"]["total_ms"])
    row(f"  listening first ({LISTEN_FIRST_MS}, lanflash's)", lambda c, m: c["floor"]["listen_first_ms"])
    row(f"  restarts (2 x {FAST_RESTART_MS})", lambda c, m: c["floor"]["restarts_ms"])
    row(f"  first 'C' ({FAST_C_INTERVAL_MS} / 2)", lambda c, m: c["floor"]["first_c_ms"])
    row("  block delays (blocks x ms)", lambda c, m: c["floor"]["block_delays_ms"])
    row("  announcements (one at each start)", lambda c, m: c["floor"]["announcements_ms"])
    row("  total / floor", lambda c, m: ratio(c[m].get("total_ms"), c["floor"]["total_ms"]), "{:.3f}")
    lines.append("where the time goes (ms), wire log:")
    for name, a, b in FAST_SPLIT:
        row("  " + name, lambda c, m, k=f"{a}->{b}": c[m].get("split_ms", {}).get(k))
    row("  transfer per data block (ms)", lambda c, m: c[m].get("ms_per_data_block"), "{:.2f}")
    row("early bytes at the strict machine", lambda c, m: c[m].get("early"))
    row("lanflash CPU, user+sys (s)", lambda c, m: c[m].get("cpu_s"), "{:.3f}")
    row("updated, image intact", lambda c, m: "yes" if c[m].get("all_updated") and c[m].get("intact") else "NO")
    lines.append("The machine announces at once at each start, so its announcement interval adds nothing to the")
    lines.append("floor; a missed announcement would add one interval.")

    fl = fast["fleet"]
    n = fl["machines"]
    lines.append("")
    lines.append(f"{n} machine-sims as above at {PARALLEL_ADDRESSES[0]} ... {PARALLEL_ADDRESSES[n - 1]}, "
                 f"{fl['image_bytes'] // 1024} KiB image,")
    lines.append(f"lanflash --all --fast --jobs {fl['jobs']} --exit --machine ADDRESS...")
    fw = 56
    lines.append(f"{'  one machine, the same command (ms)':{fw}}{fmt(fl['one_ms']):>10}")
    lines.append(f"{f'  {n} machines, earliest announcement -> end (ms)':{fw}}{fmt(fl['total_ms']):>10}")
    lines.append(f"{'    / one machine':{fw}}{fmt(fl['ratio_to_one'], '{:.3f}'):>10}")
    lines.append(f"{'  first announcements spread over (ms)':{fw}}{fmt(fl['announce_spread_ms']):>10}")
    lines.append(f"{'  early bytes at the strict machines':{fw}}{fmt(fl['run'].get('early')):>10}")
    lines.append(f"{'  CPU, lanflash and its workers (s)':{fw}}{fmt(fl['cpu_s'], '{:.2f}'):>10}")
    lines.append(f"{'  all updated, images intact':{fw}}{('yes' if fl['all_updated'] and fl['intact'] else 'NO'):>10}")
    lt = fl["latest_after_start_ms"]
    lines.append("  the latest machine, ms after the earliest announcement: first announcement, 'R', block 0, '3',")
    lines.append("  application announces: " + ", ".join(fmt(lt[k]) for k in
                                                          ("announce", "reset_cmd", "block0", "run_cmd", "confirm")))
    lines.append(f"  where the time goes, over the {n} machines (ms):        median   slowest")
    st = fl["split_ms"].get("own_update") or {}
    lines.append(f"{'    each its own, first announcement -> app announces':{fw}}"
                 f"{fmt(st.get('median')):>10}{fmt(st.get('max')):>10}")
    for name, a, b in FAST_SPLIT:
        st = fl["split_ms"].get(f"{a}->{b}") or {}
        lines.append(f"{'    ' + name:{fw}}{fmt(st.get('median')):>10}{fmt(st.get('max')):>10}")

    lines.append("")
    idle = fast["idle"].get("usage")
    if idle:
        lines.append(f"lanflash --fast waiting {idle['wall_s']:.0f} s with no machine: {idle['cpu_ms']:.0f} ms = "
                     f"{idle['cpu_percent_of_core']:.2f}% of one core (schedstat {idle['schedstat_cpu_ms']:.1f} ms = "
                     f"{idle['schedstat_percent_of_core']:.3f}%)")
        lines.append("  wakeups/s: " + ", ".join(f"{k} {v:g}" for k, v in idle["wakeups_per_s"].items()))
    else:
        lines.append(f"lanflash --fast waiting: {fast['idle'].get('error', 'not measured')}")


def render(res):
    lines = []
    if res["runs"]:
        render_updates(res, lines)
    render_fleet(res.get("fleet"), lines)
    render_parallel(res.get("parallel"), lines)
    render_fast(res.get("fast"), lines)
    render_crowd(res.get("crowd"), lines)
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
                 f"load average {res['load_before'][0]:.2f} before, {res['load_after'][0]:.2f} after")
    return "\n".join(lines)


def goals(res):
    out = []
    if res["runs"]:
        update_goals(res, out)
    fleet = res.get("fleet")
    if fleet:
        ratio = fleet["ratio_to_one_by_one"]
        out.append({"goal": f"{fleet['machines']} machines with --all --jobs 1 in at most {GOAL_FLEET_RATIO:g} x "
                            f"{fleet['machines']} single updates, all updated",
                    "met": ratio is not None and ratio <= GOAL_FLEET_RATIO and fleet["all_updated"],
                    "measured": f"{fmt(fleet['fleet_ms'])} ms / ({fleet['machines']} x {fmt(fleet['one_update_ms'])} ms)"
                                f" = {fmt(ratio, '{:.3f}')}"})
    entries = [e for e in res.get("parallel") or [] if "selection" not in e]
    if entries:
        for e in entries:
            limit = GOAL_PARALLEL_RATIO.get(e["machines"])
            if limit is None:
                continue
            ratio = e["ratio_to_one_update"]
            out.append({"goal": f"{e['machines']} machines at once in at most {limit:g} x one update",
                        "met": ratio is not None and ratio <= limit,
                        "measured": f"{fmt(e['total_ms'])} ms / {fmt(e['one_update_ms'])} ms = {fmt(ratio, '{:.3f}')}"})
        missed = [str(e["machines"]) for e in entries if not (e["all_updated"] and e["images_intact"])]
        out.append({"goal": "every machine updated, every image intact, at "
                            + ", ".join(str(e["machines"]) for e in entries) + " machines",
                    "met": not missed,
                    "measured": "yes" if not missed else "not at " + ", ".join(missed) + " machines"})
        worker = [e["largest_worker_peak_rss_kib"] for e in entries if e["largest_worker_peak_rss_kib"]]
        out.append({"goal": f"largest worker peak RSS <= {GOAL_WORKER_RSS_KIB} KiB",
                    "met": bool(worker) and max(worker) <= GOAL_WORKER_RSS_KIB,
                    "measured": f"{max(worker)} KiB" if worker else "no worker seen"})
    for e in res.get("parallel") or []:
        if "selection" in e:
            list_goals(e, out)
    if res.get("fast"):
        out.extend(res["fast"]["goals"])
    if res.get("crowd"):
        crowd_goals(res["crowd"], out)
    return out


def list_goals(e, out):
    n, ratio = e["machines"], e["ratio_to_one_update"]
    out.append({"goal": f"{n} machines named by --machines FILE with --jobs {e['jobs']} in at most "
                        f"{GOAL_LIST_RATIO:g} x one update, all updated",
                "met": ratio is not None and ratio <= GOAL_LIST_RATIO and e["all_updated"],
                "measured": f"{fmt(e['total_ms'])} ms / {fmt(e['one_update_ms'])} ms = {fmt(ratio, '{:.3f}')}"})
    missed = e["not_updated_once"]
    out.append({"goal": f"every one of the {n} listed machines updated once (one reset, one '3', one result), "
                        "its image intact",
                "met": e["updated_once"] and e["all_updated"] and e["images_intact"],
                "measured": "yes" if e["updated_once"] and e["all_updated"] and e["images_intact"] else
                            f"{len(missed)} not: " + ", ".join(m["address"] for m in missed[:10])
                            + (" ..." if len(missed) > 10 else "")
                            + f"; lanflash status {e['lanflash_status']}"})
    for who, key, limit in (("lanflash itself (the parent)", "lanflash_peak_rss_kib", GOAL_LIST_PARENT_RSS_KIB),
                            ("largest worker", "largest_worker_peak_rss_kib", GOAL_WORKER_RSS_KIB)):
        kib = e.get(key)
        out.append({"goal": f"{who}: peak RSS <= {limit} KiB with {n} machines and a "
                            f"{e['file']['lines']}-line FILE",
                    "met": bool(kib) and kib <= limit,
                    "measured": f"{kib} KiB" if kib else "not seen"})


def update_goals(res, out):
    nd = res["runs"]["no_delay"]
    r = nd.get("ratio_to_floor")
    out.append({"goal": f"per data block at most {GOAL_RATIO} x the {FLOOR_MS_PER_BLOCK} ms floor, no delay",
                "met": r is not None and r <= GOAL_RATIO,
                "measured": f"{fmt(nd.get('ms_per_data_block'), '{:.2f}')} ms = {fmt(r, '{:.3f}')} x"})
    w = nd.get("waiting")
    out.append({"goal": f"under {GOAL_WAIT_CPU_PERCENT:g}% of one core while waiting",
                "met": bool(w) and w["cpu_percent_of_core"] < GOAL_WAIT_CPU_PERCENT,
                "measured": f"{w['cpu_percent_of_core']:.3f}%" if w else "-"})
    busiest = 0.0
    for u in (w, nd.get("transfer_usage")):
        if u:
            busiest = max(busiest, u["cpu_percent_of_core"])
    out.append({"goal": "no busy loop (no phase near a whole core)",
                "met": bool(w) and busiest < 50.0,
                "measured": f"busiest phase {busiest:.2f}% of one core"})
    mem = nd.get("memory")
    hwm = mem["status_kib"].get("VmHWM") if mem else None
    out.append({"goal": f"peak RSS under {GOAL_RSS_KIB} KiB with a {res['image_bytes'] // 1024} KiB image",
                "met": hwm is not None and hwm < GOAL_RSS_KIB,
                "measured": f"{hwm} KiB" if hwm is not None else "-"})


def raise_nofile(wanted):
    """Lifts the soft limit on open files to WANTED (at most the hard limit); children inherit it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    new = soft
    if soft != resource.RLIM_INFINITY and soft < wanted:
        new = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))
    return {"soft_before": soft, "soft": new, "hard": hard}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build")
    ap.add_argument("--json", help="where the figures go (default BUILD/bench-results.json)")
    ap.add_argument("--image-kib", type=int, default=1024)
    ap.add_argument("--wait-s", type=float, default=30.0, help="idle wait measured before the first update")
    ap.add_argument("--only", default=",".join(SECTIONS),
                    help="comma-separated sections to run, of " + ", ".join(SECTIONS) + " (default all); "
                         "fleet and parallel both measure the one update they are held against")
    ap.add_argument("--parallel-counts", default=",".join(str(n) for n in PARALLEL_COUNTS),
                    help=f"machine counts of the parallel section, each at most {len(PARALLEL_ADDRESSES)}; "
                         "none: only the row named by a list")
    ap.add_argument("--list-machines", type=int, default=LIST_MACHINES,
                    help=f"machines of the parallel row named by --machines FILE (default {LIST_MACHINES}, "
                         "at most 65000; 0 leaves the row out)")
    args = ap.parse_args()
    only = set(args.only.split(","))
    counts = [] if args.parallel_counts == "none" else [int(n) for n in args.parallel_counts.split(",")]
    if not only <= set(SECTIONS) or not all(1 <= n <= len(PARALLEL_ADDRESSES) for n in counts):
        ap.error(f"--only takes {', '.join(SECTIONS)}; --parallel-counts 1 to {len(PARALLEL_ADDRESSES)}")
    if not 0 <= args.list_machines <= 65000:
        ap.error("--list-machines takes 0 to 65000")
    list_row = "parallel" in only and args.list_machines > 0

    if os.environ.get("LANFLASH_IN_NETNS") != "1":
        os.execv(IN_NETNS, [IN_NETNS, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

    build = os.path.abspath(args.build)
    preload = os.path.join(build, "no_nodelay.so")
    for need in (os.path.join(build, "lanflash"), os.path.join(build, "machine-sim"), preload):
        if not os.path.exists(need):
            sys.exit(f"bench: {need} is missing; run `make bench`")
    for tool in ("sz", "socat"):
        if shutil.which(tool) is None:
            sys.exit(f"bench: {tool} is missing; `make bench` installs it (Debian packages lrzsz, socat)")
    json_path = args.json or os.path.join(build, "bench-results.json")

    image_bytes = args.image_kib * 1024
    data_blocks = (image_bytes + BLOCK_BYTES - 1) // BLOCK_BYTES
    res = {"image_bytes": image_bytes, "data_blocks": data_blocks, "machine": machine_info(),
           "load_before": loadavg(), "machine_sim_start_state": "boot",
           "floor_ms_per_block": FLOOR_MS_PER_BLOCK, "runs": {}}
    if list_row:
        res["rlimit_nofile"] = raise_nofile(NOFILE_WANTED)
    checked = []  # machine runs whose every machine must be updated with its image intact
    with tempfile.TemporaryDirectory(prefix="lanflash-bench-") as work:
        image = os.path.join(work, "fw.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(image_bytes))
        steps = [
            ("no_delay", lambda: run_update(build, work, image, data_blocks, "no-delay", wait_s=args.wait_s)),
            ("flash_delay", lambda: run_update(build, work, image, data_blocks, "flash-delay",
                                               block_delay_ms=FLASH_DELAY_MS)),
            ("no_nodelay", lambda: run_update(build, work, image, data_blocks, "no-nodelay", preload=preload)),
            ("sz", lambda: run_sz(build, work, image, data_blocks)),
        ]
        for key, step in steps:
            if "updates" in only:
                print(f"bench: {key} ...", file=sys.stderr, flush=True)
                res["runs"][key] = step()
        fleet_image = os.path.join(work, "fleet.bin")
        with open(fleet_image, "wb") as f:
            f.write(os.urandom(FLEET_IMAGE_BYTES))
        if "fleet" in only or ("parallel" in only and counts):
            print("bench: fleet, one machine ...", file=sys.stderr, flush=True)
            one = run_fleet(build, work, fleet_image, "fleet1", FLEET_ADDRESSES[:1], FLEET_SERIALS[:1])
            checked.append(one)
        if "fleet" in only:
            count = len(FLEET_ADDRESSES)
            print(f"bench: fleet, {count} machines ...", file=sys.stderr, flush=True)
            fleet = run_fleet(build, work, fleet_image, f"fleet{count}", FLEET_ADDRESSES, FLEET_SERIALS,
                              ["--all", "--model", "Tavix7", "--jobs", "1"])
            checked.append(fleet)
            res["fleet"] = fleet_figures(one, fleet, count)
        elif "parallel" in only and counts:
            res["one_update"] = one
        if "parallel" in only:
            res["parallel"] = []
            for n in counts:
                print(f"bench: parallel, {n} machines ...", file=sys.stderr, flush=True)
                run = run_fleet(build, work, fleet_image, f"parallel{n}", PARALLEL_ADDRESSES[:n],
                                PARALLEL_SERIALS[:n], ["--all", "--model", "Tavix7", "--jobs", str(PARALLEL_JOBS)])
                checked.append(run)
                res["parallel"].append(parallel_figures(one, run))
            if list_row:
                row, runs = run_list_row(build, work, fleet_image, args.list_machines)
                checked.extend(runs)
                res["parallel"].append(row)
        if "fast" in only:
            res["fast"], fast_runs = run_fast_section(build, work)
            checked.extend(fast_runs)
        if "crowd" in only:
            res["crowd"], crowd_runs = run_crowd_section(build, work)
            checked.extend(crowd_runs)
    res["load_after"] = loadavg()
    res["goals"] = goals(res)
    table = render(res)
    res["table"] = table.splitlines()
    with open(json_path, "w") as f:
        json.dump(res, f, indent=2)
    print(table)
    print(f"\n(figures also in {json_path})")
    bad = [r["label"] for r in res["runs"].values() if not r.get("intact") or r.get("error")]
    for run in checked:
        if not run.get("all_updated") or not run.get("intact") or run.get("error"):
            bad.append(run["label"])
    if "no_nodelay" in res["runs"] and not res["runs"]["no_nodelay"].get("preload_took_effect"):
        bad.append("no_nodelay.so was not used")
    for e in res.get("parallel") or []:
        if "read" in e and not e["read"]["all_status_2_naming_bad"]:
            bad.append("reading the machines file: " + e["read"].get("error", "?"))
        if "updated_once" in e and not e["updated_once"]:
            bad.append(f"{len(e['not_updated_once'])} of {e['machines']} listed machines not updated exactly once")
    if bad:
        print("bench: runs that did not complete: " + ", ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
