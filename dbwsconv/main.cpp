// dbwsconv: converts a DBWS powder data file into the suite's powder data
// file. The input is read in full before the output is touched.
#include <string>

#include "console/ask.hpp"
#include "console/command_line.hpp"
#include "dbwsconv/convert.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace {

const char kUsage[] =
    "Usage: dbwsconv\n"
    "Converts a DBWS powder data file into the suite's powder data file. Asks\n"
    "for the file to read and the file to write (both may go on one line).\n"
    "Options: -h, --help  this text;  --version  the version.\n";

// What was written, for the user who sees nothing else of the conversion.
void report_written(const std::string& input, const std::string& output, const vesk::PowderCounts& data) {
  recio::write(recio::kTerminalOut, "(A)",
               {" Wrote " + output + ": " + std::to_string(8 * data.records) + " counts from " +
                std::to_string(data.records) + " records of " + input + ", " +
                std::to_string(data.output_records()) + " records of ten"});
}

}  // namespace

int main(int argc, char** argv) {
  // The file names are asked on the terminal: the command line takes only
  // the common options.
  if (argc > 1) return vesk::answer_or_refuse("dbwsconv", kUsage, argv[1]);
  try {
    static vesk::PowderCounts data;
    std::string input_name(vesk::kFileNameField, ' ');
    std::string output_name(vesk::kFileNameField, ' ');
    // Both names may be typed on the first answer line.
    vesk::ASKCHAR("Enter input DBWS datafile name", 1, input_name);
    const std::string input(recio::trim_right(input_name));
    vesk::read_dbws(input, data);
    vesk::ASKCHAR("Enter output VESK datafile name", 1, output_name);
    const std::string output(recio::trim_right(output_name));
    vesk::write_powder(output, data);
    report_written(input, output, data);
  } catch (const vesk::Stop& stop) {
    return recio::stop(stop);
  } catch (const vesk::Error& e) {
    return recio::stop(vesk::Stop{.message = std::string(e.what()) + "\n", .exit_status = 1});
  }
  return recio::stop(vesk::Stop{.message = {}, .exit_status = 0});
}
