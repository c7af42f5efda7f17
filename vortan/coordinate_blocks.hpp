// Covariance of the coordinates of two atoms as a 3 x 3 block, from COVEL of
// their covariance positions. The work covariance of a distance or an angle
// is put together from such blocks: each atom's own block is computed once
// per phase, the block of the central atom with a neighbour once per
// distance, and both are reused for every angle at that neighbour.
#pragma once
#include <array>
#include <vector>

namespace vesk {

struct CovarianceData;
struct WorkCovariance;

// (r, s) at 3 r + s: r a coordinate of the first atom, s of the second.
using CoordinateBlock = std::array<float, 9>;

CoordinateBlock coordinate_block(const CovarianceData& covariance, const std::array<int, 3>& first,
                                 const std::array<int, 3>& second);

// Each atom's own block, computed when first asked for.
struct OwnBlocks {
  std::vector<CoordinateBlock> blocks;
  std::vector<bool> ready;
  void reset(std::size_t atoms);
  // atom from 1; positions are its covariance positions.
  const CoordinateBlock& of(const CovarianceData& covariance, int atom, const std::array<int, 3>& positions);
};

// The block at rows row..row+2 and columns column..column+2 (from 1) of the
// work covariance, and its transpose mirrored across the diagonal.
void put_block(WorkCovariance& work, int row, int column, const CoordinateBlock& block);

}  // namespace vesk
