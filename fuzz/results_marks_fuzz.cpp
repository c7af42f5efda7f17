// The one reader of marks files on arbitrary bytes: the publish lists never
// pass their limits, every kept mark stands on a line that begins with a
// "Y", and every line is either read or reported by its number.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "marks/geometry_marks.hpp"
#include "marks/results_file.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The overflow messages go to the console.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vesk::PublishLists lists;
  const vesk::MarksScanResult result = vesk::read_publish_marks(bytes, lists);
  fuzz::require(lists.distances.size() <= static_cast<std::size_t>(vesk::kMaxPublishedDistances),
                "at most 1000 distances to publish");
  fuzz::require(lists.angles.size() <= static_cast<std::size_t>(vesk::kMaxPublishedAngles),
                "at most 5000 angles to publish");
  std::size_t lines = 1, marked_lines = 0;
  bool line_start = true;
  for (std::size_t i = 0; i < size; ++i) {
    if (line_start && (data[i] == 'Y' || data[i] == 'y')) ++marked_lines;
    line_start = data[i] == '\n';
    lines += data[i] == '\n';
  }
  fuzz::require(lists.distances.size() + lists.angles.size() <= marked_lines, "every mark stands on a Y line");
  fuzz::require(static_cast<std::size_t>(result.records) + result.unreadable_lines.size() <= lines,
                "each line read or reported once at most");
  for (std::size_t i = 1; i < result.unreadable_lines.size(); ++i)
    fuzz::require(result.unreadable_lines[i - 1] < result.unreadable_lines[i], "lines reported in order");
  // The same bytes as a marks file of torsion angles and hydrogen bonds.
  vesk::MarksScanResult geometry;
  vesk::marks_in(bytes, vesk::geometry_marks_kinds(), &geometry);
  fuzz::require(geometry.marks <= static_cast<int>(marked_lines), "every torsion mark stands on a Y line");
  return 0;
}
