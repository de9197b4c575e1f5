#include "ui/qt/check_list_widget.h"

#include <QAbstractItemDelegate>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QStyle>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

QIcon ObjectTypeIcon(const QString& typeText) {
    QStyle* style = QApplication::style();
    if (typeText == "File") return style->standardIcon(QStyle::SP_FileIcon);
    if (typeText == "Folder") return style->standardIcon(QStyle::SP_DirIcon);
    if (typeText == "Registry Key") return style->standardIcon(QStyle::SP_DirLinkIcon);
    if (typeText == "Registry Value") return style->standardIcon(QStyle::SP_FileLinkIcon);
    if (typeText == "Host File Item") return style->standardIcon(QStyle::SP_DriveNetIcon);
    return style->standardIcon(QStyle::SP_MessageBoxWarning);
}

QColor DangerColour(const QString& danger) {
    if (danger.compare("Critical", Qt::CaseInsensitive) == 0) return QColor(0xb0, 0x1c, 0x1c);
    if (danger.compare("High", Qt::CaseInsensitive) == 0) return QColor(0xc6, 0x3d, 0x12);
    if (danger.compare("Medium", Qt::CaseInsensitive) == 0) return QColor(0xa3, 0x6a, 0x00);
    if (danger.compare("Low", Qt::CaseInsensitive) == 0) return QColor(0x2e, 0x7d, 0x32);
    return QColor();
}

CheckListWidget::CheckListWidget(CheckListModel& model, QString menuTitle, QWidget* parent)
    : QTreeWidget(parent), model_(model), menuTitle_(std::move(menuTitle)) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAlternatingRowColors(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    QStringList headers;
    const std::vector<ListColumn>& columns = CheckListColumns();
    for (const ListColumn& column : columns) headers << column.header;
    setHeaderLabels(headers);
    // The widths are those of the layout, grown with the font so that text
    // is not clipped at larger scales.
    const double scale = fontMetrics().height() / 13.0;
    for (int i = 0; i < int(columns.size()); ++i)
        setColumnWidth(i, int(columns[i].width * std::max(1.0, scale)));
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(int(ListColumnIndex::Object), QHeaderView::Stretch);
    openMenu = [this](bool onRow, std::optional<size_t> highlighted) {
        return model_.OpenContextMenu(onRow, highlighted);
    };
    runCommand = [this](ListMenuCommand command) { model_.RunSelectionCommand(command); };
    connect(this, &QTreeWidget::itemChanged, this, &CheckListWidget::OnItemChanged);
    connect(this, &QWidget::customContextMenuRequested, this, &CheckListWidget::OpenContextMenuAt);
    model_.SetObserver(this);
    Reload();
}

CheckListWidget::~CheckListWidget() {
    model_.SetObserver(nullptr);
}

QTreeWidgetItem* CheckListWidget::MakeItem(const ListRow& row) const {
    auto* item = new QTreeWidgetItem;
    for (int c = 0; c < 5; ++c) {
        QString text = ToQt(row.Text(ListColumnIndex(c)));
        item->setText(c, text);
        item->setToolTip(c, text);
    }
    item->setIcon(int(ListColumnIndex::Type), ObjectTypeIcon(item->text(1)));
    const int danger = int(ListColumnIndex::Danger);
    if (QColor colour = DangerColour(item->text(danger)); colour.isValid()) {
        item->setForeground(danger, colour);
        QFont bold = item->font(danger);
        bold.setBold(true);
        item->setFont(danger, bold);
    }
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, row.checked ? Qt::Checked : Qt::Unchecked);
    return item;
}

void CheckListWidget::Reload() {
    mirroring_ = true;
    clear();
    QList<QTreeWidgetItem*> items;
    for (const ListRow& row : model_.rows()) items << MakeItem(row);
    addTopLevelItems(items);
    for (QTreeWidgetItem* item : items) FitColumnsTo(item);
    mirroring_ = false;
}

void CheckListWidget::FitColumnsTo(QTreeWidgetItem* item) {
    // Each column but Object (which takes the rest of the width) grows to
    // show the widest text it was given, up to a limit; it never shrinks,
    // so a column the user widened stays so.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int limit = fontMetrics().averageCharWidth() * 36;
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this) * 2;
    for (int column = 0; column < columnCount(); ++column) {
        if (column == int(ListColumnIndex::Object)) continue;
        QModelIndex index = indexFromItem(item, column);
        int needed = itemDelegateForIndex(index)->sizeHint(option, index).width() + margin;
        needed = std::min(needed, limit);
        if (needed > columnWidth(column)) setColumnWidth(column, needed);
    }
}

void CheckListWidget::OnRowsReset() {
    Reload();
}

void CheckListWidget::OnRowInserted(size_t row) {
    if (row >= model_.size()) return;
    mirroring_ = true;
    QTreeWidgetItem* item = MakeItem(model_.rows()[row]);
    insertTopLevelItem(int(row), item);
    FitColumnsTo(item);
    mirroring_ = false;
    scrollToItem(item);
}

void CheckListWidget::OnRowRemoved(size_t row) {
    mirroring_ = true;
    delete takeTopLevelItem(int(row));
    mirroring_ = false;
}

void CheckListWidget::OnRowChanged(size_t row) {
    QTreeWidgetItem* item = topLevelItem(int(row));
    if (!item || row >= model_.size()) return;
    mirroring_ = true;
    item->setCheckState(0, model_.rows()[row].checked ? Qt::Checked : Qt::Unchecked);
    mirroring_ = false;
}

void CheckListWidget::OnItemChanged(QTreeWidgetItem* item, int column) {
    if (mirroring_ || column != 0) return;
    int row = indexOfTopLevelItem(item);
    if (row < 0 || size_t(row) >= model_.size()) return;
    bool checked = item->checkState(0) == Qt::Checked;
    if (model_.rows()[row].checked != checked) model_.SetChecked(size_t(row), checked);
}

std::optional<size_t> CheckListWidget::HighlightedRow() const {
    QList<QTreeWidgetItem*> selected = selectedItems();
    std::optional<size_t> first;
    for (QTreeWidgetItem* item : selected) {
        int row = indexOfTopLevelItem(item);
        if (row >= 0 && (!first || size_t(row) < *first)) first = size_t(row);
    }
    return first;
}

void CheckListWidget::OpenContextMenuAt(const QPoint& pos) {
    bool onRow = itemAt(pos) != nullptr;
    std::vector<ListMenuItem> items = openMenu(onRow, HighlightedRow());
    if (items.empty()) return;
    QMenu menu(menuTitle_, this);
    menu.setObjectName(menuTitle_);
    std::map<QAction*, ListMenuCommand> commands;
    for (const ListMenuItem& entry : items) {
        if (entry.isSeparator) {
            menu.addSeparator();
            continue;
        }
        // Menu texts are shown as they are: a '&' in a vendor's name is no
        // mnemonic.
        QString text = ToQt(entry.text);
        text.replace("&", "&&");
        commands[menu.addAction(text)] = entry.command;
    }
    QPoint global = viewport()->mapToGlobal(pos) - QPoint(0, 5);
    QAction* chosen = DialogDriver::Instance().ExecMenu(menu, global);
    auto command = commands.find(chosen);
    if (command != commands.end() && runCommand) runCommand(command->second);
}

}  // namespace tolvane
