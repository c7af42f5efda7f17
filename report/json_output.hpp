// The JSON results file (`vortan NAME --json`): everything a run computes,
// one document per run in stem + ".json", for scripts ("schema":
// "vortan-results/2"). Each quantity is {"value": v, "su": s, "text": t}:
// the value unrounded in double precision (a stored input as the shortest
// decimal that reads back as the stored number), su null when it has none
// (nothing it depends on was refined, or only a constraint fixes it), t the
// value(s.u.) as journals round it (report/journal_number.hpp); each atom
// is named by its label and its site code n_klm
// ("." for the atom itself) in the numbering of the phase's
// "symmetry_operators", which is the numbering of the publication CIF of
// the same run (report/site_numbering.hpp); the rows are the rows model's
// (report/rows.hpp). One function per group of keys; README.md gives the
// schema.
#pragma once
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crystal/phase.hpp"
#include "geometry/inorganic_analysis.hpp"
#include "geometry/molecule_analysis.hpp"
#include "report/rows.hpp"

namespace vesk {

using Json = nlohmann::ordered_json;

constexpr const char* kJsonSchema = "vortan-results/2";

// What a phase adds beyond its rows, copied while the phase is at hand (the
// next phase overwrites it).
struct JsonPhase {
  int phase = 0;
  Json cell;
  Json atoms;
  Json analyses;                 // rings, planes, plane_angles, rigid_bond
};

struct JsonResults {
  std::string experiment;        // stem without its folder
  std::vector<JsonPhase> phases;
};

// {"value": v, "su": s, "text": t}; su null when it is not above zero or
// not finite, the whole quantity null when the value is not finite.
Json json_quantity(double value, double su, const NumberStyle& style = kQuantityStyle);
// A value the experiment file stored (single precision): value and su as
// the shortest decimals that read back as them; su null when the input was
// not refined (0).
Json json_input(float value, float su);
// A row's value k, with the text every output gives it (row_value_text) and
// su null when it is constrained.
Json json_row_value(const Row& row, std::size_t k);
Json json_site(const RowSite& site);  // the site code, null when it cannot be written

Json json_cell(const PhaseDescription& phase);
Json json_atoms(const PhaseDescription& phase, const SiteNumbering& block);
Json json_symmetry_operators(const SiteNumbering& block);
// A phase's rows of one kind ("bonds", "angles", "torsions",
// "hydrogen_bonds"), from `first` on, at most `count` of them.
Json json_rows(const PhaseRows& rows, RowKind kind, std::size_t first = 0,
               std::size_t count = std::numeric_limits<std::size_t>::max());
// The key of a kind's rows in a phase's object.
const char* json_rows_key(RowKind kind);
// "rings", "planes", "plane_angles" and "rigid_bond" of one phase.
Json json_molecule_analysis(const MoleculeAnalysis& analysis, const SiteNumbering& block);

// "oxidation_states", "bond_valences", "polyhedra" and "checks" of one
// phase (with "oxidation_states_from" and "gii" beside them).
Json json_oxidation_states(const InorganicAnalysis& analysis, const SiteNumbering& block);
Json json_bond_valences(const InorganicAnalysis& analysis, const SiteNumbering& block);
Json json_polyhedra(const InorganicAnalysis& analysis, const SiteNumbering& block);
Json json_checks(const InorganicAnalysis& analysis, const SiteNumbering& block);

// The phase's part, taken while the phase is at hand; `block` is the
// numbering of its rows. The inorganic keys only for a phase that has them.
void collect_json_phase(JsonResults& results, const PhaseDescription& phase, const SiteNumbering& block,
                        const MoleculeAnalysis& analysis, const InorganicAnalysis* inorganic = nullptr);

// The whole document; each phase's rows from the rows of its number.
// Without `with_rows`, everything but the rows (the page asks for them by
// ranges, json_rows).
std::string json_text(const JsonResults& results, const RunRows& rows, bool with_rows = true);

// stem + ".json".
std::string json_file_name(const std::string& stem);
// Written to a temporary beside `file` and renamed over it; throws
// vesk::Error on failure.
void write_json_file(const JsonResults& results, const RunRows& rows, const std::string& file);

}  // namespace vesk
