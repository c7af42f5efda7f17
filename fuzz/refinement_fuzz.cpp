// The readers of a refinement's own files on arbitrary text: the SHELXL
// instructions (everything before a line "@@@"), the HKLF 4 reflections
// (after it) and an fcf (the same text, as CIF). Each reports a fault
// through vesk::Error naming the text and the line; any other exception is
// a finding, as are numbers that are not finite.
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include "cif2exp/reflection_data.hpp"
#include "cif2exp/res_instructions.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"

namespace {

constexpr const char* kRes = "FUZZ.RES";
constexpr const char* kHkl = "FUZZ.HKL";

template <typename Read>
void judged(const char* name, Read read) {
  try {
    read();
  } catch (const vesk::Error& error) {
    fuzz::require(std::string(error.what()).find(name) != std::string::npos, "a refused text is named");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "escaped: %s\n", error.what());
    fuzz::require(false, "the readers report through vesk::Error only");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t split = text.find("\n@@@\n");
  const std::string res = text.substr(0, split);
  const std::string hkl = split == std::string::npos ? text : text.substr(split + 5);
  judged(kRes, [&] {
    const cif2exp::ResInstructions r = cif2exp::read_res_instructions(res, kRes);
    for (const cif2exp::ResAtom& atom : r.atoms) {
      fuzz::require(atom.sfac >= 1 && atom.sfac <= static_cast<int>(r.sfac.size()), "an atom's type is one of SFAC's");
      fuzz::require(atom.pivot < static_cast<int>(r.atoms.size()) && atom.u_pivot < static_cast<int>(r.atoms.size()),
                    "a pivot is an atom");
      for (double x : atom.x) fuzz::require(std::isfinite(x), "coordinates are finite");
    }
    fuzz::require(r.latt != 0 && std::abs(r.latt) <= 7, "LATT is a lattice type");
  });
  judged(kHkl, [&] {
    for (const lsq::Observation& o : cif2exp::read_hklf4(hkl, kHkl))
      fuzz::require(std::isfinite(o.intensity) && std::isfinite(o.sigma), "a reflection's values are finite");
  });
  judged(kHkl, [&] { (void)cif2exp::read_fcf(hkl, kHkl); });
  return 0;
}
