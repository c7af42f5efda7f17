#include "geometry/molecules.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <unordered_map>
#include <set>
#include <utility>

namespace vesk {

namespace {

// Positions compared to 1.0E-4 of a cell edge, as GENEQ compares them.
constexpr double kPositionSteps = 10000.0;

using PositionKey = std::array<long long, 3>;

PositionKey key_of(const Vec3d& x) {
  return {std::llround(x[0] * kPositionSteps), std::llround(x[1] * kPositionSteps),
          std::llround(x[2] * kPositionSteps)};
}

PositionKey reduced(const PositionKey& key) {
  const long long steps = static_cast<long long>(kPositionSteps);
  PositionKey result{};
  for (std::size_t i = 0; i < 3; ++i) result[i] = ((key[i] % steps) + steps) % steps;
  return result;
}

// An image as a hash key: the atom and its position.
using ImageKey = std::pair<int, PositionKey>;
struct ImageKeyHash {
  std::size_t operator()(const ImageKey& k) const {
    std::size_t h = static_cast<std::size_t>(k.first);
    for (long long v : k.second) h = h * 1000003u ^ std::hash<long long>()(v);
    return h;
  }
};

enum class Placement { added, present, translated };

struct Builder {
  const PhaseDescription& phase;
  const BondGraph& bonds;
  std::size_t most_atoms;
  DrawnStructure drawn;
  std::unordered_map<ImageKey, std::size_t, ImageKeyHash> placed;  // atom and position -> index
  std::unordered_map<ImageKey, PositionKey, ImageKeyHash> in_cell;  // atom and reduced position -> position

  // The image of `atom` by `op`, unless it is drawn already. With
  // `whole_molecules` an image one lattice translation away from a drawn
  // image of the same atom is not added: the bonds run on without end.
  Placement place(int atom, const SymmetryOperation& op, bool whole_molecules, std::size_t& index) {
    const Vec3d x = image_of(op, phase.atoms[static_cast<std::size_t>(atom - 1)].x);
    const PositionKey key = key_of(x);
    if (auto found = placed.find({atom, key}); found != placed.end()) {
      index = found->second;
      return Placement::present;
    }
    const auto cell = in_cell.emplace(std::make_pair(atom, reduced(key)), key);
    if (whole_molecules && !cell.second) return Placement::translated;
    index = drawn.atoms.size();
    drawn.atoms.push_back({atom, op, x});
    placed.emplace(std::make_pair(atom, key), index);
    return Placement::added;
  }

  void clear() {
    drawn = DrawnStructure{};
    placed.clear();
    in_cell.clear();
  }

  // False when the bonds make a network (or more images than are drawn).
  bool molecules() {
    const int atoms = static_cast<int>(phase.atoms.size());
    std::vector<bool> started(static_cast<std::size_t>(atoms), false);
    for (int first = 1; first <= atoms; ++first) {
      if (started[static_cast<std::size_t>(first - 1)]) continue;
      std::size_t index = 0;
      if (place(first, SymmetryOperation{}, true, index) == Placement::translated) return false;
      std::deque<std::size_t> queue{index};
      while (!queue.empty()) {
        const DrawnAtom from = drawn.atoms[queue.front()];
        queue.pop_front();
        started[static_cast<std::size_t>(from.atom - 1)] = true;
        for (const Bond& bond : bonds.bonds_of(from.atom)) {
          const SymmetryOperation op = compose(from.op, bond_operation(phase.group, bond));
          const Placement placement = place(bond.atom, op, true, index);
          if (placement == Placement::translated || drawn.atoms.size() > most_atoms) return false;
          if (placement == Placement::added) queue.push_back(index);
        }
      }
    }
    return true;
  }

  void coordination_shells() {
    const int atoms = static_cast<int>(phase.atoms.size());
    std::size_t index = 0;
    for (int atom = 1; atom <= atoms; ++atom) place(atom, SymmetryOperation{}, false, index);
    for (int atom = 1; atom <= atoms; ++atom)
      for (const Bond& bond : bonds.bonds_of(atom)) place(bond.atom, bond_operation(phase.group, bond), false, index);
  }

  // Every bond of the graph whose both ends are drawn, once.
  void connect() {
    std::set<std::pair<std::size_t, std::size_t>> seen;
    for (std::size_t i = 0; i < drawn.atoms.size(); ++i) {
      const DrawnAtom from = drawn.atoms[i];
      for (const Bond& bond : bonds.bonds_of(from.atom)) {
        const SymmetryOperation op = compose(from.op, bond_operation(phase.group, bond));
        const Vec3d x = image_of(op, phase.atoms[static_cast<std::size_t>(bond.atom - 1)].x);
        const auto found = placed.find({bond.atom, key_of(x)});
        if (found == placed.end() || found->second == i) continue;
        const auto pair = std::minmax(i, found->second);
        if (seen.insert(pair).second) drawn.bonds.push_back({pair.first, pair.second});
      }
    }
  }
};

}  // namespace

DrawnStructure complete_molecules(const PhaseDescription& phase, const BondGraph& bonds, std::size_t most_atoms,
                                  bool shells) {
  Builder builder{phase, bonds, most_atoms, {}, {}, {}};
  if (bonds.of_atom.size() != phase.atoms.size()) {
    // No bonds were searched: the asymmetric unit alone.
    BondGraph none;
    start_bond_graph(none, phase.atoms.size());
    Builder alone{phase, none, most_atoms, {}, {}, {}};
    alone.coordination_shells();
    return alone.drawn;
  }
  if (!builder.molecules()) {
    builder.clear();
    builder.drawn.network = true;
    if (!shells) return builder.drawn;
    builder.coordination_shells();
  }
  builder.connect();
  return builder.drawn;
}

}  // namespace vesk
