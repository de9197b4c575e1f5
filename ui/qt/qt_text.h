// Text between the logic (8-bit text in the Windows code page 1252) and Qt
// (Unicode).
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "base/codepage.h"

namespace tolvane {

inline QString ToQt(std::string_view text) {
    return QString::fromStdString(Cp1252ToUtf8(text));
}
inline std::string FromQt(const QString& text) {
    return Utf8ToCp1252(text.toStdString());
}

}  // namespace tolvane
