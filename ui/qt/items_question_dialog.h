// The question with a read-only list of items under its prompt, OK and
// Cancel (objectName "ItemsQuestion"; "Unable to remove items").
#pragma once

#include <string_view>

class QWidget;

namespace tolvane {

// items: one per line, each ending in CR LF. True for OK.
bool RunItemsQuestionDialog(QWidget* parent, std::string_view title, std::string_view prompt,
                            std::string_view items);

}  // namespace tolvane
