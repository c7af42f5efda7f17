#include "lsq/form_factors.hpp"

#include <cctype>

#include <gemmi/elem.hpp>
#include <gemmi/it92.hpp>

#include "recio/error.hpp"

namespace lsq {

ScatteringFactor it92_form_factor(const std::string& symbol) {
  std::string letters;
  for (char ch : symbol) {
    if (!std::isalpha(static_cast<unsigned char>(ch)) || letters.size() == 2) break;
    letters += ch;
  }
  gemmi::El element = gemmi::find_element(letters.c_str());
  if (element == gemmi::El::X || !gemmi::IT92<double>::has(element))
    throw vesk::Error("no X-ray form factor is known for the element " + symbol);
  const auto& coef = gemmi::IT92<double>::get(element);
  ScatteringFactor f;
  f.symbol = symbol;
  for (int i = 0; i < 4; ++i) {
    f.a[i] = coef.a(i);
    f.b[i] = coef.b(i);
  }
  f.c = coef.c();
  return f;
}

}  // namespace lsq
