#include "report/cif_output.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

#include "console/page.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/units.hpp"

namespace vesk {

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

std::string flag(bool published) { return published ? "yes" : "no"; }

// The site in full, for the comment and the listing note of a site that the
// n_klm form cannot hold.
std::string site_in_full(const SiteNumbering& numbering, const RowSite& site) {
  std::string text;
  const int code = site.image.code;
  const LatticeTranslation& n = site.image.n;
  const int number = [&] {
    for (std::size_t k = 0; k < numbering.operators.size(); ++k)
      if (numbering.operators[k].code == code) return static_cast<int>(k + 1);
    return 0;
  }();
  // In the paper's setting, as its site codes are.
  if (number > 0)
    text = symop_xyz(in_paper_setting(operation_of(numbering.group, code, n), numbering.paper_shift)) + " ";
  text += "(operator code " + std::to_string(code) + ", translation " + std::to_string(n[0]) + " " +
          std::to_string(n[1]) + " " + std::to_string(n[2]) + ")";
  return text;
}

std::string symmetry_value(const RowSite& site) { return site.code.empty() ? "?" : site.code; }

struct Note {
  std::string comment;     // for the CIF, before the row
  std::string listing;     // for the listing
};

// The row as the notes name it: "bond O1_Si1", "hydrogen bond N1-H1...O2".
std::string row_name(const PhaseRows& rows, const Row& row) {
  const std::size_t atoms = row_kind_name(row.kind).atoms;
  std::vector<std::string> labels;
  for (std::size_t k = 0; k < atoms; ++k) labels.push_back(rows.numbering.label(row.sites[k].atom));
  if (row.kind == RowKind::hbond) return "hydrogen bond " + labels[0] + "-" + labels[1] + "..." + labels[2];
  std::string name = row_kind_name(row.kind).name;
  for (std::size_t k = 0; k < atoms; ++k) name += (k == 0 ? " " : "_") + labels[k];
  return name;
}

// The notes of one row for each of its sites, given with the label of the
// atom there, that the n_klm form cannot hold.
std::vector<Note> row_notes(const PhaseRows& rows, const Row& row) {
  std::vector<Note> notes;
  for (std::size_t k = 0; k < row_kind_name(row.kind).atoms; ++k) {
    const RowSite& site = row.sites[k];
    if (!site.code.empty()) continue;
    const std::string name = rows.numbering.label(site.atom);
    const std::string full = site_in_full(rows.numbering, site);
    const std::string row_text = row_name(rows, row);
    notes.push_back({"# " + name + " of " + row_text + " is at " + full,
                     " CIF: " + row_text + ", " + name + " at " + full + " is beyond n_klm; written as ?"});
  }
  return notes;
}

std::vector<std::string> comments_of(const PhaseRows& rows, const Row& row) {
  std::vector<std::string> comments;
  for (const Note& note : row_notes(rows, row)) comments.push_back(note.comment);
  return comments;
}

std::string value_text(const Row& row, std::size_t k) { return cif_value(row_value_text(row, k)); }

}  // namespace

std::string covariance_details(CovarianceSource covariance) {
  switch (covariance) {
    case CovarianceSource::full:
      return "The s.u.'s are propagated from the full covariance matrix of the refined parameters and the s.u.'s "
             "of the cell.";
    case CovarianceSource::diagonal:
      return "The s.u.'s are propagated from a diagonal covariance matrix built from the s.u.'s of the CIF, "
             "without the correlations between parameters, and from the s.u.'s of the cell.";
    case CovarianceSource::none:
      return "No covariance matrix of the refined parameters was at hand: the s.u.'s come from the s.u.'s of the "
             "cell alone and leave out the uncertainty of the coordinates.";
  }
  return {};
}

std::string geometry_details(const PhaseRows& rows, CovarianceSource covariance) {
  std::string text = covariance_details(covariance);
  if (std::find(rows.riding.begin(), rows.riding.end(), true) != rows.riding.end())
    text += "\nValues that involve atoms riding on other atoms in the refinement are given without s.u.'s.";
  if (std::any_of(rows.disorder_groups.begin(), rows.disorder_groups.end(), [](int g) { return g != 0; }))
    text += "\nNo bond, angle or torsion angle joins atoms of two different disorder groups.";
  return text;
}

std::string special_details_item(const PhaseRows& rows, CovarianceSource covariance) {
  // Lines of at most 80 columns, as CIF 1.1 recommends.
  std::string item = "_geom_special_details\n;\n";
  std::string line;
  const std::string text = geometry_details(rows, covariance) + "\n";
  std::string word;
  for (char c : text) {
    if (c != ' ' && c != '\n') {
      word += c;
      continue;
    }
    if (!line.empty() && line.size() + 1 + word.size() > 80) {
      item += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    word.clear();
    if (c == '\n') {
      item += line + "\n";
      line.clear();
    }
  }
  return item + ";\n";
}

std::vector<std::string> constrained_notes(const PhaseRows& rows, const std::string& source_file) {
  std::size_t count = 0;
  for (const std::vector<Row>& of_kind : rows.by_kind)
    for (const Row& row : of_kind) count += in_paper(row) && row.constrained() ? 1 : 0;
  if (count == 0) return {};
  return {" " + std::to_string(count) + " rows with a riding atom are written in the CIF without s.u.'s: the",
          " refinement constrained those atoms to their pivot atoms (the riding lines of " + source_file + ")"};
}

std::vector<std::string> cif_notes(const PhaseRows& rows) {
  std::vector<std::string> lines;
  for (const std::vector<Row>& of_kind : rows.by_kind)
    for (const Row& row : of_kind)
      for (const Note& note : row_notes(rows, row)) lines.push_back(note.listing);
  return lines;
}

void write_cif_notes(int listing_unit, const PhaseRows& rows) {
  for (const std::string& line : cif_notes(rows)) {
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


// The torsion and hydrogen-bond loops.
void write_torsion_loops(const PhaseRows& rows, std::string& out) {
  const SiteNumbering& names = rows.numbering;
  if (std::any_of(rows.of(RowKind::torsion).begin(), rows.of(RowKind::torsion).end(), in_paper)) {
    Loop torsions;
    torsions.tags = {"_geom_torsion_atom_site_label_1", "_geom_torsion_atom_site_label_2",
                     "_geom_torsion_atom_site_label_3", "_geom_torsion_atom_site_label_4", "_geom_torsion",
                     "_geom_torsion_site_symmetry_1", "_geom_torsion_site_symmetry_2",
                     "_geom_torsion_site_symmetry_3", "_geom_torsion_site_symmetry_4", "_geom_torsion_publ_flag"};
    for (const Row& t : rows.of(RowKind::torsion)) {
      if (!in_paper(t)) continue;
      std::vector<std::string> row;
      for (std::size_t k = 0; k < 4; ++k) row.push_back(cif_value(names.label(t.sites[k].atom)));
      row.push_back(value_text(t, 0));
      for (std::size_t k = 0; k < 4; ++k) row.push_back(symmetry_value(t.sites[k]));
      row.push_back(flag(t.marked));
      torsions.add(std::move(row), comments_of(rows, t));
    }
    torsions.write(out);
  }
  if (std::any_of(rows.of(RowKind::hbond).begin(), rows.of(RowKind::hbond).end(), in_paper)) {
    Loop hbonds;
    hbonds.tags = {"_geom_hbond_atom_site_label_D", "_geom_hbond_atom_site_label_H",
                   "_geom_hbond_atom_site_label_A", "_geom_hbond_distance_DH", "_geom_hbond_distance_HA",
                   "_geom_hbond_distance_DA", "_geom_hbond_angle_DHA", "_geom_hbond_site_symmetry_D",
                   "_geom_hbond_site_symmetry_H", "_geom_hbond_site_symmetry_A", "_geom_hbond_publ_flag"};
    for (const Row& h : rows.of(RowKind::hbond))
      if (in_paper(h))
        hbonds.add({cif_value(names.label(h.sites[0].atom)), cif_value(names.label(h.sites[1].atom)),
                  cif_value(names.label(h.sites[2].atom)), value_text(h, 0), value_text(h, 1), value_text(h, 2),
                  value_text(h, 3), symmetry_value(h.sites[0]), symmetry_value(h.sites[1]),
                  symmetry_value(h.sites[2]), flag(h.marked)},
                 comments_of(rows, h));
    hbonds.write(out);
  }
}

void write_block(const PhaseRows& rows, const std::string& name, CovarianceSource covariance, std::string& out) {
  const SiteNumbering& names = rows.numbering;
  out += "\ndata_" + block_name(name, rows.phase()) + "\n";
  out += "# Phase " + std::to_string(rows.phase()) + (names.title.empty() ? "" : ": " + ascii_text(names.title)) +
         "; space group " + ascii_text(names.symbol) + "\n";
  if (!names.paper.empty()) out += "# Site codes numbered as the operators of " + ascii_text(names.paper) + "\n";
  out += "\n" + special_details_item(rows, covariance);

  if (names.symops.empty()) {
    out += "\n# The space group gave no operators\n";
  } else {
    Loop symops;
    symops.tags = {"_space_group_symop_id", "_space_group_symop_operation_xyz"};
    for (const PaperSymop& symop : names.symops)
      symops.add({cif_value(ascii_text(symop.id)), cif_value(ascii_text(symop.xyz), true)});
    symops.write(out);
  }
  out += geometry_loops_text(rows);
}

}  // namespace

std::string geometry_loops_text(const PhaseRows& rows) {
  const SiteNumbering& names = rows.numbering;
  std::string out;
  const std::vector<Row>& distances = rows.of(RowKind::bond);
  auto is_bond = [](const Row& row) { return in_paper(row) && row.chemical; };
  auto is_contact = [](const Row& row) { return row.marked && !(row.chemical && !row.crosses_disorder); };
  if (std::none_of(distances.begin(), distances.end(), is_bond)) {
    out += "\n# No chemical bonds\n";
  } else {
    Loop bonds;
    bonds.tags = {"_geom_bond_atom_site_label_1", "_geom_bond_atom_site_label_2", "_geom_bond_distance",
                  "_geom_bond_site_symmetry_2", "_geom_bond_publ_flag"};
    for (const Row& bond : distances)
      if (is_bond(bond))
        bonds.add({cif_value(names.label(bond.sites[0].atom)), cif_value(names.label(bond.sites[1].atom)),
                   value_text(bond, 0), symmetry_value(bond.sites[1]), flag(bond.marked)},
                  comments_of(rows, bond));
    bonds.write(out);
  }
  // Distances marked for publication that are no bonds.
  if (std::any_of(distances.begin(), distances.end(), is_contact)) {
    Loop contacts;
    contacts.tags = {"_geom_contact_atom_site_label_1", "_geom_contact_atom_site_label_2",
                     "_geom_contact_distance", "_geom_contact_site_symmetry_1", "_geom_contact_site_symmetry_2",
                     "_geom_contact_publ_flag"};
    for (const Row& contact : distances)
      if (is_contact(contact))
        contacts.add({cif_value(names.label(contact.sites[0].atom)), cif_value(names.label(contact.sites[1].atom)),
                      value_text(contact, 0), symmetry_value(contact.sites[0]), symmetry_value(contact.sites[1]),
                      flag(contact.marked)},
                     comments_of(rows, contact));
    contacts.write(out);
  }

  const std::vector<Row>& all_angles = rows.of(RowKind::angle);
  if (std::none_of(all_angles.begin(), all_angles.end(), in_paper)) {
    out += "\n# No angles between chemical bonds\n";
  } else {
    Loop angles;
    angles.tags = {"_geom_angle_atom_site_label_1", "_geom_angle_atom_site_label_2",
                   "_geom_angle_atom_site_label_3", "_geom_angle",
                   "_geom_angle_site_symmetry_1",   "_geom_angle_site_symmetry_3",
                   "_geom_angle_publ_flag"};
    for (const Row& angle : all_angles)
      if (in_paper(angle))
        angles.add({cif_value(names.label(angle.sites[0].atom)), cif_value(names.label(angle.sites[1].atom)),
                    cif_value(names.label(angle.sites[2].atom)), value_text(angle, 0),
                    symmetry_value(angle.sites[0]), symmetry_value(angle.sites[2]), flag(angle.marked)},
                   comments_of(rows, angle));
    angles.write(out);
  }

  write_torsion_loops(rows, out);
  return out;
}

std::string cif_text(const RunRows& rows) {
  std::string out = "#\\#CIF_1.1\n# Distances and angles written by vortan";
  if (!rows.name.empty()) out += " from " + ascii_text(rows.name) + ".EXP";
  out += "\n";
  if (rows.phases.empty()) out += "# No phase was processed\n";
  for (const PhaseRows& phase : rows.phases) write_block(phase, rows.name, rows.covariance, out);
  return out;
}

void write_cif_file(const RunRows& rows, const std::string& file) {
  // Through a temporary of this process, created exclusively: nothing placed
  // under its name (a symbolic link, another run's file) is followed or
  // overwritten.
  recio::replace_file(file, cif_text(rows), "publication CIF");
}

}  // namespace vesk
