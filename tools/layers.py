#!/usr/bin/env python3
"""Checks that lanflash's dependencies run one way.

Usage: tools/layers.py [--no-runtime] ARCHIVE_OR_OBJECT...   (e.g.
build/liblanflash_core.a build/CMakeFiles/lanflash.dir/src/main.cpp.o)

Three checks, each over what the compiler and linker really see, and a
fourth with --no-runtime:
- includes: the design's modules (eth, mstate, ymodem) include only each
  other's headers, main.h, platform.h and hooks.h, and no header includes
  another in a circle;
- uses: from `nm`, every function a file calls and every variable it uses
  that another file defines. No files may use each other in a circle; the
  one exception is the design's own hand-over of the loaded image (the
  sequencer reads fw_buf and only_explore, which the shell defines), which
  is data the design shares through inc/main.h, not a call;
- the seam: a layer above the design uses of eth, mstate, ymodem and main
  nothing but the functions that inc/hooks.h names as the design's API
  (and the slots, `hooks`), the way lwIP keeps its raw API apart from its
  private headers. main.cpp, which wires the layers, is the design's shell;
- --no-runtime: no object needs the C++ runtime library's unwinding (a
  guard object's clean-up, std::mutex): it would add a megabyte and more to
  a small program's memory. Not for sanitizer builds, which add their own.
Prints the circles and the names that close them; exit status 1 if any.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DESIGN = {"eth", "mstate", "ymodem"}
# The files whose functions and variables are the design's own.
DESIGN_OBJECTS = DESIGN | {"main"}
API_HEADER = os.path.join(REPO, "inc", "hooks.h")
API_MARK = "the design's API"
DESIGN_MAY_INCLUDE = {"eth.h", "mstate.h", "ymodem.h", "main.h", "platform.h", "hooks.h"}
# The shell's image and mode, read by the sequencer: the design's one data hand-over.
SHELL_DATA_OK = {("mstate", "main")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    for d in ("src", "inc"):
        for root, _, names in os.walk(os.path.join(REPO, d)):
            for n in sorted(names):
                if n.endswith((".cpp", ".h")):
                    yield os.path.join(root, n)


def module(path):
    return os.path.splitext(os.path.basename(path))[0]


def circles(graph):
    """Strongly connected components with more than one node (Tarjan)."""
    index, low, stack, on, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def check_includes():
    problems = []
    headers = {}
    for path in sources():
        incs = INCLUDE.findall(open(path, errors="replace").read())
        rel = os.path.relpath(path, REPO)
        if path.endswith(".h"):
            headers[os.path.basename(path)] = [os.path.basename(i) for i in incs]
        if module(path) in DESIGN and not rel.startswith("src/platform"):
            for i in incs:
                if os.path.basename(i) not in DESIGN_MAY_INCLUDE:
                    problems.append(f"{rel} includes {i}: the design knows nothing of the layers above it")
    graph = {h: [i for i in incs if i in headers] for h, incs in headers.items()}
    for c in circles(graph):
        problems.append("headers include each other: " + " -> ".join(c))
    return problems


def nm_members(paths):
    """{object name: (defined {symbol: kind}, undefined {symbol})}."""
    objects = {}
    for path in paths:
        out = subprocess.run(["nm", "-A", path], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            # archive.a:member.o:ADDR T name   or   file.o:ADDR T name
            m = re.match(r"^(.*?):\s*([0-9a-fA-F]*)\s+([A-Za-z])\s+(\S+)$", line)
            if not m:
                continue
            owner = m.group(1).split(":")[-1]
            name = module(owner.replace(".cpp.o", ".o").replace(".obj", ".o"))
            kind, sym = m.group(3), m.group(4)
            defs, undefs = objects.setdefault(name, ({}, set()))
            if kind == "U":
                undefs.add(sym)
            elif kind in "TDBR":
                defs[sym] = "data" if kind in "DBR" else "call"
    return objects


def check_uses(paths):
    objects = nm_members(paths)
    where = {}
    for name, (defs, _) in objects.items():
        for sym, kind in defs.items():
            where.setdefault(sym, []).append((name, kind))
    edges = {}
    for name, (_, undefs) in objects.items():
        for sym in undefs:
            owners = where.get(sym, [])
            if len(owners) != 1 or owners[0][0] == name:
                continue  # the system's, or defined in several places (inline, templates)
            owner, kind = owners[0]
            if kind == "data" and (name, owner) in SHELL_DATA_OK:
                continue
            edges.setdefault(name, {}).setdefault(owner, []).append(sym)
    graph = {v: list(ws) for v, ws in edges.items()}
    problems = []
    for c in circles(graph):
        ties = []
        for v in c:
            for w in c:
                if w in edges.get(v, {}):
                    names = sorted(demangle(edges[v][w]))[:3]
                    ties.append(f"  {v} -> {w}: {', '.join(names)}")
        problems.append("files use each other in a circle: " + ", ".join(c) + "\n" + "\n".join(ties))
    return problems, len(objects), sum(len(ws) for ws in edges.values())


def demangle(symbols):
    out = subprocess.run(["c++filt"], input="\n".join(symbols), capture_output=True, text=True).stdout
    return [s.split("(")[0] for s in out.splitlines()]


def design_api():
    """The function names declared in hooks.h from its API section on."""
    text = open(API_HEADER, errors="replace").read()
    at = text.find(API_MARK)
    if at < 0:
        return None
    body = re.sub(r"//[^\n]*", "", text[at:])
    return set(re.findall(r"\b([A-Za-z_]\w*)\s*\([^;{]*\)\s*;", body))


def check_seam(paths):
    api = design_api()
    if api is None:
        return [f"{os.path.relpath(API_HEADER, REPO)} has no section '{API_MARK}'"]
    objects = nm_members(paths)
    owner = {}
    for name, (defs, _) in objects.items():
        for sym in defs:
            owner.setdefault(sym, set()).add(name)
    problems = []
    for name, (_, undefs) in sorted(objects.items()):
        if name in DESIGN_OBJECTS or name == "hooks":
            continue
        used = sorted(s for s in undefs if owner.get(s, set()) & DESIGN_OBJECTS)
        names = demangle(used)
        wrong = sorted({n for n in names if n.split("::")[-1] not in api})
        if wrong:
            problems.append(f"{name} uses the design past its API (inc/hooks.h): {', '.join(wrong)}")
    return problems


def check_runtime(paths):
    problems = []
    for name, (_, undefs) in sorted(nm_members(paths).items()):
        needs = sorted(s for s in undefs if s in ("__gxx_personality_v0", "_Unwind_Resume"))
        if needs:
            problems.append(f"{name} needs the C++ runtime's unwinding ({', '.join(needs)}): "
                            "give a lock back by hand rather than by a guard object")
    return problems


def main(argv):
    runtime = "--no-runtime" in argv[1:]
    paths = [a for a in argv[1:] if a != "--no-runtime"]
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    problems = check_includes()
    uses, files, edges = check_uses(paths)
    problems += uses
    problems += check_seam(paths)
    if runtime:
        problems += check_runtime(paths)
    for p in problems:
        print(p)
    if not problems:
        print(f"one way: {files} files, {edges} uses between them, no circle; the design includes no layer above it, "
              f"and the layers use it only through its API ({len(design_api())} functions)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
