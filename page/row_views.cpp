#include "page/row_views.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <numeric>

namespace vesk {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "2_655": an operator number and three digits.
bool is_site_code(std::string_view text) {
  const std::size_t bar = text.find('_');
  if (bar == 0 || bar == std::string_view::npos || text.size() - bar - 1 != 3) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == '_' || std::isdigit(static_cast<unsigned char>(c)); }) &&
         std::count(text.begin(), text.end(), '_') == 1;
}

// The atoms whose label (in any case) is `word`.
std::vector<bool> labelled(std::string_view word, const std::vector<std::string>& lower_labels) {
  std::vector<bool> atoms(lower_labels.size(), false);
  const std::string wanted = lower(word);
  for (std::size_t k = 0; k < lower_labels.size(); ++k) atoms[k] = lower_labels[k] == wanted;
  return atoms;
}

bool any(const std::vector<bool>& atoms) { return std::find(atoms.begin(), atoms.end(), true) != atoms.end(); }

// Labels in the order a chemist reads them: digits as numbers (C2 before
// C10), then letters without regard to case.
bool natural_less(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])), db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const std::string_view na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      const std::size_t za = na.find_first_not_of('0'), zb = nb.find_first_not_of('0');
      const std::string_view va = za == std::string_view::npos ? "" : na.substr(za);
      const std::string_view vb = zb == std::string_view::npos ? "" : nb.substr(zb);
      if (va.size() != vb.size()) return va.size() < vb.size();
      if (va != vb) return va < vb;
      i = ei;
      j = ej;
      continue;
    }
    const int ca = std::tolower(static_cast<unsigned char>(a[i])), cb = std::tolower(static_cast<unsigned char>(b[j]));
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

// Gives the words sites of their own, one each, from word `term` on.
bool assign(const AtomFilter& filter, const Row& row, std::size_t atoms, std::size_t term, unsigned taken) {
  if (term == filter.terms.size()) return true;
  const FilterTerm& word = filter.terms[term];
  for (std::size_t k = 0; k < atoms; ++k) {
    if ((taken >> k) & 1U) continue;
    const RowSite& site = row.sites[k];
    if (!word.atoms[static_cast<std::size_t>(site.atom - 1)]) continue;
    if (!word.site_code.empty() && site.code != word.site_code) continue;
    if (assign(filter, row, atoms, term + 1, taken | (1U << k))) return true;
  }
  return false;
}

}  // namespace

AtomFilter parse_atom_filter(std::string_view text, const std::vector<std::string>& labels,
                             const std::vector<std::string>& elements) {
  std::vector<std::string> lower_labels, lower_elements;
  for (const std::string& label : labels) lower_labels.push_back(lower(label));
  for (const std::string& element : elements) lower_elements.push_back(lower(element));
  AtomFilter filter;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t,", at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t,", at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end;
    FilterTerm term{std::string(word), labelled(word, lower_labels), {}};
    // An element symbol names every atom of the element as well.
    const std::string wanted = lower(word);
    for (std::size_t k = 0; k < lower_elements.size() && k < term.atoms.size(); ++k)
      if (!lower_elements[k].empty() && lower_elements[k] == wanted) term.atoms[k] = true;
    if (!any(term.atoms)) {
      if (is_site_code(word)) {
        term.atoms.assign(labels.size(), true);
        term.site_code = std::string(word);
      } else if (const std::size_t last = word.rfind('_'); last != std::string_view::npos && last > 0) {
        // A label at a site code (a label may hold '_' itself).
        const std::size_t bar = word.rfind('_', last - 1);
        if (bar != std::string_view::npos && bar > 0 && is_site_code(word.substr(bar + 1))) {
          term.atoms = labelled(word.substr(0, bar), lower_labels);
          term.site_code = std::string(word.substr(bar + 1));
        }
      }
    }
    if (any(term.atoms))
      filter.terms.push_back(std::move(term));
    else
      filter.unknown.emplace_back(word);
  }
  return filter;
}

bool passes(const AtomFilter& filter, const Row& row, std::size_t atoms) {
  if (!filter.unknown.empty()) return false;
  if (filter.terms.size() > atoms) return false;
  return assign(filter, row, atoms, 0, 0);
}

std::vector<std::size_t> view_rows(const PhaseRows& rows, RowKind kind, const RowView& view) {
  const std::vector<Row>& of_kind = rows.of(kind);
  const std::size_t atoms = row_kind_name(kind).atoms;
  std::vector<std::size_t> shown;
  shown.reserve(of_kind.size());
  const bool filtered = !view.filter.terms.empty() || !view.filter.unknown.empty();
  for (std::size_t r = 0; r < of_kind.size(); ++r) {
    const Row& row = of_kind[r];
    if (view.chemical_only && kind == RowKind::bond && !row.chemical) continue;
    if (view.marked_only && !row.marked) continue;
    if (view.paper_only && !in_paper(row)) continue;
    if (filtered && !passes(view.filter, row, atoms)) continue;
    shown.push_back(r);
  }
  if (view.sort == SortColumn::model) {
    if (view.descending) std::reverse(shown.begin(), shown.end());
    return shown;
  }
  // Labels by their rank in the chemist's order, computed once.
  std::vector<std::size_t> rank;
  if (view.sort == SortColumn::atom) {
    const std::vector<std::string>& labels = rows.numbering.labels;
    std::vector<std::size_t> order(labels.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return natural_less(labels[a], labels[b]); });
    rank.resize(labels.size());
    for (std::size_t k = 0; k < order.size(); ++k) rank[order[k]] = k;
  }
  const std::size_t which = std::min(view.sort_index, kMostRowAtoms - 1);
  const auto less = [&](std::size_t a, std::size_t b) {
    const Row& x = of_kind[a];
    const Row& y = of_kind[b];
    switch (view.sort) {
      case SortColumn::publish: return x.marked < y.marked;
      case SortColumn::atom:
        return rank[static_cast<std::size_t>(x.sites[which].atom - 1)] <
               rank[static_cast<std::size_t>(y.sites[which].atom - 1)];
      case SortColumn::site_codes:
        for (std::size_t k = 0; k < atoms; ++k)
          if (x.sites[k].code != y.sites[k].code) return natural_less(x.sites[k].code, y.sites[k].code);
        return false;
      case SortColumn::value: return x.values[which].value < y.values[which].value;
      case SortColumn::model: break;
    }
    return false;
  };
  if (view.descending)
    std::stable_sort(shown.begin(), shown.end(), [&](std::size_t a, std::size_t b) { return less(b, a); });
  else
    std::stable_sort(shown.begin(), shown.end(), less);
  return shown;
}

}  // namespace vesk
