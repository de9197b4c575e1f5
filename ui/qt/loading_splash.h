// The loading splash shown while the definitions load: the program's name
// on a blue band over one status line (objectName "Loading", its line
// "status"). Frameless and not modal; whoever makes it deletes it.
#pragma once

class QLabel;
class QWidget;

namespace tolvane {

// A new splash, not yet shown; *status is its status line.
QWidget* MakeLoadingSplash(QLabel** status);

}  // namespace tolvane
