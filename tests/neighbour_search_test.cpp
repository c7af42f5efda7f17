#include "geometry/neighbour_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "crystal/equivalent_positions.hpp"
#include "tests/support/typed_operators.hpp"
#include "geometry/image_grid.hpp"
#include "report/geometry_listing.hpp"
#include "report/tables.hpp"

namespace vesk {
namespace {

// The refusal as the listing words it; empty when the limits are fine.
std::string refusal_message(const PhaseDescription& phase, const SearchControls& controls) {
  const SearchRefusal refusal = check_search_limits(phase, controls);
  return refusal.refused() ? refusal_text(phase.number, refusal) : std::string();
}

using testing_support::TypedOperator;
using testing_support::kIdentity;

PhaseDescription make_phase(Vec3 abc, Vec3 angles, const std::vector<TypedOperator>& ops, int centric = 0) {
  PhaseDescription phase;
  phase.number = 1;
  phase.abc = abc;
  for (int k = 0; k < 3; ++k) phase.cosines[k] = COSD(angles[k]);
  CELLMATRIX(abc[0], abc[1], abc[2], angles[0], angles[1], angles[2], phase.orthogonal, phase.inverse);
  phase.group.centric = centric;
  phase.group.lattice = kP;
  phase.group.laue = 1;
  testing_support::set_operators(phase, ops);
  return phase;
}

void add_type(PhaseDescription& phase, const char* symbol, float bond, float angle) {
  AtomType type;
  type.symbol = symbol;
  type.symbol.resize(8, ' ');
  type.bond_radius = bond;
  type.angle_radius = angle;
  phase.types.push_back(type);
}

void add_atom(PhaseDescription& phase, const char* label, int type, Vec3 x) {
  AtomSite atom;
  atom.label = label;
  atom.label.resize(8, ' ');
  atom.type = type;
  atom.type_symbol = phase.types[static_cast<std::size_t>(type - 1)].symbol;
  atom.x = x;
  atom.fraction = 1;
  phase.atoms.push_back(atom);
}

std::vector<FoundDistance> search(const PhaseDescription& phase, int i, const SearchControls& controls) {
  std::vector<FoundDistance> hits;
  search_neighbours(phase, i, controls, [&](const FoundDistance& hit) { hits.push_back(hit); });
  return hits;
}

// The search as first written: 27 cells around the truncated difference.
std::vector<FoundDistance> search_27_cells(const PhaseDescription& phase, int i, const SearchControls& controls) {
  std::vector<FoundDistance> hits;
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  if (phase.types[static_cast<std::size_t>(central.type - 1)].bond_radius < 0) return hits;
  for (std::size_t j = 1; j <= phase.atoms.size(); ++j) {
    EquivalentPositions images;
    GENEQ(phase.atoms[j - 1].x, phase.group, GeneqMode::Distinct, images);
    const PairLimits limits = pair_limits(phase, controls, central.type, phase.atoms[j - 1].type);
    for (const EquivalentPosition& p : images) {
      const int tx = static_cast<int>(central.x[0] - p.x[0]);
      const int ty = static_cast<int>(central.x[1] - p.x[1]);
      const int tz = static_cast<int>(central.x[2] - p.x[2]);
      for (int nx = tx - 1; nx <= tx + 1; ++nx)
        for (int ny = ty - 1; ny <= ty + 1; ++ny)
          for (int nz = tz - 1; nz <= tz + 1; ++nz) {
            FoundDistance hit;
            hit.atom = static_cast<int>(j);
            hit.code = p.code;
            hit.n = {nx, ny, nz};
            hit.x = {p.x[0] + static_cast<float>(nx), p.x[1] + static_cast<float>(ny), p.x[2] + static_cast<float>(nz)};
            hit.vec = cell_vector(phase, central.x, hit.x);
            if (hit.vec.d >= 1.0E-4f && hit.vec.d <= limits.search()) hits.push_back(hit);
          }
    }
  }
  return hits;
}

// Every image within the limit by brute force over a generous block.
int count_by_brute_force(const PhaseDescription& phase, int i, float limit) {
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  int count = 0;
  for (const AtomSite& atom : phase.atoms) {
    EquivalentPositions images;
    GENEQ(atom.x, phase.group, GeneqMode::Distinct, images);
    for (const EquivalentPosition& p : images)
      for (int nx = -15; nx <= 15; ++nx)
        for (int ny = -15; ny <= 15; ++ny)
          for (int nz = -15; nz <= 15; ++nz) {
            const Vec3 x{p.x[0] + static_cast<float>(nx), p.x[1] + static_cast<float>(ny), p.x[2] + static_cast<float>(nz)};
            const float d = cell_vector(phase, central.x, x).d;
            if (d >= 1.0E-4f && d <= limit) ++count;
          }
  }
  return count;
}

void expect_same(const std::vector<FoundDistance>& a, const std::vector<FoundDistance>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].atom, b[k].atom);
    EXPECT_EQ(a[k].code, b[k].code);
    EXPECT_EQ(a[k].n, b[k].n);
    EXPECT_EQ(a[k].vec.d, b[k].vec.d);  // bit for bit
  }
}

TEST(NeighbourSearch, SixFaceImagesInSearchOrder) {
  PhaseDescription phase = make_phase({5, 5, 5}, {90, 90, 90}, {kIdentity});
  add_type(phase, "X", 1, 1);
  add_atom(phase, "X1", 1, {0, 0, 0});
  SearchControls controls;
  controls.dmax_given = true;
  controls.dmax = 5.5f;
  const auto hits = search(phase, 1, controls);
  ASSERT_EQ(hits.size(), 6u);
  const std::array<std::array<int, 3>, 6> order = {{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}}};
  for (std::size_t k = 0; k < 6; ++k) {
    EXPECT_EQ(hits[k].n, order[k]);
    EXPECT_FLOAT_EQ(hits[k].vec.d, 5.0f);
    EXPECT_EQ(hits[k].code, 1);
  }
  EXPECT_EQ(cell_code(-1, 0, 0), 455);
  EXPECT_EQ(cell_code(0, 0, 0), 555);
  EXPECT_EQ(location_text(-101, 1, 0, -1), "-101 1 0-1");

  // DAGL above DMAX: distances up to DAGL are listed.
  controls.dmax = 4.0f;
  controls.dagl_given = true;
  controls.dagl = 5.5f;
  EXPECT_EQ(search(phase, 1, controls).size(), 6u);
}

TEST(NeighbourSearch, NegativeRadiusAndPairLimits) {
  PhaseDescription phase = make_phase({5, 5, 5}, {90, 90, 90}, {kIdentity});
  add_type(phase, "Si", 1.8f, 1.8f);
  add_type(phase, "Q", -1, -1);
  add_atom(phase, "Si1", 1, {0, 0, 0});
  add_atom(phase, "Q1", 2, {0.1f, 0, 0});   // 0.5 A from Si1
  add_atom(phase, "O1", 1, {0, 0.3f, 0});   // 1.5 A from Si1
  const SearchControls radii;
  // Q1 is never a central atom.
  EXPECT_TRUE(search(phase, 2, radii).empty());
  // As a neighbour of Si1 its limit is |1.8| - 1 = 0.8 A: the 0.5 A image only.
  const auto hits = search(phase, 1, radii);
  // O1 then at 3.5 A (y - 1) and 1.5 A, in translation order.
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].atom, 2);
  EXPECT_FLOAT_EQ(hits[0].vec.d, 0.5f);
  EXPECT_FLOAT_EQ(hits[0].limits.distance, 0.8f);
  EXPECT_EQ(hits[1].atom, 3);
  EXPECT_FLOAT_EQ(hits[1].vec.d, 3.5f);
  EXPECT_EQ(hits[2].n, (std::array<int, 3>{0, 0, 0}));
  EXPECT_FLOAT_EQ(hits[2].limits.distance, 3.6f);
}

TEST(NeighbourSearch, OrthonormalVector) {
  PhaseDescription phase = make_phase({10, 10, 10}, {90, 90, 90}, {kIdentity});
  const Vec3 central{0.3f, 0.2f, 0.1f};
  const Vec3 image{0.2f, 0.2f, 0.1f};
  const Vec3 v = printed_vector(phase, central, image, true);
  EXPECT_NEAR(v[0], 1.0f, 1.0E-5f);
  EXPECT_NEAR(v[1], 0.0f, 1.0E-6f);
  EXPECT_NEAR(v[2], 0.0f, 1.0E-6f);
  EXPECT_EQ(printed_vector(phase, central, image, false), image);
  // A monoclinic cell: the vector has the length of the distance.
  PhaseDescription mono = make_phase({7.1f, 9.3f, 11.2f}, {90, 104.5f, 90}, {kIdentity});
  const Vec3 far{-0.2f, 0.5f, 0.6f};
  const Vec3 w = printed_vector(mono, central, far, true);
  EXPECT_NEAR(std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]), cell_vector(mono, central, far).d, 1.0E-4f);
}

TEST(TranslationWindow, SameAsThe27CellsWhereTheySuffice) {
  // A monoclinic P 21/c arrangement with ordinary bond lengths.
  const std::vector<TypedOperator> p21c = {kIdentity, {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}, {0, 6, 6}}};
  PhaseDescription phase = make_phase({7.13f, 9.31f, 11.24f}, {90, 104.5f, 90}, p21c, 1);
  add_type(phase, "C", 0.9f, 0.9f);
  add_type(phase, "O", 0.8f, 0.8f);
  add_atom(phase, "C1", 1, {0.1123f, 0.2231f, 0.3317f});
  add_atom(phase, "C2", 1, {0.2871f, 0.1712f, 0.3523f});
  add_atom(phase, "O1", 2, {-0.0418f, 0.3346f, 0.4192f});
  add_atom(phase, "O2", 2, {0.9518f, 0.0346f, 0.9892f});
  SearchControls controls;
  for (float dmax : {0.0f, 3.5f, 4.2f}) {
    controls.dmax_given = dmax > 0;
    controls.dmax = dmax;
    for (int i = 1; i <= 4; ++i) {
      const auto wide = search(phase, i, controls);
      expect_same(wide, search_27_cells(phase, i, controls));
      if (dmax > 0) {
        EXPECT_EQ(static_cast<int>(wide.size()), count_by_brute_force(phase, i, dmax));
      }
    }
  }
}

TEST(TranslationWindow, WidenedForLongLimitsAndShortAxes) {
  // A short axis: 27 cells miss images a few cells away.
  PhaseDescription phase = make_phase({3, 3, 10}, {90, 90, 90}, {kIdentity});
  add_type(phase, "A", 1, 1);
  add_atom(phase, "A1", 1, {0, 0, 0});
  SearchControls controls;
  controls.dmax_given = true;
  controls.dmax = 9.2f;
  const auto wide = search(phase, 1, controls);
  EXPECT_EQ(static_cast<int>(wide.size()), count_by_brute_force(phase, 1, 9.2f));
  EXPECT_EQ(wide.size(), 28u);
  EXPECT_EQ(search_27_cells(phase, 1, controls).size(), 8u);
  // Still nx, ny, nz ascending, nz fastest.
  for (std::size_t k = 1; k < wide.size(); ++k) EXPECT_LT(wide[k - 1].n, wide[k].n);
  EXPECT_EQ(wide.front().n, (std::array<int, 3>{-3, 0, 0}));

  // An oblique cell and a limit of several cell edges.
  PhaseDescription oblique = make_phase({4.1f, 4.7f, 5.3f}, {71, 112, 64}, {kIdentity});
  add_type(oblique, "A", 1, 1);
  add_atom(oblique, "A1", 1, {0.1f, 0.7f, 0.4f});
  add_atom(oblique, "A2", 1, {0.8f, 0.2f, 0.1f});
  controls.dmax = 12;
  EXPECT_TRUE(refusal_message(oblique, controls).empty());
  for (int i = 1; i <= 2; ++i)
    EXPECT_EQ(static_cast<int>(search(oblique, i, controls).size()), count_by_brute_force(oblique, i, 12));
}

TEST(TranslationWindow, LimitsTakenForMistakesAreRefused) {
  PhaseDescription phase = make_phase({5, 5, 5}, {90, 90, 90}, {kIdentity});
  phase.number = 3;
  add_type(phase, "A", 1, 1);
  add_atom(phase, "A1", 1, {0, 0, 0});
  SearchControls controls;
  EXPECT_TRUE(refusal_message(phase, controls).empty());
  controls.dmax_given = true;
  controls.dmax = 300;
  const std::string message = refusal_message(phase, controls);
  EXPECT_NE(message.find("Phase 3"), std::string::npos) << message;
  EXPECT_NE(message.find("300.000"), std::string::npos) << message;
  EXPECT_NE(message.find("longer than 50 A"), std::string::npos) << message;

  // Under 50 A but too many translations in a small cell.
  PhaseDescription small = make_phase({3, 3, 3}, {90, 90, 90}, {kIdentity});
  add_type(small, "A", 1, 1);
  add_atom(small, "A1", 1, {0, 0, 0});
  controls.dmax = 40;
  const std::string crowded = refusal_message(small, controls);
  EXPECT_NE(crowded.find("10000"), std::string::npos) << crowded;
  // The same limit in a cell of 5 A is fine.
  EXPECT_TRUE(refusal_message(phase, controls).empty());
  // Limits from radii count too.
  PhaseDescription radii = make_phase({5, 5, 5}, {90, 90, 90}, {kIdentity});
  add_type(radii, "A", 30, 30);
  add_atom(radii, "A1", 1, {0, 0, 0});
  EXPECT_FALSE(refusal_message(radii, SearchControls{}).empty());

  // A limit too long for its field is written in E notation (DAGL 3E38).
  controls.dmax = 3.0E38f;
  EXPECT_NE(refusal_message(phase, controls).find("the search limit 0.300E+39 A is longer"), std::string::npos);
  // A cell edge of zero or below the normal reals would need endless translations.
  controls.dmax = 3;
  for (const float edge : {0.0f, 1.0E-40f}) {
    phase.abc[0] = edge;
    EXPECT_NE(refusal_message(phase, controls).find("more than 10000 lattice translations"), std::string::npos);
  }
}

}  // namespace
}  // namespace vesk
