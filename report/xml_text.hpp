// Text for an XML document in UTF-8 (the drawings): only the characters
// XML 1.0 allows (section 2.2), markup characters escaped. Labels come
// from experiment files in any encoding, so a byte that is not UTF-8 is
// read as ISO 8859-1 and written as a character reference (é as &#xE9;);
// a control character, which XML cannot carry at all, becomes "?".
#pragma once
#include <string>

namespace vesk {

std::string xml_text(const std::string& text);

}  // namespace vesk
