#include "vortan/run_inputs.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <span>
#include <system_error>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"

namespace vesk {

std::string stem_of(std::string_view file) {
  std::string name(recio::trim_right(file));
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".EXP") == 0) name.resize(name.size() - 4);
  return name;
}

std::optional<CovarianceHeader> read_covariance_header(int start_unit, const std::string& file) {
  int unit = start_unit;
  FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.form = recio::Form::Unformatted;
  int status = recio::open(unit, file, spec);
  std::int32_t cycle = 0;
  std::int32_t words = 0;
  bool complete = false;
  if (status == 0) {
    std::vector<std::uint8_t> record;
    // Only the leading word of each record: the matrix is read once, by CMTREAD.
    auto skip_rest = [](std::span<const std::uint8_t>, std::size_t) { return std::span<std::uint8_t>(); };
    if ((status = recio::read_unformatted(unit, 4, record, skip_rest)) == 0 && recio::RecordCursor(record).get(cycle) &&
        (status = recio::read_unformatted(unit, 4, record, skip_rest)) == 0 && recio::RecordCursor(record).get(words))
      complete = true;
    recio::close(unit);
  }
  if (!complete) {
    recio::write(recio::kTerminalOut, "(A)", {" The covariance file " + file + " cannot be read (" +
                            (status != 0 ? recio::status_text(status) : std::string("records too short")) +
                            "); standard deviations come from the cell alone"});
    return std::nullopt;
  }
  return CovarianceHeader{cycle, words};
}

ConversionInputs read_conversion_inputs(const std::string& stem, bool reported_elsewhere) {
  ConversionInputs inputs;
  try {
    const std::optional<CifSource> source = read_cif_source(stem + ".CIFSRC");
    if (!source) return inputs;
    inputs.disorder_groups = source->disorder;
    for (const auto& [atom, pivot] : source->riding) inputs.riding_atoms.push_back(atom);
    inputs.pressure_gpa = source->pressure_gpa;
    inputs.pressure_item = source->pressure_item;
    const std::filesystem::path folder = std::filesystem::path(stem).parent_path();
    const std::string name = std::filesystem::path(stem).filename().string();
    for (const auto& [file, atoms] : source->carry) {
      MarksCarry carry{(folder / file).string(), atoms, 0, 0};
      if (file.rfind(name + ".VORTAN.", 0) == 0) inputs.results_carry = std::move(carry);
      else if (file.rfind(name + ".TORHB.", 0) == 0) inputs.marks_carry = std::move(carry);
    }
  } catch (const Error& error) {
    if (!reported_elsewhere)
      recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + "; its disorder groups are not used"});
  }
  return inputs;
}

std::vector<bool> atoms_named(const PhaseDescription& phase, const std::vector<std::string>& labels) {
  std::vector<bool> named(phase.atoms.size(), false);
  for (std::size_t k = 0; k < phase.atoms.size(); ++k)
    named[k] = std::find(labels.begin(), labels.end(), recio::trim_right(phase.atoms[k].label)) != labels.end();
  return named;
}

std::vector<int> disorder_group_numbers(const PhaseDescription& phase,
                                        const std::vector<std::pair<std::string, std::string>>& groups) {
  std::vector<int> numbers(phase.atoms.size(), 0);
  if (groups.empty()) return numbers;
  std::vector<std::string> names;
  for (std::size_t k = 0; k < phase.atoms.size(); ++k) {
    const std::string label(recio::trim_right(phase.atoms[k].label));
    for (const auto& [atom, given] : groups) {
      if (atom != label) continue;
      const bool negative = !given.empty() && given[0] == '-';
      const std::string group = negative ? given.substr(1) : given;
      auto found = std::find(names.begin(), names.end(), group);
      if (found == names.end()) found = names.insert(names.end(), group);
      numbers[k] = static_cast<int>(found - names.begin()) + 1;
      if (negative) numbers[k] = -numbers[k];
      break;
    }
  }
  return numbers;
}

std::optional<PaperCif> load_paper_cif(const std::string& stem, const std::string& paper_cif) {
  const std::string source_file = stem + ".CIFSRC";
  std::optional<CifSource> source;
  try {
    source = read_cif_source(source_file);
  } catch (const Error& error) {
    recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + "; it is not used"});
  }
  std::string file = paper_cif;
  if (file.empty()) {
    if (!source) return std::nullopt;
    std::error_code missing;
    if (!std::filesystem::is_regular_file(source->cif, missing)) {
      recio::write(recio::kTerminalOut, "(A)", {" The CIF " + source->cif + " named in " + source_file +
                              " is not at hand; the site codes follow vortan's own operator list"});
      return std::nullopt;
    }
    file = source->cif;
  }
  std::error_code unrelated;
  const bool converted_from_it = source && std::filesystem::equivalent(file, source->cif, unrelated);
  std::optional<PaperCif> paper;
  try {
    paper = read_paper_cif(file, converted_from_it ? source->block : std::string());
  } catch (const Error& error) {
    if (!converted_from_it) throw;
    // The CIF has changed since cif2exp read it; the run can do without it.
    recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + " (" + source_file +
                            " names data_" + source->block + " of it as the block converted; the CIF has changed "
                            "since). The site codes follow vortan's own operator list; run cif2exp again to renew " +
                            source_file});
    return std::nullopt;
  }
  if (converted_from_it) {
    paper->labels = source->labels;
    paper->shift = source->shift;
    paper->source_file = source_file;
  }
  recio::write(recio::kTerminalOut, "(A)", {" The site codes of the publication CIF follow the operators of " + file});
  return paper;
}

}  // namespace vesk
