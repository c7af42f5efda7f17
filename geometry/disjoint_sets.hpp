// The parts a set of items falls into when pairs of them are joined (bonds
// joining atoms into molecules): union-find with path halving.
#pragma once
#include <cstddef>
#include <numeric>
#include <vector>

namespace vesk {

class DisjointSets {
 public:
  explicit DisjointSets(std::size_t count) : parent_(count) { std::iota(parent_.begin(), parent_.end(), std::size_t{0}); }

  // The item that stands for the part `k` belongs to.
  std::size_t root(std::size_t k) {
    while (parent_[k] != k) k = parent_[k] = parent_[parent_[k]];
    return k;
  }

  void join(std::size_t a, std::size_t b) {
    const std::size_t rb = root(b);
    parent_[root(a)] = rb;
  }

 private:
  std::vector<std::size_t> parent_;
};

}  // namespace vesk
