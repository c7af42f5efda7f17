// Atom labels as an experiment file keeps them: at most 8 characters of
// printable ASCII, each label once. vortan's CIF output writes the CIF's
// own labels back from the mapping cif2exp leaves beside the experiment.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace cif2exp {

constexpr std::size_t kLabelLength = 8;

// One label per CIF label, in the same order. A label that fits is kept;
// letters outside ASCII are transliterated (U+00C0 to U+00FF to their base
// letter, anything else to '_'); a longer label is cut to 8 characters, its
// tail replaced by a number where that would give a label already taken
// ("C1_long_a" -> "C1_long_", a second "C1_long_b" -> "C1_long1").
// Throws vesk::Error naming a label that holds a blank or control character.
std::vector<std::string> short_labels(const std::vector<std::string>& labels);

}  // namespace cif2exp
