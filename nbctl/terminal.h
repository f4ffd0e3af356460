// nbctl's console: its own output stream, kept apart from the standard output the driver
// client library writes its diagnostics to, and password input without echo.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace nb::nbctl {

// Moves the process's standard output aside: what nbctl prints goes to the returned
// stream (the original standard output), while file descriptor 1 - where the libraries
// print their per-call diagnostics - goes to standard error when `verbose`, else nowhere.
FILE* TakeStandardOutput(bool verbose);

// Reads one line: from standard input when `fromStdin`, else from the terminal with the
// prompt on standard error and echo off. Nullopt when there is no terminal or input ends
// before a line. The line end is not part of the result.
std::optional<std::string> ReadSecret(const std::string& prompt, bool fromStdin);

// Reads one line from the terminal with echo (a name); nullopt without a terminal.
std::optional<std::string> ReadLine(const std::string& prompt);

}  // namespace nb::nbctl
