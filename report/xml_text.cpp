#include "report/xml_text.hpp"

#include <cstdio>

namespace vesk {

namespace {

// XML 1.0's Char production, without the line ends a label never holds.
bool xml_char(char32_t c) {
  return c == 0x9 || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed UTF-8 sequence at `k` (RFC 3629: no
// overlong forms, no surrogates), 0 when there is none; `c` its code point.
std::size_t utf8_sequence(const std::string& text, std::size_t k, char32_t& c) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(k);
  std::size_t length = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (k + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(k + i) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k + i) & 0x3F);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string xml_text(const std::string& text) {
  std::string out;
  for (std::size_t k = 0; k < text.size();) {
    char32_t c = 0;
    const std::size_t length = utf8_sequence(text, k, c);
    if (length == 0) {
      // A lone byte: ISO 8859-1, where it is a printable character.
      const auto latin1 = static_cast<unsigned char>(text[k]);
      if (latin1 >= 0xA0) {
        char reference[16];
        std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(latin1));
        out += reference;
      } else {
        out += '?';
      }
      ++k;
      continue;
    }
    if (!xml_char(c) || (c >= 0x7F && c <= 0x9F)) {
      out += '?';  // control characters, which a label should not hold either
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out.append(text, k, length);
    }
    k += length;
  }
  return out;
}

}  // namespace vesk
