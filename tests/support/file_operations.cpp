#include "tests/support/file_operations.hpp"

#include <fstream>

namespace testing_support {

namespace fs = std::filesystem;

std::map<std::string, std::string> shim_environment(std::map<std::string, std::string> settings,
                                                    std::map<std::string, std::string> env) {
  env["LD_PRELOAD"] = KILL_SHIM;
  // Under the sanitizers their runtime would insist on coming first.
  env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
  for (auto& [name, value] : settings) env[name] = value;
  return env;
}

std::vector<std::string> file_operations(const std::string& binary, const std::vector<std::string>& args,
                                         const fs::path& folder, RunResult* result,
                                         const std::map<std::string, std::string>& env) {
  const TempFolder log_folder;
  const fs::path log = log_folder / "operations";
  const RunResult run = run_program(binary, args, folder, "", shim_environment({{"VESK_FILE_OPERATIONS", log.string()}}, env));
  if (result != nullptr) *result = run;
  std::vector<std::string> operations;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) operations.push_back(line.substr(line.find(' ') + 1));
  return operations;
}

RunResult run_killed_at(const std::string& binary, const std::vector<std::string>& args, const fs::path& folder,
                        long at, const std::map<std::string, std::string>& env) {
  return run_program(binary, args, folder, "", shim_environment({{"VESK_KILL_AT", std::to_string(at)}}, env));
}

void copy_folder(const fs::path& from, const fs::path& to) {
  for (const auto& entry : fs::directory_iterator(to)) fs::remove_all(entry.path());
  for (const auto& entry : fs::directory_iterator(from))
    if (entry.is_regular_file()) fs::copy_file(entry.path(), to / entry.path().filename());
}

std::map<std::string, std::string> folder_snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) files[name] = "-> " + fs::read_symlink(entry.path()).string();
    else if (entry.is_regular_file()) files[name] = read_file(entry.path());
    else files[name] = "(not a plain file)";
  }
  return files;
}

}  // namespace testing_support
