// The "Open Machine" dialog (objectName "OpenMachine"): the machines of the
// MachineChooser model in a list (objectName "machines": folder, kind, where
// found and, for a damaged one, why; the machine open now in bold), Open
// (objectName "open") and Cancel. A click selects in the model; a double
// click opens.
#pragma once

class QWidget;

namespace tolvane {

class MachineChooser;

// Shows the dialog modally; true for Open with a row selected.
bool RunMachineChooserDialog(QWidget* parent, MachineChooser& chooser);

}  // namespace tolvane
