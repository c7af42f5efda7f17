#include "tests/support/expfile_builder.hpp"

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

#include "console/text_utils.hpp"
#include "expfile/record_store.hpp"
#include "recio/units.hpp"

namespace testing_support {

namespace {

std::string padded(std::string_view text, std::size_t n) {
  std::string out(text.substr(0, std::min(n, text.size())));
  out.resize(n, ' ');
  return out;
}

std::string right_justified(int number, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%*d", width, number);
  return buffer;
}

std::string fixed(double value, int width, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%*.*f", width, decimals, value);
  return buffer;
}

}  // namespace

std::string experiment_record(std::string_view key, std::string_view value) {
  if (key.size() > 12) throw std::invalid_argument("experiment key longer than 12: " + std::string(key));
  if (value.size() > 68) throw std::invalid_argument("experiment value longer than 68 for " + std::string(key));
  return padded(key, 12) + padded(value, 68) + "\r\n";
}

ExpFileBuilder& ExpFileBuilder::add(std::string_view key, std::string_view value) {
  experiment_record(key, value);  // checks the lengths
  records_.emplace_back(padded(key, 12), std::string(value));
  return *this;
}

ExpFileBuilder& ExpFileBuilder::title(std::string_view text) { return add("      DESCR ", "  " + std::string(text)); }

ExpFileBuilder& ExpFileBuilder::version(int number) { return add("     VERSION", right_justified(number, 5)); }

ExpFileBuilder& ExpFileBuilder::history(int number, std::string_view text) {
  return add("    HSTRY" + right_justified(number, 3), text);
}

ExpFileBuilder& ExpFileBuilder::phase_flags(const std::vector<int>& flags) {
  std::string value;
  for (int flag : flags) value += right_justified(flag, 5);
  return add(" EXPR NPHAS ", value);
}

ExpFileBuilder& ExpFileBuilder::vortan_controls(int phase, std::string_view words) {
  return add("  VRTN CDAT" + std::to_string(phase), words);
}

ExpFileBuilder& ExpFileBuilder::atom_types(const std::vector<TestAtomType>& types) {
  add(" EXPR  NATYP", right_justified(static_cast<int>(types.size()), 5));
  for (std::size_t i = 0; i < types.size(); ++i)
    add(" EXPR ATYP" + right_justified(static_cast<int>(i + 1), 2),
        "  " + padded(types[i].symbol, 8) + "     " + fixed(types[i].bond_radius, 10, 2) +
            fixed(types[i].angle_radius, 10, 2));
  return *this;
}

ExpFileBuilder& ExpFileBuilder::phase(const TestPhase& phase) {
  const std::string prefix = "CRS" + std::to_string(phase.number) + "  ";
  add(prefix + "  PNAM", "  " + phase.name);
  add(prefix + " NATOM", right_justified(static_cast<int>(phase.atoms.size()), 5));
  add(prefix + "ABC   ", fixed(phase.cell[0], 10, 5) + fixed(phase.cell[1], 10, 5) + fixed(phase.cell[2], 10, 5));
  add(prefix + "ANGLES", fixed(phase.cell[3], 10, 5) + fixed(phase.cell[4], 10, 5) + fixed(phase.cell[5], 10, 5));
  add(prefix + "SG SYM", "  " + phase.space_group);
  for (std::size_t i = 0; i < phase.atoms.size(); ++i) {
    const TestAtom& atom = phase.atoms[i];
    const std::string key = prefix + "AT" + right_justified(static_cast<int>(i + 1), 3);
    add(key + "A", "  " + padded(atom.type, 8) + fixed(atom.x, 10, 5) + fixed(atom.y, 10, 5) + fixed(atom.z, 10, 5) +
                       fixed(atom.fraction, 10, 5) + padded(atom.label, 8) + "   1" + " " + "   ");
    add(key + "B", padded(fixed(atom.uiso, 10, 5), 62) + "I   ");
  }
  return *this;
}

ExpFileBuilder& ExpFileBuilder::without(std::string_view key) {
  const std::string wanted = padded(key, 12);
  std::erase_if(records_, [&wanted](const auto& record) { return record.first == wanted; });
  return *this;
}

ExpFileBuilder& ExpFileBuilder::empty_records(int count) {
  empty_records_ = count;
  return *this;
}

ExpFileBuilder& ExpFileBuilder::seed(unsigned value) {
  seed_ = value;
  return *this;
}

ExpFileBuilder& ExpFileBuilder::without_terminator() {
  terminator_ = false;
  return *this;
}

ExpFileBuilder& ExpFileBuilder::in_given_order() {
  shuffle_ = false;
  return *this;
}

std::string ExpFileBuilder::bytes() const {
  std::vector<std::string> lines;
  for (const auto& [key, value] : records_) lines.push_back(experiment_record(key, value));
  for (int i = 0; i < empty_records_; ++i)
    lines.push_back(experiment_record(i % 2 == 0 ? "~~~~~~~~~~~~" : "", i % 2 == 0 ? "" : "left over text"));
  if (terminator_) lines.push_back(experiment_record("ZZZZZZZZZZZZ", "end of the experiment file"));
  if (shuffle_) {
    // Fisher-Yates with mt19937, whose sequence the standard fixes, so a
    // seed gives the same file everywhere.
    std::mt19937 generator(seed_);
    for (std::size_t i = lines.size(); i > 1; --i) std::swap(lines[i - 1], lines[generator() % i]);
  }
  std::string out;
  for (const auto& line : lines) out += line;
  return out;
}

void ExpFileBuilder::write(const std::filesystem::path& file) const {
  std::ofstream out(file, std::ios::binary);
  out << bytes();
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

OpenExperiment::OpenExperiment(const std::filesystem::path& file) {
  vesk::FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.access = recio::Access::Direct;
  spec.record_length = vesk::kExperimentRecordLength;
  if (recio::open(unit, file.string(), spec) != 0) throw std::runtime_error("cannot open " + file.string());
}

OpenExperiment::~OpenExperiment() {
  recio::close(unit);
  vesk::release_record_store(unit);
}

ExpFileBuilder minimal_experiment() {
  ExpFileBuilder builder;
  builder.title("Test experiment").version(6).history(1, "ZENTOR created the file").history(2, "RAFFIN cycle 1");
  return builder;
}

}  // namespace testing_support
