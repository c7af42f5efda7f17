#!/usr/bin/python3
"""Whole runs of `vortan NAME --json` on ferrocene (two Cp rings on an
inversion centre), a published P 41 structure (COD 2016470: a chair and a
five-membered ring) and a published anisotropic phosphate (examples/
ZNBPO.cif): the rings, planes, plane angles, puckering and rigid-bond
differences of NAME.json recomputed here with numpy from the file's own
cell, operators and atoms; their s.u.'s against central differences of
that recomputation combined with the s.u.'s of the covariance files (which
cif2exp and make_examples.py write diagonal); and the listing's tables read
back against the JSON numbers to their printed digits.

  analysis_reference.py VORTAN CIF2EXP SOURCE_DIR

Fails (status 1) on any value more than 1e-6 from numpy's, or any s.u.
more than 2% from the finite differences'.
"""
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
from fractions import Fraction

import numpy as np

TOLERANCE = 1e-6
failures = []
checks = [0]


def check(what, got, want, tolerance=TOLERANCE):
    checks[0] += 1
    if not abs(got - want) <= tolerance:
        failures.append(f"{what}: {got!r}, numpy {want!r}")


def value(q):
    return q["value"]


def orthogonalisation(a, b, c, ca, cb, cg):
    """X = M x, a along X and b in the XY plane."""
    sg = math.sqrt(1 - cg * cg)
    v = math.sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg)
    return np.array([[a, b * cg, c * cb], [0, b * sg, c * (ca - cb * cg) / sg], [0, 0, c * v / sg]])


def operator(xyz):
    """'-y,x-y,z+1/3' as (R, t)."""
    r = np.zeros((3, 3))
    t = np.zeros(3)
    for row, term in enumerate(xyz.replace(" ", "").lower().split(",")):
        for sign, part in re.findall(r"([+-]?)([^+-]+)", term):
            s = -1 if sign == "-" else 1
            if part in "xyz":
                r[row, "xyz".index(part)] += s
            else:
                t[row] += s * float(Fraction(part))
    return r, t


def cell_parameters(cell):
    """a, b, c and the cosines of the angles, with their s.u.'s."""
    values = [float(np.float32(value(cell[k]))) for k in "abc"]
    # The phase keeps the cosines of the stored angles in single precision
    # (cos 90 degrees is -4.4e-8 there).
    values += [float(np.cos(np.float32(np.float32(value(cell[k])) * np.float32(math.pi / 180))))
               for k in ("alpha", "beta", "gamma")]
    sus = [cell[k]["su"] or 0.0 for k in "abc"]
    sus += [math.radians(cell[k]["su"] or 0.0) * math.sin(math.radians(value(cell[k])))
            for k in ("alpha", "beta", "gamma")]
    return values, sus


class Phase:
    """The phase of a JSON file; `cell` and `atom_values` (label -> fract
    then U) replace the file's own, for finite differences."""

    def __init__(self, phase, cell=None, atom_values=None):
        self.m = orthogonalisation(*(cell or cell_parameters(phase["cell"])[0]))
        self.ops = [operator(x["xyz"]) for x in phase["symmetry_operators"]]
        self.atoms = {a["label"]: a for a in phase["atoms"]}
        self.values = atom_values or {a["label"]: atom_parameters(a)[0] for a in phase["atoms"]}

    def carry(self, code, x):
        """x (fractional) carried by the operation of a site code."""
        if code == ".":
            return x
        n, klm = code.split("_")
        r, t = self.ops[int(n) - 1]
        return r @ x + t + np.array([int(d) - 5 for d in klm])

    def frac(self, label, code):
        return self.carry(code, np.array(self.values[label][:3]))

    def cart(self, label, code):
        return self.m @ self.frac(label, code)

    def points(self, row):
        return np.array([self.cart(a, c) for a, c in zip(row["atoms"], row["site_codes"])])

    def u_cart(self, label, code):
        """U of an image in the Cartesian frame: M N U N M^T, rotated as the image."""
        u = self.values[label][3:9]
        uf = np.array([[u[0], u[3], u[4]], [u[3], u[1], u[5]], [u[4], u[5], u[2]]])
        n = np.diag(np.linalg.norm(np.linalg.inv(self.m), axis=1))  # a*, b*, c*
        r = np.eye(3) if code == "." else self.ops[int(code.split("_")[0]) - 1][0]
        return self.m @ r @ n @ uf @ n @ r.T @ self.m.T


def atom_parameters(atom):
    """fract, then U11 .. U23 of an anisotropic atom, with their s.u.'s."""
    # The JSON writes a stored input as the shortest decimal of its
    # single-precision number; vortan computes with that number.
    values, sus = [float(np.float32(x)) for x in atom["fract"]], [s or 0.0 for s in atom["fract_su"]]
    for q in atom.get("u", []):
        values.append(float(np.float32(value(q))))
        sus.append(q["su"] or 0.0)
    return values, sus


def numerical_su(phase, f):
    """Central differences of f(Phase) by the cell, the coordinates and
    the Uij, combined with their s.u.'s: the covariance cif2exp and
    make_examples.py write is diagonal."""
    cell, cell_su = cell_parameters(phase["cell"])
    per_atom = [(a["label"], *atom_parameters(a)) for a in phase["atoms"]]
    x = cell + [v for _, values, _ in per_atom for v in values]
    su = cell_su + [s for _, _, sus in per_atom for s in sus]

    def at(x):
        values, k = {}, 6
        for label, own, _ in per_atom:
            values[label] = x[k:k + len(own)]
            k += len(own)
        return f(Phase(phase, x[:6], values))

    variance = 0.0
    for k in np.nonzero(su)[0]:
        h = 1e-5 if k < 3 else 1e-6
        up, down = list(x), list(x)
        up[k] += h
        down[k] -= h
        variance += ((at(up) - at(down)) / (2 * h) * su[k]) ** 2
    return math.sqrt(variance)


def check_su(what, q, phase, f):
    want = numerical_su(phase, f)
    check(f"{what} s.u.", q["su"] or 0.0, want, 0.02 * want + 1e-7)


def plane_normal(points):
    return np.linalg.svd(points - points.mean(axis=0))[2][-1]


def puckering(points):
    """Cremer & Pople (1975): heights above their mean plane and their Fourier terms."""
    n = len(points)
    r = points - points.mean(axis=0)
    j = np.arange(n)
    r1 = (r * np.sin(2 * np.pi * j / n)[:, None]).sum(axis=0)
    r2 = (r * np.cos(2 * np.pi * j / n)[:, None]).sum(axis=0)
    normal = np.cross(r1, r2)
    z = r @ (normal / np.linalg.norm(normal))
    terms = {}
    for m in range(2, (n - 1) // 2 + 1):
        c = math.sqrt(2 / n) * (z * np.cos(2 * np.pi * m * j / n)).sum()
        s = -math.sqrt(2 / n) * (z * np.sin(2 * np.pi * m * j / n)).sum()
        terms[m] = (math.hypot(c, s), math.degrees(math.atan2(s, c)) % 360)
    if n % 2 == 0:
        terms[n // 2] = (math.sqrt(1 / n) * (z * (-1.0) ** j).sum(), None)
    return math.sqrt((z * z).sum()), terms


def carried_points(p, plane, code):
    """A plane's atoms, carried by the operation of a site code."""
    return np.array([p.m @ p.carry(code, p.frac(a, c)) for a, c in zip(plane["atoms"], plane["site_codes"])])


def check_phase(name, phase):
    p = Phase(phase)
    normals = []
    for k, plane in enumerate(phase["planes"]):
        pts = p.points(plane)
        normal = plane_normal(pts)
        got = np.array(plane["normal"])
        check(f"{name} plane {k} |n . normal|", abs(got @ normal), 1.0)
        normal = normal if got @ normal > 0 else -normal
        normals.append(normal)
        centroid = pts.mean(axis=0)
        deviations = (pts - centroid) @ normal
        check(f"{name} plane {k} rms", value(plane["rms_deviation"]), math.sqrt((deviations ** 2).mean()))
        for d in plane["deviations"]:
            want = (p.cart(d["atom"], d["site_code"]) - centroid) @ normal
            check(f"{name} plane {k} deviation of {d['atom']} {d['site_code']}", value(d["deviation"]), want)
        reciprocal = p.m.T @ normal
        for i in range(3):
            check(f"{name} plane {k} reciprocal normal", plane["normal_reciprocal"][i], reciprocal[i])
    for a in phase["plane_angles"]:
        i, j = a["planes"]
        first = p.points(phase["planes"][i])
        second = carried_points(p, phase["planes"][j], a["site_code"])
        want = math.degrees(math.acos(min(1.0, abs(plane_normal(first) @ plane_normal(second)))))
        check(f"{name} angle of planes {i}, {j} {a['site_code']}", value(a["angle"]), want,
              1e-5 if want < 1e-3 else TOLERANCE)
        check(f"{name} centroids of planes {i}, {j} {a['site_code']}", value(a["centroid_distance"]),
              float(np.linalg.norm(second.mean(axis=0) - first.mean(axis=0))))
    for k, ring in enumerate(phase["rings"]):
        if phase["planes"][ring["plane"]]["ring"] != k:
            failures.append(f"{name} ring {k}: its plane does not name it")
        pk = ring["puckering"]
        if pk is None:
            continue
        total, terms = puckering(p.points(ring))
        check(f"{name} ring {k} Q", value(pk["Q"]), total)
        for t in pk["q"]:
            amplitude, phase_angle = terms[t["m"]]
            check(f"{name} ring {k} q{t['m']}", value(t["amplitude"]), amplitude)
            if phase_angle is not None and t["phase"] is not None:
                diff = (value(t["phase"]) - phase_angle + 180) % 360 - 180
                check(f"{name} ring {k} phi{t['m']}", diff, 0.0, 1e-5)
        if len(ring["atoms"]) == 6:
            check(f"{name} ring {k} theta", value(pk["theta"]),
                  math.degrees(math.atan2(terms[2][0], terms[3][0])))
    for k, rb in enumerate(phase["rigid_bond"]):
        (a, b), (ca, cb) = rb["atoms"], rb["site_codes"]
        d = p.cart(b, cb) - p.cart(a, ca)
        d /= np.linalg.norm(d)
        za, zb = d @ p.u_cart(a, ca) @ d, d @ p.u_cart(b, cb) @ d
        check(f"{name} rigid bond {a}-{b} z2(A)", value(rb["msda"][0]), za)
        check(f"{name} rigid bond {a}-{b} z2(B)", value(rb["msda"][1]), zb)
        check(f"{name} rigid bond {a}-{b} Delta", value(rb["delta"]), za - zb)
        flagged = abs(value(rb["delta"])) > 0.001 and abs(value(rb["delta"])) > 3 * (rb["delta"]["su"] or 0.0)
        if flagged != rb["flagged"]:
            failures.append(f"{name} rigid bond {a}-{b} flagged {rb['flagged']}")
    check_sus(name, phase)
    for bond in phase["bonds"]:
        d = np.linalg.norm(np.diff(p.points(bond), axis=0))
        check(f"{name} bond {bond['atoms']} {bond['site_codes']}", value(bond["distance"]), d, 5e-6)


def check_sus(name, phase):
    """A sample of the s.u.'s against finite differences: the first planes'
    RMS and deviations, the first plane angles, each ring's Q and
    amplitudes, and the rigid-bond rows."""
    def deviation(k, d):
        plane = phase["planes"][k]
        def f(p):
            pts = p.points(plane)
            normal = plane_normal(pts)
            normal = normal if normal @ np.array(plane["normal"]) > 0 else -normal
            return (p.cart(d["atom"], d["site_code"]) - pts.mean(axis=0)) @ normal
        return f
    for k, plane in enumerate(phase["planes"][:3]):
        for d in plane["deviations"][:8]:
            check_su(f"{name} plane {k} deviation of {d['atom']} {d['site_code']}", d["deviation"], phase,
                     deviation(k, d))
    for a in phase["plane_angles"][:3]:
        i, j = a["planes"]
        def angle(p, i=i, j=j, code=a["site_code"]):
            ni = plane_normal(p.points(phase["planes"][i]))
            nj = plane_normal(carried_points(p, phase["planes"][j], code))
            return math.degrees(math.acos(min(1.0, abs(ni @ nj))))
        if (a["angle"]["su"] or 0) > 0:
            check_su(f"{name} angle of planes {i}, {j}", a["angle"], phase, angle)
    for k, ring in enumerate(phase["rings"]):
        pk = ring["puckering"]
        if pk is None:
            continue
        check_su(f"{name} ring {k} Q", pk["Q"], phase, lambda p: puckering(p.points(ring))[0])
        for t in pk["q"]:
            check_su(f"{name} ring {k} q{t['m']}", t["amplitude"], phase,
                     lambda p, m=t["m"]: puckering(p.points(ring))[1][m][0])
    for rb in phase["rigid_bond"]:
        (a, b), (ca, cb) = rb["atoms"], rb["site_codes"]
        def delta(p):
            d = p.cart(b, cb) - p.cart(a, ca)
            d /= np.linalg.norm(d)
            return d @ p.u_cart(a, ca) @ d - d @ p.u_cart(b, cb) @ d
        check_su(f"{name} rigid bond {a}-{b} Delta", rb["delta"], phase, delta)


def printed(text):
    """'1.2345(12)' as (value, decimals, esd digits)."""
    m = re.fullmatch(r"(-?\d*)\.(\d*)\((\d+)\)", text)
    return float(m.group(1) + "." + m.group(2) + "0"), len(m.group(2)), int(m.group(3))


def check_printed(what, text, q):
    v, decimals, digits = printed(text)
    step = 10.0 ** -decimals
    check(f"{what} value as printed {text}", v, q["value"], 0.5 * step + 1e-9 + 1e-6 * abs(v))
    check(f"{what} s.u. as printed {text}", digits, (q["su"] or 0.0) / step, 0.5 + 1e-6)


def check_listing(name, phase, listing):
    """The listing's tables of the last run against the JSON numbers."""
    text = listing[listing.rfind(" Rings (in ring order"):] if phase["rings"] else listing
    for k, ring in enumerate(phase["rings"]):
        pk = ring["puckering"]
        if pk is None:
            continue
        m = re.search(rf" Ring {k + 1} of (?:molecule|ligand) \d+: .*\n    Q = (\S+)", text)
        check_printed(f"{name} ring {k} Q in the listing", m.group(1), pk["Q"])
    start = listing.rfind(" Angles between planes")
    for a in phase["plane_angles"][:20]:
        i, j = a["planes"]
        second = str(j + 1) + ("" if a["site_code"] == "." else "_" + a["site_code"])
        m = re.search(rf" Planes {i + 1} and {second} +(\S+)", listing[start:])
        check_printed(f"{name} planes {i}, {j} in the listing", m.group(1), a["angle"])
    start = listing.rfind(" Rigid-bond test")
    # The table ends at its count line (the bond-valence table may follow).
    end = listing.find(" bonds flagged", start)
    rows = re.findall(r"^ (\S+) - (\S+) +(\S+) +(\S+) +(\S+)", listing[start:end], re.M) if start >= 0 else []
    if len(rows) != len(phase["rigid_bond"]):
        failures.append(f"{name}: {len(rows)} rigid-bond rows in the listing, {len(phase['rigid_bond'])} in the JSON")
    for row, rb in zip(rows, phase["rigid_bond"]):
        for text_value, q in zip(row[2:], [rb["msda"][0], rb["msda"][1], rb["delta"]]):
            check_printed(f"{name} rigid bond {row[0]}-{row[1]} in the listing", text_value, q)


TIED_CIF = """data_tied
_cell_length_a 6.000
_cell_length_b 6.000
_cell_length_c 5.000
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 120
loop_
_space_group_symop_operation_xyz
'x,y,z'
'-y,x-y,z'
'-x+y,-x,z'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
Si1 Si 0.33333 0.66667 0.2000 0.012
O1 O 0.5000 0.6200 0.4500 0.020
loop_
_atom_site_aniso_label
_atom_site_aniso_U_11
_atom_site_aniso_U_22
_atom_site_aniso_U_33
_atom_site_aniso_U_12
_atom_site_aniso_U_13
_atom_site_aniso_U_23
Si1 0.0100(10) 0.0102(10) 0.0150(12) 0.0049(5) 0.0003(4) -0.0002(4)
O1 0.0200(15) 0.0180(14) 0.0220(16) 0.0090(12) 0.0020(10) -0.0010(10)
"""


def adp_ties(ops, n):
    """A basis of the U (as the CIF gives it, on unit a*, b*, c*) that every
    rotation R keeps, M U M^T = U with M = N^-1 R N: the null space of the
    stacked (M x M - I) by SVD."""
    rows = []
    pairs = [(0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2)]
    for r, _ in ops:
        m = np.linalg.inv(n) @ r @ n
        for i, j in pairs:
            row = np.zeros(6)
            for c, (k, l) in enumerate(pairs):
                row[c] = m[i, k] * m[j, l] + (m[i, l] * m[j, k] if k != l else 0)
            row[pairs.index((i, j))] -= 1
            rows.append(row)
    _, sv, vt = np.linalg.svd(np.array(rows))
    return vt[np.sum(sv > 1e-9):].T  # 6 x free


def check_special_position_ties(vortan, cif2exp, folder):
    """Si1 on the threefold axis: U22 = U11, U12 = U11/2, U13 = U23 = 0. The
    z^2 of Si1 along each Si-O bond and its s.u. against a Monte Carlo over
    the two free parameters U11 and U33, each drawn from its printed s.u."""
    with open(os.path.join(folder, "tied.cif"), "w") as f:
        f.write(TIED_CIF)
    subprocess.run([cif2exp, "tied.cif", "TIED"], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    document, _ = run(vortan, folder, "TIED")
    phase = document["phases"][0]
    p = Phase(phase)
    si = p.atoms["Si1"]
    u = np.array([value(q) for q in si["u"]])
    ops = [p.ops[0], p.ops[1], p.ops[2]]
    n = np.diag(np.linalg.norm(np.linalg.inv(p.m), axis=1))
    basis = adp_ties(ops, n)
    if basis.shape[1] != 2:
        failures.append(f"threefold axis: {basis.shape[1]} free Uij, 2 expected")
        return
    # The experiment's Uij lie on the ties exactly.
    coefficients, *_ = np.linalg.lstsq(basis, u, rcond=None)
    check("threefold axis: Uij off the ties", float(np.linalg.norm(basis @ coefficients - u)), 0.0, 1e-7)
    rng = np.random.default_rng(20261208)
    samples = 400000
    u11 = rng.normal(u[0], 0.0010, samples)
    u33 = rng.normal(u[2], 0.0012, samples)
    # Every tied U from its two free values, through the basis.
    free = np.linalg.solve(basis[[0, 2], :], np.vstack([u11, u33]))
    tied = basis @ free
    rows = [rb for rb in phase["rigid_bond"] if rb["atoms"][0] == "Si1"]
    if len(rows) != 3:
        failures.append(f"threefold axis: {len(rows)} Si1 rigid-bond rows, 3 expected")
    for rb in rows:
        d = p.cart(rb["atoms"][1], rb["site_codes"][1]) - p.cart("Si1", ".")
        d /= np.linalg.norm(d)
        a = p.m @ n
        w = (a.T @ d)  # z^2 = (N M^T d)^T U (N M^T d)
        z2 = (w[0] ** 2 * tied[0] + w[1] ** 2 * tied[1] + w[2] ** 2 * tied[2]
              + 2 * (w[0] * w[1] * tied[3] + w[0] * w[2] * tied[4] + w[1] * w[2] * tied[5]))
        check(f"threefold axis: z2 of Si1 along {rb['site_codes'][1]}", value(rb["msda"][0]), float(z2.mean()), 2e-5)
        check(f"threefold axis: s.u. of z2 of Si1 along {rb['site_codes'][1]} against {z2.std():.6f}",
              rb["msda"][0]["su"], float(z2.std()), 0.01 * float(z2.std()))


def run(vortan, folder, name):
    subprocess.run([vortan, name, "--json"], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    with open(os.path.join(folder, name + ".json")) as f:
        document = json.load(f)
    with open(os.path.join(folder, name + ".LST"), errors="replace") as f:
        listing = f.read()
    return document, listing


def main():
    vortan, cif2exp, source = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as folder:
        for suffix in ("EXP", "CMT"):
            shutil.copy(os.path.join(source, "examples", "FERROCENE." + suffix), folder)
        with open(os.path.join(source, "tests", "support", "small_structures.cpp")) as f:
            p41 = re.search(r'kP41Cif = R"\((.*?)\)";', f.read(), re.S).group(1)
        with open(os.path.join(folder, "p41.cif"), "w") as f:
            f.write(p41)
        shutil.copy(os.path.join(source, "examples", "ZNBPO.cif"), folder)
        for cif, name in (("p41.cif", "P41"), ("ZNBPO.cif", "ZN")):
            subprocess.run([cif2exp, cif, name], cwd=folder, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        seen = {}
        for name in ("FERROCENE", "P41", "ZN"):
            document, listing = run(vortan, folder, name)
            if document["program"] != "vortan" or document["experiment"] != name:
                failures.append(f"{name}: program {document['program']}, experiment {document['experiment']}")
            phase = document["phases"][0]
            check_phase(name, phase)
            check_listing(name, phase, listing)
            seen[name] = phase

        fe = seen["FERROCENE"]
        if len(fe["rings"]) != 2 or [r["puckering"]["conformation"] for r in fe["rings"]] != ["planar", "planar"]:
            failures.append(f"ferrocene: rings {fe['rings']}")
        elif value(fe["plane_angles"][0]["angle"]) != 0 or (fe["plane_angles"][0]["angle"]["su"] or 0) != 0:
            failures.append("ferrocene: the Cp planes, related by the inversion centre, are not parallel exactly")
        names = sorted(r["puckering"]["conformation"] for r in seen["P41"]["rings"])
        if names != ["chair", "twist"]:
            failures.append(f"P 41: conformations {names}")
        if not seen["ZN"]["rigid_bond"] or seen["ZN"]["rigid_bond_flagged"] != sum(r["flagged"] for r in seen["ZN"]["rigid_bond"]):
            failures.append("ZNBPO: no rigid-bond rows, or a count that is not theirs")
        check_special_position_ties(vortan, cif2exp, folder)

    for failure in failures[:40]:
        print(failure)
    print(f"{checks[0]} comparisons, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
