#include "ui/qt/dialog_frame.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/qt/main_window.h"

namespace tolvane {

QVBoxLayout* SettingsLayout(QDialog* dialog) {
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(18, 16, 18, 14);
    layout->setSpacing(10);
    return layout;
}

QWidget* DialogOwner(QWidget* mainWindow) {
    QWidget* modal = QApplication::activeModalWidget();
    return modal ? modal : mainWindow;
}

QDialog* MakeDialog(QWidget* parent, const QString& name, const QString& title) {
    auto* dialog = new QDialog(DialogOwner(parent));
    dialog->setObjectName(name);
    dialog->setWindowTitle(title);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    ApplyDialogLook(dialog);
    return dialog;
}

QDialogButtonBox* OkCancel(QDialog* dialog, bool withCancel) {
    auto* buttons = new QDialogButtonBox(
        withCancel ? QDialogButtonBox::Ok | QDialogButtonBox::Cancel : QDialogButtonBox::Ok,
        dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QFont ArialFont(const QWidget* like, double points) {
    QFont font("Arial");
    font.setPointSizeF(std::max(points, like->font().pointSizeF()));
    return font;
}

}  // namespace tolvane
