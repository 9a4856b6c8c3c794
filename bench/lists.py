"""Section lists: 300 machine-sims named by lanflash --machines FILE, a
file that also holds 100 000 /32 blocks no machine is in; --all --jobs 256
takes them in two waves, against one update by the same command with a
one-line FILE; lanflash's own peak RSS and CPU beside its largest worker's and
the tree's, and the time lanflash takes to read FILE (FILE, then a bad entry,
so it ends with status 2 before binding anything, against an empty FILE).
The 300 machine-sims are all started before the clock runs and let go at once.
The row joins res["parallel"], marked by its "selection"."""
import os
import subprocess
import time

import runner
from fleet import image, run_fleet, updated_once
from parallel import GOAL_WORKER_RSS_KIB, parallel_figures
from runner import fmt, goal

NAME = "lists"
LIST_MACHINES = 300
LIST_JOBS = 256
LIST_BLOCKS = 100000
LIST_SERIAL_BASE = 3001
LIST_READ_REPEATS = 7
GOAL_LIST_RATIO = 2.2
GOAL_LIST_PARENT_RSS_KIB = 4096
# The bench holds a pipe per machine-sim, lanflash one per worker; a soft
# limit of 1024 (a common default) is too close for 300 machines.
NOFILE_WANTED = 4096


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


def time_read(ctx, image, machines_file, bad_file, label):
    """lanflash --all --machines FILE --machines BAD IMAGE: it reads FILE whole, then stops at BAD's
    entry with status 2, before it binds anything. Wall time from the start to the reaping."""
    out_path = os.path.join(ctx.work, f"read-{label}.out")
    with open(out_path, "w") as out:
        t0 = time.monotonic()
        p = subprocess.Popen([runner.lanflash(ctx), "--all", "--model", "Tavix7", "--machines",
                              os.path.basename(machines_file),
                              "--machines", os.path.basename(bad_file), os.path.basename(image)],
                             cwd=ctx.work, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        _, status, ru = os.wait4(p.pid, 0)
        t1 = time.monotonic()
    p.returncode = os.waitstatus_to_exitcode(status)
    with open(out_path, errors="replace") as f:
        said = f.read()
    # ru_maxrss is left out: it keeps the forking bench's own peak across exec.
    return {"ms": round((t1 - t0) * 1000.0, 2), "status": p.returncode,
            "cpu_ms": round((ru.ru_utime + ru.ru_stime) * 1000.0, 1),
            "names_bad": f"--machines {os.path.basename(bad_file)}:" in said, "said": said.strip()[:300]}


def measure_read(ctx, image, machines_file, empty_file, bad_file, repeats):
    """The time lanflash takes to read FILE: FILE against an empty file, the runs taken in turn so a
    passing load falls on both."""
    runs = {"file": [], "empty": []}
    for _ in range(repeats):
        runs["file"].append(time_read(ctx, image, machines_file, bad_file, "file"))
        runs["empty"].append(time_read(ctx, image, empty_file, bad_file, "empty"))
    out = {"command": "lanflash --all --machines FILE --machines BAD IMAGE", "repeats": repeats,
           "bad_entry": open(bad_file).read().strip(), "runs": runs}
    for key in ("file", "empty"):
        out[key] = {k: runner.median([r[k] for r in runs[key]]) for k in ("ms", "cpu_ms")}
    every = runs["file"] + runs["empty"]
    out["all_status_2_naming_bad"] = all(r["status"] == 2 and r["names_bad"] for r in every)
    if not out["all_status_2_naming_bad"]:
        odd = next(r for r in every if not (r["status"] == 2 and r["names_bad"]))
        out["error"] = f"a read run ended with status {odd['status']}: {odd['said']!r}"
    out["read_ms"] = round(out["file"]["ms"] - out["empty"]["ms"], 2)
    out["read_cpu_ms"] = round(out["file"]["cpu_ms"] - out["empty"]["cpu_ms"], 1)
    return out


def files(ctx, n):
    """FILE (the blocks, then N addresses), the one-line FILE, an empty one and BAD."""
    addresses = [list_address(i) for i in range(n)]
    f = {"addresses": addresses, "serials": [str(LIST_SERIAL_BASE + i) for i in range(n)],
         "machines": os.path.join(ctx.work, "machines.list"), "one": os.path.join(ctx.work, "one.list"),
         "empty": os.path.join(ctx.work, "empty.list"), "bad": os.path.join(ctx.work, "bad.list")}
    write_machines_file(f["machines"], addresses, LIST_BLOCKS)
    write_machines_file(f["one"], addresses[:1], 0)
    open(f["empty"], "w").close()
    with open(f["bad"], "w") as out:
        out.write("10.0.0.256/32\n")
    return f


def steps(ctx):
    n = ctx.args.list_machines
    if n == 0:
        return []
    ctx.rlimit_nofile = runner.raise_nofile(NOFILE_WANTED)
    img = image(ctx)
    f = files(ctx, n)
    options = ["--all", "--model", "Tavix7", "--jobs", str(LIST_JOBS)]
    return [
        # The one update sleeps through the design's waits: it may go beside another.
        runner.Step("list_one", lambda: run_fleet(ctx, img, "list1", f["addresses"][:1], f["serials"][:1], options,
                                                  select=["--machines", os.path.basename(f["one"])], gated=True),
                    True),
        runner.Step("list_read", lambda: measure_read(ctx, img, f["machines"], f["empty"], f["bad"],
                                                      LIST_READ_REPEATS)),
        runner.Step(f"list{n}", lambda: run_fleet(ctx, img, f"list{n}", f["addresses"], f["serials"], options,
                                                  select=["--machines", os.path.basename(f["machines"])],
                                                  gated=True)),
    ]


def collect(ctx, res, got):
    n = ctx.args.list_machines
    if n == 0:
        return []
    res["rlimit_nofile"] = ctx.rlimit_nofile
    f = files_info(ctx, n)
    one, run, read = got["list_one"], got[f"list{n}"], got["list_read"]
    out = parallel_figures(one, run)
    machines = run.get("machines", [])
    resets = sorted(m["reset_ms"] for m in machines if m["reset_ms"] is not None)
    not_once = [m for m in machines if not updated_once(m)]
    out.update({
        "jobs": LIST_JOBS, "selection": "--machines FILE",
        "file": f,
        "first_address": list_address(0), "last_address": list_address(n - 1),
        "one_update_against": "the same command with a one-line FILE naming " + list_address(0),
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
    res.setdefault("parallel", []).append(out)
    return [one, run]


def files_info(ctx, n):
    path = os.path.join(ctx.work, "machines.list")
    with open(path) as f:
        lines = sum(1 for _ in f)
    return {"lines": lines, "bytes": os.path.getsize(path), "addresses": n, "blocks": LIST_BLOCKS,
            "order": "a comment line, the blocks (10.0.0.0/32 on), then the addresses"}


def problems(res):
    bad = []
    for e in res.get("parallel") or []:
        if "read" in e and not e["read"]["all_status_2_naming_bad"]:
            bad.append("reading the machines file: " + e["read"].get("error", "?"))
        if "updated_once" in e and not e["updated_once"]:
            bad.append(f"{len(e['not_updated_once'])} of {e['machines']} listed machines not updated exactly once")
    return bad


def render_list(e, lines):
    n, f, rd = e["machines"], e["file"], e["read"]
    lines.append("")
    lines.append(f"Parallel, named by a list: {n} machine-sims in their application at {e['first_address']} ... "
                 f"{e['last_address']}, {e['image_bytes'] // 1024} KiB image, one run each,")
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


def list_goals(e, out):
    n, r = e["machines"], e["ratio_to_one_update"]
    out.append(goal(f"{n} machines named by --machines FILE with --jobs {e['jobs']} in at most "
                    f"{GOAL_LIST_RATIO:g} x one update, all updated",
                    r is not None and r <= GOAL_LIST_RATIO and e["all_updated"],
                    f"{fmt(e['total_ms'])} ms / {fmt(e['one_update_ms'])} ms = {fmt(r, '{:.3f}')}"))
    missed = e["not_updated_once"]
    once = e["updated_once"] and e["all_updated"] and e["images_intact"]
    out.append(goal(f"every one of the {n} listed machines updated once (one reset, one '3', one result), "
                    "its image intact", once,
                    "yes" if once else
                    f"{len(missed)} not: " + ", ".join(m["address"] for m in missed[:10])
                    + (" ..." if len(missed) > 10 else "") + f"; lanflash status {e['lanflash_status']}"))
    for who, key, limit in (("lanflash itself (the parent)", "lanflash_peak_rss_kib", GOAL_LIST_PARENT_RSS_KIB),
                            ("largest worker", "largest_worker_peak_rss_kib", GOAL_WORKER_RSS_KIB)):
        kib = e.get(key)
        out.append(goal(f"{who}: peak RSS <= {limit} KiB with {n} machines and a "
                        f"{e['file']['lines']}-line FILE",
                        bool(kib) and kib <= limit, f"{kib} KiB" if kib else "not seen"))


def render(res, lines):
    for e in res.get("parallel") or []:
        if "selection" in e:
            render_list(e, lines)


def goals(res, out):
    for e in res.get("parallel") or []:
        if "selection" in e:
            list_goals(e, out)
