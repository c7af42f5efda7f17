#include "console/text_utils.hpp"

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace vesk {

void IOFAIL(int status, int unit) {
  recio::write(recio::kTerminalOut, "(A,I4,A,I3)", {" FORTRAN error number", status, " on unit", unit});
  // No stop text, but a failure: the exit status must not claim success.
  throw Stop{};
}

void UPCASE(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void FREEUNIT(int& unit) {
  if (unit < 11 || unit > 90) unit = 11;
  while (recio::connected(unit)) ++unit;
}

namespace {
bool is_blank_or_tab(char c) { return c == ' ' || c == '\t'; }
bool is_delimiter(char c) { return c == ' ' || c == '\t' || c == ','; }
}  // namespace

void NEXTTOKEN(std::string_view text, int& position, std::string& token, int& token_length) {
  const int last = static_cast<int>(text.size());
  token.assign(token.size(), ' ');
  token_length = 0;
  if (position < 1) position = 1;
  if (position > last) return;  // nothing left: a blank token of length 0

  // Positions count from 1; text[p - 1] is the character at position p.
  int p = position;
  while (p < last && is_blank_or_tab(text[p - 1])) ++p;
  const int start = p;
  while (p < last && !is_delimiter(text[p - 1])) ++p;

  // The token keeps the delimiter that stopped the scan (or the text's last
  // character), but its length does not count it.
  std::string_view piece = text.substr(start - 1, p - start + 1);
  for (std::size_t i = 0; i < piece.size() && i < token.size(); ++i) token[i] = piece[i];
  token_length = p - start;
  position = p + 1;
}

int ENVLEN(std::string_view name, std::string& value) {
  const std::string variable(recio::trim_right(name));
  const char* found = std::getenv(variable.c_str());
  value = recio::pad(found ? std::string_view(found) : std::string_view(), value.size());
  return recio::trim_right(value).empty() ? 0 : static_cast<int>(value.size());
}

}  // namespace vesk
