#include "tests/support/reference_search.hpp"

#include "crystal/equivalent_positions.hpp"
#include "geometry/neighbour_search.hpp"

namespace testing_support {

using namespace vesk;

void reference_search(const PhaseDescription& phase, int i, const SearchControls& controls,
                      const std::function<void(const FoundDistance&)>& found) {
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  if (phase.types[static_cast<std::size_t>(central.type - 1)].bond_radius < 0) return;
  const Vec3 xi = central.x;
  EquivalentPositions images;
  for (std::size_t j = 1; j <= phase.atoms.size(); ++j) {
    const AtomSite& neighbour = phase.atoms[j - 1];
    images.clear();
    GENEQ(neighbour.x, phase.group, GeneqMode::Distinct, images);
    FoundDistance hit;
    hit.atom = static_cast<int>(j);
    hit.limits = pair_limits(phase, controls, central.type, neighbour.type);
    const float limit = hit.limits.search();
    for (const EquivalentPosition& image : images) {
      const TranslationWindow window = translation_window(phase, xi, image.x, limit);
      hit.code = image.code;
      for (int nx = window.low[0]; nx <= window.high[0]; ++nx)
        for (int ny = window.low[1]; ny <= window.high[1]; ++ny)
          for (int nz = window.low[2]; nz <= window.high[2]; ++nz) {
            hit.n = {nx, ny, nz};
            hit.x = {image.x[0] + static_cast<float>(nx), image.x[1] + static_cast<float>(ny),
                     image.x[2] + static_cast<float>(nz)};
            hit.vec = cell_vector(phase, xi, hit.x);
            if (hit.vec.d >= 1.0E-4f && hit.vec.d <= limit) found(hit);
          }
    }
  }
}

}  // namespace testing_support
