// `vortan NAME --serve`: after a normal run, one page on the loopback
// interface that shows each phase's drawing and tables and lets the user
// mark rows for publication. Only 127.0.0.1, a free port, and a token from
// the system's random source that every request must carry.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "marks/row_marks.hpp"

namespace vesk {

struct PageContext {
  std::string experiment;                 // stem without its folder, for the title
  // NAME.json's document as it stands now (marks included); called again
  // after every change.
  std::function<std::string()> results_json;
  // Per phase with a drawing: its number and the SVG, whose atoms and bonds
  // carry data-atoms and data-site-codes as the JSON rows do.
  std::vector<std::pair<int, std::string>> drawings;
  // Sets or clears one mark (mark_row); throws vesk::Error when the row
  // does not exist or the file cannot be written.
  std::function<bool(const RowIdentity&, bool publish)> set_mark;
  // Writes NAME_geom.cif as --cif does; returns its file name.
  std::function<std::string()> write_cif;
};

// Serves until the page's Quit button or Ctrl-C (SIGINT/SIGTERM), then
// returns. Prints "Open http://127.0.0.1:PORT/?token=TOKEN" on the terminal
// and opens it in a browser where a desktop is available. Throws
// vesk::Error when no port can be bound.
void serve_page(const PageContext& context);

}  // namespace vesk
