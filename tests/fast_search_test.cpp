// The search through the image grid against the plain loop nest: the same
// neighbours, images, translations and single-precision distances, in the
// same order, and so the same neighbours kept for angles.
#include "geometry/image_grid.hpp"
#include "geometry/phase_geometry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/random_structure.hpp"
#include "tests/support/reference_search.hpp"

namespace {

using namespace vesk;
using testing_support::random_phase;
using testing_support::RandomPhaseRequest;

bool same_bits(float p, float q) { return std::memcmp(&p, &q, sizeof p) == 0; }

std::string describe(const FoundDistance& f) {
  std::ostringstream out;
  out << "atom " << f.atom << " code " << f.code << " n (" << f.n[0] << "," << f.n[1] << "," << f.n[2] << ") d "
      << f.vec.d << " limit " << f.limits.search();
  return out.str();
}

bool same(const FoundDistance& p, const FoundDistance& q) {
  return p.atom == q.atom && p.code == q.code && p.n == q.n && same_bits(p.x[0], q.x[0]) &&
         same_bits(p.x[1], q.x[1]) && same_bits(p.x[2], q.x[2]) && same_bits(p.vec.u, q.vec.u) &&
         same_bits(p.vec.v, q.vec.v) && same_bits(p.vec.w, q.vec.w) && same_bits(p.vec.d, q.vec.d) &&
         same_bits(p.limits.distance, q.limits.distance) && same_bits(p.limits.angle, q.limits.angle);
}

// The driver's rule: kept for angles while within the angle limit and fewer than 25.
std::vector<int> kept(const std::vector<FoundDistance>& found) {
  std::vector<int> positions;
  for (std::size_t k = 0; k < found.size(); ++k)
    if (found[k].vec.d <= found[k].limits.angle && positions.size() < kMaxKeptNeighbours)
      positions.push_back(static_cast<int>(k));
  return positions;
}

// Compares every central atom; returns the number of distances found.
long compare_searches(const PhaseDescription& phase, const SearchControls& controls, const std::string& what) {
  ImageGrid grid;
  build_image_grid(grid, phase, controls);
  long total = 0;
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i) {
    std::vector<FoundDistance> plain, fast;
    testing_support::reference_search(phase, i, controls, [&](const FoundDistance& f) { plain.push_back(f); });
    search_image_grid(grid, phase, i, [&](const FoundDistance& f) { fast.push_back(f); });
    total += static_cast<long>(plain.size());
    EXPECT_EQ(plain.size(), fast.size()) << what << ", central atom " << i;
    for (std::size_t k = 0; k < std::min(plain.size(), fast.size()); ++k)
      if (!same(plain[k], fast[k])) {
        ADD_FAILURE() << what << ", central atom " << i << ", distance " << k + 1 << ": plain " << describe(plain[k])
                      << ", fast " << describe(fast[k]);
        break;
      }
    EXPECT_EQ(kept(plain), kept(fast)) << what << ", central atom " << i;
  }
  return total;
}

SearchControls limits(float dmax, float dagl) {
  SearchControls controls;
  controls.dmax_given = dmax > 0;
  controls.dmax = dmax;
  controls.dagl_given = dagl > 0;
  controls.dagl = dagl;
  return controls;
}

struct GroupCase {
  const char* symbol;
  std::array<float, 6> cell;  // a cell of the group's own shape
  int atoms;
};

const GroupCase kGroups[] = {
    {"P 1", {7.1f, 8.3f, 9.2f, 81, 97, 112}, 24},
    {"P -1", {6.2f, 7.4f, 5.9f, 101, 88, 95}, 16},
    {"P 21/c", {8.1f, 6.3f, 9.7f, 90, 104.2f, 90}, 10},
    {"C 2/c", {12.4f, 7.3f, 8.8f, 90, 112, 90}, 6},
    {"P 21 21 21", {6.3f, 7.7f, 9.1f, 90, 90, 90}, 8},
    {"P n m a", {9.4f, 5.8f, 7.2f, 90, 90, 90}, 6},
    {"P 4/n", {8.1f, 8.1f, 5.2f, 90, 90, 90}, 5},
    {"I 41/a m d", {7.2f, 7.2f, 9.9f, 90, 90, 90}, 3},
    {"R -3 c", {5.1f, 5.1f, 13.9f, 90, 90, 120}, 3},
    {"R -3 m", {6.4f, 6.4f, 6.4f, 62, 62, 62}, 4},
    {"P 63/m m c", {4.4f, 4.4f, 7.1f, 90, 90, 120}, 4},
    {"P -3 1 m", {5.3f, 5.3f, 4.9f, 90, 90, 120}, 5},
    {"P m -3 m", {4.9f, 4.9f, 4.9f, 90, 90, 90}, 3},
    {"F d -3 m", {9.1f, 9.1f, 9.1f, 90, 90, 90}, 3},
    {"I a -3 d", {11.6f, 11.6f, 11.6f, 90, 90, 90}, 2},
};

TEST(FastSearch, SameDistancesInManySpaceGroups) {
  long total = 0;
  unsigned seed = 11;
  for (const GroupCase& group : kGroups) {
    RandomPhaseRequest request;
    request.symbol = group.symbol;
    request.cell = group.cell;
    request.atoms = 3 * group.atoms;
    request.seed = ++seed;
    request.negative_type = seed % 2 == 0;
    const PhaseDescription phase = random_phase(request);
    for (const SearchControls& controls : {limits(0, 0), limits(2.2f, 0), limits(3.1f, 1.9f), limits(1.5f, 4.0f)})
      total += compare_searches(phase, controls, std::string(group.symbol) + " DMAX " + std::to_string(controls.dmax) +
                                                     " DAGL " + std::to_string(controls.dagl));
  }
  EXPECT_GT(total, 20000);  // the comparison has something to compare
}

TEST(FastSearch, SameDistancesInObliqueAndShortCells) {
  struct CellCase {
    const char* symbol;
    std::array<float, 6> cell;
    float dmax;
  };
  const CellCase cells[] = {
      {"P 1", {6.0f, 7.0f, 8.0f, 40, 60, 30}, 3.5f},    // very oblique
      {"P 1", {5.0f, 6.0f, 4.5f, 150, 145, 50}, 3.0f},  // nearly flat
      {"P -1", {5.0f, 9.0f, 4.0f, 150, 30, 125}, 4.0f},
      {"P 21/c", {4.0f, 3.0f, 12.0f, 90, 158, 90}, 5.0f},
      {"P 1", {1.1f, 8.0f, 9.0f, 90, 90, 90}, 3.0f},    // short axis: many translations
      {"P 1", {1.3f, 1.7f, 1.2f, 70, 100, 115}, 4.2f},  // every axis short
      {"P -1", {0.8f, 2.1f, 7.5f, 95, 60, 85}, 6.0f},
      {"C 2/c", {2.2f, 1.9f, 3.1f, 90, 115, 90}, 5.5f},
      {"F d -3 m", {3.0f, 3.0f, 3.0f, 90, 90, 90}, 4.0f},
      {"R -3 c", {2.0f, 2.0f, 5.0f, 90, 90, 120}, 4.5f},
  };
  unsigned seed = 101;
  for (const CellCase& c : cells) {
    RandomPhaseRequest request;
    request.symbol = c.symbol;
    request.cell = c.cell;
    request.atoms = 4;
    request.seed = ++seed;
    const PhaseDescription phase = random_phase(request);
    compare_searches(phase, limits(c.dmax, 0), std::string(c.symbol) + " cell " + std::to_string(c.cell[0]));
    compare_searches(phase, limits(0, c.dmax), std::string(c.symbol) + " DAGL cell " + std::to_string(c.cell[0]));
  }
}

TEST(FastSearch, SameDistancesForCoordinatesOutsideTheCellAndOnSpecialPositions) {
  RandomPhaseRequest request;
  request.symbol = "F d -3 m";
  request.cell = {8.08f, 8.08f, 8.08f, 90, 90, 90};
  request.atoms = 6;
  request.seed = 7;
  request.coordinate_range = 4;  // from -3 to 4
  PhaseDescription phase = random_phase(request);
  // On the origin, on 1/8 1/8 1/8 (a 16 times shorter orbit), on the cell's
  // faces and at -0, which reduces differently from +0.
  phase.atoms[0].x = {0, 0, 0};
  phase.atoms[1].x = {0.125f, 0.125f, 0.125f};
  phase.atoms[2].x = {1.0f, -0.0f, 0.5f};
  phase.atoms[3].x = {-1.0f, 2.0f, 0.9999f};
  compare_searches(phase, limits(3.0f, 2.5f), "F d -3 m, special positions");
  compare_searches(phase, limits(0, 0), "F d -3 m, special positions, radii");

  request.symbol = "P 21/c";
  request.cell = {7.0f, 9.0f, 8.0f, 90, 117, 90};
  request.atoms = 20;
  request.coordinate_range = 30;  // far from the cell
  compare_searches(random_phase(request), limits(3.5f, 2.0f), "P 21/c, far coordinates");
}

TEST(FastSearch, SameDecisionAtTheLimitItself) {
  RandomPhaseRequest request;
  request.symbol = "P 21/c";
  request.cell = {7.3f, 6.1f, 9.4f, 90, 101, 90};
  request.atoms = 12;
  request.seed = 3;
  const PhaseDescription phase = random_phase(request);
  // Limits equal to distances found, and one step of single precision either side.
  std::vector<float> found;
  testing_support::reference_search(phase, 1, limits(4.0f, 0), [&](const FoundDistance& f) { found.push_back(f.vec.d); });
  ASSERT_GE(found.size(), 5u);
  int checked = 0;
  for (std::size_t k = 0; k < found.size(); k += found.size() / 5) {
    for (float limit : {found[k], std::nextafter(found[k], 0.0f), std::nextafter(found[k], 10.0f)}) {
      compare_searches(phase, limits(limit, 0), "DMAX at a distance");
      compare_searches(phase, limits(0.5f, limit), "DAGL at a distance");
      ++checked;
    }
  }
  EXPECT_GE(checked, 15);
}

TEST(FastSearch, SameOrderWhenMoreThan25AreKept) {
  RandomPhaseRequest request;
  request.symbol = "P m -3 m";
  request.cell = {4.0f, 4.0f, 4.0f, 90, 90, 90};
  request.atoms = 3;
  request.seed = 5;
  const PhaseDescription phase = random_phase(request);
  ImageGrid grid;
  build_image_grid(grid, phase, limits(6.0f, 6.0f));
  std::vector<FoundDistance> fast;
  search_image_grid(grid, phase, 1, [&](const FoundDistance& f) { fast.push_back(f); });
  EXPECT_GT(fast.size(), 2 * kMaxKeptNeighbours);
  compare_searches(phase, limits(6.0f, 6.0f), "P m -3 m, many kept");
}

TEST(FastSearch, SixFaceNeighboursOfALoneAtomInOrder) {
  RandomPhaseRequest request;
  request.cell = {5, 5, 5, 90, 90, 90};
  request.atoms = 1;
  PhaseDescription phase = random_phase(request);
  phase.atoms[0].x = {0, 0, 0};
  ImageGrid grid;
  build_image_grid(grid, phase, limits(5.5f, 0));
  std::vector<std::array<int, 3>> order;
  search_image_grid(grid, phase, 1, [&](const FoundDistance& f) {
    EXPECT_EQ(f.vec.d, 5.0f);
    order.push_back(f.n);
  });
  const std::vector<std::array<int, 3>> expected{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}};
  EXPECT_EQ(order, expected);
}

TEST(FastSearch, RefusesAnAtomWithoutAType) {
  RandomPhaseRequest request;
  request.atoms = 2;
  PhaseDescription phase = random_phase(request);
  phase.atoms[1].type = 9;
  ImageGrid grid;
  EXPECT_THROW(build_image_grid(grid, phase, limits(3.0f, 0)), Error);
}

}  // namespace
