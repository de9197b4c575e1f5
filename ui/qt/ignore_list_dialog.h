// The "Ignore List" dialog (objectName "IgnoreList") over its model: the
// list with its context menu, and "Delete", which acts at once.
#pragma once

class QWidget;

namespace tolvane {

class DialogView;
class IgnoreListDialog;
class MessageBoxView;

// Shows the dialog modally. dialogs runs what the list's menu opens;
// messages says when the list could not be saved.
void RunIgnoreListDialog(QWidget* parent, IgnoreListDialog& model, DialogView& dialogs,
                         MessageBoxView& messages);

}  // namespace tolvane
