// The covariance file reader on arbitrary files. An even first byte frames
// the rest as unformatted records (pieces separated by a line "--", each given
// its 4-byte counts), so that the record contents are reached often; an odd
// one hands the bytes over as they are, framing and all.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expfile/covariance.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/units.hpp"

namespace {

constexpr int kUnit = 12;

void put_count(std::string& out, std::uint32_t count) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((count >> (8 * i)) & 0xFF);
}

std::string framed(std::string_view text) {
  std::string out;
  std::size_t from = 0;
  for (int record = 0; record < 4 && from <= text.size(); ++record) {
    std::size_t end = text.find("\n--\n", from);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(from, end - from);
    put_count(out, static_cast<std::uint32_t>(piece.size()));
    out += piece;
    put_count(out, static_cast<std::uint32_t>(piece.size()));
    from = end + 4;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::work_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string bytes = data[0] % 2 == 0 ? framed(rest) : std::string(rest);
  const std::string file =
      fuzz::write_file("FUZZ.CMT", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());

  vesk::CovarianceData covariance;
  std::string problem;
  const vesk::CovarianceRead result = vesk::read_covariance_file(kUnit, file, covariance, problem);
  fuzz::require(!recio::connected(kUnit), "the covariance file is closed again");
  fuzz::require(result != vesk::CovarianceRead::NotOpened, "an existing covariance file opens");
  if (result == vesk::CovarianceRead::Refused) {
    fuzz::require(problem.find(file) != std::string::npos, "a refused covariance file is named");
    fuzz::require(covariance.nname == 0 && covariance.names.empty() && covariance.matrix.empty() &&
                      covariance.map_code.empty() && !covariance.read,
                  "a refused covariance file leaves nothing but its cycle");
    fuzz::clear_folder();
    return 0;
  }

  fuzz::require(problem.empty(), "an accepted file has no problem");
  fuzz::require(covariance.nname == static_cast<int>(covariance.names.size()), "NNAME names are held");
  for (const auto& name : covariance.names) fuzz::require(name.size() == 8, "names are 8 characters");
  fuzz::require(covariance.nvar >= 0 && covariance.nvar <= vesk::kMaxVariables, "NVAR within its limit");
  fuzz::require(covariance.nmat == static_cast<int>(covariance.matrix.size()), "NMAT reals are held");
  fuzz::require(covariance.map_code.size() == covariance.map_coefficient.size() &&
                    covariance.map_code.size() <= static_cast<std::size_t>(vesk::kMaxMapEntries),
                "the constraint list within its limit");
  int highest_parameter = 0;
  for (int code : covariance.map_code) {
    fuzz::require(code >= 0 && code % vesk::kConstraintBase <= covariance.nvar,
                  "every constraint names a variable within NVAR");
    highest_parameter = std::max(highest_parameter, code / vesk::kConstraintBase);
  }

  // Packed positions stay within the stored matrix for any pair of variables.
  const int n = covariance.nvar;
  const int probes[] = {1, 2, n / 2, n - 1, n};
  for (int r : probes) {
    for (int s : probes) {
      if (r < 1 || s < 1 || r > n || s > n) continue;
      const long long index = vesk::packed_index(n, covariance.nmat, covariance.band, r, s);
      fuzz::require(index >= 0 && index <= covariance.nmat, "packed positions stay within NMAT");
      (void)vesk::matrix_element(covariance, r, s);
    }
  }
  // COVEL over the parameters the constraints name, and one beyond them.
  const int parameters[] = {0, 1, 2, highest_parameter, highest_parameter + 1, covariance.nname};
  for (int p : parameters)
    for (int q : parameters) (void)vesk::COVEL(covariance, p, q);
  fuzz::clear_folder();
  return 0;
}
