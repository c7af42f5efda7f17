#include "lsq/parameters.hpp"

#include "lsq/special_positions.hpp"
#include "recio/error.hpp"

namespace lsq {

namespace {

constexpr Slot kUSlots[6] = {kU11, kU22, kU33, kU12, kU13, kU23};

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
  map.sites.resize(natoms);
  map.site_order.assign(natoms, 1);

  // Atoms with their own parameters first; riding atoms copy their pivot's
  // terms afterwards, whatever the order of the atoms.
  for (std::size_t n = 0; n < natoms; ++n) {
    const Atom& atom = model.atoms[n];
    check_pivot(n, atom.riding_pivot, "coordinates");
    check_pivot(n, atom.u_pivot, "Uiso");
    const int index = static_cast<int>(n);
    if (atom.riding_pivot >= 0) {
      map.sites[n] = atom.site;
    } else {
      const SiteTies ties = site_ties(atom.site, group, metric, model.special_position_tolerance);
      map.sites[n] = ties.site;
      map.site_order[n] = ties.order;
      std::array<int, 3> variable{-1, -1, -1};
      for (int j = 0; j < 3; ++j)
        if (ties.free_coordinate[j] && atom.refined[j]) variable[j] = new_variable(index, static_cast<Slot>(j));
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          if (variable[j] >= 0 && ties.coordinates[i][j] != 0)
            terms_of(n, static_cast<Slot>(i)).push_back({variable[j], ties.coordinates[i][j]});
      if (atom.anisotropic) {
        std::array<int, 6> u_variable{-1, -1, -1, -1, -1, -1};
        for (int l = 0; l < 6; ++l)
          if (ties.free_u[l] && atom.refined[kUSlots[l]]) u_variable[l] = new_variable(index, kUSlots[l]);
        for (int k = 0; k < 6; ++k)
          for (int l = 0; l < 6; ++l)
            if (u_variable[l] >= 0 && ties.u[k][l] != 0) terms_of(n, kUSlots[k]).push_back({u_variable[l], ties.u[k][l]});
      }
    }
    if (atom.refined[kOccupancy]) terms_of(n, kOccupancy).push_back({new_variable(index, kOccupancy), 1.0});
    if (!atom.anisotropic && atom.u_pivot < 0 && atom.refined[kUiso])
      terms_of(n, kUiso).push_back({new_variable(index, kUiso), 1.0});
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
  // Riding Uiso follow their pivots' new Ueq.
  for (Atom& atom : moved.atoms) {
    if (atom.u_pivot < 0) continue;
    const Atom& pivot = moved.atoms[static_cast<std::size_t>(atom.u_pivot)];
    atom.uiso = atom.u_factor * (pivot.anisotropic ? u_equivalent(metric, pivot.u) : pivot.uiso);
  }
  if (map.scale >= 0) moved.scale += shifts[static_cast<std::size_t>(map.scale)];
  if (map.extinction >= 0) moved.extinction += shifts[static_cast<std::size_t>(map.extinction)];
  return moved;
}

}  // namespace lsq
