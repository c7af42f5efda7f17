// The one exception type of the project. Library code throws it where a run
// cannot go on; each program's main turns it into a message and exit status 1.
#pragma once
#include <stdexcept>
#include <string>

namespace vesk {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace vesk
