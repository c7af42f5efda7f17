// The reader of the "Y" marks of a previous results file, on arbitrary
// files: the publish lists never pass their limits, and every kept entry is
// a record that was marked.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "recio/units.hpp"
#include "vortan/results_file.hpp"

namespace {
constexpr int kUnit = 14;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::work_folder();
  // The overflow messages go to the console.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = fuzz::write_file("FUZZ.VORTAN", data, size);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  fuzz::require(recio::open(kUnit, file, spec) == 0, "the results file opens");
  vesk::PublishLists lists;
  vesk::read_publish_marks(kUnit, lists);
  recio::close(kUnit);

  fuzz::require(lists.distances.size() <= static_cast<std::size_t>(vesk::kMaxPublishedDistances),
                "at most 1000 distances to publish");
  fuzz::require(lists.angles.size() <= static_cast<std::size_t>(vesk::kMaxPublishedAngles),
                "at most 5000 angles to publish");
  // Each kept mark needs a record of its own, of at least the mark and the kind.
  std::size_t lines = 1;
  for (std::size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  fuzz::require(lists.distances.size() + lists.angles.size() <= lines, "one mark per record at most");
  if (lists.overflow_reported)
    fuzz::require(lists.distances.size() == static_cast<std::size_t>(vesk::kMaxPublishedDistances) ||
                      lists.angles.size() == static_cast<std::size_t>(vesk::kMaxPublishedAngles),
                  "an overflow is reported only at a full list");
  fuzz::clear_folder();
  return 0;
}
