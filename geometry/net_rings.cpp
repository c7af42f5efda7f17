#include "geometry/net_rings.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>

namespace vesk {

namespace {

// Positions compared to 1.0E-4 of a cell edge, as the molecules are completed.
constexpr double kPositionSteps = 10000.0;

struct NodeKey {
  int atom = 0;
  std::array<long long, 3> at{};
  bool operator==(const NodeKey&) const = default;
  auto operator<=>(const NodeKey&) const = default;
};

struct NodeKeyHash {
  std::size_t operator()(const NodeKey& k) const {
    std::size_t h = std::hash<int>()(k.atom);
    for (long long v : k.at) h = h * 1000003u ^ std::hash<long long>()(v);
    return h;
  }
};

// The images met from one root, numbered as they are met, each with its
// bonds to other images found when first asked for.
class ImageNet {
 public:
  ImageNet(const PhaseDescription& phase, const BondGraph& bonds) : phase_(phase), bonds_(bonds) {}

  void clear() {
    nodes_.clear();
    neighbours_.clear();
    expanded_.clear();
    index_.clear();
  }

  NodeKey key(int atom, const SymmetryOperation& op) const {
    const Vec3d x = image_of(op, phase_.atoms[static_cast<std::size_t>(atom - 1)].x);
    return {atom, {std::llround(x[0] * kPositionSteps), std::llround(x[1] * kPositionSteps),
                   std::llround(x[2] * kPositionSteps)}};
  }

  int node(int atom, const SymmetryOperation& op) {
    const auto [at, added] = index_.emplace(key(atom, op), static_cast<int>(nodes_.size()));
    if (added) {
      nodes_.push_back({atom, op});
      neighbours_.emplace_back();
      expanded_.push_back(false);
    }
    return at->second;
  }

  const std::vector<int>& neighbours(int v, std::size_t& steps) {
    const auto k = static_cast<std::size_t>(v);
    if (!expanded_[k]) {
      expanded_[k] = true;
      const NetImage from = nodes_[k];
      std::vector<int> found;
      for (const Bond& bond : bonds_.bonds_of(from.atom)) {
        ++steps;
        const int w = node(bond.atom, compose(from.op, bond_operation(phase_.group, bond)));
        if (w != v && std::find(found.begin(), found.end(), w) == found.end()) found.push_back(w);
      }
      neighbours_[k] = std::move(found);
    }
    return neighbours_[k];
  }

  const NetImage& at(int v) const { return nodes_[static_cast<std::size_t>(v)]; }
  std::size_t size() const { return nodes_.size(); }

 private:
  const PhaseDescription& phase_;
  const BondGraph& bonds_;
  std::vector<NetImage> nodes_;
  std::vector<std::vector<int>> neighbours_;
  std::vector<bool> expanded_;
  std::unordered_map<NodeKey, int, NodeKeyHash> index_;
};

// Breadth-first distances from one image up to `depth` bonds; unreached
// images read as beyond it.
class Distances {
 public:
  void from(ImageNet& net, int start, int depth, std::size_t& steps) {
    for (int v : reached_) distance_[static_cast<std::size_t>(v)] = -1;
    reached_.assign(1, start);
    grow(net.size());
    distance_[static_cast<std::size_t>(start)] = 0;
    for (std::size_t head = 0; head < reached_.size(); ++head) {
      const int v = reached_[head];
      const int d = distance_[static_cast<std::size_t>(v)];
      if (d >= depth) continue;
      for (int w : net.neighbours(v, steps)) {
        grow(net.size());
        if (distance_[static_cast<std::size_t>(w)] >= 0) continue;
        distance_[static_cast<std::size_t>(w)] = d + 1;
        reached_.push_back(w);
      }
    }
  }
  int of(int v) const {
    const auto k = static_cast<std::size_t>(v);
    return k < distance_.size() ? distance_[k] : -1;
  }

 private:
  void grow(std::size_t size) {
    if (distance_.size() < size) distance_.resize(size, -1);
  }
  std::vector<int> distance_;
  std::vector<int> reached_;
};

// No two atoms of the ring closer through the net than round the ring.
bool shortest_path_ring(ImageNet& net, const std::vector<int>& cycle, Distances& distances, std::size_t& steps) {
  const int n = static_cast<int>(cycle.size());
  for (int i = 0; i < n; ++i) {
    distances.from(net, cycle[static_cast<std::size_t>(i)], n / 2, steps);
    for (int j = i + 2; j < n; ++j) {
      const int around = std::min(j - i, n - (j - i));
      const int d = distances.of(cycle[static_cast<std::size_t>(j)]);
      if (d >= 0 && d < around) return false;
    }
  }
  return true;
}

using RingKey = std::vector<NodeKey>;

// The ring as seen from each image of its lowest-numbered atom carried to
// the atom's own place, in either direction; the least of these names it.
std::pair<RingKey, std::vector<NetImage>> canonical(const ImageNet& net, const std::vector<int>& cycle) {
  const std::size_t n = cycle.size();
  int lowest = net.at(cycle.front()).atom;
  for (int v : cycle) lowest = std::min(lowest, net.at(v).atom);
  std::pair<RingKey, std::vector<NetImage>> best;
  for (std::size_t p = 0; p < n; ++p) {
    if (net.at(cycle[p]).atom != lowest) continue;
    const SymmetryOperation back = inverse(net.at(cycle[p]).op);
    for (int direction : {1, -1}) {
      RingKey key;
      std::vector<NetImage> ring;
      for (std::size_t k = 0; k < n; ++k) {
        const NetImage& image = net.at(cycle[direction > 0 ? (p + k) % n : (p + n - k) % n]);
        const NetImage moved{image.atom, compose(back, image.op)};
        key.push_back(net.key(moved.atom, moved.op));
        ring.push_back(moved);
      }
      if (best.first.empty() || key < best.first) best = {std::move(key), std::move(ring)};
    }
  }
  return best;
}

}  // namespace

NetRings net_rings(const PhaseDescription& phase, const BondGraph& bonds, std::size_t max_size,
                   std::size_t most_rings, std::size_t most_steps) {
  NetRings result;
  if (max_size < 3 || bonds.of_atom.size() != phase.atoms.size()) return result;
  ImageNet net(phase, bonds);
  Distances from_root, around;
  std::set<RingKey> seen;
  std::size_t steps = 0;
  const int depth = static_cast<int>(max_size / 2);
  for (int root = 1; root <= static_cast<int>(phase.atoms.size()); ++root) {
    if (bonds.bonds_of(root).size() < 2) continue;
    net.clear();
    const int start = net.node(root, SymmetryOperation{});
    from_root.from(net, start, depth, steps);
    // Every simple path from the root that can still close within
    // max_size bonds, through atoms numbered no lower than the root's (a
    // ring through a lower one is found from that one).
    std::vector<int> path{start};
    std::vector<char> on_path(net.size(), 0);
    on_path[static_cast<std::size_t>(start)] = 1;
    std::vector<std::vector<int>> cycles;
    std::function<void()> extend = [&]() {
      if (steps > most_steps) return;
      const int v = path.back();
      const std::vector<int> next = net.neighbours(v, steps);
      for (int w : next) {
        ++steps;
        if (w == start) {
          if (path.size() >= 3 && path[1] < path.back()) cycles.push_back(path);
          continue;
        }
        if (on_path.size() < net.size()) on_path.resize(net.size(), 0);
        if (on_path[static_cast<std::size_t>(w)] || net.at(w).atom < root) continue;
        const int back = from_root.of(w);
        if (back < 0 || path.size() + static_cast<std::size_t>(back) > max_size) continue;
        path.push_back(w);
        on_path[static_cast<std::size_t>(w)] = 1;
        extend();
        on_path[static_cast<std::size_t>(w)] = 0;
        path.pop_back();
      }
    };
    extend();
    std::sort(cycles.begin(), cycles.end(),
              [](const std::vector<int>& a, const std::vector<int>& b) { return a.size() < b.size(); });
    for (const std::vector<int>& cycle : cycles) {
      if (!shortest_path_ring(net, cycle, around, steps)) continue;
      auto [key, ring] = canonical(net, cycle);
      if (!seen.insert(std::move(key)).second) continue;
      result.rings.push_back(std::move(ring));
      if (result.rings.size() > most_rings) break;
    }
    if (result.rings.size() > most_rings || steps > most_steps) {
      result.limit_met = true;
      break;
    }
  }
  return result;
}

}  // namespace vesk
