#include "geometry/molecule_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "geometry/chemical_bonds.hpp"
#include "geometry/disjoint_sets.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/measure.hpp"
#include "geometry/molecules.hpp"
#include "geometry/net_rings.hpp"
#include "geometry/planes.hpp"
#include "geometry/rigid_bond.hpp"
#include "geometry/rings.hpp"
#include "recio/error.hpp"

namespace vesk {

bool heavier_than_helium(const std::string& type_symbol) {
  const int element = element_of_type(type_symbol);
  return element > 2 && !is_hydrogen(element);  // D is numbered apart from H
}

AnalysisFrame::AnalysisFrame(const PhaseDescription& phase, const CellCovariance& cell,
                             const ParameterCovariance& covariance)
    : phase(phase), frame(cell_frame(phase.abc, phase.cosines)), cell(in_double(cell)), covariance(covariance) {}

ImagePoint AnalysisFrame::point(const AnalysisImage& image) const {
  return image_point(frame, image.atom, site(image.atom).x, image.op, site(image.atom).x_position);
}

std::vector<ImagePoint> AnalysisFrame::points(const std::vector<AnalysisImage>& images) const {
  std::vector<ImagePoint> result;
  for (const AnalysisImage& image : images) result.push_back(point(image));
  return result;
}

MeasuredValue AnalysisFrame::measured(std::span<const ImagePoint> points, const PointMeasure& measure, double scale,
                                      std::span<const ParameterDerivative> extra) const {
  if (!measure.defined) return MeasuredValue{0, 0, false};
  const double variance = propagated_variance(frame, points, measure, cell, covariance, extra);
  return MeasuredValue{measure.value * scale, std::sqrt(std::abs(variance)) * scale, true};
}

namespace {

std::vector<Cart3> cartesians(const std::vector<ImagePoint>& points) {
  std::vector<Cart3> result;
  for (const ImagePoint& p : points) result.push_back({p.cart[0], p.cart[1], p.cart[2]});
  return result;
}

PlaneAnalysis analyse_plane(const AnalysisFrame& work, const std::vector<AnalysisImage>& atoms,
                            const std::vector<AnalysisImage>& others) {
  PlaneAnalysis plane;
  plane.atoms = atoms;
  const std::vector<ImagePoint> points = work.points(atoms);
  const LeastSquaresPlane lsp = least_squares_plane(cartesians(points));
  plane.defined = lsp.defined;
  if (!lsp.defined) return plane;
  plane.normal = lsp.normal;
  for (std::size_t k = 0; k < 3; ++k)
    plane.reciprocal_normal[k] =
        lsp.normal[0] * work.frame.m[0][k] + lsp.normal[1] * work.frame.m[1][k] + lsp.normal[2] * work.frame.m[2][k];
  plane.rms = work.measured(points, plane_rms_deviation(lsp));
  for (std::size_t i = 0; i < atoms.size(); ++i)
    plane.deviations.push_back({atoms[i], work.measured(points, plane_deviation(lsp, i)), true});
  std::vector<ImagePoint> with_other = points;
  with_other.emplace_back();
  for (const AnalysisImage& other : others) {
    with_other.back() = work.point(other);
    const Cart3 q{with_other.back().cart[0], with_other.back().cart[1], with_other.back().cart[2]};
    if (vec3::length(vec3::minus(q, lsp.centroid)) > kDeviationReach) continue;
    plane.deviations.push_back({other, work.measured(with_other, plane_deviation(lsp, q)), false});
  }
  return plane;
}

void puckering_of(const AnalysisFrame& work, RingAnalysis& ring) {
  const std::vector<ImagePoint> points = work.points(ring.atoms);
  const RingPuckering p = ring_puckering(cartesians(points));
  ring.puckering = p.defined;
  if (!p.defined) return;
  ring.total = work.measured(points, p.total);
  ring.theta = work.measured(points, p.theta, kDegreesPerRadian);
  for (const PuckeringTerm& term : p.terms)
    ring.terms.push_back({term.m, work.measured(points, term.amplitude),
                          work.measured(points, term.phase, kDegreesPerRadian)});
  ring.conformation = p.conformation;
}

// Rigid-bond rows for every chemical bond between two anisotropic atoms
// heavier than He, each bond once.
void rigid_bonds(const AnalysisFrame& work, const PhaseGeometry& geometry, MoleculeAnalysis& analysis) {
  const PhaseDescription& phase = work.phase;
  auto anisotropic = [&](int atom) {
    const AtomSite& site = phase.atoms[static_cast<std::size_t>(atom - 1)];
    return site.kind[0] != 'I' && heavier_than_helium(site.type_symbol);
  };
  std::set<std::pair<int, long long>> self_bonds;  // an atom bonded to its own image, by length
  for (int i = 1; i <= static_cast<int>(geometry.bonds.of_atom.size()); ++i) {
    if (!anisotropic(i)) continue;
    for (const Bond& bond : geometry.bonds.bonds_of(i)) {
      if (bond.atom < i || !anisotropic(bond.atom)) continue;
      // The image's own bond back to the atom is the same bond.
      if (bond.atom == i && !self_bonds.insert({i, std::llround(bond.d * 1.0e4)}).second) continue;
      const AnalysisImage a{i, SymmetryOperation{}};
      const AnalysisImage b{bond.atom, bond_operation(phase.group, bond)};
      const std::vector<ImagePoint> points{work.point(a), work.point(b)};
      const AtomSite& sa = phase.atoms[static_cast<std::size_t>(i - 1)];
      const AtomSite& sb = phase.atoms[static_cast<std::size_t>(bond.atom - 1)];
      const RigidBondTest test = rigid_bond_test(
          {points[0].cart[0], points[0].cart[1], points[0].cart[2]}, cartesian_displacement(work.frame.m, sa.u),
          {points[1].cart[0], points[1].cart[1], points[1].cart[2]},
          cartesian_displacement(work.frame.m, sb.u, b.op.rotation));
      if (!test.defined) continue;
      auto measured = [&](const RigidBondMeasure& m) {
        std::vector<ParameterDerivative> extra;
        for (std::size_t k = 0; k < 12; ++k) {
          const int position = k < 6 ? sa.u_position[k] : sb.u_position[k - 6];
          if (position > 0 && m.du[k] != 0) extra.push_back({position, m.du[k]});
        }
        return work.measured(points, m.measure, 1, extra);
      };
      RigidBondRow row{a, b, measured(test.msda_a), measured(test.msda_b), measured(test.delta), false};
      row.flagged = rigid_bond_flagged(row.delta.value, row.delta.su);
      analysis.flagged += row.flagged ? 1 : 0;
      analysis.rigid_bond.push_back(std::move(row));
    }
  }
}

}  // namespace

const char* relation_name(PlaneRelation relation) {
  switch (relation) {
    case PlaneRelation::Fused: return "fused";
    case PlaneRelation::Bonded: return "bonded";
    case PlaneRelation::Close: return "close";
    case PlaneRelation::UserPlane: return "plan";
    case PlaneRelation::Requested: return "requested";
  }
  return "requested";
}

namespace {

// An image named by its atom and its position to 1.0E-4 of a cell edge, as
// the molecules are completed.
using Place = std::pair<int, std::array<long long, 3>>;

Place place_of(const PhaseDescription& phase, int atom, const SymmetryOperation& op) {
  const Vec3d x = image_of(op, phase.atoms[static_cast<std::size_t>(atom - 1)].x);
  return {atom, {std::llround(x[0] * 1e4), std::llround(x[1] * 1e4), std::llround(x[2] * 1e4)}};
}

bool metal_atom(const PhaseDescription& phase, int atom) {
  return is_metal(element_of_type(phase.atoms[static_cast<std::size_t>(atom - 1)].type_symbol));
}

// A ring as found, with the atoms whose deviations its plane lists.
struct FoundRing {
  int molecule = 0;
  std::vector<AnalysisImage> atoms;
  std::vector<AnalysisImage> others;
};

// The rings of each molecule of a completed structure, bonds to metal
// atoms left out (ferrocene has its two Cp rings, not Fe-C-C triangles),
// ordered by size and then by their atoms' order in the structure. A
// molecule with more than kMostRings rings keeps none, and a note says so.
std::vector<FoundRing> molecule_rings(const PhaseDescription& phase, const DrawnStructure& drawn, const char* what,
                                      std::vector<std::string>& notes) {
  const std::size_t count = drawn.atoms.size();
  DisjointSets parts(count);
  for (const DrawnBond& bond : drawn.bonds) parts.join(bond.first, bond.second);
  std::map<std::size_t, int> molecule_of_root;
  std::vector<int> molecule(count);
  std::vector<std::vector<std::size_t>> members;  // drawn indices, ascending
  for (std::size_t k = 0; k < count; ++k) {
    const auto [it, added] = molecule_of_root.emplace(parts.root(k), static_cast<int>(members.size()) + 1);
    if (added) members.emplace_back();
    molecule[k] = it->second;
    members[static_cast<std::size_t>(it->second - 1)].push_back(k);
  }
  std::vector<std::vector<int>> local(count);  // non-metal bonds, by drawn index
  std::vector<char> metal(count);
  for (std::size_t k = 0; k < count; ++k) metal[k] = metal_atom(phase, drawn.atoms[k].atom);
  for (const DrawnBond& bond : drawn.bonds) {
    if (metal[bond.first] || metal[bond.second]) continue;
    local[bond.first].push_back(static_cast<int>(bond.second));
    local[bond.second].push_back(static_cast<int>(bond.first));
  }
  std::vector<std::vector<int>> cycles;  // drawn indices
  for (std::size_t m = 0; m < members.size(); ++m) {
    const std::vector<std::size_t>& atoms = members[m];
    if (atoms.size() < 3) continue;
    std::unordered_map<std::size_t, int> index;
    for (std::size_t k = 0; k < atoms.size(); ++k) index.emplace(atoms[k], static_cast<int>(k));
    std::vector<std::vector<int>> adjacency(atoms.size());
    for (std::size_t k = 0; k < atoms.size(); ++k)
      for (int other : local[atoms[k]]) adjacency[k].push_back(index.at(static_cast<std::size_t>(other)));
    std::vector<std::vector<int>> rings = smallest_rings(adjacency, kMaxRingSize, kMostRings);
    if (rings.size() > kMostRings) {
      notes.push_back(std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(what[0])))) +
                      (what + 1) + " " + std::to_string(m + 1) + " has more than " + std::to_string(kMostRings) +
                      " rings; its rings, their planes and puckering are not analysed");
      continue;
    }
    for (std::vector<int>& ring : rings) {
      for (int& node : ring) node = static_cast<int>(atoms[static_cast<std::size_t>(node)]);
      cycles.push_back(std::move(ring));
    }
  }
  std::sort(cycles.begin(), cycles.end(), [](const std::vector<int>& a, const std::vector<int>& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  auto image = [&](std::size_t k) { return AnalysisImage{drawn.atoms[k].atom, drawn.atoms[k].op}; };
  std::vector<FoundRing> found;
  for (const std::vector<int>& cycle : cycles) {
    FoundRing ring;
    ring.molecule = molecule[static_cast<std::size_t>(cycle.front())];
    for (int node : cycle) ring.atoms.push_back(image(static_cast<std::size_t>(node)));
    for (std::size_t k : members[static_cast<std::size_t>(ring.molecule - 1)])
      if (std::find(cycle.begin(), cycle.end(), static_cast<int>(k)) == cycle.end()) ring.others.push_back(image(k));
    found.push_back(std::move(ring));
  }
  return found;
}

// The rings of the periodic net that hold carbon (the organic part of an
// extended structure: a framework of silicate or phosphate keeps no rings
// here), each with the atoms bonded to it.
std::vector<FoundRing> net_ring_list(const PhaseDescription& phase, const BondGraph& net, const BondGraph& all,
                                     std::vector<std::string>& notes) {
  std::vector<FoundRing> found;
  auto carbon = [&](int atom) {
    return element_of_type(phase.atoms[static_cast<std::size_t>(atom - 1)].type_symbol) == 6;
  };
  bool any_carbon = false;
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()) && !any_carbon; ++i) any_carbon = carbon(i);
  if (!any_carbon) return found;
  const NetRings rings = net_rings(phase, net, kMaxRingSize, kMostRings, kMostNetSteps);
  if (rings.limit_met) {
    notes.push_back("The ring search of the periodic net met its limit (" + std::to_string(kMostRings) +
                    " rings or " + std::to_string(kMostNetSteps) +
                    " steps); its rings, their planes and puckering are not analysed");
    return found;
  }
  for (const std::vector<NetImage>& cycle : rings.rings) {
    if (std::none_of(cycle.begin(), cycle.end(), [&](const NetImage& image) { return carbon(image.atom); })) continue;
    FoundRing ring;
    std::set<Place> in_ring;
    for (const NetImage& image : cycle) {
      ring.atoms.push_back({image.atom, image.op});
      in_ring.insert(place_of(phase, image.atom, image.op));
    }
    for (const NetImage& image : cycle)
      for (const Bond& bond : all.bonds_of(image.atom)) {
        const SymmetryOperation op = compose(image.op, bond_operation(phase.group, bond));
        if (in_ring.insert(place_of(phase, bond.atom, op)).second) ring.others.push_back({bond.atom, op});
      }
    found.push_back(std::move(ring));
  }
  return found;
}

// The phase's ring planes' angles that mean something: fused rings, rings
// a bond joins and close centroids (through any image of the second), each
// pair once.
void related_plane_angles(const AnalysisFrame& work, const PhaseGeometry& geometry, MoleculeAnalysis& analysis,
                          bool every_pair_of_a_molecule, std::vector<PlaneAngle>& out) {
  const PhaseDescription& phase = work.phase;
  const std::size_t rings = analysis.rings.size();
  std::vector<std::set<Place>> places(rings), bonded_to(rings);
  std::vector<Vec3d> centroid(rings);
  // The bonds of the rings themselves: a bond joins two rings only when it
  // lies in none (biphenyl's C1-C1', not an edge of a fused system).
  std::set<std::pair<Place, Place>> ring_edges;
  for (const RingAnalysis& ring : analysis.rings)
    for (std::size_t k = 0; k < ring.atoms.size(); ++k) {
      const AnalysisImage& a = ring.atoms[k];
      const AnalysisImage& b = ring.atoms[(k + 1) % ring.atoms.size()];
      ring_edges.insert(std::minmax(place_of(phase, a.atom, a.op), place_of(phase, b.atom, b.op)));
    }
  for (std::size_t r = 0; r < rings; ++r) {
    Vec3d sum{};
    for (const AnalysisImage& image : analysis.rings[r].atoms) {
      const Place here = place_of(phase, image.atom, image.op);
      places[r].insert(here);
      const Vec3d x = image_of(image.op, work.site(image.atom).x);
      for (std::size_t k = 0; k < 3; ++k) sum[k] += x[k] / static_cast<double>(analysis.rings[r].atoms.size());
      for (const Bond& bond : geometry.bonds.bonds_of(image.atom)) {
        const Place there = place_of(phase, bond.atom, compose(image.op, bond_operation(phase.group, bond)));
        if (!ring_edges.count(std::minmax(here, there))) bonded_to[r].insert(there);
      }
    }
    centroid[r] = sum;
  }
  std::map<std::set<Place>, std::size_t> ring_at;  // the rings as listed, by their places
  for (std::size_t r = 0; r < rings; ++r) ring_at.emplace(places[r], r);
  std::map<std::tuple<std::size_t, std::size_t, IntMat3, std::array<int, 3>>, PlaneRelation> pairs;
  auto add = [&](std::size_t i, std::size_t j, const SymmetryOperation& op, PlaneRelation relation) {
    const auto key = std::make_tuple(i, j, op.rotation, op.twelfths);
    const auto [at, added] = pairs.emplace(key, relation);
    if (!added && static_cast<int>(relation) < static_cast<int>(at->second)) at->second = relation;
  };
  for (std::size_t i = 0; i < rings; ++i)
    for (std::size_t j = i + 1; j < rings; ++j) {
      const bool fused = std::any_of(places[j].begin(), places[j].end(), [&](const Place& p) { return places[i].count(p) > 0; });
      const bool joined = std::any_of(places[j].begin(), places[j].end(), [&](const Place& p) { return bonded_to[i].count(p) > 0; });
      if (fused) add(i, j, SymmetryOperation{}, PlaneRelation::Fused);
      else if (joined) add(i, j, SymmetryOperation{}, PlaneRelation::Bonded);
      else if (every_pair_of_a_molecule && analysis.rings[i].molecule == analysis.rings[j].molecule &&
               analysis.rings[i].molecule > 0)
        add(i, j, SymmetryOperation{}, PlaneRelation::Requested);
    }
  // Close centroids: every image of ring j's centroid, by every operation
  // of the group and the lattice translations that bring it within reach
  // of ring i's. The images are binned by position in the cell so that
  // each ring looks at its neighbourhood only.
  const CellFrame& frame = work.frame;
  std::vector<SymmetryOperation> operations;
  const SpaceGroupInfo& group = phase.group;
  for (int centring = 1; centring <= std::max(group.ncent, 1); ++centring)
    for (int sign = 1; sign >= (group.centric ? -1 : 1); sign -= 2)
      for (int op = 1; op <= std::max(group.nsym, 1); ++op)
        operations.push_back(operation_of(group, sign * (op + 100 * (centring - 1)), LatticeTranslation{}));
  std::array<int, 3> bins{};
  for (std::size_t k = 0; k < 3; ++k) {
    // The spacing of the lattice planes normal to axis k: 1 / |a*_k|.
    const double width = 1.0 / std::sqrt([&] {
      // |a*_k|^2 from the inverse of the orthogonalisation matrix.
      const auto& m = frame.m;
      const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                         m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
      const std::size_t a = (k + 1) % 3, b = (k + 2) % 3;
      Vec3d cross{m[1][a] * m[2][b] - m[2][a] * m[1][b], m[2][a] * m[0][b] - m[0][a] * m[2][b],
                  m[0][a] * m[1][b] - m[1][a] * m[0][b]};
      return (cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]) / (det * det);
    }());
    bins[k] = std::clamp(static_cast<int>(width / kCloseCentroids), 1, 64);
  }
  auto bin_of = [&](const Vec3d& reduced) {
    std::array<int, 3> b{};
    for (std::size_t k = 0; k < 3; ++k) b[k] = std::min(bins[k] - 1, static_cast<int>(reduced[k] * bins[k]));
    return b;
  };
  struct CentroidImage {
    std::size_t ring = 0;
    SymmetryOperation op;  // with the translation that reduces the centroid into the cell
    Vec3d x{};
  };
  std::map<std::array<int, 3>, std::vector<CentroidImage>> binned;
  for (std::size_t j = 0; j < rings; ++j)
    for (const SymmetryOperation& op : operations) {
      SymmetryOperation reduced = op;
      Vec3d x = image_of(op, centroid[j]);
      for (std::size_t k = 0; k < 3; ++k) {
        const double whole = std::floor(x[k]);
        x[k] -= whole;
        if (x[k] >= 1) x[k] = 0;
        reduced.twelfths[k] -= 12 * static_cast<int>(whole);
      }
      binned[bin_of(x)].push_back({j, reduced, x});
    }
  for (std::size_t i = 0; i < rings; ++i) {
    Vec3d own = centroid[i];
    std::array<int, 3> cell{};
    for (std::size_t k = 0; k < 3; ++k) {
      cell[k] = static_cast<int>(std::floor(own[k]));
      own[k] -= cell[k];
    }
    const std::array<int, 3> centre = bin_of(own);
    std::set<std::array<int, 3>> visited;
    for (int d0 = -1; d0 <= 1; ++d0)
      for (int d1 = -1; d1 <= 1; ++d1)
        for (int d2 = -1; d2 <= 1; ++d2) {
          const std::array<int, 3> b{(centre[0] + d0 + bins[0]) % bins[0], (centre[1] + d1 + bins[1]) % bins[1],
                                     (centre[2] + d2 + bins[2]) % bins[2]};
          if (!visited.insert(b).second) continue;
          const auto found = binned.find(b);
          if (found == binned.end()) continue;
          for (const CentroidImage& c : found->second) {
            if (c.ring < i) continue;
            for (int t0 = -1; t0 <= 1; ++t0)
              for (int t1 = -1; t1 <= 1; ++t1)
                for (int t2 = -1; t2 <= 1; ++t2) {
                  const Vec3d diff{c.x[0] + t0 - own[0], c.x[1] + t1 - own[1], c.x[2] + t2 - own[2]};
                  const Vec3d cart = cartesian(frame, diff);
                  if (cart[0] * cart[0] + cart[1] * cart[1] + cart[2] * cart[2] > kCloseCentroids * kCloseCentroids)
                    continue;
                  SymmetryOperation op = c.op;
                  const std::array<int, 3> t{t0 + cell[0], t1 + cell[1], t2 + cell[2]};
                  for (std::size_t k = 0; k < 3; ++k) op.twelfths[k] += 12 * t[k];
                  // The ring itself (ring j carried onto ring i: two rings of
                  // a molecule that its symmetry relates), or the same pair
                  // seen from the other end.
                  std::set<Place> carried;
                  for (const AnalysisImage& image : analysis.rings[c.ring].atoms)
                    carried.insert(place_of(phase, image.atom, compose(op, image.op)));
                  if (carried == places[i]) continue;
                  // Ring j carried onto a ring listed as it stands: that pair.
                  if (const auto listed = ring_at.find(carried); listed != ring_at.end()) {
                    add(std::min(i, listed->second), std::max(i, listed->second), SymmetryOperation{},
                        PlaneRelation::Close);
                    continue;
                  }
                  if (c.ring == i) {
                    const SymmetryOperation back = inverse(op);
                    if (std::tie(back.rotation, back.twelfths) < std::tie(op.rotation, op.twelfths)) continue;
                  }
                  add(i, c.ring, op, PlaneRelation::Close);
                }
          }
        }
  }
  for (const auto& [key, relation] : pairs) {
    PlaneAngle angle;
    angle.first = analysis.rings[std::get<0>(key)].plane;
    angle.second = analysis.rings[std::get<1>(key)].plane;
    angle.second_image.rotation = std::get<2>(key);
    angle.second_image.twelfths = std::get<3>(key);
    angle.relation = relation;
    out.push_back(angle);
  }
}

// The angle between two planes and the distance of their centroids, the
// second carried by `op`.
void measure_plane_angle(const AnalysisFrame& work, const MoleculeAnalysis& analysis, PlaneAngle& angle) {
  const PlaneAnalysis& a = analysis.planes[angle.first];
  const PlaneAnalysis& b = analysis.planes[angle.second];
  std::vector<AnalysisImage> carried;
  for (const AnalysisImage& image : b.atoms) carried.push_back({image.atom, compose(angle.second_image, image.op)});
  std::vector<ImagePoint> points = work.points(a.atoms);
  const std::vector<ImagePoint> second = work.points(carried);
  const LeastSquaresPlane pa = least_squares_plane(cartesians(points));
  const LeastSquaresPlane pb = least_squares_plane(cartesians(second));
  points.insert(points.end(), second.begin(), second.end());
  angle.degrees = work.measured(points, plane_angle(pa, pb), kDegreesPerRadian);
  angle.centroid_distance = work.measured(points, centroid_distance(pa, pb));
}

}  // namespace

MoleculeAnalysis analyse_molecules(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                   const CellCovariance& cell, const ParameterCovariance& covariance,
                                   const std::vector<std::vector<AnalysisImage>>& user_planes,
                                   const MoleculeOptions& options) {
  MoleculeAnalysis analysis;
  if (!geometry.computed) return analysis;
  const AnalysisFrame work(phase, cell, covariance);
  if (!work.frame.usable) return analysis;
  analysis.computed = true;

  const DrawnStructure drawn = !geometry.molecules.atoms.empty() && !geometry.molecules.network
                                   ? geometry.molecules
                                   : complete_molecules(phase, geometry.bonds, kMostAnalysedImages, false);
  analysis.network = drawn.network;
  std::vector<FoundRing> found;
  if (options.rings && !drawn.network) {
    found = molecule_rings(phase, drawn, "molecule", analysis.notes);
  } else if (options.rings) {
    // The bonds run on: the ligands the bonds other than those to metal
    // atoms complete, or else the periodic net of those bonds.
    BondGraph without_metals;
    start_bond_graph(without_metals, phase.atoms.size());
    bool metal_bonds = false;
    for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i)
      for (const Bond& bond : geometry.bonds.bonds_of(i)) {
        if (metal_atom(phase, i) || metal_atom(phase, bond.atom)) {
          metal_bonds = true;
          continue;
        }
        without_metals.of_atom[static_cast<std::size_t>(i - 1)].push_back(bond);
      }
    const DrawnStructure ligands =
        metal_bonds ? complete_molecules(phase, without_metals, kMostAnalysedImages, false) : drawn;
    if (!ligands.network) {
      analysis.ring_source = RingSource::Ligands;
      found = molecule_rings(phase, ligands, "ligand", analysis.notes);
    } else {
      analysis.ring_source = RingSource::Net;
      found = net_ring_list(phase, without_metals, geometry.bonds, analysis.notes);
    }
  }
  for (FoundRing& f : found) {
    RingAnalysis ring;
    ring.molecule = analysis.ring_source == RingSource::Net ? 0 : f.molecule;
    ring.atoms = std::move(f.atoms);
    ring.plane = analysis.planes.size();
    if (ring.atoms.size() >= 5) puckering_of(work, ring);
    PlaneAnalysis plane = analyse_plane(work, ring.atoms, f.others);
    plane.ring = static_cast<int>(analysis.rings.size());
    analysis.planes.push_back(std::move(plane));
    analysis.rings.push_back(std::move(ring));
  }
  const std::size_t ring_planes = analysis.planes.size();
  for (std::size_t u = 0; u < user_planes.size(); ++u) {
    const std::vector<AnalysisImage>& atoms = user_planes[u];
    // The molecule's other atoms, when the first defining atom is drawn as named.
    std::vector<AnalysisImage> others;
    if (!drawn.network && !atoms.empty()) {
      DisjointSets parts(drawn.atoms.size());
      for (const DrawnBond& bond : drawn.bonds) parts.join(bond.first, bond.second);
      for (std::size_t k = 0; k < drawn.atoms.size(); ++k) {
        if (drawn.atoms[k].atom != atoms.front().atom || !(drawn.atoms[k].op == atoms.front().op)) continue;
        for (std::size_t m = 0; m < drawn.atoms.size(); ++m) {
          if (parts.root(m) != parts.root(k)) continue;
          const AnalysisImage image{drawn.atoms[m].atom, drawn.atoms[m].op};
          if (std::none_of(atoms.begin(), atoms.end(),
                           [&](const AnalysisImage& d) { return d.atom == image.atom && d.op == image.op; }))
            others.push_back(image);
        }
        break;
      }
    }
    PlaneAnalysis plane = analyse_plane(work, atoms, others);
    plane.user = static_cast<int>(u) + 1;
    analysis.planes.push_back(std::move(plane));
  }

  if (options.plane_angles != PlaneAngleChoice::None) {
    std::vector<PlaneAngle> angles;
    // The rings of an endless net are related to their images in every
    // direction; their angles are given on request alone (PANG ALL).
    if (analysis.ring_source != RingSource::Net || options.plane_angles == PlaneAngleChoice::All)
      related_plane_angles(work, geometry, analysis, options.plane_angles == PlaneAngleChoice::All, angles);
    for (std::size_t i = ring_planes; i < analysis.planes.size(); ++i)
      for (std::size_t j = 0; j < analysis.planes.size(); ++j)
        if (j < ring_planes || j > i) {
          PlaneAngle angle;
          angle.first = std::min(i, j);
          angle.second = std::max(i, j);
          angle.relation = PlaneRelation::UserPlane;
          angles.push_back(angle);
        }
    if (angles.size() > kMostPlaneAngles) {
      analysis.notes.push_back("More than " + std::to_string(kMostPlaneAngles) +
                               " angles between planes; they are not computed");
    } else {
      for (PlaneAngle& angle : angles) {
        if (!analysis.planes[angle.first].defined || !analysis.planes[angle.second].defined) continue;
        measure_plane_angle(work, analysis, angle);
        analysis.plane_angles.push_back(angle);
      }
    }
  }

  rigid_bonds(work, geometry, analysis);
  return analysis;
}

}  // namespace vesk
