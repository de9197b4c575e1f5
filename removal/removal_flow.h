// The removal run of the main window's "Remove", "Remove &Selected" and
// "Remove &All " commands (and of RemoveAfterScan), and the start-up
// deletions of a start with -b.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tolvane {

class Machine;
class SettingsStore;
class ObjectRemover;
class ObjectRows;
class RemovalView;

// Texts of the run's questions and messages.
namespace removal_text {
inline constexpr const char* kBackupQuestion =
    "We recommend creating a backup of all items being removed so\nthat you will be able to "
    "restore your previous settings in\ncase of a problem.\n\nClick Yes to backup the checked "
    "items.\nClick No to remove the checked items without making a backup.";
inline constexpr const char* kBackupCaption = "Backup selected items?";
inline constexpr const char* kNoBackupMade =
    "No backup was made. If you continue, the checked items will be removed without a backup.";
inline constexpr const char* kNothingSelected = "No objects selected for removal. Continue?";
inline constexpr const char* kConfirmFormat = "%d objects selected will be removed. Continue?";
inline constexpr const char* kDeletedFormat = "%d Objects deleted successfully.";
// regsvr32 runs code of the machine's own DLLs: never with root's rights.
inline constexpr const char* kUnregisterRefusedFormat =
    "regsvr32 was not run for %d components: Tolvane runs as root and never starts a program "
    "of the machine with root's rights. Their files were deleted all the same.";
// Before the counts, when programs the removal ended were still running after
// the wait (one executable per line follows).
inline constexpr const char* kProgramsNotEndedPrefix =
    "These programs were still running after Tolvane ended them:\r\n";
// After kDeletedFormat, when objects are still on the machine (their rows
// stay listed, unchecked).
inline constexpr const char* kNotRemovedFormat =
    "%d objects could not be removed. They are still listed.";
// After kDeletedFormat, when the user declined the browser reset: the
// browser settings it would have written back stay as they are (and listed).
inline constexpr const char* kKeptResetDeclinedFormat =
    "%d browser settings were kept because the reset of the browser settings was declined. They "
    "are still listed.";
inline constexpr const char* kUnableTitle = "Unable to remove items";
// Items a removal refused because they lie outside the machine's folder.
inline constexpr const char* kOutsideMachine =
    "These items lie outside the machine and were not changed:\r\n";
inline constexpr const char* kUnablePrompt =
    "The following items were unable to remove. They may be in use by other system processes. "
    "Do you want to remove them on next reboot?";
inline constexpr const char* kStartUpDeleted =
    "Spyware items which remained in the previous scan have now been deleted.";
// After kStartUpDeleted (or alone), followed by one line per item and its
// reason.
inline constexpr const char* kStartUpKeptFormat =
    "%d queued items could not be deleted at start-up and stay queued:\r\n";
}  // namespace removal_text

class RemovalFlow {
  public:
    RemovalFlow(Machine& machine, SettingsStore& settings, ObjectRemover& remover,
                RemovalView& view);

    // The backup command the run offers before removing (the main window's
    // MarkCheckedForBackup). Without one, Yes to the backup question saves
    // nothing.
    // It returns whether an archive was written; when the user asked for a
    // backup and none was made (cancelled, failed), kNoBackupMade is shown
    // before the confirmation, where the user can still stop.
    void SetBackupCommand(std::function<bool()> backup) { backup_ = std::move(backup); }

    // RunRemoval: refuses while the machine refuses changes (its wineserver
    // runs: Machine::ChangesRefusal, shown with the caption "Error", and
    // nothing at all is changed rather than half a threat), warns
    // when Internet Explorer runs, offers the backup,
    // confirms, removes the objects of every row (removeAll) or of the
    // checked rows in list order, resets the browser settings when hijacked
    // values were met, offers to queue the files the machine refused for the
    // next start, and reports the count. Only objects checked to be gone
    // afterwards count and lose their rows; the rows of objects still there
    // stay, unchecked, and a second message gives their number. True when
    // the removal ran.
    bool RunRemoval(ObjectRows& rows, bool removeAll);

    // The work of a -b start: deletes the queued files. kStartUpDeleted is
    // shown only when a file was deleted; files the machine kept stay
    // queued and a second message gives their number, names and reasons.
    // Entries whose file is gone already leave the queue. The caller then
    // ends the program.
    void ProcessStartUpDeletions();

  private:
    struct RemovalCounts {
        size_t gone = 0;          // objects checked to be off the machine
        size_t present = 0;       // objects still there after their removal
        size_t keptByChoice = 0;  // browser settings kept: the user declined the reset
    };

    // The refusal, the browser warning and the backup offer; false when the
    // run stops before anything is asked of the rows.
    bool AskToGoAhead();
    // Removes the objects of the selected rows, resets the browser settings
    // when needed, drops the rows of what is gone and unchecks the others.
    RemovalCounts RemoveSelected(ObjectRows& rows, bool removeAll, size_t count);
    // Offers to queue the refused files for the next start and lists what
    // lay outside the machine.
    void OfferLeftovers();
    void ReportCounts(const RemovalCounts& counts);

    Machine& machine_;
    SettingsStore& settings_;
    ObjectRemover& remover_;
    RemovalView& view_;
    std::function<bool()> backup_;
};

}  // namespace tolvane
