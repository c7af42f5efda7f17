#include "lsq/parameters.hpp"

#include <cmath>

#include "lsq/special_positions.hpp"
#include "recio/error.hpp"

namespace lsq {

namespace {

constexpr Slot kUSlots[6] = {kU11, kU22, kU33, kU12, kU13, kU23};

Vec3 times(const Mat3& m, const Vec3& v) {
  Vec3 out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i] += m[i][j] * v[j];
  return out;
}

// The inverse of the orthogonalisation matrix, which is upper triangular.
Mat3 fractionalisation(const Metric& metric) {
  const Mat3& m = metric.orthogonal;
  Mat3 f{};
  for (int i = 2; i >= 0; --i) {
    f[i][i] = 1 / m[i][i];
    for (int j = i + 1; j < 3; ++j) {
      double sum = 0;
      for (int k = i + 1; k <= j; ++k) sum += m[i][k] * f[k][j];
      f[i][j] = -sum / m[i][i];
    }
  }
  return f;
}

// The rigid group of each atom (-1: none); throws for a group that is none.
std::vector<int> rigid_membership(const Model& model) {
  std::vector<int> group(model.atoms.size(), -1);
  for (std::size_t g = 0; g < model.rigid_groups.size(); ++g) {
    const RigidGroup& rigid = model.rigid_groups[g];
    if (rigid.atoms.size() < 2) throw vesk::Error(rigid.name + ": a rigid group needs at least two atoms");
    for (int a : rigid.atoms) {
      if (a < 0 || static_cast<std::size_t>(a) >= model.atoms.size())
        throw vesk::Error(rigid.name + ": an atom of the rigid group is not in the model");
      const Atom& atom = model.atoms[static_cast<std::size_t>(a)];
      if (group[static_cast<std::size_t>(a)] >= 0 || atom.riding_pivot >= 0 || atom.same_site_as >= 0)
        throw vesk::Error(rigid.name + ": atom " + atom.label +
                          " of the rigid group rides, shares another's site or is in another group");
      group[static_cast<std::size_t>(a)] = static_cast<int>(g);
    }
  }
  return group;
}


}  // namespace

ParameterMap map_parameters(const Model& model, const ParameterOptions& options) {
  ParameterMap map;
  const std::size_t natoms = model.atoms.size();
  const Metric metric = metric_of(model.cell);
  const std::vector<Operator> group = model.group.expanded();
  std::vector<std::vector<Term>> of(natoms * kSlots);
  auto terms_of = [&](std::size_t atom, Slot slot) -> std::vector<Term>& { return of[atom * kSlots + slot]; };
  auto new_variable = [&](int atom, Slot slot) {
    map.variables.push_back({VariableKind::Atom, atom, slot});
    return map.count() - 1;
  };
  auto check_pivot = [&](std::size_t atom, int pivot, const char* what) {
    if (pivot < 0) return;
    if (static_cast<std::size_t>(pivot) >= natoms || static_cast<std::size_t>(pivot) == atom)
      throw vesk::Error("atom " + model.atoms[atom].label + ": its " + what + " rides on no other atom of the model");
    const Atom& p = model.atoms[static_cast<std::size_t>(pivot)];
    if ((what[0] == 'c' ? p.riding_pivot : p.u_pivot) >= 0)
      throw vesk::Error("atom " + model.atoms[atom].label + ": its " + what + " ride on " + p.label +
                        ", which rides itself");
  };
  map.free_variables.assign(model.free_variables.size(), -1);
  auto follow = [&](const Atom::Link& link, std::vector<Term>& terms) {
    const auto k = static_cast<std::size_t>(link.free_variable);
    if (k >= model.free_variables.size())
      throw vesk::Error("free variable " + std::to_string(link.free_variable + 2) + " is not among the " +
                        std::to_string(model.free_variables.size() + 1) + " given");
    if (k >= model.free_variable_refined.size() || !model.free_variable_refined[k]) return;
    if (map.free_variables[k] < 0) {
      map.variables.push_back({VariableKind::Free, link.free_variable, kOccupancy});
      map.free_variables[k] = map.count() - 1;
    }
    terms.push_back({map.free_variables[k], link.coefficient});
  };
  auto check_leader = [&](std::size_t atom, int leader, const char* what) {
    if (leader < 0) return;
    const Atom& a = model.atoms[atom];
    if (static_cast<std::size_t>(leader) >= natoms || static_cast<std::size_t>(leader) == atom)
      throw vesk::Error("atom " + a.label + ": shares its " + what + " with no other atom of the model");
    const Atom& l = model.atoms[static_cast<std::size_t>(leader)];
    if ((what[0] == 'c' ? l.same_site_as : l.same_u_as) >= 0)
      throw vesk::Error("atom " + a.label + ": shares its " + what + " with " + l.label + ", which shares another's");
    if (what[0] != 'c' && l.anisotropic != a.anisotropic)
      throw vesk::Error("atom " + a.label + ": shares its " + what + " with " + l.label +
                        ", but one is isotropic and the other anisotropic");
  };
  map.sites.resize(natoms);
  map.site_order.assign(natoms, 1);
  const std::vector<int> rigid = rigid_membership(model);

  // Atoms with their own parameters first; riding atoms copy their pivot's
  // terms afterwards, whatever the order of the atoms.
  for (std::size_t n = 0; n < natoms; ++n) {
    const Atom& atom = model.atoms[n];
    check_pivot(n, atom.riding_pivot, "coordinates");
    check_pivot(n, atom.u_pivot, "Uiso");
    check_leader(n, atom.same_site_as, "coordinates");
    check_leader(n, atom.same_u_as, "displacement parameters");
    const int index = static_cast<int>(n);
    if (atom.riding_pivot >= 0) {
      map.sites[n] = atom.site;
    } else {
      // An atom that shares another's coordinates stands on that one's
      // site (set below) and takes its site's ties for its Uij.
      const Vec3 site = atom.same_site_as >= 0 ? model.atoms[static_cast<std::size_t>(atom.same_site_as)].site : atom.site;
      const SiteTies ties = site_ties(site, group, metric, model.special_position_tolerance);
      // A rigid group's atoms keep their places; their coordinates follow
      // the group's variables (below).
      const bool own_site = atom.same_site_as < 0 && rigid[n] < 0;
      map.sites[n] = rigid[n] < 0 ? ties.site : atom.site;
      map.site_order[n] = ties.order;
      std::array<int, 3> variable{-1, -1, -1};
      for (int j = 0; j < 3; ++j)
        if (ties.free_coordinate[j] && atom.refined[j] && own_site)
          variable[j] = new_variable(index, static_cast<Slot>(j));
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          if (variable[j] >= 0 && ties.coordinates[i][j] != 0)
            terms_of(n, static_cast<Slot>(i)).push_back({variable[j], ties.coordinates[i][j]});
      if (atom.anisotropic && atom.same_u_as < 0) {
        std::array<int, 6> u_variable{-1, -1, -1, -1, -1, -1};
        for (int l = 0; l < 6; ++l)
          if (ties.free_u[l] && atom.refined[kUSlots[l]]) u_variable[l] = new_variable(index, kUSlots[l]);
        for (int k = 0; k < 6; ++k)
          for (int l = 0; l < 6; ++l)
            if (u_variable[l] >= 0 && ties.u[k][l] != 0) terms_of(n, kUSlots[k]).push_back({u_variable[l], ties.u[k][l]});
      }
    }
    if (atom.occupancy_link.free_variable >= 0)
      follow(atom.occupancy_link, terms_of(n, kOccupancy));
    else if (atom.refined[kOccupancy])
      terms_of(n, kOccupancy).push_back({new_variable(index, kOccupancy), 1.0});
    if (atom.anisotropic || atom.u_pivot >= 0 || atom.same_u_as >= 0) continue;
    if (atom.uiso_link.free_variable >= 0)
      follow(atom.uiso_link, terms_of(n, kUiso));
    else if (atom.refined[kUiso])
      terms_of(n, kUiso).push_back({new_variable(index, kUiso), 1.0});
  }
  // Rigid groups: a displacement d (Cartesian, from the pivot) moves by
  // t + theta x d, fractional t + F (theta x d).
  const Mat3 to_fractional = fractionalisation(metric);
  for (std::size_t g = 0; g < model.rigid_groups.size(); ++g) {
    const RigidGroup& group_of_atoms = model.rigid_groups[g];
    std::array<int, 6> variable{-1, -1, -1, -1, -1, -1};
    for (int k = group_of_atoms.translated ? 0 : 3; k < 6; ++k) {
      map.variables.push_back({VariableKind::Rigid, static_cast<int>(g), kX, k});
      variable[static_cast<std::size_t>(k)] = map.count() - 1;
    }
    const Vec3& p = map.sites[static_cast<std::size_t>(group_of_atoms.atoms.front())];
    for (int a : group_of_atoms.atoms) {
      const auto n = static_cast<std::size_t>(a);
      const Vec3 d = times(metric.orthogonal, {map.sites[n][0] - p[0], map.sites[n][1] - p[1], map.sites[n][2] - p[2]});
      const Vec3 turned[3] = {{0, -d[2], d[1]}, {d[2], 0, -d[0]}, {-d[1], d[0], 0}};  // e_k x d
      for (int i = 0; i < 3; ++i) {
        std::vector<Term>& terms = terms_of(n, static_cast<Slot>(i));
        if (variable[static_cast<std::size_t>(i)] >= 0) terms.push_back({variable[static_cast<std::size_t>(i)], 1.0});
        for (int k = 0; k < 3; ++k)
          if (const double coefficient = times(to_fractional, turned[k])[i]; coefficient != 0)
            terms.push_back({variable[static_cast<std::size_t>(3 + k)], coefficient});
      }
    }
  }
  // Shared coordinates and displacement parameters, before riding atoms
  // copy their pivots'.
  for (std::size_t n = 0; n < natoms; ++n) {
    const Atom& atom = model.atoms[n];
    if (atom.same_site_as >= 0) {
      const auto leader = static_cast<std::size_t>(atom.same_site_as);
      for (int i = 0; i < 3; ++i) terms_of(n, static_cast<Slot>(i)) = terms_of(leader, static_cast<Slot>(i));
    }
    if (atom.same_u_as >= 0) {
      const auto leader = static_cast<std::size_t>(atom.same_u_as);
      terms_of(n, kUiso) = terms_of(leader, kUiso);
      for (const Slot slot : kUSlots) terms_of(n, slot) = terms_of(leader, slot);
    }
  }
  const std::array<double, 6> ueq = u_equivalent_gradient(metric);
  for (std::size_t n = 0; n < natoms; ++n) {
    const Atom& atom = model.atoms[n];
    if (atom.riding_pivot >= 0)
      for (int i = 0; i < 3; ++i)
        terms_of(n, static_cast<Slot>(i)) = terms_of(static_cast<std::size_t>(atom.riding_pivot), static_cast<Slot>(i));
    if (atom.u_pivot >= 0 && options.riding_u_follows_pivot) {
      const auto pivot = static_cast<std::size_t>(atom.u_pivot);
      if (model.atoms[pivot].anisotropic) {
        for (int k = 0; k < 6; ++k)
          for (const Term& t : terms_of(pivot, kUSlots[k]))
            terms_of(n, kUiso).push_back({t.variable, atom.u_factor * ueq[k] * t.coefficient});
      } else {
        for (const Term& t : terms_of(pivot, kUiso)) terms_of(n, kUiso).push_back({t.variable, atom.u_factor * t.coefficient});
      }
    }
  }
  if (model.scale_refined) {
    map.scale = map.count();
    map.variables.push_back({VariableKind::Scale, -1, kX});
  }
  if (model.extinction_refined) {
    map.extinction = map.count();
    map.variables.push_back({VariableKind::Extinction, -1, kX});
  }
  if (!model.twin.domains.empty() && model.twin.fractions.size() + 1 != model.twin.domains.size())
    throw vesk::Error("a twin of " + std::to_string(model.twin.domains.size()) + " domains needs " +
                      std::to_string(model.twin.domains.size() - 1) + " fractions, not " +
                      std::to_string(model.twin.fractions.size()));
  map.twin_fractions.assign(model.twin.fractions.size(), -1);
  for (std::size_t k = 0; k < model.twin.fractions.size(); ++k)
    if (k < model.twin.fraction_refined.size() && model.twin.fraction_refined[k]) {
      map.twin_fractions[k] = map.count();
      map.variables.push_back({VariableKind::TwinFraction, static_cast<int>(k), kX});
    }
  map.term_start.reserve(of.size() + 1);
  for (const std::vector<Term>& list : of) {
    map.term_start.push_back(static_cast<int>(map.terms.size()));
    map.terms.insert(map.terms.end(), list.begin(), list.end());
  }
  map.term_start.push_back(static_cast<int>(map.terms.size()));
  return map;
}

std::string variable_name(const Model& model, const Variable& variable) {
  static const char* const names[kSlots] = {"x", "y", "z", "occupancy", "Uiso", "U11", "U22", "U33", "U12", "U13", "U23"};
  switch (variable.kind) {
    case VariableKind::Scale:
      return "scale";
    case VariableKind::Extinction:
      return "extinction";
    case VariableKind::Free:
      return "free variable " + std::to_string(variable.atom + 2);
    case VariableKind::TwinFraction:
      return "twin fraction " + std::to_string(variable.atom + 2);
    case VariableKind::Rigid:
      return model.rigid_groups[static_cast<std::size_t>(variable.atom)].name +
             (variable.component < 3 ? " translation " : " rotation ") +
             (variable.component < 3 ? "abc" : "xyz")[variable.component % 3];
    case VariableKind::Atom:
      break;
  }
  return model.atoms[static_cast<std::size_t>(variable.atom)].label + " " + names[variable.slot];
}

Model shifted(const Model& model, const ParameterMap& map, const std::vector<double>& shifts) {
  Model moved = model;
  const Metric metric = metric_of(model.cell);
  for (std::size_t n = 0; n < model.atoms.size(); ++n) {
    Atom& atom = moved.atoms[n];
    const int a = static_cast<int>(n);
    auto change = [&](Slot slot) {
      double d = 0;
      for (const Term* t = map.begin_of(a, slot); t != map.end_of(a, slot); ++t)
        d += t->coefficient * shifts[static_cast<std::size_t>(t->variable)];
      return d;
    };
    for (int i = 0; i < 3; ++i) atom.site[i] = map.sites[n][i] + change(static_cast<Slot>(i));
    atom.occupancy += change(kOccupancy);
    atom.uiso += change(kUiso);
    for (int k = 0; k < 6; ++k) atom.u[k] += change(kUSlots[k]);
  }
  // Rigid groups move as a whole; atoms that ride on one of their atoms or
  // share its site move with it.
  const Mat3 to_fractional = fractionalisation(metric);
  std::vector<bool> moved_whole(model.atoms.size(), false);
  std::vector<std::array<double, 6>> motion(model.rigid_groups.size(), std::array<double, 6>{});
  for (std::size_t v = 0; v < map.variables.size(); ++v)
    if (map.variables[v].kind == VariableKind::Rigid)
      motion[static_cast<std::size_t>(map.variables[v].atom)][static_cast<std::size_t>(map.variables[v].component)] = shifts[v];
  for (std::size_t g = 0; g < model.rigid_groups.size(); ++g) {
    const RigidGroup& group = model.rigid_groups[g];
    const Vec3 t{motion[g][0], motion[g][1], motion[g][2]}, theta{motion[g][3], motion[g][4], motion[g][5]};
    // Rodrigues: R = I + sin(phi) K + (1 - cos(phi)) K^2, K the cross
    // product with the unit axis.
    const double phi = std::sqrt(theta[0] * theta[0] + theta[1] * theta[1] + theta[2] * theta[2]);
    const Vec3 axis = phi > 0 ? Vec3{theta[0] / phi, theta[1] / phi, theta[2] / phi} : Vec3{1, 0, 0};
    const Mat3 k{{{0, -axis[2], axis[1]}, {axis[2], 0, -axis[0]}, {-axis[1], axis[0], 0}}};
    Mat3 rotation{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double k2 = 0;
        for (int l = 0; l < 3; ++l) k2 += k[i][l] * k[l][j];
        rotation[i][j] = (i == j ? 1.0 : 0.0) + std::sin(phi) * k[i][j] + (1 - std::cos(phi)) * k2;
      }
    const Vec3 c = map.sites[static_cast<std::size_t>(group.atoms.front())];
    for (int a : group.atoms) {
      const auto n = static_cast<std::size_t>(a);
      const Vec3 d = times(metric.orthogonal, {map.sites[n][0] - c[0], map.sites[n][1] - c[1], map.sites[n][2] - c[2]});
      const Vec3 x = times(to_fractional, times(rotation, d));
      for (int i = 0; i < 3; ++i) moved.atoms[n].site[i] = c[i] + t[i] + x[i];
      moved_whole[n] = true;
    }
  }
  for (std::size_t n = 0; n < model.atoms.size(); ++n) {
    const int leader = model.atoms[n].riding_pivot >= 0 ? model.atoms[n].riding_pivot : model.atoms[n].same_site_as;
    if (leader < 0 || !moved_whole[static_cast<std::size_t>(leader)]) continue;
    const auto l = static_cast<std::size_t>(leader);
    for (int i = 0; i < 3; ++i) moved.atoms[n].site[i] = map.sites[n][i] + moved.atoms[l].site[i] - map.sites[l][i];
  }
  // Riding Uiso follow their pivots' new Ueq.
  for (Atom& atom : moved.atoms) {
    if (atom.u_pivot < 0) continue;
    const Atom& pivot = moved.atoms[static_cast<std::size_t>(atom.u_pivot)];
    atom.uiso = atom.u_factor * (pivot.anisotropic ? u_equivalent(metric, pivot.u) : pivot.uiso);
  }
  if (map.scale >= 0) moved.scale += shifts[static_cast<std::size_t>(map.scale)];
  if (map.extinction >= 0) moved.extinction += shifts[static_cast<std::size_t>(map.extinction)];
  for (std::size_t k = 0; k < map.free_variables.size(); ++k)
    if (map.free_variables[k] >= 0) moved.free_variables[k] += shifts[static_cast<std::size_t>(map.free_variables[k])];
  for (std::size_t k = 0; k < map.twin_fractions.size(); ++k)
    if (map.twin_fractions[k] >= 0) moved.twin.fractions[k] += shifts[static_cast<std::size_t>(map.twin_fractions[k])];
  return moved;
}

}  // namespace lsq
