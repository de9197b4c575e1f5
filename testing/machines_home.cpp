#include "testing/machines_home.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "testing/temp_prefix.h"

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

}  // namespace

MachinesHome::MachinesHome() {
    std::string pattern = (fs::temp_directory_path() / "tolvane-home-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("MachinesHome: mkdtemp failed");
    home_ = pattern;
    const fs::path h = home_;
    // One fresh prefix copied to where each tool keeps one (links as links).
    TempPrefix fresh;
    auto prefix = [&](const fs::path& at, MachineKind kind) {
        fs::create_directories(at.parent_path());
        fs::copy(fresh.path(), at, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        expected_.push_back({at.string(), kind, false});
    };
    prefix(h / "custom", MachineKind::Wine);
    prefix(h / ".wine", MachineKind::Wine);
    prefix(h / ".local/share/wineprefixes/broken", MachineKind::Winetricks);
    fs::remove_all(h / ".local/share/wineprefixes/broken/drive_c");
    fs::remove_all(h / ".local/share/wineprefixes/broken/dosdevices");
    expected_.back().damaged = true;
    prefix(h / ".local/share/wineprefixes/tricks", MachineKind::Winetricks);

    // Steam: the installation lists itself and a second library, with the
    // quoting, escapes and comments Steam writes.
    const fs::path steam = h / ".local/share/Steam";
    Write(steam / "steamapps/libraryfolders.vdf",
          "\"libraryfolders\"\n{\n\t// the installation\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" +
              steam.string() +
              "\"\n\t\t\"label\"\t\t\"\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"228980\"\t\t"
              "\"1\"\n\t\t}\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
              h.string() + "/Steam\\\\Library\"\n\t\t\"contentid\"\t\t\"42\"\n\t}\n}\n");
    fs::create_directories(h / ".steam");
    fs::create_directory_symlink("../.local/share/Steam", h / ".steam/steam");
    fs::create_directories(steam / "steamapps/compatdata/228980");  // no pfx yet: not listed
    prefix(h / "Steam\\Library/steamapps/compatdata/292030/pfx", MachineKind::Proton);

    Write(h / ".config/lutris/games/witcher-1700000000.yml",
          "game:\n  exe: /x/witcher.exe\n  prefix: ~/Games/witcher\nwine:\n  version: lutris-7\n");
    Write(h / ".config/lutris/games/bad.yml", "game: [prefix: {\n");
    prefix(h / "Games/witcher", MachineKind::Lutris);
    prefix(h / ".local/share/bottles/bottles/Office", MachineKind::Bottles);
    prefix(h / ".PlayOnLinux/wineprefix/Photoshop", MachineKind::PlayOnLinux);
    Write(h / ".config/heroic/GamesConfig/Quail.json",
          "{\"Quail\": {\"winePrefix\": \"" + (h / "Games/Heroic/Prefixes/default/Quail").string() +
              "\", \"wineVersion\": {}}, \"version\": \"v0\"}");
    prefix(h / "Games/Heroic/Prefixes/default/Quail", MachineKind::Heroic);

    Write(h / "mnt/windows/WINDOWS/system32/Config/SOFTWARE", "regf");
    Write(h / "mnt/windows/WINDOWS/system32/Config/system", "regf");
    expected_.push_back({windowsFolder(), MachineKind::Windows, false});
}

MachinesHome::~MachinesHome() {
    std::error_code ec;
    fs::remove_all(home_, ec);
}

DiscoveryPlaces MachinesHome::places() const {
    DiscoveryPlaces places;
    places.home = home_;
    places.winePrefix = home_ + "/custom";
    places.windowsFolders = {windowsFolder(), home_ + "/mnt/not-windows"};
    return places;
}

}  // namespace tolvane::testing
