// The "Tolvane Update" window (objectName "Update"): a status line and one
// push button over the UpdateWindow model, whose notifications come from
// the update library as queued calls into the user-interface thread.
#pragma once

#include <QObject>

class QWidget;

namespace tolvane {

class UpdateClient;

// Shows the window modally; returns when it has closed. receiver lives on
// the user-interface thread (the library's notifications are queued to it).
void RunUpdateDialog(UpdateClient& client, QObject* receiver, QWidget* parent);

}  // namespace tolvane
