// Preloaded into a program under test (LD_PRELOAD) to stop it as a kill -9
// or a machine that goes down would, just before one of its file
// operations: every operation that creates, changes, renames, links,
// removes or syncs a file is counted, in the order the program makes them.
//   VESK_KILL_AT=N          SIGKILL just before the Nth operation (from 1)
//   VESK_FILE_OPERATIONS=F  appends "N operation path" to F for each one,
//                           so that a test knows how many there are
//   VESK_PROCESS_ID=P       getpid() gives P, and a signal sent to P comes
//                           to this process: it runs as if under the id of
//                           an earlier run, as ids are used again
// Reads, and the operations of the log itself, are not counted.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

std::atomic<long> operations{0};

long kill_at() {
  static const long at = [] {
    const char* text = getenv("VESK_KILL_AT");
    return text != nullptr ? atol(text) : 0L;
  }();
  return at;
}

const char* log_file() {
  static const char* file = getenv("VESK_FILE_OPERATIONS");
  return file;
}

void before(const char* operation, const char* path) {
  const long n = ++operations;
  if (const char* file = log_file(); file != nullptr && *file != '\0') {
    const std::string line = std::to_string(n) + " " + operation + " " + (path != nullptr ? path : "-") + "\n";
    const long fd = syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      (void)!syscall(SYS_write, fd, line.data(), line.size());
      syscall(SYS_close, fd);
    }
  }
  if (n == kill_at()) syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
}

bool writes(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}
bool writes(const char* mode) { return mode != nullptr && strpbrk(mode, "wa+x") != nullptr; }

template <class F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

mode_t mode_of(int flags, va_list arguments) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  if (writes(flags)) before("open", path);
  static const auto next = real<int (*)(const char*, int, ...)>("open");
  return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  if (writes(flags)) before("open", path);
  static const auto next = real<int (*)(const char*, int, ...)>("open64");
  return next(path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  if (writes(flags)) before("openat", path);
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat");
  return next(folder, path, flags, mode);
}

int openat64(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  if (writes(flags)) before("openat", path);
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat64");
  return next(folder, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
  before("creat", path);
  static const auto next = real<int (*)(const char*, mode_t)>("creat");
  return next(path, mode);
}

FILE* fopen(const char* path, const char* mode) {
  if (writes(mode)) before("fopen", path);
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen");
  return next(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  if (writes(mode)) before("fopen", path);
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen64");
  return next(path, mode);
}

int rename(const char* from, const char* to) {
  before("rename", to);
  static const auto next = real<int (*)(const char*, const char*)>("rename");
  return next(from, to);
}

int renameat(int a, const char* from, int b, const char* to) {
  before("renameat", to);
  static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
  return next(a, from, b, to);
}

int renameat2(int a, const char* from, int b, const char* to, unsigned flags) {
  before("renameat2", to);
  static const auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return next(a, from, b, to, flags);
}

int link(const char* from, const char* to) {
  before("link", to);
  static const auto next = real<int (*)(const char*, const char*)>("link");
  return next(from, to);
}

int linkat(int a, const char* from, int b, const char* to, int flags) {
  before("linkat", to);
  static const auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
  return next(a, from, b, to, flags);
}

int unlink(const char* path) {
  before("unlink", path);
  static const auto next = real<int (*)(const char*)>("unlink");
  return next(path);
}

int unlinkat(int folder, const char* path, int flags) {
  before("unlinkat", path);
  static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
  return next(folder, path, flags);
}

int remove(const char* path) {
  before("remove", path);
  static const auto next = real<int (*)(const char*)>("remove");
  return next(path);
}

int fsync(int fd) {
  before("fsync", nullptr);
  static const auto next = real<int (*)(int)>("fsync");
  return next(fd);
}

int fdatasync(int fd) {
  before("fdatasync", nullptr);
  static const auto next = real<int (*)(int)>("fdatasync");
  return next(fd);
}

int ftruncate(int fd, off_t length) {
  before("ftruncate", nullptr);
  static const auto next = real<int (*)(int, off_t)>("ftruncate");
  return next(fd, length);
}

int mkdir(const char* path, mode_t mode) {
  before("mkdir", path);
  static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
  return next(path, mode);
}

int symlink(const char* target, const char* path) {
  before("symlink", path);
  static const auto next = real<int (*)(const char*, const char*)>("symlink");
  return next(target, path);
}

pid_t getpid(void) {
  static const long fake = [] {
    const char* text = getenv("VESK_PROCESS_ID");
    return text != nullptr ? atol(text) : 0L;
  }();
  return fake > 0 ? static_cast<pid_t>(fake) : static_cast<pid_t>(syscall(SYS_getpid));
}

int kill(pid_t pid, int signal) {
  const char* text = getenv("VESK_PROCESS_ID");
  if (text != nullptr && pid == static_cast<pid_t>(atol(text))) pid = static_cast<pid_t>(syscall(SYS_getpid));
  return static_cast<int>(syscall(SYS_kill, pid, signal));
}

}  // extern "C"
