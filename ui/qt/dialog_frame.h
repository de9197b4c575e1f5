// The frame every dialog of the desktop window is built in: the dialog
// itself (named for tests, with the window's look, standing over whichever
// dialog opened it), its OK/Cancel row and the settings windows' margins.
// A dialog lives only inside the call that shows it.
#pragma once

#include <QFont>
#include <QString>

class QDialog;
class QDialogButtonBox;
class QVBoxLayout;
class QWidget;

namespace tolvane {

// The settings windows' outer layout: roomy margins.
QVBoxLayout* SettingsLayout(QDialog* dialog);

// A dialog opened from another one (Scan Settings from General Settings,
// the folder chooser from either) stands over that one, not beside it over
// the main window.
QWidget* DialogOwner(QWidget* mainWindow);

// A new modal dialog over DialogOwner(parent), objectName name; the caller owns it.
QDialog* MakeDialog(QWidget* parent, const QString& name, const QString& title);

// OK (and Cancel) accepting (rejecting) the dialog.
QDialogButtonBox* OkCancel(QDialog* dialog, bool withCancel = true);

// Arial at points, or at the widget's own size when that is larger.
QFont ArialFont(const QWidget* like, double points = 9);

}  // namespace tolvane
