#include "tests/support/background_program.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/run_program.hpp"

namespace testing_support {

BackgroundProgram::BackgroundProgram(const std::string& binary, const std::vector<std::string>& args,
                                     const std::filesystem::path& folder, const std::filesystem::path& output,
                                     const std::map<std::string, std::string>& env) {
  const std::string out = std::filesystem::absolute(output).string();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    exec_in_folder(binary, args, folder, env);
  }
}

BackgroundProgram::~BackgroundProgram() {
  if (!ended_) {
    kill();
    wait();
  }
}

void BackgroundProgram::kill() {
  if (!ended_) ::kill(pid_, SIGKILL);
}

int BackgroundProgram::wait() {
  if (!ended_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

bool BackgroundProgram::running() {
  if (ended_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

}  // namespace testing_support
