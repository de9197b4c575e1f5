// The folder chooser (objectName "FolderChooser"): the prompt over a tree of
// the machine's drives and folders with check boxes, read from the chooser
// model as folders are expanded and checked back into it as they are clicked.
#pragma once

#include <string_view>

class QWidget;

namespace tolvane {

class FolderChooser;

// Shows the chooser modally; true for OK.
bool RunFolderChooserDialog(QWidget* parent, FolderChooser& chooser, std::string_view title,
                            std::string_view prompt);

}  // namespace tolvane
