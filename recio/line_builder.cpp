#include "recio/line_builder.hpp"

#include "recio/edit_output.hpp"

namespace recio {

namespace {
// Room for a field of `width` at the end of the text.
char* grow(CharBuffer& text, int width) { return text.grow(static_cast<std::size_t>(width)); }
}  // namespace

LineBuilder& LineBuilder::blanks(int count) {
  if (count > 0) text.append(static_cast<std::size_t>(count), ' ');
  return *this;
}

LineBuilder& LineBuilder::literal(std::string_view characters) {
  text.append(characters);
  return *this;
}

LineBuilder& LineBuilder::a(std::string_view characters, int width) {
  put_text(grow(text, width), characters, width);
  return *this;
}

LineBuilder& LineBuilder::i(long long value, int width) {
  put_integer(grow(text, width), value, width);
  return *this;
}

LineBuilder& LineBuilder::f(double value, int width, int decimals) {
  put_fixed(grow(text, width), value, width, decimals);
  return *this;
}

LineBuilder& scratch_line() {
  static LineBuilder line;
  line.clear();
  return line;
}

}  // namespace recio
