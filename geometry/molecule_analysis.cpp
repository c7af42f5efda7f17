#include "geometry/molecule_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <string>

#include "geometry/chemical_bonds.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/measure.hpp"
#include "geometry/molecules.hpp"
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
    plane.deviations.push_back({other, work.measured(with_other, plane_deviation(lsp, q)), false});
  }
  return plane;
}

MeasuredValue angle_between(const AnalysisFrame& work, const PlaneAnalysis& a, const PlaneAnalysis& b) {
  std::vector<ImagePoint> points = work.points(a.atoms);
  const std::vector<ImagePoint> second = work.points(b.atoms);
  const LeastSquaresPlane pa = least_squares_plane(cartesians(points));
  const LeastSquaresPlane pb = least_squares_plane(cartesians(second));
  points.insert(points.end(), second.begin(), second.end());
  return work.measured(points, plane_angle(pa, pb), kDegreesPerRadian);
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

MoleculeAnalysis analyse_molecules(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                   const CellCovariance& cell, const ParameterCovariance& covariance,
                                   const std::vector<std::vector<AnalysisImage>>& user_planes) {
  MoleculeAnalysis analysis;
  if (!geometry.computed) return analysis;
  const AnalysisFrame work(phase, cell, covariance);
  if (!work.frame.usable) return analysis;
  analysis.computed = true;

  const DrawnStructure drawn = geometry.molecules.atoms.empty() ? complete_molecules(phase, geometry.bonds)
                                                                : geometry.molecules;
  analysis.network = drawn.network;
  // Molecules: the connected parts of the completed structure.
  std::vector<std::size_t> part(drawn.atoms.size());
  std::iota(part.begin(), part.end(), std::size_t{0});
  auto root = [&](std::size_t k) {
    while (part[k] != k) k = part[k] = part[part[k]];
    return k;
  };
  // Rings are those of the ligands: a metal's bonds (ferrocene's Fe to
  // each C) would close three-membered rings through it.
  auto metal = [&](std::size_t k) {
    return is_metal(element_of_type(phase.atoms[static_cast<std::size_t>(drawn.atoms[k].atom - 1)].type_symbol));
  };
  std::vector<std::vector<int>> adjacency(drawn.atoms.size());
  for (const DrawnBond& bond : drawn.bonds) {
    part[root(bond.first)] = root(bond.second);
    if (metal(bond.first) || metal(bond.second)) continue;
    adjacency[bond.first].push_back(static_cast<int>(bond.second));
    adjacency[bond.second].push_back(static_cast<int>(bond.first));
  }
  std::map<std::size_t, int> molecule_of_root;
  std::vector<int> molecule(drawn.atoms.size());
  std::vector<std::vector<AnalysisImage>> members;
  for (std::size_t k = 0; k < drawn.atoms.size(); ++k) {
    const auto [it, added] = molecule_of_root.emplace(root(k), static_cast<int>(members.size()) + 1);
    if (added) members.emplace_back();
    molecule[k] = it->second;
    members[static_cast<std::size_t>(it->second - 1)].push_back({drawn.atoms[k].atom, drawn.atoms[k].op});
  }
  auto image = [&](std::size_t k) { return AnalysisImage{drawn.atoms[k].atom, drawn.atoms[k].op}; };
  // The molecule's other atoms, for a plane's deviations.
  auto others = [&](int of, const std::vector<AnalysisImage>& defining) {
    std::vector<AnalysisImage> result;
    if (of <= 0) return result;
    for (const AnalysisImage& m : members[static_cast<std::size_t>(of - 1)]) {
      const bool in_plane = std::any_of(defining.begin(), defining.end(), [&](const AnalysisImage& d) {
        return d.atom == m.atom && d.op == m.op;
      });
      if (!in_plane) result.push_back(m);
    }
    return result;
  };

  if (!drawn.network) {
    for (const std::vector<int>& cycle : smallest_rings(adjacency, kMaxRingSize)) {
      if (analysis.rings.size() >= kMostRings)
        throw Error("Phase " + std::to_string(phase.number) + " has more than " + std::to_string(kMostRings) +
                    " rings");
      RingAnalysis ring;
      ring.molecule = molecule[static_cast<std::size_t>(cycle.front())];
      for (int node : cycle) ring.atoms.push_back(image(static_cast<std::size_t>(node)));
      ring.plane = analysis.planes.size();
      if (ring.atoms.size() >= 5) puckering_of(work, ring);
      PlaneAnalysis plane = analyse_plane(work, ring.atoms, others(ring.molecule, ring.atoms));
      plane.ring = static_cast<int>(analysis.rings.size());
      analysis.planes.push_back(std::move(plane));
      analysis.rings.push_back(std::move(ring));
    }
  }
  const std::size_t ring_planes = analysis.planes.size();
  for (std::size_t u = 0; u < user_planes.size(); ++u) {
    const std::vector<AnalysisImage>& atoms = user_planes[u];
    // The molecule of the first defining atom, when it is drawn as named.
    int of = 0;
    for (std::size_t k = 0; k < drawn.atoms.size() && !drawn.network && !atoms.empty(); ++k)
      if (drawn.atoms[k].atom == atoms.front().atom && drawn.atoms[k].op == atoms.front().op) of = molecule[k];
    PlaneAnalysis plane = analyse_plane(work, atoms, others(of, atoms));
    plane.user = static_cast<int>(u) + 1;
    analysis.planes.push_back(std::move(plane));
  }

  auto add_angle = [&](std::size_t i, std::size_t j) {
    if (!analysis.planes[i].defined || !analysis.planes[j].defined) return;
    if (analysis.plane_angles.size() >= kMostPlaneAngles)
      throw Error("Phase " + std::to_string(phase.number) + " has more than " +
                  std::to_string(kMostPlaneAngles) + " angles between planes");
    analysis.plane_angles.push_back({i, j, angle_between(work, analysis.planes[i], analysis.planes[j])});
  };
  for (std::size_t i = 0; i < ring_planes; ++i)
    for (std::size_t j = i + 1; j < ring_planes; ++j)
      if (analysis.rings[i].molecule == analysis.rings[j].molecule) add_angle(i, j);
  for (std::size_t i = ring_planes; i < analysis.planes.size(); ++i)
    for (std::size_t j = 0; j < analysis.planes.size(); ++j)
      if (j < ring_planes || j > i) add_angle(j < i ? j : i, j < i ? i : j);

  rigid_bonds(work, geometry, analysis);
  return analysis;
}

}  // namespace vesk
