#!/usr/bin/python3
"""Planes, Cremer-Pople puckering and rigid-bond amplitudes, computed by
tests/geometry_reference (DRIVER) and again here in numpy by other routes:
planes by singular value decomposition, puckering by the discrete Fourier
transform of the heights, U in a Cartesian frame of its own (b in the xy
plane, where the program's CELLMATRIX puts c in the xz plane).

  geometry_reference.py DRIVER

Fails (status 1) on any value more than 1e-6 from the driver's.
"""
import subprocess
import sys

import numpy as np

TOLERANCE = 1e-6
rng = np.random.default_rng(27)


def ring(n, pucker):
    """n atoms 1.4 A apart, puckered, turned and moved off the origin."""
    angles = 2 * np.pi * np.arange(n) / n
    radius = 0.7 / np.sin(np.pi / n)
    flat = np.stack([radius * np.cos(angles), radius * np.sin(angles), pucker * rng.uniform(-1, 1, n)], axis=1)
    turn = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    return (flat + 0.08 * rng.uniform(-1, 1, (n, 3))) @ turn.T + rng.uniform(-10, 10, 3)


def text(points):
    return f"{len(points)} " + " ".join(repr(float(x)) for x in np.ravel(points))


def plane(points):
    """Centroid and unit normal, the points clockwise seen from its tip."""
    centroid = points.mean(axis=0)
    r = points - centroid
    normal = np.linalg.svd(r)[2][-1]
    if normal @ np.cross(r, np.roll(r, -1, axis=0)).sum(axis=0) > 0:
        normal = -normal
    return centroid, normal


def puckering(points):
    n = len(points)
    r = points - points.mean(axis=0)
    angles = 2 * np.pi * np.arange(n) / n
    normal = np.cross(np.sin(angles) @ r, np.cos(angles) @ r)
    z = r @ (normal / np.linalg.norm(normal))
    f = np.fft.fft(z)  # f[m] = sum_j z_j exp(-2 pi i m j / N) = q_m exp(i phi_m) sqrt(N/2)
    values = [np.linalg.norm(z), None]
    for m in range(2, n // 2 + 1):
        if 2 * m == n:
            values += [f[m].real / np.sqrt(n), None]
        else:  # a vanishing amplitude (a ring on an inversion centre) has no phase
            q = abs(f[m]) * np.sqrt(2 / n)
            values += [q, np.angle(f[m]) if q > 1e-9 else None]
    if n == 6:
        values[1] = np.arccos(np.clip(values[4] / values[0], -1.0, 1.0))  # a flat ring rounds just past 1
    return values


def cartesian_frame(cell):
    a, b, c = cell[:3]
    alpha, beta, gamma = np.radians(cell[3:])
    cx = c * np.cos(beta)
    cy = c * (np.cos(alpha) - np.cos(beta) * np.cos(gamma)) / np.sin(gamma)
    return np.array([[a, 0, 0], [b * np.cos(gamma), b * np.sin(gamma), 0], [cx, cy, np.sqrt(c * c - cx * cx - cy * cy)]]).T


def u_cartesian(frame, u):
    n = np.diag(np.sqrt(np.diag(np.linalg.inv(frame.T @ frame))))  # a*, b*, c*
    return frame @ n @ np.array([[u[0], u[3], u[4]], [u[3], u[1], u[5]], [u[4], u[5], u[2]]]) @ n @ frame.T


def rigid_bond(cell, xa, ua, xb, ub, rotation, translation):
    frame = cartesian_frame(cell)
    bond = frame @ (rotation @ xb + translation - xa)
    n = bond / np.linalg.norm(bond)
    to_image = frame @ rotation @ np.linalg.inv(frame)
    za = n @ u_cartesian(frame, ua) @ n
    zb = n @ to_image @ u_cartesian(frame, ub) @ to_image.T @ n
    return [za, zb, za - zb]


# Benzene I at 296 K under pressure, P b c a, the molecule on an inversion
# centre: Budzianowski & Katrusiak, Acta Cryst. B62 (2006) 94, entry
# 2100348 of the Crystallography Open Database. C1, C2, C3 and their
# images through -x, -y, -z close the ring.
BENZENE_CELL = [7.287, 9.20, 6.688, 90, 90, 90]
BENZENE_X = [[-0.0537, 0.1425, 0.0097], [0.0840, 0.0924, 0.1373], [0.1343, -0.0521, 0.1235]]
BENZENE_U = [[0.039, 0.028, 0.043, 0.005, 0.002, 0.002], [0.034, 0.060, 0.025, 0.005, -0.005, -0.001],
             [0.043, 0.048, 0.039, 0.002, -0.007, 0.006]]


def main():
    rings = [ring(n, 0.1 * n) for n in (3, 4, 5, 5, 6, 6, 6, 7, 8)] + [ring(6, 0.01)]
    benzene = np.array(BENZENE_X + [[-v for v in x] for x in BENZENE_X]) @ cartesian_frame(np.array(BENZENE_CELL)).T
    rings.append(benzene)
    cases, expected = [], []
    for k, points in enumerate(rings):
        others = rng.uniform(-10, 10, (2, 3))
        centroid, normal = plane(points)
        deviations = (np.vstack([points, others]) - centroid) @ normal
        cases.append(f"plane {text(points)} {text(others)}")
        expected.append(list(normal) + [np.sqrt(np.mean(deviations[:len(points)] ** 2))] + list(deviations))
        if k > 0:
            cases.append(f"angle {text(rings[k - 1])} {text(points)}")
            expected.append([np.arccos(min(1.0, abs(plane(rings[k - 1])[1] @ normal)))])
            cases.append(f"pucker {text(points)}")
            expected.append(puckering(points))
    bonds = [  # cell (float32, as the program holds it), A, U(A), B, U(B), B's image
        ([7.12, 9.81, 11.45, 81.3, 97.6, 104.2], [0.1234, 0.2511, 0.3301], [0.031, 0.024, 0.045, 0.004, -0.007, 0.002],
         [0.2511, 0.3012, 0.4103], [0.052, 0.029, 0.038, -0.006, 0.011, -0.003], np.eye(3), [0, 0, 0]),
        ([6.5, 8.25, 10.75, 90, 103.5, 90], [0.0412, 0.1834, 0.2210], [0.021, 0.034, 0.027, 0.003, 0.006, -0.004],
         [0.9121, 0.3166, 0.2987], [0.025, 0.031, 0.036, -0.002, 0.008, 0.005], np.diag([-1, 1, -1]), [1, -0.5, 0.5]),
        ([12.3, 12.3, 7.9, 90, 90, 120], [0.3333, 0.1111, 0.0825], [0.041, 0.037, 0.022, 0.019, 0.002, -0.001],
         [0.0712, 0.3688, 0.0790], [0.033, 0.029, 0.044, 0.012, -0.003, 0.004], [[0, -1, 0], [1, -1, 0], [0, 0, 1]], [0, 0, 0]),
    ]
    # The bonds C1-C2, C2-C3 and C3-C1 of the image -x, -y, -z.
    for a, b, rotation in ((0, 1, np.eye(3)), (1, 2, np.eye(3)), (2, 0, -np.eye(3))):
        bonds.append((BENZENE_CELL, BENZENE_X[a], BENZENE_U[a], BENZENE_X[b], BENZENE_U[b], rotation, [0, 0, 0]))
    for cell, xa, ua, xb, ub, rotation, translation in bonds:
        cell, ua, ub = (np.array(v, dtype=np.float32).astype(float) for v in (cell, ua, ub))
        rotation = np.array(rotation, dtype=int)
        words = [*cell, *xa, *ua, *xb, *ub, *rotation.ravel(), *translation]
        cases.append("bond " + " ".join(repr(float(w)) if not isinstance(w, np.integer) else str(w) for w in words))
        expected.append(rigid_bond(cell, np.array(xa), ua, np.array(xb), ub, rotation, np.array(translation)))

    output = subprocess.run([sys.argv[1]], input="\n".join(cases) + "\n", check=True, capture_output=True,
                            text=True).stdout.splitlines()
    failures = 0
    for case, mine, line in zip(cases, expected, output):
        theirs = [None if word == "-" else float(word) for word in line.split()]
        angles = case.startswith("pucker")
        agree = len(mine) == len(theirs)
        for k, (a, b) in enumerate(zip(mine, theirs)):
            if a is None or b is None:
                agree &= a is None and b is None
            else:
                difference = a - b
                if angles and k % 2 == 1:  # theta and the phases, the phases modulo 2 pi
                    difference = (difference + np.pi) % (2 * np.pi) - np.pi
                agree &= abs(difference) <= TOLERANCE
        if not agree:
            failures += 1
            print(f"{case.split()[0]}: driver {theirs}\n  numpy {mine}")
    if len(output) != len(cases):
        failures += 1
        print(f"{len(cases)} cases, {len(output)} lines from the driver")
    print(f"{len(cases)} cases:", "agree" if not failures else f"{failures} differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
