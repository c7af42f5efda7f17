// The rows model against the geometry model it is built from: every
// distance record of the model (a record of the results file) lies in
// exactly one bond row, which starts at the atom that comes first; a row is
// marked exactly when the record of either end is; and the rows read a
// range at a time, as a page would, are the whole list's.
#include "report/rows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "geometry/cell_covariance.hpp"
#include "report/json_output.hpp"
#include "support/random_structure.hpp"

namespace vesk {
namespace {

struct Built {
  PhaseDescription phase;
  PhaseGeometry geometry;
  std::vector<RecordKey> records;  // every distance record, in the search's order
  std::vector<RecordKey> marked;   // every third of them
  RunRows rows;
};

void build(Built& b, unsigned seed) {
  testing_support::RandomPhaseRequest request;
  request.symbol = seed % 2 == 1 ? "P 21/c" : "C 2/c";
  request.cell = {7.0f, 8.0f, 9.0f, 90, 104, 90};
  request.atoms = 8;
  request.seed = seed;
  request.negative_type = seed % 3 == 0;  // some directions are not searched
  b.phase = testing_support::random_phase(request);
  b.phase.number = 1;
  b.geometry = compute_phase_geometry(b.phase, cell_covariance(b.phase), {}, GeometryOptions{});
  ASSERT_TRUE(b.geometry.computed);
  RunMarks marks;
  for (int i = 1; i <= static_cast<int>(b.phase.atoms.size()); ++i)
    for (const Contact& c : b.geometry.contacts_of(i)) {
      const RecordKey key{1, 0, {i, c.atom, c.code, cell_code(c.n[0], c.n[1], c.n[2])}};
      b.records.push_back(key);
      if (b.records.size() % 3 != 0) continue;
      b.marked.push_back(key);
      marks.results.publish.distances.push_back({1, static_cast<short>(i), static_cast<short>(c.atom),
                                                 static_cast<short>(c.code), static_cast<short>(key.key[3])});
    }
  build_phase_rows(start_phase_rows(b.rows, b.phase), b.phase, b.geometry, marks);
}

bool among(const std::vector<RecordKey>& keys, const RecordKey& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

TEST(Rows, EachDistanceRecordIsInOneBondRowMarkedFromEitherEnd) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    Built b;
    build(b, seed);
    const std::vector<Row>& bonds = b.rows.phases.back().of(RowKind::bond);
    ASSERT_FALSE(bonds.empty());
    std::vector<RecordKey> covered;
    for (const Row& row : bonds) {
      EXPECT_TRUE(row.sites[0].atom <= row.sites[1].atom || row.reverse.code == 0);
      EXPECT_EQ(row.sites[0].code, ".");
      bool any_marked = false;
      for (const RecordKey& key : row_records(1, row)) {
        if (among(b.records, key)) covered.push_back(key);
        any_marked = any_marked || among(b.marked, key);
      }
      EXPECT_EQ(row.marked, any_marked);
    }
    for (const RecordKey& key : b.records)
      EXPECT_EQ(std::count(covered.begin(), covered.end(), key), 1)
          << key.key[0] << " " << key.key[1] << " " << key.key[2] << " " << key.key[3];
    EXPECT_EQ(covered.size(), b.records.size());
  }
}

TEST(Rows, RangesOfRowsAreTheWholeListsRows) {
  Built b;
  build(b, 1);
  const PhaseRows& rows = b.rows.phases.back();
  for (const RowKindName& kind : row_kinds()) {
    const Json all = json_rows(rows, kind.kind);
    Json pieces = Json::array();
    for (std::size_t first = 0; first < all.size(); first += 7)
      for (const Json& row : json_rows(rows, kind.kind, first, 7)) pieces.push_back(row);
    EXPECT_EQ(pieces, all) << kind.name;
    EXPECT_TRUE(json_rows(rows, kind.kind, all.size() + 3, 7).empty());
  }
  EXPECT_FALSE(rows.of(RowKind::angle).empty());
}

}  // namespace
}  // namespace vesk
