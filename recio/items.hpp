// Typed item lists for formatted reads and writes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace recio {

// A value written through an edit-descriptor format. A text item only views
// its characters: keep the text alive until the write is done (temporaries in
// the braced list of one write call are fine).
struct OutItem {
  enum class Kind { Integer, Real, Text };
  Kind kind;
  long long integer = 0;
  double real = 0;
  std::string_view text;

  OutItem(int v) : kind(Kind::Integer), integer(v) {}
  OutItem(short v) : kind(Kind::Integer), integer(v) {}
  OutItem(long v) : kind(Kind::Integer), integer(v) {}
  OutItem(long long v) : kind(Kind::Integer), integer(v) {}
  OutItem(unsigned v) : kind(Kind::Integer), integer(v) {}
  OutItem(unsigned long v) : kind(Kind::Integer), integer(static_cast<long long>(v)) {}
  // Reals keep the precision they come in: a float is printed from its own
  // binary value, as a 32-bit REAL would be.
  OutItem(float v) : kind(Kind::Real), real(v), is_float(true) {}
  OutItem(double v) : kind(Kind::Real), real(v) {}
  OutItem(const char* v) : kind(Kind::Text), text(v) {}
  OutItem(const std::string& v) : kind(Kind::Text), text(v) {}
  OutItem(std::string_view v) : kind(Kind::Text), text(v) {}
  // A single character would otherwise print as its code; pass a text instead.
  OutItem(char) = delete;

  bool is_float = false;
};

// A variable filled by a formatted read. A text target is a fixed-length
// field: the string's current size is its length, and it keeps that size.
struct InItem {
  enum class Kind { Int32, Int16, Real32, Text };
  Kind kind;
  void* target;

  InItem(int& v) : kind(Kind::Int32), target(&v) {}
  InItem(short& v) : kind(Kind::Int16), target(&v) {}
  InItem(float& v) : kind(Kind::Real32), target(&v) {}
  InItem(std::string& v) : kind(Kind::Text), target(&v) {}
};

}  // namespace recio
