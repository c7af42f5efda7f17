// Plans of a replacement as the tests write them, sealed by hand: the
// checksum computed here from FNV-1a's definition, so that the writer's
// checksum is checked against the published one, not against itself.
#pragma once
#include <string>

namespace testing_support {

// FNV-1a of 64 bits, as 16 lower-case hex digits.
std::string fnv1a(const std::string& bytes);

// A plan whose end line and checksum agree with its `steps` (lines ending in
// "\n"): only what the steps name can be wrong with it.
std::string sealed_plan(const std::string& steps, const std::string& stem = "T");

}  // namespace testing_support
