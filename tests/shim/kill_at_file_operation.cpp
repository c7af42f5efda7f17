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

// Each operation counted, then handed to the next definition (the C library's).
#define FORWARD(result, name, parameters, arguments, path)                   \
  result name parameters {                                                   \
    before(#name, path);                                                     \
    static const auto next = real<result(*) parameters>(#name);              \
    return next arguments;                                                   \
  }

// The opens: counted only when they may write.
#define FORWARD_OPEN(name, parameters, arguments)                            \
  int name parameters {                                                      \
    va_list rest;                                                            \
    va_start(rest, flags);                                                   \
    const mode_t mode = mode_of(flags, rest);                                \
    va_end(rest);                                                            \
    if (writes(flags)) before(#name, path);                                  \
    static const auto next = real<int(*) parameters>(#name);                 \
    return next arguments;                                                   \
  }

extern "C" {

FORWARD_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
FORWARD_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
FORWARD_OPEN(openat, (int folder, const char* path, int flags, ...), (folder, path, flags, mode))
FORWARD_OPEN(openat64, (int folder, const char* path, int flags, ...), (folder, path, flags, mode))

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

FORWARD(int, creat, (const char* path, mode_t mode), (path, mode), path)
FORWARD(int, rename, (const char* from, const char* to), (from, to), to)
FORWARD(int, renameat, (int a, const char* from, int b, const char* to), (a, from, b, to), to)
FORWARD(int, renameat2, (int a, const char* from, int b, const char* to, unsigned flags), (a, from, b, to, flags), to)
FORWARD(int, link, (const char* from, const char* to), (from, to), to)
FORWARD(int, linkat, (int a, const char* from, int b, const char* to, int flags), (a, from, b, to, flags), to)
FORWARD(int, unlink, (const char* path), (path), path)
FORWARD(int, unlinkat, (int folder, const char* path, int flags), (folder, path, flags), path)
FORWARD(int, remove, (const char* path), (path), path)
FORWARD(int, fsync, (int fd), (fd), nullptr)
FORWARD(int, fdatasync, (int fd), (fd), nullptr)
FORWARD(int, ftruncate, (int fd, off_t length), (fd, length), nullptr)
FORWARD(int, mkdir, (const char* path, mode_t mode), (path, mode), path)
FORWARD(int, symlink, (const char* target, const char* path), (target, path), path)

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
