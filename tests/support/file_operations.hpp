// The programs under test stopped at their file operations, or run under
// the process id of an earlier run, through the preloaded shim
// (tests/shim/kill_at_file_operation.cpp).
#pragma once
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/run_program.hpp"

namespace testing_support {

// The environment that preloads the shim, with `settings` (VESK_KILL_AT,
// VESK_FILE_OPERATIONS, VESK_PROCESS_ID) added to `env`.
std::map<std::string, std::string> shim_environment(std::map<std::string, std::string> settings,
                                                    std::map<std::string, std::string> env = {});

// The file operations of one run, in order ("open T.EXP.123.abc.new"), and
// its result; the run changes `folder` as any run does.
std::vector<std::string> file_operations(const std::string& binary, const std::vector<std::string>& args,
                                         const std::filesystem::path& folder, RunResult* result = nullptr,
                                         const std::map<std::string, std::string>& env = {});

// The run killed (SIGKILL) just before its file operation `at` (from 1).
RunResult run_killed_at(const std::string& binary, const std::vector<std::string>& args,
                        const std::filesystem::path& folder, long at,
                        const std::map<std::string, std::string>& env = {});

// Makes `to` hold exactly the files of `from` (no folders below).
void copy_folder(const std::filesystem::path& from, const std::filesystem::path& to);

// The name and content of every file of `folder`, for comparing before and after.
std::map<std::string, std::string> folder_snapshot(const std::filesystem::path& folder);

}  // namespace testing_support
