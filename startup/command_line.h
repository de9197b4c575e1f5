// The file a start-up command runs, as Windows would find it: the machine's
// environment variables expanded, quotes honoured, an unquoted path with
// spaces taken as the longest prefix that is a file, a bare name looked up
// in the system folders, the NT forms of driver paths ("\SystemRoot\",
// "\??\", "System32\drivers\...") made Windows paths, and the hosts that run
// another file (rundll32, regsvr32, cmd /c, powershell -File, wscript,
// cscript, mshta) looked through to that file. Pure text work apart from the
// existence callback; thread-safe.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tolvane {

struct ResolvedCommand {
    std::string file;         // Windows path of the file that runs, "" when none
    bool scriptHost = false;  // run through a command or script interpreter
};

// expand: the machine's ExpandEnvironmentStrings; exists: whether a Windows
// path names a file of the machine; systemRoot: e.g. "C:\windows".
ResolvedCommand ResolveCommand(std::string_view command,
                               const std::function<std::string(std::string_view)>& expand,
                               const std::function<bool(const std::string&)>& exists,
                               const std::string& systemRoot);

// The text with its ASCII letters in lower case: how the start-up lists
// compare names and paths.
std::string LowerAscii(std::string_view text);

// Windows' own limit for a command line, in characters.
inline constexpr size_t kCommandLineLimit = 32767;

}  // namespace tolvane
