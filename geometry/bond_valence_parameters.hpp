// Bond-valence parameters R0 and b of s = exp((R0 - R) / b), read from a
// table in the CIF layout of I. D. Brown's accumulated table (loops of
// _valence_param_* and _valence_ref_*). The table bundled with the programs
// (geometry/bvparm2013.cif, with its source and terms of use in its head) is
// compiled in, so nothing depends on a path at run time.
//
// Which entry serves a pair: the table lists the values reported for one
// cation, oxidation state, anion and anion state "in decreasing order of
// reliability", so the first entry for the exact four serves; without one,
// the first entry whose cation state is 9 (the table's mark for parameters
// given without an oxidation state, mostly Brese & O'Keeffe's); else none.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

struct BondValenceParameter {
  std::string cation;        // element symbol as in the table ("Fe", "NH" for ammonium)
  int cation_state = 0;      // 9: not stated
  std::string anion;
  int anion_state = 0;
  double r0 = 0.0;           // Angstrom
  double b = 0.0;            // Angstrom
  std::string reference;     // the table's reference code ("a", "b", "bj")
  std::string details;       // its remark, "?" for none
};

struct BondValenceTable {
  std::vector<BondValenceParameter> entries;          // in the table's order
  std::map<std::string, std::string> references;      // code -> citation
};

// Throws vesk::Error naming the line for a malformed parameter row, and when
// the text holds no parameter loop.
BondValenceTable parse_bond_valence_table(std::string_view cif_text);

// The bundled table, parsed once on first use.
const BondValenceTable& bundled_bond_valence_table();
std::string_view bundled_bond_valence_text();

// The entry that serves the pair by the rule above, nullptr for none; with
// a reference code, that reference's first entry for the pair when the
// table has one (a user's choice), else the rule. Element symbols compare
// without regard to case.
const BondValenceParameter* find_bond_valence_parameter(const BondValenceTable& table,
                                                        std::string_view cation, int cation_state,
                                                        std::string_view anion, int anion_state,
                                                        std::string_view reference = {});

}  // namespace vesk
