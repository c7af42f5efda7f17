#!/usr/bin/python3
"""Whole runs of `vortan NAME --json` on the bundled quartz and spinel and
on LaMnO3 (COD 1006141), tricalcium aluminate (COD 1000039) and an augite
with three shared sites (COD 1000035), each through cif2exp: every bond's valence, every
bond-valence sum, the GII and each polyhedron's mean bond, volume
(scipy's convex hull), distortion index, quadratic elongation and angle
variance recomputed here with numpy from the file's own cell, operators,
atoms and R0, b; their s.u.'s against central differences of that
recomputation through the covariance files, read here on their own (the
Fortran records make_examples.py writes: names, the packed matrix of the
variables and the constraints that map them onto the parameters), so that
the constrained occupancies of spinel's shared sites enter with their
correlation. Atoms on one site (spinel's Mg and Al) are compared as one:
their occupancy-weighted sum against their occupancy-weighted valence, and
the GII runs over the sites.

  inorganic_reference.py VORTAN CIF2EXP SOURCE_DIR

Fails (status 1) on any value more than 1e-6 from numpy's, or any s.u.
more than 2% from the finite differences'.
"""
import math
import os
import shutil
import struct
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
    own = getattr(p, "occupancies", None)
    return own[label] if own else ar.value(p.atoms[label]["occupancy"])


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


def sites(phase):
    """Rows with bonds grouped by position (1e-3) and by the sign of their state."""
    found = []
    for row in phase["bond_valences"]:
        if not row["bonds"]:
            continue
        x = np.array(phase_atom(phase, row["atom"])["fract"])
        for site in found:
            first = site[0]
            y = np.array(phase_atom(phase, first["atom"])["fract"])
            if (first["oxidation_state"] > 0) == (row["oxidation_state"] > 0) and np.all(abs(x - y) < 1e-3):
                site.append(row)
                break
        else:
            found.append([row])
    return found


def phase_atom(phase, label):
    return next(a for a in phase["atoms"] if a["label"] == label)


def site_sum(p, site):
    """Occupancy-weighted sum, valence and deviation of a site's atoms."""
    f = [occupancy(p, row["atom"]) for row in site]
    total = sum(f)
    s = sum(w * bvs(p, row) for w, row in zip(f, site)) / total
    v = sum(w * abs(row["oxidation_state"]) for w, row in zip(f, site)) / total
    return s, v, s - v, total


def gii(p, phase):
    num = den = 0.0
    for site in sites(phase):
        _, _, d, total = site_sum(p, site)
        w = multiplicity(p, site[0]["atom"]) * total
        num += w * d * d
        den += w
    return math.sqrt(num / den)


def read_covariance(path):
    """Parameter names and COVEL(p, q) of a covariance file (positions from 1)."""
    with open(path, "rb") as f:
        data = f.read()
    records, at = [], 0
    while at < len(data):
        (n,) = struct.unpack_from("<i", data, at)
        records.append(data[at + 4:at + 4 + n])
        at += n + 8
    one, two, three = records[:3]
    _, nname = struct.unpack_from("<ii", one)
    names = [one[8 + 8 * k:16 + 8 * k].decode() for k in range(nname)]
    (nvar,) = struct.unpack_from("<i", one, 8 + 8 * nname)
    nmat, band = struct.unpack_from("<ii", two)
    assert band == 0 and nmat == nvar * (nvar + 1) // 2, (nmat, band, nvar)
    packed = struct.unpack_from("<%df" % nmat, two, 8)
    v = np.zeros((nvar + 1, nvar + 1))
    k = 0
    for i in range(1, nvar + 1):
        for j in range(i, nvar + 1):
            v[i, j] = v[j, i] = packed[k]
            k += 1
    (nmap,) = struct.unpack_from("<i", three)
    terms = {}
    for e in range(nmap):
        code, coefficient = struct.unpack_from("<if", three, 4 + 8 * e)
        parameter, variable = divmod(code, 46340)
        if variable:
            terms.setdefault(parameter, []).append((variable, coefficient))
    positions = {name: k + 1 for k, name in reversed(list(enumerate(names)))}

    def covel(p, q):
        return sum(a * b * v[r, s] for r, a in terms.get(p, []) for s, b in terms.get(q, []))
    return positions, covel


def polyhedron(p, poly):
    return pr.reference({
        "centre": p.cart(poly["atom"], "."),
        "ligands": [(p.cart(l["atom"], l["site_code"] or "."), 0.0, 1.0) for l in poly["ligands"]],
        "state": 0,
    })


def numerical_su(phase, f, covariance):
    """Central differences of f by the cell (its equal edges, a = b of
    quartz, a = b = c of spinel, moving together with the s.u. the file
    gives) and by every refined parameter of the atoms (coordinates, Uij,
    occupancies), combined through the covariance file's COVEL."""
    positions, covel = covariance
    cell, cell_su = ar.cell_parameters(phase["cell"])
    groups = []
    for k in range(3):
        same = [m for m in range(3) if cell[m] == cell[k] and cell_su[m] == cell_su[k]]
        if same[0] == k:
            groups.append((same, cell_su[k]))
    groups += [([k], cell_su[k]) for k in range(3, 6)]
    values = {a["label"]: ar.atom_parameters(a)[0] for a in phase["atoms"]}
    occupancies = {a["label"]: ar.value(a["occupancy"]) for a in phase["atoms"]}
    items = ["X", "Y", "Z"]
    refined = []  # (label, index into values or None for the occupancy, position)
    for record, atom in enumerate(phase["atoms"], 1):
        own = ["FRAC"] + items + (["UISO"] if len(atom.get("u", [])) == 1 else
                                  ["U11", "U22", "U33", "U12", "U13", "U23"])
        for index, item in enumerate(own):
            name = "1%3d" % record + item.ljust(4)
            if name in positions:
                refined.append((atom["label"], index - 1 if index else None, positions[name]))

    def at(cell_values, label=None, index=None, h=0.0):
        own = {k: list(v) for k, v in values.items()}
        occ = dict(occupancies)
        if label is not None:
            if index is None:
                occ[label] += h
            else:
                own[label][index] += h
        q = ar.Phase(phase, cell_values, own)
        q.occupancies = occ
        return f(q)

    variance = 0.0
    for members, su in groups:
        if not su:
            continue
        h = 1e-5 if members[0] < 3 else 1e-6
        up, down = list(cell), list(cell)
        for m in members:
            up[m] += h
            down[m] -= h
        variance += ((at(up) - at(down)) / (2 * h) * su) ** 2
    gradient = []
    for label, index, position in refined:
        h = 1e-6
        gradient.append(((at(cell, label, index, h) - at(cell, label, index, -h)) / (2 * h), position))
    for g, p in gradient:
        for g2, q in gradient:
            variance += g * g2 * covel(p, q)
    return math.sqrt(max(variance, 0.0))


def check_su(what, q, phase, f, covariance):
    want = numerical_su(phase, f, covariance)
    ar.check(f"{what} s.u.", q["su"], want, 0.02 * want + 1e-7)


def check_shares(name, p, phase):
    """Each shared polyhedron's centre, carried by its site code, has that
    many of its ligands on this polyhedron's: 1 a corner, 2 an edge, 3 or
    more a face."""
    by_atom = {poly["atom"]: poly for poly in phase["polyhedra"]}
    for poly in phase["polyhedra"]:
        own = [p.frac(l["atom"], l["site_code"] or ".") for l in poly["ligands"]]
        for share in poly["shares"]:
            what = f"{name} {poly['atom']} shares with {share['atom']} {share['site_code']}"
            if share["site_code"] is None:
                ar.failures.append(what + ": no site code")
                continue
            other = by_atom[share["atom"]]
            theirs = [p.carry(share["site_code"], p.frac(l["atom"], l["site_code"] or "."))
                      for l in other["ligands"]]
            common = sum(any(np.all(abs(a - b) < 1e-3) for b in theirs) for a in own)
            kind = {1: "corner", 2: "edge"}.get(common, "face" if common >= 3 else None)
            ar.check(what + " kind", 0.0 if kind == share["kind"] else 1.0, 0.0)
            centre = p.carry(share["site_code"], p.frac(share["atom"], "."))
            ar.check(what + " apart", 0.0 if np.any(abs(centre - p.frac(poly["atom"], ".")) > 1e-3) else 1.0, 0.0)


def check_phase(name, phase, covariance):
    p = ar.Phase(phase)
    for row in phase["bond_valences"]:
        for bond in row["bonds"]:
            ar.check(f"{name} {bond['atoms']} valence", ar.value(bond["valence"]),
                     bond_valence(p, row, bond), 1e-5)
            # Through a refined occupancy of the other end (spinel's O to Mg and Al).
            if p.atoms[bond["atoms"][1]]["occupancy"]["su"]:
                check_su(f"{name} {bond['atoms']} valence", bond["valence"], phase,
                         lambda q, row=row, bond=bond: bond_valence(q, row, bond), covariance)
        if not row["bonds"]:
            continue
        ar.check(f"{name} {row['atom']} sum", ar.value(row["sum"]), bvs(p, row))
        check_su(f"{name} {row['atom']} sum", row["sum"], phase, lambda q, row=row: bvs(q, row), covariance)
    found = sites(phase)
    mixed = [site for site in found if len(site) > 1]
    if len(mixed) != len(phase.get("mixed_sites", [])):
        ar.failures.append(f"{name}: {len(mixed)} mixed sites, the file lists {len(phase.get('mixed_sites', []))}")
    for site, listed in zip(mixed, phase.get("mixed_sites", [])):
        what = f"{name} site {listed['atoms']}"
        if listed["atoms"] != [row["atom"] for row in site]:
            ar.failures.append(f"{what}: the atoms {[row['atom'] for row in site]} expected")
            continue
        s, v, d, _ = site_sum(p, site)
        ar.check(f"{what} sum", ar.value(listed["sum"]), s)
        ar.check(f"{what} valence", listed["valence"], v)
        ar.check(f"{what} deviation", ar.value(listed["deviation"]), d)
        check_su(f"{what} sum", listed["sum"], phase, lambda q, site=site: site_sum(q, site)[0], covariance)
        check_su(f"{what} deviation", listed["deviation"], phase, lambda q, site=site: site_sum(q, site)[2],
                 covariance)
    check_shares(name, p, phase)
    ar.check(f"{name} GII", ar.value(phase["gii"]), gii(p, phase))
    check_su(f"{name} GII", phase["gii"], phase, lambda q: gii(q, phase), covariance)
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
            # The inputs are single-precision numbers written as their shortest
            # decimals: a value as large as an angle variance (hundreds of
            # square degrees) carries their rounding at 1e-8 of itself.
            ar.check(f"{name} {poly['atom']} {key}", ar.value(q), want[theirs],
                     ar.TOLERANCE * max(1.0, abs(want[theirs])))
            if key in ("volume", "distortion_index", "angle_variance") and q["su"]:
                check_su(f"{name} {poly['atom']} {key}", q, phase,
                            lambda r, poly=poly, theirs=theirs: polyhedron(r, poly)[theirs], covariance)


def main():
    vortan, cif2exp, source = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as folder:
        for name in ("QUARTZ", "SPINEL"):
            for suffix in ("EXP", "CMT"):
                shutil.copy(os.path.join(source, "examples", name + "." + suffix), folder)
        published = {"LAMNO3": "cod_1006141_LaMnO3.cif", "C3A": "cod_1000039_Ca3Al2O6.cif",
                     "AUGITE": "cod_1000035_augite.cif"}
        for name, cif in published.items():
            shutil.copy(os.path.join(source, "tests", "data", cif), folder)
            subprocess.run([cif2exp, cif, name], cwd=folder, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sums = {}
        for name in ("QUARTZ", "SPINEL", *published):
            document, _ = ar.run(vortan, folder, name)
            phase = document["phases"][0]
            if "bond_valences" not in phase:
                ar.failures.append(f"{name}: no bond valences")
                continue
            check_phase(name, phase, read_covariance(os.path.join(folder, name + ".CMT")))
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
