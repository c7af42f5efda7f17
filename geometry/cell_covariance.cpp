#include "geometry/cell_covariance.hpp"

#include "crystal/spacegroup.hpp"

namespace vesk {

CellCovariance cell_covariance(PhaseDescription& phase) {
  CellCovariance cell;
  const int laue = phase.group.laue;
  Vec3& abc = phase.abc_sigma;
  Vec3& cosines = phase.cosine_sigma;
  // Angles the Laue class holds at 90 degrees are no parameters: an s.u.
  // a CIF prints for them would only widen every s.u. (the monoclinic
  // angles beside the unique axis, every angle of an orthorhombic,
  // tetragonal or cubic cell).
  if (laue == kLaue2OverM && phase.group.unique_axis >= 1 && phase.group.unique_axis <= 3) {
    for (int k = 0; k < 3; ++k)
      if (k != phase.group.unique_axis - 1) cosines[static_cast<std::size_t>(k)] = 0;
  } else if (laue == kLaueMmm || laue == kLaue4OverM || laue == kLaue4OverMmm || laue == kLaueM3bar ||
             laue == kLaueM3barM) {
    cosines = {0, 0, 0};
  }
  if (laue > kLaueMmm) {  // a = b from the tetragonal classes on
    abc[1] = abc[0];
    cell.at(1, 2) = abc[0] * abc[0];
    const bool rhombohedral = laue == kLaue3barRhombohedral || laue == kLaue3barMRhombohedral;
    if (rhombohedral || laue == kLaueM3bar || laue == kLaueM3barM) {
      // a = b = c is one parameter: with c left free, distances that the
      // symmetry makes equal would get different standard deviations.
      abc[2] = abc[0];
      cell.at(1, 3) = abc[0] * abc[0];
      cell.at(2, 3) = abc[0] * abc[0];
    }
    if (rhombohedral) {
      // Rhombohedral axes: one angle, refined as one parameter.
      cosines[1] = cosines[0];
      cosines[2] = cosines[0];
      const float tie = cosines[0] * cosines[0];
      cell.at(4, 5) = tie;
      cell.at(4, 6) = tie;
      cell.at(5, 6) = tie;
    } else if (hexagonal_axes(laue)) {
      // Hexagonal axes: the angles are fixed by symmetry.
      cosines = {0, 0, 0};
    }
  }
  for (int r = 1; r <= 3; ++r) cell.at(r, r) = abc[r - 1] * abc[r - 1];
  for (int r = 4; r <= 6; ++r) cell.at(r, r) = cosines[r - 4] * cosines[r - 4];
  for (int r = 1; r <= 6; ++r)
    for (int s = r + 1; s <= 6; ++s) cell.at(s, r) = cell.at(r, s);
  return cell;
}

CellCovariance6 in_double(const CellCovariance& cell) {
  CellCovariance6 out{};
  for (int r = 1; r <= 6; ++r)
    for (int s = 1; s <= 6; ++s) out[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(s - 1)] = cell.at(r, s);
  return out;
}

}  // namespace vesk
