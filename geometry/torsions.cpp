#include "geometry/torsions.hpp"

#include <cmath>

#include "crystal/equivalent_positions.hpp"

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

NamedImage bonded_image(const GeometryContext& context, const Bond& bond) {
  const AtomSite& site = atom_of(context, bond.atom);
  NamedImage image;
  image.point = image_point(context.frame, bond.atom, site.x, bond_operation(context.phase->group, bond),
                            site.x_position);
  image.name = ImageName{bond.code, bond.n};
  return image;
}

CoordinateBlock pair_block(const GeometryContext& context, const NamedImage& rows, const NamedImage& columns) {
  return coordinate_block(context.covariance, rows.point.positions, columns.point.positions);
}

const CoordinateBlock& own_block(const GeometryContext& context, const NamedImage& image) {
  return context.own_blocks->of(context.covariance, image.point.atom, image.point.positions);
}

namespace {

// Each atom's distinct equivalent positions, generated when first asked
// for: the end atoms of the chains are named through them many times.
class ImageNamer {
 public:
  explicit ImageNamer(const GeometryContext& context)
      : context_(context), positions_(context.phase->atoms.size()), ready_(context.phase->atoms.size(), false) {}

  // The image of `atom` through `op`, named as the neighbour search names it.
  NamedImage operator()(int atom, const SymmetryOperation& op) {
    const auto k = static_cast<std::size_t>(atom - 1);
    const AtomSite& site = atom_of(context_, atom);
    if (!ready_[k]) {
      EquivalentPositions generated;
      GENEQ(site.x, context_.phase->group, GeneqMode::Distinct, generated);
      positions_[k].assign(generated.begin(), generated.end());
      ready_[k] = true;
    }
    NamedImage image;
    image.point = image_point(context_.frame, atom, site.x, op, site.x_position);
    image.name = image_name(positions_[k], image.point.x).value_or(ImageName{});
    return image;
  }

 private:
  const GeometryContext& context_;
  std::vector<std::vector<EquivalentPosition>> positions_;
  std::vector<bool> ready_;
};

}  // namespace

void for_each_torsion(const GeometryContext& context, const std::vector<bool>& left_out,
                      const std::function<void(const TorsionAngle&)>& found,
                      const std::vector<bool>& not_middle) {
  const PhaseDescription& phase = *context.phase;
  const int atoms = static_cast<int>(phase.atoms.size());
  auto left = [&left_out](int atom) { return !left_out.empty() && left_out[static_cast<std::size_t>(atom)]; };
  auto kept = [&left](const NamedImage& image) { return !left(image.point.atom); };
  auto may_be_middle = [&not_middle](int atom) { return not_middle.empty() || !not_middle[static_cast<std::size_t>(atom)]; };
  ImageNamer named(context);
  std::vector<NamedImage> around_b, around_c;
  // Coordinate blocks, each fetched once for all the chains that share its
  // two atoms: A with B for each A; B with C once per middle bond; B and C
  // with each D once per middle bond; A with C once per A and middle bond.
  std::vector<CoordinateBlock> ab, bd, cd;
  TorsionAngle t;
  PointBlocks blocks;
  for (int b = 1; b <= atoms; ++b) {
    if (left(b) || !may_be_middle(b)) continue;
    const std::vector<Bond>& bonds_b = context.bonds->bonds_of(b);
    const NamedImage pb = bonded_image(context, Bond{b, 1, {0, 0, 0}, atom_of(context, b).x, 0});
    around_b.clear();
    ab.clear();
    for (const Bond& bond : bonds_b) {
      around_b.push_back(bonded_image(context, bond));
      ab.push_back(pair_block(context, around_b.back(), pb));
    }
    blocks.of[1][1] = &own_block(context, pb);
    for (std::size_t ic = 0; ic < bonds_b.size(); ++ic) {
      const Bond& middle = bonds_b[ic];
      if (middle.atom < b || (middle.atom == b && !first_of_inverse_pair(context, b, ic))) continue;
      const NamedImage& pc = around_b[ic];
      if (!kept(pc) || !may_be_middle(pc.point.atom)) continue;
      around_c.clear();
      for (const Bond& last : context.bonds->bonds_of(middle.atom)) {
        NamedImage pd = named(last.atom, compose(pc.point.op, bond_operation(phase.group, last)));
        if (!same_place(pd.point, pb.point) && kept(pd)) around_c.push_back(pd);
      }
      if (around_c.empty()) continue;
      const CoordinateBlock bc = pair_block(context, pb, pc);
      bd.clear();
      cd.clear();
      for (const NamedImage& pd : around_c) {
        bd.push_back(pair_block(context, pb, pd));
        cd.push_back(pair_block(context, pc, pd));
      }
      blocks.of[1][2] = &bc;
      blocks.of[2][2] = &own_block(context, pc);
      for (std::size_t ia = 0; ia < around_b.size(); ++ia) {
        const NamedImage& pa = around_b[ia];
        if (ia == ic || same_place(pa.point, pc.point) || !kept(pa)) continue;
        const CoordinateBlock ac = pair_block(context, pa, pc);
        blocks.of[0][0] = &own_block(context, pa);
        blocks.of[0][1] = &ab[ia];
        blocks.of[0][2] = &ac;
        for (std::size_t id = 0; id < around_c.size(); ++id) {
          const NamedImage& pd = around_c[id];
          if (same_place(pd.point, pa.point)) continue;
          const PointMeasure m = measure_torsion(pa.point, pb.point, pc.point, pd.point);
          if (!m.defined) continue;
          t.atoms = {pa, pb, pc, pd};
          t.a_bond = ia;
          t.c_bond = ic;
          t.degrees = static_cast<float>(m.value * kDegreesPerRadian);
          const std::array<ImagePoint, 4> points{pa.point, pb.point, pc.point, pd.point};
          const CoordinateBlock ad = pair_block(context, pa, pd);
          blocks.of[0][3] = &ad;
          blocks.of[1][3] = &bd[id];
          blocks.of[2][3] = &cd[id];
          blocks.of[3][3] = &own_block(context, pd);
          t.sigma = static_cast<float>(kDegreesPerRadian *
                                       propagated_sigma(context.frame, points, m, context.cell, context.covariance, &blocks));
          found(t);
        }
      }
    }
  }
}

}  // namespace vesk
