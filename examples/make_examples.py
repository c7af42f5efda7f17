#!/usr/bin/env python3
"""Writes the example experiments of this folder: NAME.EXP and NAME.CMT.

Cells, space groups and coordinates are published values (each experiment's
title names the paper). The covariance files are not the refinements' own:
they are diagonal matrices built from the published standard uncertainties
of the coordinates where the paper gives them, and from typical values where
it does not (marked below), with the constraints of the special positions
written as the refinement would hold them. Displacement parameters without a
published value are illustrative; vortan does not use them.

Run from anywhere: python3 examples/make_examples.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def field(text, width):
    return (text + " " * width)[:width]


def f10(value, decimals=5):
    return field("%10.*f" % (decimals, value), 10)


class Experiment:
    def __init__(self, name, title):
        self.name = name
        self.records = []
        self.add("     VERSION", "%5d" % 6)
        self.add("      DESCR ", "  " + title)
        self.add("    HSTRY  1", "example written by make_examples.py")
        self.add(" EXPR NPHAS ", "%5d" % 1 + "%5d" % 0 * 8)

    def add(self, key, value):
        assert len(key) == 12, key
        assert len(value) <= 68, (key, value)
        self.records.append(field(key, 12) + field(value, 68))

    def types(self, types):
        self.add(" EXPR  NATYP", "%5d" % len(types))
        for n, (symbol, bond, angle) in enumerate(types, 1):
            self.add(" EXPR ATYP%2d" % n, "  " + field(symbol, 8) + " " * 5 + "%10.2f%10.2f" % (bond, angle))

    def phase(self, name, abc, abc_sigma, angles, angle_sigma, symbol):
        self.add("CRS1  PNAM  ", "  " + name)
        self.add("CRS1  ABC   ", "".join(f10(v) for v in abc))
        self.add("CRS1  ABCSIG", "".join(f10(v) for v in abc_sigma))
        self.add("CRS1  ANGLES", "".join(f10(v) for v in angles))
        self.add("CRS1  ANGSIG", "".join(f10(v) for v in angle_sigma))
        self.add("CRS1  SG SYM", "  " + symbol)

    def atoms(self, atoms):
        self.add("CRS1   NATOM", "%5d" % len(atoms))
        for n, (label, type_symbol, x, fraction, uiso) in enumerate(atoms, 1):
            a = "  " + field(type_symbol, 8) + "".join(f10(v) for v in x) + f10(fraction) + field(label, 8)
            a += "   1" + " " + "   "
            self.add("CRS1  AT%3dA" % n, a)
            self.add("CRS1  AT%3dB" % n, f10(uiso) + " " * 52 + "I   ")

    def least_squares(self, ncycle, figure):
        summary = field("Example refinement, last cycle:", 43) + "%4d" % ncycle
        self.add("  RFFN  RUN ", field(summary, 49) + "%15.4f" % figure)
        self.add("  RFFN CDAT1", "  " + "WGHT   1" + "MXCY  10" + "CVRG-200")

    def controls(self, words):
        self.add("  VRTN CDAT1", words)

    def write(self):
        self.records.sort()
        self.records.append(field("ZZZZZZZZZZZZ", 12) + field("end of file", 68))
        with open(os.path.join(HERE, self.name + ".EXP"), "wb") as out:
            for record in self.records:
                assert len(record) == 80
                out.write(record.encode("ascii") + b"\r\n")


def parameter_name(atom, item):
    return "1%3d" % atom + field(item, 4)


def write_covariance(name, ncycle, figure, parameters):
    """parameters: list of (atom, item, sigma, [(variable, coefficient)]) with
    variables numbered from 1; each variable's sigma is taken from the first
    parameter that names it with coefficient +-1."""
    names = [parameter_name(atom, item) for atom, item, _, _ in parameters]
    variance = {}
    for _, _, sigma, entries in parameters:
        for variable, coefficient in entries:
            variance.setdefault(variable, (sigma / abs(coefficient)) ** 2)
    nvar = max(variance)
    packed = []
    for i in range(1, nvar + 1):  # upper triangle row by row
        for j in range(i, nvar + 1):
            packed.append(variance[i] if i == j else 0.0)
    constraints = []
    for p, (_, _, _, entries) in enumerate(parameters, 1):
        for variable, coefficient in entries:
            constraints.append((p * 46340 + variable, coefficient))

    def record(data):
        return struct.pack("<i", len(data)) + data + struct.pack("<i", len(data))

    r1 = struct.pack("<ii", ncycle, len(names)) + b"".join(n.encode("ascii") for n in names)
    r1 += struct.pack("<i", nvar) + b"".join(field("VAR%d" % v, 8).encode("ascii") for v in range(1, nvar + 1))
    r1 += struct.pack("<f", figure)
    r2 = struct.pack("<ii", len(packed), 0) + b"".join(struct.pack("<f", v) for v in packed)
    r3 = struct.pack("<i", len(constraints)) + b"".join(struct.pack("<if", c, a) for c, a in constraints)
    with open(os.path.join(HERE, name + ".CMT"), "wb") as out:
        out.write(record(r1) + record(r2) + record(r3))


def quartz():
    # Will, Bellotto, Parrish & Hart (1988), J. Appl. Cryst. 21, 182-191:
    # cell and coordinates with their published s.u.'s.
    e = Experiment("QUARTZ", "alpha-quartz SiO2, Will et al. (1988) J. Appl. Cryst. 21, 182")
    e.types([("Si", 1.20, 1.20), ("O", 0.90, 0.90)])
    e.phase("alpha-quartz, synchrotron powder data", (4.91239, 4.91239, 5.40385), (0.00004, 0.00004, 0.00007),
            (90, 90, 120), (0, 0, 0), "P 32 2 1")
    e.atoms([("Si1", "Si", (0.4701, 0.0, 0.6667), 1.0, 0.0066),   # 3a (x, 0, 2/3)
             ("O1", "O", (0.4139, 0.2674, 0.7856), 1.0, 0.0135)])
    e.least_squares(12, 0.022)
    e.controls("DMAX 3.2 DAGL 2.0")
    e.write()
    write_covariance("QUARTZ", 12, 0.022, [
        (1, "X", 0.0004, [(1, 1.0)]),
        (2, "X", 0.0007, [(2, 1.0)]),
        (2, "Y", 0.0007, [(3, 1.0)]),
        (2, "Z", 0.0006, [(4, 1.0)]),
    ])


def spinel():
    # Redfern, Harrison, O'Neill & Wood (1999), Am. Mineral. 84, 299-310,
    # neutron data at 299 K: partly inverse MgAl2O4, Fd-3m origin at -3m.
    # The paper's coordinates carry no s.u.'s here: those below are typical
    # (marked "typical").
    e = Experiment("SPINEL", "MgAl2O4 spinel, Redfern et al. (1999) Am. Mineral. 84, 299")
    e.types([("Mg", 1.10, 1.10), ("Al", 1.10, 1.10), ("O", 1.10, 1.10)])
    e.phase("spinel at 299 K, Mg/Al inversion 0.218", (8.0836, 8.0836, 8.0836), (0.0001, 0.0001, 0.0001),
            (90, 90, 90), (0, 0, 0), "F d -3 m")
    e.atoms([("Mg1", "Mg", (0.125, 0.125, 0.125), 0.782, 0.00277),  # 8a tetrahedral
             ("Al1", "Al", (0.125, 0.125, 0.125), 0.218, 0.00277),
             ("Al2", "Al", (0.5, 0.5, 0.5), 0.891, 0.00365),        # 16d octahedral
             ("Mg2", "Mg", (0.5, 0.5, 0.5), 0.109, 0.00365),
             ("O1", "O", (0.26171, 0.26171, 0.26171), 1.0, 0.00640)])  # 32e (u, u, u)
    e.least_squares(8, 0.034)
    e.controls("DMAX 3.0 DAGL 2.1")
    e.write()
    write_covariance("SPINEL", 8, 0.034, [
        # One inversion parameter: Al on the tetrahedral site goes with Mg on
        # the octahedral one (typical s.u. 0.004).
        (1, "FRAC", 0.004, [(1, -1.0)]),
        (2, "FRAC", 0.004, [(1, 1.0)]),
        (3, "FRAC", 0.002, [(1, -0.5)]),
        (4, "FRAC", 0.002, [(1, 0.5)]),
        # (u, u, u): one variable for all three coordinates (typical s.u. 0.00003).
        (5, "X", 0.00003, [(2, 1.0)]),
        (5, "Y", 0.00003, [(2, 1.0)]),
        (5, "Z", 0.00003, [(2, 1.0)]),
    ])


def ferrocene():
    # Brock & Fu (1997), Acta Cryst. B53, 928-938, neutron data: the
    # monoclinic high-temperature phase, P 1 21/a 1, Fe on the inversion
    # centre; C with the published s.u.'s, H positions given without.
    e = Experiment("FERROCENE", "ferrocene C10H10Fe, Brock & Fu (1997) Acta Cryst. B53, 928")
    e.types([("Fe", 1.30, 1.30), ("C", 0.90, 0.90), ("H", 0.40, 0.40)])
    e.phase("ferrocene, monoclinic phase, neutron data", (10.443, 7.572, 5.824), (0.005, 0.004, 0.004),
            (90, 120.95, 90), (0, 0.08, 0), "P 21/a")
    c = [("C11", (0.0227, 0.2623, -0.0218)), ("C12", (0.0395, 0.1790, -0.2170)), ("C13", (0.1593, 0.0635, -0.0900)),
         ("C14", (0.2165, 0.0753, 0.1836)), ("C15", (0.1322, 0.1982, 0.2258))]
    h = [("H11", (-0.0624, 0.3567, -0.0567)), ("H12", (-0.0304, 0.1975, -0.4297)), ("H13", (0.1985, -0.0233, -0.1871)),
         ("H14", (0.3079, -0.0006, 0.3359)), ("H15", (0.1467, 0.2342, 0.4165))]
    atoms = [("Fe1", "Fe", (0.0, 0.0, 0.0), 1.0, 0.04)]
    atoms += [(label, "C", x, 1.0, 0.06) for label, x in c]
    atoms += [(label, "H", x, 1.0, 0.08) for label, x in h]
    e.atoms(atoms)
    e.least_squares(15, 0.061)
    e.controls("DFLT DFLT NOFR ONCR")
    e.write()
    sigmas = [(0.0004, 0.0004, 0.0010), (0.0003, 0.0005, 0.0006), (0.0004, 0.0004, 0.0008),
              (0.0004, 0.0005, 0.0007), (0.0005, 0.0005, 0.0007)]
    parameters = []
    variable = 0
    for n, s in enumerate(sigmas):
        for item, sigma in zip(("X", "Y", "Z"), s):
            variable += 1
            parameters.append((2 + n, item, sigma, [(variable, 1.0)]))
    write_covariance("FERROCENE", 15, 0.061, parameters)


if __name__ == "__main__":
    quartz()
    spinel()
    ferrocene()
