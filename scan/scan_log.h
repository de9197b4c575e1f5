// ScanLog: the plain-text log of one scan in the Logs folder of the
// application folder, named by the scan's local start time
// ("Logs\TolvaneLog 07-12-26 13-05-09.txt"). Texts are written byte for byte
// as given (8-bit, line feeds only). A folder or file that cannot be made
// leaves the log closed: the scan runs in full and nothing is logged.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "machine/file_system.h"

namespace tolvane {

class ScanLog {
  public:
    explicit ScanLog(FileSystem& files) : files_(files) {}

    // The file name for a local start time, relative to the application
    // folder: "Logs\TolvaneLog %d-%m-%y %H-%M-%S.txt".
    static std::string FileNameFor(const std::tm& localStart);

    // OpenLog: creates "<applicationFolder>Logs" with every missing level and
    // the file (emptying one of the same name). applicationFolder ends in a
    // backslash. True when the log is open.
    bool Open(std::string_view applicationFolder, const std::tm& localStart);
    // WriteLog: appends the text when the log is open; failures are silent.
    void Write(std::string_view text);
    // CloseLog.
    void Close();

    bool IsOpen() const { return file_.IsOpen(); }
    // The Windows path of the last log opened (kept after Close).
    const std::string& Path() const { return path_; }

  private:
    FileSystem& files_;
    File file_;
    std::string path_;
};

}  // namespace tolvane
