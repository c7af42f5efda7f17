#include "geometry/bond_valence_parameters.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

extern const char bvparm_text[];
extern const unsigned long bvparm_text_size;

namespace {

struct Token {
  std::string text;
  int line = 0;
  bool quoted = false;
};

// CIF 1.1 tokens: blank-separated words, quoted strings whose closing quote
// must be followed by a blank (so 'Brese and O'Keeffe, ...' stays one
// value), text fields between lines starting with ';', comments from '#'.
std::vector<Token> cif_tokens(std::string_view text) {
  std::vector<Token> tokens;
  int line = 1;
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < text.size()) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (blank(c)) {
      ++i;
    } else if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == ';' && (i == 0 || text[i - 1] == '\n')) {
      std::size_t end = text.find("\n;", i);
      if (end == std::string_view::npos) throw Error("bond-valence table: text field from line " + std::to_string(line) + " never closed");
      Token token{std::string(text.substr(i + 1, end - i - 1)), line, true};
      for (std::size_t k = i; k < end + 2; ++k) line += text[k] == '\n';
      tokens.push_back(std::move(token));
      i = end + 2;
    } else if (c == '\'' || c == '"') {
      std::size_t k = i + 1;
      while (k < text.size() && text[k] != '\n' && !(text[k] == c && (k + 1 == text.size() || blank(text[k + 1])))) ++k;
      if (k >= text.size() || text[k] != c) throw Error("bond-valence table: quoted value on line " + std::to_string(line) + " not closed");
      tokens.push_back({std::string(text.substr(i + 1, k - i - 1)), line, true});
      i = k + 1;
    } else {
      std::size_t k = i;
      while (k < text.size() && !blank(text[k])) ++k;
      tokens.push_back({std::string(text.substr(i, k - i)), line, false});
      i = k;
    }
  }
  return tokens;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int to_int(const Token& t) {
  int value = 0;
  const char* first = t.text.data() + (t.text.starts_with('+') ? 1 : 0);
  auto [end, error] = std::from_chars(first, t.text.data() + t.text.size(), value);
  if (t.text.empty() || error != std::errc() || end != t.text.data() + t.text.size())
    throw Error("bond-valence table, line " + std::to_string(t.line) + ": \"" + t.text + "\" is not an oxidation state");
  return value;
}

double to_double(const Token& t) {
  char* end = nullptr;
  double value = std::strtod(t.text.c_str(), &end);
  if (t.text.empty() || end != t.text.c_str() + t.text.size() || !(value > 0.0) || value > 10.0)
    throw Error("bond-valence table, line " + std::to_string(t.line) + ": \"" + t.text + "\" is not a length in Angstrom");
  return value;
}

}  // namespace

BondValenceTable parse_bond_valence_table(std::string_view cif_text) {
  std::vector<Token> tokens = cif_tokens(cif_text);
  BondValenceTable table;
  bool found_parameters = false;
  std::size_t i = 0;
  while (i < tokens.size()) {
    if (tokens[i].quoted || lower(tokens[i].text) != "loop_") {
      ++i;
      continue;
    }
    std::vector<std::string> tags;
    ++i;
    while (i < tokens.size() && !tokens[i].quoted && tokens[i].text.starts_with('_')) tags.push_back(lower(tokens[i++].text));
    std::size_t first = i;
    while (i < tokens.size() && (tokens[i].quoted || (!tokens[i].text.starts_with('_') && lower(tokens[i].text) != "loop_" &&
                                                      !lower(tokens[i].text).starts_with("data_"))))
      ++i;
    std::size_t count = i - first;
    auto column = [&](std::string_view tag) {
      for (std::size_t k = 0; k < tags.size(); ++k)
        if (tags[k] == tag) return static_cast<int>(k);
      return -1;
    };
    if (tags.empty()) continue;
    if (count % tags.size() != 0)
      throw Error("bond-valence table, line " + std::to_string(tokens[first].line) + ": a loop of " + std::to_string(tags.size()) +
                  " items holds " + std::to_string(count) + " values");
    int atom1 = column("_valence_param_atom_1"), state1 = column("_valence_param_atom_1_valence");
    int atom2 = column("_valence_param_atom_2"), state2 = column("_valence_param_atom_2_valence");
    int r0 = column("_valence_param_ro"), b = column("_valence_param_b");
    int ref = column("_valence_param_ref_id"), details = column("_valence_param_details");
    int ref_id = column("_valence_ref_id"), ref_text = column("_valence_ref_reference");
    for (std::size_t row = first; row < i; row += tags.size()) {
      const Token* v = &tokens[row];
      if (atom1 >= 0 && state1 >= 0 && atom2 >= 0 && state2 >= 0 && r0 >= 0 && b >= 0) {
        BondValenceParameter p;
        p.cation = v[atom1].text;
        p.cation_state = to_int(v[state1]);
        p.anion = v[atom2].text;
        p.anion_state = to_int(v[state2]);
        p.r0 = to_double(v[r0]);
        p.b = to_double(v[b]);
        if (ref >= 0) p.reference = v[ref].text;
        if (details >= 0) p.details = v[details].text;
        table.entries.push_back(std::move(p));
        found_parameters = true;
      } else if (ref_id >= 0 && ref_text >= 0) {
        table.references[v[ref_id].text] = v[ref_text].text;
      }
    }
  }
  if (!found_parameters) throw Error("bond-valence table: no loop of _valence_param_ items");
  return table;
}

std::string_view bundled_bond_valence_text() { return {bvparm_text, bvparm_text_size}; }

const BondValenceTable& bundled_bond_valence_table() {
  static const BondValenceTable table = parse_bond_valence_table(bundled_bond_valence_text());
  return table;
}

const BondValenceParameter* find_bond_valence_parameter(const BondValenceTable& table, std::string_view cation,
                                                        int cation_state, std::string_view anion, int anion_state,
                                                        std::string_view reference) {
  auto pair = [&](const BondValenceParameter& p) {
    return p.anion_state == anion_state && recio::equal_ignoring_case(p.cation, cation) && recio::equal_ignoring_case(p.anion, anion);
  };
  if (!reference.empty())
    for (const BondValenceParameter& p : table.entries)
      if (pair(p) && p.cation_state == cation_state && p.reference == reference) return &p;
  const BondValenceParameter* unstated = nullptr;
  for (const BondValenceParameter& p : table.entries) {
    if (!pair(p)) continue;
    if (p.cation_state == cation_state) return &p;
    if (p.cation_state == 9 && !unstated) unstated = &p;
  }
  return unstated;
}

}  // namespace vesk
