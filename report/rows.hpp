// The rows a user sees and marks, one model for every output that shows
// them: the geometry loops of the publication CIF, the "bonds", "angles",
// "torsions" and "hydrogen_bonds" of NAME.json, the page and --mark. Built
// once per phase from its geometry model and the marks the run read
// (build_phase_rows); afterwards only a row's `marked` changes (mark_row).
//
// Per phase and kind the rows come in the order of the records of the marks
// files: a bond once, from the atom that comes first (its two records, one
// from each end, are one row), each angle, torsion angle and hydrogen bond
// as its record. A row names its atoms by label and site code in the
// phase's numbering (report/site_numbering.hpp), as NAME.json shows them.
//
// Every row of the marks files is a row here (NAME.json and the page show
// them all); `in_paper` says which of them the publication CIF holds. Its
// values are the double-precision measures of the geometry (the same
// number wherever a quantity is shown), each with whether only a
// constraint fixes its uncertainty (`constrained`: an atom it is measured
// over rode on another in the refinement, NAME.CIFSRC's riding lines).
#pragma once
#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/phase_geometry.hpp"
#include "marks/row_marks.hpp"
#include "marks/run_marks.hpp"
#include "report/journal_number.hpp"
#include "report/paper_cif.hpp"
#include "report/site_numbering.hpp"
#include "report/tables.hpp"

namespace vesk {

constexpr std::size_t kMostRowAtoms = 4;   // a torsion angle's
constexpr std::size_t kMostRowValues = 4;  // a hydrogen bond's

// An atom of a row where the row has it.
struct RowSite {
  int atom = 0;           // from 1
  ImageName image{1, {}}; // operator code and lattice translation of the search
  std::string code;       // n_klm in the numbering; "." in its own place; empty when the form cannot hold it
};

// A value with its s.u. as the geometry model holds them; an s.u. that is
// negative or not finite is none. A constrained value is shown without its
// s.u.: one of its atoms rode on another in the refinement, so that its
// uncertainty comes from that constraint alone. With a full covariance the
// riding atom's coordinates are its pivot's, and the propagated s.u. is the
// pivot's; it is not shown either way.
struct RowValue {
  double value = 0;
  float su = 0;
  bool constrained = false;
};

struct Row {
  RowKind kind = RowKind::bond;
  std::array<RowSite, kMostRowAtoms> sites;     // the kind's atoms, in NAME.json's order
  std::array<RowValue, kMostRowValues> values;  // the kind's values (RowValueKind)
  // A bond's first atom as the search from its second atom names it, which
  // names the bond's record from that end; code 0 when there is none.
  ImageName reverse{0, {}};
  // A bond of the bond graph, not only a distance; for an angle, both its
  // legs are.
  bool chemical = false;
  bool marked = false;    // marked for publication in the marks files
  // Two of its atoms belong to different disorder groups (neither 0):
  // alternatives that are never there together.
  bool crosses_disorder = false;
  // A torsion angle of a chain with hydrogen (H or D) that the publication
  // CIF leaves out unless marked: every such chain but with TORS ALL.
  bool hydrogen_chain = false;
  bool constrained() const;  // some value is constrained
};

// The publication CIF's choice, as papers publish them: the chemical bonds
// (a marked distance that is no bond goes to the contacts), the angles
// whose two legs are bonds, the torsion angles of chains without hydrogen
// (all with TORS ALL), the hydrogen bonds, and any other row that is marked; never
// a row across two disorder groups.
bool in_paper(const Row& row);

// The values of a row of each kind: their names in NAME.json and how
// value(s.u.) rounds them.
struct RowValueKind {
  const char* name;
  EsdKind esd;
};
struct RowKindValues {
  std::size_t count;
  std::array<RowValueKind, kMostRowValues> values;
};
// bond: distance; angle and torsion: angle; hbond: D-H, H...A, D...A, D-H...A.
const RowKindValues& row_values(RowKind kind);

// A row's value k as every output but the listing writes it: value(s.u.)
// as journals round it, the value alone when it is constrained or has no
// s.u. (report/journal_number.hpp).
std::string row_value_text(const Row& row, std::size_t k);

// Where the s.u.'s of a run come from: the covariance file's matrix with
// its correlations, one with variances alone (cif2exp's from a CIF's
// s.u.'s), or none (the cell's s.u.'s alone).
enum class CovarianceSource { full, diagonal, none };
// "full", "diagonal from the CIF's s.u.'s", "none: s.u.'s from the cell alone".
const char* covariance_name(CovarianceSource source);

struct PhaseRows {
  SiteNumbering numbering;  // the phase's labels and operators, its number, name and group
  std::array<std::vector<Row>, kRowKinds> by_kind;
  // [atom - 1]: the atom rode on a pivot atom in the refinement; empty when
  // none did.
  std::vector<bool> riding;
  // [atom - 1]: the atom's disorder group, 0 for none; empty when none.
  std::vector<int> disorder_groups;

  int phase() const { return numbering.phase; }
  std::vector<Row>& of(RowKind kind) { return by_kind[static_cast<std::size_t>(kind)]; }
  const std::vector<Row>& of(RowKind kind) const { return by_kind[static_cast<std::size_t>(kind)]; }
};

struct RunRows {
  std::string name;               // the experiment's stem without its folder
  CovarianceSource covariance = CovarianceSource::none;
  std::optional<PaperCif> paper;  // numbering and labels of the paper's CIF
  std::vector<PhaseRows> phases;  // in the order the run computed them
};

// A phase's rows, none yet, numbered as number_sites numbers them (which
// throws for a paper that does not fit); before the phase is computed,
// since PLAN names its atoms in this numbering.
PhaseRows& start_phase_rows(RunRows& rows, const PhaseDescription& phase);

// Every row of the phase's geometry model, marked as the run read the marks,
// with the disorder groups the geometry was computed with; `riding` as
// PhaseRows::riding. Values in double precision from the same measures as
// the geometry's.
void build_phase_rows(PhaseRows& rows, const PhaseDescription& phase, const PhaseGeometry& geometry,
                      const RunMarks& marks, const std::vector<bool>& riding = {});

// Adds a phase's rows one at a time, as build_phase_rows does, each marked
// as the run read the marks and flagged by the rows' riding atoms and
// disorder groups.
struct RowBuilder {
  PhaseRows& rows;
  const PhaseDescription& phase;
  const RunMarks& marks;
  // Every bond record handed in, by its central atom, neighbour, operator
  // code and translation: the record from the other end adds no row.
  std::set<std::tuple<int, int, int, LatticeTranslation>> bond_records{};
  // TORS ALL: the torsion angles of chains with hydrogen go into the paper too.
  bool hydrogen_torsions = false;
};
void add_bond_row(RowBuilder& builder, int central, const Bond& bond, double distance, float sigma, bool chemical);
// `chemical`: both legs are bonds of the bond graph.
void add_angle_row(RowBuilder& builder, int central, const Bond& first, const Bond& second, double degrees,
                   float sigma, bool chemical = false);
void add_torsion_row(RowBuilder& builder, const TorsionAtoms& atoms, double degrees, float sigma);
// `values`: D-H, H...A, D...A and D-H...A in double precision; the hydrogen
// bond's own (single precision) when not given.
void add_hbond_row(RowBuilder& builder, const HydrogenBond& hbond, const std::array<double, 4>* values = nullptr);

// The records of the marks files that carry a row's mark, the one from the
// row's first atom first.
std::vector<RecordKey> row_records(int phase, const Row& row);

// A row's name as the page and --mark give it; a site code the n_klm form
// cannot hold is "?".
RowIdentity row_identity(const PhaseRows& rows, const Row& row);

// Finds rows by identity without going through every row again: an index
// per phase and kind, made at its first use (the rows never change but for
// their marks).
struct RowFinder;
std::shared_ptr<RowFinder> new_row_finder();

struct FoundRow {
  PhaseRows* phase = nullptr;
  Row* row = nullptr;
};
// The one row of the identity; throws UnknownRow when there is none and
// AmbiguousRow when it names rows of several phases (or several rows of
// one), vesk::Error for an identity of no kind or of the wrong counts.
FoundRow find_row(RunRows& rows, const RowIdentity& identity, RowFinder* finder = nullptr);

// Sets (publish) or clears the mark of the row in the marks files
// (set_row_mark) and in the model, so that the outputs written after show
// it; returns whether the file changed. Throws as find_row and set_row_mark
// do, leaving the row as it was.
bool mark_row(RunRows& rows, const MarksFiles& files, const RowIdentity& identity, bool publish,
              RowFinder* finder = nullptr);

// A change of the marks of rows of one phase and kind, as mark_rows made
// it: the rows whose mark changed and their records' column 1 before and
// after, what an undo puts back.
struct RowMarksChange {
  int phase = 0;
  RowKind kind = RowKind::bond;
  bool publish = true;
  std::vector<std::size_t> rows;    // indices into the phase's rows of the kind
  std::vector<MarkChange> records;  // as set_row_marks returns them
};

// Sets (publish) or clears the marks of the rows `indices` of the phase's
// rows of `kind` with one replace of their marks file (set_row_marks), and
// in the model. Throws as set_row_marks does (vesk::Error for an index past
// the rows), rows and file left as they were.
RowMarksChange mark_rows(PhaseRows& rows, RowKind kind, std::span<const std::size_t> indices,
                         const MarksFiles& files, bool publish);

// Undoes a change of mark_rows (or, `undo` false, makes it again): the
// records' column 1 through put_back_marks, so that the file is byte for
// byte what it was, and the rows' marks in the model. Throws as
// put_back_marks does, rows and file left as they were.
void undo_mark_rows(PhaseRows& rows, const RowMarksChange& change, const MarksFiles& files, bool undo);

}  // namespace vesk
