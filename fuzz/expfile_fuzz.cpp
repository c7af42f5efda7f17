// The experiment file's layout check and keyed record store on arbitrary
// bytes. An even first byte makes the rest into well-formed 82-byte records
// (each line cut or padded to 80 columns and ended by CR LF) so that the
// store itself is reached often; an odd one hands the bytes over as they are,
// and the store must then cope with whatever the layout check refused.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expfile/record_store.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace {

constexpr int kUnit = 11;

std::string as_records(std::string_view text) {
  std::string file;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string_view::npos) end = text.size();
    std::string line = recio::pad(text.substr(from, end - from), 80);
    for (char& c : line)
      if (c == '\r') c = ' ';
    file += line + "\r\n";
    from = end + 1;
  }
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::work_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string bytes = data[0] % 2 == 0 ? as_records(rest) : std::string(rest);
  const std::string file =
      fuzz::write_file("FUZZ.EXP", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());

  bool layout_ok = true;
  try {
    vesk::check_record_layout(file);
  } catch (const vesk::Error& error) {
    layout_ok = false;
    fuzz::require(std::string_view(error.what()).find(file) != std::string_view::npos,
                  "a refused experiment file is named in the message");
  }
  if (data[0] % 2 == 0) fuzz::require(layout_ok, "whole CR LF records pass the layout check");

  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.access = recio::Access::Direct;
  spec.record_length = vesk::kExperimentRecordLength;
  fuzz::require(recio::open(kUnit, file, spec) == 0, "the experiment file opens");

  // Walk every key in order: keys ascend, values keep the caller's length.
  std::vector<std::string> walked;
  std::string key(12, ' ');
  std::string value(68, '?');
  for (int n = 0; n <= vesk::kMaxRecords + 1; ++n) {
    key.assign(12, ' ');
    const int status = vesk::READEXP(kUnit, key, value);
    fuzz::require(status == 0 || status == 1, "READEXP returns 0 or 1");
    fuzz::require(value.size() == 68 && key.size() == 12, "key and value keep their lengths");
    if (status != 0) break;
    fuzz::require(key != vesk::kEmptyKey, "a walk never returns an empty record");
    if (!walked.empty())
      fuzz::require(recio::compare_padded(walked.back(), key) <= 0, "a blank key walks in ascending key order");
    walked.push_back(key);
  }
  fuzz::require(static_cast<int>(walked.size()) <= vesk::kMaxRecords, "the walk never passes the record limit");
  fuzz::require(static_cast<std::size_t>(bytes.size()) / 82 + 1 >= walked.size(),
                "the walk returns no more records than the file holds");

  // Every walked key is found again by lookup; a few fixed keys may or may not be.
  for (std::size_t i = 0; i < walked.size() && i < 64; ++i) {
    std::string short_value(10, '?');
    const int status = vesk::READEXP(kUnit, std::string_view(walked[i]), short_value);
    fuzz::require(status == 0, "a walked key is found by lookup");
    fuzz::require(short_value.size() == 10, "a short value field keeps its length");
  }
  for (std::string_view fixed : {" EXPR NPHAS ", "      DESCR ", "ZZZZZZZZZZZZ", "CRS1  CELL  ", "~~~~~~~~~~~~"}) {
    const int status = vesk::READEXP(kUnit, fixed, value);
    fuzz::require(status == 0 || status == 1, "READEXP returns 0 or 1");
    if (fixed == vesk::kEmptyKey) fuzz::require(status == 1, "the empty-record key is never found");
  }

  vesk::release_record_store(kUnit);
  recio::close(kUnit);
  fuzz::clear_folder();
  return 0;
}
