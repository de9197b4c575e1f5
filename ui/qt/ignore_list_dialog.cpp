#include "ui/qt/ignore_list_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "app/views/ignore_list_dialog.h"
#include "app/views/views.h"
#include "ui/qt/check_list_widget.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"

namespace tolvane {

void RunIgnoreListDialog(QWidget* parent, IgnoreListDialog& model, DialogView& dialogs,
                         Prompter& messages) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "IgnoreList", kIgnoreListTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* list = new CheckListWidget(model, "Ignore", dialog.get());
    list->setObjectName("ignoreList");
    list->runCommand = [&model, &dialogs](ListMenuCommand command) {
        model.RunMenuCommand(command, dialogs);
    };
    layout->addWidget(list, 1);
    // "Delete" acts on the list, apart from OK and Cancel, which close.
    auto* bottom = new QHBoxLayout;
    auto* remove = new QPushButton("Delete", dialog.get());
    remove->setObjectName("delete");
    remove->setAutoDefault(false);
    bottom->addWidget(remove);
    bottom->addStretch(1);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog.get());
    bottom->addWidget(buttons);
    QObject::connect(remove, &QPushButton::clicked, dialog.get(), [&model, &messages] {
        if (!model.RemoveCheckedFromIgnoreList())
            messages.Ask({"Tolvane", "The ignore list could not be saved.", PromptButtons::Ok,
                          PromptIcon::Information});
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
    layout->addLayout(bottom);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 60, unit * 24);
    DialogDriver::Instance().Exec(*dialog);
}

}  // namespace tolvane
