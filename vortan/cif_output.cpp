#include "vortan/cif_output.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <system_error>

#include "console/page.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace vesk {

std::vector<CifOperator> generation_operators(const SpaceGroupInfo& group) {
  std::vector<CifOperator> operators;
  for (int c = 1; c <= group.ncent; ++c)
    for (int s = 0; s <= group.centric; ++s)
      for (int k = 1; k <= group.nsym; ++k) {
        const SymmetryOperator& op = group.ops[static_cast<std::size_t>(k - 1)];
        const int sign = 1 - 2 * s;
        CifOperator entry;
        for (int i = 1; i <= 3; ++i) {
          for (int j = 1; j <= 3; ++j) entry.r[static_cast<std::size_t>(3 * (i - 1) + j - 1)] = sign * op.r(i, j);
          // Centring vectors are multiples of 1/12 held as reals.
          const auto centring = static_cast<int>(
              std::lround(12.0f * group.centring[static_cast<std::size_t>(c - 1)][static_cast<std::size_t>(i - 1)]));
          entry.t[static_cast<std::size_t>(i - 1)] = sign * op.t(i) + centring;
        }
        entry.code = (k + 100 * (c - 1)) * sign;
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

std::string operator_xyz(const CifOperator& op, const std::array<int, 3>& shift) {
  static const char kAxes[] = {'x', 'y', 'z'};
  std::string text;
  for (std::size_t i = 0; i < 3; ++i) {
    if (i > 0) text += ',';
    std::string row;
    for (std::size_t j = 0; j < 3; ++j) {
      const int m = op.r[3 * i + j];
      if (m == 0) continue;
      if (m < 0)
        row += '-';
      else if (!row.empty())
        row += '+';
      if (std::abs(m) != 1) row += std::to_string(std::abs(m)) + "*";
      row += kAxes[j];
    }
    row += twelfths_text(op.t[i] + 12 * shift[i]);
    text += row.empty() ? "0" : row;
  }
  return text;
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

std::string cif_number(float value, float sigma, EsdKind kind) {
  const ValueEsd e = value_esd(sigma, kind);
  std::string text = format_value_esd(value, sigma, kind);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  if (text.find('*') != std::string::npos) {
    // Too wide for the listing's field; the CIF has no field to overflow.
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f(%d)", e.decimals, static_cast<double>(value), e.digits);
    text = buffer;
  }
  if (e.digits == 0) text.erase(text.find('('));
  return text;
}

std::string cif_value(const std::string& text) {
  static const char* const kReserved[] = {"data_", "loop_", "global_", "save_", "stop_"};
  bool plain = !text.empty() && text != "." && text != "?" &&
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

// The translation that takes the operator's image of the atom to `image`.
std::array<int, 3> translation_of(const CifBlock& block, int number, int atom, const Vec3& image) {
  const CifOperator& op = block.operators[static_cast<std::size_t>(number - 1)];
  const Vec3& x = block.positions[static_cast<std::size_t>(atom - 1)];
  std::array<int, 3> n{};
  for (std::size_t i = 0; i < 3; ++i) {
    double p = op.t[i] / 12.0;
    for (std::size_t j = 0; j < 3; ++j) p += op.r[3 * i + j] * static_cast<double>(x[j]);
    n[i] = static_cast<int>(std::lround(static_cast<double>(image[i]) - p));
  }
  return n;
}

CifSite make_site(const SpaceGroupInfo& group, int code, const std::array<int, 3>& n) {
  CifSite site;
  site.code = code;
  site.n = n;
  site.symmetry = site_symmetry_code(symop_number(group, code), n);
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
  if (number > 0) text = operator_xyz(block.operators[static_cast<std::size_t>(number - 1)], site.n) + " ";
  text += "(operator code " + std::to_string(site.code) + ", translation " + std::to_string(site.n[0]) + " " +
          std::to_string(site.n[1]) + " " + std::to_string(site.n[2]) + ")";
  return text;
}

std::string symmetry_value(const CifSite& site) { return site.symmetry.empty() ? "?" : site.symmetry; }

struct Note {
  std::string comment;     // for the CIF, before the row
  std::string listing;     // for the listing
};

std::vector<Note> bond_notes(const CifBlock& block, const CifBond& bond) {
  std::vector<Note> notes;
  if (!bond.site.symmetry.empty()) return notes;
  const std::string& a = block.labels[static_cast<std::size_t>(bond.central - 1)];
  const std::string& b = block.labels[static_cast<std::size_t>(bond.neighbour - 1)];
  const std::string full = site_in_full(block, bond.site);
  notes.push_back({"# " + b + " of bond " + a + "_" + b + " is at " + full,
                   " CIF: bond " + a + "_" + b + ", " + b + " at " + full + " is beyond n_klm; written as ?"});
  return notes;
}

std::vector<Note> angle_notes(const CifBlock& block, const CifAngle& angle) {
  std::vector<Note> notes;
  const std::string& a = block.labels[static_cast<std::size_t>(angle.first - 1)];
  const std::string& b = block.labels[static_cast<std::size_t>(angle.central - 1)];
  const std::string& c = block.labels[static_cast<std::size_t>(angle.second - 1)];
  const std::string name = a + "_" + b + "_" + c;
  const std::pair<const CifSite*, const std::string*> sites[] = {{&angle.site1, &a}, {&angle.site3, &c}};
  for (const auto& [site, label] : sites) {
    if (!site->symmetry.empty()) continue;
    const std::string full = site_in_full(block, *site);
    notes.push_back({"# " + *label + " of angle " + name + " is at " + full,
                     " CIF: angle " + name + ", " + *label + " at " + full + " is beyond n_klm; written as ?"});
  }
  return notes;
}

}  // namespace

void start_cif_phase(CifCollector& cif, const PhaseDescription& phase) {
  CifBlock block;
  block.phase = phase.number;
  block.title = std::string(recio::trim_right(phase.name));
  block.title.erase(0, block.title.find_first_not_of(' ') == std::string::npos ? block.title.size()
                                                                               : block.title.find_first_not_of(' '));
  block.symbol = std::string(recio::trim_right(phase.symbol));
  block.operators = generation_operators(phase.group);
  for (const AtomSite& atom : phase.atoms) {
    block.labels.push_back(listing_label(atom.label));
    block.positions.push_back(atom.x);
  }
  cif.blocks.push_back(std::move(block));
}

void collect_bond(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                  const FoundDistance& hit, float sigma) {
  CifBlock& block = current_block(cif);
  CifBond bond;
  bond.central = central;
  bond.neighbour = hit.atom;
  bond.distance = cif_number(hit.vec.d, sigma, EsdKind::Distance);
  bond.site = make_site(phase.group, hit.code, hit.n);
  // The results record's own key, so the flag is its mark.
  bond.published = is_published_distance(publish, phase.number, central, hit.atom, hit.code,
                                         cell_code(hit.n[0], hit.n[1], hit.n[2]));
  block.bonds.push_back(std::move(bond));
}

void collect_angle(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                   const NeighbourEntry& first, const NeighbourEntry& second, const Angle& angle) {
  CifBlock& block = current_block(cif);
  CifAngle row;
  row.first = first.atom;
  row.central = central;
  row.second = second.atom;
  row.angle = cif_number(angle.degrees, angle.sigma, EsdKind::Angle);
  auto site_of = [&](const NeighbourEntry& entry) {
    const int number = symop_number(phase.group, entry.code);
    if (number < 1) return make_site(phase.group, entry.code, {0, 0, 0});
    return make_site(phase.group, entry.code, translation_of(block, number, entry.atom, entry.x));
  };
  row.site1 = site_of(first);
  row.site3 = site_of(second);
  row.published = is_published_angle(publish, phase.number, first.atom, central, second.atom, first.code16,
                                     first.cell_code, second.code16, second.cell_code);
  block.angles.push_back(std::move(row));
}

std::vector<std::string> cif_notes(CifCollector& cif) {
  std::vector<std::string> lines;
  if (cif.blocks.empty()) return lines;
  CifBlock& block = cif.blocks.back();
  std::vector<std::string> all;
  for (const CifBond& bond : block.bonds)
    for (const Note& note : bond_notes(block, bond)) all.push_back(note.listing);
  for (const CifAngle& angle : block.angles)
    for (const Note& note : angle_notes(block, angle)) all.push_back(note.listing);
  for (std::size_t k = block.notes_written; k < all.size(); ++k) lines.push_back(all[k]);
  block.notes_written = all.size();
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
  return text + "_phase" + std::to_string(phase);
}

void write_block(const CifBlock& block, const std::string& name, std::string& out) {
  out += "\ndata_" + block_name(name, block.phase) + "\n";
  out += "# Phase " + std::to_string(block.phase) + (block.title.empty() ? "" : ": " + block.title) +
         "; space group " + block.symbol + "\n";

  if (block.operators.empty()) {
    out += "\n# The space group gave no operators\n";
  } else {
    Loop symops;
    symops.tags = {"_space_group_symop_id", "_space_group_symop_operation_xyz"};
    for (std::size_t k = 0; k < block.operators.size(); ++k)
      symops.add({std::to_string(k + 1), "'" + operator_xyz(block.operators[k]) + "'"});
    symops.write(out);
  }

  if (block.bonds.empty()) {
    out += "\n# No distances within the limits\n";
  } else {
    Loop bonds;
    bonds.tags = {"_geom_bond_atom_site_label_1", "_geom_bond_atom_site_label_2", "_geom_bond_distance",
                  "_geom_bond_site_symmetry_2", "_geom_bond_publ_flag"};
    for (const CifBond& bond : block.bonds) {
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
}

}  // namespace

std::string cif_text(const CifCollector& cif) {
  std::string out = "#\\#CIF_1.1\n# Distances and angles written by vortan";
  if (!cif.name.empty()) out += " from " + cif.name + ".EXP";
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
