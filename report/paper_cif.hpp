// The paper's own CIF, for geometry loops that paste into it: its operator
// loop (`vortan NAME --cif=PAPER.cif`, or the CIF that cif2exp converted,
// named in NAME.CIFSRC) gives the numbering of the site codes, and the
// CIFSRC file gives the atoms' labels as the paper has them.
#pragma once
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crystal/spacegroup.hpp"
#include "crystal/symmetry_operation.hpp"

namespace vesk {

// One row of the paper's operator loop.
struct PaperSymop {
  std::string id;          // _space_group_symop_id, else the row number
  std::string xyz;         // as the paper writes it
  SymmetryOperation operation;
};

struct PaperBlock {
  std::string name;        // without "data_"
  std::vector<PaperSymop> symops;
  std::string group_name;  // when the operators come from the group's name (no loop)
};

// An origin shift in 24ths of the cell edges: the experiment's coordinates
// are the paper's plus the shift (cif2exp's move to origin choice 2).
using OriginShift24 = std::array<int, 3>;

struct PaperCif {
  std::string file;        // as named
  std::vector<PaperBlock> blocks;  // those with an operator loop or a group name, in file order
  OriginShift24 shift{};   // from NAME.CIFSRC when that names this file
  std::string source_file; // that NAME.CIFSRC, when it names this file
  // From NAME.CIFSRC when that names this file: per atom of the experiment,
  // its label there and in the paper.
  std::vector<std::pair<std::string, std::string>> labels;
};

// "-x+1/2,y,z-.25", "X-Y, x, z+0.3333": a translation must lie within 0.05
// twelfths of a multiple of 1/12. Throws vesk::Error naming the text.
SymmetryOperation parse_symop_xyz(const std::string& xyz);

// The operation in the dictionary's xyz form, "-x+1/2,y,-z": translations as
// they stand ("x,-y-1/2,z-1/2"), not reduced into the cell.
std::string symop_xyz(const SymmetryOperation& operation);

// Reads the operator loops of a CIF (`_space_group_symop_operation_xyz` or
// `_symmetry_equiv_pos_as_xyz`, also in their dotted forms), or, for a
// block without one, the operators of its Hall symbol or Hermann-Mauguin
// name from gemmi's table; only the block `block_name` when it is not
// empty. Operator ids that are numbers must be distinct and from 1 to
// 9999. Throws vesk::Error for a file that does not read (a folder, a file
// without read permission: the system's reason), an operator or id that
// cannot be used, or a file with neither loop nor group name.
PaperCif read_paper_cif(const std::string& file, const std::string& block_name = {});

// NAME.CIFSRC, written by cif2exp beside the experiment it converted.
struct CifSource {
  std::string cif;         // absolute path of the CIF
  std::string block;       // without "data_"
  OriginShift24 shift{};   // "shift 1/8 1/8 1/8": the origin cif2exp moved to, absent when none
  std::vector<std::pair<std::string, std::string>> labels;  // experiment label, CIF label
  std::vector<std::pair<std::string, std::string>> disorder;  // experiment label, disorder group
  // Atoms whose coordinates rode on another's in the refinement: experiment
  // label, its pivot's.
  std::vector<std::pair<std::string, std::string>> riding;
  // "carry FILE 1:1 3:2": marks of FILE, set aside by the conversion, whose
  // atoms (number in FILE, number now) are still there.
  std::vector<std::pair<std::string, std::map<int, int>>> carry;
  // "pressure 180 _publ_section_title": the pressure the CIF says the
  // structure was measured at, GPa, and the item that says it.
  std::optional<double> pressure_gpa;
  std::string pressure_item;
};
// Nothing when the file is absent; throws vesk::Error for one that does not
// read as such a file.
std::optional<CifSource> read_cif_source(const std::string& file);

// Empty when the paper's operators are the group's (every operation the
// group generates found among them modulo whole cells, and no more of
// them); else what differs.
std::string group_difference(const SpaceGroupInfo& group, const std::vector<PaperSymop>& symops,
                             const OriginShift24& shift = {});

// An operation on the experiment's coordinates as it acts on the paper's,
// x_paper = x - shift: (R, t) becomes (R, t + (R - I) shift). Throws
// vesk::Error when the translation leaves the twelfths (a shift that is no
// origin of the group).
SymmetryOperation in_paper_setting(const SymmetryOperation& operation, const OriginShift24& shift);

// The operator codes of the group in generation order (centring vectors
// outermost, then without and with the inversion, then the listed operators).
std::vector<int> generation_codes(const SpaceGroupInfo& group);
// The operations of the group in generation order (centring vectors
// outermost, then without and with the inversion, then the listed
// operators), each as operation_of gives it.
std::vector<SymmetryOperation> generated_operations(const SpaceGroupInfo& group);

}  // namespace vesk
