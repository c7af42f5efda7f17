#include "expfile/keys.hpp"

#include <vector>

#include "expfile/record_store.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

std::string CRSKEY(int phase) { return recio::write_string("(A,I1,A)", {"CRS", phase, "  "}); }

void NPHASRD(int experiment_unit, std::array<int, kMaxPhases>& flags) {
  std::string value(68, ' ');
  READEXP(experiment_unit, " EXPR NPHAS ", value);
  // Two layouts exist: 15 flags of 3 columns, or the older 9 of 5.
  const bool fifteen = value[2] != ' ';
  std::array<int, 15> read{};
  std::vector<recio::InItem> items;
  for (int i = 0; i < (fifteen ? 15 : 9); ++i) items.emplace_back(read[i]);
  int status = recio::read_records(std::vector<std::string>{value}, fifteen ? "(15I3)" : "(9I5)", items);
  if (status != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" Phase flags record \" EXPR NPHAS \" does not read as integers: " + value});
    recio::fail(status, experiment_unit);
  }
  for (int i = 0; i < kMaxPhases; ++i) flags[i] = read[i];
}

}  // namespace vesk
