#include "app/views/machine_chooser.h"

#include <filesystem>

namespace tolvane {

bool SameFolderPath(const std::string& a, const std::string& b) {
    auto normal = [](const std::string& path) {
        std::string text = std::filesystem::path(path).lexically_normal().string();
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        return text;
    };
    return !a.empty() && normal(a) == normal(b);
}

MachineChooser::MachineChooser(const std::vector<FoundMachine>& machines,
                               const std::string& currentPath) {
    for (const FoundMachine& found : machines) {
        MachineRow row{found.path,
                       MachineKindName(found.kind),
                       found.foundIn,
                       found.damage.empty() ? found.notOpened : found.damage,
                       SameFolderPath(found.path, currentPath),
                       found.notOpened};
        if (row.current && !selected_) selected_ = rows_.size();
        rows_.push_back(std::move(row));
    }
}

void MachineChooser::Select(std::optional<size_t> row) {
    selected_ = row && *row < rows_.size() ? row : std::nullopt;
}

std::string MachineChooser::ChosenPath() const {
    return CanOpen() ? rows_[*selected_].path : "";
}

std::string MachineChooser::Refusal() const {
    if (!selected_ || rows_[*selected_].notOpened.empty()) return "";
    const MachineRow& row = rows_[*selected_];
    return row.path + " cannot be opened: " + row.notOpened + ".";
}

bool MachineChooser::CanOpen() const {
    return selected_ && rows_[*selected_].notOpened.empty();
}

}  // namespace tolvane
