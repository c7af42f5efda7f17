#include "cif2exp/cif_structure.hpp"

#include <cctype>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>

#include <gemmi/elem.hpp>

#include "geometry/oxidation_states.hpp"
#include "recio/error.hpp"

namespace cif2exp {

namespace {

using gemmi::cif::Block;
using vesk::Error;

constexpr double kEightPiSquared = 78.95683520871486;  // B = 8 pi^2 U

const std::string* first_value(const Block& block, std::initializer_list<const char*> tags) {
  for (const char* tag : tags)
    if (const std::string* value = block.find_value(tag))
      if (!gemmi::cif::is_null(*value)) return value;
  return nullptr;
}

std::string first_text(const Block& block, std::initializer_list<const char*> tags) {
  const std::string* value = first_value(block, tags);
  return value == nullptr ? std::string() : plain_text(*value);
}

// The element that a type symbol or a label begins with: two letters when
// they name one ("Cl1", "Fe3+"), else the first ("C12", "O2-").
std::string element_of(const std::string& symbol) {
  if (symbol.empty() || !std::isalpha(static_cast<unsigned char>(symbol[0]))) return {};
  gemmi::El element = gemmi::El::X;
  if (symbol.size() > 1 && std::isalpha(static_cast<unsigned char>(symbol[1])))
    element = gemmi::find_element(symbol.substr(0, 2).c_str());
  if (element == gemmi::El::X) element = gemmi::find_element(symbol.substr(0, 1).c_str());
  return element == gemmi::El::X ? std::string() : std::string(gemmi::element_name(element));
}

CifNumber number_at(gemmi::cif::Table::Row& row, int column) {
  return row.has(column) ? parse_cif_number(row[column]) : CifNumber{};
}

// A number of an atom's row that must read when it is given ("0,5" or
// "nan" for an occupancy is a typing error, not a missing value); its
// s.u. from a CIF2 "_su" column when the value carries none.
CifNumber checked_number(gemmi::cif::Table::Row& row, int column, int su_column, const std::string& atom_where,
                         const std::string& tag) {
  CifNumber number = number_at(row, column);
  if (number.unreadable)
    throw Error(atom_where + tag + " " + row[column] + " is not a number; correct it in the CIF");
  if (number.present && number.su == 0 && su_column >= 0 && row.has2(su_column)) {
    const CifNumber su = parse_cif_number(row[su_column]);
    if (su.unreadable || (su.present && su.value < 0))
      throw Error(atom_where + tag + "_su " + row[su_column] + " is not a standard uncertainty; correct it in the CIF");
    if (su.present) number.su = su.value;
  }
  return number;
}

// The s.u. of a threshold expression such as ">2sigma(I)" or "I>2\s(I)".
double cutoff_of(const std::string& expression) {
  const std::size_t gt = expression.find('>');
  if (gt == std::string::npos) return 0;
  const char* start = expression.c_str() + gt + 1;
  while (*start == ' ' || *start == '=') ++start;
  char* end = nullptr;
  const double value = std::strtod(start, &end);
  return end == start ? 0 : value;
}

void read_cell(const Block& block, CifStructure& structure) {
  static const char* const tags[6] = {"_cell_length_a",    "_cell_length_b",   "_cell_length_c",
                                      "_cell_angle_alpha", "_cell_angle_beta", "_cell_angle_gamma"};
  for (int i = 0; i < 6; ++i) {
    const std::string* raw = block.find_value(tags[i]);
    structure.cell[i] = raw == nullptr ? CifNumber{} : parse_cif_number(*raw);
    if (!structure.cell[i].present)
      throw Error(structure.file + ": the block data_" + block.name + " has no cell: " + tags[i] +
                  (raw == nullptr ? " is missing" : " is not a number"));
    if (structure.cell[i].value <= 0 || (i >= 3 && structure.cell[i].value >= 180))
      throw Error(structure.file + ": " + tags[i] + " " + *raw + " is not a usable cell constant");
    const std::string* su = block.find_value(std::string(tags[i]) + "_su");
    if (su != nullptr && structure.cell[i].su == 0) {
      const CifNumber number = parse_cif_number(*su);
      if (number.unreadable || (number.present && number.value < 0))
        throw Error(structure.file + ": " + tags[i] + "_su " + *su +
                    " is not a standard uncertainty; correct it in the CIF");
      if (number.present) structure.cell[i].su = number.value;
    }
  }
}

void read_symmetry(Block& block, CifStructure& structure) {
  structure.space_group_name =
      first_text(block, {"_space_group_name_H-M_alt", "_symmetry_space_group_name_H-M", "_space_group_name_H-M"});
  structure.hall = first_text(block, {"_space_group_name_Hall", "_symmetry_space_group_name_Hall"});
  for (const char* tag : {"_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz"}) {
    gemmi::cif::Column column = block.find_values(tag);
    if (!column) continue;
    for (const std::string& raw : column) structure.operators.push_back(gemmi::cif::as_string(raw));
    break;
  }
}

// A disorder group as vortan compares it: "-1" (SHELX's PART -1) is group
// "1"; "0" is no group.
std::string disorder_group_of(std::string group) {
  if (!group.empty() && group[0] == '-') group.erase(0, 1);
  if (group.find_first_not_of('0') == std::string::npos) return {};
  return group;
}

// A point the CIF lists among its atoms that is no atom of the structure:
// flagged "dum" (_atom_site_calc_flag), given occupancy 0 without a type
// symbol, or named as programs name such points: DUM1, a ring centroid
// Cg1, a residual-density peak Q1 (by the type symbol, or the label when
// there is none).
bool dummy_point(const std::string& label, const std::string* type, const std::string& calc_flag, double occupancy) {
  if (calc_flag == "dum" || calc_flag == "DUM") return true;
  if (type == nullptr && occupancy == 0) return true;
  const std::string name = type != nullptr ? *type : label;
  auto digits_from = [&](std::size_t k) {
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(k), name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
  };
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return (upper.rfind("DUM", 0) == 0 && digits_from(3)) || (name.rfind("Cg", 0) == 0 && digits_from(2)) ||
         (name.size() > 1 && name[0] == 'Q' && digits_from(1));
}

void read_atoms(Block& block, CifStructure& structure) {
  enum { kLabel, kType, kX, kY, kZ, kOcc, kUiso, kBiso, kMult, kOldMult, kOrder, kDisorder,
         kXsu, kYsu, kZsu, kOccSu, kUisoSu, kBisoSu, kCalc, kPosition, kFlags, kAttached };
  gemmi::cif::Table sites = block.find("_atom_site_", {"label", "?type_symbol", "?fract_x", "?fract_y", "?fract_z",
                                                       "?occupancy", "?U_iso_or_equiv", "?B_iso_or_equiv",
                                                       "?site_symmetry_multiplicity", "?symmetry_multiplicity",
                                                       "?site_symmetry_order", "?disorder_group",
                                                       "?fract_x_su", "?fract_y_su", "?fract_z_su", "?occupancy_su",
                                                       "?U_iso_or_equiv_su", "?B_iso_or_equiv_su",
                                                       "?calc_flag", "?refinement_flags_posn", "?refinement_flags",
                                                       "?calc_attached_atom"});
  const std::string where = structure.file + ": ";
  if (!sites.ok() || sites.length() == 0)
    throw Error(where + "the block data_" + block.name + " has no atoms (no _atom_site_label loop)");
  if (!sites.has_column(kX) || !sites.has_column(kY) || !sites.has_column(kZ))
    throw Error(where + "the block data_" + block.name +
                " has no coordinates (_atom_site_fract_x, _y and _z are needed)");
  std::map<std::string, std::size_t> index;
  std::set<std::string> dummies;
  for (auto row : sites) {
    CifAtom atom;
    atom.label = gemmi::cif::as_string(row[kLabel]);
    const std::string atom_where = where + "atom " + atom.label + ": ";
    if (index.count(atom.label) != 0 || dummies.count(atom.label) != 0)
      throw Error(atom_where + "the label is given twice in _atom_site_label");
    {
      const std::string type = row.has2(kType) ? gemmi::cif::as_string(row[kType]) : std::string();
      const CifNumber occupancy = row.has2(kOcc) ? parse_cif_number(row[kOcc]) : CifNumber{};
      if (dummy_point(atom.label, row.has2(kType) ? &type : nullptr,
                      row.has2(kCalc) ? gemmi::cif::as_string(row[kCalc]) : std::string(),
                      occupancy.present ? occupancy.value : 1.0)) {
        dummies.insert(atom.label);
        continue;
      }
    }
    atom.type_symbol = row.has2(kType) ? gemmi::cif::as_string(row[kType]) : atom.label;
    atom.element = element_of(atom.type_symbol);
    if (atom.element.empty())
      throw Error(atom_where + "unknown atom type " + atom.type_symbol +
                  (row.has2(kType) ? " (_atom_site_type_symbol)" : " (taken from the label)"));
    if (!row.has2(kType)) atom.type_symbol = atom.element;
    // Read as vortan reads it; a charge it cannot read would lose the atom's bond valences.
    if (const std::string fault = vesk::type_symbol_charge_fault(atom.type_symbol); !fault.empty())
      throw Error(atom_where + "the type symbol " + atom.type_symbol + " (_atom_site_type_symbol): " + fault +
                  " (Fe3+, Fe+3); correct it in the CIF");
    static const char* const coordinate_tags[3] = {"_atom_site_fract_x", "_atom_site_fract_y", "_atom_site_fract_z"};
    for (int i = 0; i < 3; ++i) {
      atom.x[i] = row.has(kX + i) ? parse_cif_coordinate(row[kX + i]) : CifNumber{};
      if (!atom.x[i].present)
        throw Error(atom_where + coordinate_tags[i] + " " + row[kX + i] + " is not a coordinate");
      if (atom.x[i].su == 0 && row.has2(kXsu + i)) {
        const CifNumber su = parse_cif_number(row[kXsu + i]);
        if (su.unreadable || (su.present && su.value < 0))
          throw Error(atom_where + coordinate_tags[i] + "_su " + row[kXsu + i] +
                      " is not a standard uncertainty; correct it in the CIF");
        if (su.present) atom.x[i].su = su.value;
      }
    }
    atom.occupancy = checked_number(row, kOcc, kOccSu, atom_where, "_atom_site_occupancy");
    if (!atom.occupancy.present) atom.occupancy = CifNumber{true, 1.0, 0.0, 1.0};
    const CifNumber u = checked_number(row, kUiso, kUisoSu, atom_where, "_atom_site_U_iso_or_equiv");
    const CifNumber b = checked_number(row, kBiso, kBisoSu, atom_where, "_atom_site_B_iso_or_equiv");
    if (u.present) {
      atom.uiso = u.value;
      atom.uiso_su = u.su;
    } else if (b.present) {
      atom.uiso = b.value / kEightPiSquared;
      atom.uiso_su = b.su / kEightPiSquared;
    }
    atom.uiso_given = u.present || b.present;
    // A multiplicity or order is a small whole number; anything else would
    // only be rounded into one.
    auto whole = [&](int column, const char* tag) {
      const CifNumber n = checked_number(row, column, -1, atom_where, tag);
      if (n.present && !(n.value >= 1 && n.value <= 192 && n.value == std::floor(n.value)))
        throw Error(atom_where + tag + " " + row[column] +
                    " is not a whole number from 1 to 192; correct it in the CIF");
      return n.present ? static_cast<int>(n.value) : 0;
    };
    for (const auto& [column, tag] : {std::pair<int, const char*>{kMult, "_atom_site_site_symmetry_multiplicity"},
                                      std::pair<int, const char*>{kOldMult, "_atom_site_symmetry_multiplicity"}})
      if (const int m = whole(column, tag); m != 0 && atom.declared_multiplicity == 0) atom.declared_multiplicity = m;
    atom.off_special_position = row.has2(kDisorder) && gemmi::cif::as_string(row[kDisorder]).compare(0, 1, "-") == 0;
    if (row.has2(kDisorder)) atom.disorder_group = disorder_group_of(gemmi::cif::as_string(row[kDisorder]));
    atom.declared_order = whole(kOrder, "_atom_site_site_symmetry_order");
    // A position calculated, or riding on another atom: c(alc) in the calc
    // flag, R in the position's (or the older combined) refinement flags.
    auto word = [&row](int column) { return row.has2(column) ? gemmi::cif::as_string(row[column]) : std::string(); };
    const std::string calc = word(kCalc);
    atom.riding = calc == "calc" || calc == "c" || word(kPosition).find('R') != std::string::npos ||
                  word(kFlags).find('R') != std::string::npos;
    atom.attached = word(kAttached);
    index[atom.label] = structure.atoms.size();
    structure.atoms.push_back(atom);
  }

  std::vector<std::string> unknown;
  std::set<std::string> aniso_rows;  // the labels given Uij
  static const char* const kIndices[6] = {"11", "22", "33", "12", "13", "23"};
  for (const auto& [prefix, scale] : {std::pair<const char*, double>{"_atom_site_aniso_U_", 1.0},
                                      std::pair<const char*, double>{"_atom_site_aniso_B_", kEightPiSquared}}) {
    const std::string letter = prefix + 17;  // "U_" or "B_"
    std::vector<std::string> columns = {"label"};
    for (const char* ij : kIndices) columns.push_back(letter + ij);
    for (const char* ij : kIndices) columns.push_back("?" + letter + ij + "_su");
    gemmi::cif::Table aniso = block.find("_atom_site_aniso_", columns);
    for (auto row : aniso) {
      const std::string label = gemmi::cif::as_string(row[0]);
      if (dummies.count(label) != 0) continue;
      auto found = index.find(label);
      if (found == index.end()) {
        unknown.push_back(label);
        continue;
      }
      CifAtom& atom = structure.atoms[found->second];
      const std::string atom_where = where + "atom " + label + ": ";
      // Two rows for one atom: which is meant cannot be told.
      if (!aniso_rows.insert(label).second)
        throw Error(atom_where + "the anisotropic loop gives its Uij twice (two rows of _atom_site_aniso_label " +
                    label + "); remove one in the CIF");
      for (int i = 0; i < 6; ++i) {
        const std::string tag = prefix + std::string(kIndices[i]);
        const CifNumber u = checked_number(row, i + 1, i + 7, atom_where, tag);
        if (!u.present) throw Error(atom_where + tag + " " + row[i + 1] + " is not a number");
        atom.u[i] = u.value / scale;
        atom.u_su[i] = u.su / scale;
      }
      atom.anisotropic = true;
    }
  }
  if (structure.atoms.empty())
    throw Error(where + "the block data_" + block.name + " has no atoms besides dummy points");
  if (!dummies.empty()) {
    std::string names;
    for (const std::string& label : dummies) names += (names.empty() ? "" : ", ") + label;
    structure.warnings.push_back(names + (dummies.size() == 1 ? " is a dummy point" : " are dummy points") +
                                 " (flagged dum, occupancy 0 without a type symbol, or named DUM, Cg or Q), "
                                 "no atom" + (dummies.size() == 1 ? "" : "s") + " of the structure: left out");
  }
  // A label mistyped in the aniso loop ("C(l9)" for "C(19)"): its atom can
  // stay isotropic, when the CIF gives it a Uiso.
  if (!unknown.empty()) {
    std::string names;
    for (const std::string& label : unknown) names += (names.empty() ? "" : ", ") + label;
    for (const CifAtom& atom : structure.atoms)
      if (!atom.anisotropic && !atom.uiso_given)
        throw Error(where + "_atom_site_aniso_label " + names + " name" + (unknown.size() == 1 ? "s" : "") +
                    " no atom of _atom_site_label, and atom " + atom.label +
                    " has neither Uij nor a Uiso; correct the label in the CIF");
    structure.warnings.push_back("_atom_site_aniso_label " + names + " name" + (unknown.size() == 1 ? "s" : "") +
                                 " no atom of _atom_site_label: " + (unknown.size() == 1 ? "that row" : "those rows") +
                                 " skipped; atoms without Uij keep their Uiso");
  }
}

}  // namespace

namespace {

// The first line that holds anything, as printable ASCII with its blanks
// collapsed.
std::string plain_line(const std::string& text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!out.empty()) break;  // the first line that holds anything
      continue;
    }
    const auto code = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    // The experiment file counts columns in bytes: keep it plain ASCII.
    out += code >= 32 && code < 127 ? c : '?';
  }
  return out;
}

}  // namespace

std::string plain_text(const std::string& raw) { return plain_line(gemmi::cif::as_string(raw)); }

std::string without_markup(const std::string& text) {
  // The CIF 1.1 conventions for text (International Tables G, 2.2.7.4.13):
  // HTML-like tags, ~ and ^ around sub- and superscripts, a backslash before
  // a Greek letter, an accent or a special sign.
  static const std::pair<const char*, const char*> kCodes[] = {
      {"\\\\times", "x"},  {"\\\\pm", "+/-"},       {"\\\\mp", "-/+"},        {"\\\\infty", "infinity"},
      {"\\\\rightarrow", "->"}, {"\\\\leftarrow", "<-"}, {"\\\\ddb", "~"},   {"\\\\db", "="},
      {"\\\\tb", "#"},      {"\\\\sim", "~"},       {"\\%A", "A"},            {"\\%a", "a"},
      {"\\%", "deg"},       {"\\?i", "i"},          {"\\/o", "o"},            {"\\/O", "O"},
      {"\\&s", "ss"}};
  static const char kGreek[] = "abgdezhqiklmnxoprstufcywABGDEZHQIKLMNXOPRSTUFCYW";
  static const char* const kGreekNames[] = {
      "alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa", "lambda", "mu",
      "nu", "xi", "omicron", "pi", "rho", "sigma", "tau", "upsilon", "phi", "chi", "psi", "omega"};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '<') {
      // <i>, </i>, <b>, <sup>, <sub>: a tag is a word of letters between < and >.
      const std::size_t close = text.find('>', i);
      if (close != std::string::npos && close - i <= 5) {
        const std::string tag = text.substr(i + 1, close - i - 1);
        const std::string name = tag.empty() || tag[0] != '/' ? tag : tag.substr(1);
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)) != 0; })) {
          i = close + 1;
          continue;
        }
      }
    }
    if (c == '~' || c == '^') {
      ++i;
      continue;
    }
    if (c == '\\' && i + 1 < text.size()) {
      bool replaced = false;
      for (const auto& [code, plain] : kCodes)
        if (text.compare(i, std::strlen(code), code) == 0) {
          out += plain;
          i += std::strlen(code);
          replaced = true;
          break;
        }
      if (replaced) continue;
      const char next = text[i + 1];
      if (const char* greek = std::strchr(kGreek, next); greek != nullptr && next != '\0') {
        std::string name = kGreekNames[(greek - kGreek) % 24];
        if (std::isupper(static_cast<unsigned char>(next))) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        out += name;
        i += 2;
        continue;
      }
      // An accent (\'e, \`e, \^o, \"u, \~n, \,c, \=a, \.z, \;a, \<c, \>o, \(a): the letter alone.
      if (std::strchr("'`^\"~,=.;<>(", next) != nullptr && next != '\0' && i + 2 < text.size()) {
        out += text[i + 2];
        i += 3;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

std::string plain_title(const std::string& raw) { return plain_line(without_markup(gemmi::cif::as_string(raw))); }

Block underscore_tags(const Block& block) {
  Block copy = block;
  // A DDL2 tag names its category before the dot; the DDL1 name joins
  // the two with an underscore.
  auto rename = [](std::string& tag) {
    const std::size_t dot = tag.find('.');
    if (dot != std::string::npos) tag[dot] = '_';
  };
  for (gemmi::cif::Item& item : copy.items) {
    if (item.type == gemmi::cif::ItemType::Pair) rename(item.pair[0]);
    if (item.type == gemmi::cif::ItemType::Loop)
      for (std::string& tag : item.loop.tags) rename(tag);
  }
  return copy;
}

std::string missing_structure(const Block& original) {
  Block block = underscore_tags(original);
  if (block.find_value("_cell_length_a") == nullptr) return "no cell";
  if (!block.find_values("_atom_site_fract_x")) return "no atom coordinates";
  if (first_value(block, {"_space_group_name_H-M_alt", "_symmetry_space_group_name_H-M", "_space_group_name_H-M",
                          "_space_group_name_Hall", "_symmetry_space_group_name_Hall"}) == nullptr &&
      !block.find_values("_space_group_symop_operation_xyz") && !block.find_values("_symmetry_equiv_pos_as_xyz"))
    return "no symmetry (no space-group name, Hall symbol or operator loop)";
  return {};
}

// _atom_type_oxidation_number carried into the type symbols that carry no
// charge of their own ("Fe" with oxidation number 3 becomes "Fe+3", the
// form vortan reads as a charge). Zero (the neutral atoms of a molecular
// structure) and non-integral numbers (a mixed valence of 2.5) are left
// out; a charge the site's own symbol gives ("Fe3+") is kept.
void read_oxidation_numbers(Block& block, CifStructure& structure) {
  gemmi::cif::Table types = block.find("_atom_type_", {"symbol", "oxidation_number"});
  if (!types.ok()) return;
  std::map<std::string, int> charge_of;
  for (auto row : types) {
    if (!row.has2(0) || !row.has2(1)) continue;
    const CifNumber n = parse_cif_number(row[1]);
    if (!n.present || n.unreadable || n.value != std::round(n.value) || n.value == 0 || std::abs(n.value) > 8) continue;
    charge_of[gemmi::cif::as_string(row[0])] = static_cast<int>(n.value);
  }
  for (CifAtom& atom : structure.atoms) {
    const auto found = charge_of.find(atom.type_symbol);
    if (found == charge_of.end()) continue;
    if (atom.type_symbol.find_first_of("+-") != std::string::npos) continue;
    std::string bare = atom.type_symbol;  // "Fe", "Fe1": the letters alone
    while (!bare.empty() && std::isdigit(static_cast<unsigned char>(bare.back()))) bare.pop_back();
    atom.type_symbol = bare + (found->second > 0 ? "+" : "-") + std::to_string(std::abs(found->second));
  }
}

CifStructure read_cif_structure(const gemmi::cif::Block& constant_block, const std::string& file) {
  Block block = underscore_tags(constant_block);
  CifStructure structure;
  structure.file = file;
  structure.block_name = block.name;
  read_cell(block, structure);
  read_symmetry(block, structure);
  read_atoms(block, structure);
  read_oxidation_numbers(block, structure);

  // The title goes into a 66-column record and the listing's page head:
  // without the CIF's markup (<i>N</i>, C~6~H~6~, \a).
  if (const std::string* raw = first_value(block, {"_publ_section_title", "_chemical_name_common",
                                                   "_chemical_name_systematic", "_chemical_formula_sum"}))
    structure.title = plain_title(*raw);
  if (structure.title.empty()) structure.title = "data_" + block.name;
  if (const std::string* raw = first_value(block, {"_chemical_formula_sum", "_chemical_formula_moiety"}))
    structure.phase_name = plain_title(*raw);
  if (structure.phase_name.empty()) structure.phase_name = "data_" + block.name;

  for (const char* tag : {"_refine_ls_R_factor_gt", "_refine_ls_R_factor_obs", "_refine_ls_R_factor_all"})
    if (const std::string* raw = block.find_value(tag))
      if (CifNumber r = parse_cif_number(*raw); r.present) {
        structure.r_factor = r.value;
        break;
      }
  structure.refined_on = first_text(block, {"_refine_ls_structure_factor_coef"});
  structure.sigma_cutoff = cutoff_of(first_text(block, {"_reflns_threshold_expression"}));
  return structure;
}

}  // namespace cif2exp
