// FolderChooser: the tree of drives and folders with a check box on every
// item, starting at My Computer. It is given the current selection (a list
// of paths) and hands back the checked paths.
//
// The contract of the selection: a given path is found by walking from the
// drives; an item whose path equals it is checked, an item whose path is a
// leading part of it is expanded and searched below (its later siblings are
// still tried). Both comparisons are byte for byte, letter case included, so
// a stored path that no longer exists is simply not checked. The result is
// every checked item in depth-first order (an item before its children).
//
// Items are listed lazily: a folder's children are read from the machine
// when it is expanded. Paths: a drive is "C:\", a folder "C:\users\root".
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class FileSystem;

inline constexpr const char* kMyComputerShellName = "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";
inline constexpr const char* kFolderChooserTitle = "Browse For Folder";
inline constexpr const char* kFolderChooserPrompt = "Select the Voice Mail Folder";

class FolderChooser {
  public:
    struct Item {
        std::string name;  // "C:" for a drive, the folder's own name otherwise
        std::string path;
        bool checked = false;
        bool expanded = false;
        bool childrenRead = false;
        Item* parent = nullptr;
        std::vector<std::unique_ptr<Item>> children;
    };

    // Fills the drives and checks the given paths as described above.
    FolderChooser(const FileSystem& files, const std::vector<std::string>& selection);

    // My Computer: its children are the drives.
    Item& root() { return root_; }
    const Item& root() const { return root_; }

    // Reads the item's subfolders (once) and marks it expanded.
    void Expand(Item& item);
    void SetChecked(Item& item, bool checked) { item.checked = checked; }
    // Checks the item of this exact path, expanding its leading parts; false
    // when no item has it.
    bool CheckPath(std::string_view path);
    // Clears every check box of the items read so far.
    void UncheckAll();
    // The checked paths, depth-first.
    std::vector<std::string> CheckedPaths() const;

  private:
    bool CheckBelow(Item& parent, std::string_view path);
    const FileSystem& files_;
    Item root_;
};

}  // namespace tolvane
