#include "cif2exp/res_instructions.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace cif2exp {

namespace {

using vesk::Error;

// Instructions that steer the listing, the output files or the next run,
// and leave the model of this refinement as it is.
const std::set<std::string> kReadOver = {"REM",  "L.S.", "CGLS", "LIST", "FMAP", "PLAN", "ACTA", "BOND", "CONF",
                                         "HTAB", "EQIV", "TEMP", "SIZE", "MORE", "TIME", "WPDB", "MOLE", "GRID",
                                         "ANIS", "SPEC", "FREE", "CONN", "BIND", "DEFS", "STIR", "MPLA",
                                         "RTAB", "WIGL", "XNPD", "ZERR", "UNIT"};
// Every instruction name of SHELXL: a record that begins with one of them
// is that instruction, never an atom.
const std::set<std::string> kInstructions = {
    "ABIN", "ACTA", "AFIX", "ANIS", "ANSC", "ANSR", "BASF", "BEDE", "BIND", "BLOC", "BOND", "BUMP", "CELL", "CGLS",
    "CHIV", "CONF", "CONN", "DAMP", "DANG", "DEFS", "DELU", "DFIX", "DISP", "EADP", "END",  "EQIV", "EXTI", "EXYZ",
    "FEND", "FLAT", "FMAP", "FRAG", "FREE", "FVAR", "GRID", "HFIX", "HKLF", "HTAB", "ISOR", "LATT", "LAUE", "LIST",
    "L.S.", "LONE", "MERG", "MOLE", "MORE", "MOVE", "MPLA", "NCSY", "NEUT", "OMIT", "PART", "PLAN", "PRIG", "REM",
    "RESI", "RIGU", "RTAB", "SADI", "SAME", "SFAC", "SHEL", "SIMU", "SIZE", "SPEC", "STIR", "SUMP", "SWAT", "SYMM",
    "TEMP", "TIME", "TITL", "TWIN", "TWST", "UNIT", "WGHT", "WIGL", "WPDB", "XNPD", "ZERR"};
// Riding atoms: AFIX mn with these m and n = 3 (riding) or 7 (riding, the
// group's torsion refined); m = 0: riding without an idealised geometry.
// Instructions that name groups of atoms and that this reader takes.
const std::set<std::string> kGroupInstructions = {"EADP", "EXYZ", "DFIX", "DANG", "SADI",
                                                  "DELU", "RIGU", "SIMU", "ISOR", "FLAT", "SAME"};
// Of these, the ones that name every atom when they name none.
const std::set<std::string> kAllAtomsWhenNone = {"DELU", "RIGU", "SIMU", "ISOR"};
const std::set<int> kRidingGeometries = {0, 1, 2, 3, 4, 8, 9, 12, 13, 14, 15, 16};
// Rigid groups AFIX m6 (and m5 going on with one): m, the number of atoms.
const std::map<int, std::size_t> kRigidShapes = {{5, 5}, {6, 6}};

bool number(const std::string& word, double& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return end == word.c_str() + word.size() && std::isfinite(value);
}

// The largest whole number the instructions may hold where they want one.
constexpr int kLargestWhole = 1000000;

bool whole_number(double v) { return v == std::floor(v) && std::fabs(v) <= kLargestWhole; }

bool integer(const std::string& word, int& value) {
  double v = 0;
  if (word.find_first_of(".eE") != std::string::npos || !number(word, v) || !whole_number(v)) return false;
  value = static_cast<int>(v);
  return true;
}

// One instruction: its words, the text after the name, its first line.
struct Record {
  std::vector<std::string> words;
  std::string rest;
  int line = 0;
};

// Lines joined at "=" continuations, comments ("!", lines that begin with a
// blank) left out, up to END.
std::vector<Record> records_of(const std::string& text) {
  std::vector<Record> records;
  std::istringstream in(text);
  std::string line;
  int number_of_line = 0;
  bool continued = false;
  while (std::getline(in, line)) {
    ++number_of_line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (char& c : line)
      if (c == '\t') c = ' ';
    if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
    const bool was_continued = continued;
    continued = false;
    const std::size_t last = line.find_last_not_of(' ');
    // A remark ends on its own line, "=" or not.
    const bool remark = !was_continued && (line.compare(0, 3, "REM") == 0 || line.compare(0, 3, "rem") == 0);
    if (last != std::string::npos && line[last] == '=' && !remark) {
      continued = true;
      line.erase(last);
    }
    if (was_continued) {
      Record& record = records.back();
      std::istringstream words(line);
      for (std::string w; words >> w;) record.words.push_back(w);
      record.rest += " " + line;
      continue;
    }
    if (line.empty() || line[0] == ' ') {
      continued = false;  // a comment line carries no continuation
      continue;
    }
    Record record;
    record.line = number_of_line;
    std::istringstream words(line);
    for (std::string w; words >> w;) record.words.push_back(w);
    if (record.words.empty()) continue;
    const std::size_t start = line.find(record.words[0]) + record.words[0].size();
    record.rest = line.substr(start);
    records.push_back(record);
  }
  return records;
}

// A parameter as the instructions code it: 10 added fixes it; 10 m + p
// (m >= 2, |p| < 5) is p fv(m), -(10 m + p) is p (1 - fv(m)).
struct Coded {
  double value = 0;
  bool fixed = false;
  int free_variable = -1;  // m - 2
  double constant = 0, coefficient = 0;  // value = constant + coefficient fv(m)
};

Coded decode(double v) {
  if (std::fabs(v) >= 15) {
    const long m = std::lround(std::fabs(v) / 10);
    const double p = std::fabs(v) - 10.0 * static_cast<double>(m);
    Coded c;
    c.free_variable = static_cast<int>(m) - 2;
    c.constant = v > 0 ? 0 : p;
    c.coefficient = v > 0 ? p : -p;
    return c;
  }
  if (std::fabs(v) >= 5) return {v - std::copysign(10.0, v), true};
  return {v, false};
}

// The part a suffix names: C1^a is C1 of PART 1, ^b PART 2, ... ^z PART 26;
// 0 for a name without one, -1 for a suffix that is none of these.
int part_of_suffix(const std::string& word) {
  const std::size_t caret = word.find('^');
  if (caret == std::string::npos) return 0;
  if (caret == 0 || caret + 2 != word.size() || !std::isalpha(static_cast<unsigned char>(word[caret + 1]))) return -1;
  return std::tolower(static_cast<unsigned char>(word[caret + 1])) - 'a' + 1;
}

// Atom names of a restraint or constraint that this reader resolves:
// names within the instruction's residue, in residue n (C1_n) or in every
// residue (C1_*), each with a part suffix or none (C1^a: the C1 of PART 1),
// and the range signs "A > B" (A to B in the order of the instructions) and
// "A < B" (the same backwards); not symmetry images ($n) or elements ($C).
bool plain_label(const std::string& word) {
  if (word == ">" || word == "<") return true;
  const std::size_t underscore = word.find('_');
  if (word.empty() || underscore == 0) return false;
  const std::string bare = word.substr(0, underscore);
  if (bare.find_first_of("$<>=") != std::string::npos || part_of_suffix(bare) < 0) return false;
  if (underscore == std::string::npos) return true;
  const std::string residue = word.substr(underscore + 1);
  return residue == "*" || (!residue.empty() && residue.size() <= 6 && std::all_of(residue.begin(), residue.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }));
}

// An instruction's residue suffix (SADI_CCF3, SIMU_2, RIGU_*): a class, a
// number or every residue.
bool residue_suffix(const std::string& suffix) {
  return suffix == "*" || (!suffix.empty() && std::all_of(suffix.begin(), suffix.end(), [](char c) {
                             return std::isalnum(static_cast<unsigned char>(c)) != 0;
                           }));
}

bool range_sign(const std::string& word) { return word == ">" || word == "<"; }

}  // namespace

ResInstructions read_res_instructions(const std::string& text, const std::string& where) {
  ResInstructions res;
  std::map<std::string, std::pair<double, double>> dispersion;
  int afix_m = 0, afix_n = 0, afix_pivot = -1;
  bool afix_has_atoms = false;
  int rigid = -1;  // the rigid group still short of atoms, -1: none
  int rotating_groups = 0;
  int part = 0;
  int basf_line = 0;
  double part_sof = 0;  // PART n sof: the occupancy code of the part's atoms, 0: their own
  struct Constant {
    std::size_t atom;
    bool uiso;
    double value;
  };
  std::vector<Constant> constants;  // of the parameters that follow free variables
  // Each group's names as written, the number of atoms read before it, the
  // residue it stands in and its residue suffix.
  struct Names {
    std::vector<std::string> names;
    std::size_t next_atom = 0;
    int residue = 0;
    std::string suffix;
  };
  std::vector<Names> group_names;
  int residue = 0;
  std::string residue_class;
  auto at = [&](const Record& r) { return where + ", line " + std::to_string(r.line) + ": "; };
  auto numbers = [&](const Record& r, std::size_t from, const char* what) {
    std::vector<double> values;
    for (std::size_t k = from; k < r.words.size(); ++k) {
      double v = 0;
      if (!number(r.words[k], v)) throw Error(at(r) + what + " " + r.words[k] + " is not a number");
      values.push_back(v);
    }
    return values;
  };
  // A number the format holds as a whole one (a part, an AFIX code, a free
  // variable's number), refused when it is not one or is past any such.
  auto whole = [&](const Record& r, double v, const std::string& what) {
    if (!whole_number(v))
      throw Error(at(r) + what + " " + r.rest.substr(std::min(r.rest.size(), r.rest.find_first_not_of(' '))) +
                  ": a whole number up to " + std::to_string(kLargestWhole) + " is needed");
    return static_cast<int>(v);
  };
  // A parameter as coded: a free variable's number is a whole one too.
  auto coded = [&](const Record& r, double v) {
    if (std::fabs(v) >= 10.0 * kLargestWhole) {
      std::ostringstream code;
      code << v;
      throw Error(at(r) + "the parameter code " + code.str() + " names no free variable there can be");
    }
    return decode(v);
  };
  auto rigid_complete = [&](const std::string& prefix) {
    if (rigid < 0) return;
    const ResRigidGroup& g = res.rigid_groups[static_cast<std::size_t>(rigid)];
    throw Error(prefix + "the rigid group of AFIX " + std::to_string(g.afix) + " (line " +
                std::to_string(g.line) + ") holds " + std::to_string(g.atoms.size()) + " of its " +
                std::to_string(kRigidShapes.at(g.afix / 10)) + " atoms");
  };
  auto unsupported = [&](const std::string& what, const Record& r) {
    for (ResInstructions::Unsupported& u : res.unsupported)
      if (u.what == what) {
        ++u.count;
        return;
      }
    res.unsupported.push_back({what, r.line, 1});
  };

  for (const Record& r : records_of(text)) {
    const std::string first = recio::upper_case(r.words[0]);
    const std::string name = first.substr(0, first.find('_'));
    if (name == "END") break;
    if (name == "TITL") {
      res.title = r.rest.substr(std::min(r.rest.size(), r.rest.find_first_not_of(' ')));
    } else if (name == "CELL") {
      const std::vector<double> v = numbers(r, 1, "CELL");
      if (v.size() != 7) throw Error(at(r) + "CELL needs the wavelength and six cell constants");
      res.has_cell = true;
      res.wavelength = v[0];
      std::copy(v.begin() + 1, v.end(), res.cell.begin());
    } else if (name == "LATT") {
      const std::vector<double> v = numbers(r, 1, "LATT");
      if (v.size() != 1 || v[0] != std::floor(v[0]) || v[0] == 0 || std::fabs(v[0]) > 7)
        throw Error(at(r) + "LATT needs one lattice type from -7 to 7");
      res.latt = static_cast<int>(v[0]);
    } else if (name == "SYMM") {
      res.symm.push_back(r.rest);
    } else if (name == "SFAC") {
      double v = 0;
      if (r.words.size() > 2 && number(r.words[2], v)) {
        // SFAC E a1 b1 a2 b2 a3 b3 a4 b4 c f' f'' mu r wt
        const std::vector<double> values = numbers(r, 2, "SFAC");
        if (values.size() < 11) throw Error(at(r) + "SFAC " + r.words[1] + " needs nine coefficients, f' and f''");
        ResScatterer s;
        s.symbol = r.words[1];
        s.tabulated = false;
        for (int k = 0; k < 4; ++k) {
          s.coefficients[static_cast<std::size_t>(k)] = values[static_cast<std::size_t>(2 * k)];
          s.coefficients[static_cast<std::size_t>(4 + k)] = values[static_cast<std::size_t>(2 * k + 1)];
        }
        s.coefficients[8] = values[8];
        s.f_prime = values[9];
        s.f_double_prime = values[10];
        s.dispersion = true;
        res.sfac.push_back(s);
      } else {
        for (std::size_t k = 1; k < r.words.size(); ++k) res.sfac.push_back({r.words[k]});
      }
    } else if (name == "DISP") {
      const std::vector<double> v = numbers(r, 2, "DISP");
      if (r.words.size() < 4 || v.size() < 2) throw Error(at(r) + "DISP needs an element, f' and f''");
      dispersion[recio::upper_case(r.words[1])] = {v[0], v[1]};
    } else if (name == "FVAR") {
      const std::vector<double> v = numbers(r, 1, "FVAR");
      res.fvar.insert(res.fvar.end(), v.begin(), v.end());
    } else if (name == "WGHT") {
      const std::vector<double> v = numbers(r, 1, "WGHT");
      static constexpr double kDefaults[6] = {0.1, 0, 0, 0, 0, 1.0 / 3};
      for (std::size_t k = 2; k < v.size() && k < 6; ++k)
        if (std::fabs(v[k] - kDefaults[k]) > (k == 5 ? 1e-4 : 0)) {
          unsupported("WGHT with c, d, e or f", r);
          break;
        }
      if (!v.empty()) res.wght_a = v[0];
      if (v.size() > 1) res.wght_b = v[1];
    } else if (name == "EXTI") {
      const std::vector<double> v = numbers(r, 1, "EXTI");
      res.exti = true;
      res.exti_value = v.empty() ? 0 : v[0];
    } else if (name == "OMIT") {
      std::array<int, 3> h{};
      double v = 0;
      if (r.words.size() == 4 && integer(r.words[1], h[0]) && integer(r.words[2], h[1]) && integer(r.words[3], h[2])) {
        res.omitted.push_back(h);
      } else if (r.words.size() >= 2 && number(r.words[1], v)) {
        const std::vector<double> values = numbers(r, 1, "OMIT");
        if (values.size() > 1) res.two_theta_max = values[1];
        if (values[0] != -2) res.notes.push_back("OMIT " + r.words[1] + " read over (a threshold on Fo^2 / s)");
      } else {
        unsupported("OMIT of atoms", r);
      }
    } else if (name == "DAMP") {
      const std::vector<double> v = numbers(r, 1, "DAMP");
      if (!v.empty()) res.damp = v[0];
    } else if (name == "SHEL") {
      const std::vector<double> v = numbers(r, 1, "SHEL");
      if (!v.empty()) res.shel_low = v[0];
      if (v.size() > 1) res.shel_high = v[1];
    } else if (name == "MERG") {
      const std::vector<double> v = numbers(r, 1, "MERG");
      res.merg = v.empty() ? 2 : whole(r, v[0], "MERG");
      if (res.merg < 0 || res.merg > 4) unsupported("MERG " + r.words[1], r);
    } else if (name == "HKLF") {
      const std::vector<double> v = numbers(r, 1, "HKLF");
      res.hklf = v.empty() ? 0 : whole(r, v[0], "HKLF");
      if (res.hklf != 4 && res.hklf != 3) unsupported("HKLF " + (r.words.size() > 1 ? r.words[1] : std::string()), r);
      if (v.size() > 1) res.hklf_scale = v[1];
      if (v.size() >= 11) std::copy(v.begin() + 2, v.begin() + 11, res.hklf_matrix.begin());
      break;  // what follows belongs to the next run
    } else if (name == "AFIX") {
      const std::vector<double> v = numbers(r, 1, "AFIX");
      const int mn = v.empty() ? 0 : whole(r, v[0], "AFIX");
      // n = 8: a rotating group whose torsion was first set from the
      // difference density (AFIX 138, 148), refined as n = 7.
      const bool rotating = mn % 10 == 7 || (mn % 10 == 8 && (mn / 10 == 13 || mn / 10 == 14));
      const bool rigid_shape = kRigidShapes.count(mn / 10) != 0 && (mn % 10 == 6 || mn % 10 == 5);
      if (rigid_shape) {
        if (mn % 10 == 6) {
          rigid_complete(at(r));
          res.rigid_groups.push_back({mn, {}, r.line});
          rigid = static_cast<int>(res.rigid_groups.size()) - 1;
        } else if (rigid < 0 || res.rigid_groups[static_cast<std::size_t>(rigid)].afix / 10 != mn / 10) {
          throw Error(at(r) + "AFIX " + r.words[1] + " goes on with no rigid group AFIX " + std::to_string(mn + 1));
        }
      } else if (mn != 0 && !(kRidingGeometries.count(mn / 10) != 0 && (mn % 10 == 3 || rotating))) {
        unsupported("AFIX " + r.words[1], r);
        afix_m = afix_n = 0;
        continue;
      }
      if (afix_n >= 7 && afix_has_atoms) ++rotating_groups;
      afix_m = mn / 10;
      afix_n = mn % 10;
      afix_has_atoms = false;
      if (rigid_shape) continue;
      afix_pivot = -1;
      for (int k = static_cast<int>(res.atoms.size()) - 1; k >= 0 && mn != 0; --k)
        if (res.atoms[static_cast<std::size_t>(k)].pivot < 0) {
          afix_pivot = k;
          break;
        }
      if (mn != 0 && afix_pivot < 0) throw Error(at(r) + "AFIX " + r.words[1] + " follows no atom to ride on");
    } else if (name == "PART") {
      const std::vector<double> v = numbers(r, 1, "PART");
      // A negative part (disorder across a special position) keeps its
      // atoms from bonding to their own symmetry images; restraints here
      // join atoms of the asymmetric unit only, so it reads as any part.
      part = v.empty() ? 0 : whole(r, v[0], "PART");
      part_sof = v.size() > 1 ? v[1] : 0;
    } else if (name == "RESI") {
      // RESI class number, RESI number class, RESI number; RESI 0 leaves the residue.
      residue = 0;
      residue_class.clear();
      bool numbered = false;
      for (std::size_t k = 1; k < r.words.size() && k < 3; ++k) {
        int n = 0;
        if (!numbered && integer(r.words[k], n)) {
          residue = n;
          numbered = true;
        } else {
          residue_class = recio::upper_case(r.words[k]);
        }
      }
      if (!numbered || residue < 0) throw Error(at(r) + "RESI needs a residue number");
      if (residue == 0) residue_class.clear();
    } else if (kGroupInstructions.count(name) != 0 && (name == first || residue_suffix(first.substr(name.size() + 1)))) {
      ResAtomGroup group{name, {}, {}, r.line, {}};
      std::vector<std::string> names;
      bool plain = true;
      for (std::size_t k = 1; k < r.words.size(); ++k) {
        double value = 0;
        if (names.empty() && number(r.words[k], value)) {
          group.numbers.push_back(value);
        } else {
          names.push_back(recio::upper_case(r.words[k]));
          plain = plain && plain_label(r.words[k]);
        }
      }
      if (!plain) {
        unsupported(name + " with symmetry images or elements", r);
        continue;
      }
      if (names.empty() && kAllAtomsWhenNone.count(name) == 0) {
        res.notes.push_back(first + " (line " + std::to_string(r.line) + ") names no atoms: it restrains nothing");
        continue;
      }
      if (name == "DFIX" && !group.numbers.empty() && group.numbers[0] < 0) {
        unsupported("DFIX with a negative distance", r);
        continue;
      }
      const bool pairs = name == "DFIX" || name == "DANG" || name == "SADI";
      const bool ranged = std::any_of(names.begin(), names.end(), range_sign);
      if (ranged && (pairs || range_sign(names.front()) || range_sign(names.back())))
        throw Error(at(r) + name + (pairs ? " names pairs of atoms, not ranges" : ": a range needs an atom on each side"));
      const std::size_t least = name == "FLAT" ? 4 : kAllAtomsWhenNone.count(name) != 0 ? 0 : 2;
      if ((!ranged && names.size() < least) || (pairs && names.size() % 2 != 0) || ((name == "DFIX" || name == "DANG") && group.numbers.empty()))
        throw Error(at(r) + name + (pairs ? " needs pairs of atoms" : least == 4 ? " needs at least four atoms" : " needs at least two atoms") +
                    (name == "DFIX" || name == "DANG" ? " after the distance" : ""));
      group_names.push_back({std::move(names), res.atoms.size(), residue,
                             name == first ? std::string() : first.substr(name.size() + 1)});
      res.groups.push_back(std::move(group));
    } else if (name == "TWIN") {
      const std::vector<double> v = numbers(r, 1, "TWIN");
      if (v.size() != 0 && v.size() != 9 && v.size() != 10)
        throw Error(at(r) + "TWIN needs nothing, or a matrix of nine numbers and the number of domains");
      std::array<int, 9> matrix{-1, 0, 0, 0, -1, 0, 0, 0, -1};
      bool whole = true;
      for (std::size_t k = 0; k < 9 && v.size() >= 9; ++k) {
        matrix[k] = static_cast<int>(std::lround(v[k]));
        whole = whole && std::fabs(v[k] - matrix[k]) < 1e-6;
      }
      const double n = v.size() == 10 ? v[9] : 2;
      if (n != std::floor(n) || std::fabs(n) < 2 || std::fabs(n) > 24 || (n < 0 && std::fmod(n, 2) != 0))
        throw Error(at(r) + "TWIN: " + r.words.back() + " domains: not 2 to 24 (an even number when negative)");
      if (!whole) {
        unsupported("TWIN with a matrix that is not whole numbers", r);
        continue;
      }
      const int powers = n > 0 ? static_cast<int>(n) : static_cast<int>(-n) / 2;
      res.twin_domains.assign(1, {1, 0, 0, 0, 1, 0, 0, 0, 1});
      for (int k = 1; k < powers; ++k) {
        const std::array<int, 9>& last = res.twin_domains.back();
        std::array<int, 9> next{};
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j)
            for (int l = 0; l < 3; ++l) next[3 * i + j] += matrix[3 * i + l] * last[3 * l + j];
        res.twin_domains.push_back(next);
      }
      for (int k = 0; k < powers && n < 0; ++k) {
        std::array<int, 9> opposite = res.twin_domains[static_cast<std::size_t>(k)];
        for (int& e : opposite) e = -e;
        res.twin_domains.push_back(opposite);
      }
    } else if (name == "BASF") {
      basf_line = r.line;
      for (double value : numbers(r, 1, "BASF")) {
        const Coded c = coded(r, value);
        if (c.free_variable >= 0) unsupported("BASF tied to a free variable", r);
        res.basf.push_back(c.value);
        res.basf_fixed.push_back(c.fixed);
      }
    } else if (first == "BUMP") {
      res.notes.push_back("BUMP (line " + std::to_string(r.line) +
                          ") read over: its restraints act on contacts closer than the atoms' radii allow, taken as none");
    } else if (name == "SUMP") {
      const std::vector<double> v = numbers(r, 1, "SUMP");
      if (v.size() < 4 || v.size() % 2 != 0) throw Error(at(r) + "SUMP needs c, s and pairs of a coefficient and a free variable");
      ResSump sump{v[0], v[1], {}, {}, r.line};
      for (std::size_t k = 2; k + 1 < v.size(); k += 2) {
        sump.coefficients.push_back(v[k]);
        sump.free_variables.push_back(whole(r, v[k + 1], "SUMP") - 2);
      }
      if (std::any_of(sump.free_variables.begin(), sump.free_variables.end(), [](int f) { return f < 0; }))
        unsupported("SUMP of the overall scale", r);
      else
        res.sumps.push_back(std::move(sump));
    } else if (kReadOver.count(name) != 0) {
      continue;
    } else {
      int sfac = 0;
      if (kInstructions.count(name) != 0 || r.words.size() < 2 || !integer(r.words[1], sfac) || first[0] == '+') {
        unsupported(name, r);
        continue;
      }
      // An atom: label sfac x y z [sof [U | U11 U22 U33 U23 U13 U12]].
      const std::vector<double> v = numbers(r, 2, "the parameter");
      if (v.size() < 3 || (v.size() > 6 && v.size() != 10))
        throw Error(at(r) + "atom " + r.words[0] + ": " + std::to_string(v.size()) +
                    " numbers after the scattering type, not 3 to 6 or 10");
      ResAtom atom;
      atom.name = recio::upper_case(r.words[0]);
      atom.label = residue == 0 ? r.words[0] : r.words[0] + "_" + std::to_string(residue);
      atom.residue = residue;
      atom.residue_class = residue_class;
      atom.sfac = sfac;
      atom.line = r.line;
      bool free_variable = false;  // on a coordinate or a U^ij
      for (int i = 0; i < 3; ++i) {
        const Coded c = coded(r, v[static_cast<std::size_t>(i)]);
        atom.x[static_cast<std::size_t>(i)] = c.value;
        atom.x_fixed[static_cast<std::size_t>(i)] = c.fixed;
        free_variable = free_variable || c.free_variable >= 0;
      }
      const Coded sof = coded(r, v.size() > 3 ? v[3] : 11.0);
      atom.sof = sof.value;
      atom.sof_fixed = sof.fixed;
      if (sof.free_variable >= 0) {
        atom.sof_free_variable = sof.free_variable;
        atom.sof_coefficient = sof.coefficient;
        constants.push_back({res.atoms.size(), false, sof.constant});
      }
      atom.part = part;
      if (part_sof != 0 && v.size() > 3 && v[3] != part_sof) unsupported("PART with an occupancy its atoms do not carry", r);
      if (v.size() == 10) {
        atom.anisotropic = true;
        static constexpr int kFromShelx[6] = {0, 1, 2, 5, 4, 3};  // U11 U22 U33 U23 U13 U12 -> the CIF's order
        for (int k = 0; k < 6; ++k) {
          const Coded c = coded(r, v[static_cast<std::size_t>(4 + kFromShelx[k])]);
          atom.u[static_cast<std::size_t>(k)] = c.value;
          atom.u_fixed[static_cast<std::size_t>(k)] = c.fixed;
          free_variable = free_variable || c.free_variable >= 0;
        }
      } else {
        const double u = v.size() > 4 ? v[4] : 0.05;
        if (u <= -0.5 && u > -5) {
          atom.riding_u = -u;
          for (int k = static_cast<int>(res.atoms.size()) - 1; k >= 0 && atom.u_pivot < 0; --k) {
            const int type = res.atoms[static_cast<std::size_t>(k)].sfac;
            const std::string element =
                type >= 1 && type <= static_cast<int>(res.sfac.size()) ? recio::upper_case(res.sfac[static_cast<std::size_t>(type - 1)].symbol) : "";
            if (element != "H" && element != "D") atom.u_pivot = k;
          }
          if (atom.u_pivot < 0)
            throw Error(at(r) + "atom " + atom.label + ": its Uiso " + r.words[6] + " refers to no atom before it");
        } else {
          const Coded c = coded(r, u);
          atom.uiso = c.value;
          atom.uiso_fixed = c.fixed;
          if (c.free_variable >= 0) {
            atom.uiso_free_variable = c.free_variable;
            atom.uiso_coefficient = c.coefficient;
            constants.push_back({res.atoms.size(), true, c.constant});
          }
        }
      }
      if (free_variable) unsupported("free variables on coordinates or U^ij", r);
      if (afix_n == 5 || afix_n == 6) {
        if (rigid < 0) throw Error(at(r) + "atom " + atom.label + " is one more than its rigid group holds");
        ResRigidGroup& g = res.rigid_groups[static_cast<std::size_t>(rigid)];
        atom.rigid_group = rigid;
        g.atoms.push_back(static_cast<int>(res.atoms.size()));
        if (g.atoms.size() == kRigidShapes.at(g.afix / 10)) rigid = -1;
      } else if (afix_m != 0 || afix_n != 0) {
        atom.pivot = afix_pivot;
        afix_has_atoms = true;
      }
      res.atoms.push_back(atom);
    }
  }
  if (afix_n >= 7 && afix_has_atoms) ++rotating_groups;
  rigid_complete(where + ": ");
  for (ResScatterer& s : res.sfac)
    if (const auto found = dispersion.find(recio::upper_case(s.symbol)); found != dispersion.end()) {
      s.f_prime = found->second.first;
      s.f_double_prime = found->second.second;
      s.dispersion = true;
    }
  for (const ResAtom& atom : res.atoms)
    if (atom.sfac < 1 || atom.sfac > static_cast<int>(res.sfac.size()))
      throw Error(where + ", line " + std::to_string(atom.line) + ": atom " + atom.label + " has the scattering type " +
                  std::to_string(atom.sfac) + ", but SFAC names " + std::to_string(res.sfac.size()));
  res.rotating_groups = rotating_groups;
  if (!res.basf.empty() && res.twin_domains.empty()) res.unsupported.push_back({"BASF without TWIN", basf_line, 1});
  // Parameters that follow a free variable take their value from it.
  const std::size_t free_count = res.fvar.empty() ? 0 : res.fvar.size() - 1;
  for (const Constant& c : constants) {
    ResAtom& atom = res.atoms[c.atom];
    const int k = c.uiso ? atom.uiso_free_variable : atom.sof_free_variable;
    if (static_cast<std::size_t>(k) >= free_count)
      throw Error(where + ", line " + std::to_string(atom.line) + ": atom " + atom.label + " refers to free variable " +
                  std::to_string(k + 2) + ", but FVAR gives " + std::to_string(free_count + 1));
    const double fv = res.fvar[static_cast<std::size_t>(k) + 1];
    (c.uiso ? atom.uiso : atom.sof) = c.value + (c.uiso ? atom.uiso_coefficient : atom.sof_coefficient) * fv;
  }
  for (const ResSump& sump : res.sumps)
    for (int k : sump.free_variables)
      if (static_cast<std::size_t>(k) >= free_count)
        throw Error(where + ", line " + std::to_string(sump.line) + ": SUMP refers to free variable " +
                    std::to_string(k + 2) + ", but FVAR gives " + std::to_string(free_count + 1));
  // Atoms by residue and name; residues in the order they first appear.
  std::map<std::pair<int, std::string>, int> by_name;
  std::map<std::tuple<int, std::string, int>, int> by_name_and_part;
  std::vector<int> residues;
  std::map<int, std::size_t> first_atom_of;  // residue -> its first atom
  for (std::size_t k = 0; k < res.atoms.size(); ++k) {
    const ResAtom& atom = res.atoms[k];
    by_name.emplace(std::pair{atom.residue, atom.name}, static_cast<int>(k));
    by_name_and_part.emplace(std::tuple{atom.residue, atom.name, atom.part}, static_cast<int>(k));
    if (first_atom_of.emplace(atom.residue, k).second) residues.push_back(atom.residue);
  }
  std::vector<ResAtomGroup> groups;
  for (std::size_t g = 0; g < res.groups.size(); ++g) {
    const ResAtomGroup& written = res.groups[g];
    const Names& names = group_names[g];
    const bool same = written.instruction == "SAME";
    auto at_line = [&] { return where + ", line " + std::to_string(written.line) + ": " + written.instruction + " "; };
    // The residues the instruction applies to, in order.
    std::vector<int> targets;
    if (names.suffix.empty()) {
      targets.push_back(names.residue);
    } else {
      for (int n : residues)
        if (names.suffix == "*" || std::to_string(n) == names.suffix || res.atoms[first_atom_of.at(n)].residue_class == names.suffix)
          targets.push_back(n);
      if (targets.empty()) throw Error(at_line() + "applies to residue " + names.suffix + ", which the instructions do not have");
    }
    // The atoms of the names in residue n: each name once, C1_* once for
    // every residue that has a C1, ranges written out.
    auto resolve = [&](int n) {
      std::vector<std::vector<int>> atoms;  // one entry for each name
      for (std::size_t k = 0; k < names.names.size(); ++k) {
        const std::string& word = names.names[k];
        if (range_sign(word)) continue;
        const std::size_t underscore = word.find('_');
        const int part = part_of_suffix(word.substr(0, underscore));
        const std::string bare = word.substr(0, std::min(underscore, word.find('^')));
        // The atom of that name in residue m (of that part, with a suffix).
        auto lookup = [&](int m) {
          if (part == 0) {
            const auto f = by_name.find({m, bare});
            return f == by_name.end() ? -1 : f->second;
          }
          const auto f = by_name_and_part.find({m, bare, part});
          return f == by_name_and_part.end() ? -1 : f->second;
        };
        std::vector<int> found;
        if (underscore != std::string::npos && word.substr(underscore + 1) == "*") {
          for (int m : residues)
            if (const int a = lookup(m); a >= 0) found.push_back(a);
        } else {
          const int a = lookup(underscore == std::string::npos ? n : std::stoi(word.substr(underscore + 1)));
          if (a >= 0) found.push_back(a);
        }
        if (found.empty())
          throw Error(at_line() + "names " + word + (n != 0 && underscore == std::string::npos ? " in residue " + std::to_string(n) : std::string()) +
                      (part > 0 ? ", which is no atom of PART " + std::to_string(part) : ", which is no atom of the instructions"));
        if (k > 0 && range_sign(names.names[k - 1])) {
          // The atoms after the previous one up to this one, in the
          // instructions' order (">") or backwards ("<"); SAME's ranges hold
          // the atoms other than hydrogen.
          const int from = atoms.back().back(), to = found.front();
          const int step = names.names[k - 1] == ">" ? 1 : -1;
          if (atoms.back().size() > 1 || found.size() > 1 || (to - from) * step <= 0)
            throw Error(at_line() + "range " + names.names[k - 2] + " " + names.names[k - 1] + " " + word +
                        " runs against the order of the atoms");
          for (int a = from + step; a != to; a += step)
            if (!same || !hydrogen_atom(res, a)) atoms.push_back({a});
        }
        atoms.push_back(std::move(found));
      }
      return atoms;
    };
    auto flat = [](const std::vector<std::vector<int>>& atoms) {
      std::vector<int> out;
      for (const std::vector<int>& a : atoms) out.insert(out.end(), a.begin(), a.end());
      return out;
    };
    auto check_same = [&](const std::vector<int>& atoms) {
      for (int a : atoms)
        if (hydrogen_atom(res, a)) throw Error(at_line() + "names the hydrogen atom " + res.atoms[static_cast<std::size_t>(a)].label);
    };
    if (same && !names.suffix.empty()) {
      // The residue whose atoms follow SAME (else the first) is the
      // reference; the others of its class are made the same, atom by name.
      std::size_t reference = 0;
      for (std::size_t t = 0; t < targets.size(); ++t)
        if (first_atom_of.at(targets[t]) >= names.next_atom) {
          reference = t;
          break;
        }
      const std::vector<int> atoms = flat(resolve(targets[reference]));
      check_same(atoms);
      for (std::size_t t = 0; t < targets.size(); ++t) {
        if (t == reference) continue;
        ResAtomGroup group = written;
        group.atoms = atoms;
        for (int a : atoms) {
          const auto f = by_name.find({targets[t], res.atoms[static_cast<std::size_t>(a)].name});
          if (f == by_name.end())
            throw Error(at_line() + "names " + res.atoms[static_cast<std::size_t>(a)].name + ", which residue " +
                        std::to_string(targets[t]) + " does not have");
          group.following.push_back(f->second);
        }
        groups.push_back(std::move(group));
      }
      continue;
    }
    for (int n : targets) {
      ResAtomGroup group = written;
      if (names.names.empty()) {  // DELU, RIGU, SIMU, ISOR without atoms: all of them (of the residue with a suffix)
        for (std::size_t k = 0; k < res.atoms.size(); ++k)
          if (names.suffix.empty() || res.atoms[k].residue == n) group.atoms.push_back(static_cast<int>(k));
      }
      const std::vector<std::vector<int>> atoms = resolve(n);
      if (group.instruction == "DFIX" || group.instruction == "DANG" || group.instruction == "SADI") {
        // A pair with C1_* stands for one pair in each residue.
        for (std::size_t k = 0; k + 1 < atoms.size(); k += 2) {
          const std::size_t count = std::max(atoms[k].size(), atoms[k + 1].size());
          if (atoms[k].size() != count && atoms[k].size() != 1) throw Error(at_line() + "pairs atoms of unequal numbers of residues");
          if (atoms[k + 1].size() != count && atoms[k + 1].size() != 1) throw Error(at_line() + "pairs atoms of unequal numbers of residues");
          for (std::size_t m = 0; m < count; ++m)
            group.atoms.insert(group.atoms.end(), {atoms[k][atoms[k].size() == 1 ? 0 : m], atoms[k + 1][atoms[k + 1].size() == 1 ? 0 : m]});
        }
      } else {
        const std::vector<int> list = flat(atoms);
        group.atoms.insert(group.atoms.end(), list.begin(), list.end());
      }
      if (same) {
        // The atoms other than hydrogen that follow SAME, as many as it names.
        check_same(group.atoms);
        for (std::size_t k = names.next_atom; k < res.atoms.size() && group.following.size() < group.atoms.size(); ++k)
          if (!hydrogen_atom(res, static_cast<int>(k))) group.following.push_back(static_cast<int>(k));
        if (group.following.size() < group.atoms.size())
          throw Error(at_line() + "names " + std::to_string(group.atoms.size()) + " atoms, but only " +
                      std::to_string(group.following.size()) + " atoms other than hydrogen follow it");
      }
      groups.push_back(std::move(group));
    }
  }
  res.groups = std::move(groups);
  return res;
}

bool hydrogen_atom(const ResInstructions& res, int a) {
  const std::string element = recio::upper_case(res.sfac[static_cast<std::size_t>(res.atoms[static_cast<std::size_t>(a)].sfac - 1)].symbol);
  return element == "H" || element == "D";
}

}  // namespace cif2exp
