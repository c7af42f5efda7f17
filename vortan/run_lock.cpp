#include "vortan/run_lock.hpp"

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

std::string holder_of(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
  const std::size_t end = pid.find_first_not_of("0123456789");
  if (end != std::string::npos) pid.resize(end);
  return pid.empty() ? std::string("a process that has not yet written its id") : "process " + pid;
}

}  // namespace

std::string lock_file_name(const std::string& stem) { return stem + ".VORTAN.lock"; }

void lock_experiment(const std::string& stem) {
  HeldLock& lock = held_lock();
  if (lock.fd >= 0) return;
  const std::string file = lock_file_name(stem);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
      throw Error("The lock file " + file + " of this experiment cannot be opened: " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const std::string holder = holder_of(fd);
      ::close(fd);
      if (error == EWOULDBLOCK)
        throw Error("The experiment " + stem + " is in use by another vortan run (" + holder +
                    "); try again when it has ended");
      throw Error("The lock file " + file + " of this experiment cannot be locked: " + std::strerror(error));
    }
    struct stat opened {}, named {};
    if (::fstat(fd, &opened) == 0 && ::stat(file.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino) {
      // Only for the message of a second run: the lock holds without it
      // (on a full disk, for instance).
      const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
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
