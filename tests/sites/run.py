#!/usr/bin/env python3
"""The Ansible playbook of contrib/ansible, run as a user runs it, against
three simulated sites on this one machine.

This process's own network namespace plays the controlling machine. Each
site is a PC (a namespace with its own sshd, reached over a private link)
and a segment behind it (a namespace of machine-sims that broadcast their
announcements to the PC). A run that forgets the image must still end with
the summary, naming each site and offering to run its whole list again.
Run 1, into the same results folder, must update every machine but three:
hall-b's 10.1.2.12 fails every try, 10.1.2.13 is absent and 10.1.2.14 is a
Tavix5S, skipped untouched; the play must fail naming all three. The rerun
the play prints, pasted as it is, must then touch only those three.

usage: run.py LANFLASH MACHINE_SIM PLAYBOOK_DIR
Exits 77 (skipped) where it cannot make namespaces, that is not as root
(1 instead with LANFLASH_REQUIRE_SITES=1).
"""
import ctypes
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
SITES = {  # name: (number, {last byte of address: machine-sim options}, named in run 1)
    "hall-a": (1, {11: [], 12: []}, ["10.1.1.11", "10.1.1.12"]),
    "hall-b": (2, {11: [], 12: ["--fail-transfers", "2"], 14: ["--model", "5S"]},
               ["10.1.2.11", "10.1.2.12", "10.1.2.13", "10.1.2.14"]),
    "hall-c": (3, {11: [], 12: []}, None),  # named by a file, one by serial number
}
ABSENT = ("hall-b", 13)
OTHER_MODEL = ("hall-b", 14)  # the image is for Tavix7


def run(*argv, ns=None):
    if ns:
        argv = ("nsenter", f"--net={ns}") + argv
    subprocess.run(argv, check=True)


def new_namespace(processes):
    holder = subprocess.Popen(["unshare", "-n", "sleep", "3600"])
    processes.append(holder)
    ns = f"/proc/{holder.pid}/ns/net"
    for _ in range(500):
        if os.readlink(ns) != os.readlink("/proc/self/ns/net"):
            return holder.pid, ns
        time.sleep(0.01)
    raise RuntimeError("unshare made no network namespace")


def wait_for_port(address, port):
    for _ in range(500):
        try:
            socket.create_connection((address, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on {address}:{port}")


def connections(log):
    with open(log) as f:
        return sum(1 for line in f if " connect " in line)


def main():
    lanflash, sim, playbook_dir = (os.path.abspath(a) for a in sys.argv[1:4])
    cannot = ("not root" if os.geteuid() != 0 else
              "no network namespace can be made" if subprocess.run(
                  ["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode else None)
    if cannot:
        # CI sets LANFLASH_REQUIRE_SITES=1: there a skip would hide the test.
        required = os.environ.get("LANFLASH_REQUIRE_SITES") == "1"
        print(f"{'FAILED' if required else 'SKIPPED'}: {cannot}; this test makes network "
              "namespaces and runs sshd, as root")
        return 1 if required else SKIPPED
    missing = [t for t in ("ansible-playbook", "ssh-keygen", "unshare", "nsenter", "ip")
               if not shutil.which(t)] + [t for t in ("/usr/sbin/sshd",) if not os.path.exists(t)]
    if missing:
        print(f"FAILED: missing {' '.join(missing)}; make check installs ansible-core and openssh-server")
        return 1
    if os.environ.get("LANFLASH_SITES_CONTROLLER") != "1":
        os.environ["LANFLASH_SITES_CONTROLLER"] = "1"
        os.execvp("unshare", ["unshare", "-n", "--", sys.executable] + sys.argv)
    run("ip", "link", "set", "lo", "up")
    # Orphans (sshd's sessions, ssh's masters) become ours to reap.
    ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd insists on it

    processes = []
    work = tempfile.mkdtemp(prefix="lanflash-sites-")
    try:
        return test(lanflash, sim, playbook_dir, work, processes)
    finally:
        # Whatever runs in the test's namespaces goes with it: sshd's
        # sessions and ssh's masters too.
        namespaces = {os.readlink("/proc/self/ns/net")}
        namespaces |= {os.readlink(f"/proc/{p.pid}/ns/net") for p in processes if p.poll() is None}
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if int(pid) != os.getpid() and os.readlink(f"/proc/{pid}/ns/net") in namespaces:
                    os.kill(int(pid), 9)
            except OSError:
                pass  # gone already
        for _ in range(500):
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    time.sleep(0.01)
            except ChildProcessError:
                break
        if os.environ.get("LANFLASH_KEEP") != "1":
            shutil.rmtree(work, ignore_errors=True)


def test(lanflash, sim, playbook_dir, work, processes):
    started = time.monotonic()
    image = os.path.join(work, "fw.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(65536))
    key = os.path.join(work, "id_ed25519")
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key)
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(work, "host_key"))
    shutil.copy(key + ".pub", os.path.join(work, "authorized_keys"))

    segments, sims, hosts = {}, {}, {}
    for site, (n, machines, named) in SITES.items():
        pc_pid, pc = new_namespace(processes)
        seg_pid, seg = new_namespace(processes)
        segments[site] = seg
        run("ip", "link", "add", f"to-{site}", "type", "veth", "peer", "name", "uplink",
            "netns", str(pc_pid))
        run("ip", "addr", "add", f"10.99.{n}.1/24", "dev", f"to-{site}")
        run("ip", "link", "set", f"to-{site}", "up")
        run("ip", "link", "add", "segment", "netns", str(pc_pid), "type", "veth", "peer",
            "name", "eth0", "netns", str(seg_pid))
        for cmd in (["ip", "link", "set", "lo", "up"],
                    ["ip", "addr", "add", f"10.99.{n}.2/24", "dev", "uplink"],
                    ["ip", "link", "set", "uplink", "up"],
                    ["ip", "addr", "add", f"10.1.{n}.1/24", "dev", "segment"],
                    ["ip", "link", "set", "segment", "up"]):
            run(*cmd, ns=pc)
        run("ip", "link", "set", "lo", "up", ns=seg)
        run("ip", "link", "set", "eth0", "up", ns=seg)
        for last in (11, 12, 13, 14):
            run("ip", "addr", "add", f"10.1.{n}.{last}/24", "dev", "eth0", ns=seg)

        config = os.path.join(work, f"sshd-{site}.conf")
        with open(config, "w") as f:
            f.write(f"ListenAddress 10.99.{n}.2\nHostKey {work}/host_key\n"
                    f"AuthorizedKeysFile {work}/authorized_keys\nStrictModes no\nUsePAM no\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "PermitRootLogin prohibit-password\nPidFile none\nLogLevel ERROR\n"
                    "Subsystem sftp /usr/lib/openssh/sftp-server\n")
        processes.append(subprocess.Popen(["nsenter", f"--net={pc}", "/usr/sbin/sshd", "-D",
                                           "-E", f"{work}/sshd-{site}.log", "-f", config]))
        for last, options in machines.items():
            sims[(site, last)] = start_sim(sim, work, seg, site, n, last, options, processes)

        host = {"ansible_host": f"10.99.{n}.2", "lanflash_dir": os.path.join(work, "pc", site)}
        if named:
            host["lanflash_machines"] = named
        else:
            os.makedirs(os.path.join(work, "lists"), exist_ok=True)
            with open(os.path.join(work, "lists", f"{site}.txt"), "w") as f:
                f.write(f"# {site}: one machine by address, one by serial number\n"
                        f"10.1.{n}.11\r\nserial {n}012\n")
            host["lanflash_machines_file"] = f"lists/{site}.txt"  # from the inventory's folder
        hosts[site] = host
    for n, _, _ in SITES.values():
        wait_for_port(f"10.99.{n}.2", 22)

    # The results folder set for the group, not for localhost, where the
    # merge runs; the image given on the command line, as a user does.
    inventory = os.path.join(work, "inventory.yml")
    results = os.path.join(work, "results")
    with open(inventory, "w") as f:
        json.dump({"lanflash_sites": {"hosts": hosts, "vars": {
            "ansible_user": "root", "ansible_ssh_private_key_file": key,
            "ansible_python_interpreter": "/usr/bin/python3",
            "lanflash_bin": lanflash, "lanflash_results": results, "lanflash_model": "Tavix7",
            "lanflash_timeout": 6, "lanflash_retries": 1, "lanflash_fast": True}}}, f)
    env = dict(os.environ, ANSIBLE_HOST_KEY_CHECKING="False", ANSIBLE_NOCOLOR="1",
               ANSIBLE_RETRY_FILES_ENABLED="False", ANSIBLE_LOCAL_TEMP=f"{work}/ansible-local",
               ANSIBLE_REMOTE_TEMP=f"{work}/ansible-remote", ANSIBLE_PIPELINING="True",
               ANSIBLE_SSH_CONTROL_PATH_DIR=f"{work}/cp",
               ANSIBLE_SSH_ARGS="-o ControlMaster=auto -o ControlPersist=30s -o UserKnownHostsFile=/dev/null")

    play = ["ansible-playbook", "-i", inventory, f"{playbook_dir}/site.yml"]
    forgot = ansible(play, env, work)
    check(forgot.returncode != 0, "a run without an image must fail")
    summary = printed_summary(forgot.stdout, results)
    for site in SITES:
        check(f"{site}: not run: Check the variables: no image: give it with -e lanflash_image=FILE"
              in summary, f"the run without an image names {site} and why")
    command = shlex.split(summary[-1])
    check(command[command.index("--limit") + 1] == "hall-a,hall-b,hall-c,localhost"
          and "lanflash_image" in summary[-2], f"the run again offered: {summary[-2:]}")
    check(open(f"{results}/again/hall-c.txt").read() == "10.1.3.11\nserial 3012\n",
          "hall-c's whole list, read from the inventory's folder, is run again")

    first = ansible(play + ["-e", f"lanflash_image={image}"], env, work)
    check(first.returncode != 0, "run 1 must fail: a machine failed and one was absent")
    summary = printed_summary(first.stdout, results)
    check(summary[0].split() == ["site", "updated", "failed", "unconfirmed", "missing", "skipped", "lanflash"],
          f"summary columns: {summary[0]}")
    rows = {line.split()[0]: line.split()[1:6] for line in summary[1:summary.index("")]}
    check(rows == {"hall-a": ["2", "0", "0", "0", "0"], "hall-b": ["1", "1", "0", "1", "1"],
                   "hall-c": ["2", "0", "0", "0", "0"], "total": ["5", "1", "0", "1", "1"]},
          f"summary rows: {rows}")
    for name in ("hall-b: 10.1.2.12 failed (transfer failed)", "hall-b: 10.1.2.13 missing (not heard)",
                 "hall-b: 10.1.2.14 skipped (another model)"):
        check(name in first.stdout, f"the failure names '{name}'")
    check(first.stdout.count("hall-a:") + first.stdout.count("hall-c:") == 0,
          "the failure names no machine of hall-a or hall-c")

    merged = [json.loads(line) for line in open(f"{results}/merged.jsonl")]
    machines = {(r["host"], r["address"] or f"serial {r['serial']}"): r for r in merged if "result" in r}
    check(len(machines) == 8 and sum("summary" in r for r in merged) == 3,
          f"merged: 8 machine records and 3 summaries, got {len(merged)} lines")
    check(list(merged[0])[0] == "host", "each record begins with its site")
    for (site, last), (_, out) in sims.items():
        record = machines[(site, f"10.1.{SITES[site][0]}.{last}")]
        result = record["result"]
        expected = ("failed" if (site, last) == ("hall-b", 12) else
                    "skipped" if (site, last) == OTHER_MODEL else "updated")
        check(result == expected, f"{site} 10.1.x.{last}: {result}, expected {expected}")
        if expected == "updated":
            check(open(out, "rb").read() == open(image, "rb").read(), f"{site} .{last}: image intact")
    record = machines[(OTHER_MODEL[0], "10.1.2.14")]
    check(record["model"] == "Tavix5S" and record["reason"] == "another model",
          f"the Tavix5S's record: {record}")
    check(connections(sims[OTHER_MODEL][0]) == 0, "the Tavix5S is never connected to")
    check(machines[("hall-c", "10.1.3.12")]["serial"] == 3012, "hall-c's machine named by serial")
    again = sorted(os.listdir(f"{results}/again"))
    check(again == ["hall-b.txt"], f"lists to run again: {again}")
    # In the order the results came, which varies.
    check(sorted(open(f"{results}/again/hall-b.txt").read().splitlines())
          == ["10.1.2.12", "10.1.2.13", "10.1.2.14"], "hall-b's list")

    # The absent machine turns up, the Tavix5S is swapped for a Tavix7 and
    # the failing one gets through on its third batch: the printed command,
    # with no image given, must update those three and nothing else.
    command = summary[-1]
    check(command.startswith("ansible-playbook -i ") and "lanflash_image" not in command,
          f"the play prints the command that runs them again: {command}")
    site, last = ABSENT
    sims[ABSENT] = start_sim(sim, work, segments[site], site, SITES[site][0], last, [], processes)
    site, last = OTHER_MODEL
    swapped = next(p for p in processes if f"10.1.{SITES[site][0]}.{last}" in p.args)
    swapped.kill()
    swapped.wait()
    os.remove(sims[OTHER_MODEL][0])
    sims[OTHER_MODEL] = start_sim(sim, work, segments[site], site, SITES[site][0], last, [], processes)
    before = {k: connections(log) for k, (log, _) in sims.items()}
    second = ansible(shlex.split(command), env, work)
    check(second.returncode == 0, "the rerun updates the two machines")
    touched = sorted(k for k, (log, _) in sims.items() if connections(log) != before[k])
    check(touched == [("hall-b", 12), ("hall-b", 13), ("hall-b", 14)], f"the rerun touched {touched}")
    merged = [json.loads(line) for line in open(f"{results}-again/merged.jsonl")]
    check(sorted((r["host"], r["address"], r["result"]) for r in merged if "result" in r)
          == [("hall-b", "10.1.2.12", "updated"), ("hall-b", "10.1.2.13", "updated"),
              ("hall-b", "10.1.2.14", "updated")],
          "the rerun's merged report")
    for k in touched:
        check(open(sims[k][1], "rb").read() == open(image, "rb").read(), f"{k}: image intact")
    print(f"PASSED in {time.monotonic() - started:.1f} s")
    return 0


def printed_summary(stdout, results):
    """The summary as the play printed it, one item per line, checked
    against summary.txt."""
    lines = stdout.splitlines()
    start = next((i + 1 for i, line in enumerate(lines) if line.startswith("TASK [lanflash : Summary] ")), None)
    check(start, "the play prints a summary")
    prefix = "ok: [localhost] => (item="
    shown = [line[len(prefix):-1] for line in lines[start:lines.index("", start)]
             if line.startswith(prefix) and line.endswith(")")]
    kept = [line.rstrip("\n") for line in open(f"{results}/summary.txt")]
    print("\n".join(kept))
    check(shown == [line for line in kept if line], f"the summary printed: {shown}")
    return kept


def start_sim(sim, work, seg, site, n, last, options, processes):
    log, out = (os.path.join(work, f"{site}-{last}.{ext}") for ext in ("log", "bin"))
    processes.append(subprocess.Popen(
        ["nsenter", f"--net={seg}", sim, "--address", f"10.1.{n}.{last}",
         "--announce-to", f"10.1.{n}.255:11000", "--serial", f"{n}0{last}",
         "--log", log, "--out", out] + options))
    for _ in range(500):
        if os.path.exists(log):
            break
        time.sleep(0.01)
    return log, out


def ansible(argv, env, work):
    began = time.monotonic()
    done = subprocess.run(argv, env=env, cwd=work, capture_output=True, text=True)
    print(f"$ {shlex.join(argv)}\n(status {done.returncode}, {time.monotonic() - began:.1f} s)")
    if os.environ.get("LANFLASH_VERBOSE") == "1":
        print(done.stdout, done.stderr)
    ansible.last = done.stdout + done.stderr
    return done


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failed as e:
        print(f"FAILED: {e}\n--- ansible's output ---\n{getattr(ansible, 'last', '')}")
        sys.exit(1)
