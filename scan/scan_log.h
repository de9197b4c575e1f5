// ScanLog: the plain-text log of one scan in the Logs folder of the
// application folder, named by the scan's local start time
// ("Logs\TolvaneLog 07-12-26 13-05-09.txt"). Texts are written byte for byte
// as given (8-bit, line feeds only). A folder or file that cannot be made
// leaves the log closed: the scan runs in full and nothing is logged, and
// Path() is then "" (no log to name).
//
// A machine that keeps no state of Tolvane's inside (a Windows installation)
// has its logs on the host instead: OpenOnHost writes the same file in the
// Logs folder of a host folder of the running user's (made 0700; the file
// 0600, neither through a link).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "host/held_path.h"
#include "machine/file_system.h"

namespace tolvane {

class ScanLog {
  public:
    explicit ScanLog(FileSystem& files) : files_(files) {}

    // The file name for a local start time, relative to the application
    // folder: "Logs\TolvaneLog %d-%m-%y %H-%M-%S.txt".
    static std::string FileNameFor(const std::tm& localStart);
    // A log file's name ("TolvaneLog 07-12-26 13-05-09.txt") as a text that
    // sorts by its start time ("261207130509"); "" for any other name.
    static std::string SortKey(std::string_view fileName);

    // OpenLog: creates "<applicationFolder>Logs" with every missing level and
    // the file (emptying one of the same name). applicationFolder ends in a
    // backslash. True when the log is open.
    bool Open(std::string_view applicationFolder, const std::tm& localStart);
    // The log in hostFolder/Logs on the host; Path() is the host path.
    bool OpenOnHost(const std::string& hostFolder, const std::tm& localStart);
    // WriteLog: appends the text when the log is open; failures are silent.
    void Write(std::string_view text);
    // CloseLog.
    void Close();

    bool IsOpen() const { return file_.IsOpen() || hostFile_.valid(); }
    // The Windows path of the last log opened (kept after Close), or its
    // host path when it is on the host; "" when the last one failed to open.
    const std::string& Path() const { return path_; }

  private:
    FileSystem& files_;
    File file_;
    UniqueFd hostFile_;
    std::string path_;
};

}  // namespace tolvane
