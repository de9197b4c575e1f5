#include "ui/qt/dialogs.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/file_system.h"
#include "platform/win_types.h"
#include "script/advanced_scan.h"
#include "ui/details.h"
#include "ui/folder_chooser.h"
#include "ui/ignore_list_dialog.h"
#include "ui/qt/check_list_widget.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"
#include "ui/settings_windows.h"

namespace tolvane {
namespace {

// The settings windows' outer layout: roomy margins.
QVBoxLayout* SettingsLayout(QDialog* dialog) {
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(18, 16, 18, 14);
    layout->setSpacing(10);
    return layout;
}

// A dialog opened from another one (Scan Settings from General Settings,
// the folder chooser from either) stands over that one, not beside it over
// the main window.
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

QDialogButtonBox* OkCancel(QDialog* dialog, bool withCancel = true) {
    auto* buttons = new QDialogButtonBox(
        withCancel ? QDialogButtonBox::Ok | QDialogButtonBox::Cancel : QDialogButtonBox::Ok,
        dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QFont ArialFont(const QWidget* like, double points = 9) {
    QFont font("Arial");
    font.setPointSizeF(std::max(points, like->font().pointSizeF()));
    return font;
}

std::string CrLfToLf(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string ParentFolder(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos) return "";
    std::string parent = path.substr(0, slash);
    if (parent.size() == 2 && parent[1] == ':') parent += '\\';
    return parent;
}

bool IsFolder(const FileSystem& files, const std::string& path) {
    uint32_t attributes = files.GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\') return folder + name;
    return folder + "\\" + name;
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0;
}

// --- The file dialog over the machine's drives -------------------------------

class MachineFileDialog : public QDialog {
  public:
    MachineFileDialog(QWidget* parent, const FileSystem& files, MessageBoxView& messages,
                      const FileDialogOptions& options, bool save)
        : QDialog(parent), files_(files), messages_(messages), options_(options), save_(save) {
        setObjectName(save ? "SaveFileDialog" : "OpenFileDialog");
        ApplyDialogLook(this);
        setWindowTitle(options.title.empty() ? (save ? "Save As" : "Open") : ToQt(options.title));
        filters_ = ParseFileFilter(options.filter);
        if (filters_.empty()) filters_.push_back({"All Files (*.*)", "*.*"});

        auto* layout = new QVBoxLayout(this);
        auto* top = new QHBoxLayout;
        top->addWidget(new QLabel(save ? "Save in:" : "Look in:", this));
        drives_ = new QComboBox(this);
        drives_->setObjectName("drives");
        for (const std::string& drive : files_.LogicalDrives()) drives_->addItem(ToQt(drive));
        top->addWidget(drives_);
        folderEdit_ = new QLineEdit(this);
        folderEdit_->setObjectName("folder");
        folderEdit_->setReadOnly(true);
        top->addWidget(folderEdit_, 1);
        auto* up = new QToolButton(this);
        up->setObjectName("up");
        up->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
        up->setToolTip("Up One Level");
        up->setAutoRaise(true);
        top->addWidget(up);
        layout->addLayout(top);
        list_ = new QListWidget(this);
        list_->setObjectName("entries");
        layout->addWidget(list_, 1);
        auto* form = new QFormLayout;
        nameEdit_ = new QLineEdit(this);
        nameEdit_->setObjectName("fileName");
        form->addRow("File &name:", nameEdit_);
        types_ = new QComboBox(this);
        for (const auto& [description, pattern] : filters_) types_->addItem(ToQt(description));
        form->addRow("Files of &type:", types_);
        layout->addLayout(form);
        auto* buttons = new QDialogButtonBox(this);
        buttons->addButton(save ? "&Save" : "&Open", QDialogButtonBox::AcceptRole)
            ->setObjectName("accept");
        buttons->addButton(QDialogButtonBox::Cancel);
        layout->addWidget(buttons);
        connect(buttons, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(up, &QToolButton::clicked, this, [this] {
            std::string parent = ParentFolder(folder_);
            if (!parent.empty() && parent != folder_) Show(parent);
        });
        connect(drives_, &QComboBox::activated, this,
                [this](int index) { Show(FromQt(drives_->itemText(index))); });
        connect(types_, &QComboBox::activated, this, [this] { Show(folder_); });
        connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
            std::string path = Join(folder_, FromQt(item->text()));
            if (item->data(Qt::UserRole).toBool())
                Show(path);
            else {
                nameEdit_->setText(item->text());
                TryAccept();
            }
        });
        connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
            if (!item->data(Qt::UserRole).toBool()) nameEdit_->setText(item->text());
        });

        // Start in the proposed file's folder (or the proposed folder).
        std::string start = options.initialPath;
        std::string name;
        if (!start.empty() && !IsFolder(files_, start)) {
            size_t slash = start.find_last_of('\\');
            name = slash == std::string::npos ? start : start.substr(slash + 1);
            start = ParentFolder(start);
        }
        if (start.empty() || !IsFolder(files_, start))
            start = drives_->count() ? FromQt(drives_->itemText(0)) : "C:\\";
        nameEdit_->setText(ToQt(name));
        Show(start);
        const int unit = fontMetrics().height();
        resize(unit * 34, unit * 24);
    }

    const std::string& chosen() const { return chosen_; }
    // The folder shown and the names listed (tests).
    const std::string& folder() const { return folder_; }

    void Show(const std::string& folder) {
        folder_ = folder;
        folderEdit_->setText(ToQt(folder));
        for (int i = 0; i < drives_->count(); ++i)
            if (EqualsNoCase(FromQt(drives_->itemText(i)), folder.substr(0, 3)))
                drives_->setCurrentIndex(i);
        list_->clear();
        const std::string pattern = filters_[std::max(0, types_->currentIndex())].second;
        std::vector<std::string> folders, matching;
        FindHandle handle;
        FindData data;
        if (files_.FindFirstFile(Join(folder, "*"), &handle, &data)) {
            do {
                if (data.name == "." || data.name == "..") continue;
                if (data.attributes & FILE_ATTRIBUTE_DIRECTORY)
                    folders.push_back(data.name);
                else if (FileSystem::MatchFilePattern(pattern, data.name))
                    matching.push_back(data.name);
            } while (handle.Next(&data));
        }
        for (const std::string& name : folders) {
            auto* item = new QListWidgetItem(style()->standardIcon(QStyle::SP_DirIcon), ToQt(name));
            item->setData(Qt::UserRole, true);
            list_->addItem(item);
        }
        for (const std::string& name : matching) {
            auto* item =
                new QListWidgetItem(style()->standardIcon(QStyle::SP_FileIcon), ToQt(name));
            item->setData(Qt::UserRole, false);
            list_->addItem(item);
        }
    }

    void TryAccept() {
        std::string name = FromQt(nameEdit_->text().trimmed());
        if (name.empty()) return;
        std::string path = IsAbsolute(name) ? name : Join(folder_, name);
        if (IsFolder(files_, path)) {  // a folder's name opens the folder
            nameEdit_->clear();
            Show(path);
            return;
        }
        if (save_) {
            std::string leaf = path.substr(path.find_last_of('\\') + 1);
            if (!options_.defaultExtension.empty() && leaf.find('.') == std::string::npos)
                path += "." + options_.defaultExtension;
            std::string parent = ParentFolder(path);
            if (parent.empty() || !IsFolder(files_, parent)) {
                messages_.ShowMessage(FromQt(windowTitle()), SaveRefusedText(path),
                                      MessageButtons::Ok);
                return;
            }
            // An earlier backup of the same name is not lost without a yes.
            if (files_.PathFileExists(path) &&
                messages_.ShowMessage(FromQt(windowTitle()), ReplaceQuestionText(path),
                                      MessageButtons::YesNo) != MessageAnswer::Yes) {
                return;
            }
        } else if (!files_.PathFileExists(path) || IsFolder(files_, path)) {
            messages_.ShowMessage(FromQt(windowTitle()),
                                  path +
                                      "\nFile not found.\nPlease verify the correct file name "
                                      "was given.",
                                  MessageButtons::Ok);
            return;
        }
        chosen_ = path;
        accept();
    }

  private:
    const FileSystem& files_;
    MessageBoxView& messages_;
    FileDialogOptions options_;
    bool save_;
    std::vector<std::pair<std::string, std::string>> filters_;
    QComboBox* drives_;
    QLineEdit* folderEdit_;
    QListWidget* list_;
    QLineEdit* nameEdit_;
    QComboBox* types_;
    std::string folder_;
    std::string chosen_;
};

// --- The folder chooser's tree -----------------------------------------------

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

std::vector<std::pair<std::string, std::string>> ParseFileFilter(std::string_view filter) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : filter) {
        if (c == '|') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    std::vector<std::pair<std::string, std::string>> filters;
    for (size_t i = 0; i < parts.size(); i += 2) {
        if (parts[i].empty()) continue;
        std::string pattern = i + 1 < parts.size() ? parts[i + 1] : "";
        // "*.zip||": the description is the pattern.
        if (pattern.empty()) pattern = parts[i];
        filters.emplace_back(parts[i], pattern);
    }
    return filters;
}

QtDialogs::QtDialogs(const FileSystem& files, MessageBoxView& messages,
                     std::function<void(const std::string&)> openAddress)
    : files_(files), messages_(messages), openAddress_(std::move(openAddress)) {}

QtDialogs::~QtDialogs() {
    delete splash_;
}

// --- Settings ----------------------------------------------------------------

bool QtDialogs::RunGeneralSettings(GeneralSettingsWindow& window) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "GeneralSettings", kGeneralSettingsTitle));
    auto* layout = SettingsLayout(dialog.get());
    auto* atStartUp = new QCheckBox("Run at system startup", dialog.get());
    atStartUp->setObjectName("check1029");
    atStartUp->setChecked(window.runAtStartUp());
    layout->addWidget(atStartUp);

    auto* group = new QGroupBox("At startup", dialog.get());
    auto* groupLayout = new QGridLayout(group);
    auto* choices = new QButtonGroup(dialog.get());
    const std::tuple<int, const char*, int> radios[] = {
        {GeneralSettingsWindow::kSmartScan, "Perform Smart Scan", 1034},
        {GeneralSettingsWindow::kCustomScan, "Custom Scan", 1035},
        {GeneralSettingsWindow::kSelectedFolders, "Selected Folders Only", 1040},
        {GeneralSettingsWindow::kNone, "None", 1022},
    };
    int row = 0;
    for (const auto& [choice, text, id] : radios) {
        auto* radio = new QRadioButton(text, group);
        radio->setObjectName(QString("radio%1").arg(id));
        radio->setChecked(window.startUpChoice() == choice);
        choices->addButton(radio, choice);
        groupLayout->addWidget(radio, row, 0);
        if (choice == GeneralSettingsWindow::kCustomScan) {
            auto* change = new QPushButton("Change", group);
            change->setObjectName("button1031");
            change->setAutoDefault(false);
            QObject::connect(change, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChange(); });
            groupLayout->addWidget(change, row, 1);
        }
        if (choice == GeneralSettingsWindow::kSelectedFolders) {
            auto* choose = new QPushButton("Choose", group);
            choose->setObjectName("button1021");
            choose->setAutoDefault(false);
            QObject::connect(choose, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChoose(); });
            groupLayout->addWidget(choose, row, 1);
        }
        ++row;
    }
    QObject::connect(choices, &QButtonGroup::idClicked, dialog.get(),
                     [&window](int choice) { window.ChooseStartUp(choice); });
    layout->addWidget(group);
    auto* removeAfter = new QCheckBox("Start removing after scan is complete", dialog.get());
    removeAfter->setObjectName("check1032");
    removeAfter->setChecked(window.removeAfterScan());
    layout->addWidget(removeAfter);
    // Both boxes act at once, also when the window is then cancelled.
    QObject::connect(atStartUp, &QCheckBox::clicked, dialog.get(),
                     [&window](bool checked) { window.ClickRunAtStartUp(checked); });
    QObject::connect(removeAfter, &QCheckBox::clicked, dialog.get(),
                     [&window](bool checked) { window.ClickRemoveAfterScan(checked); });
    layout->addWidget(OkCancel(dialog.get()));
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

bool QtDialogs::RunScanSettings(ScanSettingsWindow& window) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "ScanSettings", kScanSettingsTitle));
    auto* layout = SettingsLayout(dialog.get());
    auto* group = new QGroupBox("Custom Scan covers", dialog.get());
    auto* groupLayout = new QVBoxLayout(group);
    const int ids[ScanSettingsWindow::kBoxCount] = {1015, 1016, 1017, 1018, 1019, 1020};
    for (int box = 0; box < ScanSettingsWindow::kBoxCount; ++box) {
        auto* check = new QCheckBox(ScanSettingsWindow::BoxText(box), group);
        check->setObjectName(QString("check%1").arg(ids[box]));
        check->setChecked(window.checked(box));
        // The hidden boxes keep the state they were opened with.
        check->setVisible(ScanSettingsWindow::BoxVisible(box));
        QObject::connect(check, &QCheckBox::toggled, dialog.get(),
                         [&window, box](bool on) { window.SetChecked(box, on); });
        if (box == ScanSettingsWindow::kDrives) {
            auto* line = new QHBoxLayout;
            line->addWidget(check, 1);
            auto* choose = new QPushButton("Choose", group);
            choose->setObjectName("button1021");
            choose->setAutoDefault(false);
            QObject::connect(choose, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChoose(); });
            line->addWidget(choose);
            groupLayout->addLayout(line);
        } else {
            groupLayout->addWidget(check);
        }
    }
    layout->addWidget(group);
    layout->addWidget(OkCancel(dialog.get()));
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

// --- Ignore list, summary, details, about, items question --------------------

void QtDialogs::RunIgnoreList(IgnoreListDialog& model) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "IgnoreList", kIgnoreListTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* list = new CheckListWidget(model, "Ignore", dialog.get());
    list->setObjectName("ignoreList");
    list->runCommand = [&model, this](ListMenuCommand command) {
        model.RunMenuCommand(command, *this);
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
    QObject::connect(remove, &QPushButton::clicked, dialog.get(), [&model, this] {
        if (!model.RemoveCheckedFromIgnoreList())
            messages_.ShowMessage("Tolvane", "The ignore list could not be saved.",
                                  MessageButtons::Ok);
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
    layout->addLayout(bottom);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 60, unit * 24);
    DialogDriver::Instance().Exec(*dialog);
}

void QtDialogs::ShowSummary(const SummaryTexts& summary) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "Summary", kSummaryTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* columns = new QHBoxLayout;
    auto addRows = [&](QWidget* box, const std::vector<std::pair<std::string, std::string>>& rows,
                       size_t from, size_t to) {
        auto* form = new QFormLayout(box);
        for (size_t i = from; i < to && i < rows.size(); ++i) {
            auto* value = new QLabel(ToQt(rows[i].second), box);
            QFont font = ArialFont(box);
            font.setBold(true);
            value->setFont(font);
            value->setObjectName(
                QString("value_%1").arg(ToQt(rows[i].first).remove(" :").remove(' ')));
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            form->addRow(ToQt(rows[i].first), value);
        }
    };
    auto* left = new QGroupBox(dialog.get());
    addRows(left, summary.left, 0, summary.left.size());
    columns->addWidget(left);
    auto* right = new QVBoxLayout;
    auto* top = new QGroupBox(dialog.get());
    addRows(top, summary.right, 0, 2);
    auto* bottom = new QGroupBox(dialog.get());
    addRows(bottom, summary.right, 2, summary.right.size());
    right->addWidget(top);
    right->addWidget(bottom);
    right->addStretch(1);
    columns->addLayout(right);
    layout->addLayout(columns);
    layout->addWidget(OkCancel(dialog.get(), false));
    DialogDriver::Instance().Exec(*dialog);
}

void QtDialogs::ShowObjectDetails(const ObjectDetails& details) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "ObjectDetails", kObjectDetailsTitle));
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

void QtDialogs::ShowAbout(std::string_view title, std::string_view address) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "About", ToQt(title)));
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
    QObject::connect(link, &QLabel::linkActivated, dialog.get(), [this, target](const QString&) {
        if (openAddress_) openAddress_(target);
    });
    link->setCursor(Qt::PointingHandCursor);
    texts->addSpacing(6);
    texts->addWidget(link);
    layout->addWidget(OkCancel(dialog.get(), false));
    dialog->setMinimumWidth(dialog->fontMetrics().height() * 24);
    DialogDriver::Instance().Exec(*dialog);
}

bool QtDialogs::AskWithItems(std::string_view title, std::string_view prompt,
                             std::string_view items) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "ItemsQuestion", ToQt(title)));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    auto* icon = new QLabel(dialog.get());
    icon->setObjectName("icon");
    icon->setPixmap(dialog->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* label = new QLabel(ToQt(prompt), dialog.get());
    label->setObjectName("prompt");
    label->setWordWrap(true);
    top->addWidget(label, 1);
    layout->addLayout(top);
    auto* list = new QPlainTextEdit(ToQt(CrLfToLf(items)), dialog.get());
    list->setObjectName("items");
    list->setReadOnly(true);
    list->setLineWrapMode(QPlainTextEdit::NoWrap);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(list, 1);
    layout->addWidget(OkCancel(dialog.get()));
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 30, unit * 16);
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

// --- Advanced BHO Scanning Option --------------------------------------------

void QtDialogs::RunAdvancedScan(AdvancedScan& scan) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "AdvancedScan", kAdvancedScanTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* list = new QTreeWidget(dialog.get());
    list->setObjectName("list1050");
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setAlternatingRowColors(true);
    list->setUniformRowHeights(true);
    QStringList headers;
    for (const AdvancedScanColumn& column : kAdvancedScanColumns) headers << column.title;
    list->setHeaderLabels(headers);
    const double scale = std::max(1.0, list->fontMetrics().height() / 13.0);
    for (int i = 0; i < 2; ++i) list->setColumnWidth(i, int(kAdvancedScanColumns[i].width * scale));
    auto refresh = [list, &scan] {
        for (size_t i = 0; i < scan.rows().size(); ++i) {
            QTreeWidgetItem* item = list->topLevelItem(int(i));
            if (!item) item = new QTreeWidgetItem(list);
            item->setText(0, ToQt(scan.rows()[i].vendor));
            item->setText(1, ToQt(scan.rows()[i].status));
        }
    };
    refresh();
    layout->addWidget(list, 1);
    auto* label = new QLabel(AdvancedScan::kDescriptionLabel, dialog.get());
    label->setObjectName("label1055");
    label->setFont(ArialFont(dialog.get(), 9));
    layout->addWidget(label);
    auto* description = new QPlainTextEdit(dialog.get());
    description->setObjectName("description1047");
    description->setReadOnly(true);
    description->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const unsigned bgr = AdvancedScan::kDescriptionBackground;
    QPalette palette = description->palette();
    palette.setColor(QPalette::Base, QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
    palette.setColor(QPalette::Text, Qt::black);
    description->setPalette(palette);
    description->setFixedHeight(description->fontMetrics().lineSpacing() * 5 + 12);
    layout->addWidget(description);
    auto* buttons = new QDialogButtonBox(dialog.get());
    QPushButton* scanButton = buttons->addButton("Scan", QDialogButtonBox::AcceptRole);
    scanButton->setObjectName("scan");
    scanButton->setDefault(true);
    QPushButton* close =
        buttons->addButton(ToQt(scan.closeCaption()), QDialogButtonBox::RejectRole);
    close->setObjectName("close");
    scanButton->setEnabled(scan.scanEnabled());
    layout->addWidget(buttons);
    // Mouse clicks only: the keyboard moves the selection without changing
    // the description.
    QObject::connect(list, &QTreeWidget::itemClicked, dialog.get(),
                     [list, description, &scan](QTreeWidgetItem* item) {
                         int row = list->indexOfTopLevelItem(item);
                         scan.ClickRow(row < 0 ? std::nullopt : std::optional<size_t>(row));
                         description->setPlainText(ToQt(scan.description()));
                     });
    QObject::connect(scanButton, &QPushButton::clicked, dialog.get(), [&, refresh] {
        if (!scan.scanEnabled()) return;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        scan.Scan();
        QApplication::restoreOverrideCursor();
        refresh();
        close->setText(ToQt(scan.closeCaption()));
        scanButton->setEnabled(scan.scanEnabled());
    });
    QObject::connect(close, &QPushButton::clicked, dialog.get(), &QDialog::reject);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 30, unit * 26);
    DialogDriver::Instance().Exec(*dialog);
}

// --- File dialogs and the folder chooser -------------------------------------

bool QtDialogs::AskFile(const FileDialogOptions& options, bool save, std::string* path) {
    MachineFileDialog dialog(DialogOwner(parent_), files_, messages_, options, save);
    if (DialogDriver::Instance().Exec(dialog) != QDialog::Accepted || dialog.chosen().empty())
        return false;
    *path = dialog.chosen();
    return true;
}

bool QtDialogs::AskSaveFile(const FileDialogOptions& options, std::string* path) {
    return AskFile(options, true, path);
}

bool QtDialogs::AskOpenFile(const FileDialogOptions& options, std::string* path) {
    return AskFile(options, false, path);
}

bool QtDialogs::RunFolderChooser(FolderChooser& chooser, std::string_view title,
                                 std::string_view prompt) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent_, "FolderChooser", ToQt(title)));
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

// --- The loading splash --------------------------------------------------------

void QtDialogs::ShowLoading() {
    if (splash_) return;
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
    splashStatus_ = new QLabel(splash);
    splashStatus_->setObjectName("status");
    splashStatus_->setFont(ArialFont(splash, 9));
    layout->addWidget(splashStatus_);
    const int unit = splash->fontMetrics().height();
    splash->resize(unit * 26, unit * 9);
    splash_ = splash;
    splash->show();
    QApplication::processEvents();
}

void QtDialogs::SetLoadingStatus(std::string_view text) {
    loadingTexts.emplace_back(text);
    if (!splash_) return;
    splashStatus_->setText(ToQt(text));
    splash_->repaint();
    if (DialogDriver::Instance().onShown) DialogDriver::Instance().onShown(splash_, "Loading");
    QApplication::processEvents();
}

void QtDialogs::CloseLoading() {
    delete splash_;
    splash_ = nullptr;
    splashStatus_ = nullptr;
}

}  // namespace tolvane
