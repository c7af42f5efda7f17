#!/usr/bin/python3
"""Recomputes what polyhedra_dump prints, from the points it prints.

  polyhedra_reference.py PATH_TO_POLYHEDRA_DUMP

With numpy and scipy (Debian's python3-numpy, python3-scipy): bond-valence
sums and deviations, mean bond length, the convex-hull volume
(scipy.spatial.ConvexHull, i.e. qhull through another road), Baur's
distortion index, Robinson, Gibbs & Ribbe's quadratic elongation and
bond-angle variance, and the global instability index. Every value must
agree to 1e-6. Exit status 77 (skipped) without numpy or scipy.
"""
import math
import subprocess
import sys

try:
    import numpy as np
    from scipy.spatial import ConvexHull
except ImportError:
    print("polyhedra_reference: numpy or scipy missing, skipped")
    sys.exit(77)

TOLERANCE = 1e-6


def hull_volume(ligands):
    if len(ligands) < 4:
        return 0.0
    centred = ligands - ligands.mean(axis=0)
    if np.linalg.matrix_rank(centred, tol=1e-6) < 3:
        return 0.0
    return ConvexHull(ligands).volume


def angles_at(centre, ligands):
    found = []
    for i in range(len(ligands)):
        for j in range(i + 1, len(ligands)):
            u, v = ligands[i] - centre, ligands[j] - centre
            c = np.dot(u, v) / np.linalg.norm(u) / np.linalg.norm(v)
            found.append(math.degrees(math.acos(max(-1.0, min(1.0, c)))))
    return sorted(found)


def reference(atom):
    centre = atom["centre"]
    ligands = np.array([l[0] for l in atom["ligands"]])
    lengths = np.linalg.norm(ligands - centre, axis=1)
    r0 = np.array([l[1] for l in atom["ligands"]])
    b = np.array([l[2] for l in atom["ligands"]])
    bvs = float(np.sum(np.exp((r0 - lengths) / b)))
    mean = float(lengths.mean())
    volume = hull_volume(ligands)
    values = {
        "bvs": bvs,
        "deviation": bvs - abs(atom["state"]),
        "mean": mean,
        "volume": volume,
        "distortion": float(np.mean(np.abs(lengths - mean)) / mean),
        "elongation": None,
        "angle_variance": None,
    }
    n = len(lengths)
    # four ligands count as a tetrahedron with half the regular one's volume
    regular_tetrahedron = (mean * math.sqrt(8 / 3)) ** 3 / (6 * math.sqrt(2))
    if (n == 6 or (n == 4 and volume >= 0.5 * regular_tetrahedron)) and volume > 0:
        # centre-to-vertex distance of the regular polyhedron of equal volume
        if n == 4:
            edge = (6 * math.sqrt(2) * volume) ** (1 / 3)
            l0 = edge * math.sqrt(3 / 8)
            ideal, angles = math.degrees(math.acos(-1 / 3)), angles_at(centre, ligands)
        else:
            l0 = (3 * volume / 4) ** (1 / 3)
            ideal, angles = 90.0, angles_at(centre, ligands)[:12]
        values["elongation"] = float(np.mean((lengths / l0) ** 2))
        values["angle_variance"] = sum((a - ideal) ** 2 for a in angles) / (len(angles) - 1)
    return values


def main(argv):
    output = subprocess.run([argv[1]], check=True, capture_output=True, text=True).stdout
    structures = []
    for line in output.splitlines():
        word = line.split()
        if word[0] == "structure":
            structures.append({"name": word[1], "atoms": []})
        elif word[0] == "atom":
            structures[-1]["atoms"].append({"label": word[1], "state": int(word[3]), "multiplicity": int(word[4]),
                                            "centre": np.array([float(x) for x in word[5:8]]), "ligands": []})
        elif word[0] == "ligand":
            structures[-1]["atoms"][-1]["ligands"].append(
                (np.array([float(x) for x in word[2:5]]), float(word[5]), float(word[6])))
        elif word[0] == "values":
            pairs = dict(zip(word[2::2], word[3::2]))
            structures[-1]["atoms"][-1]["printed"] = {k: None if v == "none" else float(v) for k, v in pairs.items()}
        elif word[0] == "gii":
            structures[-1]["gii"] = float(word[1])

    failures = 0
    for s in structures:
        weights = squares = 0.0
        for atom in s["atoms"]:
            expected = reference(atom)
            weights += atom["multiplicity"]
            squares += atom["multiplicity"] * expected["deviation"] ** 2
            for key, value in expected.items():
                printed = atom["printed"][key]
                ok = (value is None and printed is None) or (
                    value is not None and printed is not None and abs(value - printed) <= TOLERANCE * max(1.0, abs(value)))
                if not ok:
                    failures += 1
                    print(f"{s['name']} {atom['label']} {key}: printed {printed}, reference {value}")
            print(f"{s['name']} {atom['label']}: CN {len(atom['ligands'])}, " +
                  ", ".join(f"{k} {v:.6f}" for k, v in expected.items() if v is not None))
        gii = math.sqrt(squares / weights)
        if abs(gii - s["gii"]) > TOLERANCE:
            failures += 1
            print(f"{s['name']} GII: printed {s['gii']}, reference {gii}")
        print(f"{s['name']}: GII {gii:.6f}")
    if failures:
        print(f"polyhedra_reference: {failures} value(s) differ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
