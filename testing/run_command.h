// Test support: running a program through the shell and reading what it
// printed, for tests of the command-line tools and of Wine.
#pragma once

#include <string>

namespace tolvane::testing {

// Runs a shell command line; returns its exit status (-1 when it did not
// exit normally) and, when out is given, everything it wrote to standard
// output. Redirect standard error in the command line to capture or drop it.
int RunCommand(const std::string& commandLine, std::string* out = nullptr);

// One word quoted for the shell, whatever characters it holds.
std::string ShellQuote(const std::string& word);

}  // namespace tolvane::testing
