// ASKLINE, ASKCHAR and ASKREAL fed an arbitrary answer stream on standard
// input, macro commands included (@M records into a new file, @Q ends it, @R
// replays a file). The part of the input after a line "@@@" becomes the macro
// file MAC, so that replays have something to read.
//
// The terminal ending is fatal by design (IOFAIL stops the run), so the
// stream is followed by enough answers that every question can always be
// satisfied: "QUIT" ends a replay prompt and "," keeps any default. A fixed
// number of questions is asked, at most one per line of the input.
//
// Macro files are created relative to the current folder, so the target runs
// in its own temporary folder; a "/" that could make a file name reach out of
// it (a "/" followed by more text on its line) is turned into "_".
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "console/ask.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/units.hpp"

namespace {

constexpr int kMaxQuestions = 40;
constexpr int kPaddingPairs = 200;

std::string padding() {
  std::string text;
  for (int i = 0; i < kPaddingPairs; ++i) text += "QUIT\n,\n";
  return text;
}

// A "/" stays only where the rest of its line is blank or a comment.
std::string confine_names(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != '/') continue;
    std::size_t j = i + 1;
    while (j < out.size() && (out[j] == ' ' || out[j] == '\t')) ++j;
    if (j < out.size() && out[j] != '\n' && out[j] != '!' && out[j] != ',') out[i] = '_';
  }
  return out;
}

void feed_terminal(const std::string& text) {
  const std::string path = fuzz::write_file("TERMINAL", reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  fuzz::require(std::freopen(path.c_str(), "r", stdin) != nullptr, "standard input can be redirected");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::require(chdir(fuzz::work_folder().c_str()) == 0, "the work folder can be entered");
  // The prompts and echoes are of no interest here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input = confine_names(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::size_t split = input.find("\n@@@\n");
  if (split != std::string::npos) {
    const std::string macro = input.substr(split + 5);
    fuzz::write_file("MAC", reinterpret_cast<const std::uint8_t*>(macro.data()), macro.size());
    input.resize(split + 1);
  }
  int lines = 0;
  for (char c : input) lines += c == '\n';
  if (!input.empty() && input.back() != '\n') {
    input += '\n';
    ++lines;
  }
  feed_terminal(input + padding());

  const int questions = std::min(lines, kMaxQuestions);
  for (int q = 0; q < questions; ++q) {
    switch (q % 8) {
      case 0:
      case 7: {
        std::string line(q % 8 == 0 ? 80 : 255, '#');
        vesk::ASKLINE("Question|with a second line`", line);
        fuzz::require(line.size() == (q % 8 == 0 ? 80u : 255u), "ASKLINE keeps the answer's length");
        fuzz::require(line.find('\t') == std::string::npos, "ASKLINE turns tabs into blanks");
        fuzz::require(line.find('!') == std::string::npos, "ASKLINE blanks comments");
        break;
      }
      case 1:
      case 2:
      case 5: {
        float value = 2.5f;
        vesk::ASKREAL("Number", q % 8 == 1 ? 0 : 1, value);
        break;
      }
      default: {
        std::string word(q % 8 == 3 ? 1 : (q % 8 == 4 ? 8 : 40), '#');
        const std::size_t length = word.size();
        vesk::ASKCHAR("Word", q % 8 == 4 ? 0 : 1, word);
        fuzz::require(word.size() == length, "ASKCHAR keeps the answer's length");
        break;
      }
    }
  }

  // Back to a known state for the next input: any replay ends, a recording
  // is closed by "@Q", and a fresh blank answer line is read.
  for (int unit = 30; unit < 40; ++unit) recio::close(unit);
  feed_terminal("@Q\n\n" + padding());
  std::string word(8, ' ');
  vesk::ASKCHAR("Reset", 0, word);
  fuzz::clear_folder();
  return 0;
}
