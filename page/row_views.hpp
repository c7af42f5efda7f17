// What a table of the page shows of a phase's rows of one kind: the rows
// that hold every atom the filter names, only the chemical bonds, only the
// rows of the publication CIF or only the marked rows when asked, in the order of one of its columns. The page
// asks for a range of the view at a time, and "mark every row shown"
// marks the whole view, so what is shown and what is marked are one list.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "report/rows.hpp"

namespace vesk {

// One word of the filter: the atoms it names, and the site code they must
// be at (empty: any).
struct FilterTerm {
  std::string text;             // as typed
  std::vector<bool> atoms;      // per atom (atom 1 first): named by the word
  std::string site_code;        // "2_655" for "O1_2_655" or "2_655"
};

struct AtomFilter {
  std::vector<FilterTerm> terms;
  std::vector<std::string> unknown;  // words that name no atom, element or site code
};

// The filter a chemist types, words separated by blanks or commas: a label
// in any case ("zn1"), an element symbol ("Zn", "O": every atom of the
// element), a site code ("2_655": any atom there) or a label at one
// ("O1_2_655"). `elements` gives each atom's element symbol ("" for none).
// A row passes when its atoms can be given to the words one each: "Zn1 O"
// holds Zn1 and an oxygen, "C C" two carbon atoms.
AtomFilter parse_atom_filter(std::string_view text, const std::vector<std::string>& labels,
                             const std::vector<std::string>& elements);

// Whether the row's sites hold every word, a site to each.
bool passes(const AtomFilter& filter, const Row& row, std::size_t atoms);

// A column of a table to sort by.
enum class SortColumn { model, publish, atom, site_codes, value };

struct RowView {
  AtomFilter filter;
  bool chemical_only = false;  // bonds: only the chemical bonds
  bool paper_only = false;     // only the rows the publication CIF holds (in_paper)
  bool marked_only = false;
  SortColumn sort = SortColumn::model;
  std::size_t sort_index = 0;  // the atom or the value of `sort`
  bool descending = false;
};

// The indices of the rows of the view, in its order (ties in the model's
// order).
std::vector<std::size_t> view_rows(const PhaseRows& rows, RowKind kind, const RowView& view);

}  // namespace vesk
