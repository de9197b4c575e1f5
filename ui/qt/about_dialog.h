// The About box (objectName "About"): the program's icon, name and version
// (the title's last word) and a link that openAddress opens.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class QWidget;

namespace tolvane {

void RunAboutDialog(QWidget* parent, std::string_view title, std::string_view address,
                    const std::function<void(const std::string& address)>& openAddress);

}  // namespace tolvane
