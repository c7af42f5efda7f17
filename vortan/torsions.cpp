#include "vortan/torsions.hpp"

#include <cmath>

namespace vesk {

namespace {

// Two images closer than this (Angstrom) are one place.
constexpr double kSamePlace = 1.0E-3;

bool same_place(const ImagePoint& p, const ImagePoint& q) {
  const double dx = p.cart[0] - q.cart[0], dy = p.cart[1] - q.cart[1], dz = p.cart[2] - q.cart[2];
  return dx * dx + dy * dy + dz * dz < kSamePlace * kSamePlace;
}

const AtomSite& atom_of(const GeometryContext& context, int atom) {
  return context.phase->atoms[static_cast<std::size_t>(atom - 1)];
}

// A middle bond from atom b to an image of itself: kept unless an earlier
// bond of b goes through the inverse operation (the same bond seen from the
// other end).
bool first_of_inverse_pair(const GeometryContext& context, int b, std::size_t index) {
  const std::vector<Bond>& bonds = context.bonds->bonds_of(b);
  const SpaceGroupInfo& group = context.phase->group;
  const SymmetryOperation op = bond_operation(group, bonds[index]);
  const Vec3& own = atom_of(context, b).x;
  for (std::size_t k = 0; k < index; ++k) {
    if (bonds[k].atom != b) continue;
    const Vec3d back = image_of(compose(op, bond_operation(group, bonds[k])), own);
    const ImagePoint p = image_point(context.frame, b, own, SymmetryOperation{}, {});
    ImagePoint q = p;
    q.cart = cartesian(context.frame, back);
    if (same_place(p, q)) return false;
  }
  return true;
}

}  // namespace

NamedImage named_image(const GeometryContext& context, int atom, const SymmetryOperation& op) {
  const AtomSite& site = atom_of(context, atom);
  NamedImage image;
  image.point = image_point(context.frame, atom, site.x, op, site.x_position);
  image.name = image_name(context.phase->group, site.x, image.point.x).value_or(ImageName{});
  return image;
}

NamedImage bonded_image(const GeometryContext& context, const Bond& bond) {
  const AtomSite& site = atom_of(context, bond.atom);
  NamedImage image;
  image.point = image_point(context.frame, bond.atom, site.x, bond_operation(context.phase->group, bond),
                            site.x_position);
  image.name = ImageName{bond.code, bond.n};
  return image;
}

std::vector<TorsionAngle> find_torsions(const GeometryContext& context) {
  std::vector<TorsionAngle> torsions;
  const PhaseDescription& phase = *context.phase;
  const int atoms = static_cast<int>(phase.atoms.size());
  std::vector<NamedImage> around_b, around_c;
  for (int b = 1; b <= atoms; ++b) {
    const std::vector<Bond>& bonds_b = context.bonds->bonds_of(b);
    const NamedImage pb = bonded_image(context, Bond{b, 1, {0, 0, 0}, atom_of(context, b).x, 0});
    around_b.clear();
    for (const Bond& bond : bonds_b) around_b.push_back(bonded_image(context, bond));
    for (std::size_t ic = 0; ic < bonds_b.size(); ++ic) {
      const Bond& middle = bonds_b[ic];
      if (middle.atom < b || (middle.atom == b && !first_of_inverse_pair(context, b, ic))) continue;
      const NamedImage& pc = around_b[ic];
      around_c.clear();
      for (const Bond& last : context.bonds->bonds_of(middle.atom)) {
        NamedImage pd = named_image(context, last.atom, compose(pc.point.op, bond_operation(phase.group, last)));
        if (!same_place(pd.point, pb.point)) around_c.push_back(pd);
      }
      for (std::size_t ia = 0; ia < around_b.size(); ++ia) {
        const NamedImage& pa = around_b[ia];
        if (ia == ic || same_place(pa.point, pc.point)) continue;
        for (const NamedImage& pd : around_c) {
          if (same_place(pd.point, pa.point)) continue;
          const Measure m = measure_torsion(pa.point, pb.point, pc.point, pd.point);
          if (!m.defined) continue;
          TorsionAngle t;
          t.atoms = {pa, pb, pc, pd};
          t.degrees = static_cast<float>(m.value * kDegreesPerRadian);
          const std::vector<ImagePoint> points{pa.point, pb.point, pc.point, pd.point};
          t.sigma = static_cast<float>(
              kDegreesPerRadian * propagated_sigma(context.frame, points, m, context.cell, context.covariance));
          torsions.push_back(t);
        }
      }
    }
  }
  return torsions;
}

}  // namespace vesk
