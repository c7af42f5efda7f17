#include "page/results_api.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "page/mark_history.hpp"
#include "page/row_views.hpp"
#include "recio/error.hpp"

namespace vesk {

void answer_json(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void answer_error(httplib::Response& response, int status, const std::string& message) {
  answer_json(response, status, nlohmann::json{{"error", message}});
}

namespace {

using nlohmann::json;

// A request that is not one of the page's (400), and one for what the run
// does not have (404).
struct BadRequest : Error {
  using Error::Error;
};
struct NotFound : Error {
  using Error::Error;
};

// The most rows one request asks for or names.
constexpr long long kMostRowsAtOnce = 10000;

// A parameter of the query as a whole number from `low` to `high`;
// `fallback` when it is absent.
long long number_param(const httplib::Request& request, const char* name, long long low, long long high,
                       std::optional<long long> fallback = std::nullopt) {
  if (!request.has_param(name)) {
    if (fallback) return *fallback;
    throw BadRequest(std::string("the request names no \"") + name + "\"");
  }
  const std::string text = request.get_param_value(name);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    throw BadRequest(std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  return value;
}

bool flag_param(const httplib::Request& request, const char* name) {
  return number_param(request, name, 0, 1, 0) == 1;
}

RowKind kind_named(const std::string& name) {
  const std::optional<RowKind> kind = row_kind(name);
  if (!kind) throw BadRequest("\"kind\" must be one of bond, angle, torsion, hbond");
  return *kind;
}

// What a table shows, as the page asks for it.
struct ViewRequest {
  int phase = 0;
  RowKind kind = RowKind::bond;
  std::string filter;
  RowView view;
  std::string key;  // all of it but the phase and kind, for the cache
};

ViewRequest view_request(const httplib::Request& request) {
  ViewRequest asked;
  asked.phase = static_cast<int>(number_param(request, "phase", 1, 9));
  asked.kind = kind_named(request.get_param_value("kind"));
  asked.filter = request.get_param_value("filter");
  if (asked.filter.size() > 1000) throw BadRequest("the filter is longer than 1000 characters");
  asked.view.chemical_only = flag_param(request, "chemical");
  asked.view.marked_only = flag_param(request, "marked");
  asked.view.paper_only = flag_param(request, "paper");
  asked.view.descending = flag_param(request, "descending");
  const std::string sort = request.get_param_value("sort");
  const std::size_t atoms = row_kind_name(asked.kind).atoms;
  const std::size_t values = row_values(asked.kind).count;
  if (sort.empty() || sort == "model") {
    asked.view.sort = SortColumn::model;
  } else if (sort == "publish") {
    asked.view.sort = SortColumn::publish;
  } else if (sort == "site_codes") {
    asked.view.sort = SortColumn::site_codes;
  } else if (sort.size() == 5 && sort.compare(0, 4, "atom") == 0 && sort[4] >= '1' &&
             static_cast<std::size_t>(sort[4] - '0') <= atoms) {
    asked.view.sort = SortColumn::atom;
    asked.view.sort_index = static_cast<std::size_t>(sort[4] - '1');
  } else if (sort.size() == 6 && sort.compare(0, 5, "value") == 0 && sort[5] >= '1' &&
             static_cast<std::size_t>(sort[5] - '0') <= values) {
    asked.view.sort = SortColumn::value;
    asked.view.sort_index = static_cast<std::size_t>(sort[5] - '1');
  } else {
    throw BadRequest("\"sort\" names no column of the " + std::string(row_kind_name(asked.kind).name) + " table");
  }
  asked.key = asked.filter + '\n' + sort + (asked.view.chemical_only ? "c" : "") +
              (asked.view.marked_only ? "m" : "") + (asked.view.paper_only ? "p" : "") +
              (asked.view.descending ? "d" : "");
  return asked;
}

// The rows of a kind marked now.
std::size_t marked_count(const PhaseRows& rows, RowKind kind) {
  const std::vector<Row>& of_kind = rows.of(kind);
  return static_cast<std::size_t>(std::count_if(of_kind.begin(), of_kind.end(), [](const Row& row) { return row.marked; }));
}

// What the routes keep between requests: the views last asked for, the
// history of the marks.
class Results {
 public:
  explicit Results(const PageContext& context) : context_(context) {}

  PhaseRows& phase_rows(int phase) {
    for (PhaseRows& rows : context_.rows->phases)
      if (rows.phase() == phase) return rows;
    throw NotFound("the run has no phase " + std::to_string(phase));
  }
  const PagePhase* page_phase(int phase) const {
    for (const PagePhase& page : context_.phases)
      if (page.phase == phase) return &page;
    return nullptr;
  }

  AtomFilter filter(int phase, const std::string& text) {
    const PagePhase* page = page_phase(phase);
    static const std::vector<std::string> none;
    return parse_atom_filter(text, phase_rows(phase).numbering.labels, page != nullptr ? page->elements : none);
  }

  // The rows of a view, from the last answer when nothing it shows changed
  // since (the marks change what marked=1, paper=1 and sort=publish show,
  // a marked row being in the paper whatever it is). One view
  // is kept per phase and kind, so the memory is bounded by the rows'.
  const std::vector<std::size_t>& view(ViewRequest asked) {
    Cached& cached = cache_[{asked.phase, asked.kind}];
    const bool follows_marks =
        asked.view.marked_only || asked.view.paper_only || asked.view.sort == SortColumn::publish;
    if (cached.key != asked.key || (follows_marks && cached.marks != marks_changed_)) {
      asked.view.filter = filter(asked.phase, asked.filter);
      cached.rows = view_rows(phase_rows(asked.phase), asked.kind, asked.view);
      cached.key = asked.key;
      cached.marks = marks_changed_;
    }
    return cached.rows;
  }

  // Marks the rows and keeps the change to undo; the answer to the page.
  json mark(PhaseRows& rows, RowKind kind, const std::vector<std::size_t>& indices, bool publish) {
    const std::size_t count = rows.of(kind).size();
    for (std::size_t index : indices)
      if (index >= count)
        throw NotFound("phase " + std::to_string(rows.phase()) + " has " + std::to_string(count) + " rows of " +
                       row_kind_name(kind).name + "; there is no row " + std::to_string(index));
    RowMarksChange change = mark_rows(rows, kind, indices, context_.files, publish);
    ++marks_changed_;
    json answer = change_answer(change, change.publish);
    answer["changed"] = change.rows.size();
    answer["marked"] = marked_count(rows, kind);
    if (!change.records.empty()) history_.push(std::move(change));
    answer["undo"] = history_.undo_steps();
    answer["redo"] = history_.redo_steps();
    return answer;
  }

  // The last change put back (`undo`) or made again.
  json step(bool undo) {
    const RowMarksChange* change = undo ? history_.to_undo() : history_.to_redo();
    if (change == nullptr) throw NotFound(undo ? "nothing is left to undo" : "nothing is left to redo");
    PhaseRows& rows = phase_rows(change->phase);
    undo_mark_rows(rows, *change, context_.files, undo);
    ++marks_changed_;
    json answer = change_answer(*change, undo ? !change->publish : change->publish);
    answer["changed"] = change->rows.size();
    answer["marked"] = marked_count(rows, change->kind);
    if (undo)
      history_.undone();
    else
      history_.redone();
    answer["undo"] = history_.undo_steps();
    answer["redo"] = history_.redo_steps();
    return answer;
  }

  json history() const { return {{"undo", history_.undo_steps()}, {"redo", history_.redo_steps()}}; }

  RowFinder* finder() { return finder_.get(); }
  const PageContext& context() const { return context_; }

 private:
  static json change_answer(const RowMarksChange& change, bool publish) {
    return {{"phase", change.phase},
            {"kind", row_kind_name(change.kind).name},
            {"rows", change.rows},
            {"publish", publish}};
  }

  struct Cached {
    std::string key;
    std::size_t marks = 0;
    std::vector<std::size_t> rows;
  };
  const PageContext& context_;
  std::map<std::pair<int, RowKind>, Cached> cache_;
  std::size_t marks_changed_ = 0;
  MarkHistory history_;
  std::shared_ptr<RowFinder> finder_ = new_row_finder();
};

// The request's own errors as 400 and 404; anything else goes on to the
// caller's answer.
void answer_guarded(httplib::Response& response, const std::function<void()>& body) {
  try {
    body();
  } catch (const BadRequest& error) {
    answer_error(response, 400, error.what());
  } catch (const AmbiguousRow& error) {
    answer_error(response, 400, error.what());
  } catch (const NotFound& error) {
    answer_error(response, 404, error.what());
  } catch (const UnknownRow& error) {
    answer_error(response, 404, error.what());
  }
}

json body_of(const httplib::Request& request) {
  json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) throw BadRequest("the body is not a JSON object");
  return body;
}

bool publish_of(const json& body) {
  const auto flag = body.find("publish");
  if (flag == body.end() || !flag->is_boolean()) throw BadRequest("\"publish\" must be true or false");
  return flag->get<bool>();
}

// The body of POST /mark naming its row by kind, labels and site codes.
RowIdentity identity_of_body(const json& body) {
  const auto text_list = [&](const char* key, std::vector<std::string>& out) {
    const auto at = body.find(key);
    if (at == body.end() || !at->is_array()) return false;
    for (const json& item : *at) {
      if (!item.is_string()) return false;
      out.push_back(item.get<std::string>());
    }
    return true;
  };
  RowIdentity row;
  row.kind = body.value("kind", json()).is_string() ? body["kind"].get<std::string>() : "";
  const std::size_t atoms = row_atom_count(row.kind);
  if (atoms == 0) throw BadRequest("\"kind\" must be one of bond, angle, torsion, hbond");
  if (!text_list("atoms", row.labels) || !text_list("site_codes", row.site_codes) || row.labels.size() != atoms ||
      row.site_codes.size() != atoms)
    throw BadRequest("a " + row.kind + " needs \"atoms\" and \"site_codes\", " + std::to_string(atoms) +
                     " strings each");
  const auto phase = body.find("phase");
  if (phase != body.end()) {
    if (!phase->is_number_integer() || phase->get<long long>() < 0 || phase->get<long long>() > 9)
      throw BadRequest("\"phase\" must be a phase number");
    row.phase = static_cast<int>(phase->get<long long>());
  }
  return row;
}

// The rows of POST /mark naming them by their indices.
std::vector<std::size_t> indices_of_body(const json& body) {
  const json& rows = body["rows"];
  if (!rows.is_array() || rows.empty() || rows.size() > static_cast<std::size_t>(kMostRowsAtOnce))
    throw BadRequest("\"rows\" must be a list of 1 to " + std::to_string(kMostRowsAtOnce) + " row indices");
  std::vector<std::size_t> indices;
  for (const json& index : rows) {
    if (!index.is_number_unsigned()) throw BadRequest("\"rows\" must be a list of row indices");
    indices.push_back(index.get<std::size_t>());
  }
  std::sort(indices.begin(), indices.end());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  return indices;
}

std::string numbers(const std::vector<std::size_t>& list, std::size_t first, std::size_t end) {
  std::string text = "[";
  for (std::size_t k = first; k < end; ++k) text += (k == first ? "" : ",") + std::to_string(list[k]);
  return text + "]";
}

}  // namespace

void add_results_routes(httplib::Server& server, const PageContext& context, const WithRun& with_run) {
  auto results = std::make_shared<Results>(context);
  // A route that reads or changes the run.
  const auto route = [with_run](std::function<void(const httplib::Request&, httplib::Response&)> body) {
    return [with_run, body](const httplib::Request& request, httplib::Response& response) {
      with_run(response, [&] { answer_guarded(response, [&] { body(request, response); }); });
    };
  };

  server.Get("/phases.json", route([results](const httplib::Request&, httplib::Response& response) {
    response.set_content(results->context().summary_json(), "application/json");
  }));

  server.Get("/rows", route([results](const httplib::Request& request, httplib::Response& response) {
    const ViewRequest asked = view_request(request);
    const auto first = static_cast<std::size_t>(number_param(request, "first", 0, 1LL << 40, 0));
    const auto count = static_cast<std::size_t>(number_param(request, "count", 1, kMostRowsAtOnce, 200));
    PhaseRows& rows = results->phase_rows(asked.phase);
    const std::vector<std::size_t>& shown = results->view(asked);
    const std::size_t begin = std::min(first, shown.size());
    const std::size_t end = std::min(shown.size(), begin + count);
    const std::vector<Row>& of_kind = rows.of(asked.kind);
    const std::size_t marked = marked_count(rows, asked.kind);
    const std::vector<std::size_t> range(shown.begin() + static_cast<std::ptrdiff_t>(begin),
                                         shown.begin() + static_cast<std::ptrdiff_t>(end));
    response.set_content("{\"phase\":" + std::to_string(asked.phase) + ",\"kind\":\"" +
                             row_kind_name(asked.kind).name + "\",\"total\":" + std::to_string(shown.size()) +
                             ",\"rows_of_kind\":" + std::to_string(of_kind.size()) +
                             ",\"marked\":" + std::to_string(marked) + ",\"first\":" + std::to_string(begin) +
                             ",\"indices\":" + numbers(range, 0, range.size()) +
                             ",\"rows\":" + results->context().rows_json(rows, asked.kind, range) + "}",
                         "application/json");
  }));

  server.Get("/filter", route([results](const httplib::Request& request, httplib::Response& response) {
    const int phase = static_cast<int>(number_param(request, "phase", 1, 9));
    const std::string text = request.get_param_value("text");
    if (text.size() > 1000) throw BadRequest("the filter is longer than 1000 characters");
    const AtomFilter filter = results->filter(phase, text);
    const std::vector<std::string>& labels = results->phase_rows(phase).numbering.labels;
    json terms = json::array();
    for (const FilterTerm& term : filter.terms) {
      json named = json::array();
      // A bare site code names every atom: the page needs no list for it.
      if (term.site_code.empty() || std::find(term.atoms.begin(), term.atoms.end(), false) != term.atoms.end())
        for (std::size_t k = 0; k < term.atoms.size(); ++k)
          if (term.atoms[k]) named.push_back(labels[k]);
      terms.push_back({{"text", term.text},
                       {"labels", named},
                       {"any_atom", named.empty()},
                       {"site_code", term.site_code.empty() ? json(nullptr) : json(term.site_code)}});
    }
    answer_json(response, 200, {{"terms", terms}, {"unknown", filter.unknown}});
  }));

  server.Get("/marked", route([results](const httplib::Request& request, httplib::Response& response) {
    const int phase = static_cast<int>(number_param(request, "phase", 1, 9));
    const RowKind kind = kind_named(request.get_param_value("kind"));
    const std::vector<Row>& of_kind = results->phase_rows(phase).of(kind);
    std::vector<std::size_t> marked;
    for (std::size_t r = 0; r < of_kind.size(); ++r)
      if (of_kind[r].marked) marked.push_back(r);
    response.set_content("{\"indices\":" + numbers(marked, 0, marked.size()) + "}", "application/json");
  }));

  server.Get(R"(/drawing/([0-9]{1,6})\.json)", route([results](const httplib::Request& request,
                                                                 httplib::Response& response) {
    const int phase = std::stoi(request.matches[1].str());
    const PagePhase* page = results->page_phase(phase);
    if (page == nullptr || page->drawing.empty()) throw NotFound("phase " + std::to_string(phase) + " has no drawing");
    response.set_content(page->drawing, "application/json");
  }));

  server.Get("/history", route([results](const httplib::Request&, httplib::Response& response) {
    answer_json(response, 200, results->history());
  }));

  server.Post("/mark", route([results](const httplib::Request& request, httplib::Response& response) {
    const json body = body_of(request);
    const bool publish = publish_of(body);
    if (body.contains("rows")) {
      const int phase = body.value("phase", json()).is_number_integer() ? body["phase"].get<int>() : 0;
      const RowKind kind = kind_named(body.value("kind", json()).is_string() ? body["kind"].get<std::string>() : "");
      if (phase < 1 || phase > 9) throw BadRequest("\"phase\" must be a phase number");
      return answer_json(response, 200, results->mark(results->phase_rows(phase), kind, indices_of_body(body), publish));
    }
    const RowIdentity identity = identity_of_body(body);
    const FoundRow found = find_row(*results->context().rows, identity, results->finder());
    const RowKind kind = found.row->kind;
    const auto index = static_cast<std::size_t>(found.row - found.phase->of(kind).data());
    answer_json(response, 200, results->mark(*found.phase, kind, {index}, publish));
  }));

  server.Post("/mark-shown", route([results](const httplib::Request& request, httplib::Response& response) {
    const bool publish = publish_of(body_of(request));
    const ViewRequest asked = view_request(request);
    PhaseRows& rows = results->phase_rows(asked.phase);
    const std::vector<std::size_t> shown = results->view(asked);
    if (shown.empty()) throw BadRequest("the table shows no rows");
    answer_json(response, 200, results->mark(rows, asked.kind, shown, publish));
  }));

  server.Post("/undo", route([results](const httplib::Request&, httplib::Response& response) {
    answer_json(response, 200, results->step(true));
  }));
  server.Post("/redo", route([results](const httplib::Request&, httplib::Response& response) {
    answer_json(response, 200, results->step(false));
  }));
}

}  // namespace vesk
