// `vortan NAME --serve`: after a normal run, one page on the loopback
// interface that shows each phase's drawing and tables and lets the user
// mark rows for publication. Only 127.0.0.1, a free port, and a token from
// the system's random source that every request must carry.
#pragma once
#include "page/page_context.hpp"

namespace vesk {

// Serves until the page's Quit button or Ctrl-C (SIGINT/SIGTERM), then
// returns. Prints "Open http://127.0.0.1:PORT/?token=TOKEN" on the terminal
// and opens it in a browser where a desktop is available. Throws
// vesk::Error when no port can be bound.
void serve_page(const PageContext& context);

}  // namespace vesk
