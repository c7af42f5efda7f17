// Covariance of the coordinates of two atoms as a 3 x 3 block, from the
// covariance of their refined parameters. The covariance of a distance, an
// angle or a torsion angle is put together from such blocks: each atom's
// own block is computed once per phase, the block of a central atom with a
// neighbour once per distance and reused for every angle at that neighbour.
#pragma once
#include <array>
#include <functional>
#include <vector>

namespace vesk {

// Covariance of two refined parameters given by covariance positions
// (0 = not refined): COVEL of the run's covariance file. Empty: no
// covariance file, every coordinate exact.
using ParameterCovariance = std::function<double(int, int)>;

// (r, s) at 3 r + s: r a coordinate of the first atom, s of the second.
using CoordinateBlock = std::array<float, 9>;

CoordinateBlock coordinate_block(const ParameterCovariance& covariance, const std::array<int, 3>& first,
                                 const std::array<int, 3>& second);

// Each atom's own block, computed when first asked for.
struct OwnBlocks {
  std::vector<CoordinateBlock> blocks;
  std::vector<bool> ready;
  void reset(std::size_t atoms);
  // atom from 1; positions are its covariance positions.
  const CoordinateBlock& of(const ParameterCovariance& covariance, int atom, const std::array<int, 3>& positions);
};

}  // namespace vesk
