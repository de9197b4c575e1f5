#include "ui/qt/about_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <memory>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

void RunAboutDialog(QWidget* parent, std::string_view title, std::string_view address,
                    const std::function<void(const std::string& address)>& openAddress) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "About", ToQt(title)));
    auto* layout = new QVBoxLayout(dialog.get());
    layout->setContentsMargins(18, 16, 18, 12);
    layout->setSpacing(12);
    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    auto* icon = new QLabel(dialog.get());
    icon->setPixmap(TolvaneIcon().pixmap(QSize(56, 56), dialog->devicePixelRatioF()));
    top->addWidget(icon, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto* name = new QLabel(QString("Tolvane %1").arg(ToQt(title).section(' ', -1)), dialog.get());
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.5);
    nameFont.setBold(true);
    name->setFont(nameFont);
    name->setObjectName("name");
    texts->addWidget(name);
    texts->addWidget(new QLabel("Anti-spyware scanner", dialog.get()));
    top->addLayout(texts, 1);
    layout->addLayout(top);
    std::string target(address);
    auto* link = new QLabel(dialog.get());
    link->setObjectName("link");
    link->setFont(ArialFont(dialog.get()));
    link->setTextFormat(Qt::RichText);
    link->setText(QString("<a href=\"%1\" style=\"text-decoration: underline;\">%1</a>")
                      .arg(ToQt(address).toHtmlEscaped()));
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QObject::connect(link, &QLabel::linkActivated, dialog.get(),
                     [openAddress, target](const QString&) {
                         if (openAddress) openAddress(target);
                     });
    link->setCursor(Qt::PointingHandCursor);
    texts->addSpacing(6);
    texts->addWidget(link);
    layout->addWidget(OkCancel(dialog.get(), false));
    dialog->setMinimumWidth(dialog->fontMetrics().height() * 24);
    DialogDriver::Instance().Exec(*dialog);
}

}  // namespace tolvane
