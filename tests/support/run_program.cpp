#include "tests/support/run_program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

void drain(int fd, std::string& sink) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) sink.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

void exec_in_folder(const std::string& binary, const std::vector<std::string>& args,
                    const std::filesystem::path& folder, const std::map<std::string, std::string>& env) {
  if (chdir(folder.c_str()) != 0) _exit(127);
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

RunResult run_program(const std::string& binary, const std::vector<std::string>& args,
                      const std::filesystem::path& folder, const std::string& input,
                      const std::map<std::string, std::string>& env) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");
  // A program that ends before it has read all its input must not take the
  // test down with SIGPIPE: the write then fails with EPIPE and stops.
  signal(SIGPIPE, SIG_IGN);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored in the program
    exec_in_folder(binary, args, folder, env);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Feed the input while reading both outputs, so that neither side blocks.
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  if (input.empty()) { close(in_fd); in_fd = -1; }
  RunResult result;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_pipe[0] : -1, POLLIN, 0},
                     {in_fd, POLLOUT, 0}};
    poll(fds, 3, 1000);
    if (fds[0].revents) {
      std::size_t before = result.out.size();
      drain(out_pipe[0], result.out);
      if (result.out.size() == before) out_open = false;
    }
    if (fds[1].revents) {
      std::size_t before = result.err.size();
      drain(err_pipe[0], result.err);
      if (result.err.size() == before) err_open = false;
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written >= input.size()) { close(in_fd); in_fd = -1; }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TempFolder::TempFolder() {
  std::random_device rd;
  for (;;) {
    path_ = std::filesystem::temp_directory_path() / ("vesk-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& file, const std::string& content) {
  std::ofstream out(file, std::ios::binary);
  out << content;
}

}  // namespace testing_support
