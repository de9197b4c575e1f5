// The native functions that advanced-scan scripts call to read and change
// the machine: files and folders, processes, the registry and browser helper
// objects. This is the engine binding only: arguments and results are
// converted here, the work is done by script_machine.h. The script host defines
// NativeFunctionTable() on its global object and points the engine context's private data at a
// NativeEnvironment.
//
// Value conventions: a string argument must be a string value (numbers,
// objects, null and undefined are rejected, not converted); a rejected call
// ends the whole script silently, with no exception a script could catch.
// Strings cross as code page 1252 text, cut at their first zero character.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "script/script_machine.h"

struct JSFunctionSpec;

namespace tolvane {

class Machine;
class Prompter;

// The caption of the boxes `doit` shows.
inline constexpr const char* kScriptApplicationName = "Tolvane";

struct NativeEnvironment {
    Machine* machine = nullptr;
    Prompter* prompter = nullptr;
    // Called with true before a message box waits for the user and with false
    // after it, so the time spent waiting does not count against a script.
    std::function<void(bool waiting)> userWait;
    // True once the running script is to be stopped (its time or memory is
    // up): long walks inside a native function end early then.
    std::function<bool()> stopRequested;
    // The script host's own data, for its engine callbacks.
    void* host = nullptr;
    // What KillProcess asked to end that was still running after its wait.
    std::vector<std::string> programsNotEnded;
};

// The table handed to JS_DefineFunctions, ending with an empty entry.
const JSFunctionSpec* NativeFunctionTable();
// The names in table order, with their declared argument counts (tests, tools).
struct NativeFunctionInfo {
    std::string name;
    unsigned args;
};
std::vector<NativeFunctionInfo> NativeFunctionList();

}  // namespace tolvane
