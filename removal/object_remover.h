// ObjectRemover: the per-type removal operations of detected objects and the
// state one removal run gathers (the files the machine refused, the hijacked
// browser settings met). Its owner clears the browser-settings count when the
// scan results are cleared.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/object_type.h"

namespace tolvane {

class Machine;

class ObjectRemover {
  public:
    explicit ObjectRemover(Machine& machine);

    // Dispatches on the ObjectType number (1 file, 2 folder, 3 registry key,
    // 4 registry value, 6 hosts entry); other types are ignored (false).
    bool RemoveObject(ObjectType type, std::string_view text);

    // Ends the running programs of an .exe first, unregisters a .dll or
    // .ocx with "regsvr32.exe /u /s" (run through Wine when it is installed)
    // and waits for it, clears the read-only attribute and deletes. The wait
    // is needed here: regsvr32 must find the file, and while its Wine runs
    // the prefix's wineserver owns the registry, refusing the removal's
    // later registry changes and overwriting them when it ends. A refusal
    // with ERROR_ACCESS_DENIED (read-only folder, file in use) appends the
    // path to FailedDeletions (once); other failures are silent.
    bool RemoveFile(std::string_view path);
    // Deletes the folder's files (as RemoveFile does) and subfolders, deepest
    // first, then the folder (FileSystem::DeleteTree). Stops in a folder at
    // its first file that could not be deleted; a missing path or a file
    // path counts as success. A linked folder (the folder itself or one
    // inside it) goes as a link, its target untouched.
    bool RemoveFolder(std::string_view path);
    // Deletes the key tree under HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,
    // HKEY_LOCAL_MACHINE and HKEY_USERS, in this order, wherever it exists.
    bool RemoveRegistryKey(std::string_view keyPath);
    // "key\name": deletes the value under the four roots. "key\name:@:data"
    // (recognised by its data): when the browser reset writes that value
    // (IsBrowserSetting), nothing is deleted and BrowserSettingsHits grows;
    // any other such value is deleted under each root where its data still
    // contains the pattern (an autostart entry is no setting to reset).
    bool RemoveRegistryValue(std::string_view text);
    // A value text recognised by its data whose value the browser reset
    // writes back (start and search pages, URL prefixes).
    static bool IsBrowserSetting(std::string_view text);
    // Rewrites every hosts file without the lines containing the entry text
    // (case-sensitive), each kept line ending in CR LF, through a temporary
    // file renamed over the original. True when a line was removed.
    bool RemoveHostsEntry(std::string_view entry);

    // Whether the object is still on the machine, so that removal counts
    // only what is really gone: the file or folder exists; the key exists
    // under one of the four roots; the value exists under one of them (one
    // recognised by its data: with data that still contains the pattern); a
    // line of a hosts file still contains the entry. Other types: false.
    bool ObjectPresent(ObjectType type, std::string_view text);

    const std::vector<std::string>& FailedDeletions() const { return failedDeletions_; }
    void ClearFailedDeletions() {
        failedDeletions_.clear();
        outsideMachine_.clear();
    }
    // The components whose regsvr32 was not started because the program
    // runs as root (their files are deleted all the same).
    const std::vector<std::string>& UnregistrationsRefused() const {
        return unregistrationsRefused_;
    }
    void ClearUnregistrationsRefused() { unregistrationsRefused_.clear(); }
    // The executables whose programs were still running after the wait for
    // them to end (their files are then usually in use).
    const std::vector<std::string>& ProgramsNotEnded() const { return programsNotEnded_; }
    void ClearProgramsNotEnded() { programsNotEnded_.clear(); }
    // The paths this run refused to change because they lie outside the
    // machine's folder (Z:, a drive elsewhere, a link leading out): never
    // queued, reported as such.
    const std::vector<std::string>& OutsideMachine() const { return outsideMachine_; }
    int BrowserSettingsHits() const { return browserSettingsHits_; }
    void ClearBrowserSettingsHits() { browserSettingsHits_ = 0; }

    // The hosts files the hosts scan collected. Until they are set, the files
    // are found when an entry is removed (Machine::HostsFiles).
    void SetHostsFiles(std::vector<std::string> files) { hostsFiles_ = std::move(files); }

    // Called after regsvr32 was started; by default Machine::WaitUntilIdle
    // with a limit of 60 seconds (a first Wine start in a prefix sets it up,
    // which takes a while).
    void SetAfterUnregister(std::function<void()> wait) { afterUnregister_ = std::move(wait); }

  private:
    void PrepareFileRemoval(std::string_view path);
    void NoteRefusal(std::string_view path, long error);
    std::vector<std::string> HostsFiles() const;
    bool ValuePresent(std::string_view text);
    Machine& machine_;
    std::vector<std::string> failedDeletions_;
    std::vector<std::string> unregistrationsRefused_;
    std::vector<std::string> programsNotEnded_;
    std::vector<std::string> outsideMachine_;
    int browserSettingsHits_ = 0;
    std::optional<std::vector<std::string>> hostsFiles_;
    // Ends the running programs of an executable before its file is
    // deleted; true when one was found. Only the programs run from that very
    // file end (KillProcessesRunning): a program elsewhere that merely shares
    // the name (a system program a threat named itself after) is left alone,
    // since ending it frees nothing.
    std::function<bool(std::string_view path)> killer_;
    std::function<void()> afterUnregister_;
};

// How ObjectRemover ends programs, over the machine's process table: ends every
// program whose executable is the file at path (its started path or first
// mapped module, without regard to case; a program started by its bare name
// matches that name) and waits up to kEndedProgramsWait for them to be gone.
// stillRunning, when given: how many had not ended by then.
bool KillProcessesRunning(Machine& machine, std::string_view path, int* stillRunning = nullptr);

}  // namespace tolvane
