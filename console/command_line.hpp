// The command-line words every program answers alike: -h/--help prints the
// usage, --version the version, and any other option, or an argument the
// program does not take, is refused with a message and exit status 1.
#pragma once
#include <string_view>

namespace vesk {

// "-x" or "--xyz"; a lone "-" is not an option.
bool is_option(std::string_view word);

// Answers -h, --help and --version on standard output and returns 0; refuses
// any other word on the error stream, naming it and showing the usage, and
// returns 1. The caller ends the program with the status returned.
int answer_or_refuse(std::string_view program, std::string_view usage, std::string_view word);

}  // namespace vesk
