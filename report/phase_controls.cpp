#include "report/phase_controls.hpp"

#include <charconv>
#include <cctype>
#include <cmath>
#include <optional>
#include <system_error>

#include "console/free_number.hpp"
#include "console/text_utils.hpp"
#include "geometry/oxidation_states.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

// A word of the control record without the delimiter NEXTTOKEN leaves on it.
std::string next_word(std::string_view text, int& position) {
  std::string token(80, ' ');
  int length = 0;
  NEXTTOKEN(text, position, token, length);
  return token.substr(0, token.find_first_of(" ,\t"));
}

float word_value(const std::string& word, std::string_view key, std::string_view item) {
  std::string text = recio::pad(word, 80);
  int error = 0;
  float value = TOKREAL(text, static_cast<int>(word.size()), error);
  if (error != 0)
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" + std::string(key) +
                "\" is not a number");
  return value;
}
// The words of the control record after its four positional ones, read in
// turn; each keyword takes the words that follow it.
struct ControlWords {
  std::string_view value;
  std::string_view key;
  int position = 1;
  std::string next() { return next_word(value, position); }
};

// The one word a keyword takes.
std::string keyword_value(ControlWords& words, const char* keyword) {
  std::string value = words.next();
  if (value.empty())
    throw Error("The keyword " + std::string(keyword) + " of the control record \"" + std::string(words.key) +
                "\" has no value");
  return value;
}

std::string elements_word(ControlWords& words, const char* item) {
  const std::string word = keyword_value(words, item);
  // "N/O/", "/O", "N//O" would read as a list with an empty symbol, and an
  // empty symbol as no list at all.
  if (word.front() == '/' || word.back() == '/' || word.find("//") != std::string::npos)
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" +
                std::string(words.key) + "\" has an empty element symbol; write the symbols joined by single /, "
                "as in N/O/Cl");
  std::string bad;
  element_list(word, bad);
  if (!bad.empty())
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" +
                std::string(words.key) + "\": \"" + bad + "\" is not an element symbol");
  return word;
}

// VIEW a, VIEW b, VIEW c or VIEW u v w: the direction a drawing looks along.
void read_view(PhaseControls& controls, ControlWords& words) {
  const std::string first = words.next();
  std::string axis = first;
  for (char& c : axis) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  controls.view = DrawingView{true, {0, 0, 0}};
  if (axis == "a" || axis == "b" || axis == "c") {
    controls.view.direction[static_cast<std::size_t>(axis[0] - 'a')] = 1;
    return;
  }
  if (first.empty())
    throw Error("VIEW in the control record \"" + std::string(words.key) + "\" needs a, b, c or three numbers");
  controls.view.direction[0] = word_value(first, words.key, "VIEW");
  controls.view.direction[1] = word_value(words.next(), words.key, "VIEW");
  controls.view.direction[2] = word_value(words.next(), words.key, "VIEW");
  const Vec3& d = controls.view.direction;
  if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2]))
    throw Error("VIEW in the control record \"" + std::string(words.key) +
                "\" has a component too large for a single-precision real; give a direction such as 1 -1 0");
  if (d[0] == 0 && d[1] == 0 && d[2] == 0)
    throw Error("VIEW 0 0 0 in the control record \"" + std::string(words.key) + "\" is no direction");
}

struct ControlKeyword {
  const char* word;
  void (*read)(PhaseControls&, ControlWords&);
};

static const ControlKeyword kControlKeywords[] = {
    // 0: the direction a drawing looks along
    {"VIEW", read_view},
    // 1: H...A limit of hydrogen bonds, Angstrom
    {"HMAX", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "HMAX");
       c.hbonds.limit = word_value(v, words.key, "HMAX");
       if (!(c.hbonds.limit > 0 && c.hbonds.limit <= kLongestSearchLimit))
         throw Error("The HMAX value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not a distance between 0 and 50 A");
     }},
    // 2: smallest D-H...A angle of hydrogen bonds, degrees
    {"HANG", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "HANG");
       c.hbonds.min_angle = word_value(v, words.key, "HANG");
       if (!(c.hbonds.min_angle >= 0 && c.hbonds.min_angle < 180))
         throw Error("The HANG value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not an angle from 0 up to (not including) 180 degrees");
     }},
    // 3: donor elements, "N/O/Cl"
    {"DONR", [](PhaseControls& c, ControlWords& words) { c.hbonds.donors = elements_word(words, "DONR"); }},
    // 4: acceptor elements
    {"ACPT", [](PhaseControls& c, ControlWords& words) { c.hbonds.acceptors = elements_word(words, "ACPT"); }},
    // 5: which torsion angles: ALL, NOH (no chain with H or D) or NONE
    {"TORS", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "TORS");
       const std::string choice = recio::upper_case(v);
       if (choice == "ALL")
         c.torsions = TorsionChoice::All;
       else if (choice == "NOH")
         c.torsions = TorsionChoice::NoHydrogen;
       else if (choice == "NONE")
         c.torsions = TorsionChoice::None;
       else
         throw Error("The TORS value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not ALL, NOH or NONE");
     }},
    // 6: bonds up to the sum of the covalent radii plus this, Angstrom
    {"BTOL", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "BTOL");
       c.bond_tolerance = word_value(v, words.key, "BTOL");
       if (!(c.bond_tolerance >= 0 && c.bond_tolerance <= kLongestBondTolerance))
         throw Error("The BTOL value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not a tolerance between 0 and 2 A");
     }},
    // 7: torsion angles of chains through a metal atom: Y lists them, N (the default) leaves them out
    {"MTOR", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "MTOR");
       const std::string choice = recio::upper_case(v);
       if (choice != "Y" && choice != "N")
         throw Error("The MTOR value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not Y or N");
       c.metal_torsions = choice == "Y";
     }},
};

// Y or N of a table's control word: N leaves the table out.
bool table_word(ControlWords& words, const char* keyword) {
  const std::string v = keyword_value(words, keyword);
  const std::string choice = recio::upper_case(v);
  if (choice != "Y" && choice != "N")
    throw Error("The " + std::string(keyword) + " value \"" + v + "\" of the control record \"" +
                std::string(words.key) + "\" is not Y or N");
  return choice == "Y";
}

const ControlKeyword* control_keyword(const std::string& word);

// The next word of a keyword's list, "" at the end or at the next keyword
// (which is left to be read as one).
std::string next_list_word(ControlWords& words) {
  const int before = words.position;
  std::string word = words.next();
  if (!word.empty() && control_keyword(word) != nullptr) {
    words.position = before;
    word.clear();
  }
  return word;
}

// PLAN C1 C2 C3 ...: the atoms up to the next keyword or the end.
void read_plan(PhaseControls& c, ControlWords& words) {
  std::vector<std::string> labels;
  for (std::string word = next_list_word(words); !word.empty(); word = next_list_word(words)) labels.push_back(word);
  if (labels.size() < 3 || labels.size() > kMaxPlaneAtoms)
    throw Error("PLAN in the control record \"" + std::string(words.key) + "\" names " +
                std::to_string(labels.size()) + " atoms; a plane takes 3 to " + std::to_string(kMaxPlaneAtoms));
  c.plans.push_back(std::move(labels));
}

static const ControlKeyword kAnalysisKeywords[] = {
    {"PLAN", read_plan},
    {"RING", [](PhaseControls& c, ControlWords& words) {
       c.tables.rings = table_word(words, "RING");
       c.molecules.rings = c.tables.rings;  // N: no ring search at all
     }},
    {"PLNS", [](PhaseControls& c, ControlWords& words) { c.tables.planes = table_word(words, "PLNS"); }},
    // Y: the angles between related planes; ALL: also every two ring planes of one molecule; N: none
    {"PANG", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "PANG");
       const std::string choice = recio::upper_case(v);
       if (choice == "ALL")
         c.molecules.plane_angles = PlaneAngleChoice::All;
       else if (choice == "Y")
         c.molecules.plane_angles = PlaneAngleChoice::Related;
       else if (choice == "N")
         c.molecules.plane_angles = PlaneAngleChoice::None;
       else
         throw Error("The PANG value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not Y, ALL or N");
       c.tables.plane_angles = choice != "N";
     }},
    {"RIGB", [](PhaseControls& c, ControlWords& words) { c.tables.rigid_bond = table_word(words, "RIGB"); }},
};

// OXID Fe 3 O -2: element and oxidation state pairs up to the next keyword.
void read_oxid(PhaseControls& c, ControlWords& words) {
  for (std::string element = next_list_word(words); !element.empty(); element = next_list_word(words)) {
    // Read as a type symbol is ("SI" is silicon), but a whole element name only.
    const std::optional<TypeSymbol> symbol = element_and_charge(element);
    if (!symbol || symbol->charge || symbol->element.size() != element.size() ||
        !std::isalpha(static_cast<unsigned char>(element.back())))
      throw Error("OXID in the control record \"" + std::string(words.key) + "\" names \"" + element +
                  "\", which is not an element symbol");
    const std::string v = words.next();
    int state = 0;
    const auto [end, ec] = std::from_chars(v.data() + (!v.empty() && v[0] == '+'), v.data() + v.size(), state);
    if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || state < -8 || state > 8)
      throw Error("OXID in the control record \"" + std::string(words.key) + "\" gives \"" + v + "\" for " +
                  element + ", which is not an oxidation state from -8 to 8");
    c.inorganic.control_states[symbol->element] = state;
  }
  if (c.inorganic.control_states.empty())
    throw Error("OXID in the control record \"" + std::string(words.key) + "\" names no element");
}

// A positive threshold of the checks, up to `most`.
double threshold_word(ControlWords& words, const char* keyword, double most) {
  const std::string v = keyword_value(words, keyword);
  const double value = word_value(v, words.key, keyword);
  if (!(value > 0 && value <= most))
    throw Error("The " + std::string(keyword) + " value \"" + v + "\" of the control record \"" +
                std::string(words.key) + "\" is not a number above 0 and up to " + std::to_string(static_cast<int>(most)));
  return value;
}

static const ControlKeyword kInorganicKeywords[] = {
    {"OXID", read_oxid},
    {"BVAL", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.bond_valences = table_word(words, "BVAL"); }},
    {"POLY", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.polyhedra = table_word(words, "POLY"); }},
    {"CHKS", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.checks = table_word(words, "CHKS"); }},
    // fraction of the formal valence a sum may be off
    {"BVSF", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.valence_fraction = threshold_word(words, "BVSF", 1);
     }},
    // s.u.'s a sum may be off
    {"BVSS", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.valence_sigmas = threshold_word(words, "BVSS", 100);
     }},
    // GII limit, v.u.
    {"GIIL", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.gii_limit = threshold_word(words, "GIIL", 10);
     }},
    // margin below the van der Waals sum of a short contact, A
    {"VDWT", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.contact_margin = threshold_word(words, "VDWT", 3);
     }},
};

const ControlKeyword* control_keyword(const std::string& word) {
  for (const ControlKeyword& k : kInorganicKeywords)
    if (recio::upper_case(word) == k.word) return &k;
  for (const ControlKeyword& k : kAnalysisKeywords)
    if (recio::upper_case(word) == k.word) return &k;
  for (const ControlKeyword& k : kControlKeywords)
    if (recio::upper_case(word) == k.word) return &k;
  return nullptr;
}

std::string keyword_list() {
  std::string list;
  for (const ControlKeyword& k : kControlKeywords) list += (list.empty() ? "" : ", ") + std::string(k.word);
  for (const ControlKeyword& k : kAnalysisKeywords) list += ", " + std::string(k.word);
  for (const ControlKeyword& k : kInorganicKeywords) list += ", " + std::string(k.word);
  return list;
}


}  // namespace

bool is_control_keyword(std::string_view word) { return control_keyword(std::string(word)) != nullptr; }

SearchControls search_controls(const PhaseControls& controls) {
  SearchControls search;
  search.dmax_given = controls.dmax_given;
  search.dmax = controls.dmax;
  search.dagl_given = controls.dagl_given;
  search.dagl = controls.dagl;
  search.orthonormal = recio::equal_padded(controls.print_option, "ONCR");
  search.bond_tolerance = controls.bond_tolerance;
  return search;
}

PhaseControls parse_phase_controls(std::string_view value, std::string_view key) {
  PhaseControls controls;
  int position = 1;
  // Positional: a word standing where "DMAX" or "DAGL" is expected only
  // fills that slot when it is something else.
  std::string slots[4];
  slots[0] = next_word(value, position);
  // "DMAX" or "DAGL" with nothing after it would read as a limit of 0.
  auto limit_word = [&](const char* item) {
    const std::string word = next_word(value, position);
    if (word.empty())
      throw Error("The keyword " + std::string(item) + " of the control record \"" + std::string(key) +
                  "\" has no value");
    return word_value(word, key, item);
  };
  if (slots[0] == "DMAX") {
    controls.dmax = limit_word("DMAX");
    controls.dmax_given = true;
  }
  slots[1] = next_word(value, position);
  if (slots[1] == "DAGL") {
    controls.dagl = limit_word("DAGL");
    controls.dagl_given = true;
  }
  slots[2] = next_word(value, position);
  controls.fourier_mode = recio::pad(slots[2], 4);
  slots[3] = next_word(value, position);
  controls.print_option = slots[3].empty() ? std::string("DFLT") : recio::pad(slots[3], 4);
  // A keyword in a positional slot would be taken for a placeholder and its
  // value for the next slot: refuse it rather than guess.
  for (const std::string& slot : slots)
    if (control_keyword(slot) != nullptr)
      throw Error("The control record \"" + std::string(key) + "\" has the keyword " + slot +
                  " among its first four words; keywords follow DMAX, DAGL, the Fourier mode and the print option "
                  "(DFLT as a placeholder)");
  ControlWords words{value, key, position};
  for (std::string word = words.next(); !word.empty(); word = words.next()) {
    const ControlKeyword* keyword = control_keyword(word);
    if (keyword == nullptr)
      throw Error("The word \"" + word + "\" of the control record \"" + std::string(key) +
                  "\" is not one of " + keyword_list());
    keyword->read(controls, words);
  }
  return controls;
}

}  // namespace vesk
