#include "tests/support/random_structure.hpp"

#include <random>
#include <string>

#include "crystal/spacegroup.hpp"
#include "recio/error.hpp"

namespace testing_support {

using namespace vesk;

PhaseDescription random_phase(const RandomPhaseRequest& request) {
  PhaseDescription phase;
  phase.number = 1;
  phase.symbol = std::string(request.symbol);
  phase.symbol.resize(20, ' ');
  SGINTERP(request.symbol, -1, phase.group);
  if (phase.group.failed()) throw Error("Space group " + std::string(request.symbol) + " not read");
  const auto& cell = request.cell;
  phase.abc = {cell[0], cell[1], cell[2]};
  CELLMATRIX(cell[0], cell[1], cell[2], cell[3], cell[4], cell[5], phase.orthogonal, phase.inverse);
  for (std::size_t k = 0; k < 3; ++k) phase.cosines[k] = COSD(cell[k + 3]);
  phase.general_multiplicity = phase.group.general_multiplicity();
  for (std::size_t n = 0; n < static_cast<std::size_t>(phase.group.nsym); ++n)
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j) at(phase.rotation_t[n], i, j) = static_cast<float>(phase.group.ops[n].r(j, i));

  std::mt19937 random(request.seed);
  std::uniform_real_distribution<float> radius(0.4f, 1.7f);
  for (int t = 1; t <= request.types; ++t) {
    AtomType type;
    type.symbol = "T" + std::to_string(t);
    type.symbol.resize(8, ' ');
    type.angle_radius = radius(random);
    type.bond_radius = std::max(type.angle_radius, radius(random));
    if (request.negative_type && t == request.types) type.bond_radius = type.angle_radius = -1;
    phase.types.push_back(type, "atom types");
  }
  std::uniform_real_distribution<float> coordinate(1 - request.coordinate_range, request.coordinate_range);
  std::uniform_int_distribution<int> which(1, request.types);
  for (int i = 1; i <= request.atoms; ++i) {
    AtomSite atom;
    atom.label = "A" + std::to_string(i);
    atom.label.resize(8, ' ');
    atom.type = which(random);
    atom.type_symbol = phase.types[static_cast<std::size_t>(atom.type - 1)].symbol;
    atom.x = {coordinate(random), coordinate(random), coordinate(random)};
    atom.fraction = 1;
    atom.record = i;
    phase.atoms.push_back(atom, "atoms");
  }
  return phase;
}

}  // namespace testing_support
