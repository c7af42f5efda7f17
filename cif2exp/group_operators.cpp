#include "cif2exp/group_operators.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <set>

#include <gemmi/symmetry.hpp>

#include "crystal/limits.hpp"
#include "recio/error.hpp"

namespace cif2exp {

namespace {

using vesk::Error;

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

// Closure under products; a space group has at most 192 operators.
std::vector<SeitzOperator> closed(std::set<SeitzOperator> ops, const std::string& what) {
  bool grown = true;
  while (grown) {
    grown = false;
    const std::vector<SeitzOperator> current(ops.begin(), ops.end());
    for (const SeitzOperator& a : current)
      for (const SeitzOperator& b : current)
        if (ops.insert(product(a, b)).second) grown = true;
    if (ops.size() > vesk::kMaxEquivalents)
      throw Error(what + " generate more than " + std::to_string(vesk::kMaxEquivalents) +
                  " operators: they are not a space group");
  }
  return {ops.begin(), ops.end()};
}

std::string listed(const std::vector<SeitzOperator>& ops) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(ops.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) text += (i == 0 ? "" : "; ") + triplet(ops[i]);
  if (ops.size() > shown) text += "; ... (" + std::to_string(ops.size()) + " in all)";
  return text;
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

std::vector<SeitzOperator> group_from_triplets(const std::vector<std::string>& triplets) {
  std::set<SeitzOperator> ops;
  for (const std::string& text : triplets) {
    gemmi::Op op;
    try {
      op = gemmi::parse_triplet(text);
    } catch (const std::exception& e) {
      throw Error("symmetry operator " + text + " cannot be read: " + e.what());
    }
    ops.insert(from_gemmi(op, text));
  }
  return closed(std::move(ops), "the symmetry operators of the CIF");
}

std::vector<SeitzOperator> group_from_table(const std::string& name, double alpha, double gamma) {
  const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_name(name, alpha, gamma);
  if (group == nullptr) return {};
  std::set<SeitzOperator> ops;
  for (const gemmi::Op& op : group->operations().all_ops_sorted()) ops.insert(from_gemmi(op, op.triplet()));
  return {ops.begin(), ops.end()};
}

std::string triplet(const SeitzOperator& op) { return to_gemmi(op).triplet(); }

std::string spaced_symbol(const std::string& name, double alpha, double gamma, const std::string& file) {
  if (name.find_first_not_of(" \t") == std::string::npos)
    throw Error(file + ": no space-group name (_space_group_name_H-M_alt or _symmetry_space_group_name_H-M);"
                       " cif2exp needs the Hermann-Mauguin symbol to write the phase");
  std::string symbol = name;
  if (const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_name(name, alpha, gamma)) {
    symbol = group->hm;
    // Our interpreter takes a closing R field for rhombohedral axes.
    if (group->ext == 'R') symbol += " R";
  }
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
                        "; they are not the same group (another origin choice or setting?).";
  if (!only_ours.empty()) message += "\n  only in the symbol's group: " + listed(only_ours);
  if (!only_theirs.empty()) message += "\n  only in the CIF's group: " + listed(only_theirs);
  message += "\n  cif2exp writes no phase with the wrong symmetry";
  throw Error(message);
}

}  // namespace cif2exp
