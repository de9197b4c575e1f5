#include "ui/qt/object_details_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <memory>

#include "app/views/details.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

void RunObjectDetailsDialog(QWidget* parent, const ObjectDetails& details) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "ObjectDetails", kObjectDetailsTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* form = new QFormLayout;
    auto line = [&](const char* label, const std::string& text, const char* name) {
        auto* edit = new QLineEdit(ToQt(text), dialog.get());
        edit->setObjectName(name);
        edit->setReadOnly(true);
        edit->setFont(ArialFont(dialog.get()));
        edit->setCursorPosition(0);
        form->addRow(label, edit);
    };
    line("Vendor", details.vendor, "vendor");
    line("Category", details.category, "category");
    line("Object Type", details.objectType, "objectType");
    line("Danger", details.danger, "danger");
    auto* location = new QPlainTextEdit(ToQt(details.location), dialog.get());
    location->setObjectName("location");
    location->setReadOnly(true);
    location->setFont(ArialFont(dialog.get()));
    location->setFixedHeight(location->fontMetrics().lineSpacing() * 3 + 12);
    form->addRow("Location", location);
    auto* description = new QPlainTextEdit(ToQt(details.description), dialog.get());
    description->setObjectName("description");
    description->setReadOnly(true);
    description->setFont(ArialFont(dialog.get()));
    description->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    form->addRow("Description", description);
    auto* size = new QLineEdit(ToQt(details.size), dialog.get());  // hidden, always empty
    size->setObjectName("size");
    size->hide();
    layout->addLayout(form);
    layout->addWidget(OkCancel(dialog.get(), false));
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 32, unit * 20);
    DialogDriver::Instance().Exec(*dialog);
}

}  // namespace tolvane
