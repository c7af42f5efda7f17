#include "crystal/peak_check.hpp"

#include "crystal/equivalent_positions.hpp"

namespace vesk {

PeakCheck PEAKCHK(const Vec3& peak, const PhaseDescription& phase) {
  PeakCheck result;
  if (phase.types.empty()) return result;
  EquivalentPositions images;
  GENEQ(peak, phase.group, GeneqMode::Distinct, images);
  for (auto& image : images) image.x = FRAC01(image.x);
  const float peak_radius = phase.types[phase.types.size() - 1].peak_radius;
  for (std::size_t j = 0; j < phase.atoms.size(); ++j) {
    const AtomSite& atom = phase.atoms[j];
    const float type_radius =
        atom.type >= 1 && static_cast<std::size_t>(atom.type) <= phase.types.size()
            ? phase.types[static_cast<std::size_t>(atom.type - 1)].peak_radius
            : 0.0f;
    const float threshold = type_radius + peak_radius;
    const Vec3 site = FRAC01(atom.x);
    for (const auto& image : images)
      for (int t1 = -1; t1 <= 1; ++t1)
        for (int t2 = -1; t2 <= 1; ++t2)
          for (int t3 = -1; t3 <= 1; ++t3) {
            const Vec3 t{static_cast<float>(t1), static_cast<float>(t2), static_cast<float>(t3)};
            const float d = CARTDIST(site, image.x, phase.orthogonal, t);
            if (d < threshold) {
              result.accepted = false;
              result.atom = static_cast<int>(j) + 1;
              result.distance = d;
              return result;
            }
          }
  }
  return result;
}

}  // namespace vesk
