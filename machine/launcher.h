// Starting other programs and documents (ShellExecuteA): Windows programs run
// under Wine with the machine's WINEPREFIX when Wine is installed and are
// skipped otherwise; folders, files and web addresses open with xdg-open when
// there is a desktop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class FileSystem;

// One argument quoted for a Windows command line so that the program's
// runtime splits it back exactly (CommandLineToArgvW's rules: blanks and
// quotes need double quotes around the argument, a quote inside is \",
// backslashes before a quote are doubled). Parameters built for
// ShellExecute quote each argument with it.
std::string QuoteWindowsArgument(std::string_view argument);

// A Windows command line split into its arguments by the same rules. Wine
// quotes each argument it is given the same way again, so what this returns
// reaches the Windows program exactly.
std::vector<std::string> SplitWindowsCommandLine(std::string_view commandLine);

// An absolute "http://" or "https://" address with a host, made only of
// printable ASCII that cannot split or quote it (no blanks, quotes,
// backslashes, angle brackets or control characters).
bool IsBrowsableAddress(std::string_view address);

class Launcher {
  public:
    Launcher(const std::string& prefixPath, const FileSystem& files);

    // Starts `file` (a Windows program name or path, a Windows file or folder
    // path, or a web address) with `parameters`; does not wait. False when
    // nothing could be started (no Wine, no desktop).
    bool ShellExecute(std::string_view verb, std::string_view file, std::string_view parameters);

    // Opens a web page in the desktop's browser. Addresses that come from
    // the machine's registry or the definitions database (a support page,
    // a link) may be written by malware, so only IsBrowsableAddress ones
    // open; anything else (a program, a document, "file:") is refused
    // with false, never started.
    bool OpenWebAddress(std::string_view address);
    // Opens a document of this computer's (an absolute host path Tolvane
    // itself chose, never one the machine names) with the desktop's
    // program for it, as a file:// address.
    bool OpenHostDocument(const std::string& hostPath);

    // Tests watch launches instead of starting anything. The observer sees
    // every launch asked for, whether or not Wine or a desktop is present;
    // its result is ShellExecute's.
    using Observer = std::function<bool(const std::vector<std::string>& argv)>;
    void SetObserver(Observer observer) { observer_ = std::move(observer); }

    static bool WineInstalled();
    // A machine with no running Windows (an installation on a disk): its
    // Windows programs (regsvr32 among them) are never started; ShellExecute
    // of one gives false. Documents, folders and web addresses still open.
    void StartNoWindowsPrograms() { noWindowsPrograms_ = true; }

    // True when the last ShellExecute refused to start regsvr32 because the
    // program runs as root: regsvr32 runs code of the machine's own DLLs, and
    // a Windows program of the machine never gets root's rights. (Launches a
    // test observer watches are asked for, not started, and are not refused.)
    bool RefusedAsRoot() const { return refusedAsRoot_; }

    // Waits until every Windows program this launcher started under Wine has
    // ended, at most for limit; true when none runs any more. (`wine` may be
    // a shell script that starts the Windows program only a while later, so
    // the program itself is waited for, not what the process table shows.)
    bool WaitForWinePrograms(std::chrono::milliseconds limit);

    struct Running;  // the Wine programs started and not yet ended (launcher.cpp)

  private:
    std::string prefix_;
    const FileSystem& files_;
    Observer observer_;
    bool refusedAsRoot_ = false;
    bool noWindowsPrograms_ = false;
    std::shared_ptr<Running> running_;
};

}  // namespace tolvane
