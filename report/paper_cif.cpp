#include "report/paper_cif.hpp"

#include <gemmi/cif.hpp>
#include <gemmi/symmetry.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>

#include "recio/error.hpp"

namespace vesk {

namespace {

// Printed decimals of a translation (".3333") lie this close, in twelfths,
// to the exact value; distinct translations are a whole twelfth apart.
constexpr double kTwelfthsTolerance = 0.05;
// A symmetry operator of any setting has small whole coefficients and
// translations of a few cells; beyond these a number is a typing error
// (and would not fit the integers the operator is kept in).
constexpr double kLargestCoefficient = 12;
constexpr double kLargestTranslation = 100;  // cells
constexpr int kLargestSymopId = 9999;

// One coordinate of an operator: "-x+y+1/2", "x-.25", "+2*z". Adds the
// rotation row and the translation in twelfths.
void parse_row(const std::string& text, const std::string& xyz, std::array<int, 3>& row, int& twelfths) {
  auto fail = [&](const std::string& why) -> void {
    throw Error("The operator \"" + xyz + "\" does not read (" + why + ")");
  };
  std::size_t k = 0;
  double translation = 0;
  bool any = false;
  auto skip = [&] {
    while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
  };
  skip();
  while (k < text.size()) {
    double sign = 1;
    if (text[k] == '+' || text[k] == '-') {
      sign = text[k] == '-' ? -1 : 1;
      ++k;
      skip();
    } else if (any) {
      fail("a term without its sign");
    }
    double number = 1;
    bool has_number = false;
    if (k < text.size() && (std::isdigit(static_cast<unsigned char>(text[k])) || text[k] == '.')) {
      const char* start = text.c_str() + k;
      char* end = nullptr;
      number = std::strtod(start, &end);
      if (end == start) fail("a number that does not read");
      k += static_cast<std::size_t>(end - start);
      skip();
      if (k < text.size() && text[k] == '/') {
        ++k;
        skip();
        const char* denominator_start = text.c_str() + k;
        const long denominator = std::strtol(denominator_start, &end, 10);
        if (end == denominator_start || denominator <= 0) fail("a fraction without its denominator");
        k += static_cast<std::size_t>(end - denominator_start);
        number /= static_cast<double>(denominator);
        skip();
      }
      has_number = true;
      if (k < text.size() && text[k] == '*') {
        ++k;
        skip();
      }
    }
    const char axis = k < text.size() ? static_cast<char>(std::tolower(static_cast<unsigned char>(text[k]))) : '\0';
    if (axis == 'x' || axis == 'y' || axis == 'z') {
      ++k;
      const double coefficient = sign * number;
      if (!(std::fabs(coefficient) <= kLargestCoefficient))
        fail("a coefficient beyond " + std::to_string(static_cast<int>(kLargestCoefficient)));
      if (std::fabs(coefficient - std::nearbyint(coefficient)) > 1.0E-9) fail("a coefficient that is not whole");
      int& entry = row[static_cast<std::size_t>(axis - 'x')];
      entry += static_cast<int>(std::nearbyint(coefficient));
      if (std::abs(entry) > kLargestCoefficient)
        fail("a coefficient beyond " + std::to_string(static_cast<int>(kLargestCoefficient)));
    } else if (has_number) {
      translation += sign * number;
      if (!(std::fabs(translation) <= kLargestTranslation))
        fail("a translation beyond " + std::to_string(static_cast<int>(kLargestTranslation)) + " cells");
    } else {
      fail("an unknown character");
    }
    any = true;
    skip();
  }
  if (!any) fail("an empty coordinate");
  const double in_twelfths = 12 * translation;
  if (std::fabs(in_twelfths - std::nearbyint(in_twelfths)) > kTwelfthsTolerance)
    fail("a translation that is no multiple of 1/12");
  twelfths = static_cast<int>(std::nearbyint(in_twelfths));
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An id that is a number becomes the n of the site codes n_klm: it must be
// one, and one of its own.
// An id that is no number is replaced by its row's number, which must then
// not be another row's id.
void check_ids(const std::vector<PaperSymop>& symops, const std::string& file, const std::string& block) {
  std::set<long> seen;
  std::size_t names = 0;
  for (const PaperSymop& symop : symops) {
    const std::string& id = symop.id;
    if (id.empty() || !std::all_of(id.begin(), id.end(), [](unsigned char ch) { return std::isdigit(ch) != 0; })) {
      ++names;
      continue;
    }
    const long number = id.size() > 5 ? kLargestSymopId + 1L : std::stol(id);
    if (number < 1 || number > kLargestSymopId)
      throw Error(file + ", data_" + block + ": the operator id " + id + " (of " + symop.xyz +
                  ") is not from 1 to " + std::to_string(kLargestSymopId) +
                  "; site codes n_klm need such a number. Number the operators 1, 2, ... in the CIF");
    if (!seen.insert(number).second)
      throw Error(file + ", data_" + block + ": the operator id " + id +
                  " is given twice; site codes would be ambiguous. Number the operators 1, 2, ... in the CIF");
  }
  if (names > 0 && !seen.empty())
    throw Error(file + ", data_" + block + ": the operator ids mix numbers and names; site codes n_klm need a "
                "number for every operator. Number the operators 1, 2, ... in the CIF");
}

// The operator loop of one block, in any of the forms the dictionaries
// have had; empty when the block has none.
std::vector<PaperSymop> symops_of(gemmi::cif::Block& block, const std::string& file) {
  struct Form {
    const char* prefix;
    const char* id;
    const char* xyz;
  };
  static const Form kForms[] = {
      {"_space_group_symop_", "?id", "operation_xyz"},
      {"_space_group_symop.", "?id", "operation_xyz"},
      {"_symmetry_equiv_pos_", "?site_id", "as_xyz"},
      {"_symmetry_equiv.", "?pos_site_id", "pos_as_xyz"},
  };
  std::vector<PaperSymop> symops;
  for (const Form& form : kForms) {
    gemmi::cif::Table table = block.find(form.prefix, {form.xyz, form.id});
    if (!table.ok() || table.length() == 0) continue;
    for (std::size_t r = 0; r < table.length(); ++r) {
      gemmi::cif::Table::Row row = table[r];
      PaperSymop symop;
      symop.id = row.has2(1) ? gemmi::cif::as_string(row[1]) : std::to_string(r + 1);
      symop.xyz = gemmi::cif::as_string(row[0]);
      try {
        symop.operation = parse_symop_xyz(symop.xyz);
      } catch (const Error& error) {
        throw Error(file + ", data_" + block.name + ": " + error.what());
      }
      symops.push_back(symop);
    }
    break;
  }
  check_ids(symops, file, block.name);
  return symops;
}

// The operators of a block that names its group but lists none: its Hall
// symbol, else its Hermann-Mauguin name in gemmi's table (a name without
// origin choice meaning choice 2, as cif2exp reads it). Empty when the
// block names no group gemmi knows; `name` gets the name used.
std::vector<PaperSymop> symops_of_name(gemmi::cif::Block& block, std::string& name) {
  auto value = [&block](std::initializer_list<const char*> tags) -> std::string {
    for (const char* tag : tags)
      if (const std::string* raw = block.find_value(tag))
        if (!gemmi::cif::is_null(*raw)) return gemmi::cif::as_string(*raw);
    return {};
  };
  gemmi::GroupOps ops;
  bool found = false;
  name = value({"_space_group_name_Hall", "_space_group.name_Hall", "_symmetry_space_group_name_Hall",
                "_symmetry.space_group_name_Hall"});
  if (!name.empty()) {
    try {
      ops = gemmi::symops_from_hall(name.c_str());
      found = true;
    } catch (const std::exception&) {
      found = false;
    }
  }
  if (!found) {
    name = value({"_space_group_name_H-M_alt", "_space_group.name_H-M_alt", "_symmetry_space_group_name_H-M",
                  "_symmetry.space_group_name_H-M"});
    std::string normal;
    for (std::size_t i = 0; i < name.size(); ++i) {
      // "P2(1)/n", "P2_1/c": a screw axis with its subscript spelled out.
      if (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])) && name[i] == '(' && i + 2 < name.size() &&
          name[i + 2] == ')') {
        normal += name[i + 1];
        i += 2;
      } else if (!(i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])) && name[i] == '_')) {
        normal += name[i];
      }
    }
    // The cell's angles tell rhombohedral from hexagonal axes of an R group.
    auto angle = [&value](std::initializer_list<const char*> tags) {
      const std::string text = value(tags);
      return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr);
    };
    const double alpha = angle({"_cell_angle_alpha", "_cell.angle_alpha"});
    const double gamma = angle({"_cell_angle_gamma", "_cell.angle_gamma"});
    const gemmi::SpaceGroup* group = normal.empty() ? nullptr : gemmi::find_spacegroup_by_name(normal, alpha, gamma);
    if (group != nullptr && group->ext == '1' && normal.find(':') == std::string::npos) {
      const gemmi::SpaceGroup* second = group + 1;
      if (second != std::end(gemmi::spacegroup_tables::main) && second->number == group->number && second->ext == '2')
        group = second;
    }
    if (group == nullptr) return {};
    ops = group->operations();
  }
  std::vector<PaperSymop> symops;
  for (const gemmi::Op& op : ops) {
    PaperSymop symop;
    symop.id = std::to_string(symops.size() + 1);
    symop.xyz = op.triplet();
    symop.operation = parse_symop_xyz(symop.xyz);
    symops.push_back(symop);
  }
  return symops;
}

}  // namespace

SymmetryOperation parse_symop_xyz(const std::string& xyz) {
  std::vector<std::string> parts;
  std::stringstream stream(xyz);
  std::string part;
  while (std::getline(stream, part, ',')) parts.push_back(part);
  if (parts.size() != 3) throw Error("The operator \"" + xyz + "\" does not have three coordinates");
  SymmetryOperation op;
  for (std::size_t i = 0; i < 3; ++i) {
    std::array<int, 3> row{};
    parse_row(parts[i], xyz, row, op.twelfths[i]);
    op.rotation[i] = row;
  }
  return op;
}

PaperCif read_paper_cif(const std::string& file, const std::string& block_name) {
  // gemmi's own messages for a folder or an unreadable file ("mmap()
  // failed") say nothing of what to do.
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0)
    throw Error("The CIF " + file + " cannot be read: " + std::strerror(errno) + "; name the paper's CIF file");
  if (S_ISDIR(status.st_mode))
    throw Error("The CIF " + file + " is a folder; name the paper's CIF file in it (--cif=FOLDER/PAPER.cif)");
  if (!S_ISREG(status.st_mode))
    throw Error("The CIF " + file + " is not a plain file (a device or a pipe); name the paper's CIF file");
  if (::access(file.c_str(), R_OK) != 0)
    throw Error("The CIF " + file + " cannot be read: " + std::strerror(errno));
  gemmi::cif::Document document;
  try {
    document = gemmi::cif::read_file(file);
  } catch (const std::exception& error) {
    throw Error("The CIF " + file + " cannot be read: " + error.what());
  }
  PaperCif paper;
  paper.file = file;
  bool named_found = false;
  for (gemmi::cif::Block& block : document.blocks) {
    if (!block_name.empty() && block.name != block_name) continue;
    named_found = true;
    std::vector<PaperSymop> symops = symops_of(block, file);
    std::string group_name;
    if (symops.empty()) symops = symops_of_name(block, group_name);
    if (!symops.empty()) paper.blocks.push_back({block.name, std::move(symops), group_name});
  }
  if (!block_name.empty() && !named_found) throw Error("The CIF " + file + " has no data block data_" + block_name);
  if (paper.blocks.empty())
    throw Error("The CIF " + file + (block_name.empty() ? std::string() : ", data_" + block_name) +
                " has no operator loop (_space_group_symop_operation_xyz or _symmetry_equiv_pos_as_xyz) and no "
                "space-group name that gemmi's table knows");
  return paper;
}

std::optional<CifSource> read_cif_source(const std::string& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  CifSource source;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trimmed(line).empty() || trimmed(line)[0] == '#') continue;
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "shift") {
      // "shift 1/8 1/8 1/8": fractions of the cell edges, in 24ths.
      for (int& t : source.shift) {
        std::string fraction;
        long numerator = 0, denominator = 1;
        char slash = 0;
        words >> fraction;
        std::istringstream parts(fraction);
        const bool read = fraction.find('/') == std::string::npos
                              ? static_cast<bool>(parts >> numerator)
                              : static_cast<bool>(parts >> numerator >> slash >> denominator);
        if (!read || !parts.eof() || (slash != 0 && slash != '/') || denominator <= 0 || 24 % denominator != 0 || std::labs(numerator) > denominator)
          throw Error(file + ", line " + std::to_string(number) + ": the shift \"" + trimmed(line) +
                      "\" is not three fractions of 1/24");
        t = static_cast<int>(numerator * (24 / denominator));
      }
    } else if (word == "cif" || word == "block") {
      std::string rest;
      std::getline(words, rest);
      (word == "cif" ? source.cif : source.block) = trimmed(rest);
    } else if (word == "label") {
      std::string experiment, paper;
      if (!(words >> experiment >> paper))
        throw Error(file + ", line " + std::to_string(number) + ": a label line needs two labels");
      source.labels.emplace_back(experiment, paper);
    } else if (word == "disorder") {
      std::string experiment, group;
      if (!(words >> experiment >> group))
        throw Error(file + ", line " + std::to_string(number) + ": a disorder line needs a label and a group");
      source.disorder.emplace_back(experiment, group);
    } else if (word == "riding") {
      std::string experiment, pivot;
      if (!(words >> experiment >> pivot))
        throw Error(file + ", line " + std::to_string(number) + ": a riding line needs two labels");
      source.riding.emplace_back(experiment, pivot);
    } else if (word == "carry") {
      std::pair<std::string, std::map<int, int>> carry;
      words >> carry.first;
      for (std::string pair; words >> pair;) {
        int then = 0, now = 0;
        char colon = 0;
        std::istringstream numbers(pair);
        if (!(numbers >> then >> colon >> now) || colon != ':' || !numbers.eof())
          throw Error(file + ", line " + std::to_string(number) + ": \"" + pair + "\" is not two atom numbers");
        carry.second[then] = now;
      }
      if (carry.first.empty() || carry.first.find('/') != std::string::npos)
        throw Error(file + ", line " + std::to_string(number) + ": a carry line needs a file of the experiment's folder");
      source.carry.push_back(std::move(carry));
    } else if (word == "pressure") {
      double gpa = 0;
      std::string item;
      if (!(words >> gpa >> item) || !std::isfinite(gpa) || gpa < 0)
        throw Error(file + ", line " + std::to_string(number) + ": \"" + trimmed(line) +
                    "\" is not a pressure in GPa and the CIF item that gives it");
      source.pressure_gpa = gpa;
      source.pressure_item = item;
    } else if (word != "symmetry" && word != "cell" && word != "site") {  // the structure, for cif2exp
      throw Error(file + ", line " + std::to_string(number) + ": \"" + word +
                  "\" is not cif, block, shift, label, disorder, riding, symmetry, cell, site, carry or pressure");
    }
  }
  if (source.cif.empty()) throw Error(file + " names no CIF (line \"cif PATH\")");
  return source;
}

std::vector<int> generation_codes(const SpaceGroupInfo& group) {
  std::vector<int> codes;
  for (int c = 1; c <= group.ncent; ++c)
    for (int s = 0; s <= group.centric; ++s)
      for (int k = 1; k <= group.nsym; ++k) codes.push_back((k + 100 * (c - 1)) * (1 - 2 * s));
  return codes;
}

std::vector<SymmetryOperation> generated_operations(const SpaceGroupInfo& group) {
  std::vector<SymmetryOperation> operations;
  for (int code : generation_codes(group)) operations.push_back(operation_of(group, code, {0, 0, 0}));
  return operations;
}

namespace {

// "+1/2", "-1", "+4/3": a translation in twelfths, reduced.
std::string twelfths_text(int t) {
  if (t == 0) return {};
  const int divisor = std::gcd(std::abs(t), 12);
  std::string text = t < 0 ? "-" : "+";
  text += std::to_string(std::abs(t) / divisor);
  if (12 / divisor != 1) text += "/" + std::to_string(12 / divisor);
  return text;
}

}  // namespace

std::string symop_xyz(const SymmetryOperation& operation) {
  static const char kAxes[] = {'x', 'y', 'z'};
  std::string text;
  for (std::size_t i = 0; i < 3; ++i) {
    if (i > 0) text += ',';
    std::string row;
    for (std::size_t j = 0; j < 3; ++j) {
      const int m = operation.rotation[i][j];
      if (m == 0) continue;
      if (m < 0)
        row += '-';
      else if (!row.empty())
        row += '+';
      if (std::abs(m) != 1) row += std::to_string(std::abs(m)) + "*";
      row += kAxes[j];
    }
    row += twelfths_text(operation.twelfths[i]);
    text += row.empty() ? "0" : row;
  }
  return text;
}

SymmetryOperation in_paper_setting(const SymmetryOperation& operation, const OriginShift24& shift) {
  SymmetryOperation moved = operation;
  for (std::size_t i = 0; i < 3; ++i) {
    int in_24ths = 0;
    for (std::size_t j = 0; j < 3; ++j) in_24ths += (operation.rotation[i][j] - (i == j ? 1 : 0)) * shift[j];
    if (in_24ths % 2 != 0)
      throw Error("The origin shift recorded for the paper's CIF takes the operation " + symop_xyz(operation) +
                  " out of the twelfths: it is no origin of the group; run cif2exp again on that CIF");
    moved.twelfths[i] += in_24ths / 2;
  }
  return moved;
}

std::string group_difference(const SpaceGroupInfo& group, const std::vector<PaperSymop>& symops,
                             const OriginShift24& shift) {
  std::vector<SymmetryOperation> operations = generated_operations(group);
  for (SymmetryOperation& op : operations) op = in_paper_setting(op, shift);
  for (const SymmetryOperation& op : operations) {
    bool found = false;
    LatticeTranslation n{};
    for (const PaperSymop& symop : symops)
      if (same_modulo_lattice(op, symop.operation, n)) found = true;
    if (found) continue;
    SymmetryOperation within_cell = op;
    for (int& t : within_cell.twelfths) t = ((t % 12) + 12) % 12;
    return "the operation " + symop_xyz(within_cell) + " of the group is not among the CIF's operators";
  }
  // Every operation found: the loop holds no other one unless it has more rows.
  if (symops.size() != operations.size())
    return "the CIF lists " + std::to_string(symops.size()) + " operators, the group has " +
           std::to_string(operations.size());
  return {};
}

}  // namespace vesk
