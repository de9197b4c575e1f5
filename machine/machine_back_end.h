// What differs between the kinds of machine, answered by the back-end that
// opened it (machine/wine/wine_prefix.h, machine/windows/windows_installation.h),
// so that nothing above the machine asks which kind it has.
//
// Threads: the answers may be asked from any thread; each reads the host
// afresh and keeps no state of its own, except IsPlatformFile, which keeps
// what it learnt of the platform's files (safely shared between threads).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

class ProcessTable;

class MachineBackEnd {
  public:
    virtual ~MachineBackEnd() = default;
    // Why no change (removal, restore) may be made now, with what the user
    // can do about it; "" while changes may be made.
    virtual std::string ChangesRefusal() const = 0;
    // Whether the machine runs programs at all. One that does not has an
    // empty process table and starts none of its programs.
    virtual bool RunsPrograms() const = 0;
    // True while the machine's own system is still at work (finishing what a
    // program started for it began), seen in its process table.
    virtual bool Busy(ProcessTable& processes) const = 0;
    // Which machine this is, said in the scan's output and on the window's
    // status line; "" when its folder says enough.
    virtual std::string Description() const = 0;
    // Whether Tolvane keeps its own settings, logs and databases inside the
    // machine. A machine that is evidence keeps them on the host instead.
    virtual bool KeepsToolStateInside() const = 0;
    // Whether what logs on starts the Run entries and Startup folder items
    // as Explorer's StartupApproved values allow (Windows), or all of them
    // whatever those values say (Wine's wineboot).
    virtual bool HonoursStartupApproval() const = 0;
    // Whether a file of the machine named name (a base name) of size bytes
    // with this SHA-256 (hex) is, byte for byte, one that the machine's own
    // platform installed (a Wine prefix: its runner's files): never a threat.
    virtual bool IsPlatformFile(std::string_view name, uint64_t size,
                                std::string_view sha256Hex) const = 0;
};

}  // namespace tolvane
