// Runs a real program binary as a user would, in a given folder, with a
// given standard input and environment additions, and captures its output.
#pragma once
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct RunResult {
  int exit_status = -1;  // -1 when killed by a signal
  std::string out;
  std::string err;
};

RunResult run_program(const std::string& binary, const std::vector<std::string>& args,
                      const std::filesystem::path& folder, const std::string& input = {},
                      const std::map<std::string, std::string>& env = {});

// In a forked child: goes to `folder`, adds `env` and executes the binary
// with `args`; ends the child with status 127 when it cannot.
[[noreturn]] void exec_in_folder(const std::string& binary, const std::vector<std::string>& args,
                                 const std::filesystem::path& folder, const std::map<std::string, std::string>& env);

// A fresh empty folder under the system's temporary folder, removed by its destructor.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, const std::string& content);

}  // namespace testing_support
