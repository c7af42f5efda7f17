#!/usr/bin/env python3
"""Checks the #include "..." graph of the project's own files.

  scripts/include_graph.py [--dot] [ROOT]

Every quoted include names a file of one of the layer folders below. The
check fails (status 1) when
  - files of one folder include each other in a cycle (header to header, or
    through a .cpp file's header: a.cpp counts as part of a.hpp), or
  - a file includes one of a higher layer, or of a folder on the same level
    (console, crystal and expfile sit above each other in that order;
    geometry and lsq stand beside expfile; marks above them; report and
    page side by side above marks, where the page may read report's rows
    model and report never includes the page; the programs on top), or
  - a file of geometry or lsq includes anything of console, or of recio
    beyond its pure headers (the project exception, the limits, blank-padded
    text): those rooms compute and neither read nor write.
With --dot it prints the folder-to-folder graph for graphviz instead.
"""
import os
import re
import sys

# Lowest first; a folder may include only folders of a lower rank or itself.
LAYERS = [
    ["recio", "numeric"],
    ["console"],
    ["crystal"],
    ["expfile", "geometry", "lsq"],
    ["marks"],
    ["report", "page"],
    ["vortan", "goniang", "dbwsconv", "cif2exp"],
]
# Lower folders a folder may not include all the same, and the only files
# of a forbidden folder it may.
PURE_RECIO = ("recio/error.hpp", "recio/limits.hpp", "recio/fixed_text.hpp")
FORBIDDEN = {"geometry": {"console": (), "recio": PURE_RECIO}, "lsq": {"console": (), "recio": PURE_RECIO}}
# The only files of a folder on the same level a folder may include: the
# page reads the rows model, and nothing else of report.
SIDEWAYS = {"page": {"report": ("report/rows.hpp",)}}
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def node(path):
    """A .cpp file and its header are one node of the graph."""
    stem, ext = os.path.splitext(path)
    return stem + ".hpp" if ext == ".cpp" and os.path.exists(stem + ".hpp") else path


def read_graph(root):
    edges = {}
    for folder in RANK:
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if not name.endswith((".hpp", ".cpp")):
                continue
            path = os.path.join(folder, name)
            with open(os.path.join(root, path), encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                edges.setdefault(path, set()).add(target)
    return edges


def find_cycles(graph):
    """Strongly connected components of more than one node (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main(argv):
    dot = "--dot" in argv
    args = [a for a in argv if a != "--dot"]
    root = args[0] if args else os.path.join(os.path.dirname(__file__), "..")
    os.chdir(root)
    edges = read_graph(".")
    problems = []

    folder_edges = set()
    for source, targets in sorted(edges.items()):
        here = source.split("/")[0]
        for target in sorted(targets):
            there = target.split("/")[0]
            if there not in RANK:
                problems.append(f"{source}: includes \"{target}\", outside the layer folders")
                continue
            if not os.path.exists(target):
                problems.append(f"{source}: includes \"{target}\", which does not exist")
            if there != here:
                folder_edges.add((here, there))
                sideways = target in SIDEWAYS.get(here, {}).get(there, ())
                if RANK[there] > RANK[here] or (RANK[there] == RANK[here] and not sideways):
                    problems.append(f"{source}: includes \"{target}\" ({here} -> {there} runs up the layers)")
                elif there in FORBIDDEN.get(here, {}) and target not in FORBIDDEN[here][there]:
                    problems.append(f"{source}: includes \"{target}\" ({here} reads and writes no file)")

    if dot:
        print("digraph layers {")
        for here, there in sorted(folder_edges):
            print(f'  "{here}" -> "{there}";')
        print("}")
        return 0

    graph = {}
    for source, targets in edges.items():
        for target in targets:
            if target.split("/")[0] == source.split("/")[0]:
                graph.setdefault(node(source), set()).add(node(target))
    graph = {k: {t for t in v if t != k} for k, v in graph.items()}
    for cycle in find_cycles(graph):
        problems.append("include cycle: " + " ".join(cycle))

    for problem in problems:
        print(problem)
    files = len(edges)
    arrows = sum(len(t) for t in edges.values())
    print(f"include graph: {files} files, {arrows} includes, "
          f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
