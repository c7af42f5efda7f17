#include "tests/support/replacement_plan.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace testing_support {

std::string fnv1a(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ULL;
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

std::string sealed_plan(const std::string& steps, const std::string& stem) {
  const std::string text = "vesk replacement plan 1\nstem\t" + stem + "\n" + steps;
  const long count = std::count(steps.begin(), steps.end(), '\n');
  return text + "end\t" + std::to_string(count) + "\t" + fnv1a(text) + "\n";
}

}  // namespace testing_support
