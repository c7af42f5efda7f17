// The neighbour search through a grid of bins over the unit cell. The
// equivalent positions of every atom are generated once per phase and binned
// by their position reduced into the cell; a central atom then looks only at
// the bins (and their lattice translations) that can hold an image within its
// longest search limit. Every candidate is decided with the same single-
// precision distance as the plain loop nest, inside the same translation
// window, and the accepted ones are handed on in the plain search order
// (neighbour atom, equivalent position in generation order, nx, ny, nz), so
// the listing does not change by a byte.
#pragma once
#include <array>
#include <functional>
#include <vector>

#include "crystal/phase.hpp"
#include "geometry/neighbour_search.hpp"

namespace vesk {

struct ImageGrid {
  // An image as the exact test reads it.
  struct Binned {
    Vec3 x{};                     // as GENEQ gave it, not reduced
    std::array<int, 3> offset{};  // x = reduced position + offset
    int type = 0;                 // the atom's type index
    int image = 0;                // index into `images`
  };
  struct Image {
    int atom = 0;                 // from 1
    int code = 0;                 // operator code
  };

  std::array<int, 3> bins{1, 1, 1};
  std::vector<int> first;       // first entry of each bin in `binned`, one more at the end
  std::vector<Binned> binned;
  // Cartesian position (A) of each binned image reduced into the cell, one
  // array per axis, for the coarse test.
  std::array<std::vector<float>, 3> cart;
  std::vector<Image> images;    // in search order: atom, then generation order
  std::array<double, 3> reach{};  // cell edges per A along each axis (reciprocal lengths)
  std::array<double, 6> upper{};  // Cartesian = U x fractional: U11 U12 U13 U22 U23 U33
  bool metric_usable = false;   // false: every candidate goes to the exact test
  double fraction_slack = 0;    // cell edges added to every reach
  double length_slack = 0;      // A added to every coarse limit
  int type_count = 0;
  std::vector<PairLimits> pair;         // (ti - 1) * type_count + (tj - 1)
  std::vector<std::array<float, 3>> inner;  // per pair: limit x reach, a little short
  std::vector<float> central_limit;     // longest search limit of a central type
};

// Generates and bins the images of every atom of the phase for the limits of
// `controls`. Throws vesk::Error for an atom with a type outside the list or
// more than 5000 x 192 images.
void build_image_grid(ImageGrid& grid, const PhaseDescription& phase, const SearchControls& controls);

// search_neighbours through the grid: the same distances, in the same order,
// with the same arguments. The grid must have been built for this phase and
// these controls.
void search_image_grid(const ImageGrid& grid, const PhaseDescription& phase, int i,
                       const std::function<void(const FoundDistance&)>& found);

// Calls `found` for every accepted distance of central atom i (from 1), in
// search order, through a grid built for this one search (the per-atom work
// keeps one grid for the whole phase). A central atom whose type has a
// negative bond radius gets none.
void search_neighbours(const PhaseDescription& phase, int i, const SearchControls& controls,
                       const std::function<void(const FoundDistance&)>& found);

}  // namespace vesk
