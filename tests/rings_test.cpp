// Smallest sets of smallest rings of fused, bridged and caged graphs, with
// the ring counts of their cyclomatic numbers, and against a second
// algorithm: every simple cycle by depth-first search, taken shortest
// first while independent.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "geometry/rings.hpp"
#include "tests/support/point_gradients.hpp"

using namespace vesk;

namespace {

using Adjacency = std::vector<std::vector<int>>;

Adjacency graph_of(int nodes, const std::vector<std::pair<int, int>>& bonds) {
  Adjacency adjacency(static_cast<std::size_t>(nodes));
  for (auto [a, b] : bonds) adjacency[static_cast<std::size_t>(a)].push_back(b);  // one end suffices
  return adjacency;
}

std::set<std::pair<int, int>> bond_set(const std::vector<std::pair<int, int>>& bonds) {
  std::set<std::pair<int, int>> set;
  for (auto [a, b] : bonds) set.insert({std::min(a, b), std::max(a, b)});
  return set;
}

// Each ring walks along bonds, visits a node once, starts at its lowest
// node and goes on to the lower of that node's ring neighbours.
void expect_rings_well_formed(const std::vector<std::vector<int>>& rings, const std::vector<std::pair<int, int>>& bonds) {
  const auto set = bond_set(bonds);
  for (const auto& ring : rings) {
    ASSERT_GE(ring.size(), 3u);
    EXPECT_EQ(std::set<int>(ring.begin(), ring.end()).size(), ring.size());
    for (std::size_t k = 0; k < ring.size(); ++k) {
      const int a = ring[k], b = ring[(k + 1) % ring.size()];
      EXPECT_TRUE(set.count({std::min(a, b), std::max(a, b)})) << a << "-" << b;
    }
    EXPECT_EQ(ring[0], *std::min_element(ring.begin(), ring.end()));
    EXPECT_LT(ring[1], ring.back());
  }
}

std::vector<std::size_t> sizes(const std::vector<std::vector<int>>& rings) {
  std::vector<std::size_t> result;
  for (const auto& ring : rings) result.push_back(ring.size());
  return result;
}

// The second algorithm.
std::vector<std::size_t> brute_force_sizes(int nodes, const std::vector<std::pair<int, int>>& bonds, std::size_t max_size) {
  const auto set = bond_set(bonds);
  std::vector<std::pair<int, int>> edges(set.begin(), set.end());
  Adjacency adjacency(static_cast<std::size_t>(nodes));
  for (auto [a, b] : edges) {
    adjacency[static_cast<std::size_t>(a)].push_back(b);
    adjacency[static_cast<std::size_t>(b)].push_back(a);
  }
  std::set<std::vector<bool>> cycles;  // as edge sets
  std::vector<int> path;
  std::vector<bool> used(static_cast<std::size_t>(nodes));
  auto edge_index = [&](int a, int b) {
    return static_cast<std::size_t>(std::find(edges.begin(), edges.end(), std::make_pair(std::min(a, b), std::max(a, b))) -
                                    edges.begin());
  };
  std::function<void(int)> walk = [&](int v) {
    for (int w : adjacency[static_cast<std::size_t>(v)]) {
      if (w == path[0] && path.size() >= 3) {
        std::vector<bool> cycle(edges.size());
        for (std::size_t k = 0; k < path.size(); ++k) cycle[edge_index(path[k], path[(k + 1) % path.size()])] = true;
        cycles.insert(cycle);
      } else if (!used[static_cast<std::size_t>(w)] && w > path[0] && path.size() < max_size) {
        used[static_cast<std::size_t>(w)] = true;
        path.push_back(w);
        walk(w);
        path.pop_back();
        used[static_cast<std::size_t>(w)] = false;
      }
    }
  };
  for (int start = 0; start < nodes; ++start) {
    path = {start};
    used.assign(static_cast<std::size_t>(nodes), false);
    used[static_cast<std::size_t>(start)] = true;
    walk(start);
  }
  std::vector<std::vector<bool>> sorted(cycles.begin(), cycles.end());
  auto count = [](const std::vector<bool>& c) { return std::count(c.begin(), c.end(), true); };
  std::stable_sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) { return count(a) < count(b); });
  std::vector<std::vector<bool>> basis;  // reduced rows with their pivots first
  std::vector<std::size_t> pivots;
  std::vector<std::size_t> result;
  for (auto cycle : sorted) {
    const auto size = static_cast<std::size_t>(count(cycle));
    for (std::size_t r = 0; r < basis.size(); ++r)
      if (cycle[pivots[r]])
        for (std::size_t e = 0; e < cycle.size(); ++e) cycle[e] = cycle[e] != basis[r][e];
    const auto pivot = std::find(cycle.begin(), cycle.end(), true);
    if (pivot == cycle.end()) continue;
    pivots.push_back(static_cast<std::size_t>(pivot - cycle.begin()));
    basis.push_back(cycle);
    result.push_back(size);
  }
  return result;
}

}  // namespace

TEST(SmallestRings, FusedBridgedAndCagedSystems) {
  // Naphthalene: two six-membered rings sharing the bond 0-5.
  const std::vector<std::pair<int, int>> naphthalene{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 0},
                                                     {5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 0}};
  auto rings = smallest_rings(graph_of(10, naphthalene));
  expect_rings_well_formed(rings, naphthalene);
  EXPECT_EQ(rings, (std::vector<std::vector<int>>{{0, 1, 2, 3, 4, 5}, {0, 5, 6, 7, 8, 9}}));

  // Norbornane: C1..C6 a six-ring bridged by C7 between C1 and C4: two
  // five-membered rings, not the six-membered one.
  const std::vector<std::pair<int, int>> norbornane{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 0}, {0, 6}, {6, 3}};
  rings = smallest_rings(graph_of(7, norbornane));
  expect_rings_well_formed(rings, norbornane);
  EXPECT_EQ(rings, (std::vector<std::vector<int>>{{0, 1, 2, 3, 6}, {0, 5, 4, 3, 6}}));

  // Adamantane: bridgeheads 0, 2, 4, 6 and methylenes 1, 3, 5, 7, 8, 9;
  // 12 bonds, 10 atoms: three of its four chair rings.
  const std::vector<std::pair<int, int>> adamantane{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 0},
                                                    {0, 7}, {7, 6}, {6, 8}, {8, 2}, {6, 9}, {9, 4}};
  rings = smallest_rings(graph_of(10, adamantane));
  expect_rings_well_formed(rings, adamantane);
  EXPECT_EQ(sizes(rings), (std::vector<std::size_t>{6, 6, 6}));

  // Cubane: 12 bonds, 8 atoms: five of the six square faces.
  const std::vector<std::pair<int, int>> cubane{{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                                                {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
  rings = smallest_rings(graph_of(8, cubane));
  expect_rings_well_formed(rings, cubane);
  EXPECT_EQ(sizes(rings), (std::vector<std::size_t>(5, 4)));
  EXPECT_EQ(rings[0], (std::vector<int>{0, 1, 2, 3}));

  // Spiro[4.5]decane and a chain beside it; cyclodecane has no ring of
  // eight or fewer.
  const std::vector<std::pair<int, int>> spiro{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 0}, {0, 5}, {5, 6},
                                               {6, 7}, {7, 8}, {8, 9}, {9, 0}, {10, 11}, {11, 12}};
  rings = smallest_rings(graph_of(13, spiro));
  expect_rings_well_formed(rings, spiro);
  EXPECT_EQ(sizes(rings), (std::vector<std::size_t>{5, 6}));
  std::vector<std::pair<int, int>> cyclodecane;
  for (int k = 0; k < 10; ++k) cyclodecane.push_back({k, (k + 1) % 10});
  EXPECT_TRUE(smallest_rings(graph_of(10, cyclodecane)).empty());
  EXPECT_EQ(smallest_rings(graph_of(10, cyclodecane), 10).size(), 1u);

  // A graphene sheet as a brick wall, 20 rows of 40: every face a hexagon,
  // as many as the cyclomatic number.
  std::vector<std::pair<int, int>> sheet;
  for (int r = 0; r < 20; ++r)
    for (int c = 0; c < 40; ++c) {
      if (c + 1 < 40) sheet.push_back({40 * r + c, 40 * r + c + 1});
      if (r + 1 < 20 && (r + c) % 2 == 0) sheet.push_back({40 * r + c, 40 * (r + 1) + c});
    }
  rings = smallest_rings(graph_of(800, sheet));
  expect_rings_well_formed(rings, sheet);
  EXPECT_EQ(sizes(rings), std::vector<std::size_t>(sheet.size() - 800 + 1, 6));

  // A ring through an inversion centre, benzene I (Budzianowski &
  // Katrusiak, Acta Cryst. B62 (2006) 94): nodes 0-2 are C1, C2, C3, nodes
  // 3-5 their images through -x, -y, -z, bonded as the paper's C1-C2,
  // C2-C3 and C3-C1(-x, -y, -z). Bonds listed from both ends, and a
  // repeated bond, count once.
  Adjacency images{{1, 5, 1}, {0, 2}, {1, 3}, {2, 4}, {3, 5}, {4, 0}};
  EXPECT_EQ(smallest_rings(images), (std::vector<std::vector<int>>{{0, 1, 2, 3, 4, 5}}));
}

TEST(SmallestRings, SizesAgreeWithEveryCycleTakenShortestFirst) {
  vesk::testing::Noise noise;
  for (int trial = 0; trial < 40; ++trial) {
    // A chain of 12 with 4 to 7 extra bonds between random atoms.
    const int nodes = 12;
    std::vector<std::pair<int, int>> bonds;
    for (int k = 0; k + 1 < nodes; ++k) bonds.push_back({k, k + 1});
    const int extra = 4 + trial % 4;
    for (int e = 0; e < extra; ++e) {
      const int a = static_cast<int>((noise.next() + 1) * 6);
      const int b = static_cast<int>((noise.next() + 1) * 6);
      if (a != b && !bond_set(bonds).count({std::min(a, b), std::max(a, b)})) bonds.push_back({a, b});
    }
    const auto rings = smallest_rings(graph_of(nodes, bonds));
    expect_rings_well_formed(rings, bonds);
    EXPECT_EQ(sizes(rings), brute_force_sizes(nodes, bonds, kMaxRingSize)) << "trial " << trial;
  }
}
