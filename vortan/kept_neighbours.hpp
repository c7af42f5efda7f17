// The neighbours of one central atom kept for its bond angles: the 25
// nearest within the angle limit, in search order, each with what its angles
// need again (the exact image, the derivatives of its distance, its
// covariance with the central atom).
#pragma once
#include <array>
#include <string>

#include "crystal/bounded_list.hpp"
#include "crystal/metric.hpp"
#include "vortan/coordinate_blocks.hpp"
#include "vortan/work_covariance.hpp"

namespace vesk {

constexpr std::size_t kMaxKeptNeighbours = 25;

struct NeighbourEntry {
  std::string location = std::string(10, ' ');  // "(I4,3I2)" of code, nx, ny, nz
  short code16 = 0;
  int code = 0;              // operator code
  short cell_code = 555;
  std::array<int, 3> n{};    // lattice translation
  Vec3 x{};                  // fractional, not reduced into the cell
  Vec3d image{};             // the same, placed exactly by its operation
  float d = 0;
  DistanceDerivatives derivatives{};
  std::array<int, 3> positions{};  // covariance positions of the atom's x, y, z
  CoordinateBlock with_central{};  // covariance of the central atom's coordinates with these
  int atom = 0;              // from 1
};

using KeptNeighbours = BoundedList<NeighbourEntry, kMaxKeptNeighbours>;

}  // namespace vesk
