#include "vortan/cif_output.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string_view>
#include <tuple>
#include <system_error>

#include "console/page.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

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

std::string site_symmetry_code(const CifBlock& block, const SymmetryOperation& operation) {
  if (operation == SymmetryOperation{}) return ".";
  // The identity stays the identity in any origin; the rest are compared
  // in the paper's.
  const SymmetryOperation paper_operation = in_paper_setting(operation, block.paper_shift);
  LatticeTranslation n{};
  for (std::size_t k = 0; k < block.symops.size(); ++k)
    if (same_modulo_lattice(paper_operation, block.symops[k].operation, n)) {
      // n_klm takes the operator's id; an id that is no number, its row.
      const std::string& id = block.symops[k].id;
      const std::string code = site_symmetry_code(all_digits(id) ? std::stoi(id) : static_cast<int>(k + 1), n);
      // The identity with a translation is "1_655" even when 1 is another row.
      return code == "." ? std::string("1_555") : code;
    }
  return {};
}

std::string site_symmetry_code(const CifBlock& block, int code, const LatticeTranslation& n) {
  return site_symmetry_code(block, operation_of(block.group, code, n));
}

std::string cif_number(double value, float sigma, EsdKind kind) {
  char buffer[64];
  if (!std::isfinite(sigma)) {
    // No s.u. can be given: the value alone, with the fewest decimals.
    const ValueEsd e = value_esd(std::numeric_limits<float>::infinity(), kind);
    std::snprintf(buffer, sizeof buffer, "%.*f", e.decimals, static_cast<double>(value));
    return buffer;
  }
  const ValueEsd e = value_esd(sigma, kind);
  std::string text = format_value_esd(value, sigma, kind);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  if (text.find('*') != std::string::npos) {
    // Too wide for the listing's field; the CIF has no field to overflow,
    // and its s.u. takes as many digits as it needs.
    std::snprintf(buffer, sizeof buffer, "%.*f(%.0f)", e.decimals, static_cast<double>(value),
                  std::round(static_cast<double>(sigma) * std::pow(10.0, e.decimals)));
    text = buffer;
  }
  if (e.digits == 0) text.erase(text.find('('));
  return text;
}

std::string constrained_number(double value, EsdKind kind) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", kind == EsdKind::Distance ? 3 : 1, value);
  return buffer;
}

bool rides(const CifBlock& block, int atom) {
  return atom >= 1 && static_cast<std::size_t>(atom) <= block.riding.size() && block.riding[static_cast<std::size_t>(atom - 1)];
}

std::string cif_value(const std::string& text, bool quoted) {
  static const char* const kReserved[] = {"data_", "loop_", "global_", "save_", "stop_"};
  bool plain = !quoted && !text.empty() && text != "." && text != "?" &&
               std::string_view("_#$'\"[];").find(text[0]) == std::string_view::npos;
  for (char ch : text)
    if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') plain = false;
  for (const char* word : kReserved) {
    const std::string_view reserved(word);
    if (text.size() >= reserved.size()) {
      std::string head = text.substr(0, reserved.size());
      std::transform(head.begin(), head.end(), head.begin(), [](unsigned char ch) { return std::tolower(ch); });
      if (head == reserved) plain = false;
    }
  }
  if (plain) return text;
  // A quote ends a quoted value only when a blank follows it.
  auto fits = [&text](char quote) {
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == quote && (i + 1 == text.size() || text[i + 1] == ' ' || text[i + 1] == '\t')) return false;
    return text.find('\n') == std::string::npos;
  };
  if (fits('\'')) return "'" + text + "'";
  if (fits('"')) return "\"" + text + "\"";
  return "\n;" + text + "\n;\n";
}

std::string cif_file_name(const std::string& stem) { return stem + "_geom.cif"; }

namespace {

std::string listing_label(const std::string& label) {
  return recio::pad(label, 8).substr(0, static_cast<std::size_t>(label_length(label)));
}

CifBlock& current_block(CifCollector& cif) {
  if (cif.blocks.empty()) throw Error("Publication CIF: a distance came before its phase");
  return cif.blocks.back();
}

CifSite make_site(const CifBlock& block, int code, const LatticeTranslation& n) {
  CifSite site;
  site.code = code;
  site.n = n;
  site.symmetry = site_symmetry_code(block, code, n);
  return site;
}

std::string flag(bool published) { return published ? "yes" : "no"; }

// The site in full, for the comment and the listing note of a site that the
// n_klm form cannot hold.
std::string site_in_full(const CifBlock& block, const CifSite& site) {
  std::string text;
  const int number = [&] {
    for (std::size_t k = 0; k < block.operators.size(); ++k)
      if (block.operators[k].code == site.code) return static_cast<int>(k + 1);
    return 0;
  }();
  // In the paper's setting, as its site codes are.
  if (number > 0)
    text = symop_xyz(in_paper_setting(operation_of(block.group, site.code, site.n), block.paper_shift)) + " ";
  text += "(operator code " + std::to_string(site.code) + ", translation " + std::to_string(site.n[0]) + " " +
          std::to_string(site.n[1]) + " " + std::to_string(site.n[2]) + ")";
  return text;
}

std::string symmetry_value(const CifSite& site) { return site.symmetry.empty() ? "?" : site.symmetry; }

struct Note {
  std::string comment;     // for the CIF, before the row
  std::string listing;     // for the listing
};

const std::string& label(const CifBlock& block, int atom) { return block.labels[static_cast<std::size_t>(atom - 1)]; }

// The notes of one row (`row`: "bond O1_Si1") for each of its sites, given
// with the label of the atom there, that the n_klm form cannot hold.
std::vector<Note> site_notes(const CifBlock& block, const std::string& row,
                             const std::vector<std::pair<const CifSite*, std::string>>& sites) {
  std::vector<Note> notes;
  for (const auto& [site, name] : sites) {
    if (!site->symmetry.empty()) continue;
    const std::string full = site_in_full(block, *site);
    notes.push_back({"# " + name + " of " + row + " is at " + full,
                     " CIF: " + row + ", " + name + " at " + full + " is beyond n_klm; written as ?"});
  }
  return notes;
}

std::vector<Note> bond_notes(const CifBlock& block, const CifBond& bond) {
  const std::string& a = label(block, bond.central);
  const std::string& b = label(block, bond.neighbour);
  return site_notes(block, "bond " + a + "_" + b, {{&bond.site, b}});
}

std::vector<Note> angle_notes(const CifBlock& block, const CifAngle& angle) {
  const std::string& a = label(block, angle.first);
  const std::string& b = label(block, angle.central);
  const std::string& c = label(block, angle.second);
  return site_notes(block, "angle " + a + "_" + b + "_" + c, {{&angle.site1, a}, {&angle.site3, c}});
}

std::vector<Note> torsion_notes(const CifBlock& block, const CifTorsion& torsion) {
  std::string row = "torsion";
  std::vector<std::pair<const CifSite*, std::string>> sites;
  for (std::size_t k = 0; k < 4; ++k) {
    row += (k == 0 ? " " : "_") + label(block, torsion.atoms[k]);
    sites.emplace_back(&torsion.sites[k], label(block, torsion.atoms[k]));
  }
  return site_notes(block, row, sites);
}

std::vector<Note> hbond_notes(const CifBlock& block, const CifHbond& hbond) {
  const std::string& d = label(block, hbond.donor);
  const std::string& h = label(block, hbond.hydrogen);
  const std::string& a = label(block, hbond.acceptor);
  return site_notes(block, "hydrogen bond " + d + "-" + h + "..." + a,
                    {{&hbond.donor_site, d}, {&hbond.hydrogen_site, h}, {&hbond.acceptor_site, a}});
}

}  // namespace

namespace {

// ISO 8859-1 letters with accents, from U+00C0, as their plain letters; "?"
// where there is none.
constexpr std::string_view kLatinLetters =
    "AAAAAAACEEEEIIIIDNOOOOO?OUUUUYTsaaaaaaaceeeeiiiidnooooo?ouuuuyty";

// The numbering of the block: the paper's first block whose operators are
// the phase's group, else GENEQ's order.
void number_operators(CifBlock& block, const CifCollector& cif, const PhaseDescription& phase) {
  if (!cif.paper) {
    const std::vector<SymmetryOperation> operations = generated_operations(phase.group);
    for (std::size_t k = 0; k < operations.size(); ++k)
      block.symops.push_back({std::to_string(k + 1), operator_xyz(block.operators[k]), operations[k]});
    return;
  }
  std::string first_difference;
  for (const PaperBlock& paper : cif.paper->blocks) {
    const std::string difference = group_difference(phase.group, paper.symops, cif.paper->shift);
    if (difference.empty()) {
      block.symops = paper.symops;
      block.paper = cif.paper->file + ", data_" + paper.name;
      if (!paper.group_name.empty()) block.paper += " (the operators of " + paper.group_name + ")";
      block.paper_shift = cif.paper->shift;
      return;
    }
    if (first_difference.empty()) first_difference = "data_" + paper.name + ": " + difference;
  }
  if (!cif.paper->source_file.empty()) {
    // The CIF that cif2exp converted has changed since: its numbering no
    // longer fits, and vortan's own still does.
    recio::write(recio::kTerminalOut, "(A)",
                 {" The CIF " + cif.paper->file + " named in " + cif.paper->source_file +
                  " has changed since the conversion (" + first_difference +
                  "); the site codes of phase " + std::to_string(phase.number) +
                  " follow vortan's own operator list. Run cif2exp again to renew " + cif.paper->source_file});
    CifCollector own;
    number_operators(block, own, phase);
    return;
  }
  throw Error("The CIF " + cif.paper->file + " is not of the space group " + block.symbol + " of phase " +
              std::to_string(phase.number) + " (" + first_difference + ")");
}

// The paper's labels, when the experiment's atoms are those it names.
void paper_labels(CifBlock& block, const CifCollector& cif, const PhaseDescription& phase) {
  if (!cif.paper || cif.paper->labels.size() != phase.atoms.size()) return;
  for (std::size_t k = 0; k < phase.atoms.size(); ++k)
    if (cif.paper->labels[k].first != recio::trim_right(phase.atoms[k].label)) return;
  // The paper may be a CIF2 file in UTF-8; ours is CIF 1.1, in ASCII.
  std::vector<std::string> labels;
  try {
    for (const auto& entry : cif.paper->labels) labels.push_back(cif_label(entry.second, phase.number));
  } catch (const Error&) {
    return;  // a label with a character CIF 1.1 cannot hold: the experiment's labels stay
  }
  block.labels = std::move(labels);
}

// Printable ASCII, for comments: anything else becomes "?".
std::string ascii_text(const std::string& text) {
  std::string out;
  for (char ch : text) out += (ch >= ' ' && ch <= '~') ? ch : '?';
  return out;
}

}  // namespace

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

void start_cif_phase(CifCollector& cif, const PhaseDescription& phase) {
  CifBlock block;
  block.phase = phase.number;
  block.title = std::string(recio::trim_right(phase.name));
  block.title.erase(0, block.title.find_first_not_of(' ') == std::string::npos ? block.title.size()
                                                                               : block.title.find_first_not_of(' '));
  block.symbol = std::string(recio::trim_right(phase.symbol));
  block.group = phase.group;
  block.operators = generation_operators(phase.group);
  number_operators(block, cif, phase);
  // Labels that the transliteration makes alike would name two atoms at once.
  std::map<std::string, std::string> original_of;
  for (const AtomSite& atom : phase.atoms) {
    const std::string listed = listing_label(atom.label);
    block.labels.push_back(cif_label(listed, phase.number));
    block.positions.push_back(atom.x);
    const auto [it, added] = original_of.emplace(block.labels.back(), listed);
    if (!added && it->second != listed)
      throw Error("The atom labels \"" + ascii_text(it->second) + "\" and \"" + ascii_text(listed) + "\" of phase " +
                  std::to_string(phase.number) + " both read " + it->first +
                  " in a CIF; rename one of them for the publication CIF");
  }
  paper_labels(block, cif, phase);
  if (phase.number == 1)
    for (const AtomSite& atom : phase.atoms)
      block.riding.push_back(std::find(cif.riding.begin(), cif.riding.end(), recio::trim_right(atom.label)) != cif.riding.end());
  cif.blocks.push_back(std::move(block));
}

CifSite cif_site(const CifBlock& block, int code, const LatticeTranslation& n) { return make_site(block, code, n); }

std::vector<CifBond> written_bonds(const CifBlock& block) {
  using Key = std::tuple<int, int, int, LatticeTranslation>;
  std::map<Key, std::size_t> seen;
  std::vector<CifBond> rows;
  for (std::size_t r = 0; r < block.bonds.size(); ++r) {
    const CifBond& bond = block.bonds[r];
    const Key own{bond.central, bond.neighbour, bond.site.code, bond.site.n};
    const Key other{bond.neighbour, bond.central, bond.reverse.code, bond.reverse.n};
    const bool other_written = bond.reverse.code != 0 && seen.count(other) != 0;
    seen.emplace(own, r);
    if (other_written) continue;
    CifBond row = bond;
    if (bond.central > bond.neighbour && bond.reverse.code != 0) {
      // The other direction was not searched (a type with a negative radius).
      std::swap(row.central, row.neighbour);
      std::swap(row.site, row.reverse);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

void collect_bond(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                  const Bond& hit, float sigma) {
  CifBlock& block = current_block(cif);
  const float distance = hit.d;
  CifBond bond;
  bond.central = central;
  bond.neighbour = hit.atom;
  bond.distance = cif_number(distance, sigma, EsdKind::Distance);
  bond.value = distance;
  bond.sigma = sigma;
  if (rides(block, central) || rides(block, hit.atom)) {
    bond.distance = constrained_number(distance, EsdKind::Distance);
    ++block.riding_rows;
  }
  bond.site = make_site(block, hit.code, hit.n);
  // The same bond from the neighbour: the central atom's image under the
  // inverse operation, named as the search names it.
  const Vec3& from = phase.atoms[static_cast<std::size_t>(central - 1)].x;
  const auto back = image_name(phase.group, from, image_of(inverse(operation_of(phase.group, hit.code, hit.n)), from));
  if (back) bond.reverse = make_site(block, back->code, back->n);
  else bond.reverse.code = 0;
  // The results record's own key, so the flag is its mark, or the mark of
  // the record of the other direction.
  bond.published = is_published_distance(publish, phase.number, central, hit.atom, hit.code,
                                         cell_code(hit.n[0], hit.n[1], hit.n[2])) ||
                   (back && is_published_distance(publish, phase.number, hit.atom, central, back->code,
                                                  cell_code(back->n[0], back->n[1], back->n[2])));
  block.bonds.push_back(std::move(bond));
}

void collect_angle(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                   const Bond& first, const Bond& second, double degrees, float sigma) {
  CifBlock& block = current_block(cif);
  CifAngle row;
  row.first = first.atom;
  row.central = central;
  row.second = second.atom;
  row.angle = cif_number(static_cast<float>(degrees), sigma, EsdKind::Angle);
  row.value = degrees;
  row.sigma = sigma;
  if (rides(block, first.atom) || rides(block, central) || rides(block, second.atom)) {
    row.angle = constrained_number(degrees, EsdKind::Angle);
    ++block.riding_rows;
  }
  row.site1 = make_site(block, first.code, first.n);
  row.site3 = make_site(block, second.code, second.n);
  row.published = is_published_angle(publish, phase.number, first.atom, central, second.atom, first.code,
                                     cell_code(first.n[0], first.n[1], first.n[2]), second.code,
                                     cell_code(second.n[0], second.n[1], second.n[2]));
  block.angles.push_back(std::move(row));
}

std::vector<std::string> cif_notes(CifCollector& cif) {
  std::vector<std::string> lines;
  if (cif.blocks.empty()) return lines;
  CifBlock& block = cif.blocks.back();
  std::vector<std::string> all;
  for (const CifBond& bond : written_bonds(block))
    for (const Note& note : bond_notes(block, bond)) all.push_back(note.listing);
  for (const CifAngle& angle : block.angles)
    for (const Note& note : angle_notes(block, angle)) all.push_back(note.listing);
  for (const CifTorsion& torsion : block.torsions)
    for (const Note& note : torsion_notes(block, torsion)) all.push_back(note.listing);
  for (const CifHbond& hbond : block.hbonds)
    for (const Note& note : hbond_notes(block, hbond)) all.push_back(note.listing);
  for (std::size_t k = block.notes_written; k < all.size(); ++k) lines.push_back(all[k]);
  block.notes_written = all.size();
  if (block.riding_rows > 0 && !block.riding_noted) {
    block.riding_noted = true;
    lines.push_back(" " + std::to_string(block.riding_rows) + " rows with a riding atom are written in the CIF without"
                    " s.u.'s: the refinement");
    lines.push_back(" constrained those atoms to their pivot atoms (the riding lines of " + cif.name + ".CIFSRC)");
  }
  return lines;
}

void write_cif_notes(int listing_unit, CifCollector& cif) {
  for (const std::string& line : cif_notes(cif)) {
    LINECHK(listing_unit, 1);
    recio::check(recio::write(listing_unit, "(A)", {line}), listing_unit);
  }
}

namespace {

// A loop with its columns lined up; `comments` go on a line of their own
// before the row they belong to.
struct Loop {
  std::vector<std::string> tags;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<std::string>> comments;

  void add(std::vector<std::string> row, std::vector<std::string> notes = {}) {
    rows.push_back(std::move(row));
    comments.push_back(std::move(notes));
  }

  void write(std::string& out) const {
    out += "\nloop_\n";
    for (const std::string& tag : tags) out += tag + "\n";
    std::vector<std::size_t> widths(tags.size(), 0);
    for (const auto& row : rows)
      for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (const std::string& comment : comments[r]) out += comment + "\n";
      std::string line;
      for (std::size_t c = 0; c < rows[r].size(); ++c) {
        if (c > 0) line += ' ';
        line += rows[r][c];
        if (c + 1 < rows[r].size() && rows[r][c].find('\n') == std::string::npos)
          line.append(widths[c] - rows[r][c].size(), ' ');
      }
      out += line + "\n";
    }
  }
};

std::string block_name(const std::string& name, int phase) {
  std::string text = name.empty() ? std::string("vortan") : name;
  for (char& ch : text)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' || ch == '.')) ch = '_';
  // CIF 1.1 holds block codes of at most 75 characters, "data_" included.
  const std::string suffix = "_phase" + std::to_string(phase);
  constexpr std::size_t kLongestBlockCode = 75 - 5;
  if (text.size() + suffix.size() > kLongestBlockCode) text.resize(kLongestBlockCode - suffix.size());
  return text + suffix;
}

// The torsion and hydrogen-bond loops; rows from vortan/cif_rows.hpp.

void write_torsion_loops(const CifBlock& block, std::string& out) {
  if (!block.torsions.empty()) {
    Loop torsions;
    torsions.tags = {"_geom_torsion_atom_site_label_1", "_geom_torsion_atom_site_label_2",
                     "_geom_torsion_atom_site_label_3", "_geom_torsion_atom_site_label_4", "_geom_torsion",
                     "_geom_torsion_site_symmetry_1", "_geom_torsion_site_symmetry_2",
                     "_geom_torsion_site_symmetry_3", "_geom_torsion_site_symmetry_4", "_geom_torsion_publ_flag"};
    for (const CifTorsion& t : block.torsions) {
      std::vector<std::string> row;
      for (int atom : t.atoms) row.push_back(cif_value(label(block, atom)));
      row.push_back(t.angle);
      for (const CifSite& site : t.sites) row.push_back(symmetry_value(site));
      row.push_back(flag(t.published));
      std::vector<std::string> comments;
      for (const Note& note : torsion_notes(block, t)) comments.push_back(note.comment);
      torsions.add(std::move(row), std::move(comments));
    }
    torsions.write(out);
  }
  if (!block.hbonds.empty()) {
    Loop hbonds;
    hbonds.tags = {"_geom_hbond_atom_site_label_D", "_geom_hbond_atom_site_label_H",
                   "_geom_hbond_atom_site_label_A", "_geom_hbond_distance_DH", "_geom_hbond_distance_HA",
                   "_geom_hbond_distance_DA", "_geom_hbond_angle_DHA", "_geom_hbond_site_symmetry_D",
                   "_geom_hbond_site_symmetry_H", "_geom_hbond_site_symmetry_A", "_geom_hbond_publ_flag"};
    for (const CifHbond& h : block.hbonds) {
      std::vector<std::string> comments;
      for (const Note& note : hbond_notes(block, h)) comments.push_back(note.comment);
      hbonds.add({cif_value(label(block, h.donor)), cif_value(label(block, h.hydrogen)),
                  cif_value(label(block, h.acceptor)), h.dh, h.ha, h.da, h.angle, symmetry_value(h.donor_site),
                  symmetry_value(h.hydrogen_site), symmetry_value(h.acceptor_site), flag(h.published)},
                 std::move(comments));
    }
    hbonds.write(out);
  }
}

void write_block(const CifBlock& block, const std::string& name, std::string& out) {
  out += "\ndata_" + block_name(name, block.phase) + "\n";
  out += "# Phase " + std::to_string(block.phase) + (block.title.empty() ? "" : ": " + ascii_text(block.title)) +
         "; space group " + ascii_text(block.symbol) + "\n";
  if (!block.paper.empty()) out += "# Site codes numbered as the operators of " + ascii_text(block.paper) + "\n";

  if (block.symops.empty()) {
    out += "\n# The space group gave no operators\n";
  } else {
    Loop symops;
    symops.tags = {"_space_group_symop_id", "_space_group_symop_operation_xyz"};
    for (const PaperSymop& symop : block.symops)
      symops.add({cif_value(ascii_text(symop.id)), cif_value(ascii_text(symop.xyz), true)});
    symops.write(out);
  }

  if (block.bonds.empty()) {
    out += "\n# No distances within the limits\n";
  } else {
    Loop bonds;
    bonds.tags = {"_geom_bond_atom_site_label_1", "_geom_bond_atom_site_label_2", "_geom_bond_distance",
                  "_geom_bond_site_symmetry_2", "_geom_bond_publ_flag"};
    for (const CifBond& bond : written_bonds(block)) {
      std::vector<std::string> comments;
      for (const Note& note : bond_notes(block, bond)) comments.push_back(note.comment);
      bonds.add({cif_value(block.labels[static_cast<std::size_t>(bond.central - 1)]),
                 cif_value(block.labels[static_cast<std::size_t>(bond.neighbour - 1)]), bond.distance,
                 symmetry_value(bond.site), flag(bond.published)},
                std::move(comments));
    }
    bonds.write(out);
  }

  if (block.angles.empty()) {
    out += "\n# No angles\n";
  } else {
    Loop angles;
    angles.tags = {"_geom_angle_atom_site_label_1", "_geom_angle_atom_site_label_2",
                   "_geom_angle_atom_site_label_3", "_geom_angle",
                   "_geom_angle_site_symmetry_1",   "_geom_angle_site_symmetry_3",
                   "_geom_angle_publ_flag"};
    for (const CifAngle& angle : block.angles) {
      std::vector<std::string> comments;
      for (const Note& note : angle_notes(block, angle)) comments.push_back(note.comment);
      angles.add({cif_value(block.labels[static_cast<std::size_t>(angle.first - 1)]),
                  cif_value(block.labels[static_cast<std::size_t>(angle.central - 1)]),
                  cif_value(block.labels[static_cast<std::size_t>(angle.second - 1)]), angle.angle,
                  symmetry_value(angle.site1), symmetry_value(angle.site3), flag(angle.published)},
                 std::move(comments));
    }
    angles.write(out);
  }

  write_torsion_loops(block, out);
}

}  // namespace

std::string cif_text(const CifCollector& cif) {
  std::string out = "#\\#CIF_1.1\n# Distances and angles written by vortan";
  if (!cif.name.empty()) out += " from " + ascii_text(cif.name) + ".EXP";
  out += "\n";
  if (cif.blocks.empty()) out += "# No phase was processed\n";
  for (const CifBlock& block : cif.blocks) write_block(block, cif.name, out);
  return out;
}

void write_cif_file(const CifCollector& cif, const std::string& file) {
  // A temporary of this process, created exclusively: nothing placed under
  // its name (a symbolic link, another run's file) is followed or overwritten.
  const std::string temporary = recio::temporary_name(file);
  recio::write_new_file(temporary, cif_text(cif), "publication CIF");
  try {
    recio::rename_file(temporary, file, "publication CIF");
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}

}  // namespace vesk
