// Space-group operators as exact integer Seitz pairs (rotation, translation
// in twelfths modulo 12), for comparing the group our interpreter builds
// from a symbol with the CIF's own operator loop, and for finding the
// operators that leave a site in place.
#pragma once
#include <array>
#include <compare>
#include <string>
#include <vector>

#include "crystal/spacegroup.hpp"

namespace cif2exp {

struct SeitzOperator {
  std::array<int, 9> rotation{};     // row by row: r11, r12, r13, r21, ...
  std::array<int, 3> translation{};  // twelfths, 0..11

  int r(int i, int j) const { return rotation[3 * i + j]; }  // from 0
  auto operator<=>(const SeitzOperator&) const = default;
};

// Every operator of the group: the listed ones, their inverted copies when
// the group is centric, each with every centring vector added (the order
// in which GENEQ generates positions).
std::vector<SeitzOperator> expand_group(const vesk::SpaceGroupInfo& group);

// The group that the CIF's "x,y,z" triplets generate (closed under products,
// translations modulo 1). Throws vesk::Error naming a triplet gemmi cannot
// read or a translation that is not a multiple of 1/12.
std::vector<SeitzOperator> group_from_triplets(const std::vector<std::string>& triplets);

// The operators gemmi's table gives for a space-group name (for a CIF
// without an operator loop); empty when the table does not know the name.
std::vector<SeitzOperator> group_from_table(const std::string& name, double alpha, double gamma);

// "-x+1/2,y,z+1/2"
std::string triplet(const SeitzOperator& op);

// The symbol in the spaced form our interpreter reads ("P 1 21/c 1",
// "R -3 R" for rhombohedral axes): gemmi's table form of the name, or the
// name itself when the table does not know it. Throws vesk::Error for an
// empty name.
std::string spaced_symbol(const std::string& name, double alpha, double gamma, const std::string& file);

// Stops with vesk::Error, naming both symbol and operators, when the two
// groups differ as sets.
void require_same_group(const std::string& symbol, const std::vector<SeitzOperator>& from_symbol,
                        const std::vector<SeitzOperator>& from_cif, const std::string& cif_source);

}  // namespace cif2exp
