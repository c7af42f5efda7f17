// The CIF side of cif2exp on arbitrary text: gemmi's parser, then what
// cif2exp takes from the first block (cell, symmetry, atoms, numbers with
// their s.u.'s), the group check and the conversion. cif2exp reports every
// fault through vesk::Error naming the file; any other exception from its
// own functions, or a number without a sound s.u., is a finding.
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include <gemmi/cif.hpp>

#include "cif2exp/cif_number.hpp"
#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/group_operators.hpp"
#include "crystal/spacegroup.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"

namespace {

constexpr const char* kFile = "FUZZ.CIF";

void check_number(const cif2exp::CifNumber& number) {
  if (!number.present) return;
  fuzz::require(std::isfinite(number.value), "a CIF number is finite");
  fuzz::require(number.su >= 0 && std::isfinite(number.su), "an s.u. is finite and not negative");
  fuzz::require(number.last_place > 0, "a number knows the place of its last digit");
}

void convert(const cif2exp::CifStructure& structure) {
  const double alpha = structure.cell[3].present ? structure.cell[3].value : 90;
  const double gamma = structure.cell[5].present ? structure.cell[5].value : 90;
  const cif2exp::ResolvedSymmetry symmetry =
      cif2exp::resolve_symmetry(structure.space_group_name, structure.hall, structure.operators, alpha, gamma);
  fuzz::require(symmetry.symbol.size() <= 20, "a space-group symbol fits its 20 characters");
  (void)cif2exp::convert(structure, symmetry, cif2exp::ConversionOptions{});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // SGERROR's diagnostics go to the console.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_number(cif2exp::parse_cif_number(text.substr(0, 40)));

  gemmi::cif::Document document;
  try {
    document = gemmi::cif::read_memory(text.data(), text.size(), kFile);
  } catch (const std::exception&) {
    return 0;  // not CIF syntax: gemmi's parser, not ours, refuses it
  }
  if (document.blocks.empty()) return 0;
  try {
    const cif2exp::CifStructure structure = cif2exp::read_cif_structure(document.blocks[0], kFile);
    for (const auto& number : structure.cell) check_number(number);
    for (const auto& atom : structure.atoms) {
      for (const auto& x : atom.x) check_number(x);
      check_number(atom.occupancy);
    }
    convert(structure);
  } catch (const vesk::Error& error) {
    fuzz::require(std::string(error.what()).find(kFile) != std::string::npos ||
                      std::string(error.what()).find("symmetry operator") != std::string::npos ||
                      std::string(error.what()).find("atom") != std::string::npos ||
                      std::string(error.what()).find("cell") != std::string::npos ||
                      std::string(error.what()).find("group") != std::string::npos ||
                      std::string(error.what()).find("symbol") != std::string::npos ||
                      std::string(error.what()).find("symmetry") != std::string::npos,
                  "a refused CIF names the file, the operator or the atom");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "escaped: %s\n", error.what());
    fuzz::require(false, "cif2exp reports through vesk::Error only");
  }
  return 0;
}
