#include "recio/file_replace.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <set>

#include "recio/error.hpp"

namespace recio {

namespace {

std::string reason(int error) { return std::strerror(error); }

bool all_of(std::string_view text, std::string_view allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// 64 bits from the kernel's random source; a generator seeded from the
// clock and the address space where it has none to give.
unsigned long long random_bits() {
  unsigned long long bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
  static std::mt19937_64 fallback(std::random_device{}() ^ static_cast<unsigned long long>(::getpid()));
  return fallback();
}

// Opens `path` with `flags`, puts it on the disk and closes it; the system's error, or 0.
int synced(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fsync(fd) != 0) error = errno;
    ::close(fd);
  }
  return error;
}

// Names of this process: the temporaries it made and those it writes.
struct Temporaries {
  std::mutex mutex;
  std::set<std::string> made;     // every name temporary_name() gave
  std::set<std::string> pending;  // removed at the end unless kept
};
Temporaries& temporaries() {
  static Temporaries names;
  return names;
}

}  // namespace

std::string temporary_name(const std::string& file) {
  static const char digits[] = "0123456789abcdef";
  std::string tag(16, '0');
  unsigned long long bits = random_bits();
  for (char& c : tag) {
    c = digits[bits & 15];
    bits >>= 4;
  }
  std::string name = file + "." + std::to_string(static_cast<long>(getpid())) + "." + tag + ".new";
  Temporaries& names = temporaries();
  const std::lock_guard<std::mutex> hold(names.mutex);
  names.made.insert(name);
  return name;
}

bool is_temporary_of(std::string_view name, std::string_view base, bool earlier_form) {
  constexpr std::string_view kSuffix = ".new";
  if (name.size() <= base.size() + 1 + kSuffix.size() || name.substr(0, base.size()) != base ||
      name[base.size()] != '.' || name.substr(name.size() - kSuffix.size()) != kSuffix)
    return false;
  const std::string_view middle = name.substr(base.size() + 1, name.size() - base.size() - 1 - kSuffix.size());
  const std::size_t dot = middle.find('.');
  const std::string_view pid = middle.substr(0, dot);
  if (!all_of(pid, "0123456789") || pid.size() > 10) return false;
  if (dot == std::string_view::npos) return earlier_form;
  const std::string_view tag = middle.substr(dot + 1);
  return tag.size() == 16 && all_of(tag, "0123456789abcdef");
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

void sync_file(const std::string& file, std::string_view what) {
  if (const int error = synced(file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK); error != 0)
    throw vesk::Error("The " + std::string(what) + " " + file + " cannot be synced: " + reason(error));
}

void rename_file(const std::string& from, const std::string& to, std::string_view what) {
  if (std::rename(from.c_str(), to.c_str()) != 0)
    throw vesk::Error("The " + std::string(what) + " " + to + " cannot be replaced by " + from + ": " +
                      reason(errno));
}

void sync_folder_of(const std::string& file, std::string_view what) {
  const std::filesystem::path path(file);
  const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
  if (const int error = synced(folder, O_RDONLY | O_DIRECTORY); error != 0)
    throw vesk::Error("The folder of the " + std::string(what) + " " + file + " cannot be synced: " + reason(error));
}

void remove_stale_temporaries(const std::string& file, bool earlier_form) {
  const std::filesystem::path path(file);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::string base = path.filename().string();
  std::set<std::string> ours;
  {
    Temporaries& names = temporaries();
    const std::lock_guard<std::mutex> hold(names.mutex);
    for (const std::string& name : names.made) ours.insert(std::filesystem::path(name).filename().string());
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!is_temporary_of(name, base, earlier_form) || ours.count(name) != 0) continue;
    std::error_code ignored;
    std::filesystem::remove(entry.path(), ignored);  // a link goes, never what it leads to
  }
}

void remove_at_end(const std::string& temporary) {
  Temporaries& names = temporaries();
  const std::lock_guard<std::mutex> hold(names.mutex);
  names.pending.insert(temporary);
}

void keep_at_end(const std::string& temporary) {
  Temporaries& names = temporaries();
  const std::lock_guard<std::mutex> hold(names.mutex);
  names.pending.erase(temporary);
}

void remove_pending_temporaries() {
  Temporaries& names = temporaries();
  const std::lock_guard<std::mutex> hold(names.mutex);
  for (const std::string& name : names.pending) std::remove(name.c_str());
  names.pending.clear();
}

void replace_file(const std::string& file, std::string_view text, std::string_view what, bool synced) {
  const std::string temporary = temporary_name(file);
  write_new_file(temporary, text, what, synced);
  try {
    rename_file(temporary, file, what);
  } catch (...) {
    std::remove(temporary.c_str());
    throw;
  }
}

void copy_file(const std::string& file, const std::string& copy, std::string_view what) {
  std::ifstream old(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
  if (!old.is_open() || old.bad())
    throw vesk::Error("The file " + file + " cannot be read again to keep it as " + copy);
  replace_file(copy, text, what, true);  // a kept copy holds marks
}

}  // namespace recio
