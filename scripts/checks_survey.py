#!/usr/bin/python3
"""The checks vortan raises on published structures, for judging them.

    scripts/checks_survey.py VORTAN CIF2EXP FILE.cif[.gz] ...

Each CIF (gzipped or not) is converted by cif2exp into a scratch folder,
every block it holds, and run by vortan --json. Printed per block: its
rings, the atoms left out of the bond valences by reason, and every check of
level A or B with its evidence, then a count of the A, B and C checks.
Nothing is judged here: a false alarm is a check whose premise the
structure does not meet, and which check that is stays the reader's call.
"""
import collections
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile


def survey(vortan, cif2exp, path, folder):
    name = os.path.basename(path).split(".")[0].upper().replace("-", "_")
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        data = f.read()
    cif = os.path.join(folder, "in.cif")
    with open(cif, "wb") as f:
        f.write(data)
    converted = subprocess.run([cif2exp, cif, name, "--force"], cwd=folder, capture_output=True, text=True)
    if converted.returncode != 0:
        print(f"== {path}: cif2exp refused it: {converted.stderr.strip()[:200]}")
        return collections.Counter()
    counts = collections.Counter()
    for exp in sorted(f for f in os.listdir(folder) if f.endswith(".EXP")):
        stem = exp[:-4]
        subprocess.run([vortan, stem, "--json"], cwd=folder, capture_output=True)
        with open(os.path.join(folder, stem + ".json")) as f:
            phase = json.load(f)["phases"][0]
        rings = phase.get("rings", [])
        print(f"== {path} ({stem}): {len(phase['atoms'])} atoms, {len(rings)} rings, states from "
              f"{phase.get('oxidation_states_from', '-')}")
        reasons = collections.defaultdict(list)
        for row in phase.get("bond_valences_left_out", []):
            reasons[row["reason"]].append(row["atom"])
        for reason, atoms in reasons.items():
            print(f"   left out ({reason}): {len(atoms)}")
        for check in phase.get("checks", []):
            counts[check["level"]] += 1
            if check["level"] in "AB":
                print(f"   {check['level']}  {check['rule']}: {check['text']}")
    return counts


def main():
    vortan, cif2exp = sys.argv[1:3]
    total = collections.Counter()
    for path in sys.argv[3:]:
        folder = tempfile.mkdtemp()
        try:
            total += survey(vortan, cif2exp, path, folder)
        finally:
            shutil.rmtree(folder)
    print(f"checks: A {total['A']}, B {total['B']}, C {total['C']}")


if __name__ == "__main__":
    main()
