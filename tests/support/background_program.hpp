// A real program started in the background, its output going to a file:
// for tests that run two programs at once or stop one at a random moment.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& binary, const std::vector<std::string>& args,
                    const std::filesystem::path& folder, const std::filesystem::path& output,
                    const std::map<std::string, std::string>& env = {});
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  pid_t pid() const { return pid_; }
  // SIGKILL, as a user's kill -9 or a machine that stops.
  void kill();
  // The exit status; -1 when a signal ended it.
  int wait();
  bool running();

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

}  // namespace testing_support
