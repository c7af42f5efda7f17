#include "cif2exp/output_folder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recio/error.hpp"

namespace cif2exp {

void check_output_folder(const std::string& folder) {
  const std::string path = folder.empty() ? std::string(".") : folder;
  const std::string shown = folder.empty() ? std::string("the current folder") : "the folder " + folder;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    throw vesk::Error(shown + " for the experiment's files cannot be used: " + std::strerror(errno) +
                      "; create it, or name the experiment in an existing folder");
  if (!S_ISDIR(status.st_mode))
    throw vesk::Error(folder + " is not a folder; name the experiment in an existing folder");
  if (::access(path.c_str(), W_OK | X_OK) != 0)
    throw vesk::Error("the experiment's files cannot be written into " + shown + ": " + std::strerror(errno));
}

}  // namespace cif2exp
