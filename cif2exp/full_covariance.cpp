#include "cif2exp/full_covariance.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cif2exp/cif_number.hpp"
#include "cif2exp/covalent_radii.hpp"
#include "cif2exp/group_operators.hpp"
#include "cif2exp/reflection_data.hpp"
#include "cif2exp/res_instructions.hpp"
#include "geometry/disjoint_sets.hpp"
#include "lsq/form_factors.hpp"
#include "lsq/parameters.hpp"
#include "lsq/refinement.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace cif2exp {

namespace {

// Why the full covariance cannot be built; caught below and turned into
// the reason the diagonal one stands.
struct Refusal {
  std::string reason;
};

// SHELXL's default s.u.'s of the distance restraints (Angstrom).
constexpr double kDfixSigma = 0.02, kDangSigma = 0.04, kSadiSigma = 0.02, kDeluSigma = 0.01;
// SAME's for 1,2 and 1,3 distances.
constexpr double kSameSigma = 0.02, kSame13Sigma = 0.04;
// ... of the restraints on displacement parameters (square Angstrom; RIGU's
// for 1,2 and 1,3 pairs alike, SIMU's and ISOR's doubled for terminal
// atoms), SIMU's reach (Angstrom) and FLAT's s.u. of the volume of four
// atoms (cubic Angstrom).
constexpr double kRiguSigma = 0.004, kSimuSigma = 0.04, kSimuReach = 2.0, kIsorSigma = 0.1, kFlatSigma = 0.1;
// Atoms closer than the sum of their covalent radii and this (Angstrom) are
// bonded, as SHELXL's connectivity takes them.
constexpr double kBondTolerance = 0.5;
// An R1 this far from the paper's means the model is not the refinement's.
constexpr double kLargestR1Gap = 0.005;
constexpr double kLargestR1Ratio = 0.15;  // of the paper's R1
// A published model is converged; a cycle from it that asks for more than
// this shift (in s.u.'s) is worth a warning.
constexpr double kLargeShift = 0.5;
constexpr int kMostCycles = 3;  // from the published parameters, when the first asks for a large shift
constexpr std::size_t kNamedAtMost = 4;  // unsupported instructions named in the reason
// Half the last place of the coordinates the instructions give.
constexpr double kResRounding = 0.5e-5;
// The normal matrix of this many variables takes 800 MB in double.
constexpr int kMostVariables = 10000;

const std::string* value_of(const gemmi::cif::Block& block, std::initializer_list<const char*> tags) {
  for (const char* tag : tags)
    if (const std::string* value = block.find_value(tag))
      if (!gemmi::cif::is_null(*value)) return value;
  return nullptr;
}

std::string text_of(const gemmi::cif::Block& block, std::initializer_list<const char*> tags) {
  const std::string* value = value_of(block, tags);
  return value == nullptr ? std::string() : gemmi::cif::as_string(*value);
}

// A file the user named: the text of instructions or reflections, or a
// refusal that names it (a folder, an empty file, bytes that are no text;
// the end-of-file mark 0x1A of files written on DOS is text here).
std::string whole_file(const std::string& file) {
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) throw Refusal{file + " is a folder, not a file"};
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Refusal{"cannot read " + file};
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw Refusal{"cannot read " + file};
  const std::string content = text.str();
  if (content.find_first_not_of(" \t\r\n") == std::string::npos) throw Refusal{file + " is empty"};
  for (std::size_t k = 0; k < content.size(); ++k) {
    const auto c = static_cast<unsigned char>(content[k]);
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != 0x1a) || c == 0x7f) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", c);
      throw Refusal{file + " is not a text file (the byte " + byte + " at offset " + std::to_string(k) + ")"};
    }
  }
  return content;
}

std::string grouped(long value) {
  std::string digits = std::to_string(value);
  for (int k = static_cast<int>(digits.size()) - 3; k > 0; k -= 3) digits.insert(static_cast<std::size_t>(k), ",");
  return digits;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double cif_value(const gemmi::cif::Block& block, std::initializer_list<const char*> tags) {
  const std::string* raw = value_of(block, tags);
  if (raw == nullptr) return 0;
  const CifNumber n = parse_cif_number(*raw);
  return n.present ? n.value : 0;
}

// The space group as the instructions give it: LATT and SYMM.
lsq::SpaceGroup group_of(const ResInstructions& res) {
  lsq::SpaceGroup group;
  group.operators.push_back(lsq::Operator{});
  for (const std::string& text : res.symm) {
    SeitzOperator op;
    try {
      op = parse_operator(text);
    } catch (const vesk::Error& e) {
      throw Refusal{std::string("SYMM ") + e.what()};
    }
    lsq::Operator o;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) o.rotation[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = op.r(i, j);
      o.translation[static_cast<std::size_t>(i)] = op.translation[static_cast<std::size_t>(i)] / 12.0;
    }
    group.operators.push_back(o);
  }
  group.centric = res.latt > 0;
  static const std::vector<lsq::Vec3> kCentring[8] = {
      {},
      {{0, 0, 0}},
      {{0, 0, 0}, {0.5, 0.5, 0.5}},
      {{0, 0, 0}, {2.0 / 3, 1.0 / 3, 1.0 / 3}, {1.0 / 3, 2.0 / 3, 2.0 / 3}},
      {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}},
      {{0, 0, 0}, {0, 0.5, 0.5}},
      {{0, 0, 0}, {0.5, 0, 0.5}},
      {{0, 0, 0}, {0.5, 0.5, 0}}};
  group.centring = kCentring[std::abs(res.latt)];
  return group;
}

// f' and f'' per type symbol from the CIF's _atom_type loop.
std::map<std::string, std::pair<double, double>> cif_dispersion(const gemmi::cif::Block& block) {
  std::map<std::string, std::pair<double, double>> out;
  gemmi::cif::Block copy = block;
  gemmi::cif::Table types = copy.find("_atom_type_", {"symbol", "scat_dispersion_real", "scat_dispersion_imag"});
  if (!types.ok()) return out;
  for (auto row : types) {
    const CifNumber real = parse_cif_number(row[1]), imag = parse_cif_number(row[2]);
    if (real.present && imag.present) out[recio::upper_case(gemmi::cif::as_string(row[0]))] = {real.value, imag.value};
  }
  return out;
}

// The instructions' connectivity: atoms closer than the sum of their
// covalent radii and 0.5 A are bonded when they are in one part or one of
// them in part 0; within the asymmetric unit as the instructions list it.
class Connectivity {
 public:
  Connectivity(const ResInstructions& res, const lsq::Model& model)
      : res_(res), metric_(lsq::metric_of(model.cell)), neighbours_(res.atoms.size(), 0) {
    for (std::size_t a = 0; a < res.atoms.size(); ++a)
      for (std::size_t b = a + 1; b < res.atoms.size(); ++b)
        if (bonded(static_cast<int>(a), static_cast<int>(b)) && !hydrogen(static_cast<int>(a)) && !hydrogen(static_cast<int>(b))) {
          ++neighbours_[a];
          ++neighbours_[b];
        }
  }
  bool hydrogen(int a) const { return hydrogen_atom(res_, a); }
  bool one_part(int a, int b) const { return atom(a).part == atom(b).part || atom(a).part == 0 || atom(b).part == 0; }
  double distance(int a, int b) const {
    double d2 = 0;
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 3; ++j)
        d2 += (atom(a).x[i] - atom(b).x[i]) * metric_.direct[i][j] * (atom(a).x[j] - atom(b).x[j]);
    return std::sqrt(d2);
  }
  bool bonded(int a, int b) const {
    if (!one_part(a, b)) return false;
    const double d = distance(a, b);
    const double reach = covalent_radius(res_.sfac[static_cast<std::size_t>(atom(a).sfac - 1)].symbol) +
                         covalent_radius(res_.sfac[static_cast<std::size_t>(atom(b).sfac - 1)].symbol) + kBondTolerance;
    return d > 0 && d < reach;
  }
  // Bonded to at most one atom other than hydrogen.
  bool terminal(int a) const { return neighbours_[static_cast<std::size_t>(a)] <= 1; }

 private:
  const ResAtom& atom(int a) const { return res_.atoms[static_cast<std::size_t>(a)]; }
  const ResInstructions& res_;
  lsq::Metric metric_;
  std::vector<int> neighbours_;
};

std::pair<int, int> ordered(int a, int b) { return {std::min(a, b), std::max(a, b)}; }

// The pairs of anisotropic atoms among `atoms` that a rigid-bond
// restraint joins: bonded (1,2) and both bonded to a third of them (1,3),
// never two atoms of different parts. A pair that an earlier restraint of
// the same kind holds (`held`, updated) is not restrained twice.
struct RigidPairs {
  std::vector<int> bonded, across;  // pairs, flat
};

RigidPairs rigid_pairs(const Connectivity& connectivity, const lsq::Model& model, const std::vector<int>& atoms,
                       std::set<std::pair<int, int>>& held) {
  const std::size_t n = atoms.size();
  std::vector<std::vector<bool>> bond(n, std::vector<bool>(n, false));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) bond[i][j] = bond[j][i] = connectivity.bonded(atoms[i], atoms[j]);
  RigidPairs pairs;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = i + 1; k < n; ++k) {
      if (!model.atoms[static_cast<std::size_t>(atoms[i])].anisotropic || !model.atoms[static_cast<std::size_t>(atoms[k])].anisotropic ||
          atoms[i] == atoms[k])
        continue;
      bool across = false;
      for (std::size_t j = 0; j < n && !bond[i][k]; ++j) across = across || (bond[i][j] && bond[j][k]);
      if (!bond[i][k] && !(across && connectivity.one_part(atoms[i], atoms[k]))) continue;
      if (!held.insert(ordered(atoms[i], atoms[k])).second) continue;
      std::vector<int>& list = bond[i][k] ? pairs.bonded : pairs.across;
      list.insert(list.end(), {atoms[i], atoms[k]});
    }
  return pairs;
}

// Distances restrained equal, as SHELXL sets them up: sets of SADI and
// SAME with the same s.u. that share a distance are one set, each distance
// once, so that SAME on several copies of one group (residues) gives one
// set for each distance of the group, holding every copy. SHELXL lists
// its sets after END ("SADI restraints, including those derived from
// SAME"): cifvis_twin_cc's 45 are ours, set for set.
struct EqualDistanceSet {
  double sigma = 0;
  std::vector<std::pair<int, int>> pairs;
  std::string name;
};

std::vector<EqualDistanceSet> merged(const std::vector<EqualDistanceSet>& sets) {
  vesk::DisjointSets joined(sets.size());
  std::map<std::pair<double, std::pair<int, int>>, std::size_t> first_with;
  for (std::size_t k = 0; k < sets.size(); ++k)
    for (const auto& [a, b] : sets[k].pairs) {
      const auto [it, fresh] = first_with.emplace(std::pair{sets[k].sigma, ordered(a, b)}, k);
      if (!fresh) joined.join(k, it->second);
    }
  std::vector<EqualDistanceSet> out;
  std::map<std::size_t, std::size_t> out_of;  // root -> index into out
  for (std::size_t k = 0; k < sets.size(); ++k) {
    const auto [it, fresh] = out_of.emplace(joined.root(k), out.size());
    if (fresh) out.push_back({sets[k].sigma, {}, sets[k].name});
    EqualDistanceSet& set = out[it->second];
    if (!fresh && set.name.find(sets[k].name) == std::string::npos) set.name += ", " + sets[k].name;
    for (const auto& [a, b] : sets[k].pairs)
      if (std::find(set.pairs.begin(), set.pairs.end(), ordered(a, b)) == set.pairs.end()) set.pairs.push_back(ordered(a, b));
  }
  return out;
}

// SAME: each 1,2 distance of the named atoms (bonded) and each 1,3 distance
// (both bonded to a third of them) equal to the same distance of the atoms
// that follow, with s.u. s1 and s2; a pair of two parts on either side is
// left out.
std::vector<EqualDistanceSet> same_distances(const Connectivity& connectivity, const ResAtomGroup& g,
                                             const std::string& name, double s1, double s2) {
  const std::vector<int>& x = g.atoms;
  const std::size_t n = x.size();
  std::vector<EqualDistanceSet> sets;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = i + 1; k < n; ++k) {
      const bool bond = connectivity.bonded(x[i], x[k]);
      bool across = false;
      for (std::size_t j = 0; j < n && !bond && !across; ++j)
        across = j != i && j != k && connectivity.bonded(x[i], x[j]) && connectivity.bonded(x[j], x[k]);
      const double sigma = bond ? s1 : s2;
      if ((bond || across) && sigma > 0 && connectivity.one_part(x[i], x[k]) &&
          connectivity.one_part(g.following[i], g.following[k]))
        sets.push_back({sigma, {{x[i], x[k]}, {g.following[i], g.following[k]}}, name});
    }
  return sets;
}

// The restraints on displacement parameters that a group names: hydrogen
// atoms left out, each atom once.
std::vector<int> heavy_atoms(const Connectivity& connectivity, const std::vector<int>& atoms) {
  std::vector<int> out;
  for (int a : atoms)
    if (!connectivity.hydrogen(a) && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  return out;
}

// The domains of TWIN with their BASF fractions; equal and held without
// BASF.
lsq::Twin twin_of(const ResInstructions& res, std::vector<std::string>& notes) {
  lsq::Twin twin;
  for (const std::array<int, 9>& m : res.twin_domains) {
    lsq::IntMat3 r{};
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 3; ++j) r[i][j] = m[3 * i + j];
    twin.domains.push_back(r);
  }
  const std::size_t n = twin.domains.size();
  if (n == 0) return twin;
  if (res.basf.empty()) {
    twin.fractions.assign(n - 1, 1.0 / static_cast<double>(n));
    twin.fraction_refined.assign(n - 1, false);
    notes.push_back("TWIN without BASF: " + std::to_string(n) + " domains of equal fractions, held");
  } else if (res.basf.size() != n - 1) {
    throw Refusal{"TWIN with " + std::to_string(n) + " domains needs " + std::to_string(n - 1) +
                  " BASF fractions, the instructions give " + std::to_string(res.basf.size())};
  } else {
    twin.fractions = res.basf;
    for (bool fixed : res.basf_fixed) twin.fraction_refined.push_back(!fixed);
  }
  return twin;
}

lsq::Model model_of(const ResInstructions& res, const gemmi::cif::Block& block, std::vector<std::string>& notes) {
  lsq::Model model;
  model.cell = res.cell;
  model.wavelength = res.wavelength;
  model.group = group_of(res);
  const auto dispersion = cif_dispersion(block);
  std::vector<std::string> without_dispersion;
  for (const ResScatterer& s : res.sfac) {
    lsq::ScatteringFactor f;
    if (s.tabulated) {
      try {
        f = lsq::it92_form_factor(s.symbol);
      } catch (const vesk::Error& e) {
        throw Refusal{std::string("SFAC ") + s.symbol + ": " + e.what()};
      }
    } else {
      f.symbol = s.symbol;
      for (int k = 0; k < 4; ++k) {
        f.a[static_cast<std::size_t>(k)] = s.coefficients[static_cast<std::size_t>(k)];
        f.b[static_cast<std::size_t>(k)] = s.coefficients[static_cast<std::size_t>(4 + k)];
      }
      f.c = s.coefficients[8];
    }
    if (s.dispersion) {
      f.f_prime = s.f_prime;
      f.f_double_prime = s.f_double_prime;
    } else if (const auto found = dispersion.find(recio::upper_case(s.symbol)); found != dispersion.end()) {
      f.f_prime = found->second.first;
      f.f_double_prime = found->second.second;
    } else {
      without_dispersion.push_back(s.symbol);
    }
    if (res.merg == 4) f.f_double_prime = 0;  // MERG 4: Friedel opposites merged and f'' left out
    model.types.push_back(f);
  }
  if (!without_dispersion.empty()) {
    std::string names;
    for (const std::string& s : without_dispersion) names += (names.empty() ? "" : ", ") + s;
    notes.push_back("no f', f'' for " + names + " in the instructions or the CIF's _atom_type loop: taken as 0");
  }
  for (const ResAtom& a : res.atoms) {
    lsq::Atom atom;
    atom.label = a.label;
    atom.type = a.sfac - 1;
    atom.site = a.x;
    atom.occupancy = a.sof;
    atom.anisotropic = a.anisotropic;
    atom.uiso = a.uiso;
    atom.u = a.u;
    for (int i = 0; i < 3; ++i) atom.refined[static_cast<std::size_t>(i)] = !a.x_fixed[static_cast<std::size_t>(i)];
    atom.refined[lsq::kOccupancy] = !a.sof_fixed;
    atom.refined[lsq::kUiso] = !a.anisotropic && a.riding_u == 0 && !a.uiso_fixed;
    for (int k = 0; k < 6; ++k) atom.refined[static_cast<std::size_t>(lsq::kU11 + k)] = a.anisotropic && !a.u_fixed[static_cast<std::size_t>(k)];
    atom.riding_pivot = a.pivot;
    if (a.sof_free_variable >= 0) {
      atom.occupancy_link = {a.sof_free_variable, a.sof_coefficient};
      atom.refined[lsq::kOccupancy] = false;
    }
    if (a.uiso_free_variable >= 0) {
      atom.uiso_link = {a.uiso_free_variable, a.uiso_coefficient};
      atom.refined[lsq::kUiso] = false;
    }
    if (a.riding_u != 0) {
      atom.u_pivot = a.u_pivot;
      atom.u_factor = a.riding_u;
    }
    model.atoms.push_back(atom);
  }
  // A rigid group whose first atom has a coordinate fixed keeps that atom
  // in place and turns about it (as olex2.refine writes such a group).
  for (const ResRigidGroup& g : res.rigid_groups) {
    const ResAtom& pivot = res.atoms[static_cast<std::size_t>(g.atoms.front())];
    const bool translated = !pivot.x_fixed[0] && !pivot.x_fixed[1] && !pivot.x_fixed[2];
    const std::string name = "AFIX " + std::to_string(g.afix) + " (line " + std::to_string(g.line) + ")";
    model.rigid_groups.push_back({g.atoms, translated, name});
    if (!translated)
      notes.push_back(name + ": its first atom " + pivot.label + " has a fixed coordinate: the group turns about it, "
                      "which stays in place");
  }
  if (res.fvar.empty()) throw Refusal{"the instructions have no FVAR (the overall scale)"};
  model.scale = res.fvar[0];
  model.free_variables.assign(res.fvar.begin() + 1, res.fvar.end());
  model.free_variable_refined.assign(model.free_variables.size(), true);
  model.twin = twin_of(res, notes);
  const Connectivity connectivity(res, model);
  std::set<std::pair<int, int>> delu_pairs, rigu_pairs;
  std::vector<EqualDistanceSet> equal_distances;
  for (const ResAtomGroup& g : res.groups) {
    const std::string name = g.instruction + " (line " + std::to_string(g.line) + ")";
    auto number = [&](std::size_t k, double otherwise) { return k < g.numbers.size() ? g.numbers[k] : otherwise; };
    if (g.instruction == "EADP" || g.instruction == "EXYZ") {
      for (std::size_t k = 1; k < g.atoms.size(); ++k) {
        lsq::Atom& atom = model.atoms[static_cast<std::size_t>(g.atoms[k])];
        (g.instruction == "EADP" ? atom.same_u_as : atom.same_site_as) = g.atoms[0];
      }
    } else if (g.instruction == "DELU" || g.instruction == "RIGU") {
      const RigidPairs pairs = rigid_pairs(connectivity, model, heavy_atoms(connectivity, g.atoms),
                                           g.instruction == "DELU" ? delu_pairs : rigu_pairs);
      const lsq::RestraintKind kind = g.instruction == "DELU" ? lsq::RestraintKind::RigidBond : lsq::RestraintKind::RigidBody;
      const double s1 = number(0, g.instruction == "DELU" ? kDeluSigma : kRiguSigma), s2 = number(1, s1);
      if (s1 > 0) model.restraints.push_back({kind, pairs.bonded, {}, {}, 0, s1, name});
      if (s2 > 0) model.restraints.push_back({kind, pairs.across, {}, {}, 0, s2, name});
    } else if (g.instruction == "SIMU") {
      // Atoms closer than dmax, with st where either is terminal. The
      // distance decides, not the connectivity: overlapping disorder
      // partners of two parts are held alike too (finalcif_sad's 365
      // restraints, the paper's count, only so).
      const double s = number(0, kSimuSigma), st = number(1, 2 * s), reach = number(2, kSimuReach);
      const std::vector<int> atoms = heavy_atoms(connectivity, g.atoms);
      lsq::Restraint restraint{lsq::RestraintKind::SimilarU, {}, {}, {}, 0, s > 0 ? s : st, name};
      for (std::size_t i = 0; i < atoms.size(); ++i)
        for (std::size_t k = i + 1; k < atoms.size(); ++k) {
          const int a = atoms[i], b = atoms[k];
          const double sigma = connectivity.terminal(a) || connectivity.terminal(b) ? st : s;
          if (sigma > 0 && connectivity.distance(a, b) < reach) {
            restraint.atoms.insert(restraint.atoms.end(), {a, b});
            restraint.sigmas.push_back(sigma);
          }
        }
      if (!restraint.atoms.empty()) model.restraints.push_back(std::move(restraint));
    } else if (g.instruction == "ISOR") {
      const double s = number(0, kIsorSigma), st = number(1, 2 * s);
      lsq::Restraint restraint{lsq::RestraintKind::IsotropicU, {}, {}, {}, 0, s > 0 ? s : st, name};
      for (int a : heavy_atoms(connectivity, g.atoms)) {
        const double sigma = connectivity.terminal(a) ? st : s;
        if (sigma > 0 && model.atoms[static_cast<std::size_t>(a)].anisotropic) {
          restraint.atoms.push_back(a);
          restraint.sigmas.push_back(sigma);
        }
      }
      if (!restraint.atoms.empty()) model.restraints.push_back(std::move(restraint));
    } else if (g.instruction == "FLAT") {
      model.restraints.push_back({lsq::RestraintKind::Planar, g.atoms, {}, {}, 0, number(0, kFlatSigma), name});
    } else if (g.instruction == "SADI") {
      // A distance between atoms of two different parts is in no model of
      // the disorder: left out, as SHELXL leaves it out of its sets.
      EqualDistanceSet set{number(0, kSadiSigma), {}, name};
      int apart = 0;
      for (std::size_t k = 0; k + 1 < g.atoms.size(); k += 2) {
        if (connectivity.one_part(g.atoms[k], g.atoms[k + 1]))
          set.pairs.emplace_back(g.atoms[k], g.atoms[k + 1]);
        else
          ++apart;
      }
      if (apart > 0)
        notes.push_back(name + ": " + std::to_string(apart) + " of its distances join atoms of two parts and are left out");
      equal_distances.push_back(std::move(set));
    } else if (g.instruction == "SAME") {
      const double s1 = number(0, kSameSigma), s2 = number(1, kSame13Sigma);
      for (EqualDistanceSet& set : same_distances(connectivity, g, name, s1, s2)) equal_distances.push_back(std::move(set));
    } else {
      const double sigma = number(1, g.instruction == "DANG" ? kDangSigma : kDfixSigma);
      model.restraints.push_back({lsq::RestraintKind::Distance, g.atoms, {}, {}, g.numbers[0], sigma, name});
    }
  }
  for (const EqualDistanceSet& set : merged(equal_distances)) {
    if (set.pairs.size() < 2) continue;
    lsq::Restraint restraint{lsq::RestraintKind::EqualDistances, {}, {}, {}, 0, set.sigma, set.name};
    for (const auto& [a, b] : set.pairs) restraint.atoms.insert(restraint.atoms.end(), {a, b});
    model.restraints.push_back(std::move(restraint));
  }
  for (const ResSump& sump : res.sumps)
    model.restraints.push_back({lsq::RestraintKind::FreeVariableSum, {}, sump.free_variables, sump.coefficients,
                                sump.target, sump.sigma, "SUMP (line " + std::to_string(sump.line) + ")"});
  model.extinction = res.exti_value;
  model.extinction_refined = res.exti;
  model.weighting = {res.wght_a, res.wght_b};
  model.damping = res.damp / 1000;
  return model;
}

// The instructions' cell must be the CIF's.
void check_cell(const ResInstructions& res, const CifStructure& structure) {
  static const char* const names[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
  for (int i = 0; i < 6; ++i) {
    const CifNumber& cif = structure.cell[static_cast<std::size_t>(i)];
    const double reach = std::max({3 * cif.su, cif.last_place, i < 3 ? 1e-4 * cif.value : 1e-3});
    if (std::fabs(res.cell[static_cast<std::size_t>(i)] - cif.value) > reach)
      throw Refusal{"the instructions' cell (" + std::string(names[i]) + " = " + fixed(res.cell[static_cast<std::size_t>(i)], 4) +
                    ") is not the CIF's (" + fixed(cif.value, 4) + ")"};
  }
}

// For each atom of the experiment, the atom of the instructions with its
// CIF label, at the same place within the CIF's s.u.'s; every atom of the
// instructions must be one of them.
std::vector<int> matched_atoms(const CifStructure& structure, const Conversion& conversion, const ResInstructions& res,
                               std::vector<std::string>& notes) {
  std::map<std::string, int> by_label;
  for (std::size_t k = 0; k < res.atoms.size(); ++k) by_label[recio::upper_case(res.atoms[k].label)] = static_cast<int>(k);
  std::map<std::string, const CifAtom*> in_cif;
  for (const CifAtom& atom : structure.atoms) in_cif[atom.label] = &atom;
  std::vector<int> match;
  std::vector<bool> used(res.atoms.size(), false);
  for (const std::string& label : conversion.cif_labels) {
    const CifAtom& atom = *in_cif.at(label);
    const auto found = by_label.find(recio::upper_case(label));
    if (found == by_label.end()) throw Refusal{"atom " + label + " of the CIF is not in the instructions"};
    const ResAtom& r = res.atoms[static_cast<std::size_t>(found->second)];
    for (int i = 0; i < 3; ++i) {
      const CifNumber& x = atom.x[static_cast<std::size_t>(i)];
      // Within the CIF's s.u. or last place, and the rounding of the
      // instructions' five decimals.
      const double reach = std::max(x.su, x.last_place) + kResRounding + 1e-6;
      if (std::fabs(r.x[static_cast<std::size_t>(i)] - x.value) > reach)
        throw Refusal{"atom " + label + ": the instructions place it at " + "xyz"[i] + " = " +
                      fixed(r.x[static_cast<std::size_t>(i)], 6) + ", the CIF at " +
                      fixed(x.value, x.last_place > 0 ? static_cast<int>(std::clamp(std::lround(-std::log10(x.last_place)), 0L, 8L)) : 6)};
    }
    if (r.anisotropic != atom.anisotropic)
      throw Refusal{"atom " + label + " is " + (r.anisotropic ? "anisotropic" : "isotropic") +
                    " in the instructions but not in the CIF"};
    used[static_cast<std::size_t>(found->second)] = true;
    match.push_back(found->second);
  }
  // An atom that shares another's site (EXYZ) may be left out of the
  // CIF's atom list: it still scatters, and the other carries the site.
  for (const ResAtomGroup& g : res.groups)
    if (g.instruction == "EXYZ")
      for (std::size_t k = 1; k < g.atoms.size(); ++k)
        if (!used[static_cast<std::size_t>(g.atoms[k])] && used[static_cast<std::size_t>(g.atoms[0])]) {
          used[static_cast<std::size_t>(g.atoms[k])] = true;
          notes.push_back("atom " + res.atoms[static_cast<std::size_t>(g.atoms[k])].label + " shares the site of " +
                          res.atoms[static_cast<std::size_t>(g.atoms[0])].label + " and is not in the CIF's atom list");
        }
  for (std::size_t k = 0; k < res.atoms.size(); ++k)
    if (!used[k]) throw Refusal{"atom " + res.atoms[k].label + " of the instructions is not in the CIF"};
  return match;
}

std::vector<lsq::Observation> observations_of(const std::string& hkl, const std::string& hkl_where, const ResInstructions& res) {
  std::vector<lsq::Observation> raw;
  try {
    raw = read_hklf4(hkl, hkl_where);
  } catch (const vesk::Error& e) {
    throw Refusal{e.what()};
  }
  const auto& m = res.hklf_matrix;
  const bool identity = m == std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (lsq::Observation& o : raw) {
    o.intensity *= res.hklf_scale;
    o.sigma *= res.hklf_scale;
    if (res.hklf == 3) {
      // F and s(F): F^2 with s(F^2) = [(2 F s)^2 + s^4]^1/2, as SHELXL
      // weighs them (2 F s alone gives the weak reflections too much weight).
      const double f = o.intensity, s = o.sigma;
      o.intensity = f * f;
      o.sigma = std::sqrt(4 * f * f * s * s + s * s * s * s);
    }
    if (identity) continue;
    std::array<double, 3> h{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) h[static_cast<std::size_t>(i)] += m[static_cast<std::size_t>(3 * i + j)] * o.h[static_cast<std::size_t>(j)];
    for (int i = 0; i < 3; ++i) {
      o.h[static_cast<std::size_t>(i)] = static_cast<int>(std::lround(h[static_cast<std::size_t>(i)]));
      if (std::fabs(h[static_cast<std::size_t>(i)] - o.h[static_cast<std::size_t>(i)]) > 1e-3)
        throw Refusal{"the HKLF matrix makes indices that are not whole numbers"};
    }
  }
  return raw;
}

// After a cycle that asks for a large shift: up to two more cycles from
// the shifted model, to tell a published model that was not quite
// converged (the shifts die away) from one this rebuilding does not match
// (they stay). The covariance stays that of the published parameters.
std::string settling(const lsq::Model& published, const lsq::ParameterMap& published_map,
                     const std::vector<lsq::Observation>& observations, const lsq::CycleResult& first) {
  lsq::Model model = lsq::shifted(published, published_map, first.shifts);
  double ratio = first.largest_shift_ratio;
  int cycles = 1;
  try {
    for (; cycles < kMostCycles; ++cycles) {
      lsq::ParameterMap map = lsq::map_parameters(model);
      map.uncounted = published_map.uncounted;
      const lsq::CycleResult next = lsq::least_squares_cycle(model, map, observations);
      ratio = next.largest_shift_ratio;
      model = lsq::shifted(model, map, next.shifts);
    }
  } catch (const vesk::Error& e) {
    return "cycle " + std::to_string(cycles + 1) + " from the published parameters failed: " + e.what();
  }
  return "after " + std::to_string(kMostCycles) + " cycles from the published parameters the largest shift/s.u. is " +
         fixed(ratio, 3) + (ratio > kLargeShift ? ": the rebuilt model does not settle where the paper's did"
                                                : ": the published model was not quite converged");
}

FullCovariance build(const gemmi::cif::Block& original_block, const CifStructure& structure,
                     const Conversion& conversion, const RefinementFiles& files) {
  FullCovariance out;
  const gemmi::cif::Block block = underscore_tags(original_block);
  const std::string here = "data_" + block.name;

  // The instructions and reflections: named files first, else the block's.
  std::string res_text = files.res.empty() ? text_of(block, {"_shelx_res_file", "_iucr_refine_instructions_details"})
                                           : whole_file(files.res);
  std::string hkl_text = files.hkl.empty() && files.fcf.empty()
                             ? text_of(block, {"_shelx_hkl_file", "_iucr_refine_reflections_details"})
                             : (files.hkl.empty() ? std::string() : whole_file(files.hkl));
  std::string fcf_text = files.fcf.empty() ? (hkl_text.empty() && files.hkl.empty()
                                                ? text_of(block, {"_shelx_fcf_file", "_iucr_refine_fcf_details"})
                                                : std::string())
                                           : whole_file(files.fcf);
  const std::string res_where = files.res.empty() ? here + ", _shelx_res_file" : files.res;
  const std::string hkl_where = files.hkl.empty() ? here + ", _shelx_hkl_file" : files.hkl;
  const std::string fcf_where = files.fcf.empty() ? here + ", its fcf" : files.fcf;
  if (res_text.empty()) throw Refusal{"the block carries no refinement instructions (_shelx_res_file); give --res"};
  if (hkl_text.empty() && fcf_text.empty())
    throw Refusal{"the block carries no reflections (_shelx_hkl_file or _shelx_fcf_file); give --hkl or --fcf"};

  ResInstructions res;
  try {
    res = read_res_instructions(res_text, res_where);
  } catch (const vesk::Error& e) {
    throw Refusal{e.what()};
  }
  if (!res.unsupported.empty()) {
    std::string named;
    for (std::size_t k = 0; k < res.unsupported.size() && k < kNamedAtMost; ++k) {
      const ResInstructions::Unsupported& u = res.unsupported[k];
      named += (k == 0 ? "" : ", ") + u.what +
               (u.count == 1 ? " (line " + std::to_string(u.line) + ")"
                             : " (" + std::to_string(u.count) + ", the first at line " + std::to_string(u.line) + ")");
    }
    if (res.unsupported.size() > kNamedAtMost) named += " and " + std::to_string(res.unsupported.size() - kNamedAtMost) + " more";
    throw Refusal{"the instructions use what cif2exp does not rebuild yet: " + named};
  }
  if (!res.has_cell) throw Refusal{"the instructions have no CELL"};
  if (res.hklf == 0 && fcf_text.empty()) throw Refusal{"the instructions have no HKLF"};
  out.notes.insert(out.notes.end(), res.notes.begin(), res.notes.end());
  check_cell(res, structure);
  const std::vector<int> match = matched_atoms(structure, conversion, res, out.notes);

  lsq::Model model;
  try {
    model = model_of(res, block, out.notes);
  } catch (const vesk::Error& e) {
    throw Refusal{e.what()};
  }

  std::vector<lsq::Observation> raw;
  lsq::ReflectionSelection selection;
  if (!hkl_text.empty()) {
    raw = observations_of(hkl_text, hkl_where, res);
    selection.merge = res.merg != 0;
    selection.merge_friedel = res.merg == 3 || res.merg == 4;
  } else {
    if (!model.twin.domains.empty()) throw Refusal{"TWIN with only an fcf (its Fc^2 already sum the domains)"};
    try {
      raw = read_fcf(fcf_text, fcf_where);
    } catch (const vesk::Error& e) {
      throw Refusal{e.what()};
    }
    out.notes.push_back("reflections from the fcf, merged as the refinement left them");
  }
  selection.d_max = res.shel_low;
  selection.d_min = res.shel_high;
  selection.two_theta_max = res.two_theta_max;
  selection.omitted = res.omitted;
  lsq::PreparedReflections reflections;
  lsq::ParameterMap map;
  lsq::CycleResult cycle;
  try {
    reflections = lsq::prepare_reflections(raw, model, selection);
    map = lsq::map_parameters(model);
    // SHELXL counts every free variable of FVAR as a parameter, used or not.
    map.uncounted = res.rotating_groups + static_cast<int>(std::count(map.free_variables.begin(), map.free_variables.end(), -1));
    if (map.count() > kMostVariables)
      throw Refusal{grouped(map.count()) + " least-squares variables: more than the " + grouped(kMostVariables) +
                    " whose full matrix cif2exp inverts"};
    // An fcf's observations were put on the absolute scale of Fc^2 by the
    // refinement (divided by its scale factor squared): the model's scale is 1.
    if (hkl_text.empty()) model.scale = 1;
    cycle = lsq::least_squares_cycle(model, map, reflections.observations);
  } catch (const vesk::Error& e) {
    throw Refusal{e.what()};
  }

  const double paper_r1 = structure.r_factor;
  if (paper_r1 > 0 && std::fabs(cycle.r1_gt - paper_r1) > std::max(kLargestR1Gap, kLargestR1Ratio * paper_r1))
    throw Refusal{"R1 " + fixed(cycle.r1_gt, 4) + " of the model rebuilt from the instructions is far from the paper's " +
                  fixed(paper_r1, 4)};

  // SHELXL's s.u.'s of a non-centrosymmetric structure come out as if
  // Friedel opposites had been merged: the GooF squared that scales its
  // covariance is sum w (Fo^2 - Fc^2)^2 / (n_merged - p), not / (n - p).
  // (Measured on its published blocks; for n >> p the s.u.'s grow by
  // sqrt(n / n_merged).) With restraints, the restrained sum over
  // n_merged - p: the factor is (n + r - p) / (n_merged - p). (Measured on
  // cifvis_twin_cc, 1,670 restraints against 5,558 merged reflections:
  // its twin fraction's s.u. comes out 0.098 so, the paper's Flack s.u.
  // 0.10, and 0.085 with r in the denominator too; its bonds 1.01 and 0.88
  // of the paper's s.u.'s, finalcif_sad's 1.01 and 0.94.)
  const int n = static_cast<int>(reflections.observations.size()), p = cycle.parameters;
  const int r = model.restrained_goof ? cycle.restraints : 0;
  const bool friedel_rule = !model.group.centric && !selection.merge_friedel && shelxl_refined(block) &&
                            reflections.friedel_merged < n && reflections.friedel_merged > p;
  const double variance_factor =
      friedel_rule ? static_cast<double>(n + r - p) / (reflections.friedel_merged - p) : 1.0;

  // Onto the experiment's parameters.
  CovarianceContent& content = out.covariance;
  content.cycle_figure = structure.r_factor;
  std::vector<int> variable_of(static_cast<std::size_t>(map.count()), 0);  // lsq variable -> CMT variable from 1
  std::vector<int> owner(model.atoms.size(), 0);                            // res atom -> experiment record
  for (std::size_t n = 0; n < match.size(); ++n) owner[static_cast<std::size_t>(match[n])] = static_cast<int>(n + 1);
  static const char* const kNames[lsq::kSlots] = {"X", "Y", "Z", "FRAC", "UISO", "U11", "U22", "U33", "U12", "U13", "U23"};
  const bool hex = conversion.experiment.hexadecimal_keys;
  auto name_of = [&](int record, int slot) {
    std::string name = kNames[slot];
    if (hex && slot == lsq::kOccupancy) name = "FRA";
    if (hex && slot == lsq::kUiso) name = "UIS";
    return parameter_name(record, name, hex);
  };
  std::vector<int> variables;  // lsq variables in the file's order
  for (std::size_t n = 0; n < match.size(); ++n) {
    const int a = match[n];
    const int record = static_cast<int>(n + 1);
    for (int slot = 0; slot < lsq::kSlots; ++slot) {
      if (slot == lsq::kUiso && model.atoms[static_cast<std::size_t>(a)].anisotropic) continue;
      const lsq::Term* begin = map.begin_of(a, static_cast<lsq::Slot>(slot));
      const lsq::Term* end = map.end_of(a, static_cast<lsq::Slot>(slot));
      if (begin == end) continue;
      // The experiment's occupancy is the chemical one.
      const double factor = slot == lsq::kOccupancy ? map.site_order[static_cast<std::size_t>(a)] : 1.0;
      content.names.push_back(name_of(record, slot));
      const int parameter = static_cast<int>(content.names.size());
      for (const lsq::Term* t = begin; t != end; ++t) {
        int& v = variable_of[static_cast<std::size_t>(t->variable)];
        if (v == 0) {
          variables.push_back(t->variable);
          v = static_cast<int>(variables.size());
          const lsq::Variable& var = map.variables[static_cast<std::size_t>(t->variable)];
          // A free variable is named after the first parameter that follows
          // it; a rigid group's as "RIG2 TA" (translation along a) to "RIG2 RZ".
          static const char* const kRigid[6] = {"TA", "TB", "TC", "RX", "RY", "RZ"};
          content.variable_names.push_back(
              var.kind == lsq::VariableKind::Atom    ? name_of(owner[static_cast<std::size_t>(var.atom)], var.slot)
              : var.kind == lsq::VariableKind::Rigid ? "RIG" + std::to_string(var.atom + 1) + " " + kRigid[var.component]
                                                     : content.names.back());
        }
        content.constraints.push_back({parameter, v, t->coefficient * factor});
      }
    }
  }
  const std::size_t nvar = variables.size();
  content.matrix.reserve(nvar * (nvar + 1) / 2);
  content.variances.resize(nvar);
  for (std::size_t i = 0; i < nvar; ++i) {
    content.variances[i] = cycle.covariance_at(variables[i], variables[i]) * variance_factor;
    for (std::size_t j = i; j < nvar; ++j)
      content.matrix.push_back(cycle.covariance_at(variables[i], variables[j]) * variance_factor);
  }
  for (std::size_t k = 0; k < model.atoms.size(); ++k)
    if (model.atoms[k].riding_pivot >= 0 && owner[k] > 0 && owner[static_cast<std::size_t>(model.atoms[k].riding_pivot)] > 0)
      out.riding.emplace_back(conversion.experiment.atoms[static_cast<std::size_t>(owner[k] - 1)].label,
                              conversion.experiment.atoms[static_cast<std::size_t>(owner[static_cast<std::size_t>(model.atoms[k].riding_pivot)] - 1)].label);

  const double paper_goof = cif_value(block, {"_refine_ls_goodness_of_fit_ref"});
  out.summary = "full covariance of " + grouped(cycle.parameters) + " parameters from " +
                grouped(static_cast<long>(reflections.observations.size())) + " reflections (R1 " + fixed(cycle.r1_gt, 4) +
                (paper_r1 > 0 ? ", paper " + fixed(paper_r1, 4) : std::string()) + "; GooF " + fixed(cycle.goof, 3) +
                (paper_goof > 0 ? ", paper " + fixed(paper_goof, 3) : std::string()) + ")";
  std::string dropped;
  for (const auto& [count, what] : {std::pair<int, const char*>{reflections.absent, "systematically absent"},
                                    {reflections.outside, "outside the resolution limits"},
                                    {reflections.omitted, "omitted"}})
    if (count > 0) dropped += ", " + grouped(count) + " " + what;
  out.notes.push_back("reflections: " + grouped(reflections.read) + " read" + dropped + "; " +
                      grouped(static_cast<long>(reflections.observations.size())) + " unique (" +
                      grouped(cycle.observed_gt) + " with Fo^2 > 2s), wR2 " + fixed(cycle.wr2, 4));
  const std::string shift = "largest shift/s.u. of a cycle from the published parameters: " +
                            fixed(cycle.largest_shift_ratio, 3) +
                            (cycle.largest_shift >= 0
                                 ? " (" + lsq::variable_name(model, map.variables[static_cast<std::size_t>(cycle.largest_shift)]) + ")"
                                 : std::string());
  out.notes.push_back(cycle.largest_shift_ratio > kLargeShift
                          ? "warning: " + shift + "; the published model should be converged"
                          : shift);
  if (cycle.largest_shift_ratio > kLargeShift) out.notes.push_back(settling(model, map, reflections.observations, cycle));
  // The paper's count of restraints and its restrained GooF check that the
  // restraints are the refinement's, as R1 checks the model.
  const bool stated = value_of(block, {"_refine_ls_number_restraints"}) != nullptr;
  const double paper_restraints = cif_value(block, {"_refine_ls_number_restraints"});
  const double paper_restrained_goof = cif_value(block, {"_refine_ls_restrained_S_all"});
  if (cycle.restraints > 0 || paper_restraints > 0)
    out.notes.push_back("restraints: " + grouped(cycle.restraints) +
                        (stated ? ", paper " + grouped(std::lround(paper_restraints)) : std::string()) +
                        "; restrained GooF " + fixed(cycle.restrained_goof, 3) +
                        (paper_restrained_goof > 0 ? ", paper " + fixed(paper_restrained_goof, 3) : std::string()));
  const std::string restraints = r > 0 ? " + " + grouped(r) : std::string();
  if (friedel_rule)
    out.notes.push_back("s.u.'s as SHELXL gives them for a non-centrosymmetric structure, Friedel opposites counted "
                        "as one reflection: times sqrt((" + grouped(n) + restraints + " - " + grouped(p) + ") / (" +
                        grouped(reflections.friedel_merged) + " - " + grouped(p) + ")) = " +
                        fixed(std::sqrt(variance_factor), 3));
  for (std::size_t k = 0; k < map.twin_fractions.size(); ++k) {
    const int v = map.twin_fractions[k];
    out.notes.push_back("twin fraction of domain " + std::to_string(k + 2) + ": " + fixed(model.twin.fractions[k], 5) +
                        (v >= 0 ? " (s.u. " + fixed(std::sqrt(cycle.covariance_at(v, v) * variance_factor), 5) + ")"
                                : std::string(", held")));
  }
  if (paper_r1 > 0 && std::fabs(cycle.r1_gt - paper_r1) > 0.002)
    out.notes.push_back("R1 " + fixed(cycle.r1_gt, 4) + " differs from the paper's " + fixed(paper_r1, 4) +
                        " by more than 0.002");
  out.built = true;
  return out;
}

}  // namespace

lsq::Model refinement_model(const ResInstructions& res, const gemmi::cif::Block& block, std::vector<std::string>& notes) {
  try {
    return model_of(res, block, notes);
  } catch (const Refusal& refusal) {
    throw vesk::Error(refusal.reason);
  }
}

bool shelxl_refined(const gemmi::cif::Block& block) {
  const std::string* program = value_of(block, {"_computing_structure_refinement", "_computing.structure_refinement"});
  return program != nullptr && recio::upper_case(gemmi::cif::as_string(*program)).find("SHELXL") != std::string::npos;
}

FullCovariance full_covariance(const gemmi::cif::Block& block, const CifStructure& structure,
                               const Conversion& conversion, const RefinementFiles& files) {
  try {
    return build(block, structure, conversion, files);
  } catch (const Refusal& refusal) {
    FullCovariance out;
    out.reason = refusal.reason;
    return out;
  }
}

}  // namespace cif2exp
