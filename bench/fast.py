"""Section fast: lanflash with and without --fast updates a machine-sim with
its defaults and --strict, from the machine's first announcement to
lanflash's end with --exit: a 64 KiB image, a 1 MiB image, and 1 MiB at 5 ms
per block, each against the floor the machine's own pauses set, with where the
time goes; then 50 machines with --all --fast against one; lanflash's CPU
time for the fast 1 MiB update and while it waits; and the bytes the strict
machine saw before it asked for them. run_timed serves the crowd section too."""
import os
import signal
import subprocess
import threading
import time

import runner
from parallel import PARALLEL_ADDRESSES, PARALLEL_JOBS, PARALLEL_SERIALS
from runner import LF, fmt, ratio, sum_or_none

NAME = "fast"
# machine-sim's defaults, given explicitly, since the floors are made of them.
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
FLEET_OPTIONS = ["--all", "--model", "Tavix7", "--fast", "--jobs", str(PARALLEL_JOBS)]
FAST_IDLE_S = 5.0
IDLE_SETTLE_S = 1.0  # start-up is not part of the wait
GOAL_FAST_FLOOR_RATIO = 1.25
GOAL_FAST_DELAY_FLOOR_RATIO = 1.15   # the case with a flash delay
# lanflash listens to a new machine this long before its first connection, so that a second
# board at its address shows; the machine announces every second, so the next announcement ends it.
LISTEN_FIRST_MS = LF["kListenFirstMs"]
LISTEN_AT_MS = -(-LISTEN_FIRST_MS // FAST_INTERVAL_MS) * FAST_INTERVAL_MS  # the announcement that ends it
# One second more than before lanflash listened to a new address first.
GOAL_FAST_MS = {"64k": 3500, "1m": 4000}
GOAL_FAST_FLEET_RATIO = 1.3
GOAL_FAST_CPU_S = 0.2
GOAL_FAST_IDLE_CPU_PERCENT = 1.0


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


def run_timed(ctx, image, label, options, machines, block_delay_ms=0):
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
    lf_out_path = os.path.join(ctx.work, f"lanflash-{label}.out")
    result = {"label": label, "machines_count": len(machines), "block_delay_ms": block_delay_ms,
              "command": "lanflash " + " ".join(args) + " IMAGE"}
    sims = []
    with open(lf_out_path, "w") as lf_out:
        lf = subprocess.Popen([runner.lanflash(ctx)] + args + [os.path.basename(image)], cwd=ctx.work,
                              stdout=lf_out, stderr=subprocess.STDOUT)
    end_t = None
    try:
        if not runner.wait_bound(lf):
            result["error"] = f"lanflash did not bind UDP port {runner.UDP_PORT} (status {lf.poll()})"
            return result
        for address, serial in machines:
            received = os.path.join(ctx.work, f"rx-{label}-{address}.bin")
            wire_log = os.path.join(ctx.work, f"sim-{label}-{address}.log")
            cmd = [runner.machine_sim(ctx), "--address", address, "--serial", serial, "--strict",
                   "--restart-ms", str(FAST_RESTART_MS), "--interval-ms", str(FAST_INTERVAL_MS),
                   "--c-interval-ms", str(FAST_C_INTERVAL_MS), "--out", received, "--log", wire_log, "--verbose"]
            if block_delay_ms:
                cmd += ["--block-delay-ms", str(block_delay_ms)]
            sim = subprocess.Popen(cmd, cwd=ctx.work, stdout=subprocess.PIPE, text=True, bufsize=1)
            log = runner.SimLog()
            reader = threading.Thread(target=runner.read_sim, args=(sim, log, {}), daemon=True)
            reader.start()
            sims.append({"address": address, "proc": sim, "log": log, "reader": reader,
                         "received": received, "wire_log": wire_log})
        timer = threading.Timer(runner.RUN_DEADLINE_S, lf.kill)
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
            runner.stop(sim["proc"])
            sim["reader"].join(timeout=10)

    results = {}
    with open(lf_out_path, errors="replace") as f:
        for line in f:
            m = runner.RESULT_LINE.match(line.rstrip("\n"))
            if m:
                results[m.group(1)] = m.group(2)
    machines_out = []
    for sim in sims:
        log = sim["log"]
        steps = update_steps(log)
        offset = runner.sim_clock_offset(log) if log.events else None
        if offset is not None and end_t is not None:
            steps["end"] = round((end_t - offset) * 1000.0)
        run = log.last("run ")
        machines_out.append({
            "address": sim["address"], "result": results.get(sim["address"], "none"),
            "intact": run is not None and run[2].endswith(" intact") and runner.filecmp(image, sim["received"]),
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


def run_idle(ctx, image):
    """lanflash --fast waiting for a machine that never comes: its CPU time over FAST_IDLE_S."""
    args = ["--fast", "--exit", "--machine", runner.SIM_ADDRESS]
    lf = subprocess.Popen([runner.lanflash(ctx)] + args + [os.path.basename(image)], cwd=ctx.work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = {"command": "lanflash " + " ".join(args) + " IMAGE"}
    try:
        if not runner.wait_bound(lf):
            out["error"] = f"lanflash ended at start with status {lf.poll()}"
            return out
        time.sleep(IDLE_SETTLE_S)  # start-up is not part of the wait
        a = runner.snapshot(lf.pid)
        time.sleep(FAST_IDLE_S)
        out["usage"] = runner.usage_between(a, runner.snapshot(lf.pid))
    finally:
        runner.stop(lf, signal.SIGINT)
    return out


def fast_floor(data_blocks, block_delay_ms):
    """What the update must take: two restarts, the machine's first 'C' and its flash writes, and
    lanflash listening to the new address for LISTEN_FIRST_MS before the first connection, so that a
    second board there would show; it acts at the machine's first announcement after that.

    It announces at once at each start, so its announcement interval adds
    nothing more, as long as no announcement is missed (each one missed costs
    an interval)."""
    parts = {"listen_first_ms": LISTEN_AT_MS, "restarts_ms": 2 * FAST_RESTART_MS,
             "first_c_ms": FAST_C_INTERVAL_MS // 2, "block_delays_ms": data_blocks * block_delay_ms,
             "announcements_ms": 0}
    parts["total_ms"] = sum(parts.values())
    return parts


def images(ctx):
    return {kib: ctx.image(f"fast-{kib}k.bin", kib * 1024) for kib in sorted({c[2] for c in FAST_CASES})}


def fleet_machines():
    return list(zip(PARALLEL_ADDRESSES[:FAST_FLEET_COUNT], PARALLEL_SERIALS[:FAST_FLEET_COUNT]))


def steps(ctx):
    imgs = images(ctx)
    one = [(runner.SIM_ADDRESS, FAST_SERIAL)]
    # lanflash waiting and the design's updates sleep through fixed waits: they may go beside another row.
    out = [runner.Step("fast_idle", lambda: run_idle(ctx, imgs[64]), True)]
    for key, title, kib, delay in FAST_CASES:
        for mode, options in (("design", []), ("fast", ["--fast"])):
            out.append(runner.Step(f"fast_{key}_{mode}", lambda kib=kib, key=key, mode=mode, options=options,
                                   delay=delay: run_timed(ctx, imgs[kib], f"{key}-{mode}", options, one, delay),
                                   mode == "design"))
    machines = fleet_machines()
    out.append(runner.Step("fast_all1", lambda: run_timed(ctx, imgs[64], "fast-all1", FLEET_OPTIONS, machines[:1])))
    out.append(runner.Step(f"fast_all{FAST_FLEET_COUNT}",
                           lambda: run_timed(ctx, imgs[64], f"fast-all{FAST_FLEET_COUNT}", FLEET_OPTIONS, machines)))
    return out


def collect(ctx, res, got):
    fast = {"sim": {"restart_ms": FAST_RESTART_MS, "interval_ms": FAST_INTERVAL_MS,
                    "c_interval_ms": FAST_C_INTERVAL_MS, "strict": True, "state": "app"},
            "timed": "from the machine's first announcement (its wire log) to lanflash's end with --exit",
            "cases": {}}
    fast["idle"] = got["fast_idle"]
    for key, title, kib, delay in FAST_CASES:
        blocks = (kib * 1024 + runner.BLOCK_BYTES - 1) // runner.BLOCK_BYTES
        case = {"title": title, "image_bytes": kib * 1024, "data_blocks": blocks, "block_delay_ms": delay,
                "floor": fast_floor(blocks, delay)}
        for mode in ("design", "fast"):
            case[mode] = got[f"fast_{key}_{mode}"]
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
    machines = fleet_machines()
    one_run, many = got["fast_all1"], got[f"fast_all{n}"]
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
    res["fast"] = fast
    return fast_runs + design_runs


def problems(res):
    return []


def render(res, lines):
    render_fast(res.get("fast"), lines)


def goals(res, out):
    if res.get("fast"):
        out.extend(res["fast"]["goals"])


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


def render_fast(fast, lines):
    if not fast:
        return
    cases = list(fast["cases"].values())
    lines.append("")
    lines.append(f"Fast: machine-sim in its application, its defaults and --strict: restart {FAST_RESTART_MS} ms, "
                 "an announcement")
    lines.append(f"at each start and every {FAST_INTERVAL_MS} ms, first 'C' {FAST_C_INTERVAL_MS // 2} ms after '1'. "
                 f"lanflash [--fast] --exit --machine {runner.SIM_ADDRESS}")
    lines.append("IMAGE, timed from the machine's first announcement to lanflash's end; one run each.")
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
    row(f"  listening first ({LISTEN_FIRST_MS}, next announce)", lambda c, m: c["floor"]["listen_first_ms"])
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


