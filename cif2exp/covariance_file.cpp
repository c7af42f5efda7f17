#include "cif2exp/covariance_file.hpp"

#include <cstdint>

#include "cif2exp/experiment_records.hpp"
#include "console/text_utils.hpp"
#include "expfile/covariance.hpp"
#include "recio/error.hpp"
#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"

namespace cif2exp {

void write_covariance_file(const std::string& file, const CovarianceContent& content) {
  const int nvar = static_cast<int>(content.variances.size());
  if (nvar > vesk::kMaxVariables)
    throw vesk::Error("more than " + std::to_string(vesk::kMaxVariables) +
                      " refined coordinates and occupancies; vortan's covariance reader takes at most that many");
  if (content.constraints.size() > static_cast<std::size_t>(vesk::kMaxMapEntries))
    throw vesk::Error("more than " + std::to_string(vesk::kMaxMapEntries) +
                      " constraint entries; vortan's covariance reader takes at most that many");

  recio::RecordBuilder first;
  first.put(std::int32_t{kCycle}).put(static_cast<std::int32_t>(content.names.size()));
  for (const std::string& name : content.names) first.put_text(name, 8);
  first.put(static_cast<std::int32_t>(nvar));
  for (const std::string& name : content.variable_names) first.put_text(name, 8);
  first.put(static_cast<float>(content.cycle_figure));

  recio::RecordBuilder second;
  const bool full = nvar <= kFullStorageLimit || !content.matrix.empty();
  const int band = full ? 0 : 1;
  const long long nmat = full ? static_cast<long long>(nvar) * (nvar + 1) / 2 : 2LL * nvar;
  std::vector<float> matrix(static_cast<std::size_t>(nmat), 0.0f);
  if (!content.matrix.empty()) {
    if (content.matrix.size() != static_cast<std::size_t>(nmat))
      throw vesk::Error("the covariance matrix holds " + std::to_string(content.matrix.size()) + " values for " +
                        std::to_string(nvar) + " variables");
    // The upper triangle row by row is the packing itself.
    for (std::size_t k = 0; k < matrix.size(); ++k) matrix[k] = static_cast<float>(content.matrix[k]);
  }
  for (int i = 1; i <= nvar && content.matrix.empty(); ++i) {
    // Diagonal element (i, i), numbered from 1 as the reader numbers it.
    const long long element = full ? nmat - static_cast<long long>(nvar - i + 1) * (nvar - i + 2) / 2 + 1
                                   : static_cast<long long>(band + 1) * i;
    matrix[static_cast<std::size_t>(element - 1)] = static_cast<float>(content.variances[i - 1]);
  }
  second.put(static_cast<std::int32_t>(nmat)).put(std::int32_t{band});
  for (float value : matrix) second.put(value);

  recio::RecordBuilder third;
  third.put(static_cast<std::int32_t>(content.constraints.size()));
  for (const ConstraintEntry& entry : content.constraints)
    third.put(static_cast<std::int32_t>(entry.parameter * vesk::kConstraintBase + entry.variable))
        .put(static_cast<float>(entry.coefficient));

  int unit = 11;
  vesk::FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  spec.form = recio::Form::Unformatted;
  int status = recio::open(unit, file, spec);
  if (status != 0) throw vesk::Error("cannot create " + file + ": " + recio::status_text(status));
  for (const recio::RecordBuilder* record : {&first, &second, &third}) {
    status = recio::write_unformatted(unit, record->bytes());
    if (status != 0) {
      recio::close(unit);
      throw vesk::Error("cannot write " + file + ": " + recio::status_text(status));
    }
  }
  status = recio::close(unit);
  if (status != 0) throw vesk::Error("cannot write " + file + ": " + recio::status_text(status));
}

}  // namespace cif2exp
