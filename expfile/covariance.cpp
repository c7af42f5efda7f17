#include "expfile/covariance.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"

namespace vesk {

void index_constraints(CovarianceData& data) {
  data.term_start.clear();
  data.terms.clear();
  int highest = 0;
  int highest_variable = 0;
  for (int code : data.map_code) {
    if (code / kConstraintBase < 1 || code % kConstraintBase < 1) continue;
    highest = std::max(highest, code / kConstraintBase);
    highest_variable = std::max(highest_variable, code % kConstraintBase);
  }
  // A counting sort by parameter keeps the file order within each one.
  std::vector<int> start(static_cast<std::size_t>(highest) + 2, 0);
  for (int code : data.map_code)
    if (code / kConstraintBase >= 1 && code % kConstraintBase >= 1) ++start[static_cast<std::size_t>(code / kConstraintBase) + 1];
  for (std::size_t p = 1; p < start.size(); ++p) start[p] += start[p - 1];
  std::vector<CovarianceData::Term> sorted(static_cast<std::size_t>(start.back()));
  std::vector<int> next(start.begin(), start.end() - 1);
  for (std::size_t e = 0; e < data.map_code.size(); ++e) {
    const int code = data.map_code[e];
    if (code / kConstraintBase < 1 || code % kConstraintBase < 1) continue;
    sorted[static_cast<std::size_t>(next[static_cast<std::size_t>(code / kConstraintBase)]++)] = {
        code % kConstraintBase, data.map_coefficient[e]};
  }
  // Entries naming a variable already seen for the parameter join its first
  // entry: COVEL then costs at most NVAR squared however long the list.
  std::vector<int> owner(static_cast<std::size_t>(highest_variable) + 1, 0);
  std::vector<int> slot(owner.size(), 0);
  data.term_start.assign(start.size(), 0);
  for (int p = 1; p <= highest; ++p) {
    data.term_start[static_cast<std::size_t>(p)] = static_cast<int>(data.terms.size());
    for (int k = start[static_cast<std::size_t>(p)]; k < start[static_cast<std::size_t>(p) + 1]; ++k) {
      const CovarianceData::Term& term = sorted[static_cast<std::size_t>(k)];
      const auto v = static_cast<std::size_t>(term.variable);
      if (owner[v] == p) {
        data.terms[static_cast<std::size_t>(slot[v])].coefficient += term.coefficient;
      } else {
        owner[v] = p;
        slot[v] = static_cast<int>(data.terms.size());
        data.terms.push_back(term);
      }
    }
  }
  data.term_start.back() = static_cast<int>(data.terms.size());
}

namespace {

// COVEL over the constraint list itself, for data built without the index.
float scanned_covariance(const CovarianceData& data, int lo, int hi) {
  float result = 0;
  for (std::size_t e = 0; e < data.map_code.size(); ++e) {
    const int ve = data.map_code[e] % kConstraintBase;
    if (data.map_code[e] / kConstraintBase != lo || ve <= 0) continue;
    float sum = 0;
    for (std::size_t f = 0; f < data.map_code.size(); ++f) {
      const int vf = data.map_code[f] % kConstraintBase;
      if (data.map_code[f] / kConstraintBase != hi || vf <= 0) continue;
      sum += data.map_coefficient[f] * matrix_element(data, ve, vf);
    }
    result += data.map_coefficient[e] * sum;
  }
  return result;
}

}  // namespace

float COVEL(const CovarianceData& data, int p, int q) {
  if (static_cast<long long>(p) * q <= 0) return 0;
  const int lo = std::min(std::abs(p), std::abs(q));
  const int hi = std::max(std::abs(p), std::abs(q));
  if (data.term_start.empty()) return scanned_covariance(data, lo, hi);
  if (hi > static_cast<int>(data.term_start.size()) - 2) return 0;  // no entries
  const CovarianceData::Term* terms = data.terms.data();
  const int inner_begin = data.term_start[static_cast<std::size_t>(hi)];
  const int inner_end = data.term_start[static_cast<std::size_t>(hi) + 1];
  float result = 0;
  for (int e = data.term_start[static_cast<std::size_t>(lo)]; e < data.term_start[static_cast<std::size_t>(lo) + 1]; ++e) {
    float sum = 0;
    for (int f = inner_begin; f < inner_end; ++f)
      sum += terms[f].coefficient * matrix_element(data, terms[e].variable, terms[f].variable);
    result += terms[e].coefficient * sum;
  }
  return result;
}

std::string covariance_file_name(const std::string& experiment_file) {
  const std::size_t p = experiment_file.rfind(".EXP");
  if (p == std::string::npos) return {};
  return experiment_file.substr(0, p) + ".CMT";
}

namespace {

struct Refusal {
  std::string problem;
};

// A missing or damaged record refuses the file.
void check_record(int status, int number, const std::string& file) {
  if (status == recio::kEndOfFile)
    throw Refusal{file + ": record " + std::to_string(number) + " is missing"};
  if (status != recio::kOk)
    throw Refusal{file + ": record " + std::to_string(number) + " cannot be read (" +
                  recio::status_text(status) + ")"};
}

std::string where(const std::string& file, int record) {
  return file + ", record " + std::to_string(record) + ": ";
}

void next_record(int unit, int number, const std::string& file, std::vector<std::uint8_t>& bytes) {
  check_record(recio::read_unformatted(unit, bytes), number, file);
}

// Empty when NMAT reals fit the record's `rest` bytes and hold the matrix of
// NVAR variables with BAND.
std::string matrix_count_problem(const std::string& file, std::int32_t nmat, std::int32_t band, std::int32_t nvar,
                                 std::size_t rest) {
  if (nmat < 0) return where(file, 2) + "NMAT " + std::to_string(nmat) + " is negative";
  if (band < 0) return where(file, 2) + "BAND " + std::to_string(band) + " is negative";
  if (static_cast<std::size_t>(nmat) > rest / 4)
    return where(file, 2) + "NMAT " + std::to_string(nmat) + " reals, but the record holds " + std::to_string(rest / 4);
  const long long needed = band == 0 ? static_cast<long long>(nvar) * (nvar + 1) / 2
                                     : (static_cast<long long>(band) + 1) * nvar;
  if (nmat < needed)
    return where(file, 2) + "NMAT " + std::to_string(nmat) + " is too small for NVAR " + std::to_string(nvar) +
           " and BAND " + std::to_string(band) + " (needs " + std::to_string(needed) + ")";
  return {};
}

void read_records(int unit, const std::string& file, CovarianceData& data) {
  std::vector<std::uint8_t> bytes;

  next_record(unit, 1, file, bytes);
  recio::RecordCursor one(bytes);
  std::int32_t ncycle = 0, nname = 0, nvar = 0;
  if (!one.get(ncycle)) throw Refusal{where(file, 1) + "too short for NCYCLE"};
  data.cycle = ncycle;
  if (!one.get(nname)) throw Refusal{where(file, 1) + "too short for NNAME"};
  if (nname < 0) throw Refusal{where(file, 1) + "NNAME " + std::to_string(nname) + " is negative"};
  if (static_cast<std::size_t>(nname) > one.remaining() / 8)
    throw Refusal{where(file, 1) + "NNAME " + std::to_string(nname) + " names, but the record holds at most " +
                  std::to_string(one.remaining() / 8)};
  std::vector<std::string> names(static_cast<std::size_t>(nname));
  for (auto& name : names) one.get_text(name, 8);
  if (!one.get(nvar)) throw Refusal{where(file, 1) + "too short for NVAR"};
  if (nvar < 0 || nvar > kMaxVariables)
    throw Refusal{where(file, 1) + "NVAR " + std::to_string(nvar) + " lies outside 0 to " +
                  std::to_string(kMaxVariables)};
  if (!one.skip(static_cast<std::size_t>(nvar) * 8))
    throw Refusal{where(file, 1) + "NVAR " + std::to_string(nvar) + " items, but the record ends before them"};
  float figure = 0;
  if (!one.get(figure)) figure = 0;  // older layout: no cycle figure

  // The matrix goes from the file straight into its packed storage: the
  // record is never held as bytes beside it.
  std::int32_t nmat = 0, band = 0;
  std::size_t matrix_bytes = 0;
  std::vector<float> matrix;
  const int status = recio::read_unformatted(
      unit, 8, bytes, [&](std::span<const std::uint8_t> head, std::size_t rest) -> std::span<std::uint8_t> {
        matrix_bytes = rest;
        recio::RecordCursor counts(head);
        if (!counts.get(nmat) || !counts.get(band) || !matrix_count_problem(file, nmat, band, nvar, rest).empty())
          return {};
        matrix.resize(static_cast<std::size_t>(nmat));
        return {reinterpret_cast<std::uint8_t*>(matrix.data()), matrix.size() * sizeof(float)};
      });
  check_record(status, 2, file);
  recio::RecordCursor two(bytes);
  if (!two.get(nmat) || !two.get(band)) throw Refusal{where(file, 2) + "too short for NMAT and BAND"};
  const std::string problem = matrix_count_problem(file, nmat, band, nvar, matrix_bytes);
  if (!problem.empty()) throw Refusal{problem};
  if constexpr (std::endian::native == std::endian::big)
    for (float& m : matrix) {
      auto word = std::bit_cast<std::uint32_t>(m);
      word = (word >> 24) | ((word >> 8) & 0xff00u) | ((word << 8) & 0xff0000u) | (word << 24);
      m = std::bit_cast<float>(word);
    }

  next_record(unit, 3, file, bytes);
  recio::RecordCursor three(bytes);
  std::int32_t nmap = 0;
  if (!three.get(nmap)) throw Refusal{where(file, 3) + "too short for NMAP"};
  if (nmap < 0 || nmap > kMaxMapEntries)
    throw Refusal{where(file, 3) + "NMAP " + std::to_string(nmap) + " lies outside 0 to " +
                  std::to_string(kMaxMapEntries)};
  if (static_cast<std::size_t>(nmap) > three.remaining() / 8)
    throw Refusal{where(file, 3) + "NMAP " + std::to_string(nmap) + " entries, but the record holds " +
                  std::to_string(three.remaining() / 8)};
  std::vector<int> codes(static_cast<std::size_t>(nmap));
  std::vector<float> coefficients(static_cast<std::size_t>(nmap));
  for (std::size_t k = 0; k < codes.size(); ++k) {
    std::int32_t code = 0;
    three.get(code);
    three.get(coefficients[k]);
    if (code < 0 || code % kConstraintBase > nvar)
      throw Refusal{where(file, 3) + "constraint entry " + std::to_string(k + 1) + " has code " +
                    std::to_string(code) + ", whose variable lies outside 0 to NVAR " + std::to_string(nvar)};
    codes[k] = code;
  }

  data.cycle_figure = figure;
  data.nname = nname;
  data.names = std::move(names);
  data.nvar = nvar;
  data.nmat = nmat;
  data.band = band;
  data.matrix = std::move(matrix);
  data.map_code = std::move(codes);
  data.map_coefficient = std::move(coefficients);
  index_constraints(data);
}

void write_line(int unit, std::string_view text) { recio::write(unit, "(A)", {text}); }

}  // namespace

CovarianceRead read_covariance_file(int unit, const std::string& file, CovarianceData& data,
                                    std::string& problem) {
  data = CovarianceData{};
  problem.clear();
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.form = recio::Form::Unformatted;
  if (recio::open(unit, file, spec) != recio::kOk) return CovarianceRead::NotOpened;
  CovarianceRead result = CovarianceRead::Ok;
  try {
    read_records(unit, file, data);
  } catch (const Refusal& refusal) {
    const int cycle = data.cycle;
    data = CovarianceData{};
    data.cycle = cycle;
    problem = refusal.problem;
    result = CovarianceRead::Refused;
  }
  recio::close(unit);
  return result;
}

void CMTREAD(int listing_unit, int experiment_unit, CovarianceData& data) {
  data = CovarianceData{};
  const std::string file = covariance_file_name(recio::file_name(experiment_unit));
  if (file.empty()) return;
  int unit = experiment_unit + 1;
  FREEUNIT(unit);
  std::string problem;
  const CovarianceRead status = read_covariance_file(unit, file, data, problem);
  if (status == CovarianceRead::NotOpened) return;
  if (status == CovarianceRead::Refused) {
    const std::string lines[] = {" The CMT file cannot be used: " + problem,
                                 " No standard deviations are taken from it in this run."};
    LINECHK(listing_unit, 2);
    for (const auto& line : lines) write_line(listing_unit, line);
    if (listing_unit != recio::kTerminalOut)
      for (const auto& line : lines) write_line(recio::kTerminalOut, line);
    return;
  }

  // Judge the file against the last least-squares run of the experiment.
  std::string run(68, ' ');
  int run_cycle = -1;
  float run_figure = 0;
  if (READEXP(experiment_unit, "  RFFN  RUN ", run) == 0) {
    // An unreadable number counts as a different cycle with figure 0.
    if (recio::read_string(run, "(43X,I4)", {run_cycle}) != 0) run_cycle = -1;
    if (recio::read_string(std::string_view(run).substr(49, 15), "(F15.0)", {run_figure}) != 0) run_figure = 0;
  }
  data.read = true;
  if (run_cycle == data.cycle) return;
  LINECHK(listing_unit, 2);
  recio::write(listing_unit, "(A,I4)", {" NCYCLE on the .CMT file is", data.cycle});
  recio::write(listing_unit, "(A,I4)", {" NCYCLE for last RAFFIN is ", run_cycle});
  const float divisor = std::max(run_figure, 1.0f);
  if (data.cycle_figure / divisor > 1.5f) {
    data.nname = 0;
    data.read = false;
    recio::write(listing_unit, "(2A)", {" The number of variables was set", " to ZERO"});
    LINECHK(listing_unit, 1);
  }
}

bool has_correlations(const CovarianceData& data) {
  for (int j = 2; j <= data.nvar; ++j) {
    const int first = data.band == 0 ? 1 : std::max(1, j - data.band);
    for (int i = first; i < j; ++i)
      if (matrix_element(data, i, j) != 0) return true;
  }
  return false;
}

}  // namespace vesk
