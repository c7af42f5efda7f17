#include "geometry/rings.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <utility>

namespace vesk {

namespace {

using Bits = std::vector<std::uint64_t>;

struct Graph {
  std::vector<std::vector<int>> neighbours;          // sorted, both directions
  std::map<std::pair<int, int>, std::size_t> edge;   // (low, high) -> edge number
};

Graph simple_graph(const std::vector<std::vector<int>>& adjacency) {
  const int n = static_cast<int>(adjacency.size());
  Graph graph;
  graph.neighbours.assign(adjacency.size(), {});
  for (int i = 0; i < n; ++i)
    for (int j : adjacency[static_cast<std::size_t>(i)]) {
      if (j < 0 || j >= n || j == i) continue;
      const std::pair<int, int> key{std::min(i, j), std::max(i, j)};
      if (graph.edge.count(key)) continue;
      graph.edge.emplace(key, graph.edge.size());
      graph.neighbours[static_cast<std::size_t>(i)].push_back(j);
      graph.neighbours[static_cast<std::size_t>(j)].push_back(i);
    }
  for (auto& list : graph.neighbours) std::sort(list.begin(), list.end());
  return graph;
}

// Breadth-first shortest-path tree from `root`, no deeper than `depth`;
// parents are the lowest-numbered at each step, so the paths are fixed.
// The arrays serve every root: only the nodes reached are reset.
struct PathTree {
  std::vector<int> distance;  // -1: not reached
  std::vector<int> parent;
  std::vector<int> reached;   // in breadth-first order
};

void grow_path_tree(const Graph& graph, int root, int depth, PathTree& tree) {
  for (int v : tree.reached) {
    tree.distance[static_cast<std::size_t>(v)] = -1;
    tree.parent[static_cast<std::size_t>(v)] = -1;
  }
  tree.reached.assign(1, root);
  tree.distance[static_cast<std::size_t>(root)] = 0;
  for (std::size_t head = 0; head < tree.reached.size(); ++head) {
    const int v = tree.reached[head];
    if (tree.distance[static_cast<std::size_t>(v)] >= depth) continue;
    for (int w : graph.neighbours[static_cast<std::size_t>(v)])
      if (tree.distance[static_cast<std::size_t>(w)] < 0) {
        tree.distance[static_cast<std::size_t>(w)] = tree.distance[static_cast<std::size_t>(v)] + 1;
        tree.parent[static_cast<std::size_t>(w)] = v;
        tree.reached.push_back(w);
      }
  }
}

std::vector<int> path_to_root(const PathTree& tree, int node) {
  std::vector<int> path;
  for (int v = node; v >= 0; v = tree.parent[static_cast<std::size_t>(v)]) path.push_back(v);
  return path;
}

// The ring in the stated order: from its lowest node towards the lower of
// that node's two ring neighbours.
std::vector<int> canonical_order(std::vector<int> ring) {
  const auto lowest = std::min_element(ring.begin(), ring.end());
  std::rotate(ring.begin(), lowest, ring.end());
  if (ring.size() > 2 && ring.back() < ring[1]) std::reverse(ring.begin() + 1, ring.end());
  return ring;
}

struct Candidate {
  std::vector<int> ring;
  Bits edges;
};

// Gaussian elimination over GF(2) on the rings' edge sets: a candidate
// joins the basis when it is not a sum of the rings taken before it.
class CycleSpace {
 public:
  bool add_if_independent(Bits edges) {
    for (const auto& [pivot, row] : rows_)
      if (edges[pivot / 64] >> (pivot % 64) & 1u)
        for (std::size_t w = 0; w < edges.size(); ++w) edges[w] ^= row[w];
    for (std::size_t w = 0; w < edges.size(); ++w)
      if (edges[w] != 0) {
        const std::size_t pivot = 64 * w + static_cast<std::size_t>(std::countr_zero(edges[w]));
        // Keep the rows reduced: no other row holds the new pivot.
        for (auto& [other, row] : rows_)
          if (row[pivot / 64] >> (pivot % 64) & 1u)
            for (std::size_t k = 0; k < row.size(); ++k) row[k] ^= edges[k];
        rows_.emplace_back(pivot, std::move(edges));
        return true;
      }
    return false;
  }
  std::size_t rank() const { return rows_.size(); }

 private:
  std::vector<std::pair<std::size_t, Bits>> rows_;
};

}  // namespace

std::vector<std::vector<int>> smallest_rings(const std::vector<std::vector<int>>& adjacency, std::size_t max_size,
                                             std::size_t most) {
  const Graph graph = simple_graph(adjacency);
  const std::size_t nodes = graph.neighbours.size();
  const std::size_t words = (graph.edge.size() + 63) / 64;
  if (max_size < 3 || graph.edge.empty()) return {};

  // Horton's candidates: for every root v and bond (x, y), the shortest
  // path v..x, the bond, and the shortest path y..v, when the two paths
  // meet only at v. Some minimum cycle basis lies among them.
  const int depth = static_cast<int>(max_size / 2);
  std::vector<Candidate> candidates;
  PathTree tree;
  tree.distance.assign(nodes, -1);
  tree.parent.assign(nodes, -1);
  std::vector<char> on_path(nodes, 0);
  for (int root = 0; root < static_cast<int>(nodes); ++root) {
    grow_path_tree(graph, root, depth, tree);
    for (int x : tree.reached)
      for (int y : graph.neighbours[static_cast<std::size_t>(x)]) {
        if (y < x) continue;
        const int dx = tree.distance[static_cast<std::size_t>(x)];
        const int dy = tree.distance[static_cast<std::size_t>(y)];
        if (dy < 0 || static_cast<std::size_t>(dx + dy + 1) > max_size) continue;
        if (tree.parent[static_cast<std::size_t>(x)] == y || tree.parent[static_cast<std::size_t>(y)] == x) continue;
        const std::vector<int> to_x = path_to_root(tree, x);
        const std::vector<int> to_y = path_to_root(tree, y);
        for (int v : to_x) on_path[static_cast<std::size_t>(v)] = 1;
        bool simple = true;
        for (std::size_t k = 0; k + 1 < to_y.size(); ++k)
          if (on_path[static_cast<std::size_t>(to_y[k])]) simple = false;
        for (int v : to_x) on_path[static_cast<std::size_t>(v)] = 0;
        if (!simple) continue;
        Candidate candidate;
        candidate.ring = to_x;                                        // x .. root
        candidate.ring.insert(candidate.ring.end(), to_y.rbegin() + 1, to_y.rend());  // .. y
        candidate.ring = canonical_order(std::move(candidate.ring));
        candidates.push_back(std::move(candidate));
      }
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.ring.size() != b.ring.size() ? a.ring.size() < b.ring.size() : a.ring < b.ring;
  });
  candidates.erase(std::unique(candidates.begin(), candidates.end(),
                               [](const Candidate& a, const Candidate& b) { return a.ring == b.ring; }),
                   candidates.end());

  // Components and bonds give the size of a whole basis (the cyclomatic
  // number); the search stops when it is reached.
  std::vector<int> component(nodes, -1);
  std::size_t components = 0;
  for (std::size_t start = 0; start < nodes; ++start) {
    if (component[start] >= 0) continue;
    std::vector<int> stack{static_cast<int>(start)};
    component[start] = static_cast<int>(components);
    while (!stack.empty()) {
      const int v = stack.back();
      stack.pop_back();
      for (int w : graph.neighbours[static_cast<std::size_t>(v)])
        if (component[static_cast<std::size_t>(w)] < 0) {
          component[static_cast<std::size_t>(w)] = static_cast<int>(components);
          stack.push_back(w);
        }
    }
    ++components;
  }
  const std::size_t basis_size = graph.edge.size() + components - nodes;

  CycleSpace space;
  std::vector<std::vector<int>> rings;
  for (Candidate& candidate : candidates) {
    if (space.rank() == basis_size) break;
    candidate.edges.assign(words, 0);
    const std::size_t size = candidate.ring.size();
    for (std::size_t k = 0; k < size; ++k) {
      const int a = candidate.ring[k];
      const int b = candidate.ring[(k + 1) % size];
      const std::size_t e = graph.edge.at({std::min(a, b), std::max(a, b)});
      candidate.edges[e / 64] |= std::uint64_t{1} << (e % 64);
    }
    if (space.add_if_independent(std::move(candidate.edges))) rings.push_back(candidate.ring);
    if (rings.size() > most) break;
  }
  return rings;
}

}  // namespace vesk
