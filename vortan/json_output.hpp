// The JSON results file (`vortan NAME --json`): everything a run computes,
// one document per run in stem + ".json", for scripts. Each measured
// quantity is {"value": v, "su": s} with the unrounded values (su null when
// there is none); each atom is named by its label and its site code n_klm
// ("." for the atom itself) in the numbering of the phase's
// "symmetry_operators", which is the numbering of the publication CIF of
// the same run (the rows come from its collector, vortan/cif_output.hpp).
// One function per group of keys; README.md gives the schema.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crystal/phase.hpp"
#include "geometry/inorganic_analysis.hpp"
#include "geometry/molecule_analysis.hpp"
#include "vortan/cif_output.hpp"

namespace vesk {

using Json = nlohmann::ordered_json;

// What a phase adds beyond the rows of its CIF block, copied while the
// phase is at hand (the next phase overwrites it).
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

// {"value": v, "su": s}; su null when it is negative or not finite, the
// whole quantity null when the value is not finite.
Json json_quantity(double value, double su);
Json json_site(const CifSite& site);  // the site code, null when it cannot be written

Json json_cell(const PhaseDescription& phase);
Json json_atoms(const PhaseDescription& phase, const CifBlock& block);
Json json_symmetry_operators(const CifBlock& block);
Json json_bonds(const CifBlock& block);
Json json_angles(const CifBlock& block);
Json json_torsions(const CifBlock& block);
Json json_hydrogen_bonds(const CifBlock& block);
// "rings", "planes", "plane_angles" and "rigid_bond" of one phase.
Json json_molecule_analysis(const MoleculeAnalysis& analysis, const CifBlock& block);

// "oxidation_states", "bond_valences", "polyhedra" and "checks" of one
// phase (with "oxidation_states_from" and "gii" beside them).
Json json_oxidation_states(const InorganicAnalysis& analysis, const CifBlock& block);
Json json_bond_valences(const InorganicAnalysis& analysis, const CifBlock& block);
Json json_polyhedra(const InorganicAnalysis& analysis, const CifBlock& block);
Json json_checks(const InorganicAnalysis& analysis, const CifBlock& block);

// The phase's part, taken while the phase is at hand; `block` is the CIF
// block just started for it. The inorganic keys only for a phase that has
// them.
void collect_json_phase(JsonResults& results, const PhaseDescription& phase, const CifBlock& block,
                        const MoleculeAnalysis& analysis, const InorganicAnalysis* inorganic = nullptr);

// The whole document; each phase's rows from the CIF block of its number.
std::string json_text(const JsonResults& results, const CifCollector& cif);

// stem + ".json".
std::string json_file_name(const std::string& stem);
// Written to a temporary beside `file` and renamed over it; throws
// vesk::Error on failure.
void write_json_file(const JsonResults& results, const CifCollector& cif, const std::string& file);

}  // namespace vesk
