#include "vortan/phase_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "expfile/keys.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"

namespace vesk {

namespace {

std::string record_text(int experiment_unit, const std::string& key) {
  std::string value(68, ' ');
  if (READEXP(experiment_unit, key, value) != 0) return {};
  return std::string(recio::trim_right(value));
}

std::string quoted_record(int experiment_unit, const std::string& key) {
  return "record \"" + key + "\" (\"" + record_text(experiment_unit, key) + "\")";
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

bool finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// The propagation works with the squares, in single precision.
bool finite_variances(const Vec3& sigma) { return finite({sigma[0] * sigma[0], sigma[1] * sigma[1], sigma[2] * sigma[2]}); }

std::string check_limit(bool given, float value, const char* item, int phase) {
  if (!given || (std::isfinite(value) && value >= 0)) return {};
  const std::string key = recio::write_string("(A,I1)", {"  VRTN CDAT", phase});
  return std::string(item) + " " + number(value) + " of the control record \"" + key +
         "\" is negative or not finite";
}

}  // namespace

std::string check_phase_values(int experiment_unit, const PhaseDescription& phase, const SearchControls& controls,
                               const CovarianceData& covariance) {
  const std::string prefix = CRSKEY(phase.number);
  std::string why;
  int natom = 0;
  const std::string natom_key = prefix + " NATOM";
  if (recio::read_string(record_text(experiment_unit, natom_key), "(I5)", {natom}) == 0 && natom < 1)
    why = quoted_record(experiment_unit, natom_key) + " announces " + std::to_string(natom) +
          " atoms; a phase needs at least one";

  const Vec3& abc = phase.abc;
  if (why.empty() && !(finite(abc) && abc[0] > 0 && abc[1] > 0 && abc[2] > 0))
    why = quoted_record(experiment_unit, prefix + "ABC   ") + " holds a cell length that is not positive";

  // The squared volume of the unit cell in units of abc: zero or below when
  // the angles close no cell (one of them 0 or 180, or one at least the sum
  // of the other two).
  const double ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  const double volume2 = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg;
  if (why.empty() && !(finite(phase.cosines) && volume2 > 1.0E-6))
    why = quoted_record(experiment_unit, prefix + "ANGLES") + " holds cell angles that give no cell";

  // Every length and product of the metric is a 32-bit real.
  const double volume = static_cast<double>(abc[0]) * abc[1] * abc[2] * std::sqrt(std::max(volume2, 0.0));
  if (why.empty() && !(volume >= std::numeric_limits<float>::min() && volume <= std::numeric_limits<float>::max()))
    why = quoted_record(experiment_unit, prefix + "ABC   ") + " gives a cell volume of " + number(volume) +
          " A**3, which a single-precision real cannot hold";

  if (why.empty() && !finite_variances(phase.abc_sigma))
    why = quoted_record(experiment_unit, prefix + "ABCSIG") + " holds a standard deviation whose square is not finite";
  if (why.empty() && !finite_variances(phase.cosine_sigma))
    why = quoted_record(experiment_unit, prefix + "ANGSIG") + " holds a standard deviation whose square is not finite";

  if (why.empty()) why = check_limit(controls.dmax_given, controls.dmax, "DMAX", phase.number);
  if (why.empty()) why = check_limit(controls.dagl_given, controls.dagl, "DAGL", phase.number);

  for (std::size_t i = 0; i < phase.atoms.size() && why.empty(); ++i) {
    const AtomSite& atom = phase.atoms[i];
    const std::string label = "atom \"" + std::string(recio::trim_right(atom.label)) + "\"";
    for (std::size_t k = 0; k < 3 && why.empty(); ++k)
      if (!(std::fabs(atom.x[k]) <= kFarthestCoordinate))
        why = label + " has the coordinate " + "xyz"[k] + " = " + number(atom.x[k]) + ", more than " +
              std::to_string(static_cast<long>(kFarthestCoordinate)) + " cells from the origin";
    for (std::size_t k = 0; k < 3 && why.empty(); ++k) {
      const int j = atom.x_position[k];
      if (j <= 0) continue;
      const float variance = COVEL(covariance, j, j);
      if (!std::isfinite(variance)) {
        const std::string name =
            j <= static_cast<int>(covariance.names.size()) ? covariance.names[static_cast<std::size_t>(j - 1)] : "";
        why = "the covariance file gives parameter \"" + name + "\" of " + label + " the variance " +
              number(variance);
      }
    }
    if (why.empty() && !std::isfinite(atom.fraction_sigma))
      why = "the covariance file gives the site fraction of " + label + " a variance that is not finite";
  }

  if (why.empty()) return {};
  return " Phase " + std::to_string(phase.number) + " is not computed: " + why +
         "; it keeps its records of the previous results file";
}

}  // namespace vesk
