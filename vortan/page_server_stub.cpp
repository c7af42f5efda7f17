// Until the page server is merged: --serve says that this build has none.
#include "recio/error.hpp"
#include "vortan/page_server.hpp"

namespace vesk {

void serve_page(const PageContext&) {
  throw Error("This build of vortan has no page server; the run's files are written, and --mark sets marks");
}

}  // namespace vesk
