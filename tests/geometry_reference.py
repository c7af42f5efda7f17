#!/usr/bin/python3
"""Recomputes in numpy what tests/geometry_reference prints: least-squares
planes by singular value decomposition, Cremer-Pople puckering by the
discrete Fourier transform of the heights, and the rigid-bond amplitudes
from the cell and the Uij in a Cartesian frame of its own (b in the xy
plane, where the program's has c in the xz plane).

  geometry_reference.py DRIVER

Fails (status 1) on any value more than 1e-6 from the driver's.
"""
import json
import subprocess
import sys

import numpy as np

TOLERANCE = 1e-6
failures = []


def check(what, mine, theirs, period=None):
    if theirs is None or mine is None:
        if (theirs is None) != (mine is None):
            failures.append(f"{what}: driver {theirs}, numpy {mine}")
        return
    difference = mine - theirs
    if period:
        difference = (difference + period / 2) % period - period / 2
    if abs(difference) > TOLERANCE:
        failures.append(f"{what}: driver {theirs!r}, numpy {mine!r}")


def plane(points):
    """Centroid and unit normal, clockwise seen from the normal's tip."""
    centroid = points.mean(axis=0)
    r = points - centroid
    normal = np.linalg.svd(r)[2][-1]
    turn = np.cross(r, np.roll(r, -1, axis=0)).sum(axis=0)
    if normal @ turn > 0:
        normal = -normal
    return centroid, normal


def puckering(ring):
    n = len(ring)
    r = ring - ring.mean(axis=0)
    angles = 2 * np.pi * np.arange(n) / n
    normal = np.cross(np.sin(angles) @ r, np.cos(angles) @ r)
    z = r @ (normal / np.linalg.norm(normal))
    # sum_j z_j exp(-2 pi i m j / N) is the m-th term of the transform.
    f = np.fft.fft(z)
    terms = []
    for m in range(2, n // 2 + 1):
        if 2 * m == n:
            terms.append((m, f[m].real / np.sqrt(n), None))
        else:
            c = np.sqrt(2 / n) * f[m]  # q cos(phi) + i q sin(phi)
            terms.append((m, abs(c), np.angle(c) % (2 * np.pi)))
    total = np.linalg.norm(z)
    theta = np.arccos(terms[1][1] / total) if n == 6 else None
    return terms, total, theta


def cartesian_frame(cell):
    a, b, c = cell[:3]
    alpha, beta, gamma = np.radians(cell[3:])
    cx = c * np.cos(beta)
    cy = c * (np.cos(alpha) - np.cos(beta) * np.cos(gamma)) / np.sin(gamma)
    axes = np.array([[a, 0, 0], [b * np.cos(gamma), b * np.sin(gamma), 0], [cx, cy, np.sqrt(c * c - cx * cx - cy * cy)]])
    return axes.T  # columns a, b, c


def u_cartesian(frame, u):
    reciprocal = np.sqrt(np.diag(np.linalg.inv(frame.T @ frame)))  # a*, b*, c*
    tensor = np.array([[u[0], u[3], u[4]], [u[3], u[1], u[5]], [u[4], u[5], u[2]]])
    scaled = np.diag(reciprocal)
    return frame @ scaled @ tensor @ scaled @ frame.T


def main():
    output = subprocess.run([sys.argv[1]], check=True, capture_output=True, text=True).stdout
    data = json.loads(output)

    planes = []
    for k, case in enumerate(data["planes"]):
        points = np.array(case["points"])
        centroid, normal = plane(points)
        planes.append(normal)
        for a in range(3):
            check(f"plane {k} normal {a}", normal[a], case["normal"][a])
        deviations = (points - centroid) @ normal
        check(f"plane {k} rms", np.sqrt(np.mean(deviations**2)), case["rms"])
        for i, d in enumerate(deviations):
            check(f"plane {k} deviation {i}", d, case["deviations"][i])
        for i, q in enumerate(case["others"]):
            check(f"plane {k} other {i}", (np.array(q) - centroid) @ normal, case["other_deviations"][i])
    for case in data["plane_angles"]:
        i, j = case["planes"]
        check(f"angle {i} {j}", np.arccos(min(1.0, abs(planes[i] @ planes[j]))), case["angle"])

    for case in data["puckering"]:
        k = case["ring"]
        terms, total, theta = puckering(np.array(data["planes"][k]["points"]))
        check(f"ring {k} Q", total, case["Q"])
        check(f"ring {k} theta", theta, case["theta"])
        for (m, q, phi), printed in zip(terms, case["terms"]):
            check(f"ring {k} q{m}", q, printed["amplitude"])
            check(f"ring {k} phi{m}", phi, printed["phase"], period=2 * np.pi)
        if len(terms) != len(case["terms"]):
            failures.append(f"ring {k}: {len(case['terms'])} terms, numpy {len(terms)}")

    for k, case in enumerate(data["rigid_bond"]):
        frame = cartesian_frame(np.array(case["cell"]))
        rotation = np.array(case["rotation"], dtype=float)
        image = rotation @ np.array(case["xb"]) + np.array(case["translation"])
        bond = frame @ (image - np.array(case["xa"]))
        n = bond / np.linalg.norm(bond)
        to_image = frame @ rotation @ np.linalg.inv(frame)
        ua = u_cartesian(frame, case["ua"])
        ub = to_image @ u_cartesian(frame, case["ub"]) @ to_image.T
        za, zb = n @ ua @ n, n @ ub @ n
        check(f"bond {k} msda A", za, case["msda"][0])
        check(f"bond {k} msda B", zb, case["msda"][1])
        check(f"bond {k} delta", za - zb, case["delta"])

    for line in failures:
        print(line)
    print(f"{len(data['planes'])} planes, {len(data['puckering'])} rings, {len(data['rigid_bond'])} bonds:",
          "agree" if not failures else f"{len(failures)} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
