"""Section crowd: the same --fast update of one machine-sim, chosen with
--machine, among 1000 and 2000 other machines that announce once a second
each (machine-sim --crowd, UDP only, spread evenly), against the same update
with no crowd; lanflash --all --timeout 3 exploring among 1000 of them, every
one listed once and the end within 4 s of the last new one; and lanflash's
CPU time per 1000 datagrams judged, from a 10 s wait for a machine that never
comes, with and without 2000 announcers."""
import os
import subprocess
import threading
import time

import runner
from fast import FAST_SERIAL, run_timed
from runner import fmt, ratio

NAME = "crowd"
# Other machines that only announce, once a second each, spread evenly
# (machine-sim --crowd), from the addresses after CROWD_BASE.
CROWD_COUNTS = [1000, 2000]
CROWD_BASE = "127.1.0.0"
CROWD_EXPLORE = 1000
CROWD_EXPLORE_TIMEOUT_S = 3
CROWD_CPU_WAIT_S = 10
CROWD_SETTLE_S = 1.5  # every announcer has announced before the clock runs
GOAL_CROWD_RATIO = 1.2
GOAL_CROWD_EXPLORE_END_S = 4.0
CPU_ARGS = ["--exit", "--timeout", str(CROWD_CPU_WAIT_S), "--machine", runner.SIM_ADDRESS]


def steps(ctx):
    image = ctx.image("crowd.bin", 64 * 1024)
    one = [(runner.SIM_ADDRESS, FAST_SERIAL)]
    assert CROWD_EXPLORE in CROWD_COUNTS  # the exploring run shares that crowd
    out = [runner.Step("crowd_quiet", lambda: run_timed(ctx, image, "crowd-quiet", ["--fast"], one)),
           # The baseline of the CPU per datagram runs alone, as the run among the crowd does: an idle
           # lanflash's CPU time is not the same beside another row.
           runner.Step("crowd_cpu_quiet", lambda: cpu_wait(ctx, image))]
    for n in CROWD_COUNTS:
        out.append(runner.Step(f"crowd_{n}", lambda n=n: among_crowd(ctx, image, one, n)))
    return out


def among_crowd(ctx, image, one, n):
    """One crowd of N serves the update among it, then the exploring or the CPU run, whichever takes N."""
    out = {}
    announcers = start_crowd(ctx, n)
    try:
        out["update"] = run_timed(ctx, image, f"crowd-{n}", ["--fast"], one)
        if n == CROWD_EXPLORE:
            runner.say(f"crowd, exploring among {n} announcers ...")
            out["explore"] = run_crowd_explore(ctx, n)
        if n == CROWD_COUNTS[-1]:
            runner.say(f"crowd, CPU among {n} announcers ...")
            out["cpu"] = cpu_wait(ctx, image)
    finally:
        runner.stop(announcers)
    return out


def collect(ctx, res, got):
    quiet = got["crowd_quiet"]
    crowd = {"options": ["--fast"], "image_bytes": 64 * 1024, "updates": {"0": quiet}}
    runs = [quiet]
    for n in CROWD_COUNTS:
        run = got[f"crowd_{n}"]["update"]
        run["ratio_to_quiet"] = ratio(run.get("total_ms"), quiet.get("total_ms"))
        crowd["updates"][str(n)] = run
        runs.append(run)
    crowd["explore"] = got[f"crowd_{CROWD_EXPLORE}"]["explore"]
    n = CROWD_COUNTS[-1]
    cpu = {"quiet": got["crowd_cpu_quiet"], "crowd": got[f"crowd_{n}"]["cpu"]}
    datagrams = n * CROWD_CPU_WAIT_S
    extra = cpu["crowd"]["cpu_s"] - cpu["quiet"]["cpu_s"]
    cpu["datagrams"] = datagrams
    cpu["command"] = "lanflash " + " ".join(CPU_ARGS + ["IMAGE"])
    cpu["cpu_ms_per_1000_datagrams"] = round(1000.0 * extra / (datagrams / 1000), 2)
    crowd["cpu"] = cpu
    res["crowd"] = crowd
    return runs


def problems(res):
    return []


def start_crowd(ctx, count):
    """machine-sim playing `count` machines that only announce, none of them chosen."""
    crowd = subprocess.Popen([runner.machine_sim(ctx), "--address", CROWD_BASE, "--announce-only",
                              "--count", "0", "--crowd", str(count), "--serial", "100000"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(CROWD_SETTLE_S)
    return crowd


def run_crowd_explore(ctx, count):
    """lanflash --all --timeout T among `count` announcers: each listed once, and the end after the last new one."""
    args = ["--all", "--timeout", str(CROWD_EXPLORE_TIMEOUT_S)]
    out = {"command": "lanflash " + " ".join(args), "machines": count}
    start = time.monotonic()
    lf = subprocess.Popen([runner.lanflash(ctx)] + args, cwd=ctx.work, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    listed, last_new = {}, None
    timer = threading.Timer(runner.RUN_DEADLINE_S, lf.kill)
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
    out["lanflash_status"] = lf.returncode
    out["listed"] = len(listed)
    out["listed_twice"] = sum(1 for n in listed.values() if n > 1)
    out["last_new_s"] = None if last_new is None else round(last_new - start, 3)
    out["end_s"] = round(end - start, 3)
    out["end_after_last_new_s"] = None if last_new is None else round(end - last_new, 3)
    return out


def cpu_wait(ctx, image):
    """lanflash waiting CROWD_CPU_WAIT_S for a machine that never comes: its CPU time from wait4."""
    lf = subprocess.Popen([runner.lanflash(ctx)] + CPU_ARGS + [os.path.basename(image)], cwd=ctx.work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, ru = os.wait4(lf.pid, 0)
    lf.returncode = os.waitstatus_to_exitcode(status)
    return {"cpu_s": round(ru.ru_utime + ru.ru_stime, 3), "lanflash_status": lf.returncode}


def goals(res, out):
    c = res.get("crowd")
    if not c:
        return
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


def render(res, lines):
    c = res.get("crowd")
    if not c:
        return
    lines.append("")
    lines.append(f"Crowd: machine-sims announcing once a second each, spread evenly, UDP only, none chosen; "
                 f"lanflash --fast --exit --machine {runner.SIM_ADDRESS}")
    lines.append(f"IMAGE ({c['image_bytes'] // 1024} KiB) on machine-sim as in the fast section, timed from its "
                 "first announcement to lanflash's end; one run each.")
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
