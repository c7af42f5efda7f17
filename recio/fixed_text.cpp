#include "recio/fixed_text.hpp"

#include <algorithm>
#include <cctype>

namespace recio {

std::string pad(std::string_view text, std::size_t n) {
  std::string out(text.substr(0, std::min(n, text.size())));
  out.resize(n, ' ');
  return out;
}

std::string_view trim_right(std::string_view text) {
  std::size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

int compare_padded(std::string_view a, std::string_view b) {
  std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
    auto cb = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

std::size_t index_of(std::string_view text, std::string_view needle) {
  std::size_t at = text.find(needle);
  return at == std::string_view::npos ? 0 : at + 1;
}

std::size_t trimmed_length(std::string_view text, std::size_t minimum) {
  return std::max(trim_right(text).size(), minimum);
}

std::string upper_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace recio
