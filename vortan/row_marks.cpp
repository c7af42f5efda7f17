#include "vortan/row_marks.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "vortan/geometry_marks.hpp"
#include "vortan/json_output.hpp"
#include "vortan/marked_file.hpp"
#include "vortan/marks_reader.hpp"
#include "vortan/results_file.hpp"
#include "vortan/tables.hpp"

namespace vesk {

namespace {

using RecordKey = std::vector<int>;  // phase, kind, then the record's key, as marks_in() keys a record

// What a row stands for: the records that carry its mark and the
// collector's flags that show it.
struct ResolvedRow {
  int phase = 0;
  bool geometry_file = false;           // NAME.TORHB, else NAME.VORTAN
  int kind = 0;
  std::vector<RecordKey> records;       // marking sets the first the file holds; clearing clears all
  std::vector<bool*> flags;
};

RecordKey key_of(int phase, int kind, std::initializer_list<int> ints) {
  RecordKey key{phase, kind};
  key.insert(key.end(), ints);
  return key;
}

int cell_of(const CifSite& site) { return cell_code(site.n[0], site.n[1], site.n[2]); }

// A JSON row's "atoms" and "site_codes" against the identity; a null code
// (a site the n_klm form cannot hold) is named "?", as the CIF writes it.
bool same_identity(const Json& row, const RowIdentity& identity) {
  const Json& labels = row["atoms"];
  const Json& codes = row["site_codes"];
  if (labels.size() != identity.labels.size() || codes.size() != identity.site_codes.size()) return false;
  for (std::size_t k = 0; k < labels.size(); ++k) {
    if (labels[k].get<std::string>() != identity.labels[k]) return false;
    const std::string code = codes[k].is_null() ? std::string("?") : codes[k].get<std::string>();
    if (code != identity.site_codes[k]) return false;
  }
  return true;
}

// The rows of the block (the JSON's, in its order) that have the identity.
std::vector<std::size_t> matching_rows(const Json& rows, const RowIdentity& identity) {
  std::vector<std::size_t> found;
  for (std::size_t r = 0; r < rows.size(); ++r)
    if (same_identity(rows[r], identity)) found.push_back(r);
  return found;
}

Json json_rows(const CifBlock& block, const std::string& kind) {
  if (kind == "bond") return json_bonds(block);
  if (kind == "angle") return json_angles(block);
  if (kind == "torsion") return json_torsions(block);
  return json_hydrogen_bonds(block);
}

// Labels and codes as one key (a null code is "?").
std::string identity_key(const std::vector<std::string>& labels, const std::vector<std::string>& codes) {
  std::string key;
  for (const std::string& label : labels) key += label + '\n';
  for (const std::string& code : codes) key += code + '\n';
  return key;
}

}  // namespace

struct RowLookup {
  // (phase, kind) -> identity key -> the rows, in the JSON's order
  std::map<std::pair<int, std::string>, std::unordered_map<std::string, std::vector<std::size_t>>> rows;
};

std::shared_ptr<RowLookup> RowMarks::new_row_lookup() { return std::make_shared<RowLookup>(); }

namespace {

std::vector<std::size_t> rows_of(const CifBlock& block, const RowIdentity& identity, RowLookup* lookup) {
  if (lookup == nullptr) return matching_rows(json_rows(block, identity.kind), identity);
  auto [at, fresh] = lookup->rows.try_emplace({block.phase, identity.kind});
  if (fresh) {
    const Json rows = json_rows(block, identity.kind);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      std::vector<std::string> labels, codes;
      for (const Json& label : rows[r]["atoms"]) labels.push_back(label.get<std::string>());
      for (const Json& code : rows[r]["site_codes"]) codes.push_back(code.is_null() ? "?" : code.get<std::string>());
      at->second[identity_key(labels, codes)].push_back(r);
    }
  }
  const auto found = at->second.find(identity_key(identity.labels, identity.site_codes));
  return found == at->second.end() ? std::vector<std::size_t>{} : found->second;
}

ResolvedRow resolve_bond(CifBlock& block, std::size_t index) {
  const CifBond row = written_bonds(block)[index];
  ResolvedRow resolved;
  resolved.phase = block.phase;
  resolved.kind = 0;
  // The record from the row's first atom, then the one from the other end
  // (absent when that direction was not searched).
  resolved.records.push_back(key_of(block.phase, 0, {row.central, row.neighbour, row.site.code, cell_of(row.site)}));
  if (row.reverse.code != 0)
    resolved.records.push_back(
        key_of(block.phase, 0, {row.neighbour, row.central, row.reverse.code, cell_of(row.reverse)}));
  for (CifBond& bond : block.bonds) {
    const RecordKey own = key_of(block.phase, 0, {bond.central, bond.neighbour, bond.site.code, cell_of(bond.site)});
    if (std::find(resolved.records.begin(), resolved.records.end(), own) != resolved.records.end())
      resolved.flags.push_back(&bond.published);
  }
  return resolved;
}

ResolvedRow resolve_angle(CifBlock& block, std::size_t index) {
  CifAngle& a = block.angles[index];
  return {block.phase, false, 1,
          {key_of(block.phase, 1,
                  {a.first, a.central, a.second, a.site1.code, cell_of(a.site1), a.site3.code, cell_of(a.site3)})},
          {&a.published}};
}

ResolvedRow resolve_torsion(CifBlock& block, std::size_t index) {
  CifTorsion& t = block.torsions[index];
  const auto& s = t.sites;
  return {block.phase, true, kTorsionKind,
          {key_of(block.phase, kTorsionKind,
                  {t.atoms[0], t.atoms[1], t.atoms[2], t.atoms[3], s[0].code, cell_of(s[0]), s[2].code,
                   cell_of(s[2]), s[3].code, cell_of(s[3])})},
          {&t.published}};
}

ResolvedRow resolve_hbond(CifBlock& block, std::size_t index) {
  CifHbond& h = block.hbonds[index];
  return {block.phase, true, kHbondKind,
          {key_of(block.phase, kHbondKind,
                  {h.donor, h.hydrogen, h.acceptor, h.donor_site.code, cell_of(h.donor_site), h.acceptor_site.code,
                   cell_of(h.acceptor_site)})},
          {&h.published}};
}

std::string phase_list(const std::vector<int>& phases) {
  std::string text;
  for (std::size_t k = 0; k < phases.size(); ++k)
    text += (k == 0 ? "" : k + 1 == phases.size() ? " and " : ", ") + std::to_string(phases[k]);
  return text;
}

void check_form(const RowIdentity& identity) {
  const std::size_t atoms = row_atom_count(identity.kind);
  if (atoms == 0)
    throw Error("The row \"" + describe_row(identity) + "\" is of no kind vortan marks (bond, angle, torsion, hbond)");
  if (identity.labels.size() != atoms || identity.site_codes.size() != atoms)
    throw Error("The row \"" + describe_row(identity) + "\" names " + std::to_string(identity.labels.size()) +
                " labels and " + std::to_string(identity.site_codes.size()) + " site codes; a " + identity.kind +
                " has " + std::to_string(atoms) + " of each");
}

std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t", at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

ResolvedRow resolve(CifCollector& cif, const RowIdentity& identity, RowLookup* lookup = nullptr) {
  check_form(identity);
  std::vector<std::pair<CifBlock*, std::size_t>> found;
  std::vector<int> phases;
  for (CifBlock& block : cif.blocks) {
    if (identity.phase != 0 && block.phase != identity.phase) continue;
    const std::vector<std::size_t> rows = rows_of(block, identity, lookup);
    if (rows.size() > 1)
      throw AmbiguousRow("The row \"" + describe_row(identity) + "\" names " + std::to_string(rows.size()) +
                  " rows of phase " + std::to_string(block.phase) + " (sites whose code cannot be written)");
    if (rows.empty()) continue;
    found.emplace_back(&block, rows.front());
    phases.push_back(block.phase);
  }
  if (found.empty())
    throw UnknownRow("No row of this run is \"" + describe_row(identity) + "\"");
  if (found.size() > 1)
    throw AmbiguousRow("The row \"" + describe_row(identity) + "\" is in phases " + phase_list(phases) +
                "; name the phase of the one to mark");
  CifBlock& block = *found.front().first;
  const std::size_t index = found.front().second;
  if (identity.kind == "bond") return resolve_bond(block, index);
  if (identity.kind == "angle") return resolve_angle(block, index);
  if (identity.kind == "torsion") return resolve_torsion(block, index);
  return resolve_hbond(block, index);
}

struct Edit {
  std::size_t offset = 0;
  int width = 1;
  char mark = 'Y';
};

// The file's bytes with column 1 of the edited records replaced.
std::string edited(const std::string& bytes, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.offset < b.offset; });
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  for (const Edit& edit : edits) {
    out.append(bytes, at, edit.offset - at);
    out += edit.mark;
    at = edit.offset + static_cast<std::size_t>(edit.width);
  }
  out.append(bytes, at, std::string::npos);
  return out;
}

int most_marks(int kind) {
  switch (kind) {
    case 0: return kMaxPublishedDistances;
    case 1: return kMaxPublishedAngles;
    case kTorsionKind: return kMaxPublishedTorsions;
    default: return kMaxPublishedHbonds;
  }
}

const char* kind_plural(int kind) {
  switch (kind) {
    case 0: return "distances";
    case 1: return "angles";
    case kTorsionKind: return "torsion angles";
    default: return "hydrogen bonds";
  }
}

// Writes `text` beside `file` and renames it over it once it is on the
// disk, unless the file changed since it was read as `read_as`; false then.
bool replace_unless_changed(const std::string& file, const std::string& text, const FileIdentity& read_as,
                            const std::string& what) {
  const std::string temporary = recio::temporary_name(file);
  recio::remove_at_end(temporary);
  recio::write_new_file(temporary, text, what, true);
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0) ::chmod(temporary.c_str(), info.st_mode & 07777);
  if (!(identity_of(file) == read_as)) {
    std::remove(temporary.c_str());
    recio::keep_at_end(temporary);
    return false;
  }
  try {
    recio::rename_file(temporary, file, what);
  } catch (...) {
    std::remove(temporary.c_str());
    recio::keep_at_end(temporary);
    throw;
  }
  recio::keep_at_end(temporary);
  recio::sync_folder_of(file, what);
  return true;
}

}  // namespace

std::size_t row_atom_count(std::string_view kind) {
  return kind == "bond" ? 2 : kind == "angle" ? 3 : kind == "torsion" ? 4 : kind == "hbond" ? 3 : 0;
}

RowIdentity parse_row_identity(std::string_view kind, std::string_view labels, std::string_view site_codes) {
  RowIdentity row;
  row.kind = std::string(kind);
  row.labels = words_of(labels);
  row.site_codes = words_of(site_codes);
  if (const std::size_t colon = kind.find(':'); colon != std::string_view::npos) {
    row.kind = std::string(kind.substr(0, colon));
    const std::string_view phase = kind.substr(colon + 1);
    if (phase.size() != 1 || phase[0] < '1' || phase[0] > '9')
      throw Error("The row \"" + std::string(kind) + " " + std::string(labels) + " " + std::string(site_codes) +
                  "\" names no phase 1 to 9 after its kind (bond:2 is the bond of phase 2)");
    row.phase = phase[0] - '0';
  }
  check_form(row);
  return row;
}

std::string describe_row(const RowIdentity& row) {
  std::string text = row.kind;
  for (const std::string& label : row.labels) text += " " + label;
  for (const std::string& code : row.site_codes) text += " " + code;
  if (row.phase != 0) text += " of phase " + std::to_string(row.phase);
  return text;
}

void check_row(CifCollector& cif, const RowIdentity& row) { resolve(cif, row); }

bool set_row_mark(const RowMarks& marks, const RowIdentity& row, bool publish) {
  if (marks.cif == nullptr) throw Error("No rows to mark: the run collected none");
  const ResolvedRow resolved = resolve(*marks.cif, row, marks.lookup.get());
  const std::string& file = resolved.geometry_file ? marks.marks_file : marks.results_file;
  const std::string& named = resolved.geometry_file ? marks.marks_name : marks.results_name;
  const std::string& shown = named.empty() ? file : named;
  const std::string what = resolved.geometry_file ? "marks file" : "results file";
  const std::span<const MarkKind> kinds = resolved.geometry_file ? geometry_marks_kinds() : results_file_kinds();

  // A file changed between reading and renaming (an editor's save) is read again.
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const FileIdentity read_as = identity_of(file);
    const std::string bytes = read_marks_bytes(file, what);
    std::vector<MarksRecord> held;  // the row's records, in the file's order
    int marks_of_kind = 0;
    scan_marks(
        bytes, kinds,
        [&](const MarksRecord& record) {
          if (record.layout == nullptr) return;
          if (record.marked && record.kind == resolved.kind) ++marks_of_kind;
          if (!record.keyed) return;
          RecordKey key{record.phase, record.kind};
          key.insert(key.end(), record.key.begin(), record.key.begin() + record.layout->key_length);
          if (std::find(resolved.records.begin(), resolved.records.end(), key) == resolved.records.end()) return;
          MarksRecord copy = record;
          copy.text = {};  // points into the scan's buffer
          held.push_back(copy);
        },
        true);
    if (held.empty())
      throw Error("The " + what + " " + shown + " holds no record of " + describe_row(row) +
                  "; run vortan again to write it anew");
    const bool was_marked = std::any_of(held.begin(), held.end(), [](const MarksRecord& r) { return r.marked; });
    std::vector<Edit> edits;
    if (publish && !was_marked) {
      if (marks_of_kind >= most_marks(resolved.kind))
        throw Error("The " + what + " " + shown + " already holds " + std::to_string(marks_of_kind) + " marked " +
                    kind_plural(resolved.kind) + ", the most a run keeps; " + describe_row(row) + " is not marked");
      // The record from the row's first atom when the file holds it.
      const MarksRecord* target = &held.front();
      for (const MarksRecord& record : held) {
        RecordKey key{record.phase, record.kind};
        key.insert(key.end(), record.key.begin(), record.key.begin() + record.layout->key_length);
        if (key == resolved.records.front()) target = &record;
      }
      edits.push_back({target->offset, target->mark_width, 'Y'});
    } else if (!publish) {
      for (const MarksRecord& record : held)
        if (record.marked) edits.push_back({record.offset, record.mark_width, 'N'});
    }
    if (edits.empty()) {
      for (bool* flag : resolved.flags) *flag = was_marked;
      return false;
    }
    if (!replace_unless_changed(file, edited(bytes, edits), read_as, what)) continue;
    for (bool* flag : resolved.flags) *flag = publish;
    return true;
  }
  throw Error("The " + what + " " + shown + " kept changing while " + describe_row(row) +
              " was being marked; it is left as it stands");
}

}  // namespace vesk
