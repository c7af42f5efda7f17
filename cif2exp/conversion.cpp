#include "cif2exp/conversion.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "cif2exp/covalent_radii.hpp"
#include "cif2exp/site_constraints.hpp"
#include "recio/edit_output.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace cif2exp {

namespace {

using vesk::Error;

constexpr std::size_t kFieldLength = 8;  // labels and type symbols
constexpr double kLargestRounding = 5e-4;

std::string position_text(const CifAtom& atom) {
  std::string text = "(";
  for (int i = 0; i < 3; ++i) text += (i == 0 ? "" : ", ") + std::to_string(atom.x[i].value);
  return text + ")";
}

int type_index(std::vector<TypeRecord>& types, const CifAtom& atom) {
  for (std::size_t i = 0; i < types.size(); ++i)
    if (types[i].symbol == atom.type_symbol) return static_cast<int>(i);
  const float radius = covalent_radius(atom.element);
  if (radius <= 0)
    throw Error("atom " + atom.label + ": no covalent radius is known for the element " + atom.element +
                " of type " + atom.type_symbol);
  if (types.size() == 36) throw Error("atom " + atom.label + ": more than 36 atom types; a phase holds at most 36");
  types.push_back({atom.type_symbol, radius + kBondRadiusTolerance, radius + kAngleRadiusTolerance});
  return static_cast<int>(types.size() - 1);
}

SiteConstraints site_of(const CifAtom& atom, const std::vector<SeitzOperator>& group) {
  Coordinates x{}, half_place{};
  for (int i = 0; i < 3; ++i) {
    x[i] = atom.x[i].value;
    // "0", "0.5" and "0.25" are exact by convention, not numbers rounded
    // to their last digit; rounding is trusted up to three decimals
    // ("0.333" stands for 1/3).
    half_place[i] = std::min(atom.x[i].last_place / 2, kLargestRounding);
  }
  SiteConstraints site;
  const std::string where = "atom " + atom.label + " at " + position_text(atom) + ": ";
  try {
    site = constrain_site(x, half_place, group);
  } catch (const Error& e) {
    throw Error(where + e.what() + "; its site symmetry does not leave it in place");
  }
  const int order = site.stabiliser_order;
  const int multiplicity = static_cast<int>(group.size()) / order;
  if (atom.declared_multiplicity != 0 && atom.declared_multiplicity != multiplicity)
    throw Error(where + "the CIF gives the site multiplicity " + std::to_string(atom.declared_multiplicity) +
                ", but " + std::to_string(order) + " of the " + std::to_string(group.size()) +
                " operators leave these coordinates in place (multiplicity " + std::to_string(multiplicity) +
                "); its site symmetry does not leave it in place");
  if (atom.declared_order != 0 && atom.declared_order != order)
    throw Error(where + "the CIF gives the site symmetry order " + std::to_string(atom.declared_order) + ", but " +
                std::to_string(order) + " operators leave these coordinates in place; its site symmetry does not" +
                " leave it in place");
  return site;
}

}  // namespace

std::string parameter_name(int atom_record, const std::string& parameter) {
  return "1" + recio::edit_integer(atom_record, 3) + recio::pad(parameter, 4);
}

Conversion convert(const CifStructure& structure, const std::string& symbol,
                   const std::vector<SeitzOperator>& group, const ConversionOptions& options) {
  Conversion result;
  ExperimentContent& out = result.experiment;
  CovarianceContent& covariance = result.covariance;

  out.title = structure.title;
  const std::string source = std::filesystem::path(structure.file).filename().string();
  out.history = "cif2exp from " + source + ", data_" + structure.block_name;
  out.phase_name = structure.phase_name;
  for (int i = 0; i < 6; ++i) {
    out.cell[i] = structure.cell[i].value;
    out.cell_sigma[i] = structure.cell[i].su;
  }
  out.symbol = symbol;
  out.run_summary = "never; cif2exp took the s.u.'s from the CIF";
  out.cycle_figure = structure.r_factor;
  if (structure.refined_on == "Fsqd") out.control_fields.push_back("RFN-Fsq ");
  if (structure.refined_on == "F") out.control_fields.push_back("RFN-F   ");
  if (structure.sigma_cutoff > 0 && structure.sigma_cutoff < 999)
    out.control_fields.push_back("SGLM" + recio::edit_integer(std::lround(structure.sigma_cutoff * 10), 4));
  out.vortan_controls = (options.dmax.empty() ? std::string("DFLT") : "DMAX " + options.dmax) + " " +
                        (options.dagl.empty() ? std::string("DFLT") : "DAGL " + options.dagl);
  covariance.cycle_figure = structure.r_factor;

  auto new_variable = [&covariance](const std::string& name, double variance) {
    covariance.variable_names.push_back(name);
    covariance.variances.push_back(variance);
    return static_cast<int>(covariance.variances.size());
  };
  auto new_parameter = [&covariance](const std::string& name) {
    covariance.names.push_back(name);
    return static_cast<int>(covariance.names.size());
  };

  static const char* const coordinate_names[3] = {"X", "Y", "Z"};
  for (std::size_t n = 0; n < structure.atoms.size(); ++n) {
    const CifAtom& atom = structure.atoms[n];
    const int record = static_cast<int>(n + 1);
    if (atom.label.size() > kFieldLength)
      throw Error("atom " + atom.label + ": the label is longer than the 8 characters an experiment file keeps");
    if (atom.type_symbol.size() > kFieldLength)
      throw Error("atom " + atom.label + ": the type symbol " + atom.type_symbol +
                  " is longer than the 8 characters an experiment file keeps");
    type_index(out.types, atom);
    const SiteConstraints site = site_of(atom, group);

    AtomRecord written;
    written.type_symbol = atom.type_symbol;
    written.label = atom.label;
    written.x = site.position;
    written.fraction = atom.occupancy.value;
    written.multiplicity = static_cast<int>(group.size()) / site.stabiliser_order;
    written.anisotropic = atom.anisotropic;
    if (atom.anisotropic)
      written.u = atom.u;
    else
      written.u[0] = atom.uiso;
    out.atoms.push_back(written);

    // The occupancy is its own variable.
    if (atom.occupancy.su > 0) {
      const std::string name = parameter_name(record, "FRAC");
      const int variable = new_variable(name, atom.occupancy.su * atom.occupancy.su);
      covariance.constraints.push_back({new_parameter(name), variable, 1.0});
    }

    // A free coordinate takes its variance from its own s.u., or else from
    // a coordinate that follows it alone (y = 2x printed with an s.u. for y only).
    std::array<int, 3> variable_of{};
    for (int j = 0; j < 3; ++j) {
      if (!site.free[j]) continue;
      double variance = 0;
      if (atom.x[j].su > 0) {
        variance = atom.x[j].su * atom.x[j].su;
      } else {
        for (int i = 0; i < 3 && variance == 0; ++i) {
          bool follows_j_alone = i != j && site.dependence[i][j] != 0;
          for (int k = 0; k < 3; ++k)
            if (k != j && site.free[k] && site.dependence[i][k] != 0) follows_j_alone = false;
          if (follows_j_alone && atom.x[i].su > 0)
            variance = std::pow(atom.x[i].su / site.dependence[i][j], 2);
        }
      }
      if (variance > 0) variable_of[j] = new_variable(parameter_name(record, coordinate_names[j]), variance);
    }
    // Coordinates that the site symmetry fixes get no entry, and so no s.u.
    for (int i = 0; i < 3; ++i) {
      int parameter = 0;
      for (int j = 0; j < 3; ++j) {
        if (variable_of[j] == 0 || site.dependence[i][j] == 0) continue;
        if (parameter == 0) parameter = new_parameter(parameter_name(record, coordinate_names[i]));
        covariance.constraints.push_back({parameter, variable_of[j], site.dependence[i][j]});
      }
    }
  }
  return result;
}

}  // namespace cif2exp
