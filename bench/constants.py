"""lanflash's own constants, read from its sources by name.

The bench measures lanflash against its fixed waits and polls; restating
them here would let the two drift apart, so they are read from
inc/*.h and src/*.cpp. A name that is not found, or found with two
values, stops the bench.
"""
import ast
import glob
import operator
import os
import re

# `constexpr TYPE NAME = EXPR;` (static or not) and `#define NAME EXPR`.
_CONSTEXPR = re.compile(r"^\s*(?:static\s+)?constexpr\s+[\w:]+\s+(\w+)\s*=\s*([^;]+);", re.M)
_DEFINE = re.compile(r"^[ \t]*#[ \t]*define[ \t]+(\w+)[ \t]+(.+?)[ \t]*(?://.*)?$", re.M)
_OPS = {ast.Add: operator.add, ast.Sub: operator.sub, ast.Mult: operator.mul, ast.FloorDiv: operator.floordiv}


class Constants:
    def __init__(self, repo):
        self.repo = repo
        self._found = {}  # name -> [(expression, file)]
        paths = sorted(glob.glob(os.path.join(repo, "inc", "*.h")) + glob.glob(os.path.join(repo, "src", "*.cpp")))
        for path in paths:
            with open(path, errors="replace") as f:
                text = f.read()
            for pattern in (_CONSTEXPR, _DEFINE):
                for m in pattern.finditer(text):
                    self._found.setdefault(m.group(1), []).append((m.group(2).strip(), os.path.relpath(path, repo)))
        self.used = {}  # name -> (value, file), for the JSON

    def __getitem__(self, name):
        return self._value(name, ())

    def get(self, name, where):
        """NAME as defined in the file WHERE (relative to the repository), for a name that two files use."""
        return self._value(name, (), where)

    def _value(self, name, seen, where=None):
        if name in seen:
            raise SystemExit(f"bench: lanflash's constant {name} is defined through itself")
        found = [(e, w) for e, w in self._found.get(name, []) if where is None or w == where]
        if not found:
            raise SystemExit(f"bench: lanflash's constant {name} is not in "
                             f"{where or 'inc/*.h or src/*.cpp'} of {self.repo}")
        values = {(self._eval(expr, name, seen + (name,)), where) for expr, where in found}
        if len({v for v, _ in values}) > 1:
            raise SystemExit(f"bench: lanflash's constant {name} has more than one value: {sorted(values)}")
        value, where = sorted(values)[0]
        self.used[name] = {"value": value, "file": where}
        return value

    def _eval(self, expr, name, seen):
        """Integer literals (with a u/l suffix), other constants by name, + - * / and brackets."""
        text = re.sub(r"\b(\d+)[uUlL]*\b", r"\1", expr).replace("/", "//")
        try:
            tree = ast.parse(text, mode="eval").body
        except SyntaxError:
            raise SystemExit(f"bench: lanflash's constant {name} = {expr!r} is not a plain integer expression")

        def walk(node):
            if isinstance(node, ast.Constant) and isinstance(node.value, int):
                return node.value
            if isinstance(node, ast.Name):
                return self._value(node.id, seen)
            if isinstance(node, ast.BinOp) and type(node.op) in _OPS:
                return _OPS[type(node.op)](walk(node.left), walk(node.right))
            raise SystemExit(f"bench: lanflash's constant {name} = {expr!r} is not a plain integer expression")
        return walk(tree)
