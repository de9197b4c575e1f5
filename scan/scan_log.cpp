#include "scan/scan_log.h"

#include <cstdio>

namespace tolvane {

std::string ScanLog::FileNameFor(const std::tm& localStart) {
    char name[64];
    std::strftime(name, sizeof name, "Logs\\TolvaneLog %d-%m-%y %H-%M-%S.txt", &localStart);
    return name;
}

bool ScanLog::CreateFolderPath(FileSystem& files, std::string_view folder) {
    std::string path(folder);
    for (char& c : path)
        if (c == '/') c = '\\';
    // The first level that can be made lies after the drive part.
    size_t start = 0;
    size_t drive = path.find(":\\");
    if (drive != std::string::npos)
        start = drive + 2;
    else if (path.rfind("\\\\", 0) == 0)
        start = 2;
    auto make = [&](const std::string& level) {
        if (level.empty()) return true;
        uint32_t attributes = files.GetFileAttributes(level);
        if (attributes != INVALID_FILE_ATTRIBUTES) return true;
        return files.CreateDirectory(level) ||
               files.GetFileAttributes(level) != INVALID_FILE_ATTRIBUTES;
    };
    for (size_t cut = path.find('\\', start); cut != std::string::npos;
         cut = path.find('\\', cut + 1)) {
        if (!make(path.substr(0, cut))) return false;
    }
    return make(path);
}

bool ScanLog::Open(std::string_view applicationFolder, const std::tm& localStart) {
    Close();
    std::string folder = std::string(applicationFolder) + "Logs";
    path_ = std::string(applicationFolder) + FileNameFor(localStart);
    if (!CreateFolderPath(files_, folder)) return false;
    return files_.OpenFile(path_, FileOpenMode::Write, &file_);
}

void ScanLog::Write(std::string_view text) {
    if (file_.IsOpen()) file_.Write(text);
}

void ScanLog::Close() {
    file_.Close();
}

}  // namespace tolvane
