#!/usr/bin/python3
"""Whole runs of `vortan NAME --json` on the bundled quartz and spinel and
on LaMnO3 (COD 1006141, through cif2exp): every bond's valence, every
bond-valence sum, the GII and each polyhedron's mean bond, volume
(scipy's convex hull), distortion index, quadratic elongation and angle
variance recomputed here with numpy from the file's own cell, operators,
atoms and R0, b; their s.u.'s against central differences of that
recomputation through the s.u.'s of the covariance files (diagonal, as
cif2exp and make_examples.py write them).

  inorganic_reference.py VORTAN CIF2EXP SOURCE_DIR

Fails (status 1) on any value more than 1e-6 from numpy's, or any s.u.
more than 2% from the finite differences'.
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
try:
    import numpy as np
    import analysis_reference as ar
    import polyhedra_reference as pr
except ImportError:
    print("inorganic_reference: numpy or scipy missing, skipped")
    sys.exit(77)


def occupancy(p, label):
    return ar.value(p.atoms[label]["occupancy"])


def bond_valence(p, row, bond):
    """f exp((R0 - R)/b), f the occupancy of the other end."""
    a, l = bond["atoms"]
    d = np.linalg.norm(p.cart(a, ".") - p.cart(l, bond["site_codes"][1]))
    return occupancy(p, l) * math.exp((bond["r0"] - d) / bond["b"])


def bvs(p, row):
    return sum(bond_valence(p, row, b) for b in row["bonds"])


def multiplicity(p, label):
    x = np.array(p.values[label][:3])
    seen = []
    for r, t in p.ops:
        y = (r @ x + t) % 1.0
        if not any(np.all(np.minimum(abs(y - z), 1 - abs(y - z)) < 1e-4) for z in seen):
            seen.append(y)
    return len(seen)


def gii(p, phase):
    num = den = 0.0
    for row in phase["bond_valences"]:
        if not row["bonds"]:
            continue
        w = multiplicity(p, row["atom"]) * occupancy(p, row["atom"])
        num += w * (bvs(p, row) - abs(row["oxidation_state"])) ** 2
        den += w
    return math.sqrt(num / den)


def polyhedron(p, poly):
    return pr.reference({
        "centre": p.cart(poly["atom"], "."),
        "ligands": [(p.cart(l["atom"], l["site_code"] or "."), 0.0, 1.0) for l in poly["ligands"]],
        "state": 0,
    })


def numerical_su(phase, f):
    """As analysis_reference's, but an atom's coordinates of equal value
    and s.u. (x = y = z on a three-fold axis, spinel's O) move together:
    the refinement constrained them to one parameter, as it did the equal
    edges of the cell."""
    cell, cell_su = ar.cell_parameters(phase["cell"])
    per_atom = [(a["label"], *ar.atom_parameters(a)) for a in phase["atoms"]]
    x = cell + [v for _, values, _ in per_atom for v in values]
    # Likewise the cell's equal edges (a = b of quartz, a = b = c of spinel).
    groups = []
    for k in range(3):
        same = [m for m in range(3) if cell[m] == cell[k] and cell_su[m] == cell_su[k]]
        if same[0] == k:
            groups.append((same, cell_su[k]))
    groups += [([k], cell_su[k]) for k in range(3, 6)]
    k = 6
    for _, values, sus in per_atom:
        if values[0] == values[1] == values[2] and sus[0] == sus[1] == sus[2] and sus[0] > 0:
            groups.append(([k, k + 1, k + 2], sus[0]))
        else:
            groups += [([k + i], sus[i]) for i in range(3)]
        groups += [([k + i], sus[i]) for i in range(3, len(values))]
        k += len(values)

    def at(x):
        values, k = {}, 6
        for label, own, _ in per_atom:
            values[label] = x[k:k + len(own)]
            k += len(own)
        return f(ar.Phase(phase, x[:6], values))

    variance = 0.0
    for members, su in groups:
        if not su:
            continue
        h = 1e-5 if members[0] < 3 else 1e-6
        up, down = list(x), list(x)
        for m in members:
            up[m] += h
            down[m] -= h
        variance += ((at(up) - at(down)) / (2 * h) * su) ** 2
    return math.sqrt(variance)


def check_su(what, q, phase, f):
    want = numerical_su(phase, f)
    ar.check(f"{what} s.u.", q["su"], want, 0.02 * want + 1e-7)


def check_phase(name, phase):
    p = ar.Phase(phase)
    for row in phase["bond_valences"]:
        for bond in row["bonds"]:
            ar.check(f"{name} {bond['atoms']} valence", ar.value(bond["valence"]),
                     bond_valence(p, row, bond), 1e-5)
        if not row["bonds"]:
            continue
        ar.check(f"{name} {row['atom']} sum", ar.value(row["sum"]), bvs(p, row))
        check_su(f"{name} {row['atom']} sum", row["sum"], phase, lambda q, row=row: bvs(q, row))
    ar.check(f"{name} GII", ar.value(phase["gii"]), gii(p, phase))
    check_su(f"{name} GII", phase["gii"], phase, lambda q: gii(q, phase))
    keys = {"mean_bond": "mean", "volume": "volume", "distortion_index": "distortion",
            "quadratic_elongation": "elongation", "angle_variance": "angle_variance"}
    for poly in phase["polyhedra"]:
        want = polyhedron(p, poly)
        for key, theirs in keys.items():
            q = poly[key]
            if q is None or want[theirs] is None:
                if (q is None) != (want[theirs] is None):
                    ar.failures.append(f"{name} {poly['atom']} {key}: {q} against numpy {want[theirs]}")
                continue
            ar.check(f"{name} {poly['atom']} {key}", ar.value(q), want[theirs])
            if key in ("volume", "distortion_index", "angle_variance") and q["su"]:
                check_su(f"{name} {poly['atom']} {key}", q, phase,
                            lambda r, poly=poly, theirs=theirs: polyhedron(r, poly)[theirs])


def main():
    vortan, cif2exp, source = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as folder:
        for name in ("QUARTZ", "SPINEL"):
            for suffix in ("EXP", "CMT"):
                shutil.copy(os.path.join(source, "examples", name + "." + suffix), folder)
        shutil.copy(os.path.join(source, "tests", "data", "cod_1006141_LaMnO3.cif"), folder)
        subprocess.run([cif2exp, "cod_1006141_LaMnO3.cif", "LAMNO3"], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sums = {}
        for name in ("QUARTZ", "SPINEL", "LAMNO3"):
            document, _ = ar.run(vortan, folder, name)
            phase = document["phases"][0]
            if "bond_valences" not in phase:
                ar.failures.append(f"{name}: no bond valences")
                continue
            check_phase(name, phase)
            for row in phase["bond_valences"]:
                sums[(name, row["atom"])] = ar.value(row["sum"])
        for key, want in ((("QUARTZ", "Si1"), 4), (("SPINEL", "Mg1"), 2), (("SPINEL", "Al2"), 3)):
            if key not in sums or abs(sums[key] - want) > 0.25:
                ar.failures.append(f"{key}: sum {sums.get(key)} not within 0.25 of {want}")
    for failure in ar.failures[:40]:
        print(failure)
    print(f"{ar.checks[0]} comparisons, {len(ar.failures)} failures")
    return 1 if ar.failures else 0


if __name__ == "__main__":
    sys.exit(main())
