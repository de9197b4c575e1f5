#include "ui/qt/machine_file_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "base/win_types.h"
#include "machine/file_system.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace tolvane {
namespace {

std::string ParentFolder(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos) return "";
    std::string parent = path.substr(0, slash);
    if (parent.size() == 2 && parent[1] == ':') parent += '\\';
    return parent;
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\') return folder + name;
    return folder + "\\" + name;
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0;
}

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

MachineFileDialog::MachineFileDialog(QWidget* parent, const FileSystem& files, Prompter& messages,
                                     const FileDialogOptions& options, bool save)
    : QDialog(parent), files_(files), messages_(messages), options_(options), save_(save) {
    setObjectName(save ? "SaveFileDialog" : "OpenFileDialog");
    ApplyDialogLook(this);
    setWindowTitle(options.title.empty() ? (save ? "Save As" : "Open") : ToQt(options.title));
    filters_ = ParseFileFilter(options.filter);
    if (filters_.empty()) filters_.push_back({"All Files (*.*)", "*.*"});
    BuildControls(save);

    // Start in the proposed file's folder (or the proposed folder).
    std::string start = options.initialPath;
    std::string name;
    if (!start.empty() && !files_.IsFolder(start)) {
        size_t slash = start.find_last_of('\\');
        name = slash == std::string::npos ? start : start.substr(slash + 1);
        start = ParentFolder(start);
    }
    if (start.empty() || !files_.IsFolder(start))
        start = drives_->count() ? FromQt(drives_->itemText(0)) : "C:\\";
    nameEdit_->setText(ToQt(name));
    Show(start);
    const int unit = fontMetrics().height();
    resize(unit * 34, unit * 24);
}

void MachineFileDialog::BuildControls(bool save) {
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
    ConnectBrowsing(up);
}

void MachineFileDialog::ConnectBrowsing(QToolButton* up) {
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
}

void MachineFileDialog::Show(const std::string& folder) {
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
        auto* item = new QListWidgetItem(style()->standardIcon(QStyle::SP_FileIcon), ToQt(name));
        item->setData(Qt::UserRole, false);
        list_->addItem(item);
    }
}

void MachineFileDialog::TryAccept() {
    std::string name = FromQt(nameEdit_->text().trimmed());
    if (name.empty()) return;
    std::string path = IsAbsolute(name) ? name : Join(folder_, name);
    if (files_.IsFolder(path)) {  // a folder's name opens the folder
        nameEdit_->clear();
        Show(path);
        return;
    }
    if (save_) {
        std::string leaf = path.substr(path.find_last_of('\\') + 1);
        if (!options_.defaultExtension.empty() && leaf.find('.') == std::string::npos)
            path += "." + options_.defaultExtension;
        std::string parent = ParentFolder(path);
        if (parent.empty() || !files_.IsFolder(parent)) {
            messages_.Ask({FromQt(windowTitle()), SaveRefusedText(path), PromptButtons::Ok,
                           PromptIcon::Information});
            return;
        }
        // An earlier backup of the same name is not lost without a yes.
        if (files_.PathFileExists(path) &&
            messages_.Ask({FromQt(windowTitle()), ReplaceQuestionText(path), PromptButtons::YesNo,
                           PromptIcon::Question}) != PromptAnswer::Yes) {
            return;
        }
    } else if (!files_.PathFileExists(path) || files_.IsFolder(path)) {
        messages_.Ask({FromQt(windowTitle()),
                       path + "\nFile not found.\nPlease verify the correct file name was given.",
                       PromptButtons::Ok, PromptIcon::Information});
        return;
    }
    chosen_ = path;
    accept();
}

}  // namespace tolvane
