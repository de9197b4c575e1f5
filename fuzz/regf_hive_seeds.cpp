// regf_hive_seeds FOLDER: writes the seed hives of regf_hive_fuzz into
// FOLDER (made by hivex, so that no hive file is kept in the corpus): an
// empty hive, one with keys and values of every common type, and the same
// left dirty (its sequence numbers differ).
#include <cstdio>
#include <filesystem>
#include <string>

#include "testing/regf_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: regf_hive_seeds FOLDER\n");
        return 1;
    }
    using tolvane::testing::RegfBuilder;
    const std::string folder = argv[1];
    try {
        std::filesystem::create_directories(folder);
        tolvane::testing::WriteEmptyRegf(folder + "/empty");
        const std::string keys = folder + "/keys";
        std::filesystem::remove(keys);
        RegfBuilder(keys)
            .String("Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Tray", "C:\\tray.exe")
            .String("Software\\Classes\\CLSID\\{0}\\InprocServer32", "", "%SystemRoot%\\x.dll",
                    true)
            .Dword("ControlSet001\\Services\\Tcpip", "Start", 2)
            .Raw("ControlSet001\\Services\\Tcpip", "Blob", 3, std::string(300, '\x5a'))
            .Raw("Select", "Multi", 7, std::string("a\0\0\0b\0\0\0\0\0", 10))
            .Key("Empty\\Deeper\\Deepest")
            .Commit();
        std::filesystem::copy_file(keys, folder + "/dirty",
                                   std::filesystem::copy_options::overwrite_existing);
        tolvane::testing::SetRegfSequenceNumbers(folder + "/dirty", 7, 6);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "regf_hive_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
