#include "geometry/coordinate_blocks.hpp"

namespace vesk {

namespace {

// Positions 0 (not refined) have no covariance; no covariance file neither.
float covariance_of(const ParameterCovariance& covariance, int p, int q) {
  return covariance && p != 0 && q != 0 ? static_cast<float>(covariance(p, q)) : 0.0f;
}

}  // namespace

CoordinateBlock coordinate_block(const ParameterCovariance& covariance, const std::array<int, 3>& first,
                                 const std::array<int, 3>& second) {
  CoordinateBlock block{};
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t s = 0; s < 3; ++s) block[3 * r + s] = covariance_of(covariance, first[r], second[s]);
  return block;
}

void OwnBlocks::reset(std::size_t atoms) {
  blocks.assign(atoms, CoordinateBlock{});
  ready.assign(atoms, false);
}

const CoordinateBlock& OwnBlocks::of(const ParameterCovariance& covariance, int atom,
                                     const std::array<int, 3>& positions) {
  const auto k = static_cast<std::size_t>(atom - 1);
  if (!ready[k]) {
    // The covariance is symmetric in its arguments: the lower triangle is a copy.
    CoordinateBlock& block = blocks[k];
    for (std::size_t r = 0; r < 3; ++r)
      for (std::size_t s = r; s < 3; ++s) {
        block[3 * r + s] = covariance_of(covariance, positions[r], positions[s]);
        block[3 * s + r] = block[3 * r + s];
      }
    ready[k] = true;
  }
  return blocks[k];
}

}  // namespace vesk
