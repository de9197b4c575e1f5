// The command line as the Windows program had it, and its two switches.
//
// The switches are found by a plain substring search of that line ("-s"
// first, so a line holding both acts as -s). Our own long options and their
// values (--machine PATH, --save-as FILE, ...) and the commands of the
// headless front end were never part of the Windows line, so they are left
// out: a prefix path holding "-s" starts no scan.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace tolvane {

enum class StartSwitch { None, StartUpScan, StartUpDeletions };

// The switch a command line asks for.
StartSwitch FindStartSwitch(const std::string& windowsCommandLine);

// "\"C:\Program Files\Tolvane\Tolvane.exe\"" followed by each argument that
// is not a long option ("--x", "--x=v") or the value of one named in
// optionsWithValue, joined by blanks.
std::string WindowsCommandLine(const std::vector<std::string>& arguments,
                               const std::set<std::string>& optionsWithValue);

}  // namespace tolvane
