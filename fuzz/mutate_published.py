#!/usr/bin/python3
"""Damaged refinements: cif2exp (and vortan after it) on published blocks
whose embedded instructions and reflections were changed at random.

Each run takes one block of tests/data/published, changes its instructions
one to four times (a line deleted, doubled, swapped with another or cut
short; a number replaced by 0, -1, 1e30, nan, 2^31 and the like; one of
some seventy instructions inserted, restraints, constraints, twins,
parts, rigid groups and atoms among them) and now and then its
reflections (a line deleted, doubled, cut short or turned into noise),
and in one run of seven a number of the CIF's own cell or atom rows,
then runs cif2exp on it, and vortan on what cif2exp wrote. Build both with
the sanitizers (VESK_SANITIZE) for the runs to mean much. A run is kept as
bad when a program dies of a signal or exits above 2, a sanitizer speaks,
an exception escapes, a refusal says nothing, a run takes more than its
time, or vortan's listing, JSON or CIF holds a number that is not finite.

  fuzz/mutate_published.py --cif2exp build-sanitize/cif2exp
                           [--vortan build-sanitize/vortan] [--runs 200]
                           [--seed 1] [--blocks cod_2242624,xharpy_urea]
                           [--keep /tmp/bad]

Bad inputs are copied into --keep with what the program said; the exit
status is the number of bad runs (at most 100).
"""

import argparse
import glob
import gzip
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PUBLISHED = os.path.join(os.path.dirname(HERE), "tests", "data", "published")

INSERTED = [
    "DFIX 1.5 C1 C2", "DFIX 1.5 0.01 C1 C2 C2 C3", "SADI", "SADI 0.02 C1 C2 C3", "SAME C1 > C5", "SAME_ABC C1",
    "SIMU", "SIMU 0.04 0.08 1.7", "RIGU", "RIGU C1 > C9", "FLAT C1 C2 C3", "FLAT", "DELU", "ISOR 0.1 C1",
    "AFIX 137", "AFIX 0", "AFIX 43", "AFIX 66", "AFIX 7", "PART 1 21", "PART 2 -21", "PART 0", "PART -1",
    "EADP C1 C2", "EXYZ C1 C2", "FVAR 1 0.5 0.5", "FVAR", "BASF 0.3", "BASF 2", "TWIN",
    "TWIN -1 0 0 0 -1 0 0 0 -1 2", "SUMP 1 0.01 1 2 1 3", "RESI 1 ABC", "RESI", "DANG 2.5 C1 C3", "CHIV C1",
    "HKLF 4 1 -1 0 0 0 -1 0 0 0 1", "HKLF 5", "MERG 2", "MERG 4", "OMIT -2 50", "OMIT 1 0 0", "SHEL 10 0.8",
    "SHEL 0 0", "EXTI 0.01", "EXTI -5", "LATT -1", "LATT 7", "LATT 0", "SYMM -X,-Y,Z", "SYMM X+1/2,Y",
    "SFAC C H", "SFAC", "UNIT 1 1", "CELL 0.71 0 0 0 90 90 90", "ZERR 0 0 0 0 0 0 0", "WGHT 0", "WGHT -1 -1",
    "WGHT 0.1 0 0 0 0 0.3", "DISP C 0 0", "DISP Q 1e30 1e30", "BUMP", "SWAT", "ABIN", "CONN 0 C1", "FREE C1 C2",
    "HFIX 43 C1", "L.S. 10", "DAMP 0", "DAMP -1", "END", "C99 1 0.1 0.2 0.3 11 0.05",
    "C99 9 0.1 0.2 0.3 11 0.05", "C99 1 0.1 0.2 0.3 21 -1.2", "H99 2 0.1 0.2 0.3 11 -1.5",
    "Q1 1 0.5 0.5 0.5 11 0.05 1.0", "C1 1 nan 0 0 11 0.05", "C1 1 1e300 0 0 11 0.05"]
NUMBERS = ["0", "-1", "1e30", "-0.000001", "99999999", "10", "11", "-21", "21.5", "0.5", "31", "1e-30",
           "2147483648", "nan", "inf"]
SAID_BAD = re.compile(r"AddressSanitizer|LeakSanitizer|runtime error|terminate called")
NOT_FINITE = re.compile(r"(?i)\b-?(nan|inf|infinity)\b")


def text_field(text, tag):
    """(start, end) of the semicolon text field of tag, or None."""
    i = text.find("\n" + tag)
    if i < 0:
        return None
    start = text.find("\n;", i + 1)
    end = text.find("\n;", start + 2)
    return (start + 2, end) if start >= 0 and end >= 0 else None


def change(lines, rng, reflections):
    if not lines:
        return lines
    kinds = ["delete", "double", "number", "cut", "noise"] if reflections else \
            ["delete", "double", "number", "number", "insert", "insert", "swap", "cut"]
    kind, k = rng.choice(kinds), rng.randrange(len(lines))
    if kind == "delete":
        del lines[k]
    elif kind == "double":
        lines.insert(k, lines[k])
    elif kind == "number":
        found = list(re.finditer(r"-?\d+\.?\d*(?:[eE][-+]?\d+)?", lines[k]))
        if found:
            m = rng.choice(found)
            lines[k] = lines[k][:m.start()] + rng.choice(NUMBERS) + lines[k][m.end():]
    elif kind == "insert":
        lines.insert(k, rng.choice(INSERTED))
    elif kind == "swap":
        j = rng.randrange(len(lines))
        lines[k], lines[j] = lines[j], lines[k]
    elif kind == "cut":
        lines[k] = lines[k][:rng.randrange(len(lines[k]) + 1)]
    else:
        lines[k] = "".join(rng.choice("0123456789 -.eE+abc\t") for _ in range(rng.randrange(40)))
    return lines


def damaged_cif(text, rng):
    """A number of the CIF's own cell or atom rows replaced."""
    head = text.find("\n_shelx_res_file")
    head = head if head >= 0 else len(text)
    lines = text[:head].split("\n")
    rows = [k for k, line in enumerate(lines)
            if line.startswith("_cell_") or re.match(r"^\s*[A-Z][A-Za-z]?\d\w*\s+[A-Z]", line)]
    if rows:
        k = rng.choice(rows)
        lines[k:k + 1] = change([lines[k]], rng, True)
        if rng.random() < 0.5:
            lines[k:k + 1] = [re.sub(r"-?\d+\.\d+(\(\d+\))?", rng.choice(NUMBERS), lines[k], count=1)]
    return "\n".join(lines) + text[head:]


def damaged(text, rng):
    if rng.random() < 0.15:
        text = damaged_cif(text, rng)
    for _ in range(rng.randint(1, 4)):
        instructions = text_field(text, "_shelx_res_file") or text_field(text, "_iucr_refine_instructions_details")
        reflections = text_field(text, "_shelx_hkl_file")
        use = reflections if reflections and rng.random() < 0.25 else instructions
        if use is None:
            continue
        start, end = use
        lines = change(text[start:end].split("\n"), rng, use is reflections)
        text = text[:start] + "\n".join(lines) + text[end:]
    return text


def judge(folder, cif2exp, vortan):
    """None for a sound run, else what was wrong."""
    try:
        p = subprocess.run([cif2exp, "in.cif", "OUT"], cwd=folder, capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return "cif2exp ran past 300 s"
    said = p.stdout + p.stderr
    if p.returncode < 0 or p.returncode > 2 or SAID_BAD.search(said) or (p.returncode != 0 and not said.strip()):
        return "cif2exp exit %d: %s" % (p.returncode, said[-2000:])
    if p.returncode != 0 or not vortan or not os.path.exists(os.path.join(folder, "OUT.EXP")):
        return None
    try:
        q = subprocess.run([vortan, "OUT", "--json", "--cif"], cwd=folder, capture_output=True, text=True,
                           timeout=300, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "vortan ran past 300 s"
    said = q.stdout + q.stderr
    if q.returncode < 0 or q.returncode > 2 or SAID_BAD.search(said):
        return "vortan exit %d: %s" % (q.returncode, said[-2000:])
    for name in os.listdir(folder):
        if name.startswith("OUT") and name.endswith((".LST", ".json", ".cif")):
            with open(os.path.join(folder, name), errors="replace") as f:
                m = NOT_FINITE.search(f.read())
            if m:
                return "vortan wrote %s in %s" % (m.group(0), name)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cif2exp", required=True)
    parser.add_argument("--vortan")
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--blocks", help="names in tests/data/published, by default every block under 100 kB")
    parser.add_argument("--keep", default=os.path.join(tempfile.gettempdir(), "mutate_published_bad"))
    args = parser.parse_args()
    if args.blocks:
        blocks = [os.path.join(PUBLISHED, b + ".cif.gz") for b in args.blocks.split(",")]
    else:
        blocks = [b for b in sorted(glob.glob(os.path.join(PUBLISHED, "*.cif.gz"))) if os.path.getsize(b) < 100000]
    rng = random.Random(args.seed)
    bad = 0
    folder = tempfile.mkdtemp(prefix="mutate_published_")
    try:
        for run in range(args.runs):
            block = rng.choice(blocks)
            with gzip.open(block, "rt") as f:
                text = damaged(f.read(), rng)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            with open(os.path.join(folder, "in.cif"), "w") as f:
                f.write(text)
            wrong = judge(folder, os.path.abspath(args.cif2exp), args.vortan and os.path.abspath(args.vortan))
            if wrong:
                bad += 1
                os.makedirs(args.keep, exist_ok=True)
                kept = os.path.join(args.keep, "seed%d_run%d.cif" % (args.seed, run))
                shutil.copy(os.path.join(folder, "in.cif"), kept)
                with open(kept + ".said", "w") as f:
                    f.write(wrong)
                print("bad: %s (from %s): %s" % (kept, os.path.basename(block), wrong.splitlines()[0][:200]),
                      flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d runs, %d bad" % (args.runs, bad))
    return min(bad, 100)


if __name__ == "__main__":
    sys.exit(main())
