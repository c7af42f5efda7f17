// The page's routes to the run's results: the document without its rows,
// the rows of a table's view by ranges, what the filter's words name, the
// drawings' models, and the marks with their undo and redo. Every route
// that reads or changes the run goes through `with_run`, one request at a
// time.
//
//   GET  /phases.json            NAME.json's document without the rows
//   GET  /rows?VIEW&first=F&count=N
//                                {"total", "marked", "first", "indices", "rows"}: the view's
//                                rows F to F+N-1, each as NAME.json gives it, and its index
//   GET  /filter?phase=P&text=T  {"terms": [{"text", "labels", "site_code"}], "unknown": [...]}
//   GET  /marked?phase=P&kind=K  {"indices": [...]}: the marked rows of a kind
//   GET  /drawing/P.json         the drawing's model (report/drawing.hpp)
//   GET  /history                {"undo": n, "redo": n}
//   POST /mark                   {"kind", "atoms", "site_codes", "phase", "publish"}, or
//                                {"kind", "phase", "rows": [indices], "publish"}
//   POST /mark-shown?VIEW        {"publish": true}: every row of the view, one change
//   POST /undo, POST /redo       the last change put back, or made again
//
// VIEW is phase=P&kind=K (bond, angle, torsion, hbond) with filter=TEXT,
// chemical=1, marked=1, sort=COLUMN (publish, atom1 to atom4, site_codes,
// value1 to value4) and descending=1 as the table shows them. A change of
// marks answers {"phase", "kind", "rows": [indices], "publish", "changed",
// "undo", "redo"} once it is on disk.
#pragma once
#include <httplib.h>

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "page/page_context.hpp"

namespace vesk {

// Every answer of the page is JSON: a body, or {"error": message}.
void answer_json(httplib::Response& response, int status, const nlohmann::json& body);
void answer_error(httplib::Response& response, int status, const std::string& message);

// Calls `call` with the run held for this request alone; a vesk::Error it
// throws is the answer (500 with its message).
using WithRun = std::function<void(httplib::Response&, const std::function<void()>&)>;

void add_results_routes(httplib::Server& server, const PageContext& context, const WithRun& with_run);

}  // namespace vesk
