#include "cif2exp/group_operators.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <set>

#include <gemmi/symmetry.hpp>

#include "crystal/limits.hpp"
#include "recio/error.hpp"

namespace cif2exp {

namespace {

using vesk::Error;

constexpr double kDecimalTolerance = 5e-4;  // a printed translation may lie this far from k/12

int twelfths(int value) { return ((value % 12) + 12) % 12; }

SeitzOperator product(const SeitzOperator& a, const SeitzOperator& b) {
  SeitzOperator c;
  for (int i = 0; i < 3; ++i) {
    int t = a.translation[i];
    for (int j = 0; j < 3; ++j) {
      int sum = 0;
      for (int k = 0; k < 3; ++k) sum += a.r(i, k) * b.r(k, j);
      c.rotation[3 * i + j] = sum;
      t += a.r(i, j) * b.translation[j];
    }
    c.translation[i] = twelfths(t);
  }
  return c;
}

// gemmi keeps rotations and translations in 24ths.
SeitzOperator from_gemmi(const gemmi::Op& op, const std::string& text) {
  SeitzOperator seitz;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (op.rot[i][j] % gemmi::Op::DEN != 0)
        throw Error("symmetry operator " + text + " has a rotation that is not made of integers");
      seitz.rotation[3 * i + j] = op.rot[i][j] / gemmi::Op::DEN;
    }
    const int t = ((op.tran[i] % gemmi::Op::DEN) + gemmi::Op::DEN) % gemmi::Op::DEN;
    if (t % 2 != 0)
      throw Error("symmetry operator " + text + " has a translation that is not a multiple of 1/12");
    seitz.translation[i] = t / 2;
  }
  return seitz;
}

gemmi::Op to_gemmi(const SeitzOperator& op) {
  gemmi::Op g;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) g.rot[i][j] = op.r(i, j) * gemmi::Op::DEN;
    g.tran[i] = op.translation[i] * 2;
  }
  return g;
}

// Closure under products; a space group has at most 192 operators. Each
// operator not yet generated becomes a generator, and every element is
// multiplied by the generators until nothing new appears.
std::vector<SeitzOperator> closed(const std::set<SeitzOperator>& ops, const std::string& what) {
  SeitzOperator identity;
  identity.rotation = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::set<SeitzOperator> group{identity};
  std::vector<SeitzOperator> generators;
  for (const SeitzOperator& op : ops) {
    if (group.count(op) != 0) continue;
    generators.push_back(op);
    std::vector<SeitzOperator> queue(group.begin(), group.end());
    for (std::size_t k = 0; k < queue.size(); ++k)
      for (const SeitzOperator& generator : generators) {
        const SeitzOperator next = product(queue[k], generator);
        if (!group.insert(next).second) continue;
        if (group.size() > vesk::kMaxEquivalents)
          throw Error(what + " generate more than " + std::to_string(vesk::kMaxEquivalents) +
                      " operators: they are not a space group");
        queue.push_back(next);
      }
  }
  return {group.begin(), group.end()};
}

std::string listed(const std::vector<SeitzOperator>& ops) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(ops.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) text += (i == 0 ? "" : "; ") + triplet(ops[i]);
  if (ops.size() > shown) text += "; ... (" + std::to_string(ops.size()) + " in all)";
  return text;
}

// One component of a triplet ("-x+y", "1/2+z", ".5-Y", "2x") into a row of
// the rotation and a translation in twelfths.
void parse_component(const std::string& component, const std::string& text, SeitzOperator& op, int row) {
  const auto refuse = [&](const std::string& why) {
    return Error("symmetry operator " + text + " cannot be read: " + why);
  };
  std::size_t i = 0;
  bool any = false;
  int translation = 0;
  while (i < component.size()) {
    int sign = 1;
    if (component[i] == '+' || component[i] == '-') {
      sign = component[i] == '-' ? -1 : 1;
      ++i;
    } else if (any) {
      throw refuse("\"" + component + "\" is no sum of terms");
    }
    std::size_t start = i;
    while (i < component.size() && (std::isdigit(static_cast<unsigned char>(component[i])) || component[i] == '.')) ++i;
    std::string number = component.substr(start, i - start);
    std::string denominator;
    if (i < component.size() && component[i] == '/') {
      start = ++i;
      while (i < component.size() && std::isdigit(static_cast<unsigned char>(component[i]))) ++i;
      denominator = component.substr(start, i - start);
      if (denominator.empty() || number.empty() || number.find('.') != std::string::npos)
        throw refuse("\"" + component + "\" holds a fraction that is not n/m");
    }
    if (i < component.size() && component[i] == '*') ++i;
    const char letter = i < component.size() ? component[i] : '\0';
    if (letter == 'x' || letter == 'y' || letter == 'z') {
      ++i;
      int coefficient = 1;
      if (!number.empty()) {
        if (!denominator.empty() || number.find('.') != std::string::npos)
          throw refuse("the coefficient of " + std::string(1, letter) + " in \"" + component + "\" is not an integer");
        // atoi would overflow on a long run of digits; no setting needs more than one.
        if (number.size() > 2)
          throw refuse("the coefficient of " + std::string(1, letter) + " in \"" + component + "\" is too large");
        coefficient = std::atoi(number.c_str());
      }
      op.rotation[3 * row + (letter - 'x')] += sign * coefficient;
    } else {
      if (number.empty() || number == ".") throw refuse("\"" + component + "\" holds no coordinate or number");
      double value = 0;
      if (!denominator.empty()) {
        const long n = std::strtol(number.c_str(), nullptr, 10), d = std::strtol(denominator.c_str(), nullptr, 10);
        if (d == 0 || n > 10000 || d > 10000 || (12 * n) % d != 0)
          throw refuse("the translation " + number + "/" + denominator + " is not a multiple of 1/12");
        translation += sign * static_cast<int>(12 * n / d);
      } else {
        value = std::strtod(number.c_str(), nullptr);
        const double in_twelfths = value * 12;
        if (!(std::abs(in_twelfths) < 1e6) || std::abs(in_twelfths - std::round(in_twelfths)) > 12 * kDecimalTolerance)
          throw refuse("the translation " + number + " is not within " + "0.0005 of a multiple of 1/12");
        translation += sign * static_cast<int>(std::lround(in_twelfths));
      }
    }
    any = true;
  }
  if (!any) throw refuse("a component is empty");
  op.translation[row] = twelfths(translation);
}

// The readable part of gemmi's table entry: the symbol our interpreter
// is given for it.
std::string symbol_of(const gemmi::SpaceGroup& entry) {
  std::string symbol = entry.hm;
  // Our interpreter takes a closing R field for rhombohedral axes.
  if (entry.ext == 'R') symbol += " R";
  return symbol;
}

std::vector<SeitzOperator> interpreted(const std::string& symbol) {
  vesk::SpaceGroupInfo group;
  vesk::SGINTERP(symbol, -1, group);
  if (group.failed()) return {};
  std::vector<SeitzOperator> ops = expand_group(group);
  std::sort(ops.begin(), ops.end());
  return ops;
}

std::multiset<std::array<int, 9>> rotations(const std::vector<SeitzOperator>& ops) {
  std::multiset<std::array<int, 9>> set;
  for (const SeitzOperator& op : ops) set.insert(op.rotation);
  return set;
}

std::vector<SeitzOperator> from_gemmi_group(const gemmi::GroupOps& group, const std::string& what) {
  std::set<SeitzOperator> ops;
  for (const gemmi::Op& op : group.all_ops_sorted()) ops.insert(from_gemmi(op, what));
  return {ops.begin(), ops.end()};
}

struct TableSetting {
  const gemmi::SpaceGroup* entry = nullptr;
  std::vector<SeitzOperator> ops;  // sorted
  std::multiset<std::array<int, 9>> rotations;
};

// Every setting of gemmi's table whose translations are twelfths, built once.
const std::vector<TableSetting>& table_settings() {
  static const std::vector<TableSetting> settings = [] {
    std::vector<TableSetting> all;
    for (const gemmi::SpaceGroup& entry : gemmi::spacegroup_tables::main) {
      try {
        TableSetting setting{&entry, from_gemmi_group(entry.operations(), entry.xhm()), {}};
        setting.rotations = rotations(setting.ops);
        all.push_back(std::move(setting));
      } catch (const Error&) {
        // translations finer than twelfths: our interpreter has no such setting
      }
    }
    return all;
  }();
  return settings;
}

}  // namespace

std::vector<SeitzOperator> expand_group(const vesk::SpaceGroupInfo& group) {
  std::vector<SeitzOperator> ops;
  for (int c = 0; c < group.ncent; ++c)
    for (int s = 0; s <= group.centric; ++s)
      for (int k = 0; k < group.nsym; ++k) {
        const vesk::SymmetryOperator& op = group.ops[k];
        const int sign = s == 1 ? -1 : 1;
        SeitzOperator seitz;
        for (int i = 0; i < 3; ++i) {
          for (int j = 0; j < 3; ++j) seitz.rotation[3 * i + j] = sign * op.r(i + 1, j + 1);
          const int centring = static_cast<int>(std::lround(12.0f * group.centring[c][i]));
          seitz.translation[i] = twelfths(sign * op.t(i + 1) + centring);
        }
        ops.push_back(seitz);
      }
  return ops;
}

SeitzOperator parse_operator(const std::string& text) {
  std::string compact;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  SeitzOperator op;
  std::size_t start = 0;
  for (int row = 0; row < 3; ++row) {
    const std::size_t comma = compact.find(',', start);
    if ((row < 2) != (comma != std::string::npos))
      throw Error("symmetry operator " + text + " cannot be read: it needs three components separated by commas");
    parse_component(compact.substr(start, comma == std::string::npos ? std::string::npos : comma - start), text, op,
                    row);
    start = comma + 1;
  }
  int determinant = 0;
  for (int j = 0; j < 3; ++j)
    determinant += op.r(0, j) * (op.r(1, (j + 1) % 3) * op.r(2, (j + 2) % 3) - op.r(1, (j + 2) % 3) * op.r(2, (j + 1) % 3));
  if (determinant != 1 && determinant != -1)
    throw Error("symmetry operator " + text + " cannot be read: its rotation has determinant " +
                std::to_string(determinant));
  return op;
}

std::vector<SeitzOperator> group_from_triplets(const std::vector<std::string>& triplets) {
  std::set<SeitzOperator> ops;
  for (const std::string& text : triplets) ops.insert(parse_operator(text));
  return closed(ops, "the symmetry operators of the CIF");
}

std::vector<SeitzOperator> group_from_hall(const std::string& hall) {
  try {
    const gemmi::GroupOps group = gemmi::symops_from_hall(hall.c_str());
    if (group.order() > static_cast<int>(vesk::kMaxEquivalents)) return {};
    return from_gemmi_group(group, hall);
  } catch (const std::exception&) {
    return {};
  }
}

std::string normalised_name(const std::string& name) {
  std::string text;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    // "2(1)" and "2_1": a screw axis whose subscript is spelled out.
    if (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])) && c == '(' && i + 2 < name.size() &&
        std::isdigit(static_cast<unsigned char>(name[i + 1])) && name[i + 2] == ')') {
      text += name[i + 1];
      i += 2;
    } else if (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])) && c == '_' && i + 1 < name.size() &&
               std::isdigit(static_cast<unsigned char>(name[i + 1]))) {
      continue;
    } else {
      text += c;
    }
  }
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

const gemmi::SpaceGroup* table_entry(const std::string& name, double alpha, double gamma) {
  const std::string normal = normalised_name(name);
  const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_name(normal, alpha, gamma);
  // A name without its origin choice stands for origin choice 2 (the
  // inversion centre at the origin), as International Tables recommend
  // and as our interpreter reads it; gemmi's table lists choice 1 first.
  if (group != nullptr && group->ext == '1' && normal.find(':') == std::string::npos) {
    const gemmi::SpaceGroup* second = group + 1;
    if (second != std::end(gemmi::spacegroup_tables::main) && second->number == group->number && second->ext == '2')
      group = second;
  }
  return group;
}

std::vector<SeitzOperator> group_from_table(const std::string& name, double alpha, double gamma) {
  const gemmi::SpaceGroup* group = table_entry(name, alpha, gamma);
  if (group == nullptr) return {};
  return from_gemmi_group(group->operations(), group->xhm());
}

std::string triplet(const SeitzOperator& op) { return to_gemmi(op).triplet(); }

std::string spaced_symbol(const std::string& name, double alpha, double gamma, const std::string& file) {
  const std::string normal = normalised_name(name);
  if (normal.empty())
    throw Error(file + ": no space-group name (_space_group_name_H-M_alt or _symmetry_space_group_name_H-M);"
                       " cif2exp needs the Hermann-Mauguin symbol to write the phase");
  std::string symbol = normal;
  if (const gemmi::SpaceGroup* group = table_entry(normal, alpha, gamma)) symbol = symbol_of(*group);
  if (symbol.size() > 20)
    throw Error(file + ": the space-group symbol \"" + symbol + "\" is longer than the 20 characters of a phase record");
  return symbol;
}

void require_same_group(const std::string& symbol, const std::vector<SeitzOperator>& from_symbol,
                        const std::vector<SeitzOperator>& from_cif, const std::string& cif_source) {
  std::set<SeitzOperator> ours(from_symbol.begin(), from_symbol.end());
  std::set<SeitzOperator> theirs(from_cif.begin(), from_cif.end());
  if (ours == theirs) return;
  std::vector<SeitzOperator> only_ours;
  std::vector<SeitzOperator> only_theirs;
  std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(only_ours));
  std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(), std::back_inserter(only_theirs));
  std::string message = "the space-group symbol \"" + symbol + "\" gives " + std::to_string(ours.size()) +
                        " operators, " + cif_source + " " + std::to_string(theirs.size()) +
                        "; they are not the same group, nor one origin shift apart.";
  if (!only_ours.empty()) message += "\n  only in the symbol's group: " + listed(only_ours);
  if (!only_theirs.empty()) message += "\n  only in the CIF's group: " + listed(only_theirs);
  message += "\n  cif2exp writes no phase with the wrong symmetry";
  throw Error(message);
}

std::string shift_text(const OriginShift& origin) {
  std::string text;
  for (int i = 0; i < 3; ++i) {
    text += i == 0 ? "" : ",";
    text += static_cast<char>('x' + i);
    int n = origin.shift[i], d = 24;
    if (n == 0) continue;
    text += n < 0 ? "-" : "+";
    n = std::abs(n);
    for (int f : {2, 2, 2, 3})
      if (n % f == 0 && d % f == 0) {
        n /= f;
        d /= f;
      }
    text += std::to_string(n) + "/" + std::to_string(d);
  }
  return text;
}

std::string shift_fractions(const OriginShift& origin) {
  std::string text;
  for (int i = 0; i < 3; ++i) {
    int n = origin.shift[i], d = 24;
    for (int f : {2, 2, 2, 3})
      if (n % f == 0 && d % f == 0) {
        n /= f;
        d /= f;
      }
    text += (i == 0 ? "" : " ") + (n == 0 ? std::string("0") : std::to_string(n) + "/" + std::to_string(d));
  }
  return text;
}

std::vector<SeitzOperator> shifted_group(const std::vector<SeitzOperator>& group, const OriginShift& origin) {
  std::vector<SeitzOperator> moved;
  moved.reserve(group.size());
  for (const SeitzOperator& op : group) {
    SeitzOperator m = op;
    for (int i = 0; i < 3; ++i) {
      int t = 2 * op.translation[i];  // 24ths
      for (int j = 0; j < 3; ++j) t -= (op.r(i, j) - (i == j ? 1 : 0)) * origin.shift[j];
      if (t % 2 != 0) return {};
      m.translation[i] = twelfths(t / 2);
    }
    moved.push_back(m);
  }
  std::sort(moved.begin(), moved.end());
  return moved;
}

namespace {

// Whether every operator of `group`, moved to the origin `shift`, is one of
// `target` (sorted); stops at the first that is not.
bool shift_fits(const std::vector<SeitzOperator>& group, const OriginShift& origin,
                const std::vector<SeitzOperator>& target) {
  for (const SeitzOperator& op : group) {
    SeitzOperator moved = op;
    for (int i = 0; i < 3; ++i) {
      int t = 2 * op.translation[i];  // 24ths
      for (int j = 0; j < 3; ++j) t -= (op.r(i, j) - (i == j ? 1 : 0)) * origin.shift[j];
      if (t % 2 != 0) return false;
      moved.translation[i] = twelfths(t / 2);
    }
    if (!std::binary_search(target.begin(), target.end(), moved)) return false;
  }
  return true;
}

}  // namespace

ResolvedSymmetry resolve_symmetry(const std::string& name, const std::string& hall,
                                  const std::vector<std::string>& operators, double alpha, double gamma) {
  ResolvedSymmetry resolved;
  std::vector<SeitzOperator> theirs;
  const std::string normal_name = normalised_name(name);
  const std::string normal_hall = normalised_name(hall);
  if (!operators.empty()) {
    theirs = group_from_triplets(operators);
    resolved.source = "the CIF's operator loop";
  } else if (!normal_hall.empty()) {
    theirs = group_from_hall(normal_hall);
    if (theirs.empty()) throw Error("the Hall symbol \"" + hall + "\" cannot be read, and there is no operator loop");
    resolved.source = "the Hall symbol \"" + normal_hall + "\"";
  } else if (!normal_name.empty()) {
    theirs = group_from_table(normal_name, alpha, gamma);
    if (theirs.empty())
      throw Error("the CIF has no symmetry-operator loop and no Hall symbol, and the name \"" + name +
                  "\" is not in gemmi's table, so the group is not known");
    resolved.source = "gemmi's table for \"" + normal_name + "\"";
  } else {
    throw Error("no space-group name, Hall symbol or symmetry-operator loop; cif2exp needs one of them");
  }
  std::sort(theirs.begin(), theirs.end());
  // A name or Hall symbol beside the operator loop must name the same group,
  // up to the origin (origin choices share their names).
  const auto their_rotations = rotations(theirs);
  if (!operators.empty()) {
    std::vector<std::pair<std::string, std::vector<SeitzOperator>>> named;
    if (!normal_hall.empty()) named.emplace_back("the Hall symbol \"" + normal_hall + "\"", group_from_hall(normal_hall));
    if (!normal_name.empty())
      named.emplace_back("the name \"" + normal_name + "\"", group_from_table(normal_name, alpha, gamma));
    for (const auto& [what, group] : named)
      if (!group.empty() && (group.size() != theirs.size() || rotations(group) != their_rotations))
        throw Error("the CIF's operator loop gives " + std::to_string(theirs.size()) + " operators (" +
                    listed(theirs) + "), " + what + " a group of " + std::to_string(group.size()) + " (" +
                    listed(group) + "); they are not the same group. cif2exp writes no phase with the wrong symmetry");
  }

  // Candidates: the CIF's own name as our interpreter reads it, then every
  // setting of gemmi's table whose rotations are the CIF's.
  std::vector<std::string> candidates;
  if (!normal_name.empty()) {
    const gemmi::SpaceGroup* named = table_entry(normal_name, alpha, gamma);
    candidates.push_back(named != nullptr ? symbol_of(*named) : normal_name);
  }
  for (const TableSetting& entry : table_settings()) {
    if (entry.ops.size() != theirs.size() || entry.rotations != their_rotations) continue;
    if (entry.ops == theirs && resolved.setting.empty()) resolved.setting = entry.entry->xhm();
    const std::string symbol = symbol_of(*entry.entry);
    if (std::find(candidates.begin(), candidates.end(), symbol) == candidates.end()) candidates.push_back(symbol);
  }

  std::vector<std::pair<std::string, std::vector<SeitzOperator>>> readable;
  for (const std::string& symbol : candidates) {
    if (symbol.size() > 20) continue;
    std::vector<SeitzOperator> ours = interpreted(symbol);
    if (ours.empty()) continue;
    if (ours == theirs) {
      resolved.symbol = symbol;
      resolved.group = expand_group([&] {
        vesk::SpaceGroupInfo group;
        vesk::SGINTERP(symbol, -1, group);
        return group;
      }());
      return resolved;
    }
    readable.emplace_back(symbol, std::move(ours));
  }

  // Origin shifts in 24ths, smallest first: 0, 1, -1, 2, -2, ... 12; the
  // shifts between the settings of International Tables are eighths, so
  // those are tried first.
  std::vector<int> eighths, all{0};
  for (int k = 1; k < 24; ++k) all.push_back((k % 2 == 1 ? 1 : -1) * ((k + 1) / 2));
  for (int step : all)
    if (step % 3 == 0) eighths.push_back(step);
  for (const std::vector<int>* steps : {&eighths, &all}) {
    for (const auto& [symbol, ours] : readable) {
      if (ours.size() != theirs.size() || rotations(ours) != their_rotations) continue;
      for (int a : *steps)
        for (int b : *steps)
          for (int c : *steps) {
            const OriginShift origin{{a, b, c}};
            if (!shift_fits(theirs, origin, ours)) continue;
            resolved.symbol = symbol;
            resolved.origin = origin;
            vesk::SpaceGroupInfo group;
            vesk::SGINTERP(symbol, -1, group);
            resolved.group = expand_group(group);
            return resolved;
          }
    }
  }
  if (readable.empty())
    throw Error("no space-group symbol that vortan's interpreter reads gives the group of " + resolved.source +
                " (" + std::to_string(theirs.size()) + " operators: " + listed(theirs) + ")");
  require_same_group(readable.front().first, readable.front().second, theirs, resolved.source);
  return resolved;  // not reached: the groups differ
}

}  // namespace cif2exp
