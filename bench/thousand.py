"""Section thousand: 1000 machines of one machine-sim --fleet, named by
lanflash --all --jobs 1000 --exit --machines LIST, with the design's pacing
and with --fast, each against one update of a --fleet 1 by the same command
with a one-line LIST, in the same run; the time, lanflash's whole tree (CPU,
Pss at its peak, the parent's peak RSS, workers at once) and machine-sim's
own CPU time, with what the rest of the machine took meanwhile. The sim runs
in a session, and so a scheduling group, of its own. Results:
res["thousand"]."""
import os
import re
import resource
import shutil
import subprocess
import threading
import time

import runner
from fleet import FLEET_IMAGE_BYTES, image
from runner import fmt, goal, ratio

NAME = "thousand"
THOUSAND_MACHINES = 1000
THOUSAND_ADDRESS = "127.0.4.1"   # ... 127.0.7.232: no other section plays these
THOUSAND_SERIAL = 40000
THOUSAND_JOBS = 1000
PACINGS = [("design", []), ("fast", ["--fast"])]
GOAL_RATIO = {"design": 1.3, "fast": 1.5}
GOAL_CPU_S_PER_MACHINE = 0.01
GOAL_PSS_KIB = 1024 * 1024
# The sim's clock is read off its log while the first announcements come, one a millisecond.
TAIL_S = 3.0
TAIL_EVERY_S = 0.005
# A sample of a thousand processes costs the bench a tenth of a second of CPU time, taken from the
# sim and lanflash's parent, which wait for a CPU already: fewer samples than the other rows take.
SAMPLE_S = 0.5


def address(i):
    a = (127 << 24 | 4 << 8 | 1) + i
    return f"{a >> 24 & 255}.{a >> 16 & 255}.{a >> 8 & 255}.{a & 255}"


def tail_offset(path, stop, out):
    """Host monotonic s at the sim's t=0, from its log read as it grows: a line's t (ms, rounded down)
    is at or before the moment it was read, so the smallest (read time - t) comes closest."""
    best, end = None, None
    pending = b""
    while not os.path.exists(path):
        if stop.wait(TAIL_EVERY_S):
            return
    with open(path, "rb") as f:
        # A loaded machine may start the sim late: TAIL_S from its first line.
        while not stop.is_set() and (end is None or time.monotonic() < end):
            chunk = f.read()
            now = time.monotonic()
            if chunk:
                pending += chunk
                lines = pending.split(b"\n")
                pending = lines.pop()
                last = lines[-1] if lines else b""
                if last.startswith(b"t="):
                    candidate = now - int(last[2:last.index(b" ")]) / 1000.0
                    best = candidate if best is None else min(best, candidate)
                    out["offset"] = best
                    end = end or now + TAIL_S
            time.sleep(TAIL_EVERY_S)


# What a machine did besides a clean update, by its log line: a sign of a late sender, or of a
# sim that got no CPU for a second and judged the bytes waiting for it late.
SIM_TROUBLE = [("partial_frame_timeouts", re.compile(r"timeout partial=")),
               ("frames_repeated", re.compile(r"block \d+ repeat")),
               ("bad_frames", re.compile(r"block \d+ bad ")),
               ("batch_ends_repeated", re.compile(r"end-of-batch repeat"))]


def read_sim_log(path):
    """Each machine's steps from machine-sim's --log: {address: {first announce, reset, block 0, run (ms),
    resets, runs, intact}}, and the count of each kind of SIM_TROUBLE over them all."""
    machines = {}
    trouble = {key: 0 for key, _ in SIM_TROUBLE}
    with open(path, errors="replace") as f:
        for line in f:
            t_text, _, rest = line.rstrip("\n").partition(" ")
            addr, _, text = rest.partition(" ")
            if not t_text.startswith("t=") or not addr[:1].isdigit():
                continue
            m = machines.setdefault(addr, {"announce_ms": None, "reset_ms": None, "block0_ms": None,
                                           "run_ms": None, "resets": 0, "runs": 0, "run_intact": False})
            t = int(t_text[2:])
            if text.startswith("announce Tavix") and m["announce_ms"] is None:
                m["announce_ms"] = t
            elif text == "reset":
                m["resets"] += 1
                m["reset_ms"] = m["reset_ms"] if m["reset_ms"] is not None else t
            elif text.startswith("block 0 name=") and m["block0_ms"] is None:
                m["block0_ms"] = t
            elif text.startswith("run size="):
                m["runs"] += 1
                m["run_ms"] = t
                m["run_intact"] = text.endswith(" intact")
            elif text.startswith(("timeout", "block ", "end-of-batch")):
                for key, pattern in SIM_TROUBLE:
                    if pattern.match(text):
                        trouble[key] += 1
    return machines, trouble


def deciles(values):
    """The smallest, each tenth and the largest of sorted VALUES; None for none."""
    if not values:
        return None
    return [values[min(len(values) - 1, len(values) * k // 10)] for k in range(10)] + [values[-1]]


def run_delay_s(pid):
    """The time PID's threads have spent runnable, waiting for a CPU (schedstat's second field)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[1])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def machine_cpu():
    """The machine's CPU time so far (s): busy (not idle, not waiting for a disk) and stolen by the host."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    steal = fields[7] if len(fields) > 7 else 0
    return {"busy": (sum(fields[:8]) - idle - steal) / runner.CLK_TCK, "steal": steal / runner.CLK_TCK}


def runnable_now():
    """Threads runnable on the machine at this moment (the load average's instant count)."""
    with open("/proc/loadavg") as f:
        return int(f.read().split()[3].split("/")[0])


def end_with(sim, lf, result):
    """A sim that ends by itself leaves lanflash waiting for its machines until the deadline: end it too."""
    status = sim.wait()
    if lf.poll() is None:
        result["error"] = f"machine-sim ended during the run, status {status}"
        lf.kill()


def run_thousand(ctx, img, label, n, options):
    """lanflash --all --model Tavix7 --jobs 1000 --exit --machines LIST OPTIONS IMAGE against one
    machine-sim --fleet N, started once lanflash's UDP port is bound.

    Timed as the parallel rows are: from the first announcement of any
    machine (the sim's log, its clock carried over to the bench's) to the
    last result line lanflash prints, as read here. The tree of lanflash is
    sampled meanwhile; machine-sim's own CPU time is read before it is
    stopped."""
    addresses = [address(i) for i in range(n)]
    list_path = os.path.join(ctx.work, f"{label}.list")
    with open(list_path, "w") as f:
        f.write("".join(a + "\n" for a in addresses))
    out_dir = os.path.join(ctx.work, f"{label}-out")
    os.makedirs(out_dir, exist_ok=True)
    sim_log = os.path.join(ctx.work, f"{label}-sim.log")
    args = ["--all", "--model", "Tavix7", "--jobs", str(THOUSAND_JOBS), "--exit",
            "--machines", os.path.basename(list_path)] + list(options)
    sim_cmd = [runner.machine_sim(ctx), "--fleet", str(n), "--address", THOUSAND_ADDRESS,
               "--serial", str(THOUSAND_SERIAL), "--out-dir", out_dir, "--log", sim_log]
    result = {"label": label, "machines_count": n, "command": "lanflash " + " ".join(args) + " IMAGE",
              "sim_command": "machine-sim " + " ".join(sim_cmd[1:]), "load_before": runner.loadavg(),
              "runnable_before": runnable_now(),
              "rlimit_nofile": list(resource.getrlimit(resource.RLIMIT_NOFILE))}
    bench_cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    machine0 = machine_cpu()
    lf_start = time.monotonic()
    lf = subprocess.Popen([runner.lanflash(ctx)] + args + [os.path.basename(img)], cwd=ctx.work,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, bufsize=1)
    lf_lines, lf_err = [], []
    readers = [threading.Thread(target=runner.read_lines, args=(lf, lf_lines), daemon=True),
               threading.Thread(target=runner.read_lines, args=(lf, lf_err, "stderr"), daemon=True)]
    for r in readers:
        r.start()
    sim = machine1 = None
    first_seen = {}
    clock, stop_tail = {}, threading.Event()
    tail = threading.Thread(target=tail_offset, args=(sim_log, stop_tail, clock), daemon=True)
    sim_out_path = os.path.join(ctx.work, f"{label}-sim.out")
    try:
        if not runner.wait_bound(lf):
            raise RuntimeError(f"lanflash did not bind UDP port {runner.UDP_PORT} (status {lf.poll()})")
        # A session of its own puts the sim in a scheduling group of its own (the kernel's autogroups),
        # as a thousand machines have CPUs of their own: in lanflash's group one process playing them
        # all waits behind a thousand workers, and answers seconds late.
        with open(sim_out_path, "w") as sim_out:
            sim = subprocess.Popen(sim_cmd, cwd=ctx.work, stdin=subprocess.DEVNULL, stdout=sim_out,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        tail.start()
        threading.Thread(target=end_with, args=(sim, lf, result), daemon=True).start()
        tree = runner.watch_tree(lf, runner.RUN_DEADLINE_S, first_seen, SAMPLE_S)
        result["lanflash_run_s"] = round(time.monotonic() - lf_start, 2)
        runner.take_tree(tree, result)
        machine1 = machine_cpu()
        # Its own time up to now: stopping it adds nothing of the run's.
        try:
            result["sim_cpu_s"] = round(runner.own_cpu_s(sim.pid), 2)
            result["sim_cpu_wait_s"] = round(run_delay_s(sim.pid), 2)
        except OSError:
            pass
        if sim.poll() is not None:
            result.setdefault("error", f"machine-sim ended during the run, status {sim.returncode}")
    finally:
        stop_tail.set()
        if lf.poll() is None:
            lf.kill()
            lf.wait()
        if sim is not None:
            result["sim_status"] = runner.stop(sim)
    bench_cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    result["bench_cpu_s"] = round(bench_cpu1.ru_utime + bench_cpu1.ru_stime
                                  - bench_cpu0.ru_utime - bench_cpu0.ru_stime, 2)
    if "tree" in result and machine1 is not None:
        # What the rest of the machine (other developers' builds and tests) took meanwhile.
        busy = machine1["busy"] - machine0["busy"]
        ours = result["tree"]["cpu_s"] + result.get("sim_cpu_s", 0) + result["bench_cpu_s"]
        result["machine_busy_cpu_s"] = round(busy, 1)
        result["others_cpu_s"] = round(busy - ours, 1)
        result["steal_s"] = round(machine1["steal"] - machine0["steal"], 1)
    for r in readers + ([tail] if tail.ident is not None else []):
        r.join(timeout=10)
    with open(sim_out_path, errors="replace") as f:
        said = [line.rstrip("\n") for line in f if not line.startswith("machine-sim: 127.")]
    result["sim_said"] = said[:10]
    result["lanflash_stderr"] = [line for _, line in lf_err][:20]
    result["lanflash_lines"] = len(lf_lines)

    results, result_lines, last_result_t, summary = {}, {}, None, None
    for t, line in lf_lines:
        m = runner.RESULT_LINE.match(line)
        if m:
            results[m.group(1)] = m.group(2)
            result_lines[m.group(1)] = result_lines.get(m.group(1), 0) + 1
            last_result_t = t
        elif line.startswith("summary: "):
            summary = line
    result["summary"] = summary
    result["summary_as_wanted"] = summary == f"summary: {n} updated"

    steps, result["sim_trouble"] = read_sim_log(sim_log) if os.path.exists(sim_log) else ({}, None)
    offset = clock.get("offset")
    announces = [s["announce_ms"] for s in steps.values() if s["announce_ms"] is not None]
    start_t = offset + min(announces) / 1000.0 if offset is not None and announces else None
    if announces:
        result["announce_spread_ms"] = max(announces) - min(announces)
    if start_t is not None and last_result_t is not None:
        result["total_ms"] = round((last_result_t - start_t) * 1000.0)
    elif "error" not in result:
        result["error"] = ("no announcement in the sim's log" if not announces else
                           "the sim's clock was not read" if offset is None else "no result line from lanflash")

    with open(img, "rb") as f:
        want = f.read()
    machines, intact = [], 0
    first_ms = min(announces) if announces else 0
    for a in addresses:
        s = steps.get(a, {})
        try:
            with open(os.path.join(out_dir, a + ".bin"), "rb") as f:
                same = f.read() == want
        except OSError:
            same = False
        intact += same
        machines.append({"address": a, "result": results.get(a, "none"), "result_lines": result_lines.get(a, 0),
                         "file_intact": same, "run_intact": s.get("run_intact", False),
                         "resets": s.get("resets", 0), "runs": s.get("runs", 0),
                         # ms after the first announcement of any machine
                         **{k: (None if s.get(k) is None else s[k] - first_ms)
                            for k in ("announce_ms", "reset_ms", "block0_ms", "run_ms")}})
    shutil.rmtree(out_dir, ignore_errors=True)  # 64 MiB a row
    result["machines_updated"] = sum(1 for m in machines if m["result"] == "updated")
    result["files_intact"] = intact
    result["all_updated"] = (result.get("lanflash_status") == 0 and result["summary_as_wanted"]
                             and result["machines_updated"] == n)
    result["intact"] = intact == n and all(m["run_intact"] for m in machines)
    for key in ("announce_ms", "reset_ms", "block0_ms", "run_ms"):
        seen = [m[key] for m in machines if m[key] is not None]
        result["last_" + key] = max(seen) if len(seen) == n else None
    reset = sorted(m["reset_ms"] for m in machines if m["reset_ms"] is not None)
    result["reset_ms_deciles"] = deciles(reset)
    # Workers are found by the tree's samples, a few tenths of a second apart at a thousand.
    if start_t is not None:
        result["worker_seen_ms_deciles"] = deciles([round((t - start_t) * 1000.0)
                                                    for t in sorted(first_seen.values())])
    not_once = [m for m in machines if not (m["result"] == "updated" and m["file_intact"] and m["run_intact"]
                                            and m["resets"] == 1 and m["runs"] == 1 and m["result_lines"] == 1)]
    result["not_updated_once"] = [m["address"] for m in not_once]
    # What lanflash said about the first machines not updated once, and about the one reset last.
    result["lanflash_lines_of_missed"] = {
        m["address"]: [line for _, line in lf_lines if line.startswith(m["address"] + ":")
                       or line.startswith(f"result: {m['address']} ")] for m in not_once[:10]}
    if reset and start_t is not None:
        latest = max((m for m in machines if m["reset_ms"] is not None), key=lambda m: m["reset_ms"])
        result["lanflash_lines_of_latest"] = {latest["address"]: [
            f"{round((t - start_t) * 1000.0)} ms: {line}" for t, line in lf_lines
            if line.startswith(latest["address"] + ":") or line.startswith(f"result: {latest['address']} ")]}
    result["lanflash_tail"] = [line for _, line in lf_lines[-5:]]
    if n == 1:
        result["machines"] = machines
    return result


def steps(ctx):
    img = image(ctx)
    out = []
    for pacing, options in PACINGS:
        # The design's one update sleeps through its fixed waits, as the fleet's does: it may go beside another.
        out.append(runner.Step(f"thousand_one_{pacing}", lambda options=options, pacing=pacing: run_thousand(
            ctx, img, f"thousand-one-{pacing}", 1, options), pacing == "design"))
    for pacing, options in PACINGS:
        # A thousand workers keep both cores busy: alone.
        out.append(runner.Step(f"thousand_{pacing}", lambda options=options, pacing=pacing: run_thousand(
            ctx, img, f"thousand-{pacing}", THOUSAND_MACHINES, options)))
    return out


def figures(one, run, pacing):
    n = run["machines_count"]
    tree = run.get("tree", {})
    out = {"pacing": pacing, "machines": n, "jobs": THOUSAND_JOBS, "image_bytes": FLEET_IMAGE_BYTES,
           "total_ms": run.get("total_ms"), "one_update_ms": one.get("total_ms"),
           "ratio_to_one_update": ratio(run.get("total_ms"), one.get("total_ms")),
           "all_updated": bool(run.get("all_updated") and one.get("all_updated")),
           "images_intact": bool(run.get("intact") and one.get("intact")),
           "summary": run.get("summary"), "lanflash_status": run.get("lanflash_status"),
           "machines_updated": run.get("machines_updated"), "files_intact": run.get("files_intact"),
           "not_updated_once": len(run.get("not_updated_once", [])),
           "cpu_s": tree.get("cpu_s"), "cpu_s_per_machine": None,
           "lanflash_own_cpu_s": tree.get("lanflash_own_cpu_s"),
           "pss_at_peak_kib": tree.get("pss_at_peak_kib"), "peak_rss_together_kib": tree.get("peak_rss_kib"),
           "lanflash_peak_rss_kib": tree.get("lanflash_hwm_kib"),
           "largest_worker_peak_rss_kib": tree.get("largest_worker_hwm_kib"),
           "peak_workers_at_once": tree.get("peak_workers"), "workers_seen": tree.get("workers_seen"),
           "sim_cpu_s": run.get("sim_cpu_s"), "one_sim_cpu_s": one.get("sim_cpu_s"),
           "sim_cpu_wait_s": run.get("sim_cpu_wait_s"),
           "announce_spread_ms": run.get("announce_spread_ms"),
           "load_before": run.get("load_before"), "error": run.get("error") or one.get("error"),
           "one_update": one, "run": run}
    if out["cpu_s"] is not None:
        out["cpu_s_per_machine"] = round(out["cpu_s"] / n, 4)
    for key in ("reset_ms", "block0_ms", "run_ms"):
        out["last_" + key] = run.get("last_" + key)
    out["reset_ms_deciles"] = run.get("reset_ms_deciles")
    out["worker_seen_ms_deciles"] = run.get("worker_seen_ms_deciles")
    for key in ("sim_trouble", "bench_cpu_s", "runnable_before", "machine_busy_cpu_s", "others_cpu_s", "steal_s",
                "lanflash_run_s"):
        out[key] = run.get(key)
    return out


def collect(ctx, res, got):
    rows = [figures(got[f"thousand_one_{p}"], got[f"thousand_{p}"], p) for p, _ in PACINGS]
    res["thousand"] = {"machines": THOUSAND_MACHINES, "first_address": address(0),
                       "last_address": address(THOUSAND_MACHINES - 1), "rows": rows}
    return [got[f"thousand_one_{p}"] for p, _ in PACINGS] + [got[f"thousand_{p}"] for p, _ in PACINGS]


def problems(res):
    bad = []
    for e in (res.get("thousand") or {}).get("rows", []):
        if e["not_updated_once"]:
            bad.append(f"{e['not_updated_once']} of {e['machines']} machines ({e['pacing']}) not updated exactly once")
    return bad


def render(res, lines):
    th = res.get("thousand")
    if not th:
        return
    lines.append("")
    lines.append(f"A thousand: machine-sim --fleet {th['machines']} at {th['first_address']} ... {th['last_address']}, "
                 f"{FLEET_IMAGE_BYTES // 1024} KiB image, lanflash --all --jobs {THOUSAND_JOBS} --exit")
    lines.append("--machines LIST [--fast] IMAGE; against one machine of a --fleet 1 by the same command with a "
                 "one-line LIST; one run each")
    cols = [("", "pacing", "pacing", None, 8),
            ("one", "upd. (ms)", "one_update_ms", "{:.0f}", 10),
            ("total", "(ms)", "total_ms", "{:.0f}", 8),
            ("/ one", "update", "ratio_to_one_update", "{:.3f}", 8),
            ("updated,", "intact", None, None, 9),
            ("workers", "at once", "peak_workers_at_once", "{:.0f}", 8),
            ("Pss at", "peak", "pss_at_peak_kib", "{:.0f}", 9),
            ("parent", "peak RSS", "lanflash_peak_rss_kib", "{:.0f}", 9),
            ("CPU", "(s)", "cpu_s", "{:.2f}", 8),
            ("CPU s", "/machine", "cpu_s_per_machine", "{:.4f}", 9),
            ("sim CPU", "(s)", "sim_cpu_s", "{:.2f}", 8),
            ("waited", "for CPU", "sim_cpu_wait_s", "{:.1f}", 8),
            ("load", "before", None, None, 7)]
    lines.append("  " + "".join(f"{h:>{w}}" for h, _, _, _, w in cols))
    lines.append("  " + "".join(f"{h:>{w}}" for _, h, _, _, w in cols))
    for e in th["rows"]:
        cells = []
        for _, head, key, form, w in cols:
            if key == "pacing":
                cells.append(f"{e['pacing']:>{w}}")
            elif head == "intact":
                cells.append(f"{('yes' if e['all_updated'] and e['images_intact'] else 'NO'):>{w}}")
            elif head == "before":
                cells.append(f"{fmt((e['load_before'] or [None])[0], '{:.1f}'):>{w}}")
            else:
                cells.append(f"{fmt(e.get(key), form):>{w}}")
        lines.append("  " + "".join(cells))
    lines.append("  the latest machine, ms after the first announcement: reset, block 0, '3'; "
                 "first announcements spread over")
    for e in th["rows"]:
        lines.append(f"    {e['pacing']:>6}  " + ", ".join(fmt(e.get("last_" + k)) for k in
                                                           ("reset_ms", "block0_ms", "run_ms"))
                     + f"; {fmt(e['announce_spread_ms'])} ms")
    lines.append("  ms after the first announcement, the first, 10%, 50%, 90% and last: workers seen, machines reset")
    for e in th["rows"]:
        spread = []
        for key in ("worker_seen_ms_deciles", "reset_ms_deciles"):
            d = e.get(key)
            spread.append("-" if not d else ", ".join(fmt(d[k]) for k in (0, 1, 5, 9, 10)))
        lines.append(f"    {e['pacing']:>6}  {spread[0]}; {spread[1]}")
    for e in th["rows"]:
        said = (e["summary"] or "no summary line").split(";")[0]  # the counts; the JSON has the rest
        lines.append(f"  {e['pacing']}: {said}, status {fmt(e['lanflash_status'])}, "
                     f"{fmt(e['files_intact'])} of {e['machines']} files equal to the image"
                     + (f"; {e['error']}" if e.get("error") else ""))
        trouble = e.get("sim_trouble") or {}
        lines.append("    the sim: " + ", ".join(f"{n} {key.replace('_', ' ')}" for key, n in trouble.items())
                     if trouble else "    the sim's log: not read")
    lines.append("  Pss: of lanflash and its workers together, when their RSS summed peaked; parent: lanflash's own")
    lines.append("  VmHWM (KiB). CPU: lanflash and its reaped workers (wait4); sim: machine-sim's own utime+stime,")
    lines.append("  and the time it spent runnable waiting for a CPU (schedstat).")
    lines.append("  Meanwhile (s): the machine's busy CPU time, the bench's own, the rest's (other processes than")
    lines.append("  lanflash's tree, the sim and the bench), time stolen by the host; threads runnable before:")
    for e in th["rows"]:
        lines.append(f"    {e['pacing']:>6}  " + ", ".join(fmt(e.get(k), "{:.1f}") for k in (
            "machine_busy_cpu_s", "bench_cpu_s", "others_cpu_s", "steal_s")) + f"; {fmt(e.get('runnable_before'))}")


def goals(res, out):
    th = res.get("thousand")
    if not th:
        return
    for e in th["rows"]:
        limit = GOAL_RATIO[e["pacing"]]
        r = e["ratio_to_one_update"]
        name = "design pacing" if e["pacing"] == "design" else "--fast"
        out.append(goal(f"{e['machines']} machines, {name}, in at most {limit:g} x one update",
                        r is not None and r <= limit,
                        f"{fmt(e['total_ms'])} ms / {fmt(e['one_update_ms'])} ms = {fmt(r, '{:.3f}')}"))
    for e in th["rows"]:
        c = e["cpu_s_per_machine"]
        out.append(goal(f"{e['machines']} machines, {e['pacing']}: lanflash's tree at most "
                        f"{GOAL_CPU_S_PER_MACHINE:g} CPU s per machine",
                        c is not None and c <= GOAL_CPU_S_PER_MACHINE,
                        f"{fmt(e['cpu_s'], '{:.2f}')} s / {e['machines']} = {fmt(c, '{:.4f}')} s"))
    for e in th["rows"]:
        p = e["pss_at_peak_kib"]
        out.append(goal(f"{e['machines']} machines, {e['pacing']}: lanflash's tree Pss at its peak at most "
                        f"{GOAL_PSS_KIB} KiB", bool(p) and p <= GOAL_PSS_KIB, f"{fmt(p)} KiB"))
    missed = [e for e in th["rows"] if not (e["all_updated"] and e["images_intact"])]
    out.append(goal(f"every one of the {th['machines']} machines updated and its image intact, "
                    + " and ".join(e["pacing"] for e in th["rows"]),
                    not missed,
                    "; ".join(f"{e['pacing']}: {(e['summary'] or 'no summary').split(';')[0]}, status {fmt(e['lanflash_status'])}, "
                              f"{fmt(e['files_intact'])} files intact" for e in th["rows"])))
