// ScriptHost: runs advanced-scan scripts in an embedded JavaScript engine
// (SpiderMonkey) whose global object offers the standard classes and the
// native functions of native_functions.h.
//
// StartEngine makes a fresh engine (context, 1 MiB object heap, global
// object); every script run after it shares that global object, so what one
// script defines the next can use. Script errors are silent: a compile
// error, an uncaught exception, a rejected native call or an exhausted heap
// simply end that script.
//
// Scripts come from a downloaded file, so the host also bounds what the
// engine cannot: a script that runs longer than ScriptLimits::timeLimit
// (time spent in message boxes not counted) or makes the process allocate
// more than ScriptLimits::memoryLimit beyond what it held when the script
// started is interrupted and treated as a script that stopped early; deep
// recursion ends at a native stack quota with the engine's own error.
//
// Engine mapping: JS_NewContext with the 1 MiB heap limit, the default
// global class hooks, JS::InitRealmStandardClasses and JS_DefineFunctions;
// errors are silenced by clearing the pending exception after each
// evaluation and by a null warning reporter. The engine's old interpreter
// stack chunk size has no counterpart any more; ScriptLimits::
// nativeStackBytes bounds recursion instead.
//
// One thread only: the engine is bound to the thread that started it, and a
// thread has at most one live engine. Starting an engine releases the
// previous one, also one started by another ScriptHost on that thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class Machine;
class Prompter;

inline constexpr uint32_t kScriptHeapBytes = 1048576;

struct ScriptLimits {
    std::chrono::milliseconds timeLimit{10000};
    size_t memoryLimit = size_t{128} << 20;
    size_t nativeStackBytes = size_t{512} << 10;
};

// How a script ended (for tests and diagnostics; the advanced scan does not
// look at it).
enum class ScriptOutcome {
    Completed,       // its top-level code ran to the end
    Stopped,         // compile error, uncaught exception, rejected call or full heap
    TimedOut,        // interrupted at the time limit
    MemoryExceeded,  // interrupted at the memory limit
    NoEngine,        // StartEngine was not called, failed, or was superseded
};

class ScriptHost {
  public:
    ScriptHost(Machine& machine, Prompter& prompter, ScriptLimits limits = {});
    ~ScriptHost();
    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // A fresh engine replaces the current one. False when the engine could
    // not be made (RunScript then does nothing).
    bool StartEngine();
    // Evaluates an 8-bit (code page 1252) script text up to its first zero
    // byte in the current engine.
    ScriptOutcome RunScript(std::string_view text);
    bool HasEngine() const { return engine_ != nullptr; }
    // The programs the current engine's scripts asked to end (KillProcess)
    // that were still running after the wait; empty without an engine.
    std::vector<std::string> ProgramsNotEnded() const;

    struct Engine;  // the engine's handles (script_host.cpp)

  private:
    void ReleaseEngine();

    Machine& machine_;
    Prompter& prompter_;
    ScriptLimits limits_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace tolvane
