// The ties of special positions: coordinates and Uij as the International
// Tables give them for a few site symmetries (a twofold axis along b, a
// mirror, a threefold axis on hexagonal axes, the cubic body diagonal),
// and for every case the tied Uij left unchanged by each operator of the
// site, with as many free ones as that invariance allows.
#include <gtest/gtest.h>

#include <cmath>

#include "lsq/special_positions.hpp"

namespace {

using lsq::IntMat3;
using lsq::Operator;
using lsq::Vec3;

Operator op(IntMat3 r, Vec3 t) {
  Operator o;
  o.rotation = r;
  o.translation = t;
  return o;
}

struct Case {
  const char* name;
  std::array<double, 6> cell;
  lsq::SpaceGroup group;
  Vec3 site;
  int order;
  std::array<bool, 3> free_coordinate;
  std::vector<std::pair<std::pair<int, int>, double>> coordinate_ties;  // ((i, j), coefficient) off the diagonal
  std::array<bool, 6> free_u;
  // U_k = sum_l u[k][l] U_l over the free l (U11 U22 U33 U12 U13 U23)
  std::vector<std::pair<std::pair<int, int>, double>> ties;  // ((k, l), coefficient), the nonzero off-diagonal ones
};

lsq::SpaceGroup group(std::vector<Operator> listed, bool centric, std::vector<Vec3> centring = {{0, 0, 0}}) {
  lsq::SpaceGroup g;
  g.operators = std::move(listed);
  g.centric = centric;
  g.centring = std::move(centring);
  return g;
}

std::vector<Case> cases() {
  const Operator identity;
  return {
      // C 2/c, 4e (0, y, 1/4), site 2 along b: U12 = U23 = 0.
      {"C2/c 4e",
       {12.3, 7.4, 14.9, 90, 108.3, 90},
       group({identity, op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0, 0.5})}, true, {{0, 0, 0}, {0.5, 0.5, 0}}),
       {0, 0.137, 0.25},
       2,
       {false, true, false},
       {},
       {true, true, true, false, true, false},
       {}},
      // P n m a, 4c (x, 1/4, z), site m across b: U12 = U23 = 0.
      {"Pnma 4c",
       {7.9, 5.6, 10.2, 90, 90, 90},
       group({identity, op({{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}, {0.5, 0, 0.5}),
              op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0.5, 0}),
              op({{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0.5, 0.5, 0.5})},
             true),
       {0.312, 0.25, 0.618},
       2,
       {true, false, true},
       {},
       {true, true, true, false, true, false},
       {}},
      // R -3 on hexagonal axes, 6c (0, 0, z), site 3: U22 = U11, U12 = U11 / 2, U13 = U23 = 0.
      {"R-3 6c",
       {9.1, 9.1, 21.4, 90, 90, 120},
       group({identity, op({{{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}}, {0, 0, 0}),
              op({{{-1, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}, {0, 0, 0})},
             true, {{0, 0, 0}, {2.0 / 3, 1.0 / 3, 1.0 / 3}, {1.0 / 3, 2.0 / 3, 2.0 / 3}}),
       {0, 0, 0.1743},
       3,
       {false, false, true},
       {},
       {true, false, true, false, false, false},
       {{{1, 0}, 1.0}, {{3, 0}, 0.5}}},
      // P 21 3, 4a (x, x, x), site 3 along the body diagonal: y = z = x,
      // U22 = U33 = U11, U13 = U23 = U12.
      {"P2_13 4a",
       {8.7, 8.7, 8.7, 90, 90, 90},
       group({identity, op({{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}, {0.5, 0, 0.5}),
              op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0.5, 0.5}),
              op({{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0.5, 0.5, 0}), op({{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}}, {0, 0, 0}),
              op({{{0, 0, 1}, {-1, 0, 0}, {0, -1, 0}}}, {0.5, 0.5, 0}),
              op({{{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}}}, {0.5, 0, 0.5}),
              op({{{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}}, {0, 0.5, 0.5}), op({{{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}}, {0, 0, 0}),
              op({{{0, -1, 0}, {0, 0, 1}, {-1, 0, 0}}}, {0, 0.5, 0.5}),
              op({{{0, 1, 0}, {0, 0, -1}, {-1, 0, 0}}}, {0.5, 0.5, 0}),
              op({{{0, -1, 0}, {0, 0, -1}, {1, 0, 0}}}, {0.5, 0, 0.5})},
             false),
       {0.0912, 0.0912, 0.0912},
       3,
       {true, false, false},
       {{{1, 0}, 1.0}, {{2, 0}, 1.0}},
       {true, false, false, true, false, false},
       {{{1, 0}, 1.0}, {{2, 0}, 1.0}, {{4, 3}, 1.0}, {{5, 3}, 1.0}}},
      // P -3 m 1, 6i (x, 2x, z), site m: y = 2x (as the International
      // Tables write it); the Uij only by invariance below.
      {"P-3m1 6i",
       {5.4, 5.4, 8.8, 90, 90, 120},
       group({identity, op({{{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}}, {0, 0, 0}),
              op({{{-1, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}, {0, 0, 0}), op({{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}}, {0, 0, 0}),
              op({{{1, -1, 0}, {0, -1, 0}, {0, 0, -1}}}, {0, 0, 0}), op({{{-1, 0, 0}, {-1, 1, 0}, {0, 0, -1}}}, {0, 0, 0})},
             true),
       {0.1617, 0.3234, 0.7215},
       2,
       {true, false, true},
       {{{1, 0}, 2.0}},
       {},
       {}},
  };
}

TEST(SpecialPositions, TiesOfSiteSymmetriesAsTheInternationalTablesGiveThem) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const lsq::Metric metric = lsq::metric_of(c.cell);
    const std::vector<Operator> all = c.group.expanded();
    // Printed a little off the site (0.03 A): placed on it.
    Vec3 off = c.site;
    off[2] += 0.03 / c.cell[2];
    const lsq::SiteTies ties = lsq::site_ties(off, all, metric, 0.1);
    EXPECT_EQ(ties.order, c.order);
    EXPECT_EQ(ties.free_coordinate, c.free_coordinate);
    // Coordinates the site fixes are back on it exactly.
    for (int i = 0; i < 3; ++i)
      if (ties.coordinates[i] == std::array<double, 3>{}) {
        EXPECT_NEAR(ties.site[static_cast<std::size_t>(i)], c.site[static_cast<std::size_t>(i)], 1e-12);
      }
    for (const auto& [ij, coefficient] : c.coordinate_ties) EXPECT_NEAR(ties.coordinates[ij.first][ij.second], coefficient, 1e-12);
    if (c.free_u != std::array<bool, 6>{}) {
      EXPECT_EQ(ties.free_u, c.free_u);
      for (const auto& [kl, coefficient] : c.ties) EXPECT_NEAR(ties.u[kl.first][kl.second], coefficient, 1e-12);
    }
    // Any Uij the ties allow is left in place by every operator of the
    // site: R U* R^T = U*, U* = D U D.
    const Vec3& r = metric.reciprocal;
    static constexpr int pairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
    int free = 0;
    for (int l = 0; l < 6; ++l) {
      if (!ties.free_u[static_cast<std::size_t>(l)]) continue;
      ++free;
      lsq::Mat3 ustar{};
      for (int k = 0; k < 6; ++k) {
        const int i = pairs[k][0], j = pairs[k][1];
        ustar[i][j] = ustar[j][i] = ties.u[k][l] * r[i] * r[j];
      }
      for (const Operator& o : all) {
        Vec3 y{};
        for (int i = 0; i < 3; ++i) {
          y[i] = o.translation[i];
          for (int j = 0; j < 3; ++j) y[i] += o.rotation[i][j] * ties.site[j];
        }
        bool in_place = true;
        for (int i = 0; i < 3; ++i) in_place = in_place && std::fabs(y[i] - ties.site[i] - std::round(y[i] - ties.site[i])) < 1e-9;
        if (!in_place) continue;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) {
            double moved = 0;
            for (int p = 0; p < 3; ++p)
              for (int q = 0; q < 3; ++q) moved += o.rotation[i][p] * ustar[p][q] * o.rotation[j][q];
            EXPECT_NEAR(moved, ustar[i][j], 1e-12);
          }
      }
    }
    // As many free Uij as the symmetric tensors the site leaves in place:
    // 4 for a twofold axis or a mirror, 2 for a threefold axis.
    EXPECT_EQ(free, c.order == 3 ? 2 : 4);
  }
}

}  // namespace
