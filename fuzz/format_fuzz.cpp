// The edit-descriptor parser and formatted reads and writes. The first line
// of the input is the format, the other lines are the records it reads.
// Items are made to match the format's data edits in walking order, so any
// exception from a read or a write of matching items is a finding.
//
// Formats come from the programs' own code (fixed texts, or widths built at
// run time), so a format that unrolls into an absurd amount of work (nested
// repeat counts of a million) is skipped rather than reported as a hang.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/format_run.hpp"
#include "recio/status.hpp"

namespace {

using Descriptor = recio::DataEdit::Descriptor;

constexpr int kMaxItems = 16;
constexpr long kMaxSteps = 20000;
constexpr long kMaxColumns = 200000;

bool is_data(Descriptor d) {
  return d == Descriptor::A || d == Descriptor::I || d == Descriptor::F || d == Descriptor::G ||
         d == Descriptor::E;
}

void check_structure(const recio::Format& format) {
  const int count = static_cast<int>(format.edits.size());
  int data = 0;
  for (int i = 0; i < count; ++i) {
    const auto& edit = format.edits[static_cast<std::size_t>(i)];
    if (is_data(edit.descriptor)) ++data;
    fuzz::require(edit.repeat >= 1, "repeat counts are at least 1");
    fuzz::require(edit.width >= 0 && edit.digits >= 0, "widths and digits are not negative");
    if (edit.descriptor == Descriptor::GroupStart) {
      fuzz::require(edit.group_end > i && edit.group_end < count, "a group's end lies after its start");
      fuzz::require(format.edits[static_cast<std::size_t>(edit.group_end)].group_start == i,
                    "a group's end points back at its start");
    }
    if (edit.descriptor == Descriptor::GroupEnd)
      fuzz::require(edit.group_start >= 0 && edit.group_start < i, "a group's start lies before its end");
  }
  fuzz::require(data == format.data_edits, "data_edits counts the data edits");
  fuzz::require(format.reversion_start >= 0 && format.reversion_start <= count, "reversion point within the edits");
}

struct Plan {
  std::vector<Descriptor> kinds;  // the data edit of every item, in order
  std::vector<int> widths;
  bool feasible = true;
};

// Walks the edits as a read or write of `wanted` items would, within bounds.
Plan plan_items(const recio::Format& format, int wanted) {
  Plan plan;
  recio::EditWalker walker(format);
  long steps = 0;
  long columns = 0;
  int reversions = 0;
  for (;;) {
    if (++steps > kMaxSteps || columns > kMaxColumns) {
      plan.feasible = false;
      return plan;
    }
    const recio::DataEdit* edit = walker.next();
    if (edit == nullptr) {
      if (static_cast<int>(plan.kinds.size()) >= wanted || format.data_edits == 0) return plan;
      if (++reversions > kMaxItems) {
        plan.feasible = false;
        return plan;
      }
      walker.revert();
      continue;
    }
    columns += edit->width + static_cast<long>(edit->literal.size());
    if (is_data(edit->descriptor)) {
      if (static_cast<int>(plan.kinds.size()) >= wanted) return plan;
      plan.kinds.push_back(edit->descriptor);
      plan.widths.push_back(edit->width);
    }
  }
}

void check_status(int status) {
  fuzz::require(status >= -1, "read statuses are -1, 0 or positive");
  if (status > 0) fuzz::require(!recio::status_text(status).empty(), "every error status has a text");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = input.find('\n');
  const std::string format_text = input.substr(0, line_end);
  std::vector<std::string> records;
  if (line_end != std::string::npos) {
    std::size_t from = line_end + 1;
    while (from <= input.size() && records.size() < 8) {
      std::size_t end = input.find('\n', from);
      if (end == std::string::npos) end = input.size();
      records.push_back(input.substr(from, end - from));
      from = end + 1;
    }
  }

  recio::Format format;
  try {
    format = recio::parse_format(format_text);
  } catch (const vesk::Error& error) {
    fuzz::require(std::string_view(error.what()).find("format") != std::string_view::npos,
                  "a malformed format is named in its message");
    return 0;
  }
  check_structure(format);

  const int wanted = std::min(kMaxItems, format.data_edits + static_cast<int>(records.size() % 3));
  const Plan plan = plan_items(format, wanted);
  if (!plan.feasible) return 0;

  // A read into items of the matching kinds.
  std::vector<std::string> texts;
  texts.reserve(plan.kinds.size());
  std::vector<int> integers(plan.kinds.size(), 0);
  std::vector<short> shorts(plan.kinds.size(), 0);
  std::vector<float> reals(plan.kinds.size(), 0.0f);
  std::vector<recio::InItem> in_items;
  for (std::size_t i = 0; i < plan.kinds.size(); ++i) {
    switch (plan.kinds[i]) {
      case Descriptor::A:
        texts.emplace_back(1 + (i * 7 + records.size()) % 12, '?');
        in_items.emplace_back(texts.back());
        break;
      case Descriptor::I:
        if (i % 2 == 0)
          in_items.emplace_back(integers[i]);
        else
          in_items.emplace_back(shorts[i]);
        break;
      default:
        in_items.emplace_back(reals[i]);
        break;
    }
  }
  const std::vector<std::size_t> lengths = [&] {
    std::vector<std::size_t> sizes;
    for (const auto& text : texts) sizes.push_back(text.size());
    return sizes;
  }();
  try {
    check_status(recio::read_records(records, format_text, in_items));
  } catch (const vesk::Error& error) {
    fuzz::require(false, "a read of matching items does not throw");
  }
  for (std::size_t i = 0; i < texts.size(); ++i)
    fuzz::require(texts[i].size() == lengths[i], "a text item keeps its length");

  // The values read, written back through the same format.
  std::vector<recio::OutItem> out_items;
  std::size_t text_index = 0;
  for (std::size_t i = 0; i < plan.kinds.size(); ++i) {
    switch (plan.kinds[i]) {
      case Descriptor::A: out_items.emplace_back(std::string_view(texts[text_index++])); break;
      case Descriptor::I: out_items.emplace_back(i % 2 == 0 ? integers[i] : static_cast<int>(shorts[i])); break;
      default: out_items.emplace_back(reals[i]); break;
    }
  }
  try {
    const recio::WriteResult written = recio::write_records(format_text, out_items);
    fuzz::require(!written.records.empty(), "a write produces at least one record");
    // A numeric field that overflows prints asterisks, never more columns.
    long total = 0;
    for (const auto& record : written.records) total += static_cast<long>(record.size());
    fuzz::require(total <= 2 * kMaxColumns + 64, "a write stays within its fields");
  } catch (const vesk::Error& error) {
    fuzz::require(false, "a write of matching items does not throw");
  }
  return 0;
}
