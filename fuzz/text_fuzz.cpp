// STRREAL, TOKREAL and NEXTTOKEN on arbitrary text. The first byte chooses
// the implied decimals; the rest is the text, handed over in a buffer of
// exactly its length so that a read past the n characters is caught.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "console/free_number.hpp"
#include "console/text_utils.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int implied = data[0] % 10;
  const std::size_t n = size - 1;
  auto copy = std::make_unique<char[]>(n + 1);
  for (std::size_t i = 0; i < n; ++i) copy[i] = static_cast<char>(data[i + 1]);
  const std::string_view text(copy.get(), n);

  // STRREAL over the whole text, then over what follows the number, as the
  // answer readers walk a line.
  int start = 1;
  for (int pass = 0; pass < 4 && start <= static_cast<int>(n); ++pass) {
    const int before = start;
    int error = -1;
    const int count = static_cast<int>(n) - start + 1;
    const float value = vesk::STRREAL(text, start, count, implied, 7.5f, error);
    fuzz::require(error == 0 || error == 1, "STRREAL sets error to 0 or 1");
    fuzz::require(start >= before && start <= static_cast<int>(n) + 1,
                  "STRREAL advances start within the n characters");
    if (error == 0 && start == before) fuzz::require(value == 7.5f, "a number of no characters is the default");
    (void)value;
    if (start == before) ++start;
  }

  int error = -1;
  (void)vesk::TOKREAL(text, static_cast<int>(n), error);
  fuzz::require(error == 0 || error == 1, "TOKREAL sets error to 0 or 1");

  // NEXTTOKEN into a short and into a line-sized field: the field keeps its
  // size, positions only move forward and the walk ends.
  for (std::size_t field : {std::size_t{8}, std::size_t{255}}) {
    std::string token(field, 'x');
    int position = 1;
    int length = -1;
    for (std::size_t step = 0; step <= n + 1; ++step) {
      const int before = position;
      vesk::NEXTTOKEN(text, position, token, length);
      fuzz::require(token.size() == field, "NEXTTOKEN keeps the token's length");
      fuzz::require(length >= 0 && length <= static_cast<int>(n), "token length within the text");
      if (position > static_cast<int>(n)) break;
      fuzz::require(position > before, "NEXTTOKEN moves forward");
    }
    fuzz::require(position > static_cast<int>(n) || n == 0, "NEXTTOKEN walks to the end of the text");
  }
  return 0;
}
