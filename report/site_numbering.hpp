// How every output names a phase's atoms and their images: each atom by its
// label (the paper's when NAME.CIFSRC gives them), each image by its site
// code n_klm, the operator's number in the phase's operator list and the
// lattice translation plus 5. The list is the paper's operator loop when a
// paper's CIF is at hand (report/paper_cif.hpp), else the operators in the
// order GENEQ generates them, so that an operator code names one row.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/spacegroup.hpp"
#include "crystal/symmetry_operation.hpp"
#include "report/paper_cif.hpp"

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

// The names of one phase, copied when the phase is read (the next phase
// overwrites it).
struct SiteNumbering {
  int phase = 0;
  std::string title;       // the phase name
  std::string symbol;      // space group symbol
  SpaceGroupInfo group;    // the operations behind operator codes
  std::vector<CifOperator> operators;  // GENEQ's, for the sites written in full
  // The operator list of the site codes, in its order: the paper's, or GENEQ's.
  std::vector<PaperSymop> symops;
  std::string paper;       // "FILE, data_BLOCK" when the numbering is the paper's
  std::string paper_file;  // the paper's file and block then
  std::string paper_block;
  OriginShift24 paper_shift{};  // the paper's origin, when cif2exp moved it
  std::vector<std::string> labels;  // per atom: the paper's, or as the listing shows them

  const std::string& label(int atom) const { return labels[static_cast<std::size_t>(atom - 1)]; }
};

// The numbering of a phase. With the paper's CIF, its first block whose
// operators are the phase's group gives it; throws vesk::Error when none is
// (unless the paper is the CIF NAME.CIFSRC names, which has changed since
// the conversion: then vortan's own list, with a message), and for labels a
// CIF cannot hold or that read alike in one.
SiteNumbering number_sites(const PhaseDescription& phase, const std::optional<PaperCif>& paper);

// The site code of an image in the phase's numbering: the operation that
// takes the atom from its own place to the image (translation included).
// Empty when the code cannot be written (translation beyond -4..4, or an
// operation outside the list).
std::string site_symmetry_code(const SiteNumbering& numbering, const SymmetryOperation& operation);
// The same for an operator code and lattice translation of the search.
std::string site_symmetry_code(const SiteNumbering& numbering, int code, const LatticeTranslation& n);

// A label as CIF 1.1 can hold it: Latin letters with accents lose them;
// throws vesk::Error for other characters outside printable ASCII.
std::string cif_label(const std::string& label, int phase);

// Printable ASCII, for comments and messages: anything else becomes "?".
std::string ascii_text(const std::string& text);

}  // namespace vesk
