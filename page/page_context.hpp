// What `vortan NAME --serve` hands the page of a finished run: its rows,
// its marks files, each phase's drawing and what the page reads besides.
#pragma once
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "marks/row_marks.hpp"
#include "report/rows.hpp"

namespace vesk {

// What the page shows of a phase besides its rows.
struct PagePhase {
  int phase = 0;
  std::vector<std::string> elements;  // each atom's element symbol (atom 1 first), "" for none
  std::string drawing;                // the drawing's model (report/drawing.hpp); empty for none
};

// The finished run as the page reads it. The server calls into it one
// request at a time.
struct PageContext {
  std::string experiment;  // stem without its folder, for the title
  // The run's rows, which the page shows by ranges and marks through
  // mark_rows into `files`; nothing else changes them while the page is open.
  RunRows* rows = nullptr;
  MarksFiles files;
  std::vector<PagePhase> phases;
  // NAME.json's document without the rows, as it stands now.
  std::function<std::string()> summary_json;
  // A JSON array of the rows of `indices`, each as NAME.json gives it.
  std::function<std::string(const PhaseRows&, RowKind, std::span<const std::size_t> indices)> rows_json;
  // Writes NAME_geom.cif as --cif does; returns its file name.
  std::function<std::string()> write_cif;
};

}  // namespace vesk
