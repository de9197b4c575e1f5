// The "General Settings" window (objectName "GeneralSettings") over its
// model: its boxes and choices act on the model as they are clicked.
#pragma once

class QWidget;

namespace tolvane {

class GeneralSettingsWindow;

// Shows the window modally; true for OK (the caller then applies it).
bool RunGeneralSettingsDialog(QWidget* parent, GeneralSettingsWindow& window);

}  // namespace tolvane
