#!/usr/bin/env python3
"""Reads the #include lines of the sources and fails, naming what it found, when they go the wrong
way. Run by CTest on the build machine:

  check_includes.py SOURCE_DIR app     app/ has no include circle among its modules, and no part
                                       of it includes a layer above its own
  check_includes.py SOURCE_DIR lower   settings/, proxy/ and cache/ include nothing of app/

A module is name.h with name.cpp, both counting for it (app/ui/tray); a file with no partner is a
module of its own. The layers of app/, from the bottom: app/state/ (and app/resources/),
app/ui/, app/control/, then app/ itself.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCES = (".h", ".cpp")
LAYERS = {"app/state": 0, "app/resources": 0, "app/ui": 1, "app/control": 2, "app": 3}
LAYER_NAMES = {0: "the state record (app/state/)", 1: "what kelvor shows (app/ui/)",
               2: "what kelvor runs (app/control/)", 3: "the top (app/)"}
LOWER = ("settings", "proxy", "cache")


def sources_under(root, folder):
    for base, _, files in os.walk(os.path.join(root, folder)):
        for name in sorted(files):
            if name.endswith(SOURCES):
                yield os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/")


def includes_of(root, path):
    """(line number, included path relative to root) for each quoted include that names a file."""
    found = []
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            # As the build finds them: from the source root, else beside the including file.
            for candidate in (target, os.path.join(os.path.dirname(path), target)):
                candidate = os.path.normpath(candidate).replace(os.sep, "/")
                if os.path.isfile(os.path.join(root, candidate)):
                    found.append((number, candidate))
                    break
    return found


def module_of(path):
    return os.path.splitext(path)[0]


def layer_of(module):
    folder = os.path.dirname(module)
    return LAYERS.get(folder)


def circles(graph):
    """The strongly connected parts of more than one module (Tarjan), each as a sorted list."""
    index, low, stack, on_stack, parts = {}, {}, [], set(), []
    counter = [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            part = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                part.append(member)
                if member == node:
                    break
            if len(part) > 1:
                parts.append(sorted(part))

    sys.setrecursionlimit(10000)
    for node in sorted(graph):
        if node not in index:
            visit(node)
    return parts


def shortest_circle(graph, part):
    """One circle through the first module of part, as short as any, staying inside part."""
    start, inside = part[0], set(part)
    came_from = {start: None}
    queue = [start]
    while queue:
        node = queue.pop(0)
        for nxt in sorted(graph.get(node, ())):
            if nxt == start:
                path = [node]
                while came_from[path[-1]] is not None:
                    path.append(came_from[path[-1]])
                return list(reversed(path)) + [start]
            if nxt in inside and nxt not in came_from:
                came_from[nxt] = node
                queue.append(nxt)
    return part + [start]


def check_app(root):
    graph, where, problems = {}, {}, []
    for path in sources_under(root, "app"):
        module = module_of(path)
        graph.setdefault(module, set())
        for number, target in includes_of(root, path):
            if not target.startswith("app/"):
                continue
            other = module_of(target)
            if other == module:
                continue
            graph[module].add(other)
            where.setdefault((module, other), f"{path}:{number}")
            mine, theirs = layer_of(module), layer_of(other)
            if mine is None:
                problems.append(f"{path}: in no layer of app/ (state, ui, control or app/ itself)")
            elif theirs is not None and theirs > mine:
                problems.append(f"{path}:{number} includes {target}: {LAYER_NAMES[mine]} includes "
                                f"{LAYER_NAMES[theirs]}, above it")
    for part in circles(graph):
        circle = shortest_circle(graph, part)
        steps = [f"  {a} -> {b}   ({where[(a, b)]})" for a, b in zip(circle, circle[1:])]
        problems.append(f"include circle among {len(part)} modules of app/ "
                        f"({', '.join(part)}), for one:\n" + "\n".join(steps))
    for problem in dict.fromkeys(problems):
        print(problem)
    if not problems:
        print(f"app/: {len(graph)} modules, "
              f"{sum(len(v) for v in graph.values())} includes between them, no circle, "
              "each layer includes only its own and those below it")
    return not problems


def check_lower(root):
    problems = []
    for folder in LOWER:
        for path in sources_under(root, folder):
            for number, target in includes_of(root, path):
                if target.startswith("app/"):
                    problems.append(f"{path}:{number} includes {target}: {folder}/ includes nothing of app/")
    for problem in problems:
        print(problem)
    if not problems:
        print(f"{', '.join(f + '/' for f in LOWER)}: nothing of app/ included")
    return not problems


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("app", "lower"):
        print(__doc__, file=sys.stderr)
        return 2
    root = sys.argv[1]
    return 0 if (check_app(root) if sys.argv[2] == "app" else check_lower(root)) else 1


if __name__ == "__main__":
    sys.exit(main())
