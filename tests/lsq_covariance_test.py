#!/usr/bin/python3
"""cif2exp's full covariance against smtbx's on published blocks.

For each block this runs cif2exp into a temporary folder, reads NAME.CMT and
NAME.CIFSRC, and compares the covariance of every parameter of the
non-riding atoms (x y z, uiso or u11 ... u23, occ) with the one
tests/lsq_reference.py builds with smtbx at the same published parameters:
each s.u. within 3 %, each correlation coefficient within 0.03 - elements
off the diagonal, not only the variances. Both covariances are compared as
N^-1, their own GooF^2 and the Friedel factor (each engine states its own)
divided out, since the engines' GooFs differ slightly (smtbx does not damp,
eliminates the scale, and weighs riding hydrogen atoms through their
neighbours).

  tests/lsq_covariance_test.py CIF2EXP BLOCK.cif.gz[:EDIT] ...

A block named with an EDIT from the table below has its instructions edited
first (in a temporary copy), both engines then run on the edited block: so
an inversion twin is imposed on a block with a strong anomalous scatterer,
whose twin fraction the data determine well. Twin fractions' s.u.'s are
compared too.

Run with Debian's /usr/bin/python3; exits 77 without python3-cctbx.
"""

import gzip
import math
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lsq_reference as ref  # noqa: E402  (exits 77 without cctbx)
import numpy as np  # noqa: E402

# Lines put before the instructions' FVAR.
EDITS = {
    "inversion-twin": "TWIN\nBASF 0.3\n",
}

SLOTS = {"X": "x", "Y": "y", "Z": "z", "UISO": "uiso", "FRAC": "occ",
         "U11": "u11", "U22": "u22", "U33": "u33", "U12": "u12", "U13": "u13", "U23": "u23"}


def records(path):
    data, out, i = open(path, "rb").read(), [], 0
    while i < len(data):
        n = struct.unpack("<i", data[i:i + 4])[0]
        out.append(data[i + 4:i + 4 + n])
        i += 8 + n
    return out


def covariance_file(path):
    """Parameter names and their covariance, A M A^T, from NAME.CMT."""
    one, two, three = records(path)
    nname = struct.unpack("<i", one[4:8])[0]
    names = [one[8 + 8 * k:16 + 8 * k].decode() for k in range(nname)]
    nvar = struct.unpack("<i", one[8 + 8 * nname:12 + 8 * nname])[0]
    nmat, band = struct.unpack("<ii", two[:8])
    assert band == 0 and nmat == nvar * (nvar + 1) // 2, "not a full matrix"
    matrix = np.zeros((nvar, nvar))
    matrix[np.triu_indices(nvar)] = struct.unpack("<%df" % nmat, two[8:8 + 4 * nmat])
    matrix = matrix + np.triu(matrix, 1).T
    nmap = struct.unpack("<i", three[:4])[0]
    ties = np.zeros((nname, nvar))
    for k in range(nmap):
        code, coefficient = struct.unpack("<if", three[4 + 8 * k:12 + 8 * k])
        parameter, variable = divmod(code, 46340)
        ties[parameter - 1, variable - 1] += coefficient
    return names, ties @ matrix @ ties.T


def ours(cif2exp, path, folder):
    cif = os.path.join(folder, "block.cif")
    said = subprocess.run([cif2exp, cif, os.path.join(folder, "B")], capture_output=True, text=True, check=True).stdout
    summary = re.search(r"full covariance of ([\d,]+) parameters .*GooF ([\d.]+)", said)
    assert summary, said
    factor = re.search(r"Friedel opposites counted as one reflection: times sqrt\(.*\) = ([\d.]+)", said)
    scale = float(summary.group(2)) ** 2 * (float(factor.group(1)) ** 2 if factor else 1.0)
    source = open(os.path.join(folder, "B.CIFSRC")).read().splitlines()
    labels = [line.split()[1:] for line in source if line.startswith("label ")]
    riding = {line.split()[1] for line in source if line.startswith("riding ")}
    names, cov = covariance_file(os.path.join(folder, "B.CMT"))
    twin = [float(su) / math.sqrt(scale) for su in re.findall(r"twin fraction of domain \d+: [\d.]+ \(s\.u\. ([\d.]+)\)", said)]
    named = {}
    for k, name in enumerate(names):
        experiment, cif_label = labels[int(name[1:4]) - 1]
        if experiment not in riding:
            named["%s %s" % (cif_label.upper(), SLOTS[name[4:].strip()])] = k
    return named, cov / scale, twin


def edited_copy(path, edit, folder):
    """The block, its instructions edited, as folder/block.cif."""
    text = (gzip.open(path).read() if path.endswith(".gz") else open(path, "rb").read()).decode("latin-1")
    if edit:
        start = text.index("_shelx_res_file")
        at = text.index("\nFVAR", start) + 1
        text = text[:at] + EDITS[edit] + text[at:]
    cif = os.path.join(folder, "block.cif")
    with open(cif, "w", encoding="latin-1") as out:
        out.write(text)
    return cif


def compare(cif2exp, argument):
    path, _, edit = argument.partition(":")
    with tempfile.TemporaryDirectory() as folder:
        cif = edited_copy(path, edit, folder)
        report, model = ref.analyse(cif)
        if model is not None:
            named, cov, twin = ours(cif2exp, path, folder)
    if model is None:
        return ["%s: the reference does not model it: %s" % (path, report["status"])]
    names, theirs = model[2], model[3]
    divisor = report["restrained_goof"] * (report["friedel_factor"] if report["friedel_rule_applied"] else 1.0)
    theirs = theirs / divisor ** 2
    index = {}
    for k, name in enumerate(names):
        label, slot = name.rsplit(" ", 1)
        index["%s %s" % (label.upper(), slot)] = k
    problems = []
    their_twin = [t["su"] / divisor for t in report.get("twin_fractions", [])]
    if len(twin) != len(their_twin):
        problems.append("%s: %d twin fractions against smtbx's %d" % (argument, len(twin), len(their_twin)))
    for k, (a, b) in enumerate(zip(twin, their_twin)):
        if abs(a / b - 1) > 0.03:
            problems.append("%s: s.u. of twin fraction %d %.4g against smtbx's %.4g" % (argument, k + 2, a, b))
    common = [name for name in named if name in index]
    if len(common) < 0.9 * len(named):
        problems.append("%s: only %d of our %d parameters are smtbx's" % (path, len(common), len(named)))
    a = np.array([named[n] for n in common], dtype=int)
    b = np.array([index[n] for n in common], dtype=int)
    ours_block, theirs_block = cov[np.ix_(a, a)], theirs[np.ix_(b, b)]
    su_ours, su_theirs = np.sqrt(np.diag(ours_block)), np.sqrt(np.diag(theirs_block))
    ratio = su_ours / su_theirs
    for k in np.where(np.abs(ratio - 1) > 0.03)[0]:
        problems.append("%s: s.u. of %s %.3g against smtbx's %.3g" % (path, common[k], su_ours[k], su_theirs[k]))
    correlation_ours = ours_block / np.outer(su_ours, su_ours)
    correlation_theirs = theirs_block / np.outer(su_theirs, su_theirs)
    gap = np.abs(correlation_ours - correlation_theirs)
    worst = np.unravel_index(np.argmax(gap), gap.shape)
    if gap[worst] > 0.03:
        problems.append("%s: correlation of %s with %s %.3f against smtbx's %.3f" % (
            path, common[worst[0]], common[worst[1]], correlation_ours[worst], correlation_theirs[worst]))
    print("%s: %d parameters, s.u. ratio %.3f-%.3f, largest correlation gap %.4f, %d correlations above 0.3%s" % (
        os.path.basename(argument), len(common), ratio.min(), ratio.max(), gap.max(),
        int((np.abs(correlation_ours[np.triu_indices(len(common), 1)]) > 0.3).sum()),
        "".join("; twin fraction s.u. %.5f against smtbx's %.5f" % pair for pair in zip(twin, their_twin))))
    return problems


def main():
    cif2exp, paths = sys.argv[1], sys.argv[2:]
    problems = []
    for path in paths:
        problems += compare(cif2exp, path)
    for problem in problems:
        print("FAIL " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
