"""Section fleet: five machine-sims in their application, one after the other
(lanflash --all --jobs 1), against five times one update. run_fleet, the
runner of a lanflash run over machine-sims that stay in their application,
serves the parallel and lists sections too."""
import os
import re
import subprocess
import threading
import time

import runner
from runner import fmt, goal

NAME = "fleet"
# Machine-sims in their application, each its own address and serial.
FLEET_ADDRESSES = [f"127.0.0.{11 + i}" for i in range(5)]
FLEET_SERIALS = [str(1001 + i) for i in range(5)]
FLEET_IMAGE_BYTES = 64 * 1024
GOAL_FLEET_RATIO = 1.0
GATE_WAIT_S = 30.0


def image(ctx):
    return ctx.image("fleet.bin", FLEET_IMAGE_BYTES)


def one_update_step(ctx):
    """The one update the fleet and the parallel rows are held against."""
    img = image(ctx)
    return runner.Step("one_update", lambda: run_fleet(ctx, img, "fleet1", FLEET_ADDRESSES[:1],
                                                       FLEET_SERIALS[:1]), True)


def steps(ctx):
    img = image(ctx)
    n = len(FLEET_ADDRESSES)
    return [runner.Step("fleet", lambda: run_fleet(ctx, img, f"fleet{n}", FLEET_ADDRESSES, FLEET_SERIALS,
                                                   ["--all", "--model", "Tavix7", "--jobs", "1"]), True)]


def collect(ctx, res, got):
    one, fleet = got["one_update"], got["fleet"]
    res["fleet"] = fleet_figures(one, fleet, len(FLEET_ADDRESSES))
    return [fleet]


def problems(res):
    return []


def run_fleet(ctx, image, label, addresses, serials, options=(), select=None, gated=False):
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
    lf = subprocess.Popen([runner.lanflash(ctx)] + args + [os.path.basename(image)], cwd=ctx.work,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE if gated else subprocess.DEVNULL,
                          text=True, bufsize=1)
    lf_lines = []
    lf_reader = threading.Thread(target=runner.read_lines, args=(lf, lf_lines), daemon=True)
    lf_reader.start()
    lf_err = []
    if gated:
        err_reader = threading.Thread(target=runner.read_lines, args=(lf, lf_err, "stderr"), daemon=True)
        err_reader.start()
    result = {"label": label, "machines_count": count,
              "command": "lanflash " + " ".join(args) + " IMAGE"}
    sims = []
    gate_r = gate_w = None
    try:
        # lanflash is up before any machine: it hears each first announcement.
        if not runner.wait_bound(lf):
            raise RuntimeError(f"lanflash did not bind UDP port {runner.UDP_PORT} (status {lf.poll()})")
        if gated:
            gate_r, gate_w = os.pipe()
            os.set_inheritable(gate_r, True)
        for address, serial in zip(addresses, serials):
            received = os.path.join(ctx.work, f"rx-{label}-{address}.bin")
            cmd = [runner.machine_sim(ctx), "--address", address, "--serial", serial,
                   "--out", received, "--verbose"]
            if gated:
                # read ends at the gate's end of file; only the bench holds its write end.
                cmd = ["sh", "-c", 'read _ || :; exec "$0" "$@"'] + cmd
            sim = subprocess.Popen(cmd, cwd=ctx.work, stdin=gate_r, stdout=subprocess.PIPE, text=True, bufsize=1)
            log = runner.SimLog()
            reader = threading.Thread(target=runner.read_sim, args=(sim, log, {}), daemon=True)
            reader.start()
            sims.append({"address": address, "proc": sim, "log": log, "reader": reader, "received": received})
        if gated:
            os.close(gate_r)
            gate_r = None
            result["sims_held_at_gate"] = wait_at_gate([s["proc"].pid for s in sims], GATE_WAIT_S)
            result["gate_opened_s"] = time.monotonic()
            os.close(gate_w)
            gate_w = None
        tree = runner.watch_tree(lf, runner.RUN_DEADLINE_S)
        runner.take_tree(tree, result)
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
            runner.stop(sim["proc"])
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
        m = runner.RESULT_LINE.match(line)
        if m:
            results[m.group(1)] = m.group(2)
            result_lines[m.group(1)] = result_lines.get(m.group(1), 0) + 1
            last_result_t = t
    if gated:
        firsts = []
        for s in sims:
            ev = s["log"].first("announce")
            if ev is not None:
                firsts.append(runner.sim_clock_offset(s["log"]) + ev[1] / 1000.0)
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
        offset = runner.sim_clock_offset(log) if gated and log.events else None
        run = log.first("run ")
        confirmed = None
        if run:
            confirmed = next((ev for ev in log.events if ev[0] >= run[0] and ev[2].startswith("announce Tavix")), None)
        machines.append({
            "address": sim["address"], "result": results.get(sim["address"], "none"),
            "intact": run is not None and run[2].endswith(" intact") and runner.filecmp(image, sim["received"]),
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
        # And about the machine reset last, which sets the end of the run, with the time of each line.
        reset = [m for m in machines if m["reset_ms"] is not None]
        if reset and start_t is not None:
            a = max(reset, key=lambda m: m["reset_ms"])["address"]
            named = re.compile(r"(?<![\d.])" + re.escape(a) + r"(?![\d])")
            result["lanflash_lines_of_latest"] = {a: [
                f"{round((t - start_t) * 1000.0)} ms: {line}" for t, line in lf_lines if named.search(line)]}
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




def render(res, lines):
    fleet = res.get("fleet")
    if not fleet:
        return
    n = fleet["machines"]
    lines.append("")
    lines.append(f"Fleet: {fleet['image_bytes'] // 1024} KiB image, machine-sims started in their application "
                 f"at {FLEET_ADDRESSES[0]} ... {FLEET_ADDRESSES[n - 1]}, "
                 "lanflash --all --jobs 1 --exit --machine ADDRESS...; one run each")
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


def goals(res, out):
    fleet = res.get("fleet")
    if not fleet:
        return
    r = fleet["ratio_to_one_by_one"]
    out.append(goal(f"{fleet['machines']} machines with --all --jobs 1 in at most {GOAL_FLEET_RATIO:g} x "
                    f"{fleet['machines']} single updates, all updated",
                    r is not None and r <= GOAL_FLEET_RATIO and fleet["all_updated"],
                    f"{fmt(fleet['fleet_ms'])} ms / ({fleet['machines']} x {fmt(fleet['one_update_ms'])} ms)"
                    f" = {fmt(r, '{:.3f}')}"))
