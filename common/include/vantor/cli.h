// Command-line conventions shared by the suite's programs: --help and --version, and the one form
// of a usage error (what was wrong, then where to read how it is done).
#pragma once

#include <cstdio>
#include <string>

namespace vantor::cli {

// The suite's version, as the project declares it ("1.0.2").
const char* Version();

// "<program> (Vantor suite) <version>" on stdout.
void PrintVersion(const char* program);

// Looks for --help (or -h) and --version among the arguments. When one is there, prints the help
// text (to stdout) or the version and returns true; the caller then exits with status 0. An
// argument after "--" is an operand, never an option.
bool HandleStandardOptions(int argc, char** argv, const char* program, const char* help);

// Reports a command-line mistake on stderr as "<program>: <what>" followed by
// "Try '<program> --help' for more information." and returns status, for `return UsageError(...)`.
int UsageError(const char* program, const std::string& what, int status);

}  // namespace vantor::cli
