#include "expfile/experiment_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recio/error.hpp"

namespace vesk {

namespace {

struct HeldLock {
  std::string file;
  int fd = -1;
};

HeldLock& held_lock() {
  static HeldLock lock;
  return lock;
}

// "cif2exp (process 123)" from the line "123 cif2exp" the holder wrote.
std::string holder_of(int fd) {
  char text[64] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  std::string line = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
  line = line.substr(0, line.find('\n'));
  const std::size_t end = line.find_first_not_of("0123456789");
  const std::string pid = line.substr(0, end);
  std::string program = end == std::string::npos || line[end] != ' ' ? std::string() : line.substr(end + 1);
  if (program != "vortan" && program != "cif2exp") program = "another program";
  if (pid.empty()) return "a program that has not yet written its process id";
  return program + " (process " + pid + ")";
}

// A plain file with one name: anything else (a hard link to a file of the
// user, a device, a FIFO) is not ours to write into.
std::string unfit_lock_file(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "it is not a plain file";
  if (info.st_nlink != 1) return "it has another name (a hard link), which writing the lock would overwrite";
  return {};
}

}  // namespace

std::string lock_file_name(const std::string& stem) { return stem + ".VORTAN.lock"; }

void lock_experiment(const std::string& stem, const std::string& program) {
  HeldLock& lock = held_lock();
  if (lock.fd >= 0) return;
  const std::string file = lock_file_name(stem);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // O_NONBLOCK: a FIFO put there must not hold the program up.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
      throw Error("The lock file " + file + " of this experiment cannot be opened: " + std::strerror(errno) +
                  (errno == ELOOP ? " (it is a symbolic link; remove it and run again)" : ""));
    if (const std::string unfit = unfit_lock_file(fd); !unfit.empty()) {
      ::close(fd);
      throw Error("The lock file " + file + " of this experiment is refused: " + unfit +
                  "; remove it and run again");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const std::string holder = holder_of(fd);
      ::close(fd);
      if (error == EWOULDBLOCK)
        throw Error("The experiment " + stem + " is in use by " + holder + "; try again when it has ended");
      throw Error("The lock file " + file + " of this experiment cannot be locked: " + std::strerror(error));
    }
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) == 0 && ::lstat(file.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino) {
      // Only for the message of a second run: the lock holds without it
      // (on a full disk, for instance).
      const std::string pid = std::to_string(static_cast<long>(::getpid())) + " " + program + "\n";
      if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
      lock.file = file;
      lock.fd = fd;
      return;
    }
    // The run that held it has removed it since it was opened.
    ::close(fd);
  }
  throw Error("The lock file " + file + " of this experiment keeps changing; no lock could be taken");
}

// Removed while still locked: a run that opened the old file meanwhile sees
// that the name no longer leads to what it locked and tries again.
void release_experiment_lock() {
  HeldLock& lock = held_lock();
  if (lock.fd < 0) return;
  ::unlink(lock.file.c_str());
  ::close(lock.fd);
  lock.fd = -1;
}

}  // namespace vesk
