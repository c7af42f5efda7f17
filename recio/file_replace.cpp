#include "recio/file_replace.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "recio/error.hpp"

namespace recio {

namespace {

std::string reason(int error) { return std::strerror(error); }

// The process id of a temporary of `file` named `name`; 0 when the name is not one.
long temporary_owner(const std::string& name, const std::string& file) {
  const std::string prefix = file + ".";
  const std::string suffix = ".new";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stol(digits);
}

// Temporaries of files not yet replaced, removed when the program ends.
std::set<std::string>& pending_temporaries() {
  static std::set<std::string> names;
  return names;
}

}  // namespace

std::string temporary_name(const std::string& file) {
  return file + "." + std::to_string(static_cast<long>(getpid())) + ".new";
}

void write_new_file(const std::string& temporary, std::string_view text, std::string_view what, bool synced) {
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0)
    throw vesk::Error("The " + std::string(what) + " " + temporary + " cannot be created: " + reason(errno));
  int error = 0;
  for (std::size_t done = 0; done < text.size() && error == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (synced && error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    throw vesk::Error("The " + std::string(what) + " " + temporary + " cannot be written: " + reason(error));
  }
}

void rename_file(const std::string& from, const std::string& to, std::string_view what) {
  if (std::rename(from.c_str(), to.c_str()) != 0)
    throw vesk::Error("The " + std::string(what) + " " + to + " cannot be replaced by " + from + ": " +
                      reason(errno));
}

void sync_folder_of(const std::string& file, std::string_view what) {
  const std::filesystem::path path(file);
  const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fsync(fd) != 0) error = errno;
    ::close(fd);
  }
  if (error != 0)
    throw vesk::Error("The folder of the " + std::string(what) + " " + file + " cannot be synced: " + reason(error));
}

void remove_stale_temporaries(const std::string& file) {
  const std::filesystem::path path(file);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::string base = path.filename().string();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const long owner = temporary_owner(entry.path().filename().string(), base);
    // A process that still runs may be writing it.
    if (owner > 0 && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
  }
}

void remove_at_end(const std::string& temporary) { pending_temporaries().insert(temporary); }

void keep_at_end(const std::string& temporary) { pending_temporaries().erase(temporary); }

void remove_pending_temporaries() {
  for (const std::string& name : pending_temporaries()) std::remove(name.c_str());
  pending_temporaries().clear();
}

void copy_file(const std::string& file, const std::string& copy, std::string_view what) {
  std::ifstream old(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
  if (!old.is_open() || old.bad())
    throw vesk::Error("The file " + file + " cannot be read again to keep it as " + copy);
  const std::string temporary = temporary_name(copy);
  write_new_file(temporary, text, what);
  try {
    rename_file(temporary, copy, what);
  } catch (...) {
    std::remove(temporary.c_str());
    throw;
  }
}

}  // namespace recio
