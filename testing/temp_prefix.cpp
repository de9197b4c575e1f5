#include "testing/temp_prefix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/codepage.h"
#include "discovery/open_machine.h"

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;

// The user a fresh prefix belongs to, as Wine names the profile after the
// Unix user (tests run as root on the build machines; the name is fixed so
// that expected paths do not depend on who runs the tests).
constexpr const char* kUser = "root";
constexpr const char* kSid = "S-1-5-21-0-0-0-1000";
// Fixed key times: a fresh prefix's files are the same on every run.
constexpr const char* kKeyTime = "1796740557";
constexpr const char* kFileTime = "1dd87216fed8f36";

// Wine quotes backslashes and double quotes inside names and strings.
std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// Registry key paths sorted per component without regard to case, the order
// Wine writes a hive in.
struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const {
        size_t i = 0, j = 0;
        while (i <= a.size() && j <= b.size()) {
            size_t ea = a.find('\\', i), eb = b.find('\\', j);
            if (ea == std::string::npos) ea = a.size();
            if (eb == std::string::npos) eb = b.size();
            int c = CompareNoCase(std::string_view(a).substr(i, ea - i),
                                  std::string_view(b).substr(j, eb - j));
            if (c != 0) return c < 0;
            if (ea == a.size() || eb == b.size()) return ea == a.size() && eb != b.size();
            i = ea + 1;
            j = eb + 1;
        }
        return false;
    }
};

// One hive file being made: key path -> value lines as Wine writes them.
class HiveText {
  public:
    void Key(const std::string& path) { keys_[path]; }
    void Sz(const std::string& key, std::string_view name, std::string_view data) {
        keys_[key].push_back(Name(name) + "=\"" + Escape(data) + "\"");
    }
    void ExpandSz(const std::string& key, std::string_view name, std::string_view data) {
        keys_[key].push_back(Name(name) + "=str(2):\"" + Escape(data) + "\"");
    }
    void Dword(const std::string& key, std::string_view name, uint32_t value) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", value);
        keys_[key].push_back(Name(name) + "=dword:" + buf);
    }

    std::string Render(const std::string& relativeTo) const {
        std::string out = "WINE REGISTRY Version 2\n;; All keys relative to " + Escape(relativeTo) +
                          "\n\n#arch=win64\n";
        for (auto it = keys_.begin(); it != keys_.end(); ++it) {
            // Like Wine: a key is written when it has values or no subkeys;
            // its parents appear only through its path.
            auto next = std::next(it);
            bool hasChild =
                next != keys_.end() && next->first.size() > it->first.size() &&
                next->first[it->first.size()] == '\\' &&
                EqualsNoCase(std::string_view(next->first).substr(0, it->first.size()), it->first);
            if (it->second.empty() && hasChild) continue;
            out += "\n[" + Escape(it->first) + "] " + kKeyTime + "\n#time=" + kFileTime + "\n";
            // Values stand sorted by name without regard to case.
            std::vector<std::string> lines = it->second;
            std::sort(lines.begin(), lines.end(), [](const std::string& x, const std::string& y) {
                return CompareNoCase(x.substr(0, x.find('=')), y.substr(0, y.find('='))) < 0;
            });
            for (const auto& line : lines) out += line + "\n";
        }
        return out;
    }

  private:
    static std::string Name(std::string_view name) {
        return name.empty() ? std::string("@") : "\"" + Escape(name) + "\"";
    }
    std::map<std::string, std::vector<std::string>, KeyOrder> keys_;
};

void WriteText(const std::string& path, std::string_view content) {
    fs::create_directories(fs::path(path).parent_path());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("TempPrefix: cannot write " + path);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

// Host path below drive_c/ of a Windows path on C: ("C:\a\b" -> "a/b").
std::string DriveCRelative(std::string_view windowsPath) {
    std::string_view p = windowsPath;
    if (p.size() >= 2 && p[1] == ':') {
        if (FoldCase(p[0]) != FoldCase('C'))
            throw std::invalid_argument("TempPrefix: not a path on C: " + std::string(p));
        p.remove_prefix(2);
    }
    std::string out;
    for (char c : p) out += (c == '\\') ? '/' : c;
    while (!out.empty() && out.front() == '/') out.erase(out.begin());
    return Cp1252ToUtf8(out);
}

}  // namespace

void MakeTreeWritable(const std::filesystem::path& root) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st;
        if (lstat(it->path().c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            chmod(it->path().c_str(), st.st_mode | S_IRWXU);
    }
}

struct TempPrefix::LaunchLog {
    std::mutex mutex;
    std::vector<std::vector<std::string>> launches;
};

TempPrefix::TempPrefix() : launches_(std::make_shared<LaunchLog>()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-prefix-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("TempPrefix: mkdtemp failed");
    path_ = buf.data();

    const std::string profile = std::string("C:\\users\\") + kUser;
    const std::string appData = profile + "\\AppData\\Roaming";
    const std::string localAppData = profile + "\\AppData\\Local";
    const std::string startMenu = appData + "\\Microsoft\\Windows\\Start Menu";
    const std::string programs = startMenu + "\\Programs";
    const std::string startup = programs + "\\StartUp";
    const std::string cookies = localAppData + "\\Microsoft\\Windows\\INetCookies";
    const std::string cache = localAppData + "\\Microsoft\\Windows\\INetCache";
    const std::string temp = profile + "\\Temp";

    // drive_c as Wine lays it out.
    for (const std::string& folder : {std::string("C:\\Program Files\\Common Files"),
                                      std::string("C:\\Program Files (x86)\\Common Files"),
                                      std::string("C:\\ProgramData"),
                                      std::string("C:\\users\\Public\\Desktop"),
                                      std::string("C:\\users\\Public\\Documents"),
                                      profile + "\\Desktop",
                                      profile + "\\Documents",
                                      profile + "\\Favorites",
                                      profile + "\\Downloads",
                                      profile + "\\Music",
                                      profile + "\\Pictures",
                                      profile + "\\Videos",
                                      temp,
                                      appData,
                                      startup,
                                      cookies,
                                      cache,
                                      std::string("C:\\windows\\system32\\drivers\\etc"),
                                      std::string("C:\\windows\\Fonts"),
                                      std::string("C:\\windows\\temp")}) {
        MakeFolder(folder);
    }
    WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
              "127.0.0.1 localhost\r\n::1 localhost\r\n");

    fs::create_directories(path_ + "/dosdevices");
    AddDrive('c', "../drive_c");

    // HKEY_LOCAL_MACHINE
    HiveText machine;
    const std::string cv = "Software\\Microsoft\\Windows\\CurrentVersion";
    machine.Sz(cv, "CommonFilesDir", "C:\\Program Files\\Common Files");
    machine.Sz(cv, "ProgramFilesDir", "C:\\Program Files");
    machine.Sz(cv, "ProgramFilesPath", "%ProgramFiles%");
    machine.Key(cv + "\\Run");
    machine.Key(cv + "\\RunOnce");
    machine.Sz(cv, "CommonFilesDir (x86)", "C:\\Program Files (x86)\\Common Files");
    machine.Sz(cv, "ProgramFilesDir (x86)", "C:\\Program Files (x86)");
    machine.Sz(cv + "\\Explorer\\Shell Folders", "Common AppData", "C:\\ProgramData");
    machine.Sz(cv + "\\Explorer\\Shell Folders", "Common Desktop", "C:\\users\\Public\\Desktop");
    machine.Sz(cv + "\\Explorer\\Shell Folders", "Common Documents",
               "C:\\users\\Public\\Documents");
    const std::string nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    machine.Sz(nt, "CurrentVersion", "6.1");
    machine.Sz(nt, "CurrentBuildNumber", "7601");
    machine.Sz(nt, "ProductName", "Microsoft Windows 7");
    machine.Sz(nt, "SystemRoot", "C:\\windows");
    machine.ExpandSz(nt + "\\ProfileList", "ProfilesDirectory", "C:\\users");
    machine.ExpandSz(nt + "\\ProfileList", "ProgramData", "C:\\ProgramData");
    machine.ExpandSz(nt + "\\ProfileList", "Public", "C:\\users\\Public");
    machine.Dword(nt + "\\ProfileList\\" + kSid, "Flags", 0);
    machine.Sz(nt + "\\ProfileList\\" + kSid, "ProfileImagePath", profile);
    machine.Key("Software\\Classes");
    const std::string env = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
    machine.ExpandSz(env, "ComSpec", "%SystemRoot%\\system32\\cmd.exe");
    machine.Sz(env, "OS", "Windows_NT");
    machine.ExpandSz(env, "PATH",
                     "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\system32\\wbem");
    machine.Sz(env, "PATHEXT", ".com;.exe;.bat;.cmd;.vbs;.vbe;.js;.jse;.wsf;.wsh");
    machine.ExpandSz(env, "TEMP", "%SystemRoot%\\temp");
    machine.ExpandSz(env, "TMP", "%SystemRoot%\\temp");
    machine.ExpandSz(env, "windir", "%SystemRoot%");
    machine.Sz(env, "winsysdir", "C:\\windows\\system32");
    WriteText(path_ + "/system.reg", machine.Render("REGISTRY\\Machine"));

    // HKEY_CURRENT_USER
    HiveText user;
    const std::string shell = cv + "\\Explorer\\Shell Folders";
    const std::string userShell = cv + "\\Explorer\\User Shell Folders";
    const std::pair<const char*, std::string> folders[] = {
        {"AppData", appData},
        {"Cache", cache},
        {"Cookies", cookies},
        {"Desktop", profile + "\\Desktop"},
        {"Favorites", profile + "\\Favorites"},
        {"Local AppData", localAppData},
        {"Personal", profile + "\\Documents"},
        {"Programs", programs},
        {"Start Menu", startMenu},
        {"Startup", startup},
    };
    for (const auto& [name, folder] : folders) {
        user.Sz(shell, name, folder);
        user.ExpandSz(userShell, name, "%USERPROFILE%" + folder.substr(profile.size()));
    }
    user.Sz("Environment", "TEMP", temp);
    user.Sz("Environment", "TMP", temp);
    user.Key("Software\\Classes");
    user.Key("Software\\Microsoft\\Internet Explorer\\Main");
    WriteText(path_ + "/user.reg", user.Render(std::string("REGISTRY\\User\\") + kSid));

    // HKEY_USERS\.Default
    HiveText defaults;
    defaults.ExpandSz("Environment", "TEMP", "%USERPROFILE%\\Temp");
    defaults.ExpandSz("Environment", "TMP", "%USERPROFILE%\\Temp");
    defaults.Key("Software");
    WriteText(path_ + "/userdef.reg", defaults.Render("REGISTRY\\User\\.Default"));
}

TempPrefix::~TempPrefix() {
    std::error_code ec;
    MakeTreeWritable(path_);
    fs::remove_all(path_, ec);  // symlinks are removed, never followed
}

std::string TempPrefix::Host(std::string_view relative) const {
    std::string out = path_;
    if (!relative.empty() && relative.front() != '/') out += '/';
    out += relative;
    return out;
}

void TempPrefix::WriteFile(std::string_view windowsPath, std::string_view content) const {
    WriteText(Host("drive_c/" + DriveCRelative(windowsPath)), content);
}

std::string TempPrefix::ReadFile(std::string_view windowsPath) const {
    std::ifstream in(Host("drive_c/" + DriveCRelative(windowsPath)), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TempPrefix::MakeFolder(std::string_view windowsPath) const {
    fs::create_directories(Host("drive_c/" + DriveCRelative(windowsPath)));
}

void TempPrefix::AddDrive(char letter, const std::string& target) const {
    std::string link = path_ + "/dosdevices/" +
                       static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) + ":";
    fs::create_directories(path_ + "/dosdevices");
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("TempPrefix: cannot link " + link);
}

void TempPrefix::RemoveDosDevices() const {
    std::error_code ec;
    fs::remove_all(path_ + "/dosdevices", ec);
}

std::unique_ptr<Machine> TempPrefix::Open() const {
    std::string error;
    std::unique_ptr<Machine> machine = OpenMachine(path_, &error);
    if (!machine) throw std::runtime_error("TempPrefix: " + error);
    machine->SetProcessTable(MakeFixedProcessTable({}));
    std::shared_ptr<LaunchLog> log = launches_;
    machine->launcher().SetObserver([log](const std::vector<std::string>& argv) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->launches.push_back(argv);
        return true;
    });
    return machine;
}

std::vector<std::vector<std::string>> TempPrefix::Launches() const {
    std::lock_guard<std::mutex> lock(launches_->mutex);
    return launches_->launches;
}

}  // namespace tolvane::testing
