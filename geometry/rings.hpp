// The rings of a bond graph: a smallest set of smallest rings (a minimum
// cycle basis, Horton, SIAM J. Comput. 16 (1987) 358), restricted to rings
// of at most `max_size` members. Nodes are 0..n-1 and stand for whatever
// the caller maps them to (atom images, so that a ring may close through a
// symmetry image); the graph is undirected and simple.
//
// Each ring is given in ring order (each node bonded to the next, the last
// to the first), starting at its lowest-numbered node and going on to the
// lower-numbered of that node's two ring neighbours. The rings come
// ordered by size, then by that node sequence. Where the smallest rings are
// not unique (the six faces of cubane, of which five form the set), the
// lower node sequences are taken first, so the choice depends only on the
// numbering.
#pragma once
#include <cstddef>
#include <limits>
#include <vector>

namespace vesk {

constexpr std::size_t kMaxRingSize = 8;

// adjacency[i] lists the neighbours of node i; a bond may be listed from
// one end or both. Entries outside 0..n-1 and a node's bond to itself are
// not bonds. The search stops once it has more than `most` rings (a caller
// that finds more than `most` knows the set is incomplete).
std::vector<std::vector<int>> smallest_rings(const std::vector<std::vector<int>>& adjacency,
                                             std::size_t max_size = kMaxRingSize,
                                             std::size_t most = std::numeric_limits<std::size_t>::max());

}  // namespace vesk
