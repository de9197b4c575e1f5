#include "scan/scan_log.h"

#include <cstdio>

namespace tolvane {

std::string ScanLog::FileNameFor(const std::tm& localStart) {
    char name[64];
    std::strftime(name, sizeof name, "Logs\\TolvaneLog %d-%m-%y %H-%M-%S.txt", &localStart);
    return name;
}

bool ScanLog::Open(std::string_view applicationFolder, const std::tm& localStart) {
    Close();
    std::string folder = std::string(applicationFolder) + "Logs";
    path_ = std::string(applicationFolder) + FileNameFor(localStart);
    if (!files_.CreateFolderPath(folder)) return false;
    return files_.OpenFile(path_, FileOpenMode::Write, &file_);
}

void ScanLog::Write(std::string_view text) {
    if (file_.IsOpen()) file_.Write(text);
}

void ScanLog::Close() {
    file_.Close();
}

}  // namespace tolvane
