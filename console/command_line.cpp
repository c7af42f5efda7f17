#include "console/command_line.hpp"

#include <iostream>
#include <string>

#include "console/page.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

bool is_option(std::string_view word) { return word.size() > 1 && word[0] == '-'; }

int answer_or_refuse(std::string_view program, std::string_view usage, std::string_view word) {
  if (word == "-h" || word == "--help") {
    std::cout << usage;
    return 0;
  }
  if (word == "--version") {
    std::string version(9, ' ');
    PROGVERSION(version);  // the version the listing banner shows
    std::cout << program << ' ' << recio::trim_right(version) << '\n';
    return 0;
  }
  std::cerr << program << ": " << (is_option(word) ? "unknown option " : "unexpected argument ") << word
            << '\n'
            << usage;
  return 1;
}

}  // namespace vesk
