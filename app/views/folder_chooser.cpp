#include "app/views/folder_chooser.h"

#include "base/win_types.h"
#include "machine/file_system.h"

namespace tolvane {
namespace {

void CollectChecked(const FolderChooser::Item& item, std::vector<std::string>* out) {
    for (const auto& child : item.children) {
        if (child->checked) out->push_back(child->path);
        CollectChecked(*child, out);
    }
}

void Uncheck(FolderChooser::Item& item) {
    item.checked = false;
    for (auto& child : item.children) Uncheck(*child);
}

}  // namespace

FolderChooser::FolderChooser(const FileSystem& files, const std::vector<std::string>& selection)
    : files_(files) {
    root_.name = "My Computer";
    root_.path = kMyComputerShellName;
    root_.childrenRead = true;
    root_.expanded = true;
    for (const std::string& drive : files_.LogicalDrives()) {
        auto item = std::make_unique<Item>();
        item->name = drive.substr(0, 2);
        item->path = drive;
        item->parent = &root_;
        root_.children.push_back(std::move(item));
    }
    for (const std::string& path : selection) CheckPath(path);
}

void FolderChooser::Expand(Item& item) {
    item.expanded = true;
    if (item.childrenRead) return;
    item.childrenRead = true;
    std::string prefix = item.path;
    if (prefix.empty() || prefix.back() != '\\') prefix += '\\';
    FindHandle handle;
    FindData data;
    if (!files_.FindFirstFile(prefix + "*.*", &handle, &data)) return;
    do {
        if (!(data.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (data.name == "." || data.name == "..") continue;
        auto child = std::make_unique<Item>();
        child->name = data.name;
        child->path = prefix + data.name;
        child->parent = &item;
        item.children.push_back(std::move(child));
    } while (handle.Next(&data));
}

bool FolderChooser::CheckBelow(Item& parent, std::string_view path) {
    for (auto& child : parent.children) {
        const std::string& own = child->path;
        if (own == path) {
            child->checked = true;
            return true;
        }
        if (path.size() > own.size() && path.compare(0, own.size(), own) == 0) {
            Expand(*child);
            if (CheckBelow(*child, path)) return true;
        }
    }
    return false;
}

bool FolderChooser::CheckPath(std::string_view path) {
    if (path.empty()) return false;
    return CheckBelow(root_, path);
}

void FolderChooser::UncheckAll() {
    Uncheck(root_);
}

std::vector<std::string> FolderChooser::CheckedPaths() const {
    std::vector<std::string> out;
    CollectChecked(root_, &out);
    return out;
}

}  // namespace tolvane
