#include "ui/qt/folder_chooser_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>
#include <vector>

#include "app/views/folder_chooser.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

namespace {

constexpr int kItemRole = Qt::UserRole + 1;

class FolderTree : public QTreeWidget {
  public:
    FolderTree(FolderChooser& chooser, QWidget* parent) : QTreeWidget(parent), chooser_(chooser) {
        setHeaderHidden(true);
        setObjectName("tree1014");
        auto* root = new QTreeWidgetItem(this);
        root->setText(0, "My Computer");
        root->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
        root->setData(0, kItemRole, QVariant::fromValue<quintptr>(quintptr(&chooser.root())));
        Fill(root, chooser.root());
        root->setExpanded(true);
        connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
            FolderChooser::Item* data = ItemOf(item);
            if (!data || data->childrenRead) return;
            chooser_.Expand(*data);
            Fill(item, *data);
            // Read and empty: no expander any more.
            if (data->children.empty())
                item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
        });
        connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
            if (filling_) return;
            if (FolderChooser::Item* data = ItemOf(item); data && data != &chooser_.root())
                chooser_.SetChecked(*data, item->checkState(0) == Qt::Checked);
        });
    }

    static FolderChooser::Item* ItemOf(QTreeWidgetItem* item) {
        return reinterpret_cast<FolderChooser::Item*>(item->data(0, kItemRole).value<quintptr>());
    }

    // The widget item of a path, among those shown (tests).
    QTreeWidgetItem* Find(const std::string& path) const {
        std::vector<QTreeWidgetItem*> stack{topLevelItem(0)};
        while (!stack.empty()) {
            QTreeWidgetItem* item = stack.back();
            stack.pop_back();
            if (FolderChooser::Item* data = ItemOf(item); data && data->path == path) return item;
            for (int i = 0; i < item->childCount(); ++i) stack.push_back(item->child(i));
        }
        return nullptr;
    }

  private:
    // Shows the item's children as the chooser has them (read when the item
    // was expanded); an unread folder shows an expander.
    void Fill(QTreeWidgetItem* parent, FolderChooser::Item& item) {
        filling_ = true;
        for (auto& child : item.children) {
            auto* widget = new QTreeWidgetItem(parent);
            widget->setText(0, ToQt(child->name));
            widget->setIcon(
                0, style()->standardIcon(child->parent == &chooser_.root() ? QStyle::SP_DriveHDIcon
                                                                           : QStyle::SP_DirIcon));
            widget->setData(0, kItemRole, QVariant::fromValue<quintptr>(quintptr(child.get())));
            widget->setFlags(widget->flags() | Qt::ItemIsUserCheckable);
            widget->setCheckState(0, child->checked ? Qt::Checked : Qt::Unchecked);
            if (child->childrenRead) {
                Fill(widget, *child);
                filling_ = true;
                widget->setExpanded(child->expanded);
            } else {
                widget->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            }
            if (child->childrenRead && child->children.empty())
                widget->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
        }
        filling_ = false;
    }

    FolderChooser& chooser_;
    bool filling_ = false;
};

}  // namespace

bool RunFolderChooserDialog(QWidget* parent, FolderChooser& chooser, std::string_view title,
                            std::string_view prompt) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "FolderChooser", ToQt(title)));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* label = new QLabel(ToQt(prompt), dialog.get());
    label->setObjectName("prompt");
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* tree = new FolderTree(chooser, dialog.get());
    layout->addWidget(tree, 1);
    layout->addWidget(OkCancel(dialog.get()));
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 24, unit * 26);
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

}  // namespace tolvane
