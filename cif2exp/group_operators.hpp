// Space-group operators as exact integer Seitz pairs (rotation, translation
// in twelfths modulo 12), for comparing the group our interpreter builds
// from a symbol with the CIF's own group, and for finding the operators
// that leave a site in place.
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

// One "x,y,z" triplet: "-x+1/2,y,z", "x-y,x,z+1/6", and the decimal
// translations older programs write ("-x,.5+y,-z", "0.6667+x", "-Z+0.5"),
// each within 0.0005 of a multiple of 1/12. Throws vesk::Error naming the
// triplet.
SeitzOperator parse_operator(const std::string& text);

// The group that the CIF's triplets generate (closed under products,
// translations modulo 1). Throws vesk::Error naming a triplet it cannot
// read or a set that generates no space group.
std::vector<SeitzOperator> group_from_triplets(const std::vector<std::string>& triplets);

// The group of a Hall symbol; empty when gemmi cannot read it.
std::vector<SeitzOperator> group_from_hall(const std::string& hall);

// The operators gemmi's table gives for a space-group name (for a CIF
// without an operator loop), the name first put into the form of the
// table (normalised_name); empty when the table does not know it.
std::vector<SeitzOperator> group_from_table(const std::string& name, double alpha, double gamma);

// Screw axes written "2(1)" or "2_1" become "21" ("P2(1)/n", "P2_1/c",
// "P12(1)/c1", "Pmn2(1)"); surrounding blanks go.
std::string normalised_name(const std::string& name);

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

// A move of the origin by `shift` (in 24ths of the cell edges): new
// coordinates are x + shift. Operators (R, t) become (R, t - (R - I) shift).
struct OriginShift {
  std::array<int, 3> shift{};  // 24ths, -11..12
  bool none() const { return shift == std::array<int, 3>{}; }
};

// "x+1/8,y+1/8,z+1/8"
std::string shift_text(const OriginShift& shift);
// "1/8 1/8 1/8", "0 -1/4 1/2": NAME.CIFSRC's form
std::string shift_fractions(const OriginShift& shift);

// The CIF's group moved to the origin `shift`; empty when a translation
// would leave the twelfths.
std::vector<SeitzOperator> shifted_group(const std::vector<SeitzOperator>& group, const OriginShift& shift);

// What cif2exp writes for the CIF's group: a symbol our interpreter reads,
// its full group, and the origin shift that takes the CIF's coordinates
// into it (none when the CIF already uses that origin).
struct ResolvedSymmetry {
  std::string symbol;
  std::vector<SeitzOperator> group;  // as our interpreter expands the symbol
  OriginShift origin;
  std::string source;   // where the CIF's group came from, for messages
  std::string setting;  // the CIF's setting as gemmi's table names it, or blank
};

// The CIF's group from its operator loop, else its Hall symbol, else its
// name through gemmi's table; then a symbol of our interpreter that gives
// exactly that group, or that group after an origin shift (origin choice 1
// read as origin choice 2). Throws vesk::Error naming the symbols and
// operators when there is none.
ResolvedSymmetry resolve_symmetry(const std::string& name, const std::string& hall,
                                  const std::vector<std::string>& operators, double alpha, double gamma);

}  // namespace cif2exp
