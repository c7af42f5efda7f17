#include "report/submission_cif.hpp"

#include <gemmi/cif.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <vector>

#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "report/cif_output.hpp"

namespace vesk {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A tag of the categories whose rows the run writes, in either form
// (_geom_bond_distance, _geom_bond.distance).
bool geometry_tag(const std::string& tag) {
  const std::string t = lower(tag);
  for (const char* category : {"_geom_bond", "_geom_contact", "_geom_angle", "_geom_torsion", "_geom_hbond"}) {
    const std::string c(category);
    if (t.compare(0, c.size(), c) == 0 && (t.size() == c.size() || t[c.size()] == '_' || t[c.size()] == '.'))
      return true;
  }
  return false;
}

bool special_details_tag(const std::string& tag) {
  const std::string t = lower(tag);
  return t == "_geom_special_details" || t == "_geom.special_details";
}

struct Lines {
  std::vector<std::string> text;  // without their line ends
  std::vector<bool> in_text_field;
  std::vector<std::size_t> block_starts;  // 0-based lines of "data_" headers
};

Lines split_lines(const std::string& file_text) {
  Lines lines;
  std::string line;
  std::istringstream in(file_text);
  bool field = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool opens_or_closes = !line.empty() && line[0] == ';';
    lines.in_text_field.push_back(field || opens_or_closes);
    if (opens_or_closes) field = !field;
    if (!field && !opens_or_closes) {
      const std::size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && lower(line.substr(first, 5)) == "data_")
        lines.block_starts.push_back(lines.text.size());
    }
    lines.text.push_back(line);
  }
  return lines;
}

bool blank_or_comment(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string::npos || line[first] == '#';
}

// Lines [first, last) of an item: from its line to the line before the next
// item (or the block's end), without the blank and comment lines that lead
// to the next one.
struct Range {
  std::size_t first = 0, last = 0;
};

}  // namespace

std::string submission_file_name(const std::string& stem) { return stem + "_paper.cif"; }

std::string submission_cif_text(const RunRows& rows) {
  const PhaseRows* phase = nullptr;
  for (const PhaseRows& p : rows.phases)
    if (!p.numbering.paper_file.empty()) {
      phase = &p;
      break;
    }
  if (phase == nullptr) throw Error("no phase has its site codes numbered as the paper's operators");
  const std::string& file = phase->numbering.paper_file;
  std::string file_text;
  gemmi::cif::Document document;
  try {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("it cannot be opened");
    file_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    document = gemmi::cif::read_string(file_text);
  } catch (const std::exception& error) {
    throw Error("the paper's CIF " + file + " does not read: " + error.what());
  }
  const Lines lines = split_lines(file_text);
  const gemmi::cif::Block* block = nullptr;
  std::size_t block_index = 0;
  for (std::size_t b = 0; b < document.blocks.size(); ++b)
    if (document.blocks[b].name == phase->numbering.paper_block) {
      block = &document.blocks[b];
      block_index = b;
    }
  if (block == nullptr || block->items.empty() || block_index >= lines.block_starts.size())
    throw Error("the paper's CIF " + file + " has no data block data_" + phase->numbering.paper_block);

  // Every label the run's loops name must be an atom of the paper's block.
  std::set<std::string> atoms;
  for (const std::string& label : const_cast<gemmi::cif::Block*>(block)->find_values("_atom_site_label"))
    atoms.insert(gemmi::cif::as_string(label));
  for (const std::vector<Row>& of_kind : phase->by_kind)
    for (const Row& row : of_kind) {
      if (!in_paper(row) && !row.marked) continue;
      for (std::size_t k = 0; k < row_kind_name(row.kind).atoms; ++k) {
        const std::string& label = phase->numbering.label(row.sites[k].atom);
        if (atoms.count(label) == 0)
          throw Error("the atom " + label + " is not in the _atom_site_label loop of " + file + ", data_" +
                      block->name + "; its rows would name an atom the paper does not have");
      }
    }

  const std::size_t block_first = lines.block_starts[block_index];
  const std::size_t block_end =
      block_index + 1 < lines.block_starts.size() ? lines.block_starts[block_index + 1] : lines.text.size();
  // The lines of each of the block's items; gemmi counts them from 1.
  std::vector<Range> ranges;
  for (std::size_t i = 0; i < block->items.size(); ++i) {
    Range r;
    r.first = static_cast<std::size_t>(std::max(1, block->items[i].line_number)) - 1;
    std::size_t end = i + 1 < block->items.size()
                          ? static_cast<std::size_t>(std::max(1, block->items[i + 1].line_number)) - 1
                          : block_end;
    while (end > r.first + 1 && !lines.in_text_field[end - 1] && blank_or_comment(lines.text[end - 1])) --end;
    r.last = std::max(end, r.first + 1);
    ranges.push_back(r);
  }
  std::vector<bool> dropped(lines.text.size(), false);
  std::size_t insert_at = block_end;  // after the block's last line that holds anything
  while (insert_at > block_first + 1 && blank_or_comment(lines.text[insert_at - 1]) &&
         !lines.in_text_field[insert_at - 1])
    --insert_at;
  bool first_loop = true;
  bool replace_details = false;
  for (std::size_t i = 0; i < block->items.size(); ++i) {
    const gemmi::cif::Item& item = block->items[i];
    bool ours = false;
    if (item.type == gemmi::cif::ItemType::Loop && !item.loop.tags.empty()) ours = geometry_tag(item.loop.tags[0]);
    if (item.type == gemmi::cif::ItemType::Pair) {
      ours = geometry_tag(item.pair[0]);
      if (special_details_tag(item.pair[0]) && rows.covariance != CovarianceSource::full) {
        ours = true;
        replace_details = true;
      }
    }
    if (!ours) continue;
    if (first_loop) insert_at = ranges[i].first;
    first_loop = false;
    for (std::size_t l = ranges[i].first; l < ranges[i].last; ++l) dropped[l] = true;
  }
  bool has_details = false;
  for (const gemmi::cif::Item& item : block->items)
    if (item.type == gemmi::cif::ItemType::Pair && special_details_tag(item.pair[0])) has_details = true;

  std::string ours = "# Geometry written by vortan";
  if (!rows.name.empty()) ours += " from " + ascii_text(rows.name) + ".EXP";
  ours += "; site codes numbered as the operators of this block\n";
  if (replace_details || !has_details) ours += special_details_item(*phase, rows.covariance);
  std::string loops = geometry_loops_text(*phase);
  if (!loops.empty() && loops.front() == '\n') loops.erase(0, 1);
  ours += loops + "# End of the geometry written by vortan\n";

  std::string out;
  for (std::size_t l = block_first; l < block_end; ++l) {
    if (l == insert_at) out += ours;
    if (!dropped[l]) out += lines.text[l] + "\n";
  }
  if (insert_at >= block_end) out += ours;
  return out;
}

void write_submission_cif(const std::string& text, const std::string& file) {
  recio::replace_file(file, text, "CIF to submit");
}

}  // namespace vesk
