// The fatal I/O report and small text utilities shared by every program.
#pragma once
#include <string>
#include <string_view>

namespace vesk {

// " FORTRAN error number" status " on unit" unit, then a stop without text
// and exit status 1 (vesk::Stop).
[[noreturn]] void IOFAIL(int status, int unit);
void UPCASE(std::string& text);
// First unconnected unit at or above `unit` (11 when below 11 or above 90).
void FREEUNIT(int& unit);
// Next token delimited by blanks, tabs or commas; `position` counts from 1.
// `token` is a fixed-length field: its size stays as the caller made it.
void NEXTTOKEN(std::string_view text, int& position, std::string& token, int& token_length);
// The variable's value into the fixed-length `value`; its length when not blank, else 0.
int ENVLEN(std::string_view name, std::string& value);

}  // namespace vesk
