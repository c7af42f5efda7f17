// dbwsconv: converts a DBWS powder data file into the suite's powder data
// file. The input is read in full before the output is touched.
#include <iostream>
#include <string>

#include "console/ask.hpp"
#include "dbwsconv/convert.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

int main() {
  try {
    static vesk::PowderCounts data;
    std::string input_name(vesk::kFileNameField, ' ');
    std::string output_name(vesk::kFileNameField, ' ');
    // Both names may be typed on the first answer line.
    vesk::ASKCHAR("Enter input DBWS datafile name", 1, input_name);
    vesk::read_dbws(std::string(recio::trim_right(input_name)), data);
    vesk::ASKCHAR("Enter output VESK datafile name", 1, output_name);
    vesk::write_powder(std::string(recio::trim_right(output_name)), data);
  } catch (const vesk::Error& e) {
    recio::flush_all();
    std::cerr << e.what() << '\n';
    return 1;
  }
  recio::stop();
}
