// The "Start-up Entries" window (objectName "StartupEntries"): the
// machine's start-up entries with check boxes under the columns Location,
// Name, Command, File and Flags ("entries"), the check box "Hide Windows and
// Wine entries" ("hideOwn", on at first), the model's status line
// ("status") and its notes ("notes"), Details... ("details", also a double
// click on a row) opening "Start-up Entry Details" ("StartupEntryDetails"),
// and Close. The rows follow the model when its listing, run on its worker,
// ends. Remove and Disable are shown greyed until the removal of start-up
// entries is connected.
#pragma once

class QWidget;

namespace tolvane {

class StartupEntriesWindow;

void RunStartupEntriesDialog(QWidget* parent, StartupEntriesWindow& window);

}  // namespace tolvane
