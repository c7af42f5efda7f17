// SGINTERP on arbitrary symbols of up to 20 characters, with its listing
// written (to a unit on /dev/null) and SGERROR's diagnostics on the console.
// An accepted group must be well formed; GENEQ and SITESYM then run on a
// site taken from the bytes after the symbol.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "crystal/equivalent_positions.hpp"
#include "crystal/site_symmetry.hpp"
#include "crystal/spacegroup.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/units.hpp"

namespace {

constexpr int kListingUnit = 13;
constexpr std::size_t kSymbolLength = 20;

void check_group(const vesk::SpaceGroupInfo& group) {
  fuzz::require(group.centric == 0 || group.centric == 1, "centric is 0 or 1");
  fuzz::require(group.nsym >= 1 && group.nsym <= static_cast<int>(vesk::kMaxOperators), "1 to 24 operators");
  fuzz::require(group.ncent >= 1 && group.ncent <= static_cast<int>(vesk::kMaxCentrings), "1 to 4 centrings");
  fuzz::require(group.lattice >= vesk::kP && group.lattice <= vesk::kR, "a lattice type P to R");
  fuzz::require(group.laue >= 1 && group.laue <= 14, "a Laue class 1 to 14");
  fuzz::require(group.polar >= 0 && group.polar <= 8, "a polar-axis code 0 to 8");
  fuzz::require(group.unique_axis >= -1 && group.unique_axis <= 3, "an accepted group's unique axis");
  for (int c = 0; c < group.ncent; ++c)
    for (float v : group.centring[static_cast<std::size_t>(c)])
      fuzz::require(v >= 0.0f && v < 1.0f, "centring vectors within the cell");
  for (int k = 0; k < group.nsym; ++k) {
    const auto& op = group.ops[static_cast<std::size_t>(k)];
    int determinant = 0;
    for (int i = 1; i <= 3; ++i) {
      fuzz::require(op.t(i) >= 0 && op.t(i) <= 11, "translations in twelfths 0 to 11");
      for (int j = 1; j <= 3; ++j) fuzz::require(std::abs(op.r(i, j)) <= 1, "rotation entries -1, 0, 1");
    }
    determinant = op.r(1, 1) * (op.r(2, 2) * op.r(3, 3) - op.r(2, 3) * op.r(3, 2)) -
                  op.r(1, 2) * (op.r(2, 1) * op.r(3, 3) - op.r(2, 3) * op.r(3, 1)) +
                  op.r(1, 3) * (op.r(2, 1) * op.r(3, 2) - op.r(2, 2) * op.r(3, 1));
    fuzz::require(determinant == 1 || determinant == -1, "operators are orthogonal integer matrices");
    if (k == 0)
      for (int i = 1; i <= 3; ++i)
        for (int j = 1; j <= 3; ++j)
          fuzz::require(op.r(i, j) == (i == j ? 1 : 0) && op.t(i) == 0, "the identity comes first");
  }
  fuzz::require(group.general_multiplicity() <= static_cast<int>(vesk::kMaxEquivalents),
                "the general position fits 192 equivalents");
}

float coordinate(const std::uint8_t* bytes, std::size_t size, std::size_t at) {
  if (at + 4 > size) return 0.125f * static_cast<float>(at % 8);
  float value = 0;
  std::memcpy(&value, bytes + at, 4);
  if (!std::isfinite(value) || std::fabs(value) > 100.0f) value = std::fmod(std::fabs(value), 1.0f);
  return std::isfinite(value) ? value : 0.5f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  fuzz::require(recio::open(kListingUnit, "/dev/null", spec) == 0, "the listing unit opens on /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = std::min(size, kSymbolLength);
  const std::string symbol(reinterpret_cast<const char*>(data), length);
  vesk::SpaceGroupInfo group;
  vesk::SGINTERP(symbol, kListingUnit, group);
  if (group.failed()) {
    fuzz::require(group.error >= 0, "a failed interpretation gives its error code");
    return 0;
  }
  check_group(group);

  const vesk::Vec3 site{coordinate(data, size, kSymbolLength), coordinate(data, size, kSymbolLength + 4),
                        coordinate(data, size, kSymbolLength + 8)};
  vesk::EquivalentPositions positions;
  vesk::GENEQ(site, group, vesk::GeneqMode::Distinct, positions);
  fuzz::require(positions.size() >= 1 && static_cast<int>(positions.size()) <= group.general_multiplicity(),
                "GENEQ gives 1 to the general multiplicity of positions");
  const vesk::SiteSymmetry symmetry = vesk::SITESYM(site, group);
  fuzz::require(symmetry.entry >= 1 && symmetry.entry <= 152, "a site symmetry entry 1 to 152");
  fuzz::require(symmetry.name.size() == 8, "a site symmetry name of 8 characters");
  fuzz::require(symmetry.positions[49] >= 0 && symmetry.positions[49] <= 49, "at most 49 positions listed");
  return 0;
}
