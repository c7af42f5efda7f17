// The DBWS reader and the powder data writer on arbitrary files: a refused
// input must leave no output file and no temporary behind, the counts never
// pass their limit, and the padding of the last output record is zeros.
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "dbwsconv/convert.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::work_folder();
  // The reader's warnings about a record that ends the counts are of no
  // interest here; the error stream itself stays for the fuzzer's reports.
  std::cerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = fuzz::write_file("FUZZ.DAT", data, size);
  const std::string output = (fuzz::work_folder() / "FUZZ.PWD").string();
  // As the program has it: a fresh, zeroed set of counts for each file.
  auto counts = std::make_unique<vesk::PowderCounts>();
  bool read = true;
  try {
    vesk::read_dbws(input, *counts);
  } catch (const vesk::Error& error) {
    read = false;
    fuzz::require(std::string_view(error.what()).find(input) != std::string_view::npos,
                  "a refused DBWS file is named in the message");
  }
  if (read) {
    fuzz::require(counts->records >= 0 && counts->records <= vesk::kMaxCountRecords,
                  "the count records stay within the limit");
    fuzz::require(counts->channel_count() <= 99999, "the channel count fits its 5-column field");
    const int padded = 10 * counts->output_records();
    fuzz::require(padded <= vesk::kCountCapacity, "the last output record fits the count storage");
    // The fields of a record that ended the counts before its bad field stay
    // in the table, as they always have; past that record everything is zero.
    for (int i = 8 * (counts->records + 1); i < padded; ++i)
      fuzz::require(counts->counts[static_cast<std::size_t>(i)] == 0,
                    "the last output record is padded with zeros");
    vesk::write_powder(output, *counts);
    const auto entries = fuzz::folder_entries();
    fuzz::require(entries.size() == 2, "only the input and the output file are left");
  } else {
    const auto entries = fuzz::folder_entries();
    fuzz::require(entries.size() == 1, "a refused input leaves no output file");
  }
  fuzz::clear_folder();
  return 0;
}
