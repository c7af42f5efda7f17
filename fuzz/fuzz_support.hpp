// Small helpers shared by the fuzz targets: a private temporary folder that
// is emptied after every input, and a failure that names the broken promise.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Aborts (so that libFuzzer keeps the input) when a promise is broken.
inline void remove_work_folder();

inline bool& work_folder_made() {
  static bool made = false;
  return made;
}


inline void require(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", promise);
  remove_work_folder();
  std::abort();
}

// Folders left by a process that ended without its exit handlers (a hang
// that the fuzzer cut off): their names carry the process id.
inline void remove_abandoned_folders() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("vesk_fuzz_", 0) != 0) continue;
    const std::string rest = name.substr(10);
    const std::size_t end = rest.find('_');
    if (end == std::string::npos || end == 0 || rest.find_first_not_of("0123456789") != end) continue;
    const long pid = std::stol(rest.substr(0, end));
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

// A folder of our own under the system's temporary folder, removed at exit.
// Held on the heap and never destroyed: the exit handler still needs it.
inline const std::filesystem::path& work_folder() {
  static const std::filesystem::path* folder = [] {
    remove_abandoned_folders();
    const std::string prefix = "vesk_fuzz_" + std::to_string(getpid()) + "_";
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    auto* made = new std::filesystem::path(buffer.data());
    work_folder_made() = true;
    std::atexit(remove_work_folder);
    return made;
  }();
  return *folder;
}

// Also called on a broken invariant, since abort skips the exit handlers.
inline void remove_work_folder() {
  if (!work_folder_made()) return;
  work_folder_made() = false;
  std::error_code ignored;
  std::filesystem::remove_all(work_folder(), ignored);
}

// Names of the entries of the work folder, sorted.
inline std::vector<std::string> folder_entries() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(work_folder()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Empties the work folder between inputs.
inline void clear_folder() {
  for (const auto& entry : std::filesystem::directory_iterator(work_folder())) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

inline std::string write_file(std::string_view name, const std::uint8_t* data, std::size_t size) {
  std::string path = (work_folder() / std::string(name)).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (size > 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  require(out.good(), "the fuzz input can be written to the work folder");
  return path;
}

}  // namespace fuzz
