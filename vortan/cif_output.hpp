// Publication CIF (`vortan NAME --cif`): the distances and angles of every
// processed phase as the core dictionary's geometry loops, beside the
// results file in stem + "_geom.cif". One data block per phase holds the
// symmetry operators, numbered in the order GENEQ generates them so that an
// operator code names one row, the bond loop and the angle loop, one row per
// results record in the same order, with the publication flags taken from
// the marks. Nothing here changes the listing or the results file except the
// notes of write_cif_notes, which only a --cif run writes.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "crystal/spacegroup.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/bond_graph.hpp"
#include "vortan/paper_cif.hpp"
#include "vortan/results_file.hpp"
#include "vortan/tables.hpp"

namespace vesk {

// One operator as GENEQ applies it: x' = R x + t / 12, the inversion and the
// centring vector already folded in. Translations are kept as computed, not
// reduced into [0, 1), so that the lattice translation of a neighbour is the
// one the listing and the results file show.
struct CifOperator {
  std::array<int, 9> r{};  // row by row
  std::array<int, 3> t{};  // twelfths
  int code = 0;            // operator code
};

// Every operator an operator code can name, in GENEQ's generation order:
// centring vectors outermost, then without and with the inversion, then the
// listed operators.
std::vector<CifOperator> generation_operators(const SpaceGroupInfo& group);
// The row (from 1) of an operator code in that list; 0 when the group has no
// such operator.
int symop_number(const SpaceGroupInfo& group, int code);
// The operator in the dictionary's xyz form, e.g. "-x+1/2,y,-z"; `shift` adds
// a lattice translation.
std::string operator_xyz(const CifOperator& op, const std::array<int, 3>& shift = {0, 0, 0});

// "n_klm" with k, l, m the translation plus 5; "." for the identity without
// translation; empty when a translation lies outside -4..4, which the form
// cannot hold.
std::string site_symmetry_code(int number, const std::array<int, 3>& n);

// value(s.u.) as the listing prints it, without blanks; a value whose s.u.
// rounds to no digit is written plain.
std::string cif_number(double value, float sigma, EsdKind kind);

// A CIF value: as it stands when it can be (and not `quoted`), else quoted.
std::string cif_value(const std::string& text, bool quoted = false);

// A neighbour site: the operator code and the lattice translation on top of it.
struct CifSite {
  int code = 1;
  std::array<int, 3> n{};
  std::string symmetry;    // site_symmetry_code; empty when it cannot be written
};

struct CifBond {
  int central = 0, neighbour = 0;  // atoms from 1
  std::string distance;
  float value = 0, sigma = 0;      // as the model holds them (the JSON results file)
  CifSite site;
  CifSite reverse;         // the central atom's image as the neighbour sees it; code 0: none
  bool published = false;  // either direction marked
  bool chemical = false;   // a chemical bond (the bond graph), not only a distance
};

struct CifAngle {
  int first = 0, central = 0, second = 0;
  std::string angle;
  double value = 0;
  float sigma = 0;
  CifSite site1, site3;
  bool published = false;
};

// Rows of the torsion and hydrogen-bond loops (vortan/cif_rows.hpp).
struct CifTorsion {
  std::array<int, 4> atoms{};        // from 1
  std::string angle;
  float value = 0, sigma = 0;
  std::array<CifSite, 4> sites;
  bool published = false;
};

struct CifHbond {
  int donor = 0, hydrogen = 0, acceptor = 0;
  std::string dh, ha, da, angle;
  std::array<float, 4> value{}, sigma{};  // D-H, H...A, D...A, the angle
  CifSite donor_site, hydrogen_site, acceptor_site;
  bool published = false;
};

struct CifBlock {
  int phase = 0;
  std::string title;       // the phase name
  std::string symbol;      // space group symbol
  SpaceGroupInfo group;    // the operations behind operator codes
  std::vector<CifOperator> operators;  // GENEQ's, for the sites written in full
  // The operator loop written, in its order: the paper's, or GENEQ's.
  std::vector<PaperSymop> symops;
  std::string paper;       // "FILE, data_BLOCK" when the numbering is the paper's
  OriginShift24 paper_shift{};  // the paper's origin, when cif2exp moved it
  std::vector<std::string> labels;   // per atom: the paper's, or as the listing shows them
  std::vector<Vec3> positions;       // per atom, fractional
  std::vector<CifBond> bonds;
  std::vector<CifAngle> angles;
  std::vector<CifTorsion> torsions;
  std::vector<CifHbond> hbonds;
  std::size_t notes_written = 0;     // sites already noted in the listing
  // Per atom: its coordinates rode on another atom's in the refinement.
  // Rows with such an atom are written without an s.u., as the refinement
  // printed them; the listing says so once.
  std::vector<bool> riding;
  int riding_rows = 0;
  bool riding_noted = false;
};

struct CifCollector {
  std::string name;        // stem without its folder: the data block names
  std::vector<CifBlock> blocks;
  std::optional<PaperCif> paper;  // numbering and labels of the paper's CIF
  // Labels of phase 1's atoms whose coordinates rode on a pivot atom in the
  // refinement (NAME.CIFSRC's riding lines).
  std::vector<std::string> riding;
};

// The value of a row with a riding atom, without an s.u.: distances to
// 0.001 A, angles to 0.1 degree (the riding atoms' coordinates are printed
// to a few digits and were constrained, not refined).
std::string constrained_number(double value, EsdKind kind);
// True when an atom of the block (from 1) rode on another in the refinement.
bool rides(const CifBlock& block, int atom);

// The site code of an image in the block's numbering: the operation that
// takes the atom from its own place to the image (translation included).
// Empty when the code cannot be written (translation beyond -4..4, or an
// operation outside the block's list).
std::string site_symmetry_code(const CifBlock& block, const SymmetryOperation& operation);
// The same for an operator code and lattice translation of the search.
std::string site_symmetry_code(const CifBlock& block, int code, const LatticeTranslation& n);

// The bond loop's rows: each bond once, from the atom that comes first.
std::vector<CifBond> written_bonds(const CifBlock& block);

// A label as CIF 1.1 can hold it: Latin letters with accents lose them;
// throws vesk::Error for other characters outside printable ASCII.
std::string cif_label(const std::string& label, int phase);

// stem + "_geom.cif".
std::string cif_file_name(const std::string& stem);

// A new block for the phase about to be searched; copies what the rows need,
// since the phase is overwritten by the next one. With the paper's CIF, its
// first block whose operators are the phase's group gives the numbering;
// throws vesk::Error when none is.
void start_cif_phase(CifCollector& cif, const PhaseDescription& phase);
// The site of an image reached by the operator `code` and the lattice
// translation `n`, in the block's numbering.
CifSite cif_site(const CifBlock& block, int code, const LatticeTranslation& n);

// One row per results record, with the mark the record gets.
void collect_bond(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                  const Bond& bond, float sigma);
void collect_angle(CifCollector& cif, const PhaseDescription& phase, const PublishLists& publish, int central,
                   const Bond& first, const Bond& second, double degrees, float sigma);

// The listing note of every site of the current block whose translation
// the n_klm form cannot hold (written once per site).
std::vector<std::string> cif_notes(CifCollector& cif);
void write_cif_notes(int listing_unit, CifCollector& cif);

std::string cif_text(const CifCollector& cif);
// Written to a temporary file beside `file` and renamed over it, so a
// failed run never leaves half a file; throws vesk::Error on failure.
void write_cif_file(const CifCollector& cif, const std::string& file);

}  // namespace vesk
