// One output record built field by field by the rules of the edit
// descriptors (edit_output.hpp), for lines written so often that building a
// format text for each and a string for each field would cost more than the
// numbers themselves. The calls stand for the edits of a format, in order:
//   line.a(label, 8).blanks(2).f(d, 10, 5).i(cell, 5)  is  (A8,2X,F10.5,I5)
// The text keeps its storage from line to line: clear() and build again.
// text.view() is the record.
#pragma once
#include <string_view>

#include "recio/char_buffer.hpp"

namespace recio {

struct LineBuilder {
  CharBuffer text;

  void clear() { text.clear(); }
  // nX; a count of 0 or below writes nothing.
  LineBuilder& blanks(int count);
  // A quoted text, or a text through a bare A.
  LineBuilder& literal(std::string_view characters);
  LineBuilder& a(std::string_view characters, int width);
  LineBuilder& i(long long value, int width);
  // A float keeps its own binary value, as OutItem does.
  LineBuilder& f(double value, int width, int decimals);
};

// One builder for the hot records of a program, cleared, keeping its
// storage from record to record: each caller builds one record in it and
// writes it out before anything else asks for it.
LineBuilder& scratch_line();

}  // namespace recio
