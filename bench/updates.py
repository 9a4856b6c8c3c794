"""Section updates: one machine-sim in its boot loader, a 1 MiB image, three
ways (as shipped, a flash delay per block, TCP_NODELAY off), against lrzsz's
sz --ymodem; lanflash's CPU while it waits and during the transfer, its
memory. Results in res["runs"]."""
import os
import signal
import subprocess
import time

import runner
from runner import LF, fmt, goal

NAME = "updates"
REPLY_POLL_MS = LF["kReplyPollMs"]            # one pass of the reply wait
FLOOR_MS_PER_BLOCK = 2 * REPLY_POLL_MS
ONE_PASS_LIMIT_MS = 1.5 * REPLY_POLL_MS       # a block interval below this took a single pass
FLASH_DELAY_MS = 4
START_S = 1.0  # start-up and first polls are not part of the wait
MSTATE = "src/mstate.cpp"
# The design's waits between the wire events the sim logs, from the sequencer's own constants.
DESIGN_WAITS_MS = {
    # connect, then the next poll finds it connected and moves to M_UNLOCK_MEMORY
    "connect_to_unlock": 2 * LF.get("kBootConnectRetryMs", MSTATE),
    "unlock_to_request": LF.get("kAfterUnlockMs", MSTATE),
    "request_to_block0": LF.get("kAfterRequestMs", MSTATE) + LF.get("kBeforeTransferMs", MSTATE),
    "transfer_to_run": LF.get("kAfterTransferMs", MSTATE),
}
GOAL_RATIO = 1.1
GOAL_WAIT_CPU_PERCENT = 1.0
GOAL_RSS_KIB = 4096


def steps(ctx):
    image = runner.write_image(os.path.join(ctx.work, "fw.bin"), ctx.image_bytes)
    blocks = ctx.data_blocks
    preload = os.path.join(ctx.build, "no_nodelay.so")
    return [
        runner.Step("no_delay", lambda: run_update(ctx, image, blocks, "no-delay", wait_s=ctx.args.wait_s), True),
        runner.Step("flash_delay", lambda: run_update(ctx, image, blocks, "flash-delay",
                                                      block_delay_ms=FLASH_DELAY_MS), True),
        runner.Step("no_nodelay", lambda: run_update(ctx, image, blocks, "no-nodelay", preload=preload), True),
        # lrzsz's transfer is CPU-bound: alone.
        runner.Step("sz", lambda: run_sz(ctx, image, blocks)),
    ]


def collect(ctx, res, got):
    for key in ("no_delay", "flash_delay", "no_nodelay", "sz"):
        res["runs"][key] = got[key]
    return []


def problems(res):
    runs = res.get("runs", {})
    bad = [r["label"] for r in runs.values() if not r.get("intact") or r.get("error")]
    if "no_nodelay" in runs and not runs["no_nodelay"].get("preload_took_effect"):
        bad.append("no_nodelay.so was not used")
    return bad


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


def run_update(ctx, image, data_blocks, label, block_delay_ms=0, preload=None, wait_s=0.0):
    """One whole update: lanflash waits, then machine-sim appears in its boot loader."""
    work = ctx.work
    received = os.path.join(work, f"rx-{label}.bin")
    env = dict(os.environ)
    if preload:
        env["LD_PRELOAD"] = preload
    lf_out = open(os.path.join(work, f"lanflash-{label}.out"), "w")
    lf_err_path = os.path.join(work, f"lanflash-{label}.err")
    lf_err = open(lf_err_path, "w")
    lf = subprocess.Popen([runner.lanflash(ctx), os.path.basename(image)], cwd=work,
                          env=env, stdout=lf_out, stderr=lf_err)
    result = {"label": label, "block_delay_ms": block_delay_ms, "tcp_nodelay": preload is None}
    try:
        time.sleep(START_S)
        if lf.poll() is not None:
            raise RuntimeError(f"lanflash ended at start with status {lf.returncode}")
        if wait_s > 0:
            a = runner.snapshot(lf.pid)
            time.sleep(wait_s)
            result["waiting"] = runner.usage_between(a, runner.snapshot(lf.pid))
        # The sequencer looks for announcements once a second and its looks drift with the load: a
        # machine started just after a look announces just after it too, so discovery shows its
        # longest, the same in every run.
        result["started_after_look"] = runner.after_wakeup(lf.pid, 2 * LF.get("kWaitPollMs", MSTATE) / 1000.0)

        cmd = [runner.machine_sim(ctx), "--state", "boot", "--exit-after-run",
               "--out", received, "--verbose"]
        if block_delay_ms:
            cmd += ["--block-delay-ms", str(block_delay_ms)]
        sim = subprocess.Popen(cmd, cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)
        timer = runner.with_deadline(sim)
        log = runner.SimLog()
        marks = {}
        runner.read_sim(sim, log, {
            "block 0 name=": lambda: marks.__setitem__("b0", runner.snapshot(lf.pid)),
            "end-of-batch": lambda: marks.__setitem__("eob", runner.snapshot(lf.pid)),
        })
        sim_status = sim.wait()
        timer.cancel()
        if "b0" in marks and "eob" in marks:
            result["transfer_usage"] = runner.usage_between(marks["b0"], marks["eob"])
        if lf.poll() is None:
            result["memory"] = runner.memory_report(lf.pid)
    finally:
        runner.stop(lf, signal.SIGINT)
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
    result["intact"] = sim_status == 0 and runner.filecmp(image, received)
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


def run_sz(ctx, image, data_blocks):
    """The same image through lrzsz's YMODEM sender into the sim's receiver."""
    work = ctx.work
    received = os.path.join(work, "rx-sz.bin")
    sim = subprocess.Popen([runner.machine_sim(ctx), "--receive-only", "--exit-after-run",
                            "--count", "0", "--out", received, "--verbose"],
                           cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)
    timer = runner.with_deadline(sim)
    log = runner.SimLog()
    started = {}

    def start_sender():
        started["t"] = time.monotonic()
        started["proc"] = subprocess.Popen(
            ["socat", f"TCP:{runner.SIM_ADDRESS}:{runner.SIM_PORT}",
             "EXEC:sz --ymodem -k -q " + os.path.basename(image)],
            cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    runner.read_sim(sim, log, {"listen": start_sender})
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
    result = {"label": "sz", "command": "socat TCP:%s:%d EXEC:'sz --ymodem -k -q FILE'"
              % (runner.SIM_ADDRESS, runner.SIM_PORT),
              "sim_status": sim_status, "sender_status": sender_status,
              "intact": sim_status == 0 and sender_status == 0 and runner.filecmp(image, received)}
    if eob and "t" in started:
        result["total_ms"] = round((eob[0] - started["t"]) * 1000.0)
    result.update(block_figures(log, data_blocks))
    return result


def render(res, lines):
    runs = res.get("runs")
    if not runs:
        return
    cols = [("no delay", runs["no_delay"]), (f"{FLASH_DELAY_MS} ms/block", runs["flash_delay"]),
            ("no NODELAY", runs["no_nodelay"]), ("sz --ymodem", runs["sz"])]
    kib = res["image_bytes"] // 1024
    lines.append(f"lanflash bench: {kib} KiB image ({res['data_blocks']} data blocks of {runner.BLOCK_BYTES}), "
                 "machine-sim started in its boot loader; one run each")
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
    dw = DESIGN_WAITS_MS
    row("total, announce -> '3' (ms)", "total_ms", only=lf_cols)
    row("  discovery, announce -> connect", "discovery_ms", only=lf_cols)
    row(f"  connect -> '4' (design {dw['connect_to_unlock']})", "fixed_waits_ms.connect_to_unlock", only=lf_cols)
    row(f"  '4' -> '1' (design {dw['unlock_to_request']})", "fixed_waits_ms.unlock_to_request", only=lf_cols)
    row(f"  '1' -> block 0 (design {dw['request_to_block0']})", "fixed_waits_ms.request_to_block0", only=lf_cols)
    row(f"  end-of-batch -> '3' (design {dw['transfer_to_run']})", "fixed_waits_ms.transfer_to_run",
        only=lf_cols)
    row(f"  fixed waits (design {sum(dw.values())})", "fixed_waits_total_ms", only=lf_cols)
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


def goals(res, out):
    if not res.get("runs"):
        return
    nd = res["runs"]["no_delay"]
    r = nd.get("ratio_to_floor")
    out.append(goal(f"per data block at most {GOAL_RATIO} x the {FLOOR_MS_PER_BLOCK} ms floor, no delay",
                    r is not None and r <= GOAL_RATIO,
                    f"{fmt(nd.get('ms_per_data_block'), '{:.2f}')} ms = {fmt(r, '{:.3f}')} x"))
    w = nd.get("waiting")
    out.append(goal(f"under {GOAL_WAIT_CPU_PERCENT:g}% of one core while waiting",
                    bool(w) and w["cpu_percent_of_core"] < GOAL_WAIT_CPU_PERCENT,
                    f"{w['cpu_percent_of_core']:.3f}%" if w else "-"))
    busiest = 0.0
    for u in (w, nd.get("transfer_usage")):
        if u:
            busiest = max(busiest, u["cpu_percent_of_core"])
    out.append(goal("no busy loop (no phase near a whole core)", bool(w) and busiest < 50.0,
                    f"busiest phase {busiest:.2f}% of one core"))
    mem = nd.get("memory")
    hwm = mem["status_kib"].get("VmHWM") if mem else None
    out.append(goal(f"peak RSS under {GOAL_RSS_KIB} KiB with a {res['image_bytes'] // 1024} KiB image",
                    hwm is not None and hwm < GOAL_RSS_KIB, f"{hwm} KiB" if hwm is not None else "-"))
