// A displacement-ellipsoid drawing of one phase as a standalone SVG 1.1
// file: the molecules (or coordination shells) of geometry/molecules.hpp,
// anisotropic atoms as the outline of their 50% probability ellipsoid with
// its principal axes, isotropic atoms as circles of the same probability,
// hydrogen atoms as small circles, bonds and atoms painted from the back to
// the front, labels, and a scale bar of 1 A. An atom whose U is not
// positive definite is drawn as a cross and named in the summary.
#pragma once
#include <string>
#include <vector>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "geometry/molecules.hpp"
#include "report/rows.hpp"

namespace vesk {

// The direction the drawing looks along: a crystal direction [u v w] when
// given (VIEW a is [1 0 0]), else the normal of the least-squares plane
// through the drawn atoms, the direction that spreads them most.
struct DrawingView {
  bool given = false;
  Vec3 direction{};
};

struct PhaseDrawing {
  std::string file;
  std::string svg;                           // the whole file
  int atoms = 0;
  int bonds = 0;
  bool network = false;                      // coordination shells, not molecules
  std::string view;                          // what the view is along, for the listing
  std::vector<std::string> non_positive;     // labels of atoms drawn as crosses
  std::vector<std::string> symmetry_codes;   // "ii  -x,-y,-z": the marks of the images
};

std::string drawing_file_name(const std::string& stem, int phase);

// `drawn`: the phase's molecules as its geometry model completed them.
PhaseDrawing draw_phase(const PhaseDescription& phase, const DrawnStructure& drawn, const DrawingView& view,
                        const std::string& file);

// The same drawing as a model for the page, which projects it itself and
// turns it, as JSON text:
//   {"phase": 1, "network": false, "view": [x, y, z],
//    "atoms": [{"label": "C1", "site_code": ".", "element": "C", "xyz": [x, y, z],
//               "shape": "ellipsoid", "u": [U11, U22, U33, U12, U13, U23], "axes": [a, b, c]}],
//    "bonds": [[first, second, row, code]], "hydrogen_bonds": [[d, h, a, row]]}
// Cartesian Angstrom in the phase's frame (X along a, Y in the ab plane);
// "view" the screen's axes of the --svg drawing (x right, y up, z towards
// the viewer). An ellipsoid's "u" is its Cartesian U scaled to the 50 %
// surface and "axes" its semi-axes as vectors; "sphere", "hydrogen" and
// "peak" have a radius "r"; a "cross" is an atom whose U is not positive
// definite. Atoms are named by label and site code as the rows name them;
// a bond is [first, second, row, code]: its atoms, the row's first atom
// first, the index of its row of the phase's bonds and the row's site code
// of the second atom (row and code null when there is no row); a hydrogen
// bond is [D, H, A, row] with its row of the phase's hydrogen bonds, the
// atoms of a hydrogen bond the drawing lacks being added.
std::string drawing_model(const PhaseDescription& phase, const DrawnStructure& drawn, const DrawingView& view,
                          const PhaseRows& rows);

// The summary on the listing: file, counts, view, marks, crosses.
void write_drawing_summary(int listing_unit, const PhaseDrawing& drawing);

// Writes the file whole under a temporary name and renames it; throws
// vesk::Error naming the file when it cannot be written.
void write_drawing_file(const PhaseDrawing& drawing);

}  // namespace vesk
