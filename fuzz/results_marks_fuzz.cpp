// The reader of the "Y" marks of a previous results file, on arbitrary
// files: the publish lists never pass their limits, every kept entry is a
// record that was marked, and the lists are those of the formatted read of
// every record, which the reader spares itself where it cannot matter.
#include <array>
#include <cstdint>
#include <string>

#include "console/text_utils.hpp"
#include "recio/format.hpp"

#include "fuzz/fuzz_support.hpp"
#include "recio/units.hpp"
#include "vortan/results_file.hpp"

namespace {
constexpr int kUnit = 14;

// Every record read with "(A1,2I2,20X,7I5)" up to the closing record.
vesk::PublishLists read_every_record(int unit) {
  vesk::PublishLists lists;
  std::string record;
  while (recio::read_line(unit, record) == 0) {
    std::string mark(1, ' ');
    int phase = 0, kind = 0;
    std::array<short, 7> v{};
    if (recio::read_string(record, "(A1,2I2,20X,7I5)", {mark, phase, kind, v[0], v[1], v[2], v[3], v[4], v[5], v[6]}) != 0)
      continue;
    vesk::UPCASE(mark);
    if (mark == "Y" && kind == 0 && lists.distances.size() < static_cast<std::size_t>(vesk::kMaxPublishedDistances))
      lists.distances.push_back({static_cast<short>(phase), v[0], v[1], v[2], v[3]});
    if (mark == "Y" && kind == 1 && lists.angles.size() < static_cast<std::size_t>(vesk::kMaxPublishedAngles))
      lists.angles.push_back({static_cast<short>(phase), v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
    if (phase > 9) break;
  }
  return lists;
}

}  // namespace

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
  fuzz::require(recio::open(kUnit, file, spec) == 0, "the results file opens again");
  const vesk::PublishLists every = read_every_record(kUnit);
  recio::close(kUnit);
  fuzz::require(lists.distances == every.distances && lists.angles == every.angles,
                "the same marks as the formatted read of every record");

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
