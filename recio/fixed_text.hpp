// Fixed-length text fields: blank-padded on the right, compared as if the
// shorter one were padded, positions counted from 1 where a caller says so.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace recio {

// `text` cut or blank-padded to exactly n characters.
std::string pad(std::string_view text, std::size_t n);

// `text` without its trailing blanks.
std::string_view trim_right(std::string_view text);

// `text` in upper case (ASCII letters; other bytes as they are).
std::string upper_case(std::string_view text);

// The two texts equal but for the case of ASCII letters ("Cl", "CL", "cl").
bool equal_ignoring_case(std::string_view a, std::string_view b);

// Comparison of two texts as blank-padded fields (by character code).
int compare_padded(std::string_view a, std::string_view b);
inline bool equal_padded(std::string_view a, std::string_view b) { return compare_padded(a, b) == 0; }

// Position (from 1) of the first occurrence of `needle` in `text`, 0 when absent.
std::size_t index_of(std::string_view text, std::string_view needle);

// Length without trailing blanks, at least `minimum`.
std::size_t trimmed_length(std::string_view text, std::size_t minimum = 0);

}  // namespace recio
