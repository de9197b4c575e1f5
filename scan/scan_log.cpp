#include "scan/scan_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tolvane {

std::string ScanLog::FileNameFor(const std::tm& localStart) {
    char name[64];
    std::strftime(name, sizeof name, "Logs\\TolvaneLog %d-%m-%y %H-%M-%S.txt", &localStart);
    return name;
}

std::string ScanLog::SortKey(std::string_view fileName) {
    int day, month, year, hour, minute, second, end = 0;
    const std::string name(fileName);
    if (std::sscanf(name.c_str(), "TolvaneLog %2d-%2d-%2d %2d-%2d-%2d.txt%n", &day, &month, &year,
                    &hour, &minute, &second, &end) != 6 ||
        static_cast<size_t>(end) != name.size())
        return "";
    char key[16];
    std::snprintf(key, sizeof key, "%02d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                  second);
    return key;
}

bool ScanLog::Open(std::string_view applicationFolder, const std::tm& localStart) {
    Close();
    std::string folder = std::string(applicationFolder) + "Logs";
    path_.clear();
    std::string path = std::string(applicationFolder) + FileNameFor(localStart);
    if (!files_.CreateFolderPath(folder) || !files_.OpenFile(path, FileOpenMode::Write, &file_))
        return false;
    path_ = path;
    return true;
}

bool ScanLog::OpenOnHost(const std::string& hostFolder, const std::tm& localStart) {
    Close();
    path_.clear();
    const std::string logs = hostFolder + "/Logs";
    if (mkdir(logs.c_str(), 0700) != 0 && errno != EEXIST) return false;
    UniqueFd folder(open(logs.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return false;
    // The name without its "Logs\" part.
    const std::string name = FileNameFor(localStart).substr(5);
    hostFile_ = UniqueFd(openat(folder.get(), name.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!hostFile_.valid()) return false;
    path_ = logs + "/" + name;
    return true;
}

void ScanLog::Write(std::string_view text) {
    if (file_.IsOpen()) file_.Write(text);
    while (hostFile_.valid() && !text.empty()) {
        ssize_t written = write(hostFile_.get(), text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;  // failures are silent, as in the machine
        text.remove_prefix(static_cast<size_t>(written));
    }
}

void ScanLog::Close() {
    file_.Close();
    hostFile_ = UniqueFd();
}

}  // namespace tolvane
