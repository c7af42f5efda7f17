#include "report/control_settings.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string yes_no(bool value) { return value ? "Y" : "N"; }

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  for (;;) {
    at = text.find_first_not_of(" ,\t", at);
    if (at == std::string_view::npos) return words;
    const std::size_t end = std::min(text.find_first_of(" ,\t", at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end;
  }
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string plans_shown(const PhaseControls& c) {
  std::string text;
  for (const std::vector<std::string>& plan : c.plans) text += (text.empty() ? "" : "; ") + joined(plan);
  return text.empty() ? "none" : text;
}

std::string view_shown(const PhaseControls& c) {
  if (!c.view.given) return "automatic";
  const Vec3& d = c.view.direction;
  for (int axis = 0; axis < 3; ++axis)
    if (d[axis] == 1 && d[(axis + 1) % 3] == 0 && d[(axis + 2) % 3] == 0) return std::string(1, static_cast<char>('a' + axis));
  return number(d[0]) + " " + number(d[1]) + " " + number(d[2]);
}

std::string oxidation_shown(const PhaseControls& c) {
  std::string text;
  for (const auto& [element, state] : c.inorganic.control_states)
    text += (text.empty() ? "" : " ") + element + " " + std::to_string(state);
  return text.empty() ? "assigned" : text;
}

std::string torsions_shown(const PhaseControls& c) {
  switch (c.torsions) {
    case TorsionChoice::Default: return "DFLT";
    case TorsionChoice::All: return "ALL";
    case TorsionChoice::NoHydrogen: return "NOH";
    case TorsionChoice::None: return "NONE";
  }
  return "";
}

std::string plane_angles_shown(const PhaseControls& c) {
  switch (c.molecules.plane_angles) {
    case PlaneAngleChoice::Related: return "Y";
    case PlaneAngleChoice::All: return "ALL";
    case PlaneAngleChoice::None: return "N";
  }
  return "";
}

std::string slot_shown(const std::string& slot) {
  const std::string word(recio::trim_right(slot));
  return word.empty() ? "DFLT" : word;
}

static const ControlWordInfo kControlWords[] = {
    // 0
    {"DMAX", "A, or DFLT", "upper limit of the distances listed (DFLT: per pair, the sum of the bond radii)",
     [](const PhaseControls& c) { return c.dmax_given ? number(c.dmax) : std::string("DFLT"); }},
    // 1
    {"DAGL", "A, or DFLT", "upper limit of the neighbours' distance for angles (DFLT: the sum of the angle radii)",
     [](const PhaseControls& c) { return c.dagl_given ? number(c.dagl) : std::string("DFLT"); }},
    // 2: the third positional word
    {"FOUR", "FORA or DFLT", "FORA adds the phase's Fourier peaks as atoms of type FrPk",
     [](const PhaseControls& c) { return slot_shown(c.fourier_mode); }},
    // 3: the fourth positional word
    {"PRNT", "ONCR or DFLT", "ONCR prints each neighbour as an orthonormal vector in A",
     [](const PhaseControls& c) { return slot_shown(c.print_option); }},
    // 4
    {"VIEW", "a, b, c or u v w", "the direction the drawings (--svg) look along", view_shown},
    // 5
    {"HMAX", "A, above 0 to 50", "H...A limit of hydrogen bonds (0: the van der Waals sum of H and A)",
     [](const PhaseControls& c) { return number(c.hbonds.limit); }},
    // 6
    {"HANG", "degrees, 0 to below 180", "smallest D-H...A angle of hydrogen bonds",
     [](const PhaseControls& c) { return number(c.hbonds.min_angle); }},
    // 7
    {"DONR", "elements joined by /", "donor elements of hydrogen bonds",
     [](const PhaseControls& c) { return c.hbonds.donors; }},
    // 8
    {"ACPT", "elements joined by /", "acceptor elements of hydrogen bonds",
     [](const PhaseControls& c) { return c.hbonds.acceptors; }},
    // 9
    {"TORS", "ALL, NOH or NONE", "torsion angles: all (the CIF's too), none of a chain with H or D, or no table (DFLT: all listed, the CIF's without H or D)", torsions_shown},
    // 10
    {"BTOL", "A, 0 to 2", "bonds up to the sum of the covalent radii plus this",
     [](const PhaseControls& c) { return number(c.bond_tolerance); }},
    // 11
    {"MTOR", "Y or N", "torsion angles of chains through metal atoms too",
     [](const PhaseControls& c) { return yes_no(c.metal_torsions); }},
    // 12
    {"PLAN", "3 to 50 labels", "a least-squares plane through these atoms (one PLAN= per plane)", plans_shown},
    // 13
    {"RING", "Y or N", "N: no ring search (no rings, ring planes or puckering)",
     [](const PhaseControls& c) { return yes_no(c.molecules.rings); }},
    // 14
    {"PLNS", "Y or N", "the listing's table of planes and deviations",
     [](const PhaseControls& c) { return yes_no(c.tables.planes); }},
    // 15
    {"PANG", "Y, ALL or N", "angles between related planes, between every two ring planes too, or none",
     plane_angles_shown},
    // 16
    {"RIGB", "Y or N", "the listing's table of the rigid-bond test",
     [](const PhaseControls& c) { return yes_no(c.tables.rigid_bond); }},
    // 17
    {"OXID", "element state ...", "oxidation states of the elements (else assigned)", oxidation_shown},
    // 18
    {"BVAL", "Y or N", "the table of bond valences and their sums",
     [](const PhaseControls& c) { return yes_no(c.inorganic_tables.bond_valences); }},
    // 19
    {"POLY", "Y or N", "the table of coordination polyhedra",
     [](const PhaseControls& c) { return yes_no(c.inorganic_tables.polyhedra); }},
    // 20
    {"CHKS", "Y or N", "the table of checks",
     [](const PhaseControls& c) { return yes_no(c.inorganic_tables.checks); }},
    // 21
    {"BVSF", "above 0 to 1", "fraction of the formal valence a bond-valence sum may be off",
     [](const PhaseControls& c) { return number(c.inorganic.thresholds.valence_fraction); }},
    // 22
    {"BVSS", "above 0 to 100", "s.u.'s a bond-valence sum may be off",
     [](const PhaseControls& c) { return number(c.inorganic.thresholds.valence_sigmas); }},
    // 23
    {"GIIL", "above 0 to 10", "limit of the global instability index, v.u.",
     [](const PhaseControls& c) { return number(c.inorganic.thresholds.gii_limit); }},
    // 24
    {"VDWT", "A, above 0 to 3", "margin below the van der Waals sum of a short contact",
     [](const PhaseControls& c) { return number(c.inorganic.thresholds.contact_margin); }},
};

const ControlWordInfo* word_info(std::string_view word) {
  for (const ControlWordInfo& info : kControlWords)
    if (word == info.word) return &info;
  return nullptr;
}

std::string word_list() {
  std::string list;
  for (const ControlWordInfo& info : kControlWords) list += (list.empty() ? "" : ", ") + std::string(info.word);
  return list;
}

// The control text as its words: the four positional ones, then each
// keyword with the words that follow it up to the next keyword.
struct ControlText {
  std::optional<std::string> dmax, dagl;  // a value, or nothing for the radii
  std::string fourier = "DFLT", print = "DFLT";
  struct Group {
    std::string word;
    std::vector<std::string> values;
  };
  std::vector<Group> groups;
};

ControlText split_control_text(std::string_view text) {
  const std::vector<std::string> words = split_words(text);
  ControlText out;
  std::size_t i = 0;
  // A keyword among the first four words (which a run refuses) ends them:
  // the record is written again in its right order.
  const auto positional = [&] { return i < words.size() && !is_control_keyword(words[i]); };
  for (std::optional<std::string>* limit : {&out.dmax, &out.dagl}) {
    if (!positional()) break;
    const std::string word = words[i++];
    if (word == (limit == &out.dmax ? "DMAX" : "DAGL")) *limit = positional() ? words[i++] : std::string();
  }
  if (positional()) out.fourier = words[i++];
  if (positional()) out.print = words[i++];
  for (; i < words.size(); ++i) {
    if (is_control_keyword(words[i]) || out.groups.empty())
      out.groups.push_back({recio::upper_case(words[i]), {}});
    else
      out.groups.back().values.push_back(words[i]);
  }
  return out;
}

std::string control_text(const ControlText& c) {
  std::string text = (c.dmax ? "DMAX " + *c.dmax : std::string("DFLT")) + " " +
                     (c.dagl ? "DAGL " + *c.dagl : std::string("DFLT")) + " " + c.fourier + " " + c.print;
  for (const ControlText::Group& group : c.groups) text += " " + group.word + (group.values.empty() ? "" : " ") + joined(group.values);
  return text;
}

bool is_default_word(const std::vector<std::string>& values) {
  return values.empty() || (values.size() == 1 && recio::upper_case(values[0]) == "DFLT");
}

}  // namespace

std::span<const ControlWordInfo> control_words() { return kControlWords; }

ControlSetting parse_control_setting(std::string_view text) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0)
    throw Error("\"" + std::string(text) + "\" is not WORD=VALUE (or WORD:PHASE=VALUE), e.g. TORS=NOH");
  ControlSetting setting;
  std::string word = recio::upper_case(text.substr(0, equals));
  if (const std::size_t colon = word.find(':'); colon != std::string::npos) {
    const std::string phase = word.substr(colon + 1);
    if (phase.size() != 1 || phase[0] < '1' || phase[0] > '9')
      throw Error("\"" + std::string(text) + "\": the phase after the colon is a number from 1 to 9");
    setting.phase = phase[0] - '0';
    word.resize(colon);
  }
  if (word_info(word) == nullptr)
    throw Error("\"" + std::string(text) + "\": " + word + " is not a control word; the words are " + word_list());
  setting.word = word;
  setting.value = text.substr(equals + 1);
  return setting;
}

std::string apply_control_settings(std::string_view text, std::span<const ControlSetting> settings,
                                   std::string_view key) {
  ControlText controls = split_control_text(text);
  bool planes_replaced = false;
  for (const ControlSetting& setting : settings) {
    const std::vector<std::string> values = split_words(setting.value);
    const std::string& word = setting.word;
    const std::string shown = word + "=" + setting.value;
    for (const std::string& value : values)
      if (is_control_keyword(value))
        throw Error("The value of " + shown + " holds the control word " + recio::upper_case(value) +
                    "; give each word a --set of its own");
    if (word == "DMAX" || word == "DAGL" || word == "FOUR" || word == "PRNT") {
      if (values.size() > 1) throw Error(shown + ": " + word + " takes one value");
      const bool reset = is_default_word(values);
      if (word == "FOUR" || word == "PRNT") {
        const char* meant = word == "FOUR" ? "FORA" : "ONCR";
        if (!reset && recio::upper_case(values[0]) != meant)
          throw Error(shown + ": " + word + " is " + meant + " or DFLT");
        (word == "FOUR" ? controls.fourier : controls.print) = reset ? "DFLT" : meant;
      } else {
        (word == "DMAX" ? controls.dmax : controls.dagl) =
            reset ? std::nullopt : std::optional<std::string>(values[0]);
      }
      continue;
    }
    auto& groups = controls.groups;
    const auto same = [&](const ControlText::Group& g) { return g.word == word; };
    if (values.empty() || (word == "PLAN" && !planes_replaced)) {
      groups.erase(std::remove_if(groups.begin(), groups.end(), same), groups.end());
      planes_replaced = planes_replaced || word == "PLAN";
      if (values.empty()) continue;
    }
    const auto at = std::find_if(groups.begin(), groups.end(), same);
    if (word == "PLAN" || at == groups.end()) {
      groups.push_back({word, values});
    } else {
      at->values = values;
      groups.erase(std::remove_if(at + 1, groups.end(), same), groups.end());
    }
  }
  std::string result = control_text(controls);
  const PhaseControls read = parse_phase_controls(result, key);
  // The limits a run refuses for its phase, refused here before they are written.
  for (const ControlSetting& setting : settings) {
    const bool dmax = setting.word == "DMAX";
    if (!dmax && setting.word != "DAGL") continue;
    if (!(dmax ? read.dmax_given : read.dagl_given)) continue;
    const float limit = dmax ? read.dmax : read.dagl;
    if (!(std::isfinite(limit) && limit >= 0))
      throw Error(setting.word + " " + number(limit) + " of the control record \"" + std::string(key) +
                  "\" is negative or not finite");
    if (limit > kLongestSearchLimit)
      throw Error(setting.word + " " + number(limit) + " of the control record \"" + std::string(key) +
                  "\" is above " + number(kLongestSearchLimit) + " A, the longest limit vortan searches");
  }
  return result;
}

std::vector<std::string> control_settings_lines(std::string_view text, std::string_view key) {
  const PhaseControls controls = parse_phase_controls(text, key);
  const PhaseControls defaults;
  std::vector<std::string> lines;
  const auto row = [](std::string_view word, std::string_view value, std::string_view fallback,
                      std::string_view meaning) {
    return "   " + recio::pad(word, 4) + "  " + recio::pad(value, std::max<std::size_t>(value.size(), 22)) + "  " +
           recio::pad(fallback, 16) + "  " + std::string(meaning);
  };
  lines.push_back(row("Word", "Value", "Default", "Meaning"));
  for (const ControlWordInfo& info : kControlWords)
    lines.push_back(row(info.word, info.shown(controls), info.shown(defaults),
                        std::string(info.meaning) + " [" + info.values + "]"));
  return lines;
}

}  // namespace vesk
