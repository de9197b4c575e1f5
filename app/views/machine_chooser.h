// MachineChooser: the model of the "Open Machine" dialog. It lists the
// Windows machines of this user that machine discovery found
// (discovery/machine_discovery.h, the same finder as `tolvane
// --list-machines`): one row each with the folder, its kind, where it was
// found and, for a damaged one, why. The machine open now is marked and
// selected at first. A damaged machine can still be chosen: opening it then
// says why it cannot be opened, as a start on it would. A machine that is
// listed only (FoundMachine::notOpened: another owner's, behind a planted
// link) cannot be chosen: Open refuses it with the reason, and nothing of it
// is opened or probed.
//
// Plain data; used on the user-interface thread only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "discovery/machine_discovery.h"

namespace tolvane {

inline constexpr const char* kOpenMachineTitle = "Open Machine";

struct MachineRow {
    std::string path;
    std::string kind;      // MachineKindName
    std::string foundIn;   // "$WINEPREFIX", or the file or folder that named it
    std::string damage;    // "" for a whole machine
    bool current = false;  // the machine open now
    // Why it must not be opened (FoundMachine::notOpened); "" when it may.
    std::string notOpened;
};

class MachineChooser {
  public:
    // currentPath: the folder of the machine open now (SameFolderPath).
    MachineChooser(const std::vector<FoundMachine>& machines, const std::string& currentPath);

    const std::vector<MachineRow>& rows() const { return rows_; }
    // Selects a row; nullopt (or a row past the end) selects none.
    void Select(std::optional<size_t> row);
    std::optional<size_t> selected() const { return selected_; }
    // The selected row's folder; "" when none is selected or it is refused.
    std::string ChosenPath() const;
    // Why the selected row cannot be opened ("PATH cannot be opened: owned
    // by NAME."); "" when it can or none is selected.
    std::string Refusal() const;
    // A row is selected and may be opened: the dialog's Open is enabled.
    bool CanOpen() const;

  private:
    std::vector<MachineRow> rows_;
    std::optional<size_t> selected_;
};

// True when two host paths name the same folder as written: compared after
// "." and ".." and doubled or trailing slashes are taken out (a link to a
// folder is another path; the instance lock tells those apart).
bool SameFolderPath(const std::string& a, const std::string& b);

class MachineChooserView {
  public:
    virtual ~MachineChooserView() = default;
    // Shows the rows; the user's clicks select (Select). True when closed
    // with Open (the selected row is the choice), false for Cancel.
    virtual bool RunMachineChooser(MachineChooser& chooser) = 0;
};

}  // namespace tolvane
