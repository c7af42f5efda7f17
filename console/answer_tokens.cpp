// ASKCHAR and ASKREAL: one value at a time from the user's answer line, so
// that several answers may be typed on one line and defaults kept by empty
// fields (",") or by "/" for the rest of the line.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include "console/ask.hpp"
#include "console/free_number.hpp"
#include "console/text_utils.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// Room for two file names of the longest the system takes on one line (the
// input and output names of a conversion): a name is never cut here.
constexpr std::size_t kLineLength = 2 * (recio::kMaxFileName + 1);
// A token that does not parse is shown in a field of this width, or whole.
constexpr std::size_t kShownTokenLength = 255;

struct AnswerLine {
  std::string line = std::string(kLineLength, ' ');
  int position = 0;  // next position to scan (from 1); 0 before the first line
  std::string token = std::string(kLineLength, ' ');
  int token_length = 0;
};

AnswerLine answers;

void read_new_line(std::string_view prompt) {
  ASKLINE(prompt, answers.line);
  answers.position = 1;
}

// A token such as "10/" gives its value now and leaves "/" as the next token.
void split_trailing_slash() {
  answers.position -= 2;
  answers.token_length -= 1;
}

}  // namespace

void ASKCHAR(std::string_view prompt, int mode, std::string& answer) {
  int m = mode;
  for (;;) {
    if (m == 0 || answers.position == 0) read_new_line(prompt);
    int p = answers.position;
    NEXTTOKEN(answers.line, answers.position, answers.token, answers.token_length);
    if (answers.token_length == 0) {
      if (p == 1) {
        // An empty line answers blank; a lone comma keeps the default.
        if (answers.token[0] != ',') std::fill(answer.begin(), answer.end(), ' ');
        return;
      }
      m = 0;  // the line is used up
      continue;
    }
    if (answers.token_length > 1 && answers.token[static_cast<std::size_t>(answers.token_length) - 1] == '/')
      split_trailing_slash();
    std::size_t n = std::min(static_cast<std::size_t>(answers.token_length), answer.size());
    std::fill(answer.begin(), answer.end(), ' ');
    std::copy_n(answers.token.begin(), n, answer.begin());
    return;
  }
}

void ASKREAL(std::string_view prompt, int mode, float& value) {
  const float default_value = value;
  int m = mode;
  for (;;) {
    if (m == 0 || answers.position == 0) {
      read_new_line(prompt);
      std::fill(answers.token.begin(), answers.token.end(), ' ');
    }
    // After a "/" nothing more is taken from this line.
    if (answers.token[0] != '/') NEXTTOKEN(answers.line, answers.position, answers.token, answers.token_length);
    if (answers.token_length == 0) {
      if (answers.token[0] == ',') return;  // empty field: the default stays
      m = 0;
      continue;
    }
    if (answers.token[0] == '/') return;
    if (answers.token[static_cast<std::size_t>(answers.token_length) - 1] == '/') split_trailing_slash();
    int start = 1;
    int error = 0;
    float number = STRREAL(answers.token, start, answers.token_length, 0, default_value, error);
    // A number beyond the 32-bit range (1e39) reads as infinity: no value
    // the programs ask for, so it is refused like any other bad number.
    if (error == 0 && std::isfinite(number)) {
      value = number;
      return;
    }
    value = default_value;
    m = 0;
    const std::size_t shown = std::max(kShownTokenLength, static_cast<std::size_t>(answers.token_length));
    recio::write(recio::kTerminalOut, "(A/1X,A)",
                 {std::string(" Error in the string: ") + '\a', recio::pad(answers.token, shown)});
  }
}

}  // namespace vesk
