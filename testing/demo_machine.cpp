#include "testing/demo_machine.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/win_types.h"
#include "discovery/open_machine.h"
#include "host/host_paths.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "testing/temp_prefix.h"

namespace tolvane::demo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSid = "S-1-5-21-0-0-0-1000";
const std::string kCv = "Software\\Microsoft\\Windows\\CurrentVersion";
const std::string kBho = kCv + "\\Explorer\\Browser Helper Objects\\";
const std::string kIeMain = "Software\\Microsoft\\Internet Explorer\\Main";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class Builder {
  public:
    Builder(std::string dir, std::string user) : dir_(std::move(dir)), user_(std::move(user)) {}

    // Host path of a Windows path on C:.
    std::string Host(const std::string& windowsPath) const {
        std::string rest = Replace(U(windowsPath).substr(3), "\\", "/");
        return dir_ + "/drive_c/" + rest;
    }
    // USER in a path becomes the profile's user.
    std::string U(const std::string& text) const { return Replace(text, "USER", user_); }

    bool ok = true;
    std::string error;

    void Folder(const std::string& windowsPath) {
        std::error_code ec;
        fs::create_directories(Host(windowsPath), ec);
        if (ec) Fail("cannot make " + windowsPath + ": " + ec.message());
    }
    void File(const std::string& windowsPath, const std::string& content) {
        fs::path host = Host(windowsPath);
        std::error_code ec;
        fs::create_directories(host.parent_path(), ec);
        std::ofstream out(host, std::ios::binary);
        out << content;
        if (!out) Fail("cannot write " + windowsPath);
    }
    // A file of exactly size bytes (the definitions ask for the size).
    void SizedFile(const std::string& windowsPath, size_t size) {
        std::string content = "MZ demo file of the Tolvane demo machine\r\n";
        content.resize(size, '\0');
        File(windowsPath, content);
    }
    void CopyFile(const std::string& from, const std::string& windowsPath) {
        fs::path host = Host(windowsPath);
        std::error_code ec;
        fs::create_directories(host.parent_path(), ec);
        fs::copy_file(from, host, fs::copy_options::overwrite_existing, ec);
        if (ec) Fail("cannot copy " + from + ": " + ec.message());
    }

    void OpenMachine() {
        std::string why;
        machine_ = tolvane::OpenMachine(dir_, &why);
        if (!machine_) Fail("cannot open the new machine: " + why);
    }
    void Key(RootKey root, const std::string& path) {
        if (!machine_) return;
        RegKey key;
        long rc =
            machine_->registry().CreateKey(Registry::Root(root), U(path), KEY_ALL_ACCESS, &key);
        if (rc != ERROR_SUCCESS) Fail("cannot create key " + path);
    }
    void Value(RootKey root, const std::string& path, const std::string& name,
               const std::string& data, uint32_t type = REG_SZ) {
        if (!machine_) return;
        RegKey key;
        Registry& registry = machine_->registry();
        if (registry.CreateKey(Registry::Root(root), U(path), KEY_ALL_ACCESS, &key) !=
                ERROR_SUCCESS ||
            registry.SetValue(key, name, type, U(data)) != ERROR_SUCCESS)
            Fail("cannot set " + path + "\\" + name);
    }

    const std::string& dir() const { return dir_; }

  private:
    void Fail(const std::string& why) {
        if (ok) error = why;
        ok = false;
    }
    std::string dir_;
    std::string user_;
    std::unique_ptr<Machine> machine_;
};

void MakeSkeleton(Builder& b) {
    const std::string profile = "C:\\users\\USER";
    const std::string appData = profile + "\\AppData\\Roaming";
    const std::string local = profile + "\\AppData\\Local";
    const std::string startMenu = appData + "\\Microsoft\\Windows\\Start Menu";
    const std::string programs = startMenu + "\\Programs";
    for (const std::string& folder :
         {std::string("C:\\Program Files\\Common Files"), std::string("C:\\ProgramData"),
          std::string("C:\\users\\Public\\Desktop"), profile + "\\Desktop", profile + "\\Documents",
          profile + "\\Favorites", profile + "\\Temp", appData, programs + "\\Startup",
          local + "\\Microsoft\\Windows\\INetCookies", local + "\\Microsoft\\Windows\\INetCache",
          std::string("C:\\windows\\system32\\drivers\\etc"), std::string("C:\\windows\\temp"),
          std::string("C:\\Program Files\\Tolvane")})
        b.Folder(folder);
    b.File("C:\\windows\\notepad.exe", "MZ an ordinary program\r\n");
    b.File("C:\\windows\\system32\\kernel32.dll", "MZ an ordinary library\r\n");
    b.File(profile + "\\Documents\\letter.txt", "Dear friend,\r\n");

    std::error_code ec;
    fs::create_directories(b.dir() + "/dosdevices", ec);
    fs::create_symlink("../drive_c", b.dir() + "/dosdevices/c:", ec);
    std::ofstream(b.dir() + "/" + kDemoMarker) << "Tolvane demo machine\n";

    b.OpenMachine();
    const RootKey hklm = RootKey::LocalMachine, hkcu = RootKey::CurrentUser;
    b.Value(hklm, kCv, "ProgramFilesDir", "C:\\Program Files");
    b.Value(hklm, kCv, "CommonFilesDir", "C:\\Program Files\\Common Files");
    b.Key(hklm, kCv + "\\Run");
    b.Key(hklm, kCv + "\\RunOnce");
    const std::string nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    b.Value(hklm, nt, "SystemRoot", "C:\\windows");
    b.Value(hklm, nt, "CurrentVersion", "6.1");
    b.Value(hklm, nt + "\\ProfileList\\" + kSid, "ProfileImagePath", profile, REG_EXPAND_SZ);
    const std::string env = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
    b.Value(hklm, env, "windir", "%SystemRoot%");
    b.Value(hklm, env, "TEMP", "%SystemRoot%\\temp", REG_EXPAND_SZ);
    const std::pair<const char*, std::string> folders[] = {
        {"AppData", appData},
        {"Cache", local + "\\Microsoft\\Windows\\INetCache"},
        {"Cookies", local + "\\Microsoft\\Windows\\INetCookies"},
        {"Desktop", profile + "\\Desktop"},
        {"Favorites", profile + "\\Favorites"},
        {"Local AppData", local},
        {"Personal", profile + "\\Documents"},
        {"Programs", programs},
        {"Start Menu", startMenu},
        {"Startup", programs + "\\Startup"},
    };
    for (const auto& [name, folder] : folders) {
        b.Value(hkcu, kCv + "\\Explorer\\Shell Folders", name, folder);
        b.Value(hkcu, kCv + "\\Explorer\\User Shell Folders", name,
                "%USERPROFILE%" + folder.substr(profile.size()), REG_EXPAND_SZ);
    }
    b.Value(hkcu, "Environment", "TEMP", profile + "\\Temp", REG_EXPAND_SZ);
    b.Value(hkcu, "Environment", "TMP", profile + "\\Temp", REG_EXPAND_SZ);
    b.Value(hkcu, kIeMain, "Search Bar", "about:blank");  // harmless neighbour
}

void PlantTraces(Builder& b) {
    const RootKey hklm = RootKey::LocalMachine, hkcu = RootKey::CurrentUser;
    const std::string pf = "C:\\Program Files", cf = pf + "\\Common Files";
    const std::string profile = "C:\\users\\USER", appData = profile + "\\AppData\\Roaming";
    const std::string startMenu = appData + "\\Microsoft\\Windows\\Start Menu";
    const std::string programs = startMenu + "\\Programs";
    const std::string sys = "C:\\windows\\system32", temp = profile + "\\Temp";

    // Velvet Gazer (its program runs, see StartProcesses)
    b.Folder(pf + "\\Velvet Gazer");
    b.SizedFile(sys + "\\vgzhook.dll", 24576);
    b.Key(hklm, "SOFTWARE\\Velvet Gazer");
    b.Value(hkcu, kCv + "\\Run", "VelvetGazer", "\"" + pf + "\\Velvet Gazer\\vgazer.exe\" /tray");
    // Hollow Compass Toolbar (a browser helper object)
    const std::string hollow = "{5F1C2A7E-3B9D-4E61-A0C4-7D2E9B18F3A6}";
    b.Key(hklm, kBho + hollow);
    b.Value(hklm, "Software\\Classes\\CLSID\\" + hollow + "\\InprocServer32", "",
            pf + "\\Hollow Compass\\hcbar.dll");
    b.Value(hklm, "Software\\Classes\\CLSID\\" + hollow + "\\InprocServer32", "ThreadingModel",
            "Apartment");
    b.File(pf + "\\Hollow Compass\\hcbar.dll", "MZ toolbar\r\n");
    // StartPage Drifter: the hijacked start page
    b.Value(hkcu, kIeMain, "Start Page", "http://www.drifter-search.example/start?id=4471");
    // Murmur Dialer
    b.SizedFile("C:\\windows\\murmur.exe", 53248);
    b.File(profile + "\\Desktop\\Free Minutes.lnk", "L link\r\n");
    b.Key(hkcu, "Software\\Murmur Dial");
    // Quillfeather Keylogger
    b.File(appData + "\\Quillfeather\\keys.dat", "h e l l o\r\n");
    b.File(sys + "\\qf2hook.dll", "MZ hook\r\n");
    b.Value(hklm, kCv + "\\Run", "QfHelper", sys + "\\qf2hook.dll,Start");
    // Cinder Bundle
    b.Folder(temp + "\\cndr");
    b.File(temp + "\\cndr\\part1.cab", "MSCF\r\n");
    b.File(temp + "\\cinder_setup.exe", "MZ setup\r\n");
    // Lantern Popups
    b.File(programs + "\\Startup\\Lantern.lnk", "L link\r\n");
    b.File(programs + "\\Lantern Deals\\Deals.url", "[InternetShortcut]\r\n");
    b.Key(hkcu, "Software\\Lantern Popups");
    // Marble Favorites
    b.File(profile + "\\Favorites\\Lucky Marble Casino.url", "[InternetShortcut]\r\n");
    b.File(profile + "\\Favorites\\Cheap Marble Pills.url", "[InternetShortcut]\r\n");
    // Pebble Search Assistant
    const std::string pebble = "{A3E0B6D1-72C4-4F5B-9E8A-1C6D0F2B7E94}";
    b.File(cf + "\\Pebble\\pebsrch.dll", "MZ search\r\n");
    b.Key(hklm, "Software\\Classes\\CLSID\\" + pebble);
    b.Key(hklm, kBho + pebble);
    // Gossamer Tracker
    b.File(profile + "\\gossamer.ini", "[track]\r\n");
    b.File(startMenu + "\\Gossamer Offers.lnk", "L link\r\n");
    b.Key(hkcu, "Software\\Gossamer");
    // Nightjar Downloader
    b.File("C:\\nightjar.exe", "MZ downloader\r\n");
    b.Value(hkcu, kCv + "\\Run", "Nightjar", "C:\\nightjar.exe");
    // Saffron Redirector
    b.Value(hkcu, kIeMain, "Search Page", "http://saffron-find.example/q");
    // Brass Beacon
    b.Key(hklm, "Software\\Classes\\BrassBeacon.Helper");
    b.Key(hklm, "SOFTWARE\\Brass Beacon");
    // Willow Wallpaper Alert
    b.Value(hkcu, "Control Panel\\Desktop", "Wallpaper", "C:\\windows\\willow_alert.bmp");
    b.File("C:\\windows\\willow_alert.bmp", "BM picture\r\n");
    // Thimble Miner (its program runs)
    b.Key(hkcu, "Software\\Thimble");
    // Copperhead Spy
    b.SizedFile(sys + "\\drivers\\cpspy.sys", 12288);
    b.Value(hklm, "SYSTEM\\CurrentControlSet\\Services\\CpSpy", "ImagePath",
            "system32\\drivers\\cpspy.sys");
    // Parchment Notes: its folder is read-only (see Lock)
    b.File(profile + "\\Desktop\\Parchment Notes.lnk", "L link\r\n");
    b.File(pf + "\\Parchment\\pnotes.exe", "MZ notes\r\n");
    // Foxglove Shopper (a browser helper object)
    const std::string foxglove = "{0D4B8E27-C915-4A3F-B6E2-58F1A9C07D3B}";
    b.Key(hklm, kBho + foxglove);
    b.Value(hklm, "Software\\Classes\\CLSID\\" + foxglove + "\\InprocServer32", "",
            cf + "\\Foxglove\\fgshop.dll");
    b.File(cf + "\\Foxglove\\fgshop.dll", "MZ shopper\r\n");
    // Sable Ads Cookie
    b.File(profile + "\\AppData\\Local\\Microsoft\\Windows\\INetCookies\\USER@sable-ads[1].txt",
           "id\n4471\nsable-ads.example/\n");
    // Ember Clicker
    b.File(temp + "\\emb4031.tmp", "clicks\r\n");
    b.Value(hkcu, "Software\\Ember\\Clicker", "Installed", "1");
    // Gilded Ticker
    b.Value(hkcu, "Software\\Gilded Ticker\\Settings", "Symbols", "GLD");
    // Rook Remote Admin
    b.SizedFile(sys + "\\rookd.exe", 40960);
    b.Value(hklm, kCv + "\\RunServices", "Rook", sys + "\\rookd.exe -listen");
    // Obsidian Updater
    b.File(cf + "\\Obsidian Update\\obupd.exe", "MZ updater\r\n");
    b.Value(hkcu, kCv + "\\Run", "ObsidianUpdate", cf + "\\Obsidian Update\\obupd.exe /q");
    // Mistral Search Bar
    b.Value(hkcu, kIeMain, "Default_Page_URL", "http://mistral-bar.example/");
    b.File(pf + "\\Mistral Bar\\mistral.dll", "MZ bar\r\n");
    // Juniper Popunder
    b.File(programs + "\\Juniper Deals\\Juniper.lnk", "L link\r\n");
    b.File(startMenu + "\\Juniper Deals.url", "[InternetShortcut]\r\n");
    b.File(pf + "\\Juniper\\jpop.exe", "MZ popunder\r\n");
    // Hearth Sidebar
    b.File(appData + "\\Hearth\\hearth.cfg", "[sidebar]\r\n");
    b.Key(hkcu, "Software\\Hearth Sidebar");
    b.Value(hkcu, "Software\\Microsoft\\Internet Explorer\\Toolbar",
            "{6B2F0C19-4E8D-4A71-93B5-E0D7C4A2F168}", "Hearth");

    // The hosts file: ordinary lines and the planted ones.
    b.File(sys + "\\drivers\\etc\\hosts",
           "127.0.0.1 localhost\r\n"
           "::1 localhost\r\n"
           "203.0.113.24 www.drifter-search.example\r\n"
           "203.0.113.50 ads.tinsel.example\r\n"
           "203.0.113.51 track.tinsel.example\r\n"
           "198.51.100.7 saffron-find.example\r\n"
           "198.51.100.33 mistral-bar.example\r\n");
}

// The two programs that run: a copy of sleep under each Windows path.
const char* const kProgramPaths[] = {
    "C:\\Program Files\\Velvet Gazer\\vgazer.exe",
    "C:\\users\\USER\\AppData\\Roaming\\Thimble\\thmb.exe",
};

std::string SleepBinary() {
    for (const char* candidate : {"/usr/bin/sleep", "/bin/sleep"})
        if (access(candidate, X_OK) == 0) return candidate;
    return "";
}

void PlantPrograms(Builder& b) {
    std::string sleep = SleepBinary();
    for (const char* path : kProgramPaths) {
        if (!sleep.empty()) {
            b.CopyFile(sleep, path);
            chmod(b.Host(path).c_str(), 0755);
        } else {
            b.File(path, "MZ program\r\n");
        }
    }
}

// Starts one program detached (it outlives this tool), with argv[0] its
// Windows path and WINEPREFIX the machine.
bool StartProgram(const std::string& prefix, const std::string& host, const std::string& windows,
                  unsigned seconds) {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        if (fork() != 0) _exit(0);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        setenv("WINEPREFIX", prefix.c_str(), 1);
        std::string duration = std::to_string(seconds);
        execl(host.c_str(), windows.c_str(), duration.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string DemoUser() {
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name && *pw->pw_name) return pw->pw_name;
    const char* user = std::getenv("USER");
    return user && *user ? user : "user";
}

bool CreateDemoMachine(const std::string& dirArg, const DemoOptions& options, std::string* error) {
    std::error_code ec;
    fs::create_directories(dirArg, ec);
    if (!fs::is_directory(dirArg)) {
        *error = "cannot make the folder " + dirArg;
        return false;
    }
    if (!fs::is_empty(dirArg, ec)) {
        *error = dirArg + " is not empty (use reset for a demo machine)";
        return false;
    }
    std::string dir = CanonicalPath(dirArg).value_or("");
    Builder b(dir, DemoUser());
    MakeSkeleton(b);
    PlantTraces(b);
    PlantPrograms(b);

    // Tolvane itself, as the installer would leave it.
    for (const char* name : {"database.db", "script.db"}) {
        fs::path shipped = fs::path(options.dataFolder) / name;
        if (fs::exists(shipped))
            b.CopyFile(shipped.string(), std::string("C:\\Program Files\\Tolvane\\") + name);
    }
    // A locked place: Parchment's folder is read-only.
    chmod(b.Host("C:\\Program Files\\Parchment").c_str(), 0555);

    if (b.ok && options.startProcesses) {
        for (const char* path : kProgramPaths)
            if (!StartProgram(dir, b.Host(path), b.U(path), options.processSeconds)) {
                *error = "cannot start " + b.U(path);
                return false;
            }
    }
    if (!b.ok) *error = b.error;
    return b.ok;
}

int StopDemoProcesses(const std::string& dir) {
    std::optional<std::string> canonical = CanonicalPath(dir);
    if (!canonical) return 0;
    std::string why;
    auto machine = OpenMachine(*canonical, &why);
    if (!machine) return 0;
    std::vector<ProcessSnapshot> processes;
    int stopped = 0;
    if (machine->processes().List(&processes))
        for (const ProcessSnapshot& process : processes)
            stopped += machine->processes().Terminate(process.pid) ? 1 : 0;
    return stopped;
}

bool ResetDemoMachine(const std::string& dir, const DemoOptions& options, std::string* error) {
    std::error_code ec;
    if (fs::exists(dir)) {
        if (!fs::is_empty(dir, ec) && !fs::exists(fs::path(dir) / kDemoMarker)) {
            *error = dir + " is no demo machine (it has no " + kDemoMarker + "); left as it is";
            return false;
        }
        StopDemoProcesses(dir);
        chmod(dir.c_str(), 0755);
        testing::MakeTreeWritable(dir);
        fs::remove_all(dir, ec);
        if (ec) {
            *error = "cannot remove " + dir + ": " + ec.message();
            return false;
        }
    }
    return CreateDemoMachine(dir, options, error);
}

}  // namespace tolvane::demo
