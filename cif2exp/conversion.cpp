#include "cif2exp/conversion.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cif2exp/covalent_radii.hpp"
#include "cif2exp/short_labels.hpp"
#include "cif2exp/site_constraints.hpp"
#include "crystal/limits.hpp"
#include "numeric/degrees.hpp"
#include "recio/edit_output.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace cif2exp {

namespace {

using vesk::cos_degrees;
using vesk::Error;
using vesk::sin_degrees;

constexpr std::size_t kFieldLength = 8;  // type symbols
constexpr double kLargestRounding = 5e-4;
constexpr double kLargestSuReach = 2e-3;  // of a coordinate, towards the site the CIF declares
constexpr double kLargestReachWithoutSu = 5e-4;  // of a coordinate printed without s.u.
constexpr int kDecimalKeyAtoms = 999;    // "AT" + three digits
constexpr double kShortestCellLength = 0.5;   // Angstrom; no crystal has a shorter edge
constexpr double kFlattestCell = 1e-5;   // 1 - cos^2 a - cos^2 b - cos^2 g + 2 cos a cos b cos g, (V/abc)^2

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
  if (types.size() == vesk::kMaxAtomTypes)
    throw Error("atom " + atom.label + ": more than 36 atom types; a phase holds at most 36");
  types.push_back({atom.type_symbol, radius + kBondRadiusTolerance, radius + kAngleRadiusTolerance});
  return static_cast<int>(types.size() - 1);
}

SiteConstraints site_of(const CifAtom& atom, const std::vector<SeitzOperator>& group, std::vector<std::string>& notes) {
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
  // Some refinement programs wrote the site-symmetry order under the
  // multiplicity's name; either number is the site's own.
  const int declared = atom.off_special_position ? 0 : atom.declared_multiplicity;
  auto agrees = [&](const SiteConstraints& s) {
    return declared == s.stabiliser_order || declared == static_cast<int>(group.size()) / s.stabiliser_order;
  };
  // An atom without s.u.'s (a riding or constrained one, as some programs
  // print it) has nothing to reach its declared site with but its digits:
  // up to 0.0005 it is moved there, with a note.
  const bool without_su = atom.x[0].su == 0 && atom.x[1].su == 0 && atom.x[2].su == 0;
  auto moved_onto_declared_site = [&]() -> bool {
    if (declared == 0 || !without_su) return false;
    Coordinates reach{};
    for (int i = 0; i < 3; ++i) reach[i] = std::max(half_place[i], kLargestReachWithoutSu);
    try {
      const SiteConstraints special = constrain_site(x, reach, group);
      if (!agrees(special)) return false;
      site = special;
    } catch (const Error&) {
      return false;
    }
    char moved[160];
    auto shown = [](double value) { return std::fabs(value) < 5e-5 ? 0.0 : value; };  // no "-0.0000"
    std::snprintf(moved, sizeof moved, "(%.4f, %.4f, %.4f)", shown(site.position[0]), shown(site.position[1]),
                  shown(site.position[2]));
    notes.push_back("atom " + atom.label + " at " + position_text(atom) +
                    ", without s.u.'s, is moved onto the special position " + moved + " that its multiplicity " +
                    std::to_string(declared) + " declares");
    return true;
  };
  try {
    site = constrain_site(x, half_place, group);
  } catch (const Error& e) {
    if (!moved_onto_declared_site()) throw Error(where + e.what() + "; its site symmetry does not leave it in place");
  }
  if (declared != 0 && !agrees(site)) {
    // A constrained atom printed a little off its special position, within
    // its s.u. or its last digit ("0.4999(5)" for 1/2, a riding hydrogen
    // "0.4999" beside it): the CIF's own site, when these reach it.
    Coordinates wider = half_place;
    for (int i = 0; i < 3; ++i)
      wider[i] = std::max(wider[i], std::min(std::max(2 * atom.x[i].su, atom.x[i].last_place), kLargestSuReach));
    try {
      const SiteConstraints special = constrain_site(x, wider, group);
      if (agrees(special)) site = special;
    } catch (const Error&) {
      // no site within the s.u.'s: the message below says what the coordinates give
    }
    if (!agrees(site)) moved_onto_declared_site();
  }
  const int order = site.stabiliser_order;
  const int multiplicity = static_cast<int>(group.size()) / order;
  if (declared != 0 && declared != multiplicity && declared != order)
    throw Error(where + "the CIF gives the site multiplicity " + std::to_string(declared) + ", but " +
                std::to_string(order) + " of the " + std::to_string(group.size()) +
                " operators leave these coordinates in place (multiplicity " + std::to_string(multiplicity) +
                ", site-symmetry order " + std::to_string(order) +
                "); its site symmetry does not leave it in place. Correct the coordinates or the multiplicity");
  if (atom.declared_order != 0 && atom.declared_order != order && !atom.off_special_position)
    throw Error(where + "the CIF gives the site symmetry order " + std::to_string(atom.declared_order) + ", but " +
                std::to_string(order) + " operators leave these coordinates in place; its site symmetry does not" +
                " leave it in place");
  return site;
}

// The cell as vortan will read it: lengths that fit and are lengths, angles
// that close a cell.
void check_cell(const CifStructure& structure) {
  static const char* const names[3] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i)
    if (!(structure.cell[i].value >= kShortestCellLength) || structure.cell[i].value >= 1e5)
      throw Error("the cell length " + std::string(names[i]) + " = " + std::to_string(structure.cell[i].value) +
                  " A is no cell edge (vortan takes 0.5 A to 99999 A)");
  double c[3];
  for (int i = 0; i < 3; ++i) c[i] = cos_degrees(structure.cell[i + 3].value);
  const double volume_factor = 1 - c[0] * c[0] - c[1] * c[1] - c[2] * c[2] + 2 * c[0] * c[1] * c[2];
  if (!(volume_factor > kFlattestCell))
    throw Error("the cell angles " + std::to_string(structure.cell[3].value) + ", " +
                std::to_string(structure.cell[4].value) + ", " + std::to_string(structure.cell[5].value) +
                " close no cell (its volume would be zero)");
}

// vortan's own bound on its search: the longest limit over the phase's
// types, and the lattice translations it needs.
void check_search(const CifStructure& structure, const ExperimentContent& out, const ConversionOptions& options) {
  double bond = 0, angle = 0;
  for (const TypeRecord& type : out.types) {
    bond = std::max(bond, 2.0 * type.bond_radius);
    angle = std::max(angle, 2.0 * type.angle_radius);
  }
  if (!options.dmax.empty()) bond = std::strtod(options.dmax.c_str(), nullptr);
  if (!options.dagl.empty()) angle = std::strtod(options.dagl.c_str(), nullptr);
  const double longest = std::max(bond, angle);
  double c[3], s[3];
  for (int i = 0; i < 3; ++i) {
    c[i] = cos_degrees(structure.cell[i + 3].value);
    s[i] = sin_degrees(structure.cell[i + 3].value);
  }
  const double root = std::sqrt(std::max(1e-12, 1 - c[0] * c[0] - c[1] * c[1] - c[2] * c[2] + 2 * c[0] * c[1] * c[2]));
  long count = 1;
  for (int k = 0; k < 3; ++k) {
    const double reach = s[k] / (structure.cell[k].value * root);
    const double r = std::max(2.0, longest * reach + 1e-3);
    count *= static_cast<long>(std::floor(2 * r)) + 1;
  }
  if (count > kMostTranslations)
    throw Error("a search to " + std::to_string(longest) + " A in this cell needs more than " +
                std::to_string(kMostTranslations) + " lattice translations, which vortan refuses; give a shorter --dmax");
}

// a*, b*, c* of the CIF's cell.
Coordinates reciprocal_lengths(const CifStructure& structure) {
  double c[3], s[3];
  for (int i = 0; i < 3; ++i) {
    c[i] = cos_degrees(structure.cell[i + 3].value);
    s[i] = sin_degrees(structure.cell[i + 3].value);
  }
  const double root = std::sqrt(1 - c[0] * c[0] - c[1] * c[1] - c[2] * c[2] + 2 * c[0] * c[1] * c[2]);
  Coordinates lengths{};
  for (int k = 0; k < 3; ++k) lengths[k] = s[k] / (structure.cell[k].value * root);
  return lengths;
}

}  // namespace

void check_limit(const std::string& option, const std::string& value) {
  // Digits and one point only: strtod would also take "inf", "nan" and "0x10".
  bool digit = false, point = false, plain = !value.empty() && value.size() <= 10;
  for (char c : value) {
    if (std::isdigit(static_cast<unsigned char>(c)))
      digit = true;
    else if (c == '.' && !point)
      point = true;
    else
      plain = false;
  }
  const double limit = plain && digit ? std::strtod(value.c_str(), nullptr) : 0;
  if (!(limit > 0) || limit > kLongestSearchLimit)
    throw Error(option + " " + value + " is not a distance in Angstrom above 0 and up to vortan's 50 A");
}

std::string parameter_name(int atom_record, const std::string& parameter, bool hexadecimal) {
  if (!hexadecimal) return "1" + recio::edit_integer(atom_record, 3) + recio::pad(parameter, 4);
  static const char* const digits = "0123456789ABCDEF";
  std::string key = "1";
  for (int shift = 12; shift >= 0; shift -= 4) key += digits[(atom_record >> shift) & 0xF];
  return key + recio::pad(parameter.substr(0, 3), 3);
}

Conversion convert(const CifStructure& structure, const ResolvedSymmetry& symmetry, const ConversionOptions& options) {
  Conversion result;
  ExperimentContent& out = result.experiment;
  CovarianceContent& covariance = result.covariance;
  const std::vector<SeitzOperator>& group = symmetry.group;

  check_cell(structure);
  const std::size_t natoms = structure.atoms.size();
  if (natoms > vesk::kMaxAtoms)
    throw Error(std::to_string(natoms) + " atoms; a phase holds at most " + std::to_string(vesk::kMaxAtoms));
  out.hexadecimal_keys = natoms > kDecimalKeyAtoms;
  if (out.hexadecimal_keys) {
    for (const CifAtom& atom : structure.atoms)
      if (atom.anisotropic)
        throw Error(std::to_string(natoms) + " atoms, atom " + atom.label +
                    " anisotropic: an experiment file numbers the atoms of a phase with Uij up to 999; beyond, "
                    "only the layout of isotropic atoms (four hexadecimal digits) can hold them");
    bool partial = false;
    for (const CifAtom& atom : structure.atoms) partial = partial || atom.occupancy.value != 1;
    result.notes.push_back(std::to_string(natoms) + " atoms: written in the isotropic layout with hexadecimal keys" +
                           (partial ? std::string(", in which vortan lists every occupancy as 1") : std::string()));
  }

  result.notes.insert(result.notes.end(), structure.warnings.begin(), structure.warnings.end());
  out.title = structure.title;
  const std::string source = std::filesystem::path(structure.file).filename().string();
  out.history = "cif2exp from " + source + ", data_" + structure.block_name;
  out.phase_name = structure.phase_name;
  for (int i = 0; i < 6; ++i) {
    out.cell[i] = structure.cell[i].value;
    out.cell_sigma[i] = structure.cell[i].su;
  }
  out.symbol = symmetry.symbol;
  out.run_summary = "never; cif2exp took the s.u.'s from the CIF";
  out.cycle_figure = structure.r_factor;
  if (structure.refined_on == "Fsqd") out.control_fields.push_back("RFN-Fsq ");
  if (structure.refined_on == "F") out.control_fields.push_back("RFN-F   ");
  if (structure.sigma_cutoff > 0 && structure.sigma_cutoff < 999)
    out.control_fields.push_back("SGLM" + recio::edit_integer(std::lround(structure.sigma_cutoff * 10), 4));
  out.vortan_controls = (options.dmax.empty() ? std::string("DFLT") : "DMAX " + options.dmax) + " " +
                        (options.dagl.empty() ? std::string("DFLT") : "DAGL " + options.dagl);
  covariance.cycle_figure = structure.r_factor;

  std::vector<std::string> cif_labels;
  for (const CifAtom& atom : structure.atoms) cif_labels.push_back(atom.label);
  const std::vector<std::string> labels = short_labels(cif_labels);
  result.cif_labels = cif_labels;
  int renamed = 0;
  for (std::size_t n = 0; n < natoms; ++n) renamed += labels[n] != cif_labels[n] ? 1 : 0;
  if (renamed > 0)
    result.notes.push_back(std::to_string(renamed) + " label" + (renamed == 1 ? "" : "s") +
                           " longer than 8 characters or outside ASCII renamed (listed below)");

  auto new_variable = [&covariance](const std::string& name, double variance) {
    covariance.variable_names.push_back(name);
    covariance.variances.push_back(variance);
    return static_cast<int>(covariance.variances.size());
  };
  auto new_parameter = [&covariance](const std::string& name) {
    covariance.names.push_back(name);
    return static_cast<int>(covariance.names.size());
  };
  const bool hex = out.hexadecimal_keys;
  // A parameter that is its own variable.
  auto own_variable = [&](int record, const std::string& name, double su) {
    if (!(su > 0)) return;
    const std::string parameter = parameter_name(record, name, hex);
    covariance.constraints.push_back({new_parameter(parameter), new_variable(parameter, su * su), 1.0});
  };

  // Parameters that a site's symmetry ties: one variable per free
  // parameter, its variance from its own s.u. or else from that of a
  // parameter that follows it alone (y = 2x printed with an s.u. for y
  // only); every parameter that follows free ones gets a constraint entry
  // per free one; a fixed parameter gets none, and so no s.u.
  auto tie_parameters = [&]<std::size_t N>(int record, const char* const (&names)[N], const std::array<bool, N>& free,
                                           const std::array<std::array<double, N>, N>& dependence,
                                           const std::array<double, N>& su) {
    std::array<int, N> variable_of{};
    for (std::size_t j = 0; j < N; ++j) {
      if (!free[j]) continue;
      double variance = 0;
      if (su[j] > 0) {
        variance = su[j] * su[j];
      } else {
        for (std::size_t i = 0; i < N && variance == 0; ++i) {
          bool follows_j_alone = i != j && dependence[i][j] != 0;
          for (std::size_t k = 0; k < N; ++k)
            if (k != j && free[k] && dependence[i][k] != 0) follows_j_alone = false;
          if (follows_j_alone && su[i] > 0) variance = std::pow(su[i] / dependence[i][j], 2);
        }
      }
      if (variance > 0) variable_of[j] = new_variable(parameter_name(record, names[j], hex), variance);
    }
    for (std::size_t i = 0; i < N; ++i) {
      int parameter = 0;
      for (std::size_t j = 0; j < N; ++j) {
        if (variable_of[j] == 0 || dependence[i][j] == 0) continue;
        if (parameter == 0) parameter = new_parameter(parameter_name(record, names[i], hex));
        covariance.constraints.push_back({parameter, variable_of[j], dependence[i][j]});
      }
    }
  };

  static const char* const coordinate_names[3] = {"X", "Y", "Z"};
  static const char* const u_names[6] = {"U11", "U22", "U33", "U12", "U13", "U23"};
  const Coordinates reciprocal = reciprocal_lengths(structure);
  for (std::size_t n = 0; n < natoms; ++n) {
    CifAtom atom = structure.atoms[n];
    for (int i = 0; i < 3; ++i) atom.x[i].value += symmetry.origin.shift[i] / 24.0;
    const int record = static_cast<int>(n + 1);
    if (atom.type_symbol.size() > kFieldLength)
      throw Error("atom " + atom.label + ": the type symbol " + atom.type_symbol +
                  " is longer than the 8 characters an experiment file keeps");
    type_index(out.types, atom);
    const SiteConstraints site = site_of(atom, group, result.notes);

    AtomRecord written;
    written.type_symbol = atom.type_symbol;
    written.label = labels[n];
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
    own_variable(record, hex ? "FRA" : "FRAC", atom.occupancy.su);

    std::array<double, 3> x_su{};
    for (int i = 0; i < 3; ++i) x_su[i] = atom.x[i].su;
    tie_parameters(record, coordinate_names, site.free, site.dependence, x_su);
    // Displacement parameters tied by the site's symmetry as its
    // coordinates are, so that a figure derived from the Uij has the s.u.
    // the site allows.
    if (atom.anisotropic) {
      const DisplacementConstraints ties = constrain_displacements(site.stabiliser, reciprocal);
      out.atoms.back().u = ties.symmetrised(atom.u);
      tie_parameters(record, u_names, ties.free, ties.dependence, atom.u_su);
    } else {
      own_variable(record, hex ? "UIS" : "UISO", atom.uiso_su);
    }
  }
  check_search(structure, out, options);
  return result;
}

}  // namespace cif2exp
