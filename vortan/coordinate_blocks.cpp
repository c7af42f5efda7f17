#include "vortan/coordinate_blocks.hpp"

#include "expfile/covariance.hpp"
#include "vortan/work_covariance.hpp"

namespace vesk {

CoordinateBlock coordinate_block(const CovarianceData& covariance, const std::array<int, 3>& first,
                                 const std::array<int, 3>& second) {
  CoordinateBlock block{};
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t s = 0; s < 3; ++s) block[3 * r + s] = COVEL(covariance, first[r], second[s]);
  return block;
}

void OwnBlocks::reset(std::size_t atoms) {
  blocks.assign(atoms, CoordinateBlock{});
  ready.assign(atoms, false);
}

const CoordinateBlock& OwnBlocks::of(const CovarianceData& covariance, int atom,
                                     const std::array<int, 3>& positions) {
  const auto k = static_cast<std::size_t>(atom - 1);
  if (!ready[k]) {
    // COVEL is symmetric in its arguments: the lower triangle is a copy.
    CoordinateBlock& block = blocks[k];
    for (std::size_t r = 0; r < 3; ++r)
      for (std::size_t s = r; s < 3; ++s) {
        block[3 * r + s] = COVEL(covariance, positions[r], positions[s]);
        block[3 * s + r] = block[3 * r + s];
      }
    ready[k] = true;
  }
  return blocks[k];
}

void put_block(WorkCovariance& work, int row, int column, const CoordinateBlock& block) {
  for (int r = 0; r < 3; ++r)
    for (int s = 0; s < 3; ++s) {
      const float value = block[static_cast<std::size_t>(3 * r + s)];
      work.at(row + r, column + s) = value;
      work.at(column + s, row + r) = value;
    }
}

}  // namespace vesk
