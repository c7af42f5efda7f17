// The stop that a call throws, for tests of code that ends the run.
#pragma once
#include <cstdlib>
#include <functional>
#include <optional>

#include "recio/error.hpp"
#include "recio/units.hpp"

namespace testing_support {

// The vesk::Stop that `call` throws; nothing when it returns. Any other
// exception goes on to the test.
inline std::optional<vesk::Stop> caught_stop(const std::function<void()>& call) {
  try {
    call();
  } catch (const vesk::Stop& stop) {
    return stop;
  }
  return std::nullopt;
}

// Runs `call` in a death test as a program's main would: the stop it throws
// ends the process through recio::stop() with the stop's exit status. A call
// that returns ends it with status 98, which no stop of ours has.
[[noreturn]] inline void run_as_main(const std::function<void()>& call) {
  try {
    call();
  } catch (const vesk::Stop& stop) {
    std::exit(recio::stop(stop));
  }
  std::exit(98);
}

}  // namespace testing_support
