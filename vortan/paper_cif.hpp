// The paper's own CIF, for geometry loops that paste into it: its operator
// loop (`vortan NAME --cif=PAPER.cif`, or the CIF that cif2exp converted,
// named in NAME.CIFSRC) gives the numbering of the site codes, and the
// CIFSRC file gives the atoms' labels as the paper has them.
#pragma once
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
};

struct PaperCif {
  std::string file;        // as named
  std::vector<PaperBlock> blocks;  // those with an operator loop, in file order
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
// `_symmetry_equiv_pos_as_xyz`, also in their dotted forms); only the block
// `block_name` when it is not empty. Throws vesk::Error for a file that does
// not read or holds no such loop.
PaperCif read_paper_cif(const std::string& file, const std::string& block_name = {});

// NAME.CIFSRC, written by cif2exp beside the experiment it converted.
struct CifSource {
  std::string cif;         // absolute path of the CIF
  std::string block;       // without "data_"
  std::vector<std::pair<std::string, std::string>> labels;  // experiment label, CIF label
  std::vector<std::pair<std::string, std::string>> disorder;  // experiment label, disorder group
};
// Nothing when the file is absent; throws vesk::Error for one that does not
// read as such a file.
std::optional<CifSource> read_cif_source(const std::string& file);

// Empty when the paper's operators are the group's (every operation the
// group generates found among them modulo whole cells, and no more of
// them); else what differs.
std::string group_difference(const SpaceGroupInfo& group, const std::vector<PaperSymop>& symops);

// The operator codes of the group in generation order (centring vectors
// outermost, then without and with the inversion, then the listed operators).
std::vector<int> generation_codes(const SpaceGroupInfo& group);
// The operations of the group in generation order (centring vectors
// outermost, then without and with the inversion, then the listed
// operators), each as operation_of gives it.
std::vector<SymmetryOperation> generated_operations(const SpaceGroupInfo& group);

}  // namespace vesk
