#include "tests/support/covariance_writer.hpp"

#include <algorithm>
#include <stdexcept>

#include "console/text_utils.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"

namespace testing_support {

int constraint_code(int parameter, int variable) { return parameter * 46340 + variable; }

std::vector<float> pack_full(const std::vector<std::vector<float>>& dense) {
  std::vector<float> packed;
  const std::size_t n = dense.size();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i; j < n; ++j) packed.push_back(dense[i][j]);
  return packed;
}

std::vector<float> pack_band(const std::vector<std::vector<float>>& dense, int band) {
  const int n = static_cast<int>(dense.size());
  std::vector<float> packed(static_cast<std::size_t>((band + 1) * n), 0.0f);
  for (int j = 1; j <= n; ++j)
    for (int i = std::max(1, j - band); i <= j; ++i)
      packed[static_cast<std::size_t>((band + 1) * j - (j - i) - 1)] =
          dense[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(j - 1)];
  return packed;
}

std::vector<std::uint8_t> covariance_record(const CovarianceFile& content, int record) {
  recio::RecordBuilder builder;
  switch (record) {
    case 1:
      builder.put(static_cast<std::int32_t>(content.ncycle));
      builder.put(static_cast<std::int32_t>(content.names.size()));
      for (const auto& name : content.names) builder.put_text(name, 8);
      builder.put(static_cast<std::int32_t>(content.nvar));
      for (int v = 1; v <= content.nvar; ++v) builder.put_text("VAR" + std::to_string(v), 8);
      if (!content.older_layout) builder.put(content.cycle_figure);
      break;
    case 2:
      builder.put(static_cast<std::int32_t>(content.matrix.size()));
      builder.put(static_cast<std::int32_t>(content.band));
      for (float m : content.matrix) builder.put(m);
      break;
    case 3:
      builder.put(static_cast<std::int32_t>(content.constraints.size()));
      for (const auto& [code, coefficient] : content.constraints) {
        builder.put(static_cast<std::int32_t>(code));
        builder.put(coefficient);
      }
      break;
    default:
      throw std::invalid_argument("a covariance file has records 1 to 3");
  }
  return builder.bytes();
}

void write_unformatted_file(const std::filesystem::path& file,
                            const std::vector<std::vector<std::uint8_t>>& records) {
  std::filesystem::remove(file);
  int unit = 80;
  vesk::FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Unknown;
  spec.form = recio::Form::Unformatted;
  if (recio::open(unit, file.string(), spec) != 0)
    throw std::runtime_error("cannot create " + file.string());
  for (const auto& record : records)
    if (recio::write_unformatted(unit, record) != 0) throw std::runtime_error("cannot write " + file.string());
  recio::close(unit);
}

void write_covariance_file(const std::filesystem::path& file, const CovarianceFile& content) {
  write_unformatted_file(file, {covariance_record(content, 1), covariance_record(content, 2),
                                covariance_record(content, 3)});
}

}  // namespace testing_support
