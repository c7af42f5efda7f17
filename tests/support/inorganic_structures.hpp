// Small inorganic structures for the bond-valence and polyhedra tests, with
// a plain neighbour search on gemmi's space-group operations (independent of
// the programs' own search): every image of every atom in the cells around,
// within a limit.
#pragma once
#include <string>
#include <vector>

#include "geometry/points_measure.hpp"

namespace testing_support {

struct TestAtom {
  std::string label;
  std::string element;
  int oxidation_state = 0;
  double x = 0, y = 0, z = 0;  // fractional
  double occupancy = 1.0;
  double bond_limit = 2.3;  // Angstrom, for a cation: its bonds to anions
};

struct TestStructure {
  std::string name;
  double a = 0, b = 0, c = 0, alpha = 90, beta = 90, gamma = 90;  // Angstrom, degrees
  std::string spacegroup;  // Hermann-Mauguin, as gemmi names it
  std::vector<TestAtom> atoms;
};

struct TestNeighbour {
  std::size_t atom = 0;         // index into TestStructure::atoms
  vesk::Point3d position{};     // Cartesian
  double distance = 0.0;
};

// The bundled quartz and spinel (examples/QUARTZ.EXP, SPINEL.EXP): quartz's
// Si at z = 2/3 exactly (0.66670 there), spinel without its Mg/Al inversion.
TestStructure quartz();
TestStructure spinel();
// LaMnO3 as tests/data/cod_1006141_LaMnO3.cif gives it (COD 1006141).
TestStructure lamno3();

vesk::Point3d cartesian(const TestStructure& s, double x, double y, double z);
// The atom's position in the cell given, Cartesian.
vesk::Point3d position(const TestStructure& s, std::size_t atom);
// Positions of the atom in the unit cell.
int multiplicity(const TestStructure& s, std::size_t atom);
// Images of atoms of opposite sign within the cation's bond limit of atom
// i, nearest first.
std::vector<TestNeighbour> bonded_neighbours(const TestStructure& s, std::size_t i);
// Every image of atom j within `limit` of a point (the point itself left
// out), nearest first.
std::vector<TestNeighbour> images_near(const TestStructure& s, const vesk::Point3d& centre, std::size_t j, double limit);

}  // namespace testing_support
