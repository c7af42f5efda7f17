// Listing pages: header line, line reservation and the framed banner.
#pragma once
#include <string>
#include <string_view>

namespace vesk {

void set_page_title(std::string_view title);    // 66 characters
void PAGEHEAD(int unit);
// Reserves n lines (n may be negative); returns 1 when a new page was started.
int LINECHK(int unit, int n);
void set_line_count(int unit, int count);
int line_count(int unit);
int page_number(int unit);
int page_length();                              // 0 until BANNER sets it
void set_page_length(int length);
// Back to the state at program start (blank title, name and version, no pages).
void reset_page_state();
void BANNER(int unit, std::string_view name, std::string_view description);
void PROGVERSION(std::string& text);            // "Win32 6.0" cut or padded to the field
std::string PROGDATE();                         // 24 characters
std::string NOWDATE();                          // 20 characters
// The invocation name used by PROGDATE to find the executable.
void set_program_path(std::string_view argv0);

}  // namespace vesk
