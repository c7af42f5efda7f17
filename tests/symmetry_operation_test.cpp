// Exact operations behind operator codes: checked against gemmi's own
// operator table for the same groups, and against GENEQ's images.
#include "crystal/symmetry_operation.hpp"

#include <gemmi/symmetry.hpp>
#include <gtest/gtest.h>

#include <utility>

#include "crystal/equivalent_positions.hpp"
#include "tests/support/groups.hpp"

namespace {

using namespace vesk;

// gemmi keeps rotations in units of 24 and translations in 24ths.
bool in_gemmi_group(const gemmi::GroupOps& ops, const SymmetryOperation& op) {
  for (const gemmi::Op& g : ops.all_ops_sorted()) {
    bool same = true;
    for (int i = 0; i < 3 && same; ++i) {
      for (int j = 0; j < 3; ++j) same = same && g.rot[i][j] == op.rotation[i][j] * gemmi::Op::DEN;
      same = same && ((2 * op.twelfths[i] - g.tran[i]) % gemmi::Op::DEN + gemmi::Op::DEN) % gemmi::Op::DEN == 0;
    }
    if (same) return true;
  }
  return false;
}

TEST(SymmetryOperation, EveryOperatorCodeIsAnOperationOfTheGroupAndNamesItsImage) {
  // Our interpreter reads centric groups with the origin at the centre:
  // gemmi's origin choice 2.
  const std::pair<const char*, const char*> symbols[] = {
      {"P 21/c", "P 1 21/c 1"}, {"C 2/c", "C 1 2/c 1"}, {"I 41/a", "I 41/a:2"}, {"F d 3 m", "F d -3 m:2"},
      {"R -3 c", "R -3 c:H"},   {"P 63/m m c", "P 63/m m c"}, {"P 32 2 1", "P 32 2 1"}, {"P n a 21", "P n a 21"}};
  for (const auto& [symbol, gemmi_name] : symbols) {
    SCOPED_TRACE(symbol);
    const SpaceGroupInfo group = testing_support::valid_group(symbol);
    const gemmi::SpaceGroup* reference = gemmi::find_spacegroup_by_name(gemmi_name);
    ASSERT_NE(reference, nullptr);
    const gemmi::GroupOps ops = reference->operations();
    const Vec3 atom{0.1234f, 0.2718f, 0.4142f};
    EquivalentPositions images;
    GENEQ(atom, group, GeneqMode::Distinct, images);
    EXPECT_EQ(images.size(), ops.order());
    for (const EquivalentPosition& image : images) {
      const LatticeTranslation n{1, -2, 0};
      const SymmetryOperation op = operation_of(group, image.code, n);
      EXPECT_TRUE(in_gemmi_group(ops, op)) << image.code;
      const Vec3d x = image_of(op, atom);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(x[i], image.x[i] + n[i], 1e-6);
      const auto name = image_name(group, atom, x);
      ASSERT_TRUE(name.has_value());
      EXPECT_EQ(name->code, image.code);
      EXPECT_EQ(name->n, n);
    }
  }
}

TEST(SymmetryOperation, ComposedOperationsActInTurnAndStayInTheGroup) {
  const SpaceGroupInfo group = testing_support::valid_group("I 41/a");
  const gemmi::GroupOps ops = gemmi::find_spacegroup_by_name("I 41/a:2")->operations();
  const SymmetryOperation a = operation_of(group, -102, {0, 1, 0});
  const SymmetryOperation b = operation_of(group, 3, {-1, 0, 2});
  const Vec3d x{0.3, 0.1, 0.7};
  const Vec3d twice = image_of(a, image_of(b, x));
  const Vec3d once = image_of(compose(a, b), x);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(once[i], twice[i], 1e-12);
  EXPECT_TRUE(in_gemmi_group(ops, compose(a, b)));
  LatticeTranslation n{};
  EXPECT_TRUE(same_modulo_lattice(operation_of(group, 3, {2, 0, -1}), b, n));
  EXPECT_EQ(n, (LatticeTranslation{3, 0, -3}));
  EXPECT_FALSE(same_modulo_lattice(a, b, n));
}

}  // namespace
