#!/usr/bin/python3
"""Independent least-squares reference for a published CIF block.

For a block that embeds its refinement instructions and reflections
(_shelx_res_file + _shelx_hkl_file, or _iucr_refine_instructions_details +
_iucr_refine_reflections_details; an embedded fcf, _shelx_fcf_file or
_iucr_refine_fcf_details, stands in for the hkl), this script builds the smtbx
least-squares model at the published parameters (iotbx.shelx reads the
instructions, the reflections are read here, SHELXL weights from WGHT),
forms the normal matrix once, and reports

  - R1 (Fo > 4 sigma(Fo)), wR2 and the GooF against the paper's,
  - the covariance N^-1 x GooF^2 of every crystallographic parameter, mapped
    through the constraints (riding hydrogens, special positions) as smtbx
    maps them, each named "LABEL x|y|z|uiso|u11|u22|u33|u12|u13|u23|occ",
  - the bonds and angles of the paper's _geom_bond and _geom_angle loops with
    s.u.'s propagated from that covariance and from the cell's s.u.'s
    (uncorrelated, tied as the lattice ties them).

It is the independent engine the C++ least-squares code is compared with.
Run it with Debian's /usr/bin/python3 (python3-cctbx):

  tests/lsq_reference.py BLOCK.cif[.gz] [--block NAME] [--json OUT.json]
                         [--no-friedel-rule] [--lenient]
  tests/lsq_reference.py BLOCK.cif[.gz] ... --check     # the self-check

Without --json a short table is printed; the JSON's keys are listed in
tests/data/published/README.md.  --check exits 1 when R1 is more than 0.002
from the paper's or when fewer than 3 in 4 coordinate s.u.'s of the non-H
atoms (U^ij where no coordinate is free) round to the CIF's printed s.u.
(+-1 in its last digit); 77 when cctbx
is missing, 2 when the block cannot be modelled.

SHELXL's conventions followed here (measured on the corpus, see the README):
  - in non-centrosymmetric structures its s.u.'s come out as if Friedel pairs
    were merged: where _computing_structure_refinement names SHELXL (not
    olex2.refine) the s.u.'s are multiplied by
    sqrt(n_reflections / n_reflections_with_Friedel_pairs_merged)
    (--no-friedel-rule leaves them alone; the factor is reported either way);
  - the matrix is inverted with its diagonal times (1 + damp/1000), DAMP 0.7
    unless the instructions say otherwise;
  - equivalents are merged as SHELXL merges them (cctbx's "shelx" algorithm),
    OMIT s (-2 by default) applied to the unmerged data;
  - HKLF 3 data (F, sigma(F)) become F^2 with sigma(F^2) = sqrt((2 F sigma)^2
    + sigma^4).

smtbx quirks handled here: WGHT 0 (read as 0.1 by iotbx: the weights are set
from the WGHT line as written); SHEL, OMIT, MERG and EXTI (left out by the
smtbx model builder: applied here); DISP (not read by iotbx: f' and f'' come
from the CIF's _atom_type_scat_dispersion_* or DISP, and the scatterers'
use_fp_fdp flag set: without it smtbx's structure factors leave f' and f''
out, R1 comes out up to 0.0034 high and Friedel mates get equal Fc); TWIN
with BASF and HKLF 4 (smtbx twin components, -x,-y,-z when TWIN has no
matrix, one per power of the twin law; the fractions are parameters of the
matrix); free variables whose
chain changes sign (21 then -21: iotbx chains the atoms pairwise and smtbx
then takes the previous atom's dependee, giving the wrong occupancies:
re-expressed here against the first atom); 'RESI 0' (refused by iotbx: given
a class); EADP and EXYZ (ignored by iotbx: smtbx shared-U and shared-site
constraints, put before the riding hydrogens); olex2.refine's instructions
without HKLF (HKLF 4 assumed).  Reported as unsupported (the block is not
modelled): AFIX 5x/6x and m = 0 groups, SAME, SUMP, olex2's fixed-U codes
such as -10, HKLF 5 (no block with batches to try it on), SWAT, ABIN; and
whatever smtbx refuses (named); restraints iotbx would take otherwise than
SHELXL (atom ranges 'C1 > C6', of which iotbx keeps the two end atoms;
'C1^a' part suffixes; SADI or FLAT naming no atom).  With --lenient SAME,
SUMP, BUMP and those restraints are left out instead (for checks that do not
hinge on them, such as R1, a twin fraction or the Friedel factor).
"""

import argparse
import gzip
import io
import json
import math
import re
import sys
import tempfile
import os

try:
    import numpy as np
    import iotbx.cif
    from iotbx.shelx import parse_smtbx_refinement_model
    from cctbx import miller, crystal, sgtbx, xray, uctbx, eltbx
    from cctbx.array_family import flex
    from smtbx.refinement import least_squares
    from smtbx.refinement import constraints as smtbx_constraints
    from smtbx.refinement.constraints import adp as smtbx_adp
    from smtbx.refinement.constraints import site as smtbx_site
    from smtbx.refinement.constraints import occupancy as smtbx_occupancy
    import smtbx.utils
except ImportError as error:  # the CTest entry skips on 77
    print("lsq_reference: cctbx/smtbx not available (%s)" % error,
          file=sys.stderr)
    sys.exit(77)


class Unsupported(Exception):
    """The block uses something this reference does not model."""


# ---------------------------------------------------------------- CIF input

def read_text(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        return f.read().decode("utf-8", errors="replace")


def load_block(path, block_name=None):
    model = iotbx.cif.reader(input_string=read_text(path)).model()
    candidates = [(name, block) for name, block in model.items()
                  if block.get("_atom_site_label") is not None]
    if block_name is not None:
        for name, block in model.items():
            if name.lower() == block_name.lower():
                return name, block
        raise SystemExit("lsq_reference: %s has no block %s (blocks: %s)"
                         % (path, block_name, ", ".join(model.keys())))
    if len(candidates) != 1:
        raise SystemExit("lsq_reference: %s holds %d structure blocks (%s); "
                         "name one with --block"
                         % (path, len(candidates),
                            ", ".join(n for n, _ in candidates)))
    return candidates[0]


def item(block, *tags):
    for tag in tags:
        value = block.get(tag)
        if value is None:
            continue
        if not isinstance(value, str):
            value = value[0]
        return value
    return None


def loop_column(block, tag):
    value = block.get(tag)
    if value is None:
        return None
    return [value] if isinstance(value, str) else list(value)


def number_and_su(text):
    """'1.234(5)' -> (1.234, 0.005); '1.234' -> (1.234, None)."""
    if text is None or text in ("?", "."):
        return None, None
    match = re.match(r"^([-+]?)(\d*)(?:\.(\d*))?(?:[eE]([-+]?\d+))?(?:\((\d+)\))?$",
                     text.strip())
    if not match:
        return None, None
    sign, whole, frac, exp, su = match.groups()
    value = float(sign + (whole or "0") + "." + (frac or "0")
                  + ("e" + exp if exp else ""))
    if su is None:
        return value, None
    digits = len(frac or "")
    scale = 10.0 ** (-digits) * (10.0 ** int(exp) if exp else 1.0)
    return value, int(su) * scale


# ------------------------------------------------------- the instructions

SIMPLE_INSTRUCTIONS = {
    "TITL", "CELL", "ZERR", "LATT", "SYMM", "SFAC", "DISP", "UNIT", "FVAR",
    "AFIX", "PART", "WGHT", "EXTI", "OMIT", "SHEL", "MERG", "HKLF", "L.S.",
    "CGLS", "ACTA", "BOND", "FMAP", "PLAN", "LIST", "CONF", "HTAB", "SIZE",
    "TEMP", "REM", "END", "MORE", "BLOC", "EQIV", "MPLA", "RTAB", "WPDB",
    "FREE", "BIND", "STIR", "DAMP", "MOLE", "GRID", "NEUT", "SPEC", "LAUE",
    "ANIS", "HFIX", "CONN", "DEFS", "NCSY", "MOVE", "WIGL", "FRAG", "FEND",
}
RESTRAINTS = {"DFIX", "DANG", "SADI", "SAME", "CHIV", "FLAT", "DELU", "SIMU",
              "RIGU", "ISOR", "BUMP", "NCSY", "SUMP", "DEFS"}
MERGE_ALGORITHM = "shelx"  # SHELXL's own merging: its sigma and hence its counts
SIMPLE_AFIX_M = {1, 2, 3, 4, 8, 9, 12, 13, 14, 15, 16}


def res_records(res_text):
    """The instruction lines up to END, '=' continuations joined."""
    records, pending = [], ""
    lines = res_text.splitlines()
    start = next((i for i, l in enumerate(lines)
                  if l.strip().upper().startswith("TITL")), 0)
    for raw in lines[start:]:
        line = raw.rstrip()
        if pending:
            line = pending + " " + line.strip()
            pending = ""
        if line.endswith("=") and not line.upper().startswith(("REM", "TITL")):
            pending = line[:-1]
            continue
        stripped = line.strip()
        if not stripped or line[0] in " \t":
            continue  # a line starting with a blank is a comment to SHELXL
        word = stripped.split()[0].upper()
        if word.startswith("REM") or stripped.startswith("!"):
            continue
        records.append(stripped)
        if word == "END":
            break
    return records


def atom_record(words, sfac_count):
    """True when the words are an atom line: LABEL sfac x y z ..."""
    if len(words) < 5:
        return False
    if words[0].upper()[:4] in SIMPLE_INSTRUCTIONS | RESTRAINTS | {
            "EADP", "EXYZ", "TWIN", "BASF", "SWAT", "ABIN", "HKLF", "RESI",
            "SUMP", "ISOR"}:
        return False
    try:
        int(words[1])
        [float(w) for w in words[2:5]]
    except ValueError:
        return False
    return True


def survey_instructions(res_text):
    """Features of the refinement: what a simple model lacks."""
    features, sfac, fvar = set(), [], []
    merg, hklf = 2, (4, 1.0, None)
    wght, exti, omit_hkl, omit_s, omit_2theta, shel = None, None, [], -2.0, 180.0, None
    damp = 0.7  # SHELXL's default
    disp = {}
    for record in res_records(res_text):
        words = record.split()
        head = words[0].upper()
        key = head.split("_")[0]
        if key in RESTRAINTS:
            features.add(key)
        elif key in ("EADP", "EXYZ", "TWIN", "BASF", "SWAT", "ABIN", "RESI"):
            features.add(key)
        elif key == "SFAC":
            sfac.extend(w for w in words[1:] if not re.match(r"^[-+\d.]", w))
        elif key == "DISP":
            disp[words[1].lstrip("$").capitalize()] = (float(words[2]), float(words[3]))
        elif key == "FVAR":
            fvar.extend(float(w) for w in words[1:])
        elif key == "AFIX":
            mn = int(words[1])
            m, n = divmod(mn, 10)
            if mn != 0 and not (m in SIMPLE_AFIX_M and n in (3, 7)) and m != 0:
                features.add("AFIX %d" % mn)
            elif m == 0 and n not in (0,):
                features.add("AFIX %d" % mn)
        elif key == "PART":
            if len(words) > 1 and int(words[1]) != 0:
                features.add("PART %s" % words[1])
        elif key == "WGHT":
            wght = [float(w) for w in words[1:]]
        elif key == "EXTI":
            exti = float(words[1]) if len(words) > 1 else 0.0
        elif key == "DAMP":
            damp = float(words[1]) if len(words) > 1 else damp
        elif key == "MERG":
            merg = int(float(words[1]))
        elif key == "OMIT":
            numbers = [float(w) for w in words[1:]]
            if len(numbers) == 3:
                omit_hkl.append(tuple(int(round(v)) for v in numbers))
            elif len(numbers) >= 1:
                omit_s = numbers[0]
                if len(numbers) > 1:
                    omit_2theta = numbers[1]
        elif key == "SHEL":
            shel = [float(w) for w in words[1:]]
        elif key == "HKLF":
            numbers = [float(w) for w in words[1:]]
            n = int(numbers[0]) if numbers else 0
            s = numbers[1] if len(numbers) > 1 else 1.0
            matrix = numbers[2:11] if len(numbers) >= 11 else None
            hklf = (n, s, matrix)
            if n != 4:
                features.add("HKLF %d" % n)
        elif head not in SIMPLE_INSTRUCTIONS and atom_record(words, len(sfac)):
            # parameter codes: free variables beyond the scale
            for code in words[5:]:
                try:
                    value = float(code)
                except ValueError:
                    continue
                fv = int(abs(value) / 10)
                if fv >= 2 and abs(value) > 15:
                    features.add("free variables")
                if value <= -5.0 and value > -15:  # olex2 style -10.xx
                    features.add("fixed-U code %s" % code)
    if len(fvar) > 1:
        features.add("FVAR %d values" % len(fvar))
    return dict(features=sorted(features), sfac=sfac, fvar=fvar, merg=merg,
                hklf=hklf, wght=wght, exti=exti, omit_hkl=omit_hkl,
                omit_s=omit_s, omit_2theta=omit_2theta, shel=shel, disp=disp,
                damp=damp)


# ------------------------------------------------------------ reflections

def parse_hkl(text, hklf_n):
    """h k l F^2 sigma(F^2) [batch] lines of a SHELX hkl file."""
    rows = []
    for line in text.splitlines():
        if not line.strip():
            continue
        try:
            h, k, l = int(line[0:4]), int(line[4:8]), int(line[8:12])
            i, s = float(line[12:20]), float(line[20:28])
            batch = int(line[28:32]) if line[28:32].strip() else 1
        except ValueError:
            words = line.split()
            try:
                h, k, l = (int(w) for w in words[:3])
                i, s = float(words[3]), float(words[4])
                batch = int(words[5]) if len(words) > 5 else 1
            except (ValueError, IndexError):
                break
        if h == 0 and k == 0 and l == 0:
            break
        rows.append((h, k, l, i, s, batch))
    if not rows:
        raise Unsupported("no reflections in the embedded hkl")
    if hklf_n == 3:
        # F and sigma(F): F^2 with sigma(F^2) = sqrt((2 F sigma)^2 + sigma^4),
        # which gives SHELXL's wR2 and GooF on an HKLF 3 block (2 F sigma
        # alone does not: weak reflections get too much weight)
        rows = [(h, k, l, f * f, math.sqrt((2.0 * f * s) ** 2 + s ** 4), b)
                for h, k, l, f, s, b in rows]
    return rows


def parse_fcf(text):
    """Fo^2 and sigma of an embedded fcf (LIST 4 or 6), already merged."""
    model = iotbx.cif.reader(input_string=text).model()
    block = list(model.values())[0]
    h = loop_column(block, "_refln_index_h")
    k = loop_column(block, "_refln_index_k")
    l = loop_column(block, "_refln_index_l")
    fo = loop_column(block, "_refln_F_squared_meas")
    sig = loop_column(block, "_refln_F_squared_sigma")
    if not (h and fo and sig):
        raise Unsupported("the embedded fcf has no F^2 columns")
    return [(int(a), int(b), int(c), float(d), float(e), 1)
            for a, b, c, d, e in zip(h, k, l, fo, sig)]


def observations(rows, symmetry, survey, wavelength, merged_already=False):
    """The reflections as SHELXL uses them: absences dropped, OMIT/SHEL
    applied, equivalents merged (Friedel pairs kept apart in
    non-centrosymmetric groups unless MERG 3/4)."""
    n, scale, matrix = survey["hklf"]
    indices = flex.miller_index()
    data, sigmas = flex.double(), flex.double()
    m = None if matrix is None else np.array(matrix).reshape(3, 3)
    for h, k, l, i, s, batch in rows:
        hkl = (h, k, l)
        if m is not None:
            hkl = tuple(int(round(v)) for v in m.dot(np.array(hkl)))
        if survey["omit_s"] is not None and i < survey["omit_s"] * s and not merged_already:
            continue
        indices.append(hkl)
        data.append(i * scale)
        sigmas.append(s * scale)
    centric = symmetry.space_group().is_centric()
    anomalous = not centric and survey["merg"] not in (3, 4)
    ms = miller.set(symmetry, indices, anomalous_flag=anomalous)
    array = miller.array(ms, data, sigmas).set_observation_type_xray_intensity()
    array = array.select(~array.sys_absent_flags().data())
    # resolution limits: OMIT 2theta and SHEL
    d = array.d_spacings().data()
    keep = flex.bool(array.size(), True)
    if survey["omit_2theta"] < 180.0:
        d_min = wavelength / (2.0 * math.sin(math.radians(survey["omit_2theta"] / 2)))
        keep &= d >= d_min
    if survey["shel"]:
        keep &= d <= survey["shel"][0]
        if len(survey["shel"]) > 1:
            keep &= d >= survey["shel"][1]
    array = array.select(keep)
    if not merged_already:
        array = array.merge_equivalents(algorithm=MERGE_ALGORITHM).array()
    else:
        array = array.map_to_asu()
    if survey["omit_hkl"]:
        omitted = set()
        for hkl in survey["omit_hkl"]:
            one = miller.set(symmetry, flex.miller_index([hkl]),
                             anomalous_flag=anomalous).map_to_asu()
            omitted.add(one.indices()[0])
        keep = flex.bool([tuple(h) not in omitted for h in array.indices()])
        array = array.select(keep)
    return array


# --------------------------------------------------------------- the model

def scattering_factors(structure, block, survey):
    """Form factors as SHELXL's (International Tables C, 4 Gaussians + c),
    f' and f'' from the CIF's atom-type loop, else DISP."""
    structure.scattering_type_registry(table="it1992")
    disp = dict(survey["disp"])
    symbols = loop_column(block, "_atom_type_symbol") or []
    real = loop_column(block, "_atom_type_scat_dispersion_real") or []
    imag = loop_column(block, "_atom_type_scat_dispersion_imag") or []
    for s, fp, fdp in zip(symbols, real, imag):
        try:
            disp.setdefault(re.sub(r"[^A-Za-z].*", "", s).capitalize(),
                            (float(fp), float(fdp)))
        except ValueError:
            pass
    for sc in structure.scatterers():
        element = re.sub(r"[^A-Za-z].*", "", sc.scattering_type).capitalize()
        if element in disp:
            sc.fp, sc.fdp = disp[element]
        if survey["merg"] == 4:
            sc.fdp = 0.0
        # without this flag smtbx's structure factors leave f' and f'' out
        sc.flags.set_use_fp_fdp(True)


def extra_constraints(res_text, structure):
    """EADP and EXYZ as smtbx shared-U and shared-site constraints."""
    labels = {sc.label.upper(): i for i, sc in enumerate(structure.scatterers())}
    result = []
    for record in res_records(res_text):
        words = record.split()
        key = words[0].upper()
        if key not in ("EADP", "EXYZ"):
            continue
        try:
            idx = tuple(labels[w.upper()] for w in words[1:])
        except KeyError as missing:
            raise Unsupported("%s names an atom the model lacks: %s" % (key, missing))
        if key == "EADP":
            result.append(smtbx_adp.shared_u(idx))
        else:
            result.append(smtbx_site.shared_site(idx))
    return result


def occupancy_stars(constraints):
    """iotbx chains the atoms of a free variable pairwise (i, i+1); smtbx
    then takes the *dependee* of i as i's parameter, so a chain that changes
    sign (21 then -21) gives the wrong occupancies.  Re-express every member
    relative to the first atom of its chain instead."""
    is_pair = lambda c: isinstance(
        c, smtbx_occupancy.occupancy_pair_affine_constraint)
    pairs = [c for c in constraints if is_pair(c)]
    others = [c for c in constraints if not is_pair(c)]
    affine = {}   # j -> (first, A, B): occ_j = A occ_first + B
    for c in pairs:
        (a0, a1), b = c.linear_form
        i, j = c.scatterer_indices
        first, a, c0 = affine.get(i, (i, 1.0, 0.0))
        # occ_j = -a0/a1 occ_i + b/a1, occ_i = a occ_first + c0
        affine[j] = (first, -a0 / a1 * a, -a0 / a1 * c0 + b / a1)
    stars = [smtbx_occupancy.occupancy_pair_affine_constraint(
                 scatterer_indices=(first, j), linear_form=((a, -1.0), -c0))
             for j, (first, a, c0) in affine.items()]
    return others + stars


LENIENT_DROPS = ("SAME", "SUMP", "BUMP")


def rigid_afix(feature):
    """AFIX groups smtbx has no constraint for: rigid and fitted groups
    (m = 5, 6, 10, 11, m = 0 with n != 0) and n other than riding/rotating."""
    if not feature.startswith("AFIX "):
        return False
    m, n = divmod(int(feature.split()[1]), 10)
    return m in (0, 5, 6, 10, 11) or n not in (3, 4, 7, 8)


def build(block, survey, res_text, lenient=False):
    """The smtbx model builder from the instructions.  With lenient, SAME,
    SUMP and BUMP are left out instead of refused (for checks that do not
    depend on them, such as the Friedel rule's factor)."""
    features = survey["features"]
    if lenient:
        features = [f for f in features if f.split()[0] not in LENIENT_DROPS]
    unsupported = [f for f in features
                   if rigid_afix(f)
                   or f.split()[0] in ("SAME", "SUMP", "HKLF", "SWAT", "ABIN")
                   or f.startswith("fixed-U")]
    if survey["hklf"][0] == 5:
        # HKLF 5 batches (non-merohedral twins) are not read here
        unsupported += [f for f in features if f.split()[0] in ("TWIN", "BASF")]
    unsupported = [f for f in unsupported if f not in ("HKLF 4", "HKLF 3")]
    if unsupported:
        raise Unsupported(", ".join(unsupported))
    records = res_records(res_text)
    if lenient:
        records = [r for r in records
                   if r.split()[0].upper().split("_")[0] not in LENIENT_DROPS]
    # iotbx drops the range symbols of 'SIMU C1 > C6' and keeps the two end
    # atoms only, and knows no 'C1^a' part suffixes: such restraints are
    # refused, or with lenient left out
    awkward = [r for r in records if restraint_problem(r)]
    if awkward and not lenient:
        raise Unsupported(", ".join(sorted({restraint_problem(r) for r in awkward})))
    records = [r for r in records if r not in awkward]
    # iotbx wants a class with every RESI: 'RESI 0' (back to no residue)
    # gets a placeholder one
    records = [r + " NORESI" if r.split()[0].upper() == "RESI" and len(r.split()) == 2
               else r for r in records]
    if not any(r.split()[0].upper() == "HKLF" for r in records):
        # olex2.refine leaves HKLF out of the instructions it embeds
        at = next((i for i, r in enumerate(records) if r.split()[0].upper() == "END"),
                  len(records))
        records.insert(at, "HKLF 4")
    with tempfile.NamedTemporaryFile("w", suffix=".res", delete=False) as f:
        f.write("\n".join(records) + "\n")
        path = f.name
    try:
        builder = parse_smtbx_refinement_model(filename=path, strictly_shelxl=False)
    except Exception as error:  # iotbx refuses the file
        raise Unsupported("iotbx.shelx: %s" % str(error).strip().splitlines()[-1])
    finally:
        os.unlink(path)
    builder.left_out = sorted({restraint_problem(r) for r in awkward})
    return builder


def restraint_problem(record):
    """Why iotbx cannot take a restraint as SHELXL means it, or None."""
    words = record.split()
    if words[0].upper().split("_")[0] not in RESTRAINTS:
        return None
    if any(w in (">", "<") for w in words[1:]):
        return "atom ranges (> <) in restraints"
    if any("^" in w for w in words[1:]):
        return "part suffixes (^a) in restraints"
    if words[0].upper().split("_")[0] in ("SADI", "DFIX", "DANG", "FLAT", "CHIV") and \
            not any(re.match(r"^[A-Za-z]", w) for w in words[1:]):
        return "restraints naming no atoms"
    return None


class Refinement(object):
    """The normal matrix at the published parameters, and what follows."""

    def __init__(self, block, res_text, rows, merged_already, survey, lenient=False):
        self.survey = survey
        builder = build(block, survey, res_text, lenient)
        self.left_out = builder.left_out
        self.structure = xs = builder.structure
        self.labels = {l.upper(): l for l in loop_column(block, "_atom_site_label") or []}
        wavelength = builder.wavelength_in_angstrom or 0.71073
        scattering_factors(xs, block, survey)
        self.fo_sq = observations(rows, xs, survey, wavelength, merged_already)
        self.n_friedel_merged = self.fo_sq.as_non_anomalous_array() \
            .merge_equivalents().array().size() \
            if self.fo_sq.anomalous_flag() else self.fo_sq.size()
        a, b = 0.1, 0.0
        if survey["wght"] is not None:  # as written: WGHT 0 means 0
            a = survey["wght"][0] if len(survey["wght"]) > 0 else 0.1
            b = survey["wght"][1] if len(survey["wght"]) > 1 else 0.0
        if survey["wght"] and len(survey["wght"]) > 2 and any(survey["wght"][2:4]):
            raise Unsupported("WGHT with c/d/e terms")
        self.weighting = least_squares.mainstream_shelx_weighting(a=a, b=b)
        kwds = {}
        if survey["exti"] is not None:
            ext = xray.shelx_extinction_correction(xs.unit_cell(), wavelength,
                                                   survey["exti"])
            ext.grad = True
            kwds["extinction"] = ext
        # shared U and sites first: a riding H whose pivot shares its U
        # must find the shared parameter, not make one of its own
        # TWIN/BASF with HKLF 4: the twin fractions are parameters, the
        # observations sums over the domains (iotbx builds one component per
        # power of the twin law, -x,-y,-z when TWIN has no matrix)
        twin = tuple(builder.twin_components)
        if twin:
            kwds["twin_fractions"] = twin
        self.twin_components = twin
        constraints = extra_constraints(res_text, xs) + \
            occupancy_stars(list(builder.constraints))
        connectivity = smtbx.utils.connectivity_table(
            xs, conformer_indices=builder.conformer_indices,
            sym_excl_indices=builder.sym_excl_indices)
        self.reparametrisation = smtbx_constraints.reparametrisation(
            xs, constraints, connectivity,
            temperature=builder.temperature_in_celsius, **kwds)
        obs = self.fo_sq.as_xray_observations(
            twin_components=twin if twin else None)
        restraints = builder.restraints_manager
        self.n_restraints = 0
        self.ls = least_squares.crystallographic_ls(
            obs, self.reparametrisation,
            restraints_manager=restraints,
            weighting_scheme=self.weighting)
        # the scale is separable: settle it (and with it the weights' P)
        for _ in range(3):
            self.ls.build_up()
        self.n_restraints = self.ls.n_restraints or 0
        self.statistics()

    def statistics(self):
        ls = self.ls
        k = ls.scale_factor()
        fo2 = self.fo_sq.data()
        sig = self.fo_sq.sigmas()
        fc2 = ls.fc_sq.data() * k
        w = ls.weights
        delta = fo2 - fc2
        self.n_obs = fo2.size()
        self.n_params = ls.reparametrisation.n_independents + 1  # + the scale
        chi = flex.sum(w * delta * delta)
        self.wr2 = math.sqrt(chi / flex.sum(w * fo2 * fo2))
        self.goof = math.sqrt(chi / (self.n_obs - self.n_params))
        self.restrained_goof = self.goof
        if self.n_restraints:
            self.restrained_goof = ls.restrained_goof() * self.goof / ls.goof()
        strong = fo2 > 2.0 * sig
        fo = flex.sqrt(fo2.deep_copy().set_selected(fo2 < 0, 0.0))
        fc = flex.sqrt(fc2.deep_copy().set_selected(fc2 < 0, 0.0))
        self.r1_gt = flex.sum(flex.abs(fo - fc).select(strong)) / \
            flex.sum(fo.select(strong))
        self.r1_all = flex.sum(flex.abs(fo - fc)) / flex.sum(fo)
        self.n_gt = strong.count(True)
        self.scale = k

    def covariance(self):
        """Covariance of the crystallographic parameters and their names.

        SHELXL inverts the least-squares matrix with its diagonal multiplied
        by (1 + damp/1000) (DAMP, 0.7 by default), and its s.u.'s come from
        that inverse: negligible for well-determined parameters, decisive for
        nearly singular ones (two disorder partners almost on one site)."""
        ls = self.ls
        packed = ls.normal_matrix_packed_u().as_numpy_array()
        n = ls.reparametrisation.n_independents
        normal = np.zeros((n, n))
        normal[np.triu_indices(n)] = packed
        normal = normal + np.triu(normal, 1).T
        normal[np.diag_indices(n)] *= 1.0 + self.survey["damp"] / 1000.0
        inverse = np.linalg.inv(normal) / ls.sum_w_yo_sq()
        jt = ls.reparametrisation.jacobian_transpose_matching_grad_fc() \
            .as_dense_matrix().as_numpy_array()
        cov = jt.T.dot(inverse).dot(jt) * self.restrained_goof ** 2
        # the twin fractions are independent parameters of their own
        self.twin_su = [math.sqrt(inverse[tc.grad_index, tc.grad_index]) * self.restrained_goof
                        if tc.grad else 0.0 for tc in self.twin_components]
        names = [canonical(a, self.labels) for a in
                 ls.reparametrisation.component_annotations]
        # smtbx refines U*; the CIF's U^ij = U*^ij / (a*_i a*_j)
        rp = self.structure.unit_cell().reciprocal_parameters()
        index = {"u11": (0, 0), "u22": (1, 1), "u33": (2, 2),
                 "u12": (0, 1), "u13": (0, 2), "u23": (1, 2)}
        scale = np.array([1.0 / (rp[index[n.split()[1]][0]] * rp[index[n.split()[1]][1]])
                          if n.split()[1] in index else 1.0 for n in names])
        return names, cov * np.outer(scale, scale)


def canonical(annotation, labels):
    """smtbx's 'C1.U11' -> 'C1 u11', the label as the CIF spells it."""
    label, _, what = annotation.rpartition(".")
    what = what.lower()
    what = {"uiso": "uiso", "occ": "occ", "occupancy": "occ"}.get(what, what)
    return "%s %s" % (labels.get(label.upper(), label), what)


# ---------------------------------------------------------------- geometry

def cif_operators(block):
    xyz = (loop_column(block, "_space_group_symop_operation_xyz")
           or loop_column(block, "_symmetry_equiv_pos_as_xyz"))
    ids = (loop_column(block, "_space_group_symop_id")
           or loop_column(block, "_symmetry_equiv_pos_site_id"))
    if not xyz:
        return None
    ops = [sgtbx.rt_mx(s.replace(" ", "")) for s in xyz]
    if ids is None or len(ids) != len(xyz):
        ids = [str(i + 1) for i in range(len(xyz))]
    return dict(zip(ids, ops))


def site_operator(code, operators):
    """'.' or 'n_klm' or 'n' -> (rotation 3x3, translation 3)."""
    if code in (None, ".", "?"):
        return np.eye(3), np.zeros(3)
    match = re.match(r"^(\w+?)(?:_(\d)(\d)(\d))?$", code)
    if not match or match.group(1) not in operators:
        raise ValueError("site symmetry %s not understood" % code)
    op = operators[match.group(1)]
    r = np.array(op.r().as_double()).reshape(3, 3)
    t = np.array(op.t().as_double())
    if match.group(2):
        t = t + np.array([int(match.group(i)) - 5 for i in (2, 3, 4)])
    return r, t


class Geometry(object):
    """Distances and angles with s.u.'s from the coordinate covariance and
    the cell's s.u.'s (uncorrelated but for the ties of the lattice)."""

    def __init__(self, structure, names, cov, block):
        self.cell = list(structure.unit_cell().parameters())
        self.index = {name.upper(): i for i, name in enumerate(names)}
        self.cov = cov
        self.sites = {sc.label.upper(): np.array(sc.site)
                      for sc in structure.scatterers()}
        self.operators = cif_operators(block) or {
            str(i + 1): op for i, op in
            enumerate(structure.space_group().all_ops())}
        self.cell_su = [number_and_su(item(block, t))[1] or 0.0 for t in (
            "_cell_length_a", "_cell_length_b", "_cell_length_c",
            "_cell_angle_alpha", "_cell_angle_beta", "_cell_angle_gamma")]
        self.cell_directions = self.lattice_ties(structure)

    def lattice_ties(self, structure):
        """Independent cell variables: direction in (a b c al be ga), s.u."""
        a, b, c, al, be, ga = self.cell
        su = self.cell_su
        same = lambda x, y: abs(x - y) < 1e-4
        right = lambda x: same(x, 90.0)
        system = structure.space_group().crystal_system()
        directions = []
        if system == "Cubic":
            directions.append(([1, 1, 1, 0, 0, 0], su[0]))
        elif system in ("Tetragonal", "Hexagonal") or (
                system == "Trigonal" and same(ga, 120.0)):
            directions.append(([1, 1, 0, 0, 0, 0], su[0]))
            directions.append(([0, 0, 1, 0, 0, 0], su[2]))
        elif system == "Trigonal":  # rhombohedral axes
            directions.append(([1, 1, 1, 0, 0, 0], su[0]))
            directions.append(([0, 0, 0, 1, 1, 1], su[3]))
        else:
            for i in range(3):
                directions.append(([1 if j == i else 0 for j in range(6)], su[i]))
            for i in range(3, 6):
                if system == "Triclinic" or not right(self.cell[i]):
                    directions.append(([1 if j == i else 0 for j in range(6)], su[i]))
        return [(np.array(d, float), s) for d, s in directions if s]

    def orthogonaliser(self, cell):
        return np.array(uctbx.unit_cell(cell).orthogonalization_matrix()).reshape(3, 3)

    def points(self, atoms, codes, cell):
        m = self.orthogonaliser(cell)
        result = []
        for atom, code in zip(atoms, codes):
            r, t = site_operator(code, self.operators)
            result.append((m.dot(r.dot(self.sites[atom.upper()]) + t), m, r))
        return result

    def measure(self, kind, atoms, codes, cell=None):
        cell = self.cell if cell is None else cell
        p = [x for x, _, _ in self.points(atoms, codes, cell)]
        if kind == "bond":
            return float(np.linalg.norm(p[1] - p[0]))
        u, v = p[0] - p[1], p[2] - p[1]
        cosine = np.dot(u, v) / np.linalg.norm(u) / np.linalg.norm(v)
        return float(math.degrees(math.acos(max(-1.0, min(1.0, cosine)))))

    def value_and_su(self, kind, atoms, codes):
        value = self.measure(kind, atoms, codes)
        # coordinate part: numerical derivatives by fractional coordinates
        grad = {}
        h = 1e-6
        for n, atom in enumerate(atoms):
            base = self.sites[atom.upper()].copy()
            for axis, name in enumerate("xyz"):
                key = ("%s %s" % (atom, name)).upper()
                if key not in self.index:
                    continue
                shifted = []
                for sign in (1, -1):
                    self.sites[atom.upper()] = base.copy()
                    self.sites[atom.upper()][axis] += sign * h
                    shifted.append(self.measure(kind, atoms, codes))
                self.sites[atom.upper()] = base
                g = (shifted[0] - shifted[1]) / (2 * h)
                grad[self.index[key]] = grad.get(self.index[key], 0.0) + g
        idx = np.array(sorted(grad))
        g = np.array([grad[i] for i in idx])
        variance = float(g.dot(self.cov[np.ix_(idx, idx)]).dot(g)) if len(idx) else 0.0
        # the cell part
        for direction, su in self.cell_directions:
            step = 1e-5
            up = self.measure(kind, atoms, codes, list(np.array(self.cell) + step * direction))
            down = self.measure(kind, atoms, codes, list(np.array(self.cell) - step * direction))
            variance += ((up - down) / (2 * step) * su) ** 2
        return value, math.sqrt(max(variance, 0.0))


def paper_rows(block):
    """The paper's _geom_bond and _geom_angle rows."""
    rows = []
    labels1 = loop_column(block, "_geom_bond_atom_site_label_1") or []
    labels2 = loop_column(block, "_geom_bond_atom_site_label_2") or []
    dist = loop_column(block, "_geom_bond_distance") or []
    sym2 = loop_column(block, "_geom_bond_site_symmetry_2") or ["."] * len(dist)
    sym1 = loop_column(block, "_geom_bond_site_symmetry_1") or ["."] * len(dist)
    for a, b, d, s1, s2 in zip(labels1, labels2, dist, sym1, sym2):
        rows.append(("bond", [a, b], [s1, s2], d))
    l1 = loop_column(block, "_geom_angle_atom_site_label_1") or []
    l2 = loop_column(block, "_geom_angle_atom_site_label_2") or []
    l3 = loop_column(block, "_geom_angle_atom_site_label_3") or []
    ang = loop_column(block, "_geom_angle") or []
    s1 = loop_column(block, "_geom_angle_site_symmetry_1") or ["."] * len(ang)
    s2 = loop_column(block, "_geom_angle_site_symmetry_2") or ["."] * len(ang)
    s3 = loop_column(block, "_geom_angle_site_symmetry_3") or ["."] * len(ang)
    for a, b, c, v, x, y, z in zip(l1, l2, l3, ang, s1, s2, s3):
        rows.append(("angle", [a, b, c], [x, y, z], v))
    return rows


def riding_atoms(block):
    """Labels whose position is constrained (calc flag or refinement flag R)."""
    labels = loop_column(block, "_atom_site_label") or []
    calc = loop_column(block, "_atom_site_calc_flag") or ["."] * len(labels)
    posn = (loop_column(block, "_atom_site_refinement_flags_posn")
            or loop_column(block, "_atom_site_refinement_flags") or ["."] * len(labels))
    return {l.upper() for l, c, p in zip(labels, calc, posn)
            if c.lower() == "calc" or "R" in p}


# ------------------------------------------------------------------- run

def refined_by_shelxl(block):
    program = item(block, "_computing_structure_refinement") or ""
    return bool(re.search(r"shelxl|shelxtl", program, re.I)) and \
        not re.search(r"olex2\.refine", program, re.I)


def analyse(path, block_name=None, friedel_rule=True, lenient=False):
    name, block = load_block(path, block_name)
    res = item(block, "_shelx_res_file", "_iucr_refine_instructions_details")
    hkl = item(block, "_shelx_hkl_file", "_iucr_refine_reflections_details")
    fcf = item(block, "_shelx_fcf_file", "_iucr_refine_fcf_details")
    report = dict(block=name, file=os.path.basename(path),
                  program=(item(block, "_computing_structure_refinement") or "").strip(),
                  paper=dict(r1_gt=number_and_su(item(block, "_refine_ls_R_factor_gt"))[0],
                             wr2=number_and_su(item(block, "_refine_ls_wR_factor_ref"))[0],
                             goof=number_and_su(item(block, "_refine_ls_goodness_of_fit_ref"))[0],
                             n_reflections=number_and_su(item(block, "_refine_ls_number_reflns"))[0],
                             n_parameters=number_and_su(item(block, "_refine_ls_number_parameters"))[0]))
    if res is None or (hkl is None and fcf is None):
        report["status"] = "no embedded instructions and reflections"
        return report, None
    survey = survey_instructions(res)
    report["features"] = survey["features"]
    report["simple"] = not survey["features"]
    try:
        if hkl is not None:
            rows = parse_hkl(hkl, survey["hklf"][0])
            merged = False
        else:
            rows = parse_fcf(fcf)
            merged = True
            report["reflections_from"] = "fcf"
        refinement = Refinement(block, res, rows, merged, survey, lenient)
        names, cov = refinement.covariance()
    except Unsupported as why:
        report["status"] = "unsupported: %s" % why
        return report, None
    except Exception as why:  # smtbx refuses the model
        text = str(why).strip().splitlines()
        report["status"] = "smtbx refused the model: %s: %s" % (
            type(why).__name__, text[-1] if text else "")
        return report, None
    centric = refinement.structure.space_group().is_centric()
    factor = 1.0
    if not centric and refinement.fo_sq.anomalous_flag():
        factor = math.sqrt(refinement.fo_sq.size() / refinement.n_friedel_merged)
    applied = friedel_rule and refined_by_shelxl(block) and factor != 1.0
    if applied:
        cov = cov * factor ** 2
    dropped = [f for f in survey["features"] if f.split()[0] in LENIENT_DROPS] + \
        refinement.left_out
    report.update(status="ok (lenient: %s left out)" % ", ".join(dropped)
                  if lenient and dropped else "ok", centric=centric,
                  space_group=str(refinement.structure.space_group_info()),
                  n_reflections=refinement.n_obs,
                  n_reflections_friedel_merged=refinement.n_friedel_merged,
                  n_parameters=refinement.n_params, n_restraints=refinement.n_restraints,
                  n_gt=refinement.n_gt,
                  r1_gt=refinement.r1_gt, r1_all=refinement.r1_all,
                  wr2=refinement.wr2, goof=refinement.goof,
                  restrained_goof=refinement.restrained_goof,
                  friedel_factor=factor, friedel_rule_applied=applied,
                  twin_fractions=[dict(value=tc.value, su=su * (factor if applied else 1.0))
                                  for tc, su in zip(refinement.twin_components, refinement.twin_su)],
                  parameters=names,
                  su=[math.sqrt(max(cov[i, i], 0.0)) for i in range(len(names))],
                  covariance=[list(map(float, row[:i + 1])) for i, row in enumerate(cov)])
    geometry = Geometry(refinement.structure, names, cov, block)
    riding = riding_atoms(block)
    measures = []
    for kind, atoms, codes, published in paper_rows(block):
        entry = dict(kind=kind, atoms=atoms, site_symmetry=codes, paper=published,
                     riding=any(a.upper() in riding for a in atoms),
                     # an atom met twice (with its own symmetry image): the
                     # paper's s.u. is then about half the full propagation's
                     self_image=len({a.upper() for a in atoms}) < len(atoms))
        p_value, p_su = number_and_su(published)
        entry["paper_value"], entry["paper_su"] = p_value, p_su
        try:
            entry["value"], entry["su"] = geometry.value_and_su(kind, atoms, codes)
        except (KeyError, ValueError) as why:
            entry["error"] = str(why)
        measures.append(entry)
    report["measures"] = measures
    return report, (refinement, block, names, cov)


def printed_su_check(block, names, cov):
    """Share of the non-H s.u.'s that round to the CIF's printed ones: the
    coordinates, or where no coordinate is free (every atom on a special
    position) the U^ij.  Returns (good, total, what was compared)."""
    index = {n.upper(): i for i, n in enumerate(names)}
    labels = loop_column(block, "_atom_site_label") or []
    types = loop_column(block, "_atom_site_type_symbol") or labels
    element = {l.upper(): t for l, t in zip(labels, types)}
    hydrogen = lambda label: re.match(
        r"^[HD]$", re.sub(r"[^A-Za-z]", "", element.get(label.upper(), label)), re.I)

    def compare(rows):
        good = total = 0
        for label, what, text in rows:
            if hydrogen(label):
                continue
            value, su = number_and_su(text)
            key = ("%s %s" % (label, what)).upper()
            if su is None or key not in index:
                continue
            unit = 10.0 ** round(math.log10(su / int(re.search(r"\((\d+)\)", text).group(1))))
            ours = math.sqrt(max(cov[index[key], index[key]], 0.0)) / unit
            printed = su / unit
            total += 1
            if abs(round(ours) - printed) <= 1 or abs(ours - printed) <= 0.1 * printed:
                good += 1
        return good, total

    rows = [(l, axis, t) for axis in "xyz"
            for l, t in zip(labels, loop_column(block, "_atom_site_fract_" + axis) or [])]
    good, total = compare(rows)
    if total:
        return good, total, "coordinate"
    aniso = loop_column(block, "_atom_site_aniso_label") or []
    rows = [(l, "u" + ij, t) for ij in ("11", "22", "33", "12", "13", "23")
            for l, t in zip(aniso, loop_column(block, "_atom_site_aniso_U_" + ij) or [])]
    good, total = compare(rows)
    return good, total, "U^ij"


def print_table(report):
    print("%s (%s): %s" % (report["block"], report["file"], report["status"]))
    if not report["status"].startswith("ok"):
        return
    paper = report["paper"]
    print("  %s, %d reflections (%d with Friedel pairs merged), %d parameters"
          % (report["space_group"], report["n_reflections"],
             report["n_reflections_friedel_merged"], report["n_parameters"]))
    print("  R1 %.4f (paper %s)  wR2 %.4f (paper %s)  GooF %.3f (paper %s)"
          % (report["r1_gt"], paper["r1_gt"], report["wr2"], paper["wr2"],
             report["goof"], paper["goof"]))
    print("  Friedel factor %.3f %s" % (report["friedel_factor"],
                                          "applied" if report["friedel_rule_applied"] else "not applied"))
    for m in report["measures"]:
        if "error" in m:
            print("  %-5s %-20s %s" % (m["kind"], "-".join(m["atoms"]), m["error"]))
            continue
        ratio = m["su"] / m["paper_su"] if m["paper_su"] else float("nan")
        print("  %-5s %-20s %10.4f %8.4f   paper %-12s ratio %.2f%s"
              % (m["kind"], "-".join(m["atoms"]), m["value"], m["su"], m["paper"],
                 ratio, "  (riding)" if m["riding"] else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cif", nargs="+")
    parser.add_argument("--block")
    parser.add_argument("--json", metavar="OUT")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--no-friedel-rule", action="store_true")
    parser.add_argument("--lenient", action="store_true",
                        help="leave SAME, SUMP, BUMP and restraints iotbx cannot take as "
                             "written out instead of refusing the block")
    args = parser.parse_args()
    if args.check:
        return max(self_check(path, args.block) for path in args.cif)
    if len(args.cif) != 1:
        parser.error("one CIF at a time, except with --check")
    report, model = analyse(args.cif[0], args.block, not args.no_friedel_rule, args.lenient)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f)
    else:
        print_table(report)
    return 0 if model is not None else 2


def self_check(path, block_name):
    """R1 within 0.002 of the paper's; s.u.'s as printed (coordinates, or
    U^ij where no coordinate is free)."""
    report, model = analyse(path, block_name)
    if model is None:
        print("lsq_reference: %s: %s" % (path, report["status"]), file=sys.stderr)
        return 2
    refinement, block, names, cov = model
    good, total, what = printed_su_check(block, names, cov)
    r1_ok = abs(report["r1_gt"] - report["paper"]["r1_gt"]) <= 0.002
    su_ok = total > 0 and good >= 0.75 * total
    print("%s: R1 %.4f (paper %.4f) %s; %s s.u.'s %d of %d as printed %s"
          % (report["block"], report["r1_gt"], report["paper"]["r1_gt"],
             "ok" if r1_ok else "FAIL", what, good, total, "ok" if su_ok else "FAIL"))
    return 0 if r1_ok and su_ok else 1


if __name__ == "__main__":
    sys.exit(main())
