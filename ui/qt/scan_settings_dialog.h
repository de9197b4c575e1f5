// The "Scan Settings" window (objectName "ScanSettings") over its model:
// the Custom Scan boxes act on the model as they are toggled.
#pragma once

class QWidget;

namespace tolvane {

class ScanSettingsWindow;

// Shows the window modally; true for OK (the caller then applies it).
bool RunScanSettingsDialog(QWidget* parent, ScanSettingsWindow& window);

}  // namespace tolvane
