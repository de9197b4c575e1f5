#include "ui/qt/loading_splash.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "ui/qt/dialog_frame.h"

namespace tolvane {

QWidget* MakeLoadingSplash(QLabel** status) {
    auto* splash = new QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint);
    splash->setObjectName("Loading");
    splash->setAttribute(Qt::WA_StyledBackground);
    splash->setStyleSheet(
        "QWidget#Loading { background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #1f5fa8, "
        "stop:1 #3d8bd8); } QLabel { color: white; }");
    auto* layout = new QVBoxLayout(splash);
    layout->setContentsMargins(24, 20, 24, 16);
    auto* name = new QLabel("Tolvane", splash);
    QFont font = name->font();
    font.setPointSizeF(font.pointSizeF() * 2);
    font.setBold(true);
    name->setFont(font);
    layout->addWidget(name);
    layout->addStretch(1);
    auto* statusLine = new QLabel(splash);
    statusLine->setObjectName("status");
    statusLine->setFont(ArialFont(splash, 9));
    layout->addWidget(statusLine);
    *status = statusLine;
    const int unit = splash->fontMetrics().height();
    splash->resize(unit * 26, unit * 9);
    return splash;
}

}  // namespace tolvane
