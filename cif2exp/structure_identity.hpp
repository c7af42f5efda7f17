// What a structure is, for the marks set on it: its content (the symmetry
// symbol, the cell, and each atom's label, type and place as NAME.EXP holds
// them), not the CIF file or block it came from. A conversion into an
// experiment that held another content moves the old marks files aside;
// the marks of atoms that are still there (the same label and type, within
// kSameSite of the same place, under the same symmetry) are carried to
// their new numbers by the next vortan run, and every other mark stays in
// the file set aside.
#pragma once
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace cif2exp {

// An atom moved less than this is the same atom; a refinement moves atoms
// by hundredths of an Angstrom.
constexpr double kSameSite = 0.2;  // Angstrom

struct StructureSite {
  std::string label;
  std::string type;
  std::array<double, 3> x{};  // fractional, as NAME.EXP holds them
};

struct StructureContent {
  std::string symmetry;         // the symbol in NAME.EXP; empty: not known (an older NAME.CIFSRC)
  std::array<double, 6> cell{};
  std::vector<StructureSite> sites;
};

// The atoms of `before` that are still there in `now`: (number before,
// number now), from 1, in the order of `before`; none when the symmetry
// differs or `before` is not known. `same` when every atom is still there
// under its number and no atom is new: the marks stay as they are.
struct CarriedAtoms {
  bool same = false;
  std::vector<std::pair<int, int>> atoms;
  std::vector<std::string> gone;  // labels of atoms before that are not there now
};
CarriedAtoms carried_atoms(const StructureContent& before, const StructureContent& now);

// The atoms of a carry made before, followed through a second one: the
// marks of a file set aside two conversions ago that no run has carried yet.
std::vector<std::pair<int, int>> followed(const std::vector<std::pair<int, int>>& first,
                                          const std::vector<std::pair<int, int>>& then);

}  // namespace cif2exp
