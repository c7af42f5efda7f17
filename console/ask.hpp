// Console questions with macro recording and replay, and the answer tokens
// taken from one answer line.
#pragma once
#include <string>
#include <string_view>

namespace vesk {

// `answer` is a fixed-length field (its size is kept).
void ASKLINE(std::string_view prompt, std::string& answer);
// mode 0: always ask; mode 1: take the next value of the current line.
void ASKCHAR(std::string_view prompt, int mode, std::string& answer);
void ASKREAL(std::string_view prompt, int mode, float& value);

}  // namespace vesk
