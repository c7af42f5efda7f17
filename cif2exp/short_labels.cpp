#include "cif2exp/short_labels.hpp"

#include <set>
#include <string_view>

#include "recio/error.hpp"

namespace cif2exp {

namespace {

// U+00C0 to U+00FF by their base letters (Latin-1 Supplement).
constexpr std::string_view kLatin1 = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTsaaaaaaaceeeeiiiidnooooo_ouuuuyty";
static_assert(kLatin1.size() == 64);

bool fits(const std::string& label) {
  if (label.empty() || label.size() > kLabelLength) return false;
  for (char c : label)
    if (static_cast<unsigned char>(c) < 33 || static_cast<unsigned char>(c) > 126) return false;
  return true;
}

std::string transliterated(const std::string& label) {
  std::string out;
  for (std::size_t i = 0; i < label.size(); ++i) {
    const auto byte = static_cast<unsigned char>(label[i]);
    if (byte < 128) {
      if (byte < 33 || byte == 127)
        throw vesk::Error("atom " + label + ": the label holds a blank or a control character");
      out += label[i];
      continue;
    }
    // A UTF-8 sequence: its length from the lead byte, its code point.
    int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    unsigned code = length == 1 ? 0 : byte & (0x7Fu >> length);
    for (int k = 1; k < length; ++k) {
      const auto next = i + k < label.size() ? static_cast<unsigned char>(label[i + k]) : 0u;
      if ((next & 0xC0u) != 0x80u) {
        length = k;
        code = 0;
        break;
      }
      code = (code << 6) | (next & 0x3Fu);
    }
    i += static_cast<std::size_t>(length - 1);
    out += code >= 0xC0 && code <= 0xFF ? kLatin1[code - 0xC0] : '_';
  }
  return out;
}

}  // namespace

std::vector<std::string> short_labels(const std::vector<std::string>& labels) {
  // Labels that fit keep their names; the others take what is left.
  std::set<std::string> taken;
  for (const std::string& label : labels)
    if (fits(label)) taken.insert(label);
  std::vector<std::string> result;
  result.reserve(labels.size());
  for (const std::string& label : labels) {
    if (fits(label)) {
      result.push_back(label);
      continue;
    }
    const std::string ascii = transliterated(label);
    std::string candidate = ascii.substr(0, kLabelLength);
    for (int number = 1; taken.count(candidate) != 0; ++number) {
      const std::string tail = std::to_string(number);
      candidate = ascii.substr(0, kLabelLength - tail.size()) + tail;
    }
    taken.insert(candidate);
    result.push_back(candidate);
  }
  return result;
}

}  // namespace cif2exp
