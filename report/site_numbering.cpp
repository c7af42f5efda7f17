#include "report/site_numbering.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "report/tables.hpp"

namespace vesk {

std::vector<CifOperator> generation_operators(const SpaceGroupInfo& group) {
  std::vector<CifOperator> operators;
  for (int code : generation_codes(group)) {
    const SymmetryOperation operation = operation_of(group, code, {0, 0, 0});
    CifOperator entry;
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) entry.r[3 * i + j] = operation.rotation[i][j];
      entry.t[i] = operation.twelfths[i];
    }
    entry.code = code;
    operators.push_back(entry);
  }
  return operators;
}

int symop_number(const SpaceGroupInfo& group, int code) {
  const int magnitude = std::abs(code);
  const int k = magnitude % 100;
  const int c = magnitude / 100 + 1;
  const int s = code < 0 ? 1 : 0;
  if (k < 1 || k > group.nsym || c > group.ncent || s > group.centric) return 0;
  return ((c - 1) * (1 + group.centric) + s) * group.nsym + k;
}

std::string operator_xyz(const CifOperator& op, const std::array<int, 3>& shift) {
  SymmetryOperation operation;
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) operation.rotation[i][j] = op.r[3 * i + j];
    operation.twelfths[i] = op.t[i] + 12 * shift[i];
  }
  return symop_xyz(operation);
}

std::string site_symmetry_code(int number, const std::array<int, 3>& n) {
  if (number < 1) return {};
  if (number == 1 && n == std::array<int, 3>{0, 0, 0}) return ".";
  std::string code = std::to_string(number) + "_";
  for (int t : n) {
    if (t < -4 || t > 4) return {};
    code += static_cast<char>('0' + t + 5);
  }
  return code;
}

namespace {

bool all_digits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

}  // namespace

std::string site_symmetry_code(const SiteNumbering& numbering, const SymmetryOperation& operation) {
  if (operation == SymmetryOperation{}) return ".";
  // The identity stays the identity in any origin; the rest are compared
  // in the paper's.
  const SymmetryOperation paper_operation = in_paper_setting(operation, numbering.paper_shift);
  LatticeTranslation n{};
  for (std::size_t k = 0; k < numbering.symops.size(); ++k)
    if (same_modulo_lattice(paper_operation, numbering.symops[k].operation, n)) {
      // n_klm takes the operator's id; an id that is no number, its row.
      const std::string& id = numbering.symops[k].id;
      const std::string code = site_symmetry_code(all_digits(id) ? std::stoi(id) : static_cast<int>(k + 1), n);
      // The identity with a translation is "1_655" even when 1 is another row.
      return code == "." ? std::string("1_555") : code;
    }
  return {};
}

std::string site_symmetry_code(const SiteNumbering& numbering, int code, const LatticeTranslation& n) {
  return site_symmetry_code(numbering, operation_of(numbering.group, code, n));
}

namespace {

std::string listing_label(const std::string& label) {
  return recio::pad(label, 8).substr(0, static_cast<std::size_t>(label_length(label)));
}

// ISO 8859-1 letters with accents, from U+00C0, as their plain letters; "?"
// where there is none.
constexpr std::string_view kLatinLetters =
    "AAAAAAACEEEEIIIIDNOOOOO?OUUUUYTsaaaaaaaceeeeiiiidnooooo?ouuuuyty";

// The numbering of the phase: the paper's first block whose operators are
// the phase's group, else GENEQ's order.
void number_operators(SiteNumbering& numbering, const PaperCif* paper, const PhaseDescription& phase) {
  if (paper == nullptr) {
    const std::vector<SymmetryOperation> operations = generated_operations(phase.group);
    for (std::size_t k = 0; k < operations.size(); ++k)
      numbering.symops.push_back({std::to_string(k + 1), operator_xyz(numbering.operators[k]), operations[k]});
    return;
  }
  std::string first_difference;
  for (const PaperBlock& block : paper->blocks) {
    const std::string difference = group_difference(phase.group, block.symops, paper->shift);
    if (difference.empty()) {
      numbering.symops = block.symops;
      numbering.paper = paper->file + ", data_" + block.name;
      numbering.paper_file = paper->file;
      numbering.paper_block = block.name;
      if (!block.group_name.empty()) numbering.paper += " (the operators of " + block.group_name + ")";
      numbering.paper_shift = paper->shift;
      return;
    }
    if (first_difference.empty()) first_difference = "data_" + block.name + ": " + difference;
  }
  if (!paper->source_file.empty()) {
    // The CIF that cif2exp converted has changed since: its numbering no
    // longer fits, and vortan's own still does.
    recio::write(recio::kTerminalOut, "(A)",
                 {" The CIF " + paper->file + " named in " + paper->source_file +
                  " has changed since the conversion (" + first_difference +
                  "); the site codes of phase " + std::to_string(phase.number) +
                  " follow vortan's own operator list. Run cif2exp again to renew " + paper->source_file});
    number_operators(numbering, nullptr, phase);
    return;
  }
  throw Error("The CIF " + paper->file + " is not of the space group " + numbering.symbol + " of phase " +
              std::to_string(phase.number) + " (" + first_difference + ")");
}

// The paper's labels, when the experiment's atoms are those it names.
void paper_labels(SiteNumbering& numbering, const PaperCif* paper, const PhaseDescription& phase) {
  if (paper == nullptr || paper->labels.size() != phase.atoms.size()) return;
  for (std::size_t k = 0; k < phase.atoms.size(); ++k)
    if (paper->labels[k].first != recio::trim_right(phase.atoms[k].label)) return;
  // The paper may be a CIF2 file in UTF-8; ours is CIF 1.1, in ASCII.
  std::vector<std::string> labels;
  try {
    for (const auto& entry : paper->labels) labels.push_back(cif_label(entry.second, phase.number));
  } catch (const Error&) {
    return;  // a label with a character CIF 1.1 cannot hold: the experiment's labels stay
  }
  numbering.labels = std::move(labels);
}

}  // namespace

std::string ascii_text(const std::string& text) {
  std::string out;
  for (char ch : text) out += (ch >= ' ' && ch <= '~') ? ch : '?';
  return out;
}

std::string cif_label(const std::string& label, int phase) {
  std::string out;
  for (std::size_t k = 0; k < label.size(); ++k) {
    const auto byte = static_cast<unsigned char>(label[k]);
    if (byte >= 0x21 && byte <= 0x7E) {
      out += label[k];
      continue;
    }
    // Two-byte UTF-8 of U+00C0..U+00FF.
    if (byte == 0xC3 && k + 1 < label.size()) {
      const auto next = static_cast<unsigned char>(label[k + 1]);
      if (next >= 0x80 && next <= 0xBF) {
        const char plain = kLatinLetters[static_cast<std::size_t>(next - 0x80)];
        if (std::isalpha(static_cast<unsigned char>(plain))) {
          out += plain;
          ++k;
          continue;
        }
      }
    }
    throw Error("The atom label \"" + ascii_text(label) + "\" of phase " + std::to_string(phase) +
                " has a character that a CIF cannot hold; rename the atom for the publication CIF");
  }
  return out;
}

SiteNumbering number_sites(const PhaseDescription& phase, const std::optional<PaperCif>& paper) {
  SiteNumbering numbering;
  numbering.phase = phase.number;
  numbering.title = std::string(recio::trim_right(phase.name));
  numbering.title.erase(0, numbering.title.find_first_not_of(' ') == std::string::npos
                               ? numbering.title.size()
                               : numbering.title.find_first_not_of(' '));
  numbering.symbol = std::string(recio::trim_right(phase.symbol));
  numbering.group = phase.group;
  numbering.operators = generation_operators(phase.group);
  number_operators(numbering, paper ? &*paper : nullptr, phase);
  // Labels that the transliteration makes alike would name two atoms at once.
  std::map<std::string, std::string> original_of;
  for (const AtomSite& atom : phase.atoms) {
    const std::string listed = listing_label(atom.label);
    numbering.labels.push_back(cif_label(listed, phase.number));
    const auto [it, added] = original_of.emplace(numbering.labels.back(), listed);
    if (!added && it->second != listed)
      throw Error("The atom labels \"" + ascii_text(it->second) + "\" and \"" + ascii_text(listed) + "\" of phase " +
                  std::to_string(phase.number) + " both read " + it->first +
                  " in a CIF; rename one of them for the publication CIF");
  }
  paper_labels(numbering, paper ? &*paper : nullptr, phase);
  return numbering;
}

}  // namespace vesk
